// Assembly children (kept sorted by attachment id for binary search),
// binding by attachment ids, name sorting and roadmaps of occurrences.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/occurrence_internal.h"
#include "quorra/host/trace.h"
#include "quorra/roadmap.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/occ";

using quorra::occ::ChildID;

}  // namespace

OccurrenceNode* AssemblyOccurrence::FindOccurrenceOfAttachmentID(DWORD id) const {
  DWORD count = 0;
  OccurrenceNode* const* children = children_.GetData(&count);
  if (count == 0) return nullptr;
  // Ids are usually handed out 1, 2, 3, ...: try the slot the id would
  // take in a dense list before searching.
  if (id - 1 < count && ChildID(children[id - 1]) == id) return children[id - 1];
  DWORD low = 0;
  DWORD high = count;
  while (low < high) {
    const DWORD middle = low + (high - low) / 2;
    const DWORD middleId = ChildID(children[middle]);
    if (middleId < id)
      low = middle + 1;
    else if (middleId > id)
      high = middle;
    else
      return children[middle];
  }
  return nullptr;
}

OccurrenceNode* AssemblyOccurrence::FindOccurrenceOfAttachment(AttachmentNode* attachment) const {
  return attachment ? FindOccurrenceOfAttachmentID(attachment->GetAttachmentID()) : nullptr;
}

OccurrenceNode* AssemblyOccurrence::Bind(DWORD count, const DWORD* ids) const {
  const OccurrenceNode* node = this;
  for (DWORD i = 0; i < count; ++i) {
    if (!node->IsAssembly()) return nullptr;
    node = static_cast<const AssemblyOccurrence*>(node)->FindOccurrenceOfAttachmentID(ids[i]);
    if (!node) return nullptr;
  }
  return const_cast<OccurrenceNode*>(node);
}

void AssemblyOccurrence::SortChildren() {
  OccurrenceNode** first = const_cast<OccurrenceNode**>(children_.GetData());
  OccurrenceNode** last = first + children_.GetCount();
  auto byId = [](const OccurrenceNode* a, const OccurrenceNode* b) { return ChildID(a) < ChildID(b); };
  // Children are usually appended in attachment order already.
  if (!std::is_sorted(first, last, byId)) std::stable_sort(first, last, byId);
}

namespace {

// Sorts `children` by a lower-cased name; a proper prefix sorts first.
template <class Name, class MakeName>
void SortByName(OccurrenceNode** first, OccurrenceNode** last, MakeName makeName) {
  std::vector<std::pair<Name, OccurrenceNode*>> named;
  named.reserve(static_cast<size_t>(last - first));
  for (OccurrenceNode** child = first; child != last; ++child) named.emplace_back(makeName(*child), *child);
  std::stable_sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < named.size(); ++i) first[i] = named[i].second;
}

std::wstring LowerName(const OccurrenceNode* occurrence) {
  GUserText name = quorra::GetOccurrenceName(occurrence);
  return quorra::host::LowerCase(name.GetText());
}

}  // namespace

void AssemblyOccurrence::SortChildrenByName() {
  if (OccurrenceManager* manager = GetAsmTree() ? GetAsmTree()->GetOccurrenceManager() : nullptr)
    manager->childOrderDisturbed_ = true;
  OccurrenceNode** first = const_cast<OccurrenceNode**>(children_.GetData());
  SortByName<std::string>(first, first + children_.GetCount(),
                          [](const OccurrenceNode* child) { return quorra::host::ToUtf8(LowerName(child)); });
}

void AssemblyOccurrence::SortChildrenByNameW() {
  if (OccurrenceManager* manager = GetAsmTree() ? GetAsmTree()->GetOccurrenceManager() : nullptr)
    manager->childOrderDisturbed_ = true;
  OccurrenceNode** first = const_cast<OccurrenceNode**>(children_.GetData());
  SortByName<std::wstring>(first, first + children_.GetCount(), LowerName);
}

HRESULT AssemblyOccurrence::RemoveChild(OccurrenceNode* child) {
  AsmTree* tree = GetAsmTree();
  OccurrenceManager* manager = tree ? tree->GetOccurrenceManager() : nullptr;
  if (manager && !manager->childOrderDisturbed_ && child && child->GetWritableAttachment()) {
    // The list is sorted by id and stays sorted without the entry: find it
    // among the children of its id instead of searching the whole list, and
    // let a removal from the middle leave a vacancy (vacancies keep the id
    // order) rather than move half the list.
    const DWORD id = ChildID(child);
    const DWORD at = children_.FindRawEntry(child, id, ChildID);
    if (at == children_.GetRawCount()) return S_FALSE;
    children_.RemoveRawAt(at, id);
    return S_OK;
  }
  HRESULT hr = children_.Remove(child);
  SortChildren();
  return hr;
}

void AssemblyOccurrence::DestroyChildren() {
  // Last child first, so that the sites' occurrence lists (in creation
  // order) lose their last entries; each child leaves the list before it is
  // destroyed, so no callback meets a destroyed sibling.
  for (DWORD i = children_.GetCount(); i-- > 0;) {
    OccurrenceNode* child = children_.GetAt(i);
    children_.RemoveAt(i);
    if (child) child->Destroy(TRUE);
  }
  children_.RemoveAll();
}

void AssemblyOccurrence::DirtyChildRanges() {
  for (OccurrenceNode* child : children_) child->SetDirty();
}

void AssemblyOccurrence::DirtyChildXforms() {
  for (OccurrenceNode* child : children_) child->SetXformDirty();
}

// ---- Roadmaps ----

// Collected from this occurrence upwards (the root occurrence's id 0 is not
// added), then reversed so that it reads root first like a DisplayRoadmap.
OccurrenceNode::operator JRoadmap() const {
  JRoadmap roadmap;
  const OccurrenceNode* node = this;
  roadmap.AddRoute(node->GetAttachmentID(), 0);
  while (node->parent_ && node->parent_->GetAttachmentID() != 0) {
    node = node->parent_;
    roadmap.AddRoute(node->GetAttachmentID(), 0);
  }
  roadmap.Reverse();
  return roadmap;
}

JRoadmap OccurrenceNode::GetRoadmap() const { return static_cast<JRoadmap>(*this); }

HRESULT OccurrenceNode::GetRoadmap(JRoadmap* rm) const {
  if (!rm) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetRoadmap");
  *rm = static_cast<JRoadmap>(*this);
  return S_OK;
}

HRESULT OccurrenceNode::GetDisplayRoadmap(DisplayRoadmap* rm) const {
  if (!rm) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetDisplayRoadmap");
  rm->Clear();
  for (const OccurrenceNode* node = this; node->parent_; node = node->parent_) {
    HRESULT hr = rm->AddLink(node->GetAttachmentID());
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::GetDisplayRoadmap");
  }
  rm->InvertPath();
  if (rm->GetEntryCount() == 0) return QUORRA_TRACE_FAIL(E_FAIL, "OccurrenceNode::GetDisplayRoadmap");
  return S_OK;
}
