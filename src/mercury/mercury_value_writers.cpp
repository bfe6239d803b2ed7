// Placeholders answering E_NOTIMPL until the operations land.
#include "quorra/mercury.h"

HRESULT Mercury::SetStyle(DWORD /*style*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetOverrideMatrix(tagG4x4* /*matrix*/, DWORD /*updateFlags*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetOverrideMatrix(tagG4x4* /*matrix*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetOverrideSolverStatus(DWORD /*status*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetAdaptable(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetAdjustablePart(int /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& /*variables*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetOverrideVariable(DWORD /*firstId*/, DWORD /*secondId*/, double /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::ClearOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& /*variables*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::ClearOverrideVariable(DWORD /*firstId*/, DWORD /*secondId*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::AddOverrideConstraint(DWORD /*key*/, DWORD /*value*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::ClearOverrideConstraint(DWORD /*key*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetOverrideBodyData(JOverrideBodyData* /*bodyData*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetOverrideBodyDataMatrix(tagG4x4* /*matrix*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetCurrentDocPreviousOverrideBodyData(JOverrideBodyData* /*bodyData*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetOwningCADSaveTime(FILETIME const& /*time*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::RemoveOverrides(DWORD /*mask*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::RemoveAdaptable() {
  return E_NOTIMPL;
}

HRESULT Mercury::RemoveAdjustablePart() {
  return E_NOTIMPL;
}
