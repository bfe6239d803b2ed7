// Placeholders answering E_NOTIMPL until the operations land.
#include "quorra/mercury.h"

HRESULT Mercury::GetHidden(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetVisible(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetActive(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetSimplified(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetStyle(DWORD* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetCoordSysDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetSketchesDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetSurfacesDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetCurvesDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetConstructionsDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetRefPlanesDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetRefAxesDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetAsLastSavedDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetDimensionsDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetAnnotationsDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetLiveSectionsDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetDesignBodiesDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetCenterLineDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetDecalsDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetPointCloudsDisplay(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetHideInDrawing(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetHideInSubassembly(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetNotSelectable(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetDisplayAsDraftReference(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetExcludeFromPhysicalProperties(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetExcludeFromReports(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetExcludeFromInterference(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::IsAssembly(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::IsPart(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetAdaptable(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetAdjustablePart(int* /*out*/) {
  return E_NOTIMPL;
}
