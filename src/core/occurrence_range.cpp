// Occurrence ranges: world-space extents refreshed lazily and
// incrementally. A change of geometry or placement makes a node DIRTY and
// its ancestors POSSIBLY_DIRTY; the next range query refreshes only the
// possibly dirty subtrees, and a node whose range changed stays "unadded"
// until its parent's incremental refresh has merged it.
#include "core/occurrence_internal.h"
#include "quorra/host/modules.h"
#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/occ";
}  // namespace

using quorra::occ::IsRangeSet;

HRESULT OccurrenceNode::GetHostStoredRange(tagGBox* box) {
  static quorra::host::LateBoundFunction<HRESULT(OccurrenceNode*, tagGBox*)> getRange(L"brenik.dex",
                                                                                      "JGetOccurrenceRange");
  auto fn = getRange.Get();
  return fn ? fn(this, box) : E_FAIL;
}

bool OccurrenceNode::StoreWorldRange(const tagGBox& local) {
  range_ = GetCurrentToWorld() * local;
  ClearDirty();
  if (parent_ && parent_->IsPossiblyDirty()) SetUnadded();
  return true;
}

const tagGBox OccurrenceNode::kEmptyRange = tagGBox::Empty();

void OccurrenceNode::RefreshRangeForQuery() {
  HRESULT hr = RefreshRange(REFRESH_RANGE_INCREMENTAL);
  if (FAILED(hr)) QUORRA_TRACE_FAIL(hr, "OccurrenceNode::GetRange");
}

HRESULT OccurrenceNode::GetRange(tagGBox* box) {
  if (!box) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetRange");
  const tagGBox* range = GetRange();
  *box = *range;
  return range == &range_ ? S_OK : S_FALSE;
}

OccurrenceNode* OccurrenceNode::GetAncestor(const JRoadmap& rm) {
  for (OccurrenceNode* node = this; node; node = node->parent_) {
    if (static_cast<JRoadmap>(*node) == rm) return node;
  }
  return this;
}

tagGBox OccurrenceNode::GetRange(const JRoadmap& rm) { return *GetAncestor(rm)->GetRange(); }

HRESULT OccurrenceNode::SetRange(const tagGBox* box) {
  if (!box) {
    range_ = kEmptyRange;
    return S_OK;
  }
  range_ = *box;
  if (parent_) parent_->SetPossiblyDirty();
  return S_OK;
}

HRESULT OccurrenceNode::RefreshRange(RefreshRangeOptions option) {
  if (IsPart()) return PartRefreshRange(option);
  if (IsAssembly()) return AsmRefreshRange(option);
  return QUORRA_TRACE_FAIL(E_UNEXPECTED, "OccurrenceNode::RefreshRange");
}

HRESULT OccurrenceNode::PartRefreshRange(RefreshRangeOptions option) {
  if (option != REFRESH_RANGE_FULL && !IsDirty()) {
    ClearDirty();
    if (parent_ && parent_->IsPossiblyDirty()) SetUnadded();
    return S_OK;
  }
  tagGBox stored;
  if (GetHostStoredRange(&stored) == S_OK && !stored.IsEmpty() && !stored.IsNull()) {
    StoreWorldRange(stored);
    return S_OK;
  }
  AsmTree* tree = GetAsmTree();
  SiteNode* site = GetSite();
  int treeHasBackPointer = 0;
  if (tree) tree->GetUserData(UD_ASMTREE_BACK_POINTER, &treeHasBackPointer);
  if (!treeHasBackPointer && site && site->IsPart() && !GetGraphicContext()) {
    tagGBox siteRange;
    if (site->GetSiteRange(&siteRange) == 0 && !siteRange.IsNull() && !siteRange.IsEmpty()) {
      StoreWorldRange(siteRange);
      return S_OK;
    }
  }
  range_ = kEmptyRange;
  return S_FALSE;
}

HRESULT OccurrenceNode::AsmRefreshRange(RefreshRangeOptions option) {
  AssemblyOccurrence* self = static_cast<AssemblyOccurrence*>(this);
  if (IsXformDirty()) RefreshXform();

  // Incremental: has anything below changed since the last merge?
  bool changed = true;
  if (option == REFRESH_RANGE_INCREMENTAL && !IsDirty()) {
    changed = false;
    for (OccurrenceNode* child : self->children_) {
      if (child->IsPossiblyDirty() && child->RefreshRange(REFRESH_RANGE_INCREMENTAL) == S_OK) changed = true;
      if (child->IsUnadded()) {
        changed = true;
        child->ClearUnadded();
      }
    }
  }

  // The host's stored range is not available, available and empty, or
  // available and not empty (the all-zero box included: it is a point).
  tagGBox accumulator = kEmptyRange;
  bool accumulated = false;
  tagGBox stored;
  if (GetHostStoredRange(&stored) != S_OK) {
    if (!IsPossiblyDirty() && !changed) {
      ClearDirty();
      return S_FALSE;
    }
  } else if (!stored.IsEmpty()) {
    accumulator = GetCurrentToWorld() * stored;
    accumulated = true;
  } else if (!changed) {
    ClearDirty();
    return S_FALSE;
  }

  for (OccurrenceNode* child : self->children_) {
    if (option == REFRESH_RANGE_FULL) child->RefreshRange(REFRESH_RANGE_FULL);
    if (!child->IsDisplayable() && !child->IsGhostMode()) continue;
    tagGBox box;
    if (child->GetRange(&box) == S_FALSE) continue;
    if (quorra::occ::IsExactlyEmpty(box) || box.IsNull()) continue;
    if (!accumulated) {
      accumulator = box;
      accumulated = true;
      continue;
    }
    for (int i = 0; i < 3; ++i) {
      if (box.low[i] < accumulator.low[i]) accumulator.low[i] = box.low[i];
      if (box.high[i] > accumulator.high[i]) accumulator.high[i] = box.high[i];
    }
  }

  if (quorra::occ::SameBox(accumulator, range_) && !IsDirty()) {
    ClearDirty();
    return S_FALSE;
  }
  SetRange(&accumulator);
  if (parent_) SetUnadded();
  ClearDirty();
  return S_OK;
}

HRESULT PartOccurrence::InitPartOccurrence() {
  // A new part takes its range now when the host or its site has one;
  // otherwise it stays dirty until geometry arrives.
  flags_ |= OCC_DIRTY;
  PartRefreshRange(REFRESH_RANGE_FULL);
  return S_OK;
}

void AssemblyOccurrence::AddToRange(const tagGBox* box) {
  if (!box) return;
  const tagGBox before = range_;
  range_.Add(*box);
  if (!quorra::occ::SameBox(before, range_) && parent_) parent_->SetPossiblyDirty();
}

void AssemblyOccurrence::FlushRangeCache() {
  AsmTree* tree = GetAsmTree();
  if (tree) tree->SetFlushingRangeCache();
  SetDirty();
  if (tree) tree->ResetFlushingRangeCache();
}
