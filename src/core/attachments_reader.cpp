// Opening documents and reading "Attachments" records for the file loader
// and the site reader.
#include "core/attachments_reader.h"

#include <cstring>

#include "quorra/host/compound_file.h"
#include "quorra/host/documents.h"
#include "quorra/host/moniker.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/load";

DWORD LittleEndianWord(const BYTE* b) {
  return static_cast<DWORD>(b[0]) | static_cast<DWORD>(b[1]) << 8 | static_cast<DWORD>(b[2]) << 16 |
         static_cast<DWORD>(b[3]) << 24;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
}  // namespace

namespace quorra::load {

HRESULT OpenDocument(const wchar_t* path, DWORD fallbackMode, IStorage** out) {
  *out = nullptr;
  HRESULT hr = JStgOpenStorage(path, nullptr, kOpenMode, nullptr, 0, out, 1);
  if (SUCCEEDED(hr) && *out) return S_OK;
  if (*out) (*out)->Release();
  *out = nullptr;
  hr = JStgOpenStorage(path, nullptr, fallbackMode, nullptr, 0, out, 1);
  if (SUCCEEDED(hr) && *out) return S_OK;
  if (*out) (*out)->Release();
  *out = nullptr;
  return FAILED(hr) ? hr : E_FAIL;
}

HRESULT OpenChildStorage(IStorage* parent, const wchar_t* name, IStorage** out) {
  *out = nullptr;
  return parent->OpenStorage(name, nullptr, kElementMode, nullptr, 0, out);
}

HRESULT OpenChildStream(IStorage* parent, const wchar_t* name, IStream** out) {
  *out = nullptr;
  return parent->OpenStream(name, nullptr, kElementMode, 0, out);
}

DocumentKind ClassifyDocument(std::wstring_view path) {
  std::wstring_view file, component;
  host::SplitSubstorageComponent(path, &file, &component);
  const size_t dot = file.rfind(L'.');
  if (dot != std::wstring_view::npos && host::EqualsNoCase(file.substr(dot + 1), L"pwd"))
    return DocumentKind::kWeldment;
  const std::wstring name(file);
  if (IsPartFileName(name.c_str())) return DocumentKind::kPart;
  if (IsAssemblyFileName(name.c_str())) return DocumentKind::kAssembly;
  return DocumentKind::kUnknown;
}

std::wstring_view DocumentDirectory(std::wstring_view path) {
  for (size_t i = path.size(); i-- > 0;)
    if (IsSeparator(path[i])) return i == 0 ? path.substr(0, 1) : path.substr(0, i);
  return {};
}

bool FindChildDocument(const wchar_t* directory, const wchar_t* name, wchar_t* found) {
  static constexpr const wchar_t* kExtensions[] = {L".par", L".psm", L".pwd"};
  for (const wchar_t* extension : kExtensions)
    for (const wchar_t* where : {directory, L"."}) {
      const DWORD length = SearchPathW(where, name, extension, kChildSearchUnits, found, nullptr);
      if (length != 0 && length < kChildSearchUnits) return true;
    }
  return false;
}

DWORD WeldmentMemberNumber(std::wstring_view name) {
  if (name.size() <= 4 || (name[0] != L'C' && name[0] != L'c')) return 0;
  const std::wstring_view kept = name.substr(0, name.size() - 4);
  uint64_t number = 0;
  for (size_t i = 5; i < kept.size() && kept[i] >= L'0' && kept[i] <= L'9'; ++i) {
    number = number * 10 + static_cast<uint64_t>(kept[i] - L'0');
    if (number > 0xFFFFFFFFu) return 0;
  }
  return static_cast<DWORD>(number);
}

bool IsKernelBodyStreamName(std::wstring_view name) {
  if (name.size() < 3) return false;
  const wchar_t c = name[name.size() - 3];
  return c == L'P' || c == L'p';
}

// ---- AttachmentsReader ----

HRESULT AttachmentsReader::Fail(HRESULT hr, const wchar_t* message) {
  return ::HRerrEx(nullptr, nullptr, hr, message, kTraceSource, __LINE__, operation_);
}

HRESULT AttachmentsReader::Read(void* buffer, ULONG size, bool allowShort) {
  ULONG got = 0;
  HRESULT hr = stream_->Read(buffer, size, &got);
  if (got > size) got = 0;  // a stream that claims more than it was asked for is not believed
  if (SUCCEEDED(hr) && got == size) return S_OK;
  std::memset(static_cast<BYTE*>(buffer) + got, 0, size - got);
  if (allowShort) return S_FALSE;
  if (FAILED(hr)) return hr;
  if (policy_ == ReadPolicy::kSiteReader)
    return ::HRerrEx(nullptr, nullptr, STG_E_READFAULT, nullptr, kTraceSource, __LINE__, "ReadStream");
  return STG_E_READFAULT;
}

HRESULT AttachmentsReader::ReadWord(DWORD* value, bool allowShort) {
  BYTE bytes[4];
  HRESULT hr = Read(bytes, 4, allowShort);
  *value = LittleEndianWord(bytes);
  return hr;
}

HRESULT AttachmentsReader::Skip(DWORD count) {
  if (count == 0) return S_OK;
  LARGE_INTEGER move;
  move.QuadPart = count;
  return stream_->Seek(move, STREAM_SEEK_CUR, nullptr);
}

HRESULT AttachmentsReader::ReadLink() {
  IMoniker* moniker = nullptr;
  HRESULT hr = OleLoadFromStream(stream_, IID_IMoniker, reinterpret_cast<void**>(&moniker));
  // The link is read only to move past it.
  if (moniker) moniker->Release();
  return hr;
}

HRESULT AttachmentsReader::ReadHeader(AttachmentsHeader* header) {
  *header = AttachmentsHeader{};
  if (policy_ == ReadPolicy::kFileLoader) {
    // A field that cannot be read counts as zero.
    Read(header->header, sizeof header->header, true);
    ReadWord(&header->version, true);
    ReadWord(&header->componentCount, true);
    for (DWORD& word : header->reserved) ReadWord(&word, true);
    if (header->version >= 5)
      for (DWORD& word : header->extended) ReadWord(&word, true);
    return S_OK;
  }
  HRESULT hr = Read(header->header, sizeof header->header);
  if (SUCCEEDED(hr)) hr = ReadWord(&header->version);
  if (SUCCEEDED(hr)) hr = ReadWord(&header->componentCount);
  for (DWORD& word : header->reserved)
    if (SUCCEEDED(hr)) hr = ReadWord(&word);
  return FAILED(hr) ? Fail(hr) : S_OK;
}

HRESULT AttachmentsReader::ReadComponent(DWORD* placementCount) {
  *placementCount = 0;
  HRESULT hr = ReadLink();
  // The file loader passes over a first link it cannot read; the site reader
  // stops there.
  if (FAILED(hr) && policy_ == ReadPolicy::kSiteReader) return Fail(hr, L"first link");
  DWORD secondLink = 0;
  hr = ReadWord(&secondLink);
  if (FAILED(hr)) return Fail(hr, L"second link flag");
  if (secondLink) {
    hr = ReadLink();
    if (FAILED(hr) && policy_ == ReadPolicy::kSiteReader) return Fail(hr, L"second link");
  }
  DWORD skipLength = 0;
  hr = ReadWord(placementCount);
  if (SUCCEEDED(hr)) hr = ReadWord(&skipLength);
  if (SUCCEEDED(hr)) hr = Skip(skipLength);
  return FAILED(hr) ? Fail(hr, L"placement count") : S_OK;
}

HRESULT AttachmentsReader::ReadPlacement(PlacementRecord* record) {
  record->documentName.clear();
  record->storedName.clear();
  record->nameLength = 0;
  HRESULT hr = Read(record->matrix.m, sizeof record->matrix.m);
  if (SUCCEEDED(hr)) hr = Read(record->extra, sizeof record->extra);
  if (SUCCEEDED(hr)) hr = ReadWord(&record->blockLength);
  if (FAILED(hr)) return Fail(hr, L"placement record");
  if (record->blockLength == 0) return S_OK;

  hr = ReadWord(&record->nameLength);
  if (FAILED(hr)) return Fail(hr, L"name length");
  if (record->nameLength > kPlacementNameFieldBytes)
    return Fail(STG_E_DOCFILECORRUPT, L"placement name longer than its 520-byte field");
  if (record->blockLength < 4 || record->blockLength - 4 < record->nameLength)
    return Fail(STG_E_DOCFILECORRUPT, L"placement block shorter than its name");

  // The name field: UTF-16 text ending at its first zero unit (or with the
  // field), whatever the stored length says.
  BYTE field[kPlacementNameFieldBytes + 2] = {};
  hr = Read(field, record->nameLength);
  if (FAILED(hr)) return Fail(hr, L"name");
  char16_t units[kPlacementNameFieldBytes / 2];
  size_t count = 0;
  for (; count < kPlacementNameFieldBytes / 2; ++count) {
    const char16_t unit = static_cast<char16_t>(field[2 * count] | field[2 * count + 1] << 8);
    if (unit == 0) break;
    units[count] = unit;
  }
  record->storedName = host::FromUtf16(units, count);
  record->documentName = record->storedName;
  const size_t colon = record->documentName.rfind(L':');
  if (colon != std::wstring::npos) record->documentName.resize(colon);

  hr = Skip(record->blockLength - 4 - record->nameLength);
  return FAILED(hr) ? Fail(hr, L"placement block") : S_OK;
}

}  // namespace quorra::load
