// The "FamilyMembers" stream: member roadmaps with a name and a version each,
// and the question whether a member is present in a given version.
#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "quorra/host/trace.h"
#include "quorra/member_roadmap.h"

namespace {
constexpr const char* kTraceSource = "ENGINE/SRC/ENGUTIL/DEV/ROADMAP";

// Names are read in steps, so that a corrupt length costs memory only for
// the bytes the stream holds.
constexpr DWORD kNameReadStep = 1u << 20;

HRESULT ReadWord(const JIOStreamContext& context, DWORD* value) {
  BYTE bytes[4];
  HRESULT hr = context.DoIO(bytes, sizeof bytes);
  if (SUCCEEDED(hr))
    *value = DWORD{bytes[0]} | DWORD{bytes[1]} << 8 | DWORD{bytes[2]} << 16 | DWORD{bytes[3]} << 24;
  return hr;
}

}  // namespace

JMConfigurationIndexError::JMConfigurationIndexError(DWORD index)
    : std::out_of_range("JMConfigurations index " + std::to_string(index) + " out of range"), index_(index) {}

JMConfigurationEntry::~JMConfigurationEntry() {
  SysFreeString(name_);
  Reset();
}

HRESULT JMConfigurationEntry::LoadVersion1(IStream* stream) {
  constexpr const char* kOperation = "JMConfigurationEntry::LoadVersion1";
  JIOStreamContext context(stream, JIOStreamContext::kReadContext);
  HRESULT hr = Serialize(context, 0);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);

  DWORD length = 0;
  hr = ReadWord(context, &length);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  std::vector<char> bytes;
  try {
    for (DWORD done = 0; done < length;) {
      // Steps double from 4 KiB up to 1 MiB.
      const DWORD step = std::min({length - done, kNameReadStep, std::max<DWORD>(done, 4096)});
      bytes.resize(size_t{done} + step);
      hr = context.DoIO(bytes.data() + done, step);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
      done += step;
    }
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, kOperation);
  }
  SysFreeString(name_);
  name_ = SysAllocStringByteLen(bytes.data(), length);
  if (!name_) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, kOperation);

  hr = ReadWord(context, &version_);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  return S_OK;
}

JMConfigurations::~JMConfigurations() { Clear(); }

void JMConfigurations::Clear() {
  delete[] entries_;
  entries_ = nullptr;
  count_ = 0;
}

JMConfigurationEntry& JMConfigurations::operator[](DWORD i) {
  if (i >= count_) throw JMConfigurationIndexError(i);
  return entries_[i];
}

const JMConfigurationEntry& JMConfigurations::operator[](DWORD i) const {
  if (i >= count_) throw JMConfigurationIndexError(i);
  return entries_[i];
}

HRESULT JMConfigurations::Load(IStorage* storage) {
  constexpr const char* kOperation = "JMConfigurations::Load";
  Clear();
  formatVersion_ = 0;
  if (!storage) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
  quorra::host::ComPtr<IStream> stream;
  HRESULT hr = storage->OpenStream(FAMILY_MEMBERS_STREAM, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  JIOStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
  hr = ReadWord(context, &formatVersion_);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  // Other format versions are not understood: only the version is kept.
  if (formatVersion_ != 1) return S_OK;
  return LoadVersion1(stream.Get());
}

HRESULT JMConfigurations::LoadVersion1(IStream* stream) {
  constexpr const char* kOperation = "JMConfigurations::LoadVersion1";
  JIOStreamContext context(stream, JIOStreamContext::kReadContext);
  DWORD count = 0;
  HRESULT hr = ReadWord(context, &count);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  // Every entry takes at least 12 bytes: a count larger than the stream can
  // hold is refused before anything is allocated for it.
  STATSTG stat{};
  if (SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME)) && uint64_t{count} * 12 > stat.cbSize.QuadPart)
    return QUORRA_TRACE_FAIL(STG_E_READFAULT, kOperation);
  entries_ = new (std::nothrow) JMConfigurationEntry[count];
  if (!entries_ && count) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, kOperation);
  count_ = count;
  for (DWORD i = 0; i < count; ++i) {
    hr = entries_[i].LoadVersion1(stream);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT JMConfigurations::VerifyMemberAndVersion(const JMemberRoadmap& rm, DWORD version) const {
  for (DWORD i = 0; i < count_; ++i)
    if (entries_[i] == rm) return entries_[i].GetVersion() == version ? S_OK : S_FALSE;
  return DISP_E_MEMBERNOTFOUND;
}
