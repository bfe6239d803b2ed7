// The JMercury COM object, the module lock count and the exported class
// factory entry point.
#include "quorra/jmercury.h"

#include <atomic>
#include <new>

#include "mercury/jmercury_module.h"
#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";

// Raised and lowered only by the class factory's lock callbacks.
std::atomic<DWORD> gModuleLockCount{0};

void LockModule() { gModuleLockCount.fetch_add(1, std::memory_order_relaxed); }
void UnlockModule() { gModuleLockCount.fetch_sub(1, std::memory_order_relaxed); }

}  // namespace

namespace quorra {
DWORD GetModuleLockCount() { return gModuleLockCount.load(std::memory_order_relaxed); }
}  // namespace quorra

// ---- IUnknown ----

HRESULT JMercury::QueryInterface(REFIID iid, void** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "JMercury::QueryInterface");
  if (iid != IID_IUnknown && iid != IID_IJMercury) {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  *out = static_cast<IJMercury*>(this);
  AddRef();
  return S_OK;
}

ULONG JMercury::AddRef() { return ++refs_; }

ULONG JMercury::Release() {
  ULONG count = --refs_;
  if (count == 0) delete this;
  return count;
}

// ---- IJMercury slots 3-115: each forwards to the Mercury member of the same name ----

HRESULT JMercury::SetContext(IUnknown* context, SetContextFlags flags) { return mercury_.SetContext(context, flags); }
HRESULT JMercury::SetContext(IUnknown* context) { return mercury_.SetContext(context); }
HRESULT JMercury::SetContext(OccurrenceNode* occurrence) { return mercury_.SetContext(occurrence); }
HRESULT JMercury::SetContext(IUnknown* document, DisplayRoadmap* roadmap) {
  return mercury_.SetContext(document, roadmap);
}
HRESULT JMercury::SetContext(IUnknown* document, JMemberRoadmap* roadmap) {
  return mercury_.SetContext(document, roadmap);
}
HRESULT JMercury::GetOverrideMatrix(tagG4x4* out) { return mercury_.GetOverrideMatrix(out); }
HRESULT JMercury::GetAttachmentMatrix(tagG4x4* out) { return mercury_.GetAttachmentMatrix(out); }
HRESULT JMercury::GetOccurrenceMatrix(tagG4x4* out) { return mercury_.GetOccurrenceMatrix(out); }
HRESULT JMercury::GetCompleteMatrix(tagG4x4* out) { return mercury_.GetCompleteMatrix(out); }
HRESULT JMercury::GetConstraintMatrix(tagG4x4* out) { return mercury_.GetConstraintMatrix(out); }
HRESULT JMercury::GetConstraintMatrix(tagG4x4* out, DWORD resolveFlags) {
  return mercury_.GetConstraintMatrix(out, resolveFlags);
}
HRESULT JMercury::GetOverrideSolverStatus(DWORD* out) { return mercury_.GetOverrideSolverStatus(out); }
HRESULT JMercury::GetOverrideBodyData(JOverrideBodyData** out) { return mercury_.GetOverrideBodyData(out); }
HRESULT JMercury::GetOverrideVariable(DWORD firstId, DWORD secondId, double* out) {
  return mercury_.GetOverrideVariable(firstId, secondId, out);
}
HRESULT JMercury::GetHidden(int* out) { return mercury_.GetHidden(out); }
HRESULT JMercury::GetVisible(int* out) { return mercury_.GetVisible(out); }
HRESULT JMercury::GetActive(int* out) { return mercury_.GetActive(out); }
HRESULT JMercury::GetSimplified(int* out) { return mercury_.GetSimplified(out); }
HRESULT JMercury::GetCoordSysDisplay(int* out) { return mercury_.GetCoordSysDisplay(out); }
HRESULT JMercury::GetSketchesDisplay(int* out) { return mercury_.GetSketchesDisplay(out); }
HRESULT JMercury::GetConstructionsDisplay(int* out) { return mercury_.GetConstructionsDisplay(out); }
HRESULT JMercury::GetRefPlanesDisplay(int* out) { return mercury_.GetRefPlanesDisplay(out); }
HRESULT JMercury::GetRefAxesDisplay(int* out) { return mercury_.GetRefAxesDisplay(out); }
HRESULT JMercury::GetAsLastSavedDisplay(int* out) { return mercury_.GetAsLastSavedDisplay(out); }
HRESULT JMercury::GetAdaptable(int* out) { return mercury_.GetAdaptable(out); }
HRESULT JMercury::GetBaseData(DWORD type, KVBaseData** out) { return mercury_.GetBaseData(type, out); }
HRESULT JMercury::GetPartData(DWORD type, KVBaseData** out) { return mercury_.GetPartData(type, out); }
HRESULT JMercury::GetLitePartData(DWORD type, KVBaseData** out) { return mercury_.GetLitePartData(type, out); }
HRESULT JMercury::GetAssemblyData(DWORD type, KVBaseData** out) { return mercury_.GetAssemblyData(type, out); }
HRESULT JMercury::GetAssemblyData(DWORD type, KVAssemblyData** out) { return mercury_.GetAssemblyData(type, out); }
HRESULT JMercury::GetOccurrenceNode(OccurrenceNode** out) { return mercury_.GetOccurrenceNode(out); }
HRESULT JMercury::SetOverrideMatrix(tagG4x4* matrix, DWORD updateFlags) {
  return mercury_.SetOverrideMatrix(matrix, updateFlags);
}
HRESULT JMercury::SetOverrideMatrix(tagG4x4* matrix) { return mercury_.SetOverrideMatrix(matrix); }
HRESULT JMercury::SetOverrideSolverStatus(DWORD status) { return mercury_.SetOverrideSolverStatus(status); }
HRESULT JMercury::SetOverrideBodyData(JOverrideBodyData* bodyData) { return mercury_.SetOverrideBodyData(bodyData); }
HRESULT JMercury::SetOverrideVariable(DWORD firstId, DWORD secondId, double value) {
  return mercury_.SetOverrideVariable(firstId, secondId, value);
}
HRESULT JMercury::ClearOverrideVariable(DWORD firstId, DWORD secondId) {
  return mercury_.ClearOverrideVariable(firstId, secondId);
}
HRESULT JMercury::SetOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& variables) {
  return mercury_.SetOverrideVariables(variables);
}
HRESULT JMercury::ClearOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& variables) {
  return mercury_.ClearOverrideVariables(variables);
}
HRESULT JMercury::SetHidden(int value) { return mercury_.SetHidden(value); }
HRESULT JMercury::SetActive(int value) { return mercury_.SetActive(value); }
HRESULT JMercury::SetSimplified(int value) { return mercury_.SetSimplified(value); }
HRESULT JMercury::SetCoordSysDisplay(int value) { return mercury_.SetCoordSysDisplay(value); }
HRESULT JMercury::SetSketchesDisplay(int value) { return mercury_.SetSketchesDisplay(value); }
HRESULT JMercury::SetConstructionsDisplay(int value) { return mercury_.SetConstructionsDisplay(value); }
HRESULT JMercury::SetRefPlanesDisplay(int value) { return mercury_.SetRefPlanesDisplay(value); }
HRESULT JMercury::SetRefAxesDisplay(int value) { return mercury_.SetRefAxesDisplay(value); }
HRESULT JMercury::SetAsLastSavedDisplay(int value) { return mercury_.SetAsLastSavedDisplay(value); }
HRESULT JMercury::SetAdaptable(int value) { return mercury_.SetAdaptable(value); }
HRESULT JMercury::RemoveAdaptable() { return mercury_.RemoveAdaptable(); }
HRESULT JMercury::ClearOverrides(IUnknown* document, DWORD flags) { return mercury_.ClearOverrides(document, flags); }
HRESULT JMercury::ClearOverrides(DWORD flags) { return mercury_.ClearOverrides(flags); }
HRESULT JMercury::ApplyOverrides(IUnknown* document, DWORD flags) { return mercury_.ApplyOverrides(document, flags); }
HRESULT JMercury::ApplyOverrides(DWORD flags) { return mercury_.ApplyOverrides(flags); }
HRESULT JMercury::GetUnTransformedRange(tagGBox* out) { return mercury_.GetUnTransformedRange(out); }
HRESULT JMercury::GetPreviousOverrideBodyData(JOverrideBodyData** out) {
  return mercury_.GetPreviousOverrideBodyData(out);
}
HRESULT JMercury::UpdateIDS(DWORD flags) { return mercury_.UpdateIDS(flags); }
HRESULT JMercury::SetOverrideBodyDataMatrix(tagG4x4* matrix) { return mercury_.SetOverrideBodyDataMatrix(matrix); }
HRESULT JMercury::IsPart(int* out) { return mercury_.IsPart(out); }
HRESULT JMercury::IsAssembly(int* out) { return mercury_.IsAssembly(out); }
HRESULT JMercury::IsAdjustableOccPresentInIOT(bool* out) { return mercury_.IsAdjustableOccPresentInIOT(out); }
HRESULT JMercury::IsAdjustablePartPresentInIOT(bool* out) { return mercury_.IsAdjustablePartPresentInIOT(out); }
HRESULT JMercury::IsAdaptableAssemblyPresentInIOT(bool* out) { return mercury_.IsAdaptableAssemblyPresentInIOT(out); }
HRESULT JMercury::GetAdaptableFromIOT(int* out) { return mercury_.GetAdaptableFromIOT(out); }
HRESULT JMercury::GetAdjustablePartFromIOT(int* out) { return mercury_.GetAdjustablePartFromIOT(out); }
HRESULT JMercury::GetExplodeMatrixInPath(tagG4x4* out, bool* found) {
  return mercury_.GetExplodeMatrixInPath(out, found);
}
HRESULT JMercury::GetStyle(DWORD* out) { return mercury_.GetStyle(out); }
HRESULT JMercury::SetStyle(DWORD style) { return mercury_.SetStyle(style); }
HRESULT JMercury::SetDisplaySetting(DWORD key, DWORD type, DWORD flags, bool enable) {
  return mercury_.SetDisplaySetting(key, type, flags, enable);
}
HRESULT JMercury::SetDisplaySetting(IUnknown* document, DWORD type, DWORD flags, bool enable) {
  return mercury_.SetDisplaySetting(document, type, flags, enable);
}
HRESULT JMercury::GetDisplaySetting(DWORD key, DWORD mask, bool* out) {
  return mercury_.GetDisplaySetting(key, mask, out);
}
HRESULT JMercury::GetDisplaySetting(IUnknown* document, DWORD mask, bool* out) {
  return mercury_.GetDisplaySetting(document, mask, out);
}
HRESULT JMercury::RemoveDisplaySetting(DWORD key, DWORD type) { return mercury_.RemoveDisplaySetting(key, type); }
HRESULT JMercury::RemoveDisplaySetting(IUnknown* document, DWORD type) {
  return mercury_.RemoveDisplaySetting(document, type);
}
HRESULT JMercury::GetOverrideConstraints(std::map<DWORD, DWORD>** out) { return mercury_.GetOverrideConstraints(out); }
HRESULT JMercury::AddOverrideConstraint(DWORD key, DWORD value) { return mercury_.AddOverrideConstraint(key, value); }
HRESULT JMercury::ClearOverrideConstraint(DWORD key) { return mercury_.ClearOverrideConstraint(key); }
HRESULT JMercury::GetDecalsDisplay(int* out) { return mercury_.GetDecalsDisplay(out); }
HRESULT JMercury::SetDecalsDisplay(int value) { return mercury_.SetDecalsDisplay(value); }
HRESULT JMercury::GetPointCloudsDisplay(int* out) { return mercury_.GetPointCloudsDisplay(out); }
HRESULT JMercury::SetPointCloudsDisplay(int value) { return mercury_.SetPointCloudsDisplay(value); }
HRESULT JMercury::GetCurrentDocPreviousOverrideBodyData(JOverrideBodyData** out) {
  return mercury_.GetCurrentDocPreviousOverrideBodyData(out);
}
HRESULT JMercury::GetOverrideVariable(DWORD firstId, quorra::OverrideVariableRange* out) {
  return mercury_.GetOverrideVariable(firstId, out);
}
HRESULT JMercury::GetSurfacesDisplay(int* out) { return mercury_.GetSurfacesDisplay(out); }
HRESULT JMercury::GetCurvesDisplay(int* out) { return mercury_.GetCurvesDisplay(out); }
HRESULT JMercury::SetSurfacesDisplay(int value) { return mercury_.SetSurfacesDisplay(value); }
HRESULT JMercury::SetCurvesDisplay(int value) { return mercury_.SetCurvesDisplay(value); }
HRESULT JMercury::GetAdjustablePart(int* out) { return mercury_.GetAdjustablePart(out); }
HRESULT JMercury::SetAdjustablePart(int value) { return mercury_.SetAdjustablePart(value); }
HRESULT JMercury::RemoveAdjustablePart() { return mercury_.RemoveAdjustablePart(); }
HRESULT JMercury::GetLiveSectionsDisplay(int* out) { return mercury_.GetLiveSectionsDisplay(out); }
HRESULT JMercury::SetLiveSectionsDisplay(int value) { return mercury_.SetLiveSectionsDisplay(value); }
HRESULT JMercury::GetDesignBodiesDisplay(int* out) { return mercury_.GetDesignBodiesDisplay(out); }
HRESULT JMercury::SetDesignBodiesDisplay(int value) { return mercury_.SetDesignBodiesDisplay(value); }
HRESULT JMercury::SetOwningCADSaveTime(FILETIME const& time) { return mercury_.SetOwningCADSaveTime(time); }
HRESULT JMercury::GetOwningCADSaveTime(FILETIME& out) { return mercury_.GetOwningCADSaveTime(out); }
HRESULT JMercury::GetCenterLineDisplay(int* out) { return mercury_.GetCenterLineDisplay(out); }
HRESULT JMercury::SetCenterLineDisplay(int value) { return mercury_.SetCenterLineDisplay(value); }
HRESULT JMercury::SetHideInDrawing(int value) { return mercury_.SetHideInDrawing(value); }
HRESULT JMercury::GetHideInDrawing(int* out) { return mercury_.GetHideInDrawing(out); }
HRESULT JMercury::SetHideInSubassembly(int value) { return mercury_.SetHideInSubassembly(value); }
HRESULT JMercury::GetHideInSubassembly(int* out) { return mercury_.GetHideInSubassembly(out); }
HRESULT JMercury::SetNotSelectable(int value) { return mercury_.SetNotSelectable(value); }
HRESULT JMercury::GetNotSelectable(int* out) { return mercury_.GetNotSelectable(out); }
HRESULT JMercury::SetDisplayAsDraftReference(int value) { return mercury_.SetDisplayAsDraftReference(value); }
HRESULT JMercury::GetDisplayAsDraftReference(int* out) { return mercury_.GetDisplayAsDraftReference(out); }
HRESULT JMercury::SetExcludeFromPhysicalProperties(int value) {
  return mercury_.SetExcludeFromPhysicalProperties(value);
}
HRESULT JMercury::GetExcludeFromPhysicalProperties(int* out) { return mercury_.GetExcludeFromPhysicalProperties(out); }
HRESULT JMercury::SetExcludeFromReports(int value) { return mercury_.SetExcludeFromReports(value); }
HRESULT JMercury::GetExcludeFromReports(int* out) { return mercury_.GetExcludeFromReports(out); }
HRESULT JMercury::SetExcludeFromInterference(int value) { return mercury_.SetExcludeFromInterference(value); }
HRESULT JMercury::GetExcludeFromInterference(int* out) { return mercury_.GetExcludeFromInterference(out); }

// Slot 8 hands the answer over through an out argument.
HRESULT JMercury::HasOverriddenMatrix(BOOL* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JMercury::HasOverriddenMatrix");
  *out = mercury_.HasOverriddenMatrix();
  return S_OK;
}

// ---- class factory entry point ----

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return QUORRA_TRACE_FAIL(E_NOINTERFACE, "DllGetClassObject");
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "DllGetClassObject");
  *out = nullptr;
  if (clsid != CLSID_JMercury) return QUORRA_TRACE_FAIL(E_FAIL, "DllGetClassObject");
  ClassFactory<JMercury>* factory = nullptr;
  try {
    factory = new ClassFactory<JMercury>(LockModule, UnlockModule, 1, 0, 0);
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "DllGetClassObject");
  }
  factory->AddRef();
  *out = static_cast<IClassFactory*>(factory);
  return S_OK;
}
