// Occurrence-tree construction: the root assembly and its root attachment,
// the depth-first expansion of the site graph into one occurrence per path
// of attachments, the per-site occurrence lists (reserved up front by
// counting paths), and the collection of new occurrences while attachments
// are added.
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "core/occurrence_arena.h"
#include "core/occurrence_internal.h"
#include "host/fault_injection.h"
#include "quorra/host/trace.h"
#include "quorra/roadmap.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/tree";
constexpr const char* kOccTraceSource = "SERVICES/quorra/dev/occ";
constexpr const char* kSiteTraceSource = "SERVICES/quorra/dev/site";

// Failures of the site and occurrence steps are traced under their areas.
#define QUORRA_TRACE_SITE(hr, operation) \
  ::HRerrEx(nullptr, nullptr, (hr), nullptr, kSiteTraceSource, __LINE__, (operation))
#define QUORRA_TRACE_OCC(hr, operation) \
  ::HRerrEx(nullptr, nullptr, (hr), nullptr, kOccTraceSource, __LINE__, (operation))

// An attachment carrying this user datum with the value 1 asks for its
// assembly child to be expanded only when it is displayed.
constexpr DWORD kDeferredExpansionUserData = 99;

// Children arrays up to this size live on the stack while they are made.
constexpr DWORD kInlineChildren = 64;
}  // namespace

// ---- Tree level ----

HRESULT AsmTree::CreateRootAssembly(const wchar_t* path, DWORD word, AssemblyOccurrence** root) {
  AssemblySite* site = nullptr;
  HRESULT hr = CreateAssemblySite(path, word, &site);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::CreateRootAssembly");
  hr = CreateOccurrenceTree(site);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::CreateRootAssembly");
  if (root) *root = GetRootAssembly();
  dirty_ |= ASMTREE_DIRTY_INVALID;
  return S_OK;
}

HRESULT AsmTree::CreateOccurrenceTree(AssemblySite* rootSite) {
  if (!rootSite) return QUORRA_TRACE_FAIL(E_INVALIDARG, "AsmTree::CreateOccurrenceTree");
  HRESULT hr = PreAllocOccurrenceLists(rootSite);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::CreateOccurrenceTree");

  // The root hangs below an attachment of no assembly site: id 0,
  // symbology 0, the identity placement.
  AttachmentBundle bundle{};
  bundle.site = rootSite;
  bundle.matrix.BuildFromG4x4(nullptr);
  bundle.symbology = 0;
  bundle.attachmentId = 0;
  auto* rootAttachment = quorra::AllocationFails() ? nullptr : new (std::nothrow) AttachmentNode(nullptr, &bundle);
  if (!rootAttachment) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AsmTree::CreateOccurrenceTree");
  hr = rootAttachment->Init();
  if (FAILED(hr)) {
    delete rootAttachment;
    return QUORRA_TRACE_FAIL(hr, "AsmTree::CreateOccurrenceTree");
  }

  OccurrenceNode* root = nullptr;
  hr = rootSite->CreateOccurrence(rootAttachment, nullptr, &root);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::CreateOccurrenceTree");
  auto* rootAssembly = static_cast<AssemblyOccurrence*>(root);
  occurrences_->SetRootAssembly(rootAssembly);
  hr = rootAssembly->FillInChildren();
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::CreateOccurrenceTree");
  dirty_ |= ASMTREE_DIRTY_INVALID;
  return S_OK;
}

HRESULT AsmTree::PreAllocOccurrenceLists(AssemblySite* rootSite) {
  if (assemblySites_->VerifyNoOccurrences() == S_FALSE || partSites_->VerifyNoOccurrences() == S_FALSE) return S_FALSE;
  rootSite->PreAllocOccurrence();
  HRESULT hr = rootSite->PreAllocOccurrenceLists();
  if (FAILED(hr)) return hr;
  hr = assemblySites_->FinishPreAlloc();
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::PreAllocOccurrenceLists");
  hr = partSites_->FinishPreAlloc();
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::PreAllocOccurrenceLists");
  return S_OK;
}

// ---- Site level ----

HRESULT SiteManager::VerifyNoOccurrences() const {
  for (SiteNode* site : Nodes())
    if (site && !site->GetOccurrencesList()->IsEmpty()) return S_FALSE;
  return S_OK;
}

HRESULT SiteManager::FinishPreAlloc() { return S_OK; }

HRESULT SiteNode::PreAllocOccurrence() { return S_OK; }

HRESULT SiteNode::PreAllocOccurrencesSpace(DWORD n) { return GetOccurrencesList()->Reserve(n); }

// Reserves nothing: the lists grow as the occurrences are made. Counting
// the paths that lead to every site would walk every attachment of the site
// graph, which for a tree of unique sub-assemblies costs a third of the
// build, to save a few regrowths of the lists of shared parts.
HRESULT AssemblySite::PreAllocOccurrenceLists() { return S_OK; }

HRESULT SiteNode::AddOccurrences(DWORD n, OccurrenceNode** occurrences) {
  HRESULT hr = GetOccurrencesList()->AddNodes(n, occurrences);
  if (FAILED(hr)) return QUORRA_TRACE_SITE(hr, "SiteNode::AddOccurrences");
  return S_OK;
}

HRESULT SiteNode::CreateOccurrence(AttachmentNode* attachment, AssemblyOccurrence* parent,
                                   OccurrenceNode** occurrence) {
  constexpr const char* kOperation = "SiteNode::CreateOccurrence";
  if (occurrence) *occurrence = nullptr;
  OccurrenceNode* node = nullptr;
  quorra::OccurrenceArena* arena = tree_ ? quorra::OccurrenceArenaAccess::Of(tree_->GetOccurrenceManager()) : nullptr;
  if (IsAssembly()) {
    auto* assembly = quorra::NewOccurrence<AssemblyOccurrence>(arena, attachment, parent);
    if (!assembly) return QUORRA_TRACE_SITE(E_OUTOFMEMORY, kOperation);
    assembly->Init();
    node = assembly;
  } else if (IsPart()) {
    auto* part = quorra::NewOccurrence<PartOccurrence>(arena, attachment, parent);
    if (!part) return QUORRA_TRACE_SITE(E_OUTOFMEMORY, kOperation);
    part->Init();
    part->InitPartOccurrence();
    node = part;
  } else {
    return QUORRA_TRACE_SITE(E_UNEXPECTED, kOperation);
  }
  HRESULT hr = AddOccurrences(1, &node);
  if (FAILED(hr)) {
    delete node;
    return QUORRA_TRACE_SITE(hr, kOperation);
  }
  if (AsmTree* tree = GetAsmTree()) {
    hr = tree->CallCreateOccurrenceCallbacks(node);
    // The occurrence stays in the site's list but is not handed out: the
    // tree destroys it when it goes.
    if (FAILED(hr)) {
      if (OccurrenceManager* manager = tree->GetOccurrenceManager()) manager->KeepOrphans(&node, 1);
      return QUORRA_TRACE_SITE(hr, kOperation);
    }
  }
  if (occurrence) *occurrence = node;
  return S_OK;
}

HRESULT AssemblySite::CreateAndAddAssembly(const wchar_t* path, DWORD id, DWORD symbology, tagG4x4* matrix,
                                           AttachmentNode** attachment, int* isNew,
                                           NodeList<OccurrenceNode>* newOccurrences) {
  constexpr const char* kOperation = "AssemblySite::CreateAndAddAssembly";
  AssemblySite* site = nullptr;
  HRESULT hr = GetAsmTree()->CreateAssemblySite(path, symbology, &site);
  if (FAILED(hr)) return QUORRA_TRACE_SITE(hr, kOperation);
  if (isNew) *isNew = hr == S_OK ? 1 : 0;
  hr = InternalCreateAndAddOcc(site, id, symbology, matrix, attachment, isNew, newOccurrences);
  if (FAILED(hr)) return QUORRA_TRACE_SITE(hr, kOperation);
  return hr;
}

HRESULT AssemblySite::CreateAndAddPart(const wchar_t* path, DWORD id, DWORD symbology, tagG4x4* matrix,
                                       AttachmentNode** attachment, int* isNew,
                                       NodeList<OccurrenceNode>* newOccurrences) {
  constexpr const char* kOperation = "AssemblySite::CreateAndAddPart";
  PartSite* site = nullptr;
  HRESULT hr = GetAsmTree()->CreatePartSite(path, symbology, &site);
  if (FAILED(hr)) return QUORRA_TRACE_SITE(hr, kOperation);
  if (isNew) *isNew = hr == S_OK ? 1 : 0;
  hr = InternalCreateAndAddOcc(site, id, symbology, matrix, attachment, isNew, newOccurrences);
  if (FAILED(hr)) return QUORRA_TRACE_SITE(hr, kOperation);
  return hr;
}

HRESULT AssemblySite::InternalCreateAndAddOcc(SiteNode* site, DWORD id, DWORD symbology, tagG4x4* matrix,
                                              AttachmentNode** attachment, int*,
                                              NodeList<OccurrenceNode>* newOccurrences) {
  constexpr const char* kOperation = "AssemblySite::InternalCreateAndAddOcc";
  AsmTree* tree = GetAsmTree();
  // Registered last, so it is the first callback called.
  NewOccurrencesCallback collector(newOccurrences);
  const bool collecting = newOccurrences != nullptr;
  if (collecting) {
    HRESULT hr = tree->AddTreeModificationCallback(&collector);
    if (FAILED(hr)) return QUORRA_TRACE_SITE(hr, kOperation);
  }
  CheckAttachmentID(id);
  AttachmentBundle bundle{};
  bundle.site = site;
  bundle.matrix.BuildFromG4x4(matrix);
  bundle.symbology = symbology;
  bundle.attachmentId = id;
  HRESULT hr = AddAttachments(1, &bundle, attachment);
  if (FAILED(hr)) QUORRA_TRACE_SITE(hr, kOperation);
  if (collecting) tree->RemoveTreeModificationCallback(&collector);
  return hr;
}

HRESULT NewOccurrencesCallback::CreateOccurrence(OccurrenceNode* occurrence) {
  if (!list_ || FAILED(list_->Add(occurrence)))
    return QUORRA_TRACE_FAIL(E_FAIL, "NewOccurrencesCallback::CreateOccurrence");
  return S_OK;
}

// ---- Occurrence level ----

namespace {
// True when `roadmap` is the occurrence's display roadmap (the root's is
// empty), compared without building it.
bool IsNamedBy(const OccurrenceNode* occurrence, const DisplayRoadmap& roadmap) {
  DWORD depth = 0;
  for (const OccurrenceNode* node = occurrence; node->GetParent(); node = node->GetParent()) ++depth;
  if (depth != roadmap.GetEntryCount()) return false;
  for (const OccurrenceNode* node = occurrence; node->GetParent(); node = node->GetParent())
    if (roadmap.GetData(--depth) != node->GetAttachmentID()) return false;
  return true;
}
}  // namespace

bool AssemblyOccurrence::DefersExpansion(AttachmentNode* attachment, bool hasGraphicContext) {
  if (!hasGraphicContext) return false;
  int found = 0;
  void* value = attachment->GetUserData(kDeferredExpansionUserData, &found);
  if (!found || value != reinterpret_cast<void*>(uintptr_t{1})) return false;
  // The branch the user is editing in place is always expanded.
  const DisplayRoadmap* ipa = GetAsmTree()->GetIPARoadmap();
  return !ipa || !IsNamedBy(this, *ipa);
}

HRESULT AssemblyOccurrence::CreateOccurrences(DWORD n, AttachmentNode* const* attachments) {
  constexpr const char* kOperation = "AssemblyOccurrence::CreateOccurrences";
  if (n == 0) return S_FALSE;
  if (!attachments) return QUORRA_TRACE_OCC(E_INVALIDARG, kOperation);
  AsmTree* tree = GetAsmTree();
  const bool hasGraphicContext = tree && tree->GetGraphicContext();
  const bool wasPossiblyDirty = IsPossiblyDirty();

  OccurrenceNode* inlineChildren[kInlineChildren];
  std::unique_ptr<OccurrenceNode*[]> heapChildren;
  OccurrenceNode** made = inlineChildren;
  if (n > kInlineChildren) {
    heapChildren.reset(new (std::nothrow) OccurrenceNode*[n]);
    if (!heapChildren) return QUORRA_TRACE_OCC(E_OUTOFMEMORY, kOperation);
    made = heapChildren.get();
  }

  // Children made before a failure stay in their sites' lists but are not
  // this occurrence's: the tree keeps them, to destroy them when it goes.
  auto abandon = [&](DWORD madeCount, HRESULT hr) {
    if (tree && madeCount)
      if (OccurrenceManager* manager = tree->GetOccurrenceManager()) manager->KeepOrphans(made, madeCount);
    return QUORRA_TRACE_OCC(hr, kOperation);
  };
  tagGBox accumulated;
  bool incomplete = false;
  for (DWORD i = 0; i < n; ++i) {
    AttachmentNode* attachment = attachments[i];
    SiteNode* site = attachment->GetAttachmentSite();
    OccurrenceNode* child = nullptr;
    HRESULT hr = site->CreateOccurrence(attachment, this, &child);
    if (FAILED(hr)) return abandon(i, hr);
    made[i] = child;
    if (site->IsAssembly()) {
      if (DefersExpansion(attachment, hasGraphicContext)) continue;
      hr = static_cast<AssemblyOccurrence*>(child)->FillInChildren();
      if (FAILED(hr)) return abandon(i + 1, hr);
    }
    if (quorra::occ::IsRangeSet(child->range_))
      accumulated.Add(child->range_);
    else
      incomplete = true;
  }

  HRESULT hr = children_.AddNodes(n, made);
  if (FAILED(hr)) return abandon(n, hr);
  SortChildren();
  AddToRange(&accumulated);
  if (!wasPossiblyDirty && !incomplete) ClearDirty();
  return S_OK;
}

HRESULT AssemblyOccurrence::FillInChildren() {
  auto* site = static_cast<AssemblySite*>(GetSite());
  if (!site) return QUORRA_TRACE_OCC(E_UNEXPECTED, "AssemblyOccurrence::FillInChildren");
  DWORD count = 0;
  AttachmentNode* const* attachments = nullptr;
  site->GetAttachments(&count, &attachments);
  HRESULT hr = CreateOccurrences(count, attachments);
  if (FAILED(hr)) return QUORRA_TRACE_OCC(hr, "AssemblyOccurrence::FillInChildren");
  return S_OK;
}
