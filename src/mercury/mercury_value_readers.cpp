// Placeholders answering E_NOTIMPL until the operations land.
#include "quorra/mercury.h"

HRESULT Mercury::GetAttachmentMatrix(tagG4x4* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetOccurrenceMatrix(tagG4x4* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetCompleteMatrix(tagG4x4* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetConstraintMatrix(tagG4x4* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetConstraintMatrix(tagG4x4* /*out*/, DWORD /*resolveFlags*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetUndecoratedMatrix(tagG4x4* /*out*/, DWORD /*options*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetOverrideMatrix(tagG4x4* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetExplodeMatrixInPath(tagG4x4* /*out*/, bool* /*found*/) {
  return E_NOTIMPL;
}

BOOL Mercury::HasOverriddenMatrix() {
  return 0;
}

BOOL Mercury::HasOverriddenSolverStatus() {
  return 0;
}

HRESULT Mercury::GetOverrideSolverStatus(DWORD* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetOverrideVariable(DWORD /*firstId*/, DWORD /*secondId*/, double* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetOverrideVariable(DWORD /*firstId*/, quorra::OverrideVariableRange* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetOverrideConstraints(std::map<DWORD, DWORD>** /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetOverrideBodyData(JOverrideBodyData** /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetPreviousOverrideBodyData(JOverrideBodyData** /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetCurrentDocPreviousOverrideBodyData(JOverrideBodyData** /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetOwningCADSaveTime(FILETIME& /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetUnTransformedRange(tagGBox* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetBaseData(DWORD /*type*/, KVBaseData** /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetAssemblyData(DWORD /*type*/, KVBaseData** /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetAssemblyData(DWORD /*type*/, KVAssemblyData** /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetPartData(DWORD /*type*/, KVBaseData** /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetLitePartData(DWORD /*type*/, KVBaseData** /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::IsAdaptableAssemblyPresentInIOT(bool* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::IsAdjustableOccPresentInIOT(bool* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::IsAdjustablePartPresentInIOT(bool* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetAdaptableFromIOT(int* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetAdjustablePartFromIOT(int* /*out*/) {
  return E_NOTIMPL;
}
