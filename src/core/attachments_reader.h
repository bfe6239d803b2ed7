// What both document readers share: opening documents and their elements in
// the modes the loaders use, and reading the "Attachments" stream of an
// assembly document field by field without ever reading past its data.
#pragma once

#include <string>
#include <string_view>

#include "quorra/host/geometry.h"
#include "quorra/host/storage.h"
#include "quorra/host/types.h"

namespace quorra::load {

constexpr const wchar_t* kAttachmentsStream = L"Attachments";
constexpr const wchar_t* kKernelStorage = L"TARVEX";
constexpr const wchar_t* kPartDisplayStorage = L"Display";
constexpr const wchar_t* kWeldmentDisplayStorage = L"DISPLAY";

// Modes of the document opens: share deny none first, then the fallback.
constexpr DWORD kOpenMode = STGM_SHARE_DENY_NONE;
constexpr DWORD kFallbackMode = STGM_TRANSACTED;
constexpr DWORD kAssemblyFallbackMode = STGM_TRANSACTED | STGM_SHARE_DENY_NONE;
// Sub-storages and streams.
constexpr DWORD kElementMode = STGM_SHARE_EXCLUSIVE;

// The size of the field a placement name is read into.
constexpr DWORD kPlacementNameFieldBytes = 520;
constexpr DWORD kPlacementExtraBytes = 48;

// Opens a document by path: mode kOpenMode, then `fallbackMode`. Traces
// nothing: a document that cannot be opened is not read, which the callers
// report in their own terms.
HRESULT OpenDocument(const wchar_t* path, DWORD fallbackMode, IStorage** out);
HRESULT OpenChildStorage(IStorage* parent, const wchar_t* name, IStorage** out);
HRESULT OpenChildStream(IStorage* parent, const wchar_t* name, IStream** out);

// The kinds of document the loaders tell apart by file name. The name is
// classified without any sub-storage component ("family.par|Member" is a
// part).
enum class DocumentKind { kUnknown, kPart, kAssembly, kWeldment };
DocumentKind ClassifyDocument(std::wstring_view path);

// The directory of `path`: everything before its last '\' or '/' ("" when
// it has neither, "/" for a file at the root).
std::wstring_view DocumentDirectory(std::wstring_view path);

// Finds a placed document by its stored name as the file loader does: in
// the assembly's `directory` and then in the current one, with ".par",
// ".psm" and ".pwd" in turn for a name without extension (the host's path
// search may look further). `found` holds kChildSearchUnits units; false
// when nothing is found or the path does not fit. Every reader of placements
// uses this one search, so that they find the same documents.
constexpr DWORD kChildSearchUnits = 2048;
bool FindChildDocument(const wchar_t* directory, const wchar_t* name, wchar_t* found);

// The member number of a weldment display element: a name beginning with "C"
// or "c", cut by its last four characters, holds it as decimal digits from
// its sixth character (0 when there is none, or beyond 32 bits).
DWORD WeldmentMemberNumber(std::wstring_view name);

// True when the name of a kernel-data stream marks kernel geometry: "P" or
// "p" as its third character from the end.
bool IsKernelBodyStreamName(std::wstring_view name);

struct AttachmentsHeader {
  BYTE header[16] = {};
  DWORD version = 0;
  DWORD componentCount = 0;
  DWORD reserved[3] = {};
  DWORD extended[3] = {};
};

struct PlacementRecord {
  tagG4x4 matrix{tagG4x4::NoInit{}};
  BYTE extra[kPlacementExtraBytes];
  DWORD blockLength = 0;  // 0: the record names no document
  DWORD nameLength = 0;
  // The stored name up to its last ':' (the whole name when it has none);
  // empty for a record without a name.
  std::wstring documentName;
  // The whole stored name ("path:n"); empty for a record without a name.
  std::wstring storedName;
};

// How a reader treats the stream.
enum class ReadPolicy {
  // The file loader: a short header field reads as zeros, version 5 and up
  // carry three extended words, a damaged first link is passed over.
  kFileLoader,
  // The site reader: every read is exact (a short read is STG_E_READFAULT,
  // traced under "ReadStream"), no extended words, a damaged link stops.
  kSiteReader,
};

// Reads one "Attachments" stream. Every failure is traced under the reader's
// operation name and stops the reading: the caller keeps what it made from
// the records before. A malformed record (a name longer than its 520-byte
// field, or a block too short to hold the name) fails the reader with
// STG_E_DOCFILECORRUPT: its block length cannot be trusted, so the records
// after it cannot be found.
class AttachmentsReader {
 public:
  AttachmentsReader(IStream* stream, ReadPolicy policy, const char* operation)
      : stream_(stream), policy_(policy), operation_(operation) {}

  HRESULT ReadHeader(AttachmentsHeader* header);
  // The links of one component entry, its placement count and the skipped
  // bytes before its records.
  HRESULT ReadComponent(DWORD* placementCount);
  // One placement record, with the rest of its block skipped.
  HRESULT ReadPlacement(PlacementRecord* record);

  // Reads the component entries and placement records that follow the
  // header, calling `visit(record)` for each record that names a document,
  // in stream order (one record object serves them all). Stops at the first
  // failing field and returns its result; S_OK when the stream reads whole.
  template <class Visit>
  HRESULT ReadNamedPlacements(const AttachmentsHeader& header, Visit visit) {
    PlacementRecord record;
    HRESULT hr = S_OK;
    for (DWORD c = 0; c < header.componentCount && SUCCEEDED(hr); ++c) {
      DWORD placements = 0;
      hr = ReadComponent(&placements);
      for (DWORD p = 0; p < placements && SUCCEEDED(hr); ++p) {
        hr = ReadPlacement(&record);
        if (SUCCEEDED(hr) && !record.documentName.empty()) visit(record);
      }
    }
    return hr;
  }

 private:
  // Exactly `size` bytes; S_FALSE (with the missing bytes zeroed) for a short
  // read when `allowShort`.
  HRESULT Read(void* buffer, ULONG size, bool allowShort = false);
  HRESULT ReadWord(DWORD* value, bool allowShort = false);
  HRESULT Skip(DWORD count);
  HRESULT ReadLink();
  HRESULT Fail(HRESULT hr, const wchar_t* message = nullptr);

  IStream* stream_;
  ReadPolicy policy_;
  const char* operation_;
};

}  // namespace quorra::load
