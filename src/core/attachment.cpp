// Attachments: the node, the attachment manager, and the attachment
// operations of assembly sites (adding from bundles with the compatibility
// check, ids, removal, branch replacement, dirtiness).
#include "quorra/attachment.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <unordered_set>
#include <vector>

#include "core/dump_lines.h"
#include "core/occurrence_internal.h"
#include "host/fault_injection.h"
#include "quorra/host/container.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "quorra/symbology.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/attach";

// The child occurrence made from `attachment` below an occurrence of its
// parent site (an assembly site's occurrences are assembly occurrences).
// Found by id among the children (which removals may have left with
// vacancies); when no child of that id belongs to `attachment` (a caller
// gave two attachments the same id, or children sorted by name are out of
// id order), by address. A branch left behind would keep pointing at its
// destroyed attachment.
OccurrenceNode* ChildFor(OccurrenceNode* parentOccurrence, AttachmentNode* attachment) {
  const NodeList<OccurrenceNode>& children = static_cast<AssemblyOccurrence*>(parentOccurrence)->GetChildList();
  const DWORD at = quorra::occ::FindChildSlot(children, attachment);
  if (at < children.GetRawCount()) return children.GetRawData()[at];
  for (OccurrenceNode* candidate : children)
    if (candidate->GetWritableAttachment() == attachment) return candidate;
  return nullptr;
}

// Removes `attachment` from its site's list, keeping the order: S_OK, or
// S_FALSE when the list does not hold it. Ids are usually handed out 1, 2,
// 3, ... and appended, so the list is mostly sorted by id: the list's
// search by id finds the entry without reading the whole list, and a
// removal from the middle leaves a vacancy instead of moving half the list.
// A list out of id order falls back to a search from both ends.
HRESULT RemoveListedAttachment(NodeList<AttachmentNode>& list, AttachmentNode* attachment) {
  const DWORD id = attachment->GetAttachmentID();
  const DWORD at =
      list.FindRawEntry(attachment, id, [](const AttachmentNode* node) { return node->GetAttachmentID(); });
  if (at == list.GetRawCount()) return list.RemoveUniqueRaw(attachment);
  list.RemoveRawAt(at, id);
  return S_OK;
}

// Attachment nodes holding a user data map (made by their first
// AddUserData, released by Destroy).
std::atomic<size_t> gAttachmentsHoldingUserData{0};

}  // namespace

size_t quorra::AttachmentsHoldingUserData() { return gAttachmentsHoldingUserData.load(std::memory_order_relaxed); }

// ---- AttachmentNode ----

AttachmentNode::AttachmentNode(AssemblySite* parent, const AttachmentBundle* bundle)
    : id_(bundle ? bundle->attachmentId : 0),
      transform_(bundle ? bundle->matrix : AttachmentMatrix()),
      symbology_(bundle ? bundle->symbology : 0),
      site_(bundle ? bundle->site : nullptr),
      parent_(parent) {
  if (parent_) ++parent_->namingAttachments_;
}

AttachmentNode::~AttachmentNode() { Destroy(); }

void AttachmentNode::ForgetParent() {
  if (parent_) --parent_->namingAttachments_;
  parent_ = nullptr;
}

HRESULT AttachmentNode::Init() {
  AttachmentManager* manager = GetAttachmentManager();
  if (!manager) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "AttachmentNode::Init");
  AttachmentNode* self = this;
  HRESULT hr = manager->AddNodes(1, &self);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AttachmentNode::Init");
  return S_OK;
}

HRESULT AttachmentNode::Destroy() {
  // A node still listed by its parent leaves the list, so the parent never
  // holds a destroyed node.
  if (AssemblySite* parent = parent_) {
    ForgetParent();
    RemoveListedAttachment(parent->attachments_, this);
  }
  AttachmentManager* manager = GetAttachmentManager();
  HRESULT hr = manager ? manager->RemoveNode(this) : E_FAIL;
  styleLibrary_ = nullptr;
  style_ = nullptr;
  if (userData_.Map()) {
    userData_.Release();
    gAttachmentsHoldingUserData.fetch_sub(1, std::memory_order_relaxed);
  }
  return hr;
}

HRESULT AttachmentNode::AddUserData(DWORD type, void* value) {
  const bool held = userData_.Map() != nullptr;
  const HRESULT hr = userData_.Add(type, value);
  if (!held && userData_.Map()) gAttachmentsHoldingUserData.fetch_add(1, std::memory_order_relaxed);
  return hr;
}

HRESULT AttachmentNode::SetAttachmentID(DWORD id) {
  // The children made from this node may now be out of id order.
  if (id != id_)
    if (AsmTree* tree = GetAsmTree())
      if (OccurrenceManager* occurrences = tree->GetOccurrenceManager()) occurrences->childOrderDisturbed_ = true;
  id_ = id;
  return S_OK;
}

AsmTree* AttachmentNode::GetAsmTree() const { return site_ ? site_->GetAsmTree() : nullptr; }

AttachmentManager* AttachmentNode::GetAttachmentManager() const {
  AsmTree* tree = GetAsmTree();
  return tree ? tree->GetAttachmentManager() : nullptr;
}

void AttachmentNode::SetXFormFromParent(const AttachmentMatrix* matrix) {
  if (matrix) transform_ = *matrix;
  if (parent_) parent_->AttachmentIsDirty(this);
}

IJStyleLibrary* AttachmentNode::GetStyleLibrary() const { return ValidateStyleLibrary(styleLibrary_); }

void AttachmentNode::SetStyleLibrary(IJStyleLibrary* library) {
  IJStyleLibrary* validated = ValidateStyleLibrary(library);
  // A style cached from another library may not outlive it.
  if (validated != styleLibrary_) style_ = nullptr;
  styleLibrary_ = validated;
}

GGlobalStyle3D* AttachmentNode::GetStyle(DWORD key) {
  if (key == 0 && style_) return style_;
  const DWORD symbology = symbology_ ? symbology_ : key;
  if (!symbology) return nullptr;
  GGlobalStyle3D* style = quorra::FindOrCreateSymbologyStyle(GetStyleLibrary(), symbology);
  if (key == symbology_) style_ = style;
  return style;
}

HRESULT AttachmentNode::GetOccurrences(NodeList<OccurrenceNode>* list) const {
  if (!list) return QUORRA_TRACE_FAIL(E_INVALIDARG, "AttachmentNode::GetOccurrences");
  list->RemoveAll();
  if (parent_) {
    auto* self = const_cast<AttachmentNode*>(this);
    for (OccurrenceNode* occurrence : *parent_->GetOccurrencesList()) {
      if (OccurrenceNode* child = ChildFor(occurrence, self)) {
        if (FAILED(list->Add(child))) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AttachmentNode::GetOccurrences");
      }
    }
  }
  return list->IsEmpty() ? S_FALSE : S_OK;
}

HRESULT AttachmentNode::GetHelixReference(REFIID iid, void** out) const {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "AttachmentNode::GetHelixReference");
  *out = nullptr;
  IJOccurrenceContainer* container = nullptr;
  if (parent_) parent_->GetDocument(IID_IJOccurrenceContainer, reinterpret_cast<void**>(&container));
  if (!container && site_ && site_->IsLocal())
    site_->GetDocument(IID_IJOccurrenceContainer, reinterpret_cast<void**>(&container));
  if (!container) return QUORRA_TRACE_FAIL(E_FAIL, "AttachmentNode::GetHelixReference");
  HRESULT hr = container->GetMember(id_, iid, out);
  container->Release();
  return hr;
}

void AttachmentNode::Dump(FILE* file) const {
  if (!file) return;
  std::string text = quorra::host::FormatNarrow("AttachmentNode %#.8p id %d  Attachment site %#.8p  Parent site %#.8p",
                                                this, id_, site_, parent_);
  text += parent_ ? quorra::host::FormatNarrow(" (%S)\n", parent_->GetFilePath(true).GetText()) : std::string("\n");
  text += "Attachment site follows\n";
  quorra::WriteDumpLines(file, text);
  if (site_) site_->Dump(file);
}

extern "C" HRESULT DeleteAttachmentNode(AttachmentNode* attachment) {
  if (!attachment) return QUORRA_TRACE_FAIL(E_INVALIDARG, "DeleteAttachmentNode");
  delete attachment;
  return S_OK;
}

// ---- AttachmentManager ----

AttachmentManager::~AttachmentManager() {
  // Detach every node from its parent first (emptying the lists at once),
  // so that destroying them does not search the lists node by node.
  for (AttachmentNode* attachment : Nodes())
    if (attachment) attachment->ForgetParent();
  if (AsmTree* tree = GetAsmTree()) {
    if (SiteManager* assemblies = tree->GetAssemblySiteManager()) {
      for (SiteNode* site : assemblies->Nodes())
        if (site->IsAssemblyKind()) static_cast<AssemblySite*>(site)->attachments_.RemoveAll();
    }
  }
  Clear();
}

namespace {

// Counts one more placement of the node's site (none for a node without a
// site). May throw std::bad_alloc.
void CountPlacement(quorra::PointerMap<SiteNode, size_t>& placements, const AttachmentNode* node) {
  const SiteNode* site = node ? node->GetAttachmentSite() : nullptr;
  if (!site) return;
  bool inserted = false;
  size_t& count = placements.FindOrInsert(site, 0, &inserted);
  ++count;
}

}  // namespace

bool AttachmentManager::IsSiteAttached(const SiteNode* site) const {
  if (!placementsCounted_ && site) {
    try {
      placements_.Reserve(GetCount());
      for (AttachmentNode* node : Nodes()) CountPlacement(placements_, node);
      placementsCounted_ = true;
    } catch (const std::bad_alloc&) {
      placements_.Clear();
    }
  }
  if (!placementsCounted_ || !site) {
    // Without the counts (and for no site), the answer of a scan.
    for (AttachmentNode* node : Nodes())
      if (node && node->GetAttachmentSite() == site) return true;
    return false;
  }
  const size_t* count = placements_.Find(site);
  return count && *count > 0;
}

HRESULT AttachmentManager::AddNodes(DWORD count, AttachmentNode* const* nodes) {
  HRESULT hr = NodeManager::AddNodes(count, nodes);
  if (FAILED(hr) || !placementsCounted_) return hr;
  try {
    for (DWORD i = 0; i < count; ++i) CountPlacement(placements_, nodes[i]);
  } catch (const std::bad_alloc&) {
    placements_.Clear();  // counted again when next asked
    placementsCounted_ = false;
  }
  return hr;
}

HRESULT AttachmentManager::RemoveNode(AttachmentNode* node) {
  const size_t removed = RemoveEntries(node);
  if (removed && placementsCounted_ && node) {
    const SiteNode* site = node->GetAttachmentSite();
    if (size_t* count = site ? placements_.Find(site) : nullptr) {
      *count -= std::min(*count, removed);
      if (*count == 0) placements_.Erase(site);
    }
  }
  return removed ? S_OK : S_FALSE;
}

void AttachmentManager::Clear() {
  placements_.Clear();
  placementsCounted_ = false;
  NodeManager::Clear();
}

// ---- attachment operations of AssemblySite ----

HRESULT AssemblySite::CheckAttachmentID(DWORD& id) {
  if (id == 0)
    id = AllocAttachmentID();
  else if (id > lastAttachmentId_)
    lastAttachmentId_ = id;
  return S_OK;
}

HRESULT AssemblySite::AddAttachments(DWORD n, const AttachmentBundle* bundles, AttachmentNode** out) {
  if (n == 0) return S_FALSE;
  if (!bundles) return QUORRA_TRACE_FAIL(E_INVALIDARG, "AssemblySite::AddAttachments");
  // Every child must be compatible before anything is made.
  if (!AreAttachmentsCompatible(n, bundles)) return QUORRA_TRACE_FAIL(E_INVALIDARG, "AssemblySite::AddAttachments");

  std::unique_ptr<AttachmentNode*[]> temporary;
  AttachmentNode** nodes = out;
  if (!nodes) {
    temporary.reset(new (std::nothrow) AttachmentNode*[n]);
    if (!temporary) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AssemblySite::AddAttachments");
    nodes = temporary.get();
  }

  // Nodes made before a failure stay in the attachment manager but are not
  // this site's: they forget it as their parent.
  auto abandon = [&](DWORD made) {
    for (DWORD i = 0; i < made; ++i) nodes[i]->ForgetParent();
  };
  for (DWORD i = 0; i < n; ++i) {
    auto* node = quorra::AllocationFails() ? nullptr : new (std::nothrow) AttachmentNode(this, &bundles[i]);
    if (!node) {
      abandon(i);
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AssemblySite::AddAttachments");
    }
    HRESULT hr = node->Init();
    if (FAILED(hr)) {
      node->ForgetParent();
      delete node;
      abandon(i);
      return QUORRA_TRACE_FAIL(hr, "AssemblySite::AddAttachments");
    }
    nodes[i] = node;
  }

  HRESULT hr = InternalAddAttachments(n, nodes);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AssemblySite::AddAttachments");
  return S_OK;
}

bool AssemblySite::AreAttachmentsCompatible(DWORD n, const AttachmentBundle* bundles) const {
  // The same answer as IsAttachmentCompatible for every child, but the
  // cycle check is one walk from all assembly children at once, each site
  // visited once, instead of one walk of each child's whole sub-graph.
  // Children that place nothing (parts, and assemblies being filled) cannot
  // lead back here: when every child is one, there is nothing to walk.
  bool walk = false;
  for (DWORD i = 0; i < n; ++i) {
    const SiteNode* child = bundles[i].site;
    if (!child || child->GetAsmTree() != tree_ || child == this) return false;
    if (child->IsAssemblyKind() && !static_cast<const AssemblySite*>(child)->attachments_.IsEmpty()) walk = true;
  }
  if (!walk) return true;
  std::vector<const SiteNode*> pending;
  std::unordered_set<const SiteNode*> seen;
  try {
    const SiteNode* checked = nullptr;
    for (DWORD i = 0; i < n; ++i) {
      const SiteNode* child = bundles[i].site;
      if (child == checked && child) continue;  // placements of one site come in runs
      checked = child;
      if (!child || child->GetAsmTree() != tree_ || child == this) return false;
      if (child->IsAssemblyKind() && seen.insert(child).second) pending.push_back(child);
    }
    while (!pending.empty()) {
      const SiteNode* site = pending.back();
      pending.pop_back();
      if (site == this) return false;
      if (!site->IsAssemblyKind()) continue;
      for (AttachmentNode* attachment : static_cast<const AssemblySite*>(site)->attachments_) {
        const SiteNode* child = attachment->GetAttachmentSite();
        if (child && seen.insert(child).second) pending.push_back(child);
      }
    }
  } catch (const std::bad_alloc&) {
    // Out of memory for the shared walk: judge the children one by one.
    for (DWORD i = 0; i < n; ++i)
      if (!IsAttachmentCompatible(bundles[i].site)) return false;
  }
  return true;
}

HRESULT AssemblySite::InternalAddAttachments(DWORD n, AttachmentNode** attachments) {
  const DWORD before = attachments_.GetCount();
  if (FAILED(attachments_.AddNodes(n, attachments)) || attachments_.GetCount() != before + n) {
    for (DWORD i = 0; i < n; ++i) attachments[i]->ForgetParent();
    return QUORRA_TRACE_FAIL(E_FAIL, "AssemblySite::InternalAddAttachments");
  }
  HRESULT hr = UpdateOccurrencesWithNewAttachments(n, attachments);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AssemblySite::InternalAddAttachments");
  return S_OK;
}

HRESULT AssemblySite::UpdateOccurrencesWithNewAttachments(DWORD n, AttachmentNode** attachments) {
  for (DWORD i = 0; i < occurrences_.GetCount(); ++i) {
    auto* occurrence = static_cast<AssemblyOccurrence*>(occurrences_.GetAt(i));
    HRESULT hr = occurrence->CreateOccurrences(n, attachments);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AssemblySite::UpdateOccurrencesWithNewAttachments");
  }
  return S_OK;
}

HRESULT AssemblySite::AddSingleAttachment(SiteNode* site, tagG4x4* matrix, DWORD symbology, DWORD id,
                                          AttachmentNode** out) {
  if (out) *out = nullptr;
  CheckAttachmentID(id);
  AttachmentBundle bundle;
  bundle.site = site;
  bundle.matrix.BuildFromG4x4(matrix);
  bundle.symbology = symbology;
  bundle.attachmentId = id;
  AttachmentNode* node = nullptr;
  HRESULT hr = AddAttachments(1, &bundle, &node);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AssemblySite::AddSingleAttachment");
  if (out) *out = node;
  return hr;
}

HRESULT AssemblySite::CreateAndAddAttachment(const wchar_t* path, DWORD id, DWORD symbology, tagG4x4* matrix,
                                             AttachmentNode** out, int* isNew,
                                             NodeList<OccurrenceNode>* occurrences) {
  if (IsAssemblyFileName(path)) return CreateAndAddAssembly(path, id, symbology, matrix, out, isNew, occurrences);
  if (IsPartFileName(path)) return CreateAndAddPart(path, id, symbology, matrix, out, isNew, occurrences);
  return QUORRA_TRACE_FAIL(E_INVALIDARG, "AssemblySite::CreateAndAddAttachment");
}

HRESULT AssemblySite::RemoveAttachment(AttachmentNode* attachment) { return attachments_.Remove(attachment); }

HRESULT AssemblySite::RemoveAndDestroyAttachment(AttachmentNode* attachment) {
  if (!attachment || RemoveListedAttachment(attachments_, attachment) != S_OK)
    return QUORRA_TRACE_FAIL(E_INVALIDARG, "AssemblySite::RemoveAndDestroyAttachment");
  DestroyUnlistedAttachment(attachment);
  return S_OK;
}

void AssemblySite::DestroyUnlistedAttachment(AttachmentNode* attachment) {
  // Each occurrence of this site loses the branch made from the attachment.
  for (DWORD i = 0; i < occurrences_.GetCount(); ++i) {
    if (OccurrenceNode* child = ChildFor(occurrences_.GetAt(i), attachment)) child->Destroy(0);
  }
  attachment->ForgetParent();  // already out of the list
  delete attachment;
}

HRESULT AssemblySite::ReplaceBranch(DWORD n, const AttachmentBundle* bundles, AttachmentNode** out) {
  // The old branch goes first, last attachment first; only then are the new
  // bundles added, so bad input leaves the site without children.
  // By position, so that a long list costs one step per attachment.
  while (!attachments_.IsEmpty()) {
    const DWORD last = attachments_.GetCount() - 1;
    AttachmentNode* attachment = attachments_.GetAt(last);
    attachments_.RemoveAt(last);
    DestroyUnlistedAttachment(attachment);
  }
  HRESULT hr = AddAttachments(n, bundles, out);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AssemblySite::ReplaceBranch");
  // Sites placed nowhere any more go, this one included when nothing shows
  // or places it. Its new attachments then go with it: the caller's array
  // forgets them.
  AsmTree* tree = tree_;
  if (!tree) return S_OK;
  const AssemblySite* self = this;
  tree->DeleteUnusedSites();
  SiteManager* assemblies = tree->GetAssemblySiteManager();
  const bool survived = assemblies && std::find(assemblies->Nodes().begin(), assemblies->Nodes().end(), self) !=
                                          assemblies->Nodes().end();
  if (!survived && out) std::fill(out, out + n, nullptr);
  return S_OK;
}

HRESULT AssemblySite::GetAttachments(DWORD* n, AttachmentNode* const** list) const {
  if (!n || !list) return QUORRA_TRACE_FAIL(E_INVALIDARG, "AssemblySite::GetAttachments");
  *n = attachments_.GetCount();
  *list = attachments_.GetData();
  return S_OK;
}

HRESULT AssemblySite::AttachmentIsDirty(AttachmentNode* attachment) {
  for (DWORD i = 0; i < occurrences_.GetCount(); ++i) {
    if (OccurrenceNode* child = ChildFor(occurrences_.GetAt(i), attachment)) child->SetXformDirty();
  }
  if (tree_) tree_->ClearAllUserTokens(1);
  return S_OK;
}
