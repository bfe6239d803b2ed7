// Placeholders answering E_NOTIMPL until the operations land.
#include "quorra/mercury.h"

HRESULT Mercury::SetHidden(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetActive(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetSimplified(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetCoordSysDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetSketchesDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetSurfacesDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetCurvesDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetConstructionsDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetRefPlanesDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetRefAxesDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetAsLastSavedDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetDimensionsDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetAnnotationsDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetLiveSectionsDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetDesignBodiesDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetCenterLineDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetDecalsDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetPointCloudsDisplay(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetHideInDrawing(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetHideInSubassembly(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetNotSelectable(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetDisplayAsDraftReference(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetExcludeFromPhysicalProperties(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetExcludeFromReports(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetExcludeFromInterference(int /*value*/) {
  return E_NOTIMPL;
}
