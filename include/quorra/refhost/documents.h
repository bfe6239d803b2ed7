// Writing real documents: assembly, part, weldment and family documents as
// compound files on disk, in the layouts the library's loaders read.
//
// Assembly (.asm): the root storage holds the "Attachments" stream:
//   16-byte header, u32 version, u32 component count, 3 reserved u32, and
//   for version 5 or more 3 extended u32; then per component:
//     persisted file moniker of the child document (OleSaveToStream),
//     u32 second-link flag, and when it is set a second file moniker,
//     u32 placement count, u32 skip length, that many filler bytes,
//     placement records:
//       128-byte tagG4x4 as it lies in memory, 48 extra bytes,
//       u32 block length (0: the record ends here and names nothing),
//       u32 name length in bytes, the UTF-16LE name "path:n" with its
//       terminating zero, then the rest of the block.
//   The block length counts the name length word, the name and the rest.
// Part (.par, .psm): a "TARVEX" storage (kernel data) holding "BodyP01" when
//   the part has kernel geometry and "BodyM01" (mesh only) when not, and a
//   "Display" storage holding display data (display_data.h); a part with a
//   preview body also holds it as member storage "CBody<N>.dsp" of "Display"
//   and the id N in the stream "PreviewBody" (u32) of "Display".
// Weldment (.pwd): "TARVEX", and "DISPLAY" with one member storage
//   "CBody<N>.dsp" (member number N) holding display data per member.
// Family: the root holds "FamilyInfo" (host/documents.h) and one sub-storage
//   per member, named after it, holding that member's complete document. A
//   part family's root also holds the seed member's "TARVEX" and "Display",
//   so the family opened as a plain part shows its seed. A member is named in
//   file names as "family.par|Member" (host/documents.h).
//
// Every writer creates or replaces the file atomically. Failures are traced
// and returned.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "quorra/host/geometry.h"
#include "quorra/host/storage.h"
#include "quorra/refhost/display_data.h"

class AsmTree;
class SiteFileToUniversalIdentifierMap;

namespace quorra::refhost {

// Element names of the documents.
constexpr const wchar_t* kAttachmentsStream = L"Attachments";
constexpr const wchar_t* kKernelStorage = L"TARVEX";
constexpr const wchar_t* kPartDisplayStorage = L"Display";
constexpr const wchar_t* kWeldmentDisplayStorage = L"DISPLAY";
constexpr const wchar_t* kPreviewBodyStream = L"PreviewBody";
constexpr const wchar_t* kKernelBodyStream = L"BodyP01";
constexpr const wchar_t* kMeshOnlyBodyStream = L"BodyM01";

// The size of the name field the loaders read a placement name into.
constexpr size_t kPlacementNameFieldBytes = 520;
constexpr size_t kPlacementExtraBytes = 48;

// "path:n", the name stored in a placement record.
std::wstring PlacementName(const std::wstring& documentPath, unsigned suffix);

struct PlacementRecord {
  tagG4x4 matrix;
  std::array<BYTE, kPlacementExtraBytes> extra{};
  // When false the record has block length 0: it names no document and
  // nothing follows the block length.
  bool named = true;
  std::wstring name;            // "path:n"
  std::vector<BYTE> blockTail;  // bytes after the name, inside the block

  // Deliberately wrong fields, for readers' tests: written instead of the
  // true values.
  std::optional<DWORD> nameLength;
  std::optional<DWORD> blockLength;
};

struct ComponentEntry {
  std::wstring childPath;                  // the first link's file moniker
  std::optional<std::wstring> secondLink;  // a second file moniker, when set
  DWORD skipLength = 0;                    // filler bytes before the records
  BYTE filler = 0xCD;
  std::vector<PlacementRecord> placements;
};

struct AssemblyDocument {
  std::array<BYTE, 16> header = {'Q', 'u', 'o', 'r', 'r', 'a', 'A', 't', 't', 'a', 'c', 'h', 'm', 'e', 'n', 't'};
  // 5 and above write the three extended words, which only the file loader
  // reads; the site reader expects version 4.
  DWORD version = 4;
  std::array<DWORD, 3> reserved{};
  std::array<DWORD, 3> extended{};
  std::vector<ComponentEntry> components;

  // Malformed output, for readers' tests.
  bool allowLongNames = false;          // names longer than the 520-byte field
  std::optional<DWORD> componentCount;  // written instead of the true count
  std::optional<size_t> truncateAt;     // the stream is cut to this many bytes

  // Appends a placement of `childPath` with the name "childPath:n", n being
  // 1 + the placements of that child so far; placements of the same child
  // share one component entry.
  PlacementRecord& AddPlacement(const std::wstring& childPath, const tagG4x4& matrix);
  size_t PlacementCount() const;
};

struct PartDocument {
  bool kernelGeometry = true;
  bool writeDisplay = true;  // false: no "Display" storage at all
  DisplayData display = MakeBoxDisplay(10, 10, 10);
  DWORD previewBodyId = 0;  // non-zero: a preview body with that cache id
};

struct WeldmentMember {
  DWORD number = 0;  // 0 is written as given (loaders skip it)
  DisplayData display;
};

struct WeldmentDocument {
  std::vector<WeldmentMember> members;
};

template <class Document>
struct FamilyMember {
  std::wstring name;  // 1 to 31 characters, no '|', '/', '\', ':' or '!'
  Document document;
};

template <class Document>
struct FamilyDocument {
  std::wstring seed;  // a member's name
  std::vector<FamilyMember<Document>> members;
};
using AssemblyFamilyDocument = FamilyDocument<AssemblyDocument>;
using PartFamilyDocument = FamilyDocument<PartDocument>;

// The "Attachments" stream bytes of `document`. E_INVALIDARG for a name that
// does not fit its field (unless allowed) or a count that cannot be written.
HRESULT BuildAttachmentsStream(const AssemblyDocument& document, std::vector<BYTE>* out);

// The element writers, into any storage (a document root or a member).
HRESULT WriteAssemblyStorage(IStorage* storage, const AssemblyDocument& document);
HRESULT WritePartStorage(IStorage* storage, const PartDocument& document);
HRESULT WriteWeldmentStorage(IStorage* storage, const WeldmentDocument& document);

// Whole documents on disk.
HRESULT WriteAssemblyDocument(const wchar_t* path, const AssemblyDocument& document);
HRESULT WritePartDocument(const wchar_t* path, const PartDocument& document);
HRESULT WriteWeldmentDocument(const wchar_t* path, const WeldmentDocument& document);
HRESULT WriteFamilyDocument(const wchar_t* path, const AssemblyFamilyDocument& document);
HRESULT WriteFamilyDocument(const wchar_t* path, const PartFamilyDocument& document);

// Writes `tree` into a new compound file at `path`: its "IDS" stream and the
// "Sites" stream of `map`, which is built from the tree first. Like the
// document writers it replaces a file at `path` only once the new one is
// complete, so a failed save leaves the old file as it was.
HRESULT WriteIdsDocument(const wchar_t* path, AsmTree* tree, SiteFileToUniversalIdentifierMap* map);

// The "FamilyInfo" stream bytes for these members and seed.
HRESULT BuildFamilyInfoStream(const std::vector<std::wstring>& members, const std::wstring& seed,
                              std::vector<BYTE>* out);

}  // namespace quorra::refhost
