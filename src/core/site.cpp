// Sites: creation and lookup through the tree, paths, flags, documents,
// virtual components, occurrence lists, use and descent, ranges, dumps.
// Display caches and graphic access are in site_display.cpp, the path
// indexes in site_index.cpp, the attachment operations of assembly sites in
// attachment.cpp.
#include "quorra/site.h"

#include "core/dump_lines.h"

#include <new>
#include <unordered_set>
#include <vector>

#include "host/fault_injection.h"
#include "quorra/attachment.h"
#include "quorra/host/modules.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/site";

const tagGBox kEmptyBox = tagGBox::Empty();

bool IsRangeUnset(const tagGBox& box) { return box.low[0] <= -1e30 || box.low[0] >= 1e30; }

}  // namespace

// ---- creation and lookup through the tree ----

HRESULT AsmTree::CreateSite(const wchar_t* path, DWORD word, SiteNode** site) {
  if (site) *site = nullptr;
  const bool assembly = IsAssemblyFileName(path);
  if (!assembly && !IsPartFileName(path)) return QUORRA_TRACE_FAIL(E_INVALIDARG, "AsmTree::CreateSite");
  return CreateSite(path, word, assembly, site);
}

HRESULT AsmTree::CreateSite(const wchar_t* path, DWORD word, bool isAssembly, SiteNode** site) {
  if (!site) return QUORRA_TRACE_FAIL(E_INVALIDARG, "AsmTree::CreateSite");
  *site = nullptr;
  HRESULT hr;
  if (isAssembly) {
    AssemblySite* created = nullptr;
    hr = CreateAssemblySite(path, word, &created);
    *site = created;
  } else {
    PartSite* created = nullptr;
    hr = CreatePartSite(path, word, &created);
    *site = created;
  }
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::CreateSite");
  dirty_ |= ASMTREE_DIRTY_INVALID;
  return hr;
}

namespace {

// The checked creation of either kind: the existing site of the path
// (S_FALSE), else a new one through `createNoCheck`.
template <class Site, class CreateNoCheck>
HRESULT FindOrCreateSite(SiteManager* manager, const wchar_t* path, Site** site, const char* operation,
                         CreateNoCheck createNoCheck) {
  if (!site) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
  *site = nullptr;
  if (!manager) return QUORRA_TRACE_FAIL(E_UNEXPECTED, operation);
  // A site passed out is taken as found, also with S_FALSE (index B missed
  // where index A found it).
  SiteNode* found = nullptr;
  HRESULT hr = manager->FindSite(path, &found);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  if (found) {
    *site = static_cast<Site*>(found);
    return S_FALSE;
  }
  hr = createNoCheck();
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  return hr;
}

template <class Site>
HRESULT CreateSiteNoCheck(AsmTree* tree, const wchar_t* path, DWORD word, Site** site, const char* operation) {
  if (!site) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
  *site = nullptr;
  Site* created = quorra::AllocationFails() ? nullptr : new (std::nothrow) Site();
  if (!created) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, operation);
  HRESULT hr = created->Init(tree, path, word);
  if (FAILED(hr)) {
    delete created;
    return QUORRA_TRACE_FAIL(hr, operation);
  }
  *site = created;
  return S_OK;
}

}  // namespace

HRESULT AsmTree::CreateAssemblySite(const wchar_t* path, DWORD word, AssemblySite** site) {
  HRESULT hr = FindOrCreateSite(assemblySites_, path, site, "AsmTree::CreateAssemblySite",
                                [&] { return CreateAssemblySiteNoCheck(path, word, site); });
  if (SUCCEEDED(hr)) dirty_ |= ASMTREE_DIRTY_INVALID;
  return hr;
}

HRESULT AsmTree::CreatePartSite(const wchar_t* path, DWORD word, PartSite** site) {
  HRESULT hr = FindOrCreateSite(partSites_, path, site, "AsmTree::CreatePartSite",
                                [&] { return CreatePartSiteNoCheck(path, word, site); });
  if (SUCCEEDED(hr)) dirty_ |= ASMTREE_DIRTY_INVALID;
  return hr;
}

HRESULT AsmTree::CreateAssemblySiteNoCheck(const wchar_t* path, DWORD word, AssemblySite** site) {
  HRESULT hr = CreateSiteNoCheck(this, path, word, site, "AsmTree::CreateAssemblySiteNoCheck");
  if (SUCCEEDED(hr)) dirty_ |= ASMTREE_DIRTY_INVALID;
  return hr;
}

HRESULT AsmTree::CreatePartSiteNoCheck(const wchar_t* path, DWORD word, PartSite** site) {
  HRESULT hr = CreateSiteNoCheck(this, path, word, site, "AsmTree::CreatePartSiteNoCheck");
  if (SUCCEEDED(hr)) dirty_ |= ASMTREE_DIRTY_INVALID;
  return hr;
}

namespace {

// One manager's answer; a missing manager finds nothing.
HRESULT SearchManager(const SiteManager* manager, const wchar_t* path, SiteNode** site, const char* operation) {
  if (!manager) return S_FALSE;
  HRESULT hr = manager->FindSite(path, site);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  return hr;
}

// The assembly manager's answer stands when it found or passed out a site;
// otherwise the part manager's.
HRESULT SearchBoth(const SiteManager* assemblies, const SiteManager* parts, const wchar_t* path, SiteNode** site,
                   const char* operation) {
  HRESULT hr = SearchManager(assemblies, path, site, operation);
  if (hr != S_FALSE || *site) return hr;
  return SearchManager(parts, path, site, operation);
}

}  // namespace

HRESULT AsmTree::FindSite(const wchar_t* path, SiteNode** site) const {
  if (!site || !path) {
    if (site) *site = nullptr;
    return QUORRA_TRACE_FAIL(E_INVALIDARG, "AsmTree::FindSite");
  }
  *site = nullptr;
  if (IsPartFileName(path)) return SearchManager(partSites_, path, site, "AsmTree::FindSite");
  if (IsAssemblyFileName(path)) return SearchManager(assemblySites_, path, site, "AsmTree::FindSite");
  return SearchBoth(assemblySites_, partSites_, path, site, "AsmTree::FindSite");
}

HRESULT AsmTree::FindSiteEx(bool anyType, const wchar_t* path, SiteNode** site) const {
  if (!site || !path) {
    if (site) *site = nullptr;
    return QUORRA_TRACE_FAIL(E_INVALIDARG, "AsmTree::FindSiteEx");
  }
  *site = nullptr;
  if (anyType) return SearchBoth(assemblySites_, partSites_, path, site, "AsmTree::FindSiteEx");
  if (IsPartFileName(path)) return SearchManager(partSites_, path, site, "AsmTree::FindSiteEx");
  if (IsAssemblyFileName(path)) return SearchManager(assemblySites_, path, site, "AsmTree::FindSiteEx");
  return SearchBoth(assemblySites_, partSites_, path, site, "AsmTree::FindSiteEx");
}

// ---- SiteNode ----

SiteNode::SiteNode(DWORD kindFlag) : flags_(kindFlag), kind_(kindFlag) {}

SiteNode::~SiteNode() {
  if (SiteManager* manager = HoldingManager()) manager->RemoveNode(this);
  filePath_.Empty();
  occurrences_.RemoveAll();
  ReleaseCacheManager();
  ClearGraphicInfo();
  if (commonCache_) {
    IJGeometryCache* cache = commonCache_;
    commonCache_ = nullptr;
    cache->Release();
  }
  userData_.Release();
  document_.Clear();
  flags_ |= SITE_BEING_DESTROYED;
}

HRESULT SiteNode::Init(AsmTree* tree, const wchar_t* path, DWORD word) {
  if (!tree) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteNode::Init");
  tree_ = tree;
  HRESULT hr = SetFilePath(path);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "SiteNode::Init");
  word_ = word;
  SiteManager* manager = HoldingManager();
  if (!manager) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "SiteNode::Init");
  SiteNode* self = this;
  hr = manager->AddNodes(1, &self);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "SiteNode::Init");
  return S_OK;
}

SiteManager* SiteNode::GetSiteManager() const {
  if (!tree_) return nullptr;
  return IsPart() ? tree_->GetPartSiteManager() : tree_->GetAssemblySiteManager();
}

// The flag word can be replaced wholesale (SetFlags), the kind of object
// cannot: membership and indexing follow the kind, so the site always
// leaves the manager and index that hold it.
SiteManager* SiteNode::HoldingManager() const {
  if (!tree_) return nullptr;
  return IsAssemblyKind() ? tree_->GetAssemblySiteManager() : tree_->GetPartSiteManager();
}

HRESULT SiteNode::SetFilePath(const wchar_t* path) {
  SiteManager* manager = HoldingManager();
  if (filePath_.IsNotEmpty() && manager) manager->RemoveFromMap(this);
  filePath_ = path;  // null stores the empty text
  if (path && manager) {
    HRESULT hr = manager->AddToMap(this);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "SiteNode::SetFilePath");
  }
  // Lowering keeps every separator and the length, so the lower-case base
  // name is the base name lowered: neither lower-case form is kept.
  baseName_ = GUserText(quorra::host::PathBaseName(filePath_.View(), true));
  return S_OK;
}

const GUserText& SiteNode::GetFilePath(bool full) const { return (IsLocal() && !full) ? baseName_ : filePath_; }

GUserText SiteNode::GetFilePathLowerCase(bool full) const {
  GUserText lower = GetFilePath(full);
  lower.ToLower();
  return lower;
}

HRESULT SiteNode::SetFlags(DWORD flags) {
  if (flags & SITE_FLAGS_FORBIDDEN) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteNode::SetFlags");
  flags_ = flags;
  return S_OK;
}

void SiteNode::SetIsLite() {
  const bool wasLite = IsLite();
  flags_ |= SITE_LIGHT;
  if (!wasLite) InvalidateCaches(1, nullptr);
}

void SiteNode::ClearIsLite() {
  const bool wasLite = IsLite();
  flags_ &= ~SITE_LIGHT;
  if (wasLite) {
    InvalidateCaches(1, nullptr);
    ClearGraphicInfo();
  }
}

HRESULT SiteNode::SetLocal(IUnknown* component) {
  flags_ |= SITE_LOCAL;
  return local_.SetObject(component);
}

HRESULT SiteNode::GetLocalComponent(REFIID iid, void** out) const { return local_.GetObjectW(iid, out); }

HRESULT SiteNode::GetLocalComponentOid(DWORD& oid) const {
  oid = local_.GetPersistID();
  return oid ? S_OK : E_FAIL;
}

HRESULT SiteNode::SetDocument(IUnknown* document) { return document_.SetObject(document); }

HRESULT SiteNode::GetDocument(REFIID iid, void** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteNode::GetDocument");
  *out = nullptr;
  if (document_.ObjectSet()) {
    HRESULT hr = document_.GetObjectW(iid, out);
    if (SUCCEEDED(hr)) return hr;
  }

  // A drawing's tree may reach documents the host has open without their
  // having been bound: ask the host for the open document of this path.
  AssemblyOccurrence* root = tree_ ? tree_->GetRootAssembly() : nullptr;
  SiteNode* rootSite = root ? root->GetSite() : nullptr;
  if (!rootSite || !(rootSite->GetFlags() & SITE_TRUE_TYPE_DRAFT) || filePath_.IsEmpty()) return E_FAIL;

  static quorra::host::LateBoundFunction<HRESULT(const wchar_t*, REFIID, void**)> getDocumentIfOpen(
      L"dulcet.dll", "JGetDocumentIfOpen");
  auto fn = getDocumentIfOpen.Get();
  if (!fn) return QUORRA_TRACE_FAIL(E_FAIL, "SiteNode::GetDocument");
  IUnknown* document = nullptr;
  HRESULT hr = fn(filePath_.GetText(), IID_IUnknown, reinterpret_cast<void**>(&document));
  if (hr == S_FALSE) hr = E_FAIL;
  if (SUCCEEDED(hr) && document) {
    document_.SetObject(document);
    hr = document->QueryInterface(iid, out);
  } else if (SUCCEEDED(hr)) {
    hr = E_FAIL;
  }
  if (document) document->Release();
  return hr;
}

HRESULT SiteNode::SetVirtualComponent(IUnknown* component) {
  ClearVirtualComponent();
  if (!component) return S_OK;
  IUnknown* unknown = nullptr;
  HRESULT hr = component->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
  if (FAILED(hr) || !unknown) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_NOINTERFACE, "SiteNode::SetVirtualComponent");
  hr = userData_.Add(UD_VIRTUAL_COMPONENT, unknown);
  if (FAILED(hr)) {
    unknown->Release();
    return QUORRA_TRACE_FAIL(hr, "SiteNode::SetVirtualComponent");
  }
  flags_ |= SITE_IS_VIRTUAL_COMPONENT;
  return S_OK;
}

HRESULT SiteNode::ClearVirtualComponent() {
  int found = 0;
  userData_.Get(UD_VIRTUAL_COMPONENT, &found);
  if (!found) return S_FALSE;
  HRESULT hr = userData_.Remove(UD_VIRTUAL_COMPONENT);
  if (hr == S_OK) flags_ &= ~SITE_IS_VIRTUAL_COMPONENT;
  return hr;
}

HRESULT SiteNode::GetVirtualComponent(REFIID iid, void** out) const {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteNode::GetVirtualComponent");
  *out = nullptr;
  auto* component = static_cast<IUnknown*>(userData_.Get(UD_VIRTUAL_COMPONENT, nullptr));
  if (!component) return E_FAIL;
  return component->QueryInterface(iid, out);
}

HRESULT SiteNode::GetOccurrencesIterator(ListIterator** iterator) {
  if (!iterator) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteNode::GetOccurrencesIterator");
  *iterator = new (std::nothrow) ListIterator(&occurrences_);
  if (!*iterator) return QUORRA_TRACE_FAIL(E_FAIL, "SiteNode::GetOccurrencesIterator");
  (*iterator)->AddRef();
  return S_OK;
}

HRESULT SiteNode::RemoveOccurrence(OccurrenceNode* occurrence) {
  if (occurrences_.IsEmpty()) return S_FALSE;
  return occurrences_.Remove(occurrence);
}

bool SiteNode::IsUnused() const {
  if (!occurrences_.IsEmpty()) return false;
  AttachmentManager* attachments = tree_ ? tree_->GetAttachmentManager() : nullptr;
  return !(attachments && attachments->IsSiteAttached(this));
}

HRESULT SiteNode::RemoveAndDestroy() {
  if (!IsUnused()) return QUORRA_TRACE_FAIL(E_FAIL, "SiteNode::RemoveAndDestroy");
  delete this;
  return S_OK;
}

// The PART flag decides how the site answers. A part object without the
// flag has no attachments, and an assembly object with it has no range of
// its own: each answers as an empty site of the kind the flag names.
bool SiteNode::IsSiteDescendent(const SiteNode* other) const {
  if (other == this) return true;
  if (IsPart() || !IsAssemblyKind()) return false;
  return static_cast<const AssemblySite*>(this)->IsSiteDescendentOfAssembly(other);
}

int SiteNode::GetSiteRange(tagGBox* box) const {
  if (!box) return 1;
  if (!IsPart()) {
    if (IsAssemblyKind()) return static_cast<const AssemblySite*>(this)->GetAssemblyRange(box);
    box->SetEmpty();
    return 1;
  }
  if (IsAssemblyKind()) {
    box->SetEmpty();
    return 1;
  }
  const PartSite* part = static_cast<const PartSite*>(this);
  *box = *part->GetRange();
  return part->IsRangeSet() ? 0 : 1;
}

void SiteNode::Dump(FILE* file) {
  if (!file) return;
  std::string text = quorra::host::FormatNarrow("SiteNode %#.8p.  File %S.  Flags %x.  Geo cache %#.8p\n", this,
                                                filePath_.GetText(), flags_, commonCache_);
  text += "Occurrences follow\n";
  text += quorra::NodeListLines(occurrences_);
  quorra::WriteDumpLines(file, text);
}

// ---- AssemblySite ----

AssemblySite::AssemblySite() : SiteNode(SITE_ASSEMBLY) {}

AssemblySite::~AssemblySite() {
  // The attachments listed here can no longer be reached: destroy them, so
  // that the sites they placed become unused. Any other attachment that
  // still names this site as its parent forgets it.
  std::vector<AttachmentNode*> listed(attachments_.begin(), attachments_.end());
  attachments_.RemoveAll();
  for (AttachmentNode* attachment : listed) attachment->ForgetParent();
  // Only attachments taken out of the list without being destroyed (or
  // never listed) still name this site: look for them only when there are.
  AttachmentManager* manager = tree_ ? tree_->GetAttachmentManager() : nullptr;
  if (manager && namingAttachments_ > 0) {
    for (AttachmentNode* attachment : manager->Nodes())
      if (attachment && attachment->parent_ == this) attachment->ForgetParent();
  }
  for (AttachmentNode* attachment : listed) delete attachment;
}

void AssemblySite::Dump(FILE* file) {
  if (!file) return;
  quorra::WriteDumpLines(file, quorra::host::FormatNarrow("AssemblySite %#.8p.  Site info follows\n", this));
  SiteNode::Dump(file);
  // The attachments as a list of addresses: their own dumps come with the
  // occurrences that use them, so a shared sub-assembly is not written out
  // again under every site that places it.
  quorra::WriteDumpLines(file,
                         quorra::host::FormatNarrow("AssemblySite %#.8p continues.  Attachments follow.\n", this) +
                             quorra::NodeListLines(attachments_));
}

bool AssemblySite::IsSiteDescendentOfAssembly(const SiteNode* other) const {
  if (!other) return false;
  // Depth first over the attachment graph, each site once: shared
  // sub-assemblies are not walked again.
  std::vector<const SiteNode*> pending{this};
  std::unordered_set<const SiteNode*> seen{this};
  while (!pending.empty()) {
    const SiteNode* site = pending.back();
    pending.pop_back();
    if (site == other) return true;
    if (!site->IsAssemblyKind()) continue;
    for (AttachmentNode* attachment : static_cast<const AssemblySite*>(site)->attachments_) {
      const SiteNode* child = attachment->GetAttachmentSite();
      if (child && seen.insert(child).second) pending.push_back(child);
    }
  }
  return false;
}

bool AssemblySite::IsAttachmentCompatible(const SiteNode* child) const {
  if (!child || child->GetAsmTree() != tree_) return false;
  if (child == this) return false;
  // Judged on the attachments themselves, not on a PART flag the host may
  // have set on an assembly: the site graph must stay free of cycles.
  return !(child->IsAssemblyKind() && static_cast<const AssemblySite*>(child)->IsSiteDescendentOfAssembly(this));
}

int AssemblySite::GetAssemblyRange(tagGBox* box) const {
  if (!box) return 1;
  box->SetEmpty();
  if (attachments_.IsEmpty()) return 1;
  int result = 1;
  bool first = true;
  for (AttachmentNode* attachment : attachments_) {
    const SiteNode* child = attachment->GetAttachmentSite();
    tagGBox childBox;
    if (!child) {
      result = 1;
      continue;
    }
    if (child->IsAssemblyKind()) {
      if (static_cast<const AssemblySite*>(child)->GetAssemblyRange(&childBox) != 0) {
        result = 1;
        continue;
      }
    } else {
      childBox = *static_cast<const PartSite*>(child)->GetRange();
    }
    const tagG4x4& matrix = attachment->GetXFormFromParent()->GiveAsG4x4();
    tagGBox placed = matrix * childBox;
    if (first) {
      *box = placed;
      first = false;
    } else {
      for (int i = 0; i < 3; ++i) {
        box->low[i] = std::min(box->low[i], placed.low[i]);
        box->high[i] = std::max(box->high[i], placed.high[i]);
      }
    }
    result = 0;
  }
  return result;
}

// ---- PartSite ----

PartSite::PartSite() : SiteNode(SITE_PART) {}

PartSite::~PartSite() = default;

void PartSite::Dump(FILE* file) { SiteNode::Dump(file); }

bool PartSite::IsRangeSet() const { return !IsRangeUnset(range_); }

const tagGBox* PartSite::GetRange() const { return IsRangeSet() ? &range_ : &kEmptyBox; }

HRESULT PartSite::SetRange(const tagGBox* box) {
  range_ = box ? *box : kEmptyBox;
  for (OccurrenceNode* occurrence : occurrences_) occurrence->SetDirty();
  return S_OK;
}

HRESULT PartSite::CheckOccurrenceTypes(int* designed, int* simplified, int* ipa, int* overridden) const {
  for (int* answer : {designed, simplified, ipa, overridden})
    if (answer) *answer = 0;
  auto complete = [&] {
    return (!designed || *designed) && (!simplified || *simplified) && (!ipa || *ipa) &&
           (!overridden || *overridden);
  };
  for (OccurrenceNode* occurrence : occurrences_) {
    if (complete()) break;
    if (occurrence->IsSimplified()) {
      if (simplified) *simplified = 1;
    } else if (designed) {
      *designed = 1;
    }
    if (ipa && occurrence->IsIPA()) *ipa = 1;
    if (overridden && occurrence->IsOverridden()) *overridden = 1;
  }
  return S_OK;
}

bool PartSite::HasDesignedOccurrence() const {
  int designed = 0;
  CheckOccurrenceTypes(&designed, nullptr, nullptr, nullptr);
  return designed != 0;
}

bool PartSite::HasSimplifiedOccurrence() const {
  int simplified = 0;
  CheckOccurrenceTypes(nullptr, &simplified, nullptr, nullptr);
  return simplified != 0;
}
