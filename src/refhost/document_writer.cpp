// Writing assembly, part, weldment and family documents through the
// compound-file engine.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "host/fault_injection.h"
#include "quorra/host/compound_file.h"
#include "quorra/host/documents.h"
#include "quorra/host/moniker.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/ids_stream.h"
#include "quorra/refhost/documents.h"
#include "quorra/tree.h"

namespace quorra::refhost {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/refhost/documents";

constexpr DWORD kCreateMode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr char kKernelSignature[4] = {'Q', 'K', 'R', 'N'};

using host::ComPtr;

void PutWord(std::vector<BYTE>& out, DWORD value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

void PutBytes(std::vector<BYTE>& out, const void* data, size_t size) {
  const auto* p = static_cast<const BYTE*>(data);
  out.insert(out.end(), p, p + size);
}

// The persisted file moniker naming `path`, as OleSaveToStream writes it.
HRESULT AppendFileMoniker(std::vector<BYTE>& out, const std::wstring& path) {
  ComPtr<IMoniker> moniker;
  HRESULT hr = CreateFileMoniker(path.c_str(), moniker.Put());
  ComPtr<IStream> stream;
  if (SUCCEEDED(hr)) hr = host::CreateMemoryStream(stream.Put());
  if (SUCCEEDED(hr)) hr = OleSaveToStream(moniker.Get(), stream.Get());
  std::vector<BYTE> bytes;
  if (SUCCEEDED(hr)) hr = host::ReadStreamBytes(stream.Get(), &bytes);
  if (FAILED(hr)) return hr;
  out.insert(out.end(), bytes.begin(), bytes.end());
  return S_OK;
}

HRESULT AppendPlacement(std::vector<BYTE>& out, const PlacementRecord& record, bool allowLongNames) {
  PutBytes(out, record.matrix.m, sizeof(record.matrix.m));
  PutBytes(out, record.extra.data(), record.extra.size());
  if (!record.named) {
    PutWord(out, record.blockLength.value_or(0));
    return S_OK;
  }
  std::u16string name = host::ToUtf16(record.name);
  name.push_back(u'\0');
  const size_t nameBytes = name.size() * 2;
  if (nameBytes > kPlacementNameFieldBytes && !allowLongNames)
    return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"placement name longer than its field", "DocumentWriter::Attachments");
  const size_t block = 4 + nameBytes + record.blockTail.size();
  if (block > 0xFFFFFFFFu) return QUORRA_TRACE_FAIL(E_INVALIDARG, "DocumentWriter::Attachments");
  PutWord(out, record.blockLength.value_or(static_cast<DWORD>(block)));
  PutWord(out, record.nameLength.value_or(static_cast<DWORD>(nameBytes)));
  for (char16_t unit : name) {
    out.push_back(static_cast<BYTE>(unit & 0xFF));
    out.push_back(static_cast<BYTE>(unit >> 8));
  }
  out.insert(out.end(), record.blockTail.begin(), record.blockTail.end());
  return S_OK;
}

HRESULT WriteStream(IStorage* storage, const wchar_t* name, const void* data, size_t size) {
  if (size > 0xFFFFFFFFu) return STG_E_MEDIUMFULL;
  ComPtr<IStream> stream;
  HRESULT hr = storage->CreateStream(name, kCreateMode, 0, 0, stream.Put());
  ULONG written = 0;
  if (SUCCEEDED(hr) && size) hr = stream->Write(data, static_cast<ULONG>(size), &written);
  if (SUCCEEDED(hr) && size && written != size) hr = STG_E_WRITEFAULT;
  return hr;
}

HRESULT CreateChildStorage(IStorage* parent, const wchar_t* name, IStorage** out) {
  return parent->CreateStorage(name, kCreateMode, 0, 0, out);
}

// Creates (or replaces) the document at `path`: `fill` writes its elements
// into a new file beside it, which is committed and then renamed over the
// path. A failed document leaves nothing behind and the old file as it was.
template <class Fill>
HRESULT WriteDocument(const wchar_t* path, const char* operation, Fill fill) {
  if (!path || !*path) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
  static std::atomic<unsigned> counter{0};
  const std::wstring temporary = host::FormatWide(L"%s.writing-%d-%u", path, static_cast<int>(::getpid()),
                                                  counter.fetch_add(1, std::memory_order_relaxed));
  const std::string fsTemporary = host::ToUtf8(temporary);
  HRESULT hr;
  try {
    ComPtr<IStorage> root;
    hr = StgCreateDocfile(temporary.c_str(), kCreateMode | STGM_TRANSACTED, 0, root.Put());
    if (SUCCEEDED(hr)) hr = fill(root.Get());
    // The documents are rewritten at will: the disk cache is enough.
    if (SUCCEEDED(hr)) hr = root->Commit(STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE);
  } catch (const std::exception&) {
    hr = E_OUTOFMEMORY;
  }
  if (SUCCEEDED(hr) && quorra::StorageCallFails()) hr = STG_E_WRITEFAULT;
  if (SUCCEEDED(hr) && ::rename(fsTemporary.c_str(), host::ToUtf8(path).c_str()) != 0)
    hr = errno == EACCES || errno == EPERM || errno == EROFS || errno == EISDIR ? STG_E_ACCESSDENIED : STG_E_WRITEFAULT;
  if (FAILED(hr)) {
    ::unlink(fsTemporary.c_str());
    return QUORRA_TRACE_FAIL(hr, operation);
  }
  return S_OK;
}

bool IsValidMemberName(const std::wstring& name) {
  if (name.empty() || name.size() > FAMILY_MEMBER_NAME_MAX) return false;
  if (name.find_first_of(L"|/\\:!") != std::wstring::npos) return false;
  for (wchar_t c : name)
    if (c < 0x20) return false;
  // Names the family root uses itself.
  for (const wchar_t* reserved : {FAMILY_INFO_STREAM, kKernelStorage, kPartDisplayStorage})
    if (host::EqualsNoCase(name, reserved)) return false;
  return true;
}

template <class Document>
HRESULT CheckFamily(const FamilyDocument<Document>& family, std::vector<std::wstring>* names, size_t* seed) {
  *seed = family.members.size();
  for (size_t i = 0; i < family.members.size(); ++i) {
    const std::wstring& name = family.members[i].name;
    if (!IsValidMemberName(name)) return E_INVALIDARG;
    for (const std::wstring& other : *names)
      if (host::EqualsNoCase(other, name)) return E_INVALIDARG;  // element names ignore case
    names->push_back(name);
    if (name == family.seed) *seed = i;
  }
  return *seed < family.members.size() ? S_OK : E_INVALIDARG;
}

// The family's info stream and one member storage per member.
template <class Document, class WriteMember>
HRESULT WriteFamily(IStorage* root, const FamilyDocument<Document>& family, WriteMember writeMember) {
  std::vector<std::wstring> names;
  size_t seed = 0;
  HRESULT hr = CheckFamily(family, &names, &seed);
  if (FAILED(hr)) return hr;
  std::vector<BYTE> info;
  hr = BuildFamilyInfoStream(names, family.seed, &info);
  if (SUCCEEDED(hr)) hr = WriteStream(root, FAMILY_INFO_STREAM, info.data(), info.size());
  for (const FamilyMember<Document>& member : family.members) {
    if (FAILED(hr)) break;
    ComPtr<IStorage> storage;
    hr = CreateChildStorage(root, member.name.c_str(), storage.Put());
    if (SUCCEEDED(hr)) hr = writeMember(storage.Get(), member.document);
  }
  return hr;
}

}  // namespace

std::wstring PlacementName(const std::wstring& documentPath, unsigned suffix) {
  return documentPath + L":" + std::to_wstring(suffix);
}

PlacementRecord& AssemblyDocument::AddPlacement(const std::wstring& childPath, const tagG4x4& matrix) {
  ComponentEntry* entry = nullptr;
  for (ComponentEntry& component : components)
    if (component.childPath == childPath) entry = &component;
  if (!entry) {
    components.emplace_back();
    entry = &components.back();
    entry->childPath = childPath;
  }
  PlacementRecord& record = entry->placements.emplace_back();
  record.matrix = matrix;
  record.name = PlacementName(childPath, static_cast<unsigned>(entry->placements.size()));
  return record;
}

size_t AssemblyDocument::PlacementCount() const {
  size_t count = 0;
  for (const ComponentEntry& component : components) count += component.placements.size();
  return count;
}

HRESULT BuildAttachmentsStream(const AssemblyDocument& document, std::vector<BYTE>* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "DocumentWriter::Attachments");
  out->clear();
  try {
    if (document.components.size() > 0xFFFFFFFFu) return QUORRA_TRACE_FAIL(E_INVALIDARG, "DocumentWriter::Attachments");
    PutBytes(*out, document.header.data(), document.header.size());
    PutWord(*out, document.version);
    PutWord(*out, document.componentCount.value_or(static_cast<DWORD>(document.components.size())));
    for (DWORD word : document.reserved) PutWord(*out, word);
    if (document.version >= 5)
      for (DWORD word : document.extended) PutWord(*out, word);
    for (const ComponentEntry& component : document.components) {
      HRESULT hr = AppendFileMoniker(*out, component.childPath);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "DocumentWriter::Attachments");
      PutWord(*out, component.secondLink ? 1 : 0);
      if (component.secondLink) {
        hr = AppendFileMoniker(*out, *component.secondLink);
        if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "DocumentWriter::Attachments");
      }
      if (component.placements.size() > 0xFFFFFFFFu)
        return QUORRA_TRACE_FAIL(E_INVALIDARG, "DocumentWriter::Attachments");
      PutWord(*out, static_cast<DWORD>(component.placements.size()));
      PutWord(*out, component.skipLength);
      out->insert(out->end(), component.skipLength, component.filler);
      for (const PlacementRecord& record : component.placements) {
        hr = AppendPlacement(*out, record, document.allowLongNames);
        if (FAILED(hr)) return hr;
      }
    }
    if (document.truncateAt && *document.truncateAt < out->size()) out->resize(*document.truncateAt);
    return S_OK;
  } catch (const std::exception&) {
    out->clear();
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "DocumentWriter::Attachments");
  }
}

HRESULT BuildFamilyInfoStream(const std::vector<std::wstring>& members, const std::wstring& seed,
                              std::vector<BYTE>* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "DocumentWriter::FamilyInfo");
  out->clear();
  size_t seedIndex = members.size();
  for (size_t i = 0; i < members.size(); ++i)
    if (members[i] == seed) seedIndex = i;
  if (members.empty() || seedIndex == members.size())
    return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"the seed is not a member", "DocumentWriter::FamilyInfo");
  *out = {'Q', 'F', 'A', 'M'};
  PutWord(*out, FAMILY_INFO_VERSION);
  PutWord(*out, static_cast<DWORD>(members.size()));
  PutWord(*out, static_cast<DWORD>(seedIndex));
  for (const std::wstring& member : members) {
    std::u16string name = host::ToUtf16(member);
    if (name.empty() || name.size() > FAMILY_MEMBER_NAME_MAX) {
      out->clear();
      return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"bad member name", "DocumentWriter::FamilyInfo");
    }
    out->push_back(static_cast<BYTE>(name.size()));
    out->push_back(0);
    for (char16_t unit : name) {
      out->push_back(static_cast<BYTE>(unit & 0xFF));
      out->push_back(static_cast<BYTE>(unit >> 8));
    }
  }
  return S_OK;
}

HRESULT WriteAssemblyStorage(IStorage* storage, const AssemblyDocument& document) {
  if (!storage) return QUORRA_TRACE_FAIL(E_POINTER, "DocumentWriter::Assembly");
  std::vector<BYTE> bytes;
  HRESULT hr = BuildAttachmentsStream(document, &bytes);
  if (FAILED(hr)) return hr;
  hr = WriteStream(storage, kAttachmentsStream, bytes.data(), bytes.size());
  return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, "DocumentWriter::Assembly") : S_OK;
}

HRESULT WritePartStorage(IStorage* storage, const PartDocument& document) {
  if (!storage) return QUORRA_TRACE_FAIL(E_POINTER, "DocumentWriter::Part");
  // The kernel data: a body stream whose name marks whether it is a kernel
  // body ("P" third from the end) or a mesh-only one.
  std::vector<BYTE> body;
  PutBytes(body, kKernelSignature, sizeof(kKernelSignature));
  PutBytes(body, &document.display.box, sizeof(document.display.box));
  ComPtr<IStorage> kernel;
  HRESULT hr = CreateChildStorage(storage, kKernelStorage, kernel.Put());
  if (SUCCEEDED(hr))
    hr = WriteStream(kernel.Get(), document.kernelGeometry ? kKernelBodyStream : kMeshOnlyBodyStream, body.data(),
                     body.size());
  if (SUCCEEDED(hr) && document.writeDisplay) {
    ComPtr<IStorage> display;
    hr = CreateChildStorage(storage, kPartDisplayStorage, display.Put());
    if (SUCCEEDED(hr)) hr = WriteDisplayData(display.Get(), document.display);
    if (SUCCEEDED(hr) && document.previewBodyId != 0) {
      ComPtr<IStorage> preview;
      hr = CreateChildStorage(display.Get(), DisplayMemberStorageName(document.previewBodyId).c_str(), preview.Put());
      if (SUCCEEDED(hr)) hr = WriteDisplayData(preview.Get(), CoarsestLevel(document.display));
      std::vector<BYTE> id;
      PutWord(id, document.previewBodyId);
      if (SUCCEEDED(hr)) hr = WriteStream(display.Get(), kPreviewBodyStream, id.data(), id.size());
    }
  }
  return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, "DocumentWriter::Part") : S_OK;
}

HRESULT WriteWeldmentStorage(IStorage* storage, const WeldmentDocument& document) {
  if (!storage) return QUORRA_TRACE_FAIL(E_POINTER, "DocumentWriter::Weldment");
  std::set<DWORD> numbers;
  for (const WeldmentMember& member : document.members)
    if (!numbers.insert(member.number).second)
      return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"two members with one number", "DocumentWriter::Weldment");
  ComPtr<IStorage> kernel, display;
  HRESULT hr = CreateChildStorage(storage, kKernelStorage, kernel.Put());
  if (SUCCEEDED(hr)) {
    const char text[] = "QKRN weldment";
    hr = WriteStream(kernel.Get(), kKernelBodyStream, text, sizeof(text) - 1);
  }
  if (SUCCEEDED(hr)) hr = CreateChildStorage(storage, kWeldmentDisplayStorage, display.Put());
  for (const WeldmentMember& member : document.members) {
    if (FAILED(hr)) break;
    ComPtr<IStorage> memberStorage;
    hr = CreateChildStorage(display.Get(), DisplayMemberStorageName(member.number).c_str(), memberStorage.Put());
    if (SUCCEEDED(hr)) hr = WriteDisplayData(memberStorage.Get(), member.display);
  }
  return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, "DocumentWriter::Weldment") : S_OK;
}

HRESULT WriteAssemblyDocument(const wchar_t* path, const AssemblyDocument& document) {
  return WriteDocument(path, "DocumentWriter::WriteAssembly",
                       [&](IStorage* root) { return WriteAssemblyStorage(root, document); });
}

HRESULT WritePartDocument(const wchar_t* path, const PartDocument& document) {
  return WriteDocument(path, "DocumentWriter::WritePart",
                       [&](IStorage* root) { return WritePartStorage(root, document); });
}

HRESULT WriteIdsDocument(const wchar_t* path, AsmTree* tree, SiteFileToUniversalIdentifierMap* map) {
  if (!tree || !map) return QUORRA_TRACE_FAIL(E_INVALIDARG, "DocumentWriter::WriteIds");
  HRESULT hr = map->Build(tree);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "DocumentWriter::WriteIds");
  return WriteDocument(path, "DocumentWriter::WriteIds", [&](IStorage* root) {
    HRESULT written = tree->SaveIDS(root, *map);
    if (SUCCEEDED(written)) written = map->Save(root);
    // The map's Save keeps quiet about writes that fail (the table is a cache
    // of what a tree can rebuild), but a file without its whole table cannot
    // be loaded: read the table back.
    SiteFileToUniversalIdentifierMap check;
    if (SUCCEEDED(written) && (FAILED(check.Load(root)) || check.GetSiteCount() != map->GetSiteCount()))
      written = STG_E_WRITEFAULT;
    return written;
  });
}

HRESULT WriteWeldmentDocument(const wchar_t* path, const WeldmentDocument& document) {
  return WriteDocument(path, "DocumentWriter::WriteWeldment",
                       [&](IStorage* root) { return WriteWeldmentStorage(root, document); });
}

HRESULT WriteFamilyDocument(const wchar_t* path, const AssemblyFamilyDocument& document) {
  return WriteDocument(path, "DocumentWriter::WriteFamily",
                       [&](IStorage* root) { return WriteFamily(root, document, WriteAssemblyStorage); });
}

HRESULT WriteFamilyDocument(const wchar_t* path, const PartFamilyDocument& document) {
  return WriteDocument(path, "DocumentWriter::WriteFamily", [&](IStorage* root) {
    HRESULT hr = WriteFamily(root, document, WritePartStorage);
    // The master shows the seed when the family is opened as a plain part.
    for (const FamilyMember<PartDocument>& member : document.members)
      if (SUCCEEDED(hr) && member.name == document.seed) hr = WritePartStorage(root, member.document);
    return hr;
  });
}

}  // namespace quorra::refhost
