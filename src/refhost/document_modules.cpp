// The document functions of refhost's host modules: family members
// ("hawser.dll") and preview bodies ("gimbal.dll").
#include <type_traits>
#include <vector>

#include "quorra/host/compound_file.h"
#include "quorra/host/documents.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/refhost/documents.h"
#include "refhost/host_modules.h"

namespace quorra::refhost {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/refhost/documents";

using host::ComPtr;

// Opens the element of that name and type when `storage` holds one; found by
// enumeration, so that an absent element is no failure.
template <class Element>
bool OpenIfPresent(IStorage* storage, const wchar_t* name, DWORD type, Element** out) {
  ComPtr<IEnumSTATSTG> elements;
  if (FAILED(storage->EnumElements(0, nullptr, 0, elements.Put()))) return false;
  bool found = false;
  STATSTG stat;
  while (!found && elements->Next(1, &stat, nullptr) == S_OK) {
    found = stat.type == type && host::EqualsNoCase(stat.pwcsName, name);
    CoTaskMemFree(stat.pwcsName);
  }
  if (!found) return false;
  constexpr DWORD kMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
  if constexpr (std::is_same_v<Element, IStorage>)
    return SUCCEEDED(storage->OpenStorage(name, nullptr, kMode, nullptr, 0, out));
  else
    return SUCCEEDED(storage->OpenStream(name, nullptr, kMode, 0, out));
}

}  // namespace

HRESULT GetFamilyMemberStorage(IStorage* family, const wchar_t* memberName, DWORD mode, IStorage** member) {
  if (member) *member = nullptr;
  if (!family || !memberName || !member) return QUORRA_TRACE_FAIL(E_POINTER, "GetFamilyMemberStorage");
  try {
    std::vector<std::wstring> members;
    HRESULT hr = host::GetFamilyMembers(family, &members, nullptr);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"not a family document", "GetFamilyMemberStorage");
    bool listed = false;
    for (const std::wstring& name : members) listed = listed || host::EqualsNoCase(name, memberName);
    if (!listed) return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, memberName, "GetFamilyMemberStorage");
    // Sub-storages are always opened exclusively; the access and priority
    // bits are the caller's.
    hr = family->OpenStorage(memberName, nullptr, (mode & ~0x70u) | STGM_SHARE_EXCLUSIVE, nullptr, 0, member);
    return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, "GetFamilyMemberStorage") : S_OK;
  } catch (const std::exception&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "GetFamilyMemberStorage");
  }
}

DWORD GetPreviewBodyCacheId(const wchar_t* path) {
  if (!path || !*path) return 0;
  ComPtr<IStorage> document, display;
  ComPtr<IStream> stream;
  if (FAILED(JStgOpenStorage(path, nullptr, STGM_READ | STGM_SHARE_DENY_NONE, nullptr, 0, document.Put(), 1)) ||
      !OpenIfPresent(document.Get(), kPartDisplayStorage, STGTY_STORAGE, display.Put()) ||
      !OpenIfPresent(display.Get(), kPreviewBodyStream, STGTY_STREAM, stream.Put()))
    return 0;
  BYTE bytes[4] = {};
  ULONG got = 0;
  if (FAILED(stream->Read(bytes, sizeof(bytes), &got)) || got != sizeof(bytes)) return 0;
  return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 | static_cast<DWORD>(bytes[2]) << 16 |
         static_cast<DWORD>(bytes[3]) << 24;
}

}  // namespace quorra::refhost
