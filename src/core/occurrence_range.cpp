// Occurrence ranges: world-space extents refreshed lazily and
// incrementally. A change of geometry or placement makes a node DIRTY and
// its ancestors POSSIBLY_DIRTY; the next range query refreshes only the
// possibly dirty subtrees, and a node whose range changed stays "unadded"
// until its parent's incremental refresh has merged it.
#include <algorithm>
#include <cstring>

#include "core/occurrence_internal.h"
#include "quorra/host/modules.h"
#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/occ";
}  // namespace

using quorra::occ::IsRangeSet;

namespace {

using HostRangeFunction = HRESULT(OccurrenceNode*, tagGBox*);

quorra::host::LateBoundFunction<HostRangeFunction>& HostRange() {
  static quorra::host::LateBoundFunction<HostRangeFunction> getRange(L"brenik.dex", "JGetOccurrenceRange");
  return getRange;
}

// Fetches the lines of a node a range refresh reads and writes: flags,
// range, world matrix and the attachment and parent pointers.
inline void PrefetchNodeForRefresh(const OccurrenceNode* node) {
  const char* bytes = reinterpret_cast<const char*>(node);
  __builtin_prefetch(bytes, 1);
  __builtin_prefetch(bytes + 64, 1);
  __builtin_prefetch(bytes + 128, 1);
  __builtin_prefetch(bytes + 192, 1);
}

// Fetches the placement a refresh multiplies with (and the site pointer
// beside it); the node must have arrived already.
inline void PrefetchPlacement(const OccurrenceNode* node) {
  const char* attachment = reinterpret_cast<const char*>(node->GetAttachment());
  if (!attachment) return;
  __builtin_prefetch(attachment);
  __builtin_prefetch(attachment + 64);
  __builtin_prefetch(attachment + 128);
}

// How far ahead of the child being refreshed its siblings are fetched: a
// placement is fetched once its node's line with the attachment pointer has
// had time to arrive. On 10^6 unique leaves 8/4 beat 4/2, 6/3 and 12/6
// (a shared machine: differences of 10% or so).
constexpr DWORD kNodeAhead = 8;
constexpr DWORD kPlacementAhead = 4;

}  // namespace

// Resolved where a refresh starts; a refresh calls nothing that registers
// host modules or changes the tree's user data or graphic context, so the
// answers hold for every node it reaches.
struct OccurrenceNode::RangePass {
  explicit RangePass(const OccurrenceNode& start) : hostRange(HostRange().Get()) { Remember(start.GetAsmTree()); }

  // Whether a part of `site` may take the site's range: its tree has no
  // back pointer and no graphic context. Asked once per tree met.
  bool SiteRangesAllowed(const SiteNode* site) const {
    AsmTree* siteTree = site->GetAsmTree();
    if (siteTree != tree) Remember(siteTree);
    return siteRanges;
  }

  void Remember(AsmTree* next) const {
    tree = next;
    int backPointer = 0;
    if (tree) tree->GetUserData(UD_ASMTREE_BACK_POINTER, &backPointer);
    siteRanges = !backPointer && !(tree && tree->GetGraphicContext());
  }

  HostRangeFunction* hostRange;
  mutable AsmTree* tree = nullptr;
  mutable bool siteRanges = true;
};

HRESULT OccurrenceNode::GetHostStoredRange(tagGBox* box) {
  auto fn = HostRange().Get();
  return fn ? fn(this, box) : E_FAIL;
}

namespace {

// tagG4x4 * tagGBox (the same products, summed in the same order) stored
// straight into `out`, and only where a value changed: a refresh that finds
// the same box leaves the node's lines clean, and the box is never built on
// the stack and copied (which stalls on reloading the halves just stored).
inline void StoreTransformedBox(const tagG4x4& a, const tagGBox& box, tagGBox& out) {
  if (box.IsEmpty() || box.IsNull() || !a.IsAffine()) {
    const tagGBox r = a * box;
    if (std::memcmp(&r, &out, sizeof r) != 0) out = r;
    return;
  }
  const double* m = a.m;
  double low[3], high[3];
  for (int row = 0; row < 3; ++row) {
    double lo = m[4 * row + 3];
    double hi = lo;
    for (int col = 0; col < 3; ++col) {
      const double e = m[4 * row + col];
      const double l = e * box.low[col];
      const double h = e * box.high[col];
      lo += std::min(l, h);
      hi += std::max(l, h);
    }
    low[row] = lo;
    high[row] = hi;
  }
  for (int k = 0; k < 3; ++k) {
    // Compared as bits, so that -0.0 replaces 0.0 as the product would.
    if (std::memcmp(&out.low[k], &low[k], sizeof(double)) != 0) out.low[k] = low[k];
    if (std::memcmp(&out.high[k], &high[k], sizeof(double)) != 0) out.high[k] = high[k];
  }
}

}  // namespace

bool OccurrenceNode::StoreWorldRange(const tagGBox& local) {
  StoreTransformedBox(GetCurrentToWorld(), local, range_);
  ClearDirty();
  if (parent_ && parent_->IsPossiblyDirty()) SetUnadded();
  return true;
}

const tagGBox OccurrenceNode::kEmptyRange = tagGBox::Empty();

void OccurrenceNode::RefreshRangeForQuery() {
  HRESULT hr = RefreshRange(REFRESH_RANGE_INCREMENTAL, RangePass(*this));
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

HRESULT OccurrenceNode::RefreshRange(RefreshRangeOptions option) { return RefreshRange(option, RangePass(*this)); }

HRESULT OccurrenceNode::RefreshRange(RefreshRangeOptions option, const RangePass& pass) {
  if (IsPart()) return PartRefreshRange(option, pass);
  if (IsAssembly()) return AsmRefreshRange(option, pass);
  return QUORRA_TRACE_FAIL(E_UNEXPECTED, "OccurrenceNode::RefreshRange");
}

const tagGBox* OccurrenceNode::RangeForMerge(const RangePass& pass) {
  if (IsPossiblyDirty()) {
    HRESULT hr = RefreshRange(REFRESH_RANGE_INCREMENTAL, pass);
    if (FAILED(hr)) QUORRA_TRACE_FAIL(hr, "OccurrenceNode::GetRange");
  }
  return IsRangeSet(range_) ? &range_ : nullptr;
}

HRESULT OccurrenceNode::PartRefreshRange(RefreshRangeOptions option, const RangePass& pass) {
  if (option != REFRESH_RANGE_FULL && !IsDirty()) {
    ClearDirty();
    if (parent_ && parent_->IsPossiblyDirty()) SetUnadded();
    return S_OK;
  }
  tagGBox stored;
  if (pass.hostRange && pass.hostRange(this, &stored) == S_OK && !stored.IsEmpty() && !stored.IsNull()) {
    StoreWorldRange(stored);
    return S_OK;
  }
  SiteNode* site = GetSite();
  if (site && site->IsPart() && pass.SiteRangesAllowed(site)) {
    tagGBox siteRange;
    if (site->GetSiteRange(&siteRange) == 0 && !siteRange.IsNull() && !siteRange.IsEmpty()) {
      StoreWorldRange(siteRange);
      return S_OK;
    }
  }
  // Left as it is when already empty: a part that keeps having no geometry
  // is asked again on every refresh and need not dirty its lines.
  if (std::memcmp(&range_, &kEmptyRange, sizeof range_) != 0) range_ = kEmptyRange;
  return S_FALSE;
}

HRESULT OccurrenceNode::AsmRefreshRange(RefreshRangeOptions option, const RangePass& pass) {
  AssemblyOccurrence* self = static_cast<AssemblyOccurrence*>(this);
  if (IsXformDirty()) RefreshXform();
  OccurrenceNode* const* children = self->children_.GetData();
  const DWORD count = self->children_.GetCount();

  // Incremental: has anything below changed since the last merge?
  bool changed = true;
  if (option == REFRESH_RANGE_INCREMENTAL && !IsDirty()) {
    changed = false;
    for (DWORD i = 0; i < count; ++i) {
      if (i + kNodeAhead < count) __builtin_prefetch(children[i + kNodeAhead], 1);
      OccurrenceNode* child = children[i];
      if (child->IsPossiblyDirty() && child->RefreshRange(REFRESH_RANGE_INCREMENTAL, pass) == S_OK) changed = true;
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
  if (!pass.hostRange || pass.hostRange(this, &stored) != S_OK) {
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

  // Children are refreshed depth first as they are merged: their nodes and
  // placements are fetched a few siblings ahead.
  for (DWORD i = 0; i < count && i < kNodeAhead; ++i) PrefetchNodeForRefresh(children[i]);
  for (DWORD i = 0; i < count; ++i) {
    if (i + kNodeAhead < count) PrefetchNodeForRefresh(children[i + kNodeAhead]);
    if (i + kPlacementAhead < count) PrefetchPlacement(children[i + kPlacementAhead]);
    OccurrenceNode* child = children[i];
    if (option == REFRESH_RANGE_FULL) child->RefreshRange(REFRESH_RANGE_FULL, pass);
    if (!child->IsDisplayable() && !child->IsGhostMode()) continue;
    // A set range is never the empty box; the all-zero box is skipped.
    const tagGBox* range = child->RangeForMerge(pass);
    if (!range || range->IsNull()) continue;
    if (!accumulated) {
      accumulator = *range;
      accumulated = true;
      continue;
    }
    for (int k = 0; k < 3; ++k) {
      if (range->low[k] < accumulator.low[k]) accumulator.low[k] = range->low[k];
      if (range->high[k] > accumulator.high[k]) accumulator.high[k] = range->high[k];
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
  PartRefreshRange(REFRESH_RANGE_FULL, RangePass(*this));
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
