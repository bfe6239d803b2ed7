// The walk callbacks of the library that propagate state, clear per-node
// data, collect ranges and count.
#include "core/occurrence_internal.h"
#include "quorra/host/trace.h"
#include "quorra/walk.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/walk";

// Callbacks that take a plain integer as walk value.
inline bool WalkFlag(const TreeWalkContext* context) { return context->value != nullptr; }
}  // namespace

// ---- Visibility and in-place activation ----

HRESULT ShowHideCallback::VisitPart(PartOccurrence* part, TreeWalkContext* context) {
  if (WalkFlag(context))
    part->HideByParent();
  else
    part->ClearHideByParent();
  return WALK_CONTINUE;
}

HRESULT ShowHideCallback::VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) {
  if (WalkFlag(context)) {
    // Already hidden from above: its subtree is hidden too.
    if (assembly->IsHiddenByParent()) return WALK_PRUNE;
    assembly->HideByParent();
    return WALK_CONTINUE;
  }
  assembly->ClearHideByParent();
  // Its own HIDDEN keeps hiding its descendants.
  return assembly->IsHidden() ? WALK_PRUNE : WALK_CONTINUE;
}

HRESULT SetIPACallback::VisitPart(PartOccurrence* part, TreeWalkContext* context) {
  if (WalkFlag(context))
    part->SetParentIPA();
  else
    part->ClearParentIPA();
  return WALK_CONTINUE;
}

HRESULT SetIPACallback::VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) {
  if (WalkFlag(context))
    assembly->SetParentIPA();
  else
    assembly->ClearParentIPA();
  return WALK_CONTINUE;
}

// ---- Per-node data ----

HRESULT RemoveTrackOverridesCallback::VisitNode(OccurrenceNode* node, TreeWalkContext*) {
  if (!node) return QUORRA_TRACE_FAIL(E_INVALIDARG, "RemoveTrackOverridesCallback::VisitNode");
  node->RemoveUserData(UD_BODY_OVERRIDE_SOURCE);
  node->RemoveUserData(UD_HAVE_OVERRIDDEN_CHILD);
  return WALK_CONTINUE;
}

HRESULT DeleteDisplayTrackingData::VisitNode(OccurrenceNode* node, TreeWalkContext*) {
  if (node) node->RemoveUserData(UD_TRACK_DISPLAY);
  return WALK_CONTINUE;
}

HRESULT DeAnimate::VisitNode(OccurrenceNode* node, TreeWalkContext*) {
  if (node) node->ClearAnimatedMatrix();
  return WALK_CONTINUE;
}

// ---- Ranges ----

namespace {
void Widen(TreeWalkContext* context, OccurrenceNode* node) {
  auto* box = static_cast<tagGBox*>(context->value);
  if (box) box->Add(*node->GetRange());
}
}  // namespace

HRESULT UpdateRanges::VisitPart(PartOccurrence* part, TreeWalkContext* context) {
  Widen(context, part);
  return WALK_CONTINUE;
}

HRESULT UpdateRanges::EndAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) {
  Widen(context, assembly);
  return WALK_CONTINUE;
}

// ---- Counters ----

HRESULT quorra::PartAndAssemblyCounter::VisitPart(PartOccurrence*, TreeWalkContext*) {
  ++parts_;
  return WALK_CONTINUE;
}

HRESULT quorra::PartAndAssemblyCounter::VisitAssembly(AssemblyOccurrence*, TreeWalkContext*) {
  ++assemblies_;
  return WALK_CONTINUE;
}

HRESULT TreeCounter::VisitPart(PartOccurrence* part, TreeWalkContext* context) {
  if (output_) {
    const wchar_t* path = nullptr;
    if (SiteNode* site = part->GetSite()) path = site->GetFilePath(true).GetText();
    std::fprintf(output_, "%s\n", quorra::host::ToUtf8(path ? path : L"").c_str());
  }
  return PartAndAssemblyCounter::VisitPart(part, context);
}
