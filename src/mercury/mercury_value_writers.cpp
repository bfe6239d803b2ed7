// Mercury's writers of override values: style, matrix, solver status,
// adaptable and adjustable flags, variables, constraints, body data and the
// owning program's save time, with the sync records a master document
// keeps, and the removals. Like the bit writers they change the override
// table only; the live occurrences follow when the table is applied.
#include <new>

#include "quorra/host/trace.h"
#include "quorra/mercury.h"
#include "quorra/occurrence.h"
#include "quorra/override_body_data.h"
#include "quorra/override_tree.h"
#include "quorra/user_data.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";

constexpr DWORD kNotifyPropertyChange = 10;
constexpr DWORD kDefaultMatrixUpdate = 6;
constexpr DWORD kApplyVariables = MERCURY_OVERRIDES_WALK | MERCURY_OVERRIDES_VARIABLES;
constexpr DWORD kApplyConstraints = MERCURY_OVERRIDES_WALK | MERCURY_OVERRIDES_CONSTRAINTS;
constexpr DWORD kApplyBody = MERCURY_OVERRIDES_WALK | MERCURY_OVERRIDES_BODY;

void DeleteBodyData(void* value) { delete static_cast<JOverrideBodyData*>(value); }

// The previous override body of the current document that an occurrence
// keeps (user data 131) belongs to the occurrence.
struct PreviousBodyRelease {
  PreviousBodyRelease() {
    quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, UD_IOT_PREVIOUS_OVERRIDE_BODY,
                                           DeleteBodyData);
  }
} gPreviousBodyRelease;
}  // namespace

HRESULT Mercury::SetStyle(DWORD style) {
  HRESULT hr = ResolveContext(RC_IOT);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetStyle");
  if (!iot_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::SetStyle");
  JIDSOverride* node = nullptr;
  hr = iot_->AddOverride(roadmap_.GetEntryCount(), roadmap_.GetData(), MERCURY_KIND_PART, &node);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetStyle");
  if (!node) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::SetStyle");
  override_ = node;
  hr = node->SetStyle(style, 1);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetStyle");
  UpdateIDS(kNotifyPropertyChange);
  return hr;
}

HRESULT Mercury::SetOverrideMatrix(tagG4x4* matrix, DWORD updateFlags) {
  constexpr const char* kOperation = "Mercury::SetOverrideMatrix";
  DWORD kind = 0;
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveOverrideForWrite(KindRule::kOccurrence, kOperation, &kind, &node);
  if (FAILED(hr)) return hr;
  const DWORD count = roadmap_.GetEntryCount();
  const DWORD* ids = roadmap_.GetData();
  hr = iot_->SetMatrix(count, ids, matrix, kind);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  BOOL master = 0, editMode = 0;
  if (SUCCEEDED(CheckMasterAndEditMode(kOperation, &master, &editMode)) && master && editMode) {
    hr = iot_->SetMatrixSync(count, ids, kind);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  }
  return UpdateIDS(updateFlags);
}

HRESULT Mercury::SetOverrideMatrix(tagG4x4* matrix) { return SetOverrideMatrix(matrix, kDefaultMatrixUpdate); }

HRESULT Mercury::SetOverrideSolverStatus(DWORD status) {
  DWORD kind = 0;
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveOverrideForWrite(KindRule::kOccurrence, "Mercury::SetOverrideSolverStatus", &kind, &node);
  if (FAILED(hr)) return hr;
  hr = iot_->SetSolverStatus(roadmap_.GetEntryCount(), roadmap_.GetData(), status, kind);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetOverrideSolverStatus");
  return hr;
}

HRESULT Mercury::SetAdaptable(int value) {
  constexpr const char* kOperation = "Mercury::SetAdaptable";
  HRESULT hr = ResolveContext(RC_OCCURRENCE | RC_FOR_UPDATE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
  if (!occurrence_->IsAssembly()) return E_FAIL;  // only an assembly adapts
  hr = ResolveContext(RC_IOT);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  if (!iot_) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
  const DWORD count = roadmap_.GetEntryCount();
  const DWORD* ids = roadmap_.GetData();
  hr = iot_->SetAdaptable(count, ids, value ? 1 : 0, MERCURY_KIND_ASSEMBLY);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  BOOL master = 0, editMode = 0;
  hr = CheckMasterAndEditMode(kOperation, &master, &editMode);
  if (FAILED(hr) || !master || !editMode) return hr;
  hr = value ? iot_->SetAdaptableSync(count, ids, MERCURY_KIND_ASSEMBLY) : iot_->RemoveAdaptableSync(count, ids);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  return hr;
}

HRESULT Mercury::SetAdjustablePart(int value) {
  constexpr const char* kOperation = "Mercury::SetAdjustablePart";
  HRESULT hr = ResolveContext(RC_OCCURRENCE | RC_FOR_UPDATE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
  if (occurrence_->IsAssembly()) return E_FAIL;  // only a part adjusts
  hr = ResolveContext(RC_IOT);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  if (!iot_) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
  const DWORD count = roadmap_.GetEntryCount();
  const DWORD* ids = roadmap_.GetData();
  hr = iot_->SetAdjustablePart(count, ids, value ? 1 : 0, MERCURY_KIND_PART);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  BOOL master = 0, editMode = 0;
  hr = CheckMasterAndEditMode(kOperation, &master, &editMode);
  if (FAILED(hr) || !master) return hr;
  hr = value ? iot_->SetAdjustablePartSync(count, ids, MERCURY_KIND_PART) : iot_->RemoveAdjustablePartSync(count, ids);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  return hr;
}

// ---- variables ----

// Every element is tried: one that fails is traced and the rest still set.
HRESULT Mercury::SetOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& variables) {
  constexpr const char* kOperation = "Mercury::SetOverrideVariables";
  if (variables.empty()) return S_OK;
  DWORD kind = 0;
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveOverrideForWrite(KindRule::kOccurrence, kOperation, &kind, &node);
  if (FAILED(hr)) return hr;
  for (const KVMercuryVariableOverrideData& variable : variables) {
    HRESULT set = node->SetVariable(variable.firstId, variable.secondId, variable.value);
    if (FAILED(set)) QUORRA_TRACE_FAIL(set, kOperation);
  }
  BOOL master = 0, editMode = 0;
  if (SUCCEEDED(CheckMasterAndEditMode(kOperation, &master, &editMode)) && master) {
    hr = iot_->SetVariableSync(roadmap_.GetEntryCount(), roadmap_.GetData(), kind);
    if (FAILED(hr)) QUORRA_TRACE_FAIL(hr, kOperation);
  }
  ApplyOverrides(kApplyVariables);
  return S_OK;
}

HRESULT Mercury::SetOverrideVariable(DWORD firstId, DWORD secondId, double value) {
  return SetOverrideVariables({{firstId, secondId, value}});
}

HRESULT Mercury::ClearOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& variables) {
  constexpr const char* kOperation = "Mercury::ClearOverrideVariables";
  if (variables.empty()) return S_OK;
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveExistingOverride(kOperation, &node);
  if (FAILED(hr)) return hr;
  if (!node) return S_OK;
  for (const KVMercuryVariableOverrideData& variable : variables) {
    HRESULT cleared = node->ClearVariable(variable.firstId, variable.secondId);
    if (FAILED(cleared)) QUORRA_TRACE_FAIL(cleared, kOperation);
  }
  ApplyOverrides(kApplyVariables);
  return S_OK;
}

HRESULT Mercury::ClearOverrideVariable(DWORD firstId, DWORD secondId) {
  return ClearOverrideVariables({{firstId, secondId, 0.0}});
}

// ---- constraints ----

HRESULT Mercury::AddOverrideConstraint(DWORD key, DWORD value) {
  constexpr const char* kOperation = "Mercury::AddOverrideConstraint";
  DWORD kind = 0;
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveOverrideForWrite(KindRule::kOccurrence, kOperation, &kind, &node);
  if (FAILED(hr)) return hr;
  hr = node->AddConstraint(key, value);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  BOOL master = 0, editMode = 0;
  hr = CheckMasterAndEditMode(kOperation, &master, &editMode);
  if (FAILED(hr)) return hr;
  if (master && editMode) {
    hr = iot_->SetOverrideConstraintSync(roadmap_.GetEntryCount(), roadmap_.GetData(), kind);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  }
  ApplyOverrides(kApplyConstraints);
  return hr;
}

HRESULT Mercury::ClearOverrideConstraint(DWORD key) {
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveExistingOverride("Mercury::ClearOverrideConstraint", &node);
  if (FAILED(hr)) return hr;
  if (!node) return S_OK;
  hr = node->RemoveConstraint(key);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::ClearOverrideConstraint");
  ApplyOverrides(kApplyConstraints);
  return hr;
}

// ---- body data ----

HRESULT Mercury::SetOverrideBodyData(JOverrideBodyData* bodyData) {
  constexpr const char* kOperation = "Mercury::SetOverrideBodyData";
  DWORD kind = 0;
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveOverrideForWrite(KindRule::kOccurrence, kOperation, &kind, &node);
  if (FAILED(hr)) {
    delete bodyData;  // ours in every case
    return hr;
  }
  hr = node->SetBodyData(bodyData);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  // A removed body leaves the occurrences first, then what is left applies.
  if (!bodyData) ClearOverrides(kApplyBody);
  ApplyOverrides(kApplyBody);
  BOOL master = 0, editMode = 0;
  hr = CheckMasterAndEditMode(kOperation, &master, &editMode);
  if (FAILED(hr) || !master) return hr;
  const DWORD count = roadmap_.GetEntryCount();
  const DWORD* ids = roadmap_.GetData();
  hr = bodyData ? iot_->SetBodySync(count, ids, kind) : iot_->RemoveBodySync(count, ids);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  return hr;
}

HRESULT Mercury::SetOverrideBodyDataMatrix(tagG4x4* matrix) {
  constexpr const char* kOperation = "Mercury::SetOverrideBodyDataMatrix";
  if (!matrix) return QUORRA_TRACE_FAIL(E_INVALIDARG, kOperation);
  HRESULT hr = ResolveContext(RC_OCCURRENCE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
  const DWORD kind = occurrence_->IsAssembly() ? MERCURY_KIND_ASSEMBLY : MERCURY_KIND_PART;
  JIDSOverride* node = nullptr;
  hr = ResolveExistingOverride(kOperation, &node);
  if (FAILED(hr)) return hr;
  if (!node) return QUORRA_TRACE_FAIL(E_FAIL, kOperation);
  JOverrideBodyData* body = node->GetBodyData();
  if (!body) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
  body->SetMatrix(*matrix);
  BOOL master = 0, editMode = 0;
  hr = CheckMasterAndEditMode(kOperation, &master, &editMode);
  if (FAILED(hr) || !master) return hr;
  hr = iot_->SetBodySync(roadmap_.GetEntryCount(), roadmap_.GetData(), kind);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  return hr;
}

// The node takes `bodyData`; the occurrence keeps a copy of its own, so the
// current document's previous body is known before the table is applied.
HRESULT Mercury::SetCurrentDocPreviousOverrideBodyData(JOverrideBodyData* bodyData) {
  constexpr const char* kOperation = "Mercury::SetCurrentDocPreviousOverrideBodyData";
  DWORD kind = 0;
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveOverrideForWrite(KindRule::kOccurrence, kOperation, &kind, &node);
  if (FAILED(hr)) {
    delete bodyData;  // ours in every case
    return hr;
  }
  hr = node->SetCurrentDocPreviousOverrideBodyData(bodyData);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  occurrence_->RemoveUserData(UD_IOT_PREVIOUS_OVERRIDE_BODY);
  if (!bodyData) return hr;
  auto* copy = new (std::nothrow) JOverrideBodyData(*bodyData);
  if (!copy) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, kOperation);
  if (FAILED(occurrence_->AddUserData(UD_IOT_PREVIOUS_OVERRIDE_BODY, copy))) {
    delete copy;
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, kOperation);
  }
  return hr;
}

HRESULT Mercury::SetOwningCADSaveTime(FILETIME const& time) {
  DWORD kind = 0;
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveOverrideForWrite(KindRule::kOccurrence, "Mercury::SetOwningCADSaveTime", &kind, &node);
  if (FAILED(hr)) return hr;
  hr = node->SetOwningCADSaveTime(time);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetOwningCADSaveTime");
  return hr;
}

// ---- removals ----

HRESULT Mercury::RemoveOverrides(DWORD mask) {
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveExistingOverride("Mercury::RemoveOverrides", &node);
  if (FAILED(hr)) return hr;
  hr = JIDSOverrideTree::Remove(mask, node);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::RemoveOverrides");
  return hr;
}

HRESULT Mercury::RemoveAdaptable() {
  HRESULT hr = ResolveContext(RC_IOT);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::RemoveAdaptable");
  if (!iot_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::RemoveAdaptable");
  hr = ResolveContext(RC_OCCURRENCE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::RemoveAdaptable");
  hr = iot_->RemoveAdaptable(roadmap_.GetEntryCount(), roadmap_.GetData());
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::RemoveAdaptable");
  return hr;
}

HRESULT Mercury::RemoveAdjustablePart() {
  HRESULT hr = ResolveContext(RC_IOT);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::RemoveAdjustablePart");
  if (!iot_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::RemoveAdjustablePart");
  hr = ResolveContext(RC_OCCURRENCE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::RemoveAdjustablePart");
  hr = iot_->RemoveAdjustablePart(roadmap_.GetEntryCount(), roadmap_.GetData());
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::RemoveAdjustablePart");
  return hr;
}
