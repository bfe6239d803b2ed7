// refhost's document objects and their members: occurrence containers over
// assembly documents, member names from the stored placement records.
#include "quorra/refhost/occurrence_container.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "core/attachments_reader.h"
#include "quorra/attachment.h"
#include "quorra/host/compound_file.h"
#include "quorra/host/identity.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace quorra::refhost {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/refhost/documents";

using host::ComPtr;

class Document;

// One member of an assembly document: its attachment id, its name and the
// document it places.
struct MemberEntry {
  DWORD id = 0;
  std::wstring name;
  Document* document = nullptr;  // held
  // What the member answers as the referenced document of its occurrences:
  // the reference property word (which the library may write back), the
  // extended word and whether the placed document shows its simplified form.
  DWORD referenceProperties = 0;
  DWORD componentFlags = 0;
  BOOL simplifiedForm = 0;
};

// A document. Not a host::ComObject on purpose: a site's identity holds a
// counted reference to any other object, so the site keeps its document
// alive for as long as it lives.
class Document final : public IJOccurrenceContainer, public IRefhostDocument {
 public:
  Document(std::wstring path, bool container) : path_(std::move(path)), container_(container) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IRefhostDocument)
      *out = static_cast<IRefhostDocument*>(this);
    else if (iid == IID_IJOccurrenceContainer && container_)
      *out = static_cast<IJOccurrenceContainer*>(this);
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    const ULONG refs = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (refs == 0) delete this;
    return refs;
  }

  HRESULT GetMember(DWORD attachmentId, REFIID iid, void** out) override;
  const wchar_t* GetPath() override { return path_.c_str(); }

  bool IsContainer() const { return container_; }
  MemberEntry* FindMember(DWORD attachmentId) {
    auto found = std::lower_bound(members_.begin(), members_.end(), attachmentId,
                                  [](const MemberEntry& member, DWORD id) { return member.id < id; });
    return found == members_.end() || found->id != attachmentId ? nullptr : &*found;
  }
  // Takes the members (sorted here by id); their documents are held.
  void SetMembers(std::vector<MemberEntry> members) {
    std::stable_sort(members.begin(), members.end(),
                     [](const MemberEntry& a, const MemberEntry& b) { return a.id < b.id; });
    for (MemberEntry& member : members)
      if (member.document) member.document->AddRef();
    members_ = std::move(members);
  }

 private:
  ~Document() {
    for (MemberEntry& member : members_)
      if (member.document) member.document->Release();
  }

  std::atomic<ULONG> refs_{0};
  std::wstring path_;
  bool container_;
  std::vector<MemberEntry> members_;
};

// What GetMember hands out: a member with its name, leaf state, own
// container and source document.
class Member final
    : public host::ComObject<IJComponent, IJOccurrenceDocument, host::IPersistIdentity, IRefhostMember> {
 public:
  Member(DWORD id, std::wstring name, Document* document, Document* container)
      : id_(id), name_(std::move(name)), document_(document), container_(container) {}

  HRESULT GetReferenceProperties(DWORD* properties) override {
    if (!properties) return E_POINTER;
    MemberEntry* entry = Entry();
    *properties = entry ? entry->referenceProperties : 0;
    return entry ? S_OK : E_FAIL;
  }
  HRESULT SetReferenceProperties(DWORD properties) override {
    MemberEntry* entry = Entry();
    if (!entry) return E_FAIL;
    entry->referenceProperties = properties;
    return S_OK;
  }
  HRESULT GetComponentFlags(DWORD* flags) override {
    if (!flags) return E_POINTER;
    MemberEntry* entry = Entry();
    *flags = entry ? entry->componentFlags : 0;
    return entry ? S_OK : E_FAIL;
  }
  HRESULT GetSimplifiedForm(BOOL* simplified) override {
    if (!simplified) return E_POINTER;
    MemberEntry* entry = Entry();
    *simplified = entry ? entry->simplifiedForm : 0;
    return entry ? S_OK : E_FAIL;
  }
  HRESULT SetComponentFlags(DWORD flags) override {
    MemberEntry* entry = Entry();
    if (!entry) return E_FAIL;
    entry->componentFlags = flags;
    return S_OK;
  }
  HRESULT SetSimplifiedForm(BOOL simplified) override {
    MemberEntry* entry = Entry();
    if (!entry) return E_FAIL;
    entry->simplifiedForm = simplified;
    return S_OK;
  }

  HRESULT GetOccurrenceContainer(IJOccurrenceContainer** container) override {
    if (!container) return E_POINTER;
    *container = nullptr;
    if (!document_ || !document_->IsContainer()) return E_NOINTERFACE;
    return document_->QueryInterface(IID_IJOccurrenceContainer, reinterpret_cast<void**>(container));
  }
  BOOL IsLeaf() override { return document_ && document_->IsContainer() ? FALSE : TRUE; }
  HRESULT GetName(GUserText* name) override {
    if (!name) return E_POINTER;
    *name = name_.c_str();
    return S_OK;
  }
  HRESULT GetSourceDocument(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!document_) return E_FAIL;
    return document_->QueryInterface(iid, out);
  }
  DWORD GetPersistID() override { return id_; }

 private:
  MemberEntry* Entry() const { return container_ ? container_->FindMember(id_) : nullptr; }

  DWORD id_;
  std::wstring name_;
  ComPtr<Document> document_;
  ComPtr<Document> container_;  // the assembly document that places the member
};

HRESULT Document::GetMember(DWORD attachmentId, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  MemberEntry* found = FindMember(attachmentId);
  if (!found) return E_INVALIDARG;
  ComPtr<Member> member(new (std::nothrow) Member(found->id, found->name, found->document, this));
  if (!member) return E_OUTOFMEMORY;
  return member->QueryInterface(iid, out);
}

// The file name without directory and extension, lower-cased: what a stored
// name and a site path are matched by.
std::wstring MatchKey(std::wstring_view path) { return host::LowerCase(host::PathBaseName(path, false)); }

// The stored placement names of an assembly document, in stream order, each
// with the match key of the document it names. Empty when the document or
// its stream cannot be read (a weldment, a part placed as the root).
std::vector<std::pair<std::wstring, std::wstring>> StoredPlacementNames(const wchar_t* path) {
  std::vector<std::pair<std::wstring, std::wstring>> names;
  ComPtr<IStorage> document;
  ComPtr<IStream> stream;
  if (FAILED(load::OpenDocument(path, load::kAssemblyFallbackMode, document.Put())) ||
      FAILED(load::OpenChildStream(document.Get(), load::kAttachmentsStream, stream.Put())))
    return names;
  load::AttachmentsReader reader(stream.Get(), load::ReadPolicy::kFileLoader, "BindDocuments");
  load::AttachmentsHeader header;
  reader.ReadHeader(&header);
  reader.ReadNamedPlacements(header, [&](const load::PlacementRecord& record) {
    names.emplace_back(std::wstring(host::PathBaseName(record.storedName, true)), MatchKey(record.documentName));
  });
  return names;
}

// The members of an assembly site: its attachments in the order the loader
// made them, paired with the stored placements in stream order (a placement
// whose document was not loaded has no attachment and is passed over).
std::vector<MemberEntry> MembersOf(AssemblySite* site, const std::map<SiteNode*, Document*>& documents) {
  DWORD count = 0;
  AttachmentNode* const* attachments = nullptr;
  site->GetAttachments(&count, &attachments);
  const auto stored = StoredPlacementNames(site->GetFilePath(true).GetText());
  std::vector<MemberEntry> members;
  members.reserve(count);
  std::map<SiteNode*, DWORD> placed;  // placements of each child so far
  size_t next = 0;
  for (DWORD i = 0; i < count; ++i) {
    AttachmentNode* attachment = attachments[i];
    SiteNode* child = attachment->GetAttachmentSite();
    MemberEntry member;
    member.id = attachment->GetAttachmentID();
    // The placement's stored reference words, as the loader kept them.
    member.referenceProperties =
        static_cast<DWORD>(reinterpret_cast<uintptr_t>(attachment->GetUserData(UD_REF_PROPERTIES, nullptr)));
    member.componentFlags =
        static_cast<DWORD>(reinterpret_cast<uintptr_t>(attachment->GetUserData(UD_REF_EXT_PROPERTIES, nullptr)));
    const DWORD n = ++placed[child];
    const std::wstring key = child ? MatchKey(child->GetFilePath(true).View()) : std::wstring();
    size_t match = next;
    while (match < stored.size() && stored[match].second != key) ++match;
    if (match < stored.size()) {
      member.name = stored[match].first;
      next = match + 1;
    } else {
      member.name =
          std::wstring(child ? child->GetBaseName().View() : std::wstring_view(L"?")) + L":" + std::to_wstring(n);
    }
    auto document = documents.find(child);
    member.document = document == documents.end() ? nullptr : document->second;
    members.push_back(std::move(member));
  }
  return members;
}

}  // namespace

HRESULT BindDocuments(AsmTree* tree) {
  if (!tree) return QUORRA_TRACE_FAIL(E_INVALIDARG, "BindDocuments");
  try {
    std::map<SiteNode*, Document*> documents;
    std::vector<ComPtr<Document>> held;
    for (SiteManager* manager : {tree->GetAssemblySiteManager(), tree->GetPartSiteManager()}) {
      if (!manager) continue;
      for (SiteNode* site : manager->Nodes()) {
        ComPtr<Document> document(new Document(site->GetFilePath(true).Str(), site->IsAssembly()));
        documents[site] = document.Get();
        held.push_back(document);
      }
    }
    for (auto& [site, document] : documents)
      if (site->IsAssembly()) document->SetMembers(MembersOf(static_cast<AssemblySite*>(site), documents));
    for (auto& [site, document] : documents) {
      const HRESULT hr = site->SetDocument(static_cast<IRefhostDocument*>(document));
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "BindDocuments");
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "BindDocuments");
  }
}

}  // namespace quorra::refhost
