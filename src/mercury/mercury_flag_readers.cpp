// Mercury's readers of occurrence flags: each resolves the occurrence and
// answers from the live node, that is the value after the overrides of the
// override table were applied.
#include "quorra/host/trace.h"
#include "quorra/mercury.h"
#include "quorra/occurrence.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";
}  // namespace

HRESULT Mercury::ResolveOccurrenceForRead(const char* operation) {
  HRESULT hr = ResolveContext(RC_OCCURRENCE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, operation);
  return hr;
}

HRESULT Mercury::ReadFlag(const char* operation, bool (*read)(const OccurrenceNode&), int* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
  HRESULT hr = ResolveOccurrenceForRead(operation);
  if (FAILED(hr)) return hr;
  *out = read(*occurrence_) ? 1 : 0;
  return S_OK;
}

#define QUORRA_MERCURY_FLAG_READER(Operation, expression)                                         \
  HRESULT Mercury::Operation(int* out) {                                                          \
    return ReadFlag(                                                                              \
        "Mercury::" #Operation, [](const OccurrenceNode& o) -> bool { return expression; }, out); \
  }

QUORRA_MERCURY_FLAG_READER(GetHidden, o.IsHidden())
QUORRA_MERCURY_FLAG_READER(GetVisible, !o.IsHiddenByParent())
QUORRA_MERCURY_FLAG_READER(GetActive, o.IsActive())
QUORRA_MERCURY_FLAG_READER(GetCoordSysDisplay, o.GetCoordSysDisplay())
QUORRA_MERCURY_FLAG_READER(GetSketchesDisplay, o.GetSketchesDisplay())
QUORRA_MERCURY_FLAG_READER(GetSurfacesDisplay, o.GetSurfacesDisplay())
QUORRA_MERCURY_FLAG_READER(GetCurvesDisplay, o.GetCurvesDisplay())
QUORRA_MERCURY_FLAG_READER(GetConstructionsDisplay, o.GetConstructionsDisplay())
QUORRA_MERCURY_FLAG_READER(GetRefPlanesDisplay, o.GetRefPlanesDisplay())
QUORRA_MERCURY_FLAG_READER(GetRefAxesDisplay, o.GetRefAxesDisplay())
QUORRA_MERCURY_FLAG_READER(GetAsLastSavedDisplay, o.GetAsLastSavedDisplay())
QUORRA_MERCURY_FLAG_READER(GetDimensionsDisplay, o.GetDimensionsDisplay())
QUORRA_MERCURY_FLAG_READER(GetAnnotationsDisplay, o.GetAnnotationsDisplay())
QUORRA_MERCURY_FLAG_READER(GetLiveSectionsDisplay, o.GetLiveSectionsDisplay())
QUORRA_MERCURY_FLAG_READER(GetDesignBodiesDisplay, o.GetDesignBodiesDisplay())
QUORRA_MERCURY_FLAG_READER(GetCenterLineDisplay, o.GetCenterLineDisplay())
QUORRA_MERCURY_FLAG_READER(GetDecalsDisplay, o.GetDecalsDisplay())
QUORRA_MERCURY_FLAG_READER(GetPointCloudsDisplay, o.GetPointCloudsDisplay())
QUORRA_MERCURY_FLAG_READER(GetHideInDrawing, o.IsHiddenInDrawing())
QUORRA_MERCURY_FLAG_READER(GetHideInSubassembly, o.IsHiddenInSubassembly())
QUORRA_MERCURY_FLAG_READER(GetNotSelectable, o.IsNotSelectable())
QUORRA_MERCURY_FLAG_READER(GetDisplayAsDraftReference, o.IsDisplayAsReferenceInDraft())
QUORRA_MERCURY_FLAG_READER(GetExcludeFromPhysicalProperties, o.IsExcludedFromPhysicalProperties())
QUORRA_MERCURY_FLAG_READER(GetExcludeFromReports, o.IsExcludedFromReports())
QUORRA_MERCURY_FLAG_READER(GetExcludeFromInterference, o.IsExcludedFromInterference())

#undef QUORRA_MERCURY_FLAG_READER

// Not traced: callers ask this freely of contexts that may not resolve.
HRESULT Mercury::GetSimplified(int* out) {
  if (!out) return E_INVALIDARG;
  HRESULT hr = ResolveContext(RC_OCCURRENCE);
  if (FAILED(hr)) return hr;
  if (!occurrence_) return E_POINTER;
  *out = occurrence_->IsSimplified() ? 1 : 0;
  return S_OK;
}

HRESULT Mercury::GetStyle(DWORD* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetStyle");
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetStyle");
  if (FAILED(hr)) return hr;
  *out = occurrence_->GetSymbology();
  return S_OK;
}

// The kind questions leave the output alone when nothing resolves.
HRESULT Mercury::IsAssembly(int* out) {
  if (!out) return E_INVALIDARG;
  HRESULT hr = ResolveContext(RC_OCCURRENCE);
  if (occurrence_) *out = occurrence_->IsAssembly() ? 1 : 0;
  return hr;
}

HRESULT Mercury::IsPart(int* out) {
  if (!out) return E_INVALIDARG;
  HRESULT hr = ResolveContext(RC_OCCURRENCE);
  if (occurrence_) *out = occurrence_->IsPart() ? 1 : 0;
  return hr;
}

// An occurrence that cannot be found is neither adaptable nor adjustable.
HRESULT Mercury::GetAdaptable(int* out) {
  if (!out) return E_INVALIDARG;
  *out = 0;
  ResolveContext(RC_OCCURRENCE);
  if (!tree_) return E_POINTER;
  if (occurrence_) *out = occurrence_->IsAdaptable() ? 1 : 0;
  return S_OK;
}

HRESULT Mercury::GetAdjustablePart(int* out) {
  if (!out) return E_INVALIDARG;
  *out = 0;
  ResolveContext(RC_OCCURRENCE);
  if (!tree_) return E_POINTER;
  if (occurrence_) *out = occurrence_->IsAdjustablePart() ? 1 : 0;
  return S_OK;
}
