// Mercury's readers of matrices, override values, ranges, the host's
// key-value data and the adaptable and adjustable state of the override
// table. Occurrence values come from the live occurrence; values that only
// the table keeps (constraints, the owning program's save time) come from
// the roadmap's override node.
#include "quorra/attachment.h"
#include "quorra/host/modules.h"
#include "quorra/host/trace.h"
#include "quorra/mercury.h"
#include "quorra/occurrence.h"
#include "quorra/override_body_data.h"
#include "quorra/override_tree.h"
#include "quorra/site.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";

quorra::host::LateBoundFunction<HRESULT(OccurrenceNode*, tagGBox*)> gGetOccurrenceRange(L"brenik.dex",
                                                                                        "JGetOccurrenceRange");
}  // namespace

// ---- matrices ----

HRESULT Mercury::GetAttachmentMatrix(tagG4x4* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetAttachmentMatrix");
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetAttachmentMatrix");
  if (FAILED(hr)) return hr;
  const AttachmentMatrix* placement = occurrence_->GetAttachmentXForm();
  if (!placement) return QUORRA_TRACE_FAIL(E_FAIL, "Mercury::GetAttachmentMatrix");
  *out = placement->GiveAsG4x4();
  return S_OK;
}

HRESULT Mercury::GetOccurrenceMatrix(tagG4x4* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetOccurrenceMatrix");
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetOccurrenceMatrix");
  if (FAILED(hr)) return hr;
  hr = occurrence_->GetOccurrenceMatrix(out, 1);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::GetOccurrenceMatrix");
  return hr;
}

HRESULT Mercury::GetCompleteMatrix(tagG4x4* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetCompleteMatrix");
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetCompleteMatrix");
  if (FAILED(hr)) return hr;
  *out = occurrence_->GetCurrentToWorld();
  return S_OK;
}

HRESULT Mercury::GetConstraintMatrix(tagG4x4* out) { return GetConstraintMatrix(out, RC_OCCURRENCE); }

HRESULT Mercury::GetConstraintMatrix(tagG4x4* out, DWORD resolveFlags) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetConstraintMatrix");
  HRESULT hr = ResolveContext(resolveFlags);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::GetConstraintMatrix");
  if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::GetConstraintMatrix");
  hr = occurrence_->GetConstraintMatrix(out);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::GetConstraintMatrix");
  return hr;
}

HRESULT Mercury::GetUndecoratedMatrix(tagG4x4* out, DWORD options) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetUndecoratedMatrix");
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetUndecoratedMatrix");
  if (FAILED(hr)) return hr;
  *out = occurrence_->GetUndecoratedMatrix(options);
  return S_OK;
}

HRESULT Mercury::GetOverrideMatrix(tagG4x4* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetOverrideMatrix");
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetOverrideMatrix");
  if (FAILED(hr)) return hr;
  const tagG4x4* matrix = occurrence_->IsMatrixOverridden() ? occurrence_->GetOverrideMatrix() : nullptr;
  if (!matrix) return E_FAIL;
  *out = *matrix;
  return S_OK;
}

// The explode matrix nearest the occurrence on its way to the root.
HRESULT Mercury::GetExplodeMatrixInPath(tagG4x4* out, bool* found) {
  if (!out || !found) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetExplodeMatrixInPath");
  out->SetIdentity();
  *found = false;
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetExplodeMatrixInPath");
  if (FAILED(hr)) return hr;
  for (const OccurrenceNode* node = occurrence_; node; node = node->GetParent()) {
    if (const tagG4x4* explode = node->GetExplodeMatrix()) {
      *out = *explode;
      *found = true;
      break;
    }
  }
  return S_OK;
}

BOOL Mercury::HasOverriddenMatrix() {
  if (FAILED(ResolveOccurrenceForRead("Mercury::HasOverriddenMatrix"))) return 0;
  return occurrence_->IsMatrixOverridden() ? 1 : 0;
}

BOOL Mercury::HasOverriddenSolverStatus() {
  if (FAILED(ResolveOccurrenceForRead("Mercury::HasOverriddenSolverStatus"))) return 0;
  return occurrence_->IsSolverStatusOverridden() ? 1 : 0;
}

// ---- override values of the occurrence ----

HRESULT Mercury::GetOverrideSolverStatus(DWORD* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetOverrideSolverStatus");
  HRESULT hr = ResolveContext(RC_OCCURRENCE);
  if (!tree_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::GetOverrideSolverStatus");
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::GetOverrideSolverStatus");
  if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::GetOverrideSolverStatus");
  if (!occurrence_->IsSolverStatusOverridden()) return E_FAIL;
  *out = occurrence_->GetOverrideSolverStatus();
  return *out ? S_OK : E_FAIL;
}

HRESULT Mercury::GetOverrideVariable(DWORD firstId, DWORD secondId, double* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetOverrideVariable");
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetOverrideVariable");
  if (FAILED(hr)) return hr;
  return occurrence_->GetOverrideVariable(firstId, secondId, out);
}

HRESULT Mercury::GetOverrideVariable(DWORD firstId, quorra::OverrideVariableRange* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetOverrideVariable");
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetOverrideVariable");
  if (FAILED(hr)) return hr;
  *out = occurrence_->GetOverrideVariable(firstId);
  return S_OK;
}

HRESULT Mercury::GetOverrideConstraints(std::map<DWORD, DWORD>** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetOverrideConstraints");
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveExistingOverride("Mercury::GetOverrideConstraints", &node);
  if (FAILED(hr)) return hr;
  if (node) *out = node->GetConstraints(false);
  return S_OK;
}

// The occurrence's own body, else the one the override table keeps.
HRESULT Mercury::GetOverrideBodyData(JOverrideBodyData** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetOverrideBodyData");
  HRESULT hr = ResolveContext(RC_OCCURRENCE);
  if (SUCCEEDED(hr)) hr = occurrence_ ? occurrence_->GetOverrideBodyData(out) : E_POINTER;
  if (SUCCEEDED(hr)) return hr;
  JIDSOverride* node = nullptr;
  hr = ResolveExistingOverride("Mercury::GetOverrideBodyData", &node);
  if (FAILED(hr)) return hr;
  if (!node) return E_FAIL;
  *out = node->GetBodyData();
  return S_OK;
}

HRESULT Mercury::GetPreviousOverrideBodyData(JOverrideBodyData** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetPreviousOverrideBodyData");
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetPreviousOverrideBodyData");
  if (FAILED(hr)) return hr;
  return occurrence_->GetPreviousOverrideBodyData(out);
}

// Only a body that the context document itself kept counts.
HRESULT Mercury::GetCurrentDocPreviousOverrideBodyData(JOverrideBodyData** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetCurrentDocPreviousOverrideBodyData");
  *out = nullptr;
  HRESULT hr = ResolveContext(RC_OCCURRENCE | RC_FOR_UPDATE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::GetCurrentDocPreviousOverrideBodyData");
  if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::GetCurrentDocPreviousOverrideBodyData");
  auto* body = static_cast<JOverrideBodyData*>(occurrence_->GetUserData(UD_IOT_PREVIOUS_OVERRIDE_BODY, nullptr));
  if (!body) return S_OK;
  IUnknown* document = nullptr;
  hr = body->GetAsmDoc(IID_IUnknown, reinterpret_cast<void**>(&document));
  if (document) {
    if (document == document_) *out = body;
    document->Release();
  }
  return SUCCEEDED(hr) ? S_OK : hr;
}

HRESULT Mercury::GetOwningCADSaveTime(FILETIME& out) {
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveExistingOverride("Mercury::GetOwningCADSaveTime", &node);
  if (FAILED(hr)) return hr;
  if (!node) return E_POINTER;
  return node->GetOwningCADSaveTime(&out);
}

// An assembly's range is its site's; a part's comes from the host when it
// keeps one.
HRESULT Mercury::GetUnTransformedRange(tagGBox* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetUnTransformedRange");
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetUnTransformedRange");
  if (FAILED(hr)) return hr;
  if (occurrence_->IsPart() || occurrence_->IsTrueTypePart()) {
    auto* getRange = gGetOccurrenceRange.Get();
    if (getRange && SUCCEEDED(getRange(occurrence_, out))) return S_OK;
  }
  SiteNode* site = occurrence_->GetSite();
  if (!site) return QUORRA_TRACE_FAIL(E_FAIL, "Mercury::GetUnTransformedRange");
  site->GetSiteRange(out);
  return S_OK;
}

// ---- the host's key-value data ----

HRESULT Mercury::GetBaseData(DWORD type, KVBaseData** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetBaseData");
  *out = nullptr;
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetBaseData");
  if (FAILED(hr)) return hr;
  return occurrence_->GetKVData(type, out);
}

HRESULT Mercury::GetAssemblyData(DWORD type, KVBaseData** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetAssemblyData");
  *out = nullptr;
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetAssemblyData");
  if (FAILED(hr)) return hr;
  if (!occurrence_->IsAssembly()) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "Mercury::GetAssemblyData");
  return static_cast<AssemblyOccurrence*>(occurrence_)->GetKVData(type, out);
}

HRESULT Mercury::GetAssemblyData(DWORD type, KVAssemblyData** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetAssemblyData");
  *out = nullptr;
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetAssemblyData");
  if (FAILED(hr)) return hr;
  if (!occurrence_->IsAssembly()) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "Mercury::GetAssemblyData");
  return static_cast<AssemblyOccurrence*>(occurrence_)->GetKVData(type, out);
}

HRESULT Mercury::GetPartData(DWORD type, KVBaseData** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetPartData");
  *out = nullptr;
  HRESULT hr = ResolveOccurrenceForRead("Mercury::GetPartData");
  if (FAILED(hr)) return hr;
  if (!occurrence_->IsPart()) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "Mercury::GetPartData");
  return static_cast<PartOccurrence*>(occurrence_)->GetKVData(type, out);
}

// The lite data of a part is the part data.
HRESULT Mercury::GetLitePartData(DWORD type, KVBaseData** out) { return GetPartData(type, out); }

// ---- adaptable and adjustable state of the override table ----

namespace {
template <typename Present>
HRESULT AskPresence(JIDSOverrideTree* iot, bool* out, Present present) {
  BOOL answer = 0;
  HRESULT hr = (iot->*present)(&answer);
  *out = answer != 0;
  return hr;
}
}  // namespace

HRESULT Mercury::IsAdaptableAssemblyPresentInIOT(bool* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::IsAdaptableAssemblyPresentInIOT");
  *out = false;
  HRESULT hr = ResolveIOT();
  if (FAILED(hr)) return hr;
  if (!iot_) return E_POINTER;
  return AskPresence(iot_, out, &JIDSOverrideTree::IsAdaptableAssemblyPresent);
}

HRESULT Mercury::IsAdjustableOccPresentInIOT(bool* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::IsAdjustableOccPresentInIOT");
  *out = false;
  HRESULT hr = ResolveIOT();
  if (FAILED(hr)) return hr;
  if (!iot_) return E_POINTER;
  return AskPresence(iot_, out, &JIDSOverrideTree::IsAdjustableOccPresent);
}

HRESULT Mercury::IsAdjustablePartPresentInIOT(bool* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::IsAdjustablePartPresentInIOT");
  *out = false;
  HRESULT hr = ResolveIOT();
  if (FAILED(hr)) return hr;
  if (!iot_) return E_POINTER;
  return AskPresence(iot_, out, &JIDSOverrideTree::IsAdjustablePartPresent);
}

HRESULT Mercury::GetAdaptableFromIOT(int* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetAdaptableFromIOT");
  *out = 0;
  bool present = false;
  HRESULT hr = IsAdaptableAssemblyPresentInIOT(&present);
  if (FAILED(hr) || !present || !iot_ || roadmap_.GetEntryCount() == 0) return hr;
  DWORD value = 0;
  hr = iot_->GetAdaptable(roadmap_.GetEntryCount(), roadmap_.GetData(), &value);
  *out = static_cast<int>(value);
  return hr;
}

HRESULT Mercury::GetAdjustablePartFromIOT(int* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetAdjustablePartFromIOT");
  *out = 0;
  bool present = false;
  HRESULT hr = IsAdjustablePartPresentInIOT(&present);
  if (FAILED(hr) || !present || !iot_ || roadmap_.GetEntryCount() == 0) return hr;
  DWORD value = 0;
  hr = iot_->GetAdjustablePart(roadmap_.GetEntryCount(), roadmap_.GetData(), &value);
  *out = static_cast<int>(value);
  return hr;
}
