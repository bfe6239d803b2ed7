// The override table: construction and the live-tree set, identities, path
// operations, removal scopes, the dirty flags and the adjustable-state cache.
#include "quorra/override_tree.h"

#include <mutex>
#include <new>
#include <unordered_set>

#include "quorra/host/container.h"
#include "quorra/host/modules.h"
#include "quorra/host/override_services.h"
#include "quorra/host/trace.h"
#include "quorra/iot_walkers.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/iot";

struct LiveTrees {
  std::mutex lock;
  std::unordered_set<const JIDSOverrideTree*> trees;
};
LiveTrees& Live() {
  static LiveTrees* live = new LiveTrees();  // outlives trees destroyed at exit
  return *live;
}

quorra::host::LateBoundFunction<JAsmCheckFoaMasterAndEditMode2Signature> gCheckFoaMaster(
    L"ferrule.dll", "JAsmCheckFoaMasterAndEditMode2");
quorra::host::LateBoundFunction<JAsmGetFileNameSignature> gGetFileName(L"brenik.dex", "JAsmGetFileName");
quorra::host::LateBoundFunction<GetPersistManagerSignature> gGetPersistManager(L"dulcet.dll", "GetPersistManager");
quorra::host::LateBoundFunction<JGetGraphicSupportObjectSignature> gGetGraphicSupportObject(L"dulcet.dll",
                                                                                            "JGetGraphicSupportObject");

constexpr bool IsNodeType(DWORD type) { return type == IOT_PART || type == IOT_ASSEMBLY; }

}  // namespace

// ---- lifecycle ----

JIDSOverrideTree::JIDSOverrideTree() {
  root_ = new JAsmOverride();
  root_->AddUserData(UD_ASMTREE_BACK_POINTER, this);
  std::lock_guard<std::mutex> guard(Live().lock);
  Live().trees.insert(this);
  registered_ = true;
}

JIDSOverrideTree::~JIDSOverrideTree() {
  if (root_) {
    DeleteTreeWalker deleter;
    root_->Walk(&deleter, 1, 0);
    root_ = nullptr;
  }
  userData_.Release();
  if (registered_) {
    std::lock_guard<std::mutex> guard(Live().lock);
    Live().trees.erase(this);
  }
}

void JIDSOverrideTree::ObjectLeaked() {
  assembly_.Clear();
  styleManager_.Clear();
  if (registered_) {
    std::lock_guard<std::mutex> guard(Live().lock);
    Live().trees.erase(this);
    registered_ = false;
  }
}

bool JIDSOverrideTree::IsLiveTree(const JIDSOverrideTree* tree) {
  std::lock_guard<std::mutex> guard(Live().lock);
  return Live().trees.count(tree) != 0;
}

DWORD JIDSOverrideTree::GetLiveTreeCount() {
  std::lock_guard<std::mutex> guard(Live().lock);
  return static_cast<DWORD>(Live().trees.size());
}

HRESULT JIDSOverrideTree::Clear() {
  if (!root_) return E_UNEXPECTED;
  DeleteTreeWalker deleter;
  HRESULT hr = root_->Walk(&deleter, 0, 0);
  root_->children_.Clear();
  return hr < 0 ? hr : S_OK;
}

// ---- identities ----

HRESULT JIDSOverrideTree::SetAssembly(IUnknown* document) { return assembly_.SetObject(document); }

IUnknown* JIDSOverrideTree::GetAssembly(REFIID iid) const {
  void* object = nullptr;
  if (FAILED(assembly_.GetDocument(iid, &object))) return nullptr;
  return static_cast<IUnknown*>(object);
}

HRESULT JIDSOverrideTree::SetStyleManager(IUnknown* manager) { return styleManager_.SetObject(manager); }

HRESULT JIDSOverrideTree::GetStyleManager(REFIID iid, void** out) const {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!styleManager_.ObjectSet()) return E_FAIL;
  return styleManager_.GetObjectW(iid, out);
}

HRESULT JIDSOverrideTree::GetAssemblyName(GUserText* out) const {
  if (!out) return E_INVALIDARG;
  if (IUnknown* document = GetAssembly(IID_IUnknown)) {
    HRESULT hr = E_FAIL;
    if (auto* getFileName = gGetFileName.Get()) hr = getFileName(document, out);
    document->Release();
    return hr;
  }
  if (assemblyName_.IsEmpty()) return E_FAIL;
  *out = assemblyName_;
  return S_OK;
}

HRESULT JIDSOverrideTree::SetSiteFileMap(SiteFileToUniversalIdentifierMap* map) {
  userData_.Remove(UD_IOT_SITE_FILE_MAP);
  return map ? userData_.Add(UD_IOT_SITE_FILE_MAP, map) : S_OK;
}

SiteFileToUniversalIdentifierMap* JIDSOverrideTree::GetSiteFileMap() const {
  return static_cast<SiteFileToUniversalIdentifierMap*>(userData_.Get(UD_IOT_SITE_FILE_MAP, nullptr));
}

// ---- resolving paths ----

JIDSOverride* JIDSOverrideTree::Bind(JAsmOverride* parent, DWORD count, const DWORD* ids) {
  while (parent && count > 0) {
    JIDSOverride* child = parent->GetChild(ids[0]);
    if (!child) return nullptr;
    if (count == 1) return child;
    if (!child->IsAssembly()) return nullptr;
    parent = static_cast<JAsmOverride*>(child);
    ++ids;
    --count;
  }
  return parent;
}

JIDSOverride* JIDSOverrideTree::CreateBranch(JAsmOverride* parent, DWORD count, const DWORD* ids, DWORD type) {
  JIDSOverride* node = parent;
  while (node && count > 0) {
    if (!node->IsAssembly()) return nullptr;
    node = static_cast<JAsmOverride*>(node)->AddChild(ids[0], count < 2 ? type : IOT_ASSEMBLY);
    ++ids;
    --count;
  }
  return node;
}

JIDSOverride* JIDSOverrideTree::Branch(DWORD count, const DWORD* ids, DWORD type) {
  return CreateBranch(root_, count, ids, type);
}

HRESULT JIDSOverrideTree::GetOverride(DWORD count, const DWORD* ids, JIDSOverride** out) const {
  if (!out || !root_) return E_INVALIDARG;
  *out = nullptr;
  if (count == 0 || !ids) {
    *out = root_;
    return S_OK;
  }
  *out = Bind(count, ids);
  return *out ? S_OK : E_FAIL;
}

HRESULT JIDSOverrideTree::AddOverride(DWORD count, const DWORD* ids, DWORD type, JIDSOverride** out) {
  if (!IsNodeType(type) || !out) return E_INVALIDARG;
  *out = nullptr;
  if (count == 0 || !ids) {
    *out = root_;
    return S_OK;
  }
  *out = Branch(count, ids, type);
  return *out ? S_OK : E_FAIL;
}

// ---- removing override kinds ----

HRESULT JIDSOverrideTree::Remove(DWORD mask, DWORD count, const DWORD* ids) {
  if (mask == 0) return E_INVALIDARG;
  JIDSOverride* node = nullptr;
  if (FAILED(GetOverride(count, ids, &node)) || !node) return E_FAIL;
  return Remove(mask, node);
}

HRESULT JIDSOverrideTree::Remove(DWORD mask, JIDSOverride* node) {
  if (!node || mask == 0) return E_INVALIDARG;
  const DWORD kinds = mask & 0xFFFF;
  bool failed = false;
  auto removeFrom = [&](JIDSOverride* target) {
    auto check = [&](HRESULT hr) { failed = failed || FAILED(hr); };
    if (kinds & IOT_REMOVE_STYLE) check(target->SetStyle(0, 1));
    if (kinds & IOT_REMOVE_MATRIX) check(target->SetMatrix(nullptr));
    if (kinds & IOT_REMOVE_SOLVER_STATUS) check(target->SetSolverStatus(0));
    if (kinds & IOT_REMOVE_BODY) check(target->SetBodyData(nullptr));
    if (kinds & IOT_REMOVE_ADAPTABLE) check(target->ClearAdaptable());
    if (kinds & IOT_REMOVE_ADAPTABLE_SYNC) check(target->RemoveAdaptableSync());
    if (kinds & IOT_REMOVE_MATRIX_SYNC) check(target->RemoveMatrixSync());
    if (kinds & IOT_REMOVE_BODY_SYNC) check(target->RemoveBodySync());
    if (kinds & IOT_REMOVE_VARIABLE_SYNC) check(target->RemoveVariableSync());
    if (kinds & IOT_REMOVE_STYLE_SYNC) check(target->RemoveStyleSync());
    if (kinds & IOT_REMOVE_ADJUSTABLE_PART) check(target->RemoveAdjustablePart());
    if (kinds & IOT_REMOVE_ADJUSTABLE_PART_SYNC) check(target->RemoveAdjustablePartSync());
    if (kinds & IOT_REMOVE_OVERRIDE_CONSTRAINT_SYNC) check(target->RemoveOverrideConstraintSync());
  };
  if (!(mask & IOT_REMOVE_NOT_SELF)) removeFrom(node);
  if ((mask & IOT_REMOVE_BELOW) && node->IsAssembly()) {
    RemoveWalker walker;
    HRESULT hr = static_cast<JAsmOverride*>(node)->Walk(&walker, kinds, 0);
    if (hr < 0 || walker.GetFailureCount() != 0) failed = true;
  }
  if (mask & IOT_REMOVE_ANCESTORS) {
    for (JIDSOverride* ancestor = node->GetParent(); ancestor; ancestor = ancestor->GetParent()) removeFrom(ancestor);
  }
  return failed ? E_FAIL : S_OK;
}

// ---- path operations ----

HRESULT JIDSOverrideTree::SetMatrix(DWORD count, const DWORD* ids, const tagG4x4* matrix, DWORD type) {
  if (count == 0 || !ids || !matrix) return E_INVALIDARG;
  JIDSOverride* node = Branch(count, ids, type);
  return node ? node->SetMatrix(matrix) : E_FAIL;
}

HRESULT JIDSOverrideTree::GetMatrix(DWORD count, const DWORD* ids, tagG4x4* out) const {
  if (count == 0 || !ids || !out) return E_INVALIDARG;
  JIDSOverride* node = Bind(count, ids);
  return node ? node->GetMatrix(out) : E_FAIL;
}

HRESULT JIDSOverrideTree::SetSolverStatus(DWORD count, const DWORD* ids, DWORD status, DWORD type) {
  if (status == 0) return QUORRA_TRACE_FAIL(E_NOTIMPL, "JIDSOverrideTree::SetSolverStatus");
  if (count == 0 || !ids) return E_INVALIDARG;
  JIDSOverride* node = Branch(count, ids, type);
  return node ? node->SetSolverStatus(status) : E_FAIL;
}

HRESULT JIDSOverrideTree::GetSolverStatus(DWORD count, const DWORD* ids, DWORD* out) const {
  if (count == 0 || !ids || !out) return E_INVALIDARG;
  JIDSOverride* node = Bind(count, ids);
  return node ? node->GetSolverStatus(out) : E_FAIL;
}

HRESULT JIDSOverrideTree::SetStyleID(DWORD count, const DWORD* ids, DWORD styleId, DWORD type, BOOL alternate) {
  if (count == 0 || !ids || styleId == 0) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::SetStyleID");
  JIDSOverride* node = Branch(count, ids, type);
  if (!node) return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverrideTree::SetStyleID");
  return alternate ? node->SetAltStyle(styleId, 1) : node->SetStyle(styleId, 1);
}

HRESULT JIDSOverrideTree::GetStyleID(DWORD count, const DWORD* ids, DWORD* out, BOOL alternate) const {
  if (!out) return E_INVALIDARG;
  *out = 0;
  JIDSOverride* node = nullptr;
  if (FAILED(GetOverride(count, ids, &node)) || !node) return E_FAIL;
  *out = node->GetStyle();
  if (alternate && node->GetAltStyle() != 0) *out = node->GetAltStyle();
  return *out != 0 ? S_OK : E_FAIL;
}

HRESULT JIDSOverrideTree::RemoveStyleID(DWORD count, const DWORD* ids, BOOL alternate) {
  JIDSOverride* node = nullptr;
  if (FAILED(GetOverride(count, ids, &node)) || !node) return S_FALSE;
  return alternate ? node->SetAltStyle(0, 1) : node->SetStyle(0, 1);
}

HRESULT JIDSOverrideTree::SetAdaptable(DWORD count, const DWORD* ids, BOOL on, DWORD type) {
  JIDSOverride* node = Branch(count, ids, type);
  if (!node) return E_FAIL;
  return on ? node->SetAdaptable() : node->ClearAdaptable();
}

HRESULT JIDSOverrideTree::SetAdjustablePart(DWORD count, const DWORD* ids, BOOL on, DWORD type) {
  JIDSOverride* node = Branch(count, ids, type);
  if (!node) return E_FAIL;
  return on ? node->SetAdjustablePart() : node->ClearAdjustablePart();
}

// The synchronisation flags by path: Set creates the node, Get and Remove
// need it (E_FAIL without).
#define QUORRA_IOT_SYNC_OPERATIONS(Name)                                                 \
  HRESULT JIDSOverrideTree::Set##Name(DWORD count, const DWORD* ids, DWORD type) {       \
    JIDSOverride* node = Branch(count, ids, type);                                       \
    return node ? node->Set##Name() : E_FAIL;                                            \
  }                                                                                      \
  HRESULT JIDSOverrideTree::Get##Name(DWORD count, const DWORD* ids, DWORD* out) const { \
    JIDSOverride* node = Bind(count, ids);                                               \
    return node ? node->Get##Name(out) : E_FAIL;                                         \
  }                                                                                      \
  HRESULT JIDSOverrideTree::Remove##Name(DWORD count, const DWORD* ids) {                \
    JIDSOverride* node = Bind(count, ids);                                               \
    return node ? node->Remove##Name() : E_FAIL;                                         \
  }

QUORRA_IOT_SYNC_OPERATIONS(AdaptableSync)
QUORRA_IOT_SYNC_OPERATIONS(MatrixSync)
QUORRA_IOT_SYNC_OPERATIONS(BodySync)
QUORRA_IOT_SYNC_OPERATIONS(VariableSync)
QUORRA_IOT_SYNC_OPERATIONS(StyleSync)
QUORRA_IOT_SYNC_OPERATIONS(AdjustablePartSync)
#undef QUORRA_IOT_SYNC_OPERATIONS

HRESULT JIDSOverrideTree::SetOverrideConstraintSync(DWORD count, const DWORD* ids, DWORD type) {
  JIDSOverride* node = Branch(count, ids, type);
  if (!node) return E_FAIL;
  DWORD current = 0;
  node->GetOverrideConstraintSync(&current);
  return current == 1 ? S_OK : node->SetOverrideConstraintSync();
}

HRESULT JIDSOverrideTree::GetOverrideConstraintSync(DWORD count, const DWORD* ids, DWORD* out) const {
  JIDSOverride* node = Bind(count, ids);
  return node ? node->GetOverrideConstraintSync(out) : E_FAIL;
}

HRESULT JIDSOverrideTree::RemoveOverrideConstraintSync(DWORD count, const DWORD* ids) {
  JIDSOverride* node = Bind(count, ids);
  return node ? node->RemoveOverrideConstraintSync() : E_FAIL;
}

HRESULT JIDSOverrideTree::GetAdaptable(DWORD count, const DWORD* ids, DWORD* out) const {
  JIDSOverride* node = Bind(count, ids);
  return node ? node->GetAdaptable(out) : E_FAIL;
}

HRESULT JIDSOverrideTree::GetAdjustablePart(DWORD count, const DWORD* ids, DWORD* out) const {
  JIDSOverride* node = Bind(count, ids);
  return node ? node->GetAdjustablePart(out) : E_FAIL;
}

HRESULT JIDSOverrideTree::RemoveMatrix(DWORD, const DWORD*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::RemoveSolverStatus(DWORD, const DWORD*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::RemoveAdaptable(DWORD, const DWORD*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::RemoveAdjustablePart(DWORD, const DWORD*) { return E_NOTIMPL; }

// ---- state word ----

HRESULT JIDSOverrideTree::GetDirtyFlag(DWORD* out) const {
  if (!out) return E_INVALIDARG;
  *out = state_;
  return S_OK;
}

HRESULT JIDSOverrideTree::CheckFoaMasterAndEditMode(BOOL* master, BOOL* editMode) const {
  if (!master || !editMode) return E_INVALIDARG;
  *master = 0;
  *editMode = 0;
  IUnknown* document = GetAssembly(IID_IUnknown);
  if (!document) return S_OK;
  HRESULT hr = S_OK;
  if (auto* check = gCheckFoaMaster.Get()) hr = check(document, master, editMode);
  document->Release();
  return hr;
}

HRESULT JIDSOverrideTree::SetDirtyFlag(DWORD structural, DWORD geometric) {
  BOOL master = 0, editMode = 0;
  HRESULT hr = CheckFoaMasterAndEditMode(&master, &editMode);
  if (!master) return hr;
  state_ |= IOT_STATE_DIRTY;
  if (structural) state_ |= IOT_STATE_DIRTY_STRUCTURAL;
  if (geometric || editMode) state_ |= IOT_STATE_DIRTY_GEOMETRIC;
  return hr;
}

void JIDSOverrideTree::SetLoading(BOOL loading) {
  state_ = loading ? (state_ | IOT_STATE_LOADING) : (state_ & ~IOT_STATE_LOADING);
}

HRESULT JIDSOverrideTree::UpdateAdjustableStateFlags() {
  if (state_ & IOT_STATE_ADJUSTABLE_VALID) return S_OK;
  CheckAdjustable walker;
  HRESULT hr = root_->Walk(&walker, reinterpret_cast<uintptr_t>(&state_), 0);
  if (hr < 0) return hr;
  state_ |= IOT_STATE_ADJUSTABLE_VALID;
  return S_OK;
}

HRESULT JIDSOverrideTree::IsAdaptableAssemblyPresent(BOOL* out) {
  if (!out) return E_INVALIDARG;
  HRESULT hr = UpdateAdjustableStateFlags();
  *out = (state_ & IOT_STATE_ADAPTABLE_ASSEMBLY) ? 1 : 0;
  return hr;
}

HRESULT JIDSOverrideTree::IsAdjustablePartPresent(BOOL* out) {
  if (!out) return E_INVALIDARG;
  HRESULT hr = UpdateAdjustableStateFlags();
  *out = (state_ & IOT_STATE_ADJUSTABLE_PART) ? 1 : 0;
  return hr;
}

HRESULT JIDSOverrideTree::IsAdjustableOccPresent(BOOL* out) {
  if (!out) return E_INVALIDARG;
  HRESULT hr = UpdateAdjustableStateFlags();
  *out = (state_ & (IOT_STATE_ADJUSTABLE_PART | IOT_STATE_ADAPTABLE_ASSEMBLY)) ? 1 : 0;
  return hr;
}

// ---- diagnostics ----

HRESULT JIDSOverrideTree::Probe(GUserText* out) {
  if (!out) return E_INVALIDARG;
  try {
    IOTNodeCounter counter;
    root_->Walk(&counter, 0, 1);
    wchar_t head[160];
    std::swprintf(head, sizeof(head) / sizeof(head[0]),
                  L"JIDSOverrideTree: %p; m_pRoot: %p%u AsmOverrides, %u PartOverrides\r\n", static_cast<void*>(this),
                  static_cast<void*>(root_), counter.GetAssemblyCount(), counter.GetPartCount());
    std::wstring text(head);
    IOTProbe probe(&text);
    root_->Walk(&probe, 0, 1);
    *out = GUserText(text.c_str());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

// ---- JGetIOT ----

extern "C" HRESULT JGetIOT(IUnknown* document, REFIID iid, void** out) {
  if (!document) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetIOT");
  if (out) *out = nullptr;
  auto* getSupport = gGetGraphicSupportObject.Get();
  if (!getSupport) return E_FAIL;
  IUnknown* object = nullptr;
  if (FAILED(document->QueryInterface(IID_IJOccurrenceContainer, reinterpret_cast<void**>(&object))) || !object) {
    object = nullptr;
    auto* getPersistManager = gGetPersistManager.Get();
    if (!getPersistManager) return E_FAIL;
    HRESULT hr = getPersistManager(document, &object);
    if (FAILED(hr) || !object) return FAILED(hr) ? hr : E_FAIL;
  }
  HRESULT hr = getSupport(object, iid, out);
  object->Release();
  return hr;
}
