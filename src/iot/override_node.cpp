// Override nodes: the values a node holds in its user data under their gate
// bits, the dirty marking and style-manager notification they cause.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "quorra/host/override_services.h"
#include "quorra/host/trace.h"
#include "quorra/member_roadmap.h"
#include "quorra/override_body_data.h"
#include "quorra/override_tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/iot";

using quorra::ConfigSettingMap;
using quorra::IOTDwordMap;
using quorra::IOTVariableMap;
using quorra::OccPropertyOverrides;

// Override-table values whose release no other area registers.
struct OverrideTableReleases {
  OverrideTableReleases() {
    using quorra::RegisterLibraryUserDataRelease;
    using quorra::UserDataReleaser;
    RegisterLibraryUserDataRelease(UserDataReleaser::kOverrideTable, UD_IOT_CONFIG_INFO,
                                   [](void* value) { delete static_cast<ConfigSettingMap*>(value); });
    RegisterLibraryUserDataRelease(UserDataReleaser::kOverrideTable, UD_IOT_PREVIOUS_OVERRIDE_BODY,
                                   [](void* value) { delete static_cast<JOverrideBodyData*>(value); });
    RegisterLibraryUserDataRelease(UserDataReleaser::kOverrideTable, UD_IOT_BODY_OVERRIDE_VERSION_DATA,
                                   [](void* value) { delete static_cast<IOTDwordMap*>(value); });
    RegisterLibraryUserDataRelease(UserDataReleaser::kOverrideTable, UD_OCC_PROPERTIES_OVERRIDE,
                                   [](void* value) { delete static_cast<OccPropertyOverrides*>(value); });
  }
} gOverrideTableReleases;

inline void* AsValue(DWORD v) { return reinterpret_cast<void*>(static_cast<uintptr_t>(v)); }
inline DWORD AsDword(void* p) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p)); }

template <class T>
T* Stored(const JIDSOverride* node, DWORD type) {
  return static_cast<T*>(node->GetUserData(type, nullptr));
}

}  // namespace

JIDSOverride::~JIDSOverride() = default;

// ---- tree access ----

JIDSOverrideTree* JIDSOverride::GetTree() const {
  const JIDSOverride* node = this;
  while (node->parent_) node = node->parent_;
  return static_cast<JIDSOverrideTree*>(node->GetUserData(UD_ASMTREE_BACK_POINTER, nullptr));
}

MemoryAllocator* JIDSOverride::GetAllocator() const { return GetTree(); }

HRESULT JIDSOverride::GetStyleManager(REFIID iid, void** out) const {
  if (!out) return E_POINTER;
  *out = nullptr;
  JIDSOverrideTree* tree = GetTree();
  return tree ? tree->GetStyleManager(iid, out) : E_FAIL;
}

void JIDSOverride::MarkDirty(DWORD structural, DWORD geometric) const {
  if (JIDSOverrideTree* tree = GetTree()) tree->SetDirtyFlag(structural, geometric);
}

void JIDSOverride::InvalidateAdjustableState() const {
  if (JIDSOverrideTree* tree = GetTree()) tree->ClearAdjustableStateFlags();
}

DWORD JIDSOverride::GatedValue(DWORD type, DWORD gate, bool extended) const {
  if (!((extended ? dwPropsEx_ : dwProps_) & gate)) return 0;
  return AsDword(GetUserData(type, nullptr));
}

// ---- styles ----

HRESULT JIDSOverride::SetStyleValue(DWORD type, DWORD bit, DWORD id, BOOL notify) {
  const DWORD old = GatedValue(type, bit, false);
  if (id == old) return S_OK;
  IJStyleManager* manager = nullptr;
  if (notify) GetStyleManager(IID_IJStyleManager, reinterpret_cast<void**>(&manager));
  if (manager && old != 0 && old != 0xFFFFFFFFu) manager->ReleaseStyleUse(old);
  RemoveUserData(type);
  HRESULT hr = S_OK;
  if (id != 0) {
    hr = AddUserData(type, AsValue(id));
    if (SUCCEEDED(hr)) {
      dwProps_ |= bit;
      if (manager && id != 0xFFFFFFFFu) manager->AddStyleUse(id);
    } else {
      dwProps_ &= ~bit;
    }
  } else {
    dwProps_ &= ~bit;
  }
  if (manager) manager->Release();
  return hr;
}

HRESULT JIDSOverride::SetStyle(DWORD id, BOOL notify) { return SetStyleValue(UD_STYLE, IOT_STYLE, id, notify); }
HRESULT JIDSOverride::SetAltStyle(DWORD id, BOOL notify) {
  return SetStyleValue(UD_ALT_STYLE, IOT_ALT_STYLE, id, notify);
}
DWORD JIDSOverride::GetStyle() const { return GatedValue(UD_STYLE, IOT_STYLE, false); }
DWORD JIDSOverride::GetAltStyle() const { return GatedValue(UD_ALT_STYLE, IOT_ALT_STYLE, false); }

// ---- plain stored values ----

DWORD JIDSOverride::GetColorOverride() const { return GatedValue(UD_IOT_COLOR_OVERRIDE, IOTX_COLOR_OVERRIDE, true); }
HRESULT JIDSOverride::SetColorOverride(DWORD color) {
  if (color == GetColorOverride() && ((dwPropsEx_ & IOTX_COLOR_OVERRIDE) || color == 0)) return S_OK;
  RemoveUserData(UD_IOT_COLOR_OVERRIDE);
  if (color == 0) {
    dwPropsEx_ &= ~IOTX_COLOR_OVERRIDE;
    return S_OK;
  }
  HRESULT hr = AddUserData(UD_IOT_COLOR_OVERRIDE, AsValue(color));
  if (SUCCEEDED(hr)) dwPropsEx_ |= IOTX_COLOR_OVERRIDE;
  return hr;
}

DWORD JIDSOverride::GetDocID() const { return GatedValue(UD_IOT_DOC_ID, IOTX_DOC_ID, true); }
DWORD JIDSOverride::SetDocID(DWORD id) {
  RemoveUserData(UD_IOT_DOC_ID);
  if (SUCCEEDED(AddUserData(UD_IOT_DOC_ID, AsValue(id)))) dwPropsEx_ |= IOTX_DOC_ID;
  return id;
}
DWORD JIDSOverride::GetBodyOverrideDocID() const {
  return GatedValue(UD_IOT_BODY_OVERRIDE_DOC_ID, IOTX_BODY_OVERRIDE_DOC_ID, true);
}
DWORD JIDSOverride::SetBodyOverrideDocID(DWORD id) {
  RemoveUserData(UD_IOT_BODY_OVERRIDE_DOC_ID);
  if (SUCCEEDED(AddUserData(UD_IOT_BODY_OVERRIDE_DOC_ID, AsValue(id)))) dwPropsEx_ |= IOTX_BODY_OVERRIDE_DOC_ID;
  return id;
}
DWORD JIDSOverride::GetGeometricVersion() const {
  return GatedValue(UD_GEOMETRIC_VERSION_STAMP, IOTX_GEOM_VERSION, true);
}
HRESULT JIDSOverride::SetGeometricVersion(DWORD version) {
  RemoveUserData(UD_GEOMETRIC_VERSION_STAMP);
  HRESULT hr = AddUserData(UD_GEOMETRIC_VERSION_STAMP, AsValue(version));
  if (SUCCEEDED(hr)) dwPropsEx_ |= IOTX_GEOM_VERSION;
  return hr;
}
DWORD JIDSOverride::GetCounter() const { return AsDword(GetUserData(UD_IOT_COUNTER, nullptr)); }
HRESULT JIDSOverride::SetCounter(DWORD counter) {
  RemoveUserData(UD_IOT_COUNTER);
  return AddUserData(UD_IOT_COUNTER, AsValue(counter));
}

HRESULT JIDSOverride::SetOwningCADSaveTime(const FILETIME& time) {
  if (auto* stored = Stored<FILETIME>(this, UD_IOT_OWNING_CAD_SAVE_TIME)) {
    *stored = time;
    dwPropsEx_ |= IOTX_OWNING_CAD_SAVE_TIME;
    return S_OK;
  }
  auto* block = static_cast<FILETIME*>(std::malloc(sizeof(FILETIME)));
  if (!block) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetOwningCADSaveTime");
  *block = time;
  HRESULT hr = AddUserData(UD_IOT_OWNING_CAD_SAVE_TIME, block);
  if (FAILED(hr)) {
    std::free(block);
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetOwningCADSaveTime");
  }
  dwPropsEx_ |= IOTX_OWNING_CAD_SAVE_TIME;
  return S_OK;
}

HRESULT JIDSOverride::GetOwningCADSaveTime(FILETIME* out) const {
  if (!out) return E_INVALIDARG;
  auto* stored = Stored<FILETIME>(this, UD_IOT_OWNING_CAD_SAVE_TIME);
  if (!(dwPropsEx_ & IOTX_OWNING_CAD_SAVE_TIME) || !stored) return E_FAIL;
  *out = *stored;
  return S_OK;
}

HRESULT JIDSOverride::SetBodyOverrideVersionData(const IOTDwordMap& versions) {
  RemoveUserData(UD_IOT_BODY_OVERRIDE_VERSION_DATA);
  dwPropsEx_ &= ~IOTX_BODY_OVERRIDE_VERSION_DATA;
  if (versions.empty()) return S_OK;
  auto* copy = new (std::nothrow) IOTDwordMap();
  if (!copy) return E_OUTOFMEMORY;
  try {
    *copy = versions;
  } catch (const std::bad_alloc&) {
    delete copy;
    return E_OUTOFMEMORY;
  }
  HRESULT hr = AddUserData(UD_IOT_BODY_OVERRIDE_VERSION_DATA, copy);
  if (FAILED(hr)) {
    delete copy;
    return hr;
  }
  dwPropsEx_ |= IOTX_BODY_OVERRIDE_VERSION_DATA;
  return S_OK;
}

const IOTDwordMap* JIDSOverride::GetBodyOverrideVersionData() const {
  if (!(dwPropsEx_ & IOTX_BODY_OVERRIDE_VERSION_DATA)) return nullptr;
  return Stored<IOTDwordMap>(this, UD_IOT_BODY_OVERRIDE_VERSION_DATA);
}

// ---- matrix, solver status, bodies ----

HRESULT JIDSOverride::SetMatrix(const tagG4x4* matrix) {
  auto* stored = Stored<tagG4x4>(this, UD_OVERRIDE_MATRIX);
  if (!matrix) {
    if (stored) {
      RemoveUserData(UD_OVERRIDE_MATRIX);
      dwProps_ &= ~IOT_OVERRIDE_MATRIX;
    }
  } else {
    if (!stored) {
      stored = static_cast<tagG4x4*>(quorra::AllocUserDataMatrixBlock());
      if (!stored) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetMatrix");
      if (FAILED(AddUserData(UD_OVERRIDE_MATRIX, stored))) {
        std::free(stored);
        return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetMatrix");
      }
    }
    std::memcpy(static_cast<void*>(stored), matrix, 128);
    dwProps_ |= IOT_OVERRIDE_MATRIX;
  }
  MarkDirty(1, 1);
  return S_OK;
}

const tagG4x4* JIDSOverride::GetMatrix() const { return Stored<tagG4x4>(this, UD_OVERRIDE_MATRIX); }

HRESULT JIDSOverride::GetMatrix(tagG4x4* out) const {
  if (!out) return E_INVALIDARG;
  const tagG4x4* stored = GetMatrix();
  if (!stored) return E_FAIL;
  std::memcpy(static_cast<void*>(out), stored, 128);
  return S_OK;
}

HRESULT JIDSOverride::SetSolverStatus(DWORD status) {
  RemoveUserData(UD_OVERRIDE_SOLVE_STATUS);
  HRESULT hr = S_OK;
  if (status != 0) {
    hr = AddUserData(UD_OVERRIDE_SOLVE_STATUS, AsValue(status));
    if (SUCCEEDED(hr)) dwProps_ |= IOT_OVERRIDE_STATUS;
  } else {
    dwProps_ &= ~IOT_OVERRIDE_STATUS;
  }
  MarkDirty(1, 0);
  return hr;
}

HRESULT JIDSOverride::GetSolverStatus(DWORD* out) const {
  if (!out) return E_INVALIDARG;
  *out = 0;
  if (!(dwProps_ & IOT_OVERRIDE_STATUS)) return E_FAIL;
  *out = AsDword(GetUserData(UD_OVERRIDE_SOLVE_STATUS, nullptr));
  return S_OK;
}

HRESULT JIDSOverride::SetBodyData(JOverrideBodyData* body) {
  RemoveUserData(UD_OVERRIDE_BODY);
  dwProps_ &= ~IOT_OVERRIDE_BODY;
  dwPropsEx_ &= ~IOTX_OVERRIDEBODY_PROPS_ON;
  if (body) {
    if (FAILED(AddUserData(UD_OVERRIDE_BODY, body)))
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetBodyData");
    dwProps_ |= IOT_OVERRIDE_BODY;
    dwPropsEx_ |= IOTX_OVERRIDEBODY_PROPS_ON;
  }
  MarkDirty(1, 1);
  return S_OK;
}

JOverrideBodyData* JIDSOverride::GetBodyData() const {
  return (dwProps_ & IOT_OVERRIDE_BODY) ? Stored<JOverrideBodyData>(this, UD_OVERRIDE_BODY) : nullptr;
}

HRESULT JIDSOverride::SetCurrentDocPreviousOverrideBodyData(JOverrideBodyData* body) {
  RemoveUserData(UD_IOT_PREVIOUS_OVERRIDE_BODY);
  dwPropsEx_ &= ~IOTX_PREVIOUS_OVERRIDE_BODY;
  if (body) {
    if (FAILED(AddUserData(UD_IOT_PREVIOUS_OVERRIDE_BODY, body)))
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetCurrentDocPreviousOverrideBodyData");
    dwPropsEx_ |= IOTX_PREVIOUS_OVERRIDE_BODY;
  }
  return S_OK;
}

JOverrideBodyData* JIDSOverride::GetCurrentDocPreviousOverrideBodyData() const {
  return (dwPropsEx_ & IOTX_PREVIOUS_OVERRIDE_BODY) ? Stored<JOverrideBodyData>(this, UD_IOT_PREVIOUS_OVERRIDE_BODY)
                                                    : nullptr;
}

// ---- flags with a stored value of 1 ----

HRESULT JIDSOverride::SetFlagValue(DWORD type, DWORD gate) {
  RemoveUserData(type);
  HRESULT hr = AddUserData(type, AsValue(1));
  if (SUCCEEDED(hr)) dwProps_ |= gate;
  return hr;
}

HRESULT JIDSOverride::RemoveFlagValue(DWORD type, DWORD gate) {
  dwProps_ &= ~gate;
  RemoveUserData(type);
  return S_OK;
}

HRESULT JIDSOverride::GetFlagValue(DWORD type, DWORD gate, DWORD* out) const {
  if (!out) return E_INVALIDARG;
  *out = 0;
  if (!(dwProps_ & gate)) return S_OK;
  int found = 0;
  void* value = GetUserData(type, &found);
  if (!found) return S_FALSE;
  *out = AsDword(value);
  return S_OK;
}

HRESULT JIDSOverride::SetAdaptable() {
  HRESULT hr = SetFlagValue(UD_ADAPTABLE, IOT_ADAPTABLE);
  MarkDirty(1, 0);
  InvalidateAdjustableState();
  return hr;
}
HRESULT JIDSOverride::RemoveAdaptable() {
  RemoveFlagValue(UD_ADAPTABLE, IOT_ADAPTABLE);
  MarkDirty(1, 0);
  InvalidateAdjustableState();
  return S_OK;
}
HRESULT JIDSOverride::SetAdjustablePart() {
  DWORD current = 0;
  GetAdjustablePart(&current);
  HRESULT hr = S_OK;
  if (current != 1) hr = SetFlagValue(UD_ADJUSTABLE_PART, IOT_ADJUSTABLE_PART);
  MarkDirty(1, 0);
  InvalidateAdjustableState();
  return hr;
}
HRESULT JIDSOverride::RemoveAdjustablePart() {
  RemoveFlagValue(UD_ADJUSTABLE_PART, IOT_ADJUSTABLE_PART);
  MarkDirty(1, 0);
  InvalidateAdjustableState();
  return S_OK;
}
HRESULT JIDSOverride::GetAdaptable(DWORD* out) const { return GetFlagValue(UD_ADAPTABLE, IOT_ADAPTABLE, out); }
HRESULT JIDSOverride::GetAdjustablePart(DWORD* out) const {
  return GetFlagValue(UD_ADJUSTABLE_PART, IOT_ADJUSTABLE_PART, out);
}

HRESULT JIDSOverride::SetAdaptableSync() { return SetFlagValue(UD_ADAPTABLE_SYNC, IOT_ADAPTABLE_SYNC); }
HRESULT JIDSOverride::SetMatrixSync() { return SetFlagValue(UD_MATRIX_SYNC, IOT_MATRIX_SYNC); }
HRESULT JIDSOverride::SetVariableSync() { return SetFlagValue(UD_VARIABLE_SYNC, IOT_VARIABLE_SYNC); }
HRESULT JIDSOverride::SetStyleSync() { return SetFlagValue(UD_STYLE_SYNC, IOT_STYLE_SYNC); }
HRESULT JIDSOverride::SetOverrideConstraintSync() {
  return SetFlagValue(UD_IOT_OVERRIDE_CONSTRAINT_SYNC, IOT_BODY_SYNC);
}
HRESULT JIDSOverride::SetBodySync() {
  DWORD current = 0;
  GetBodySync(&current);
  return current == 1 ? S_OK : SetFlagValue(UD_OVERRIDE_BODY_SYNC, IOT_BODY_SYNC);
}
HRESULT JIDSOverride::SetAdjustablePartSync() {
  DWORD current = 0;
  GetAdjustablePartSync(&current);
  return current == 1 ? S_OK : SetFlagValue(UD_ADJUSTABLE_PART_SYNC, IOT_ADJUSTABLE_PART_SYNC);
}
HRESULT JIDSOverride::RemoveAdaptableSync() { return RemoveFlagValue(UD_ADAPTABLE_SYNC, IOT_ADAPTABLE_SYNC); }
HRESULT JIDSOverride::RemoveMatrixSync() { return RemoveFlagValue(UD_MATRIX_SYNC, IOT_MATRIX_SYNC); }
HRESULT JIDSOverride::RemoveVariableSync() { return RemoveFlagValue(UD_VARIABLE_SYNC, IOT_VARIABLE_SYNC); }
HRESULT JIDSOverride::RemoveStyleSync() { return RemoveFlagValue(UD_STYLE_SYNC, IOT_STYLE_SYNC); }
HRESULT JIDSOverride::RemoveBodySync() { return RemoveFlagValue(UD_OVERRIDE_BODY_SYNC, IOT_BODY_SYNC); }
HRESULT JIDSOverride::RemoveOverrideConstraintSync() {
  return RemoveFlagValue(UD_IOT_OVERRIDE_CONSTRAINT_SYNC, IOT_BODY_SYNC);
}
HRESULT JIDSOverride::RemoveAdjustablePartSync() {
  return RemoveFlagValue(UD_ADJUSTABLE_PART_SYNC, IOT_ADJUSTABLE_PART_SYNC);
}
HRESULT JIDSOverride::GetAdaptableSync(DWORD* out) const {
  return GetFlagValue(UD_ADAPTABLE_SYNC, IOT_ADAPTABLE_SYNC, out);
}
HRESULT JIDSOverride::GetMatrixSync(DWORD* out) const { return GetFlagValue(UD_MATRIX_SYNC, IOT_MATRIX_SYNC, out); }
HRESULT JIDSOverride::GetVariableSync(DWORD* out) const {
  return GetFlagValue(UD_VARIABLE_SYNC, IOT_VARIABLE_SYNC, out);
}
HRESULT JIDSOverride::GetStyleSync(DWORD* out) const { return GetFlagValue(UD_STYLE_SYNC, IOT_STYLE_SYNC, out); }
HRESULT JIDSOverride::GetBodySync(DWORD* out) const { return GetFlagValue(UD_OVERRIDE_BODY_SYNC, IOT_BODY_SYNC, out); }
HRESULT JIDSOverride::GetOverrideConstraintSync(DWORD* out) const {
  return GetFlagValue(UD_IOT_OVERRIDE_CONSTRAINT_SYNC, IOT_BODY_SYNC, out);
}
HRESULT JIDSOverride::GetAdjustablePartSync(DWORD* out) const {
  return GetFlagValue(UD_ADJUSTABLE_PART_SYNC, IOT_ADJUSTABLE_PART_SYNC, out);
}

// ---- variables ----

HRESULT JIDSOverride::SetVariable(DWORD kind, DWORD key, double value) {
  auto* vars = Stored<IOTVariableMap>(this, UD_OVERRIDE_VARIABLES);
  try {
    if (!vars) {
      vars = new IOTVariableMap();
      if (FAILED(AddUserData(UD_OVERRIDE_VARIABLES, vars))) {
        delete vars;
        return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetVariable");
      }
    }
    dwProps_ |= IOT_OVERRIDE_VARIABLES;
    bool replaced = false;
    auto [it, end] = vars->equal_range(kind);
    for (; it != end; ++it) {
      if (it->second.first == key) {
        it->second.second = value;
        replaced = true;
      }
    }
    if (!replaced) vars->emplace(kind, std::make_pair(key, value));
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetVariable");
  }
  MarkDirty(1, 1);
  return S_OK;
}

HRESULT JIDSOverride::GetVariable(DWORD kind, DWORD key, double* out) const {
  if (!out) return E_INVALIDARG;
  const auto* vars = Stored<IOTVariableMap>(this, UD_OVERRIDE_VARIABLES);
  if (!vars) return E_FAIL;
  auto [it, end] = vars->equal_range(kind);
  for (; it != end; ++it) {
    if (it->second.first == key) {
      *out = it->second.second;
      return S_OK;
    }
  }
  return E_FAIL;
}

HRESULT JIDSOverride::GetVariable(DWORD kind, quorra::IOTVariableRange* range) const {
  if (!range) return E_INVALIDARG;
  const auto* vars = Stored<IOTVariableMap>(this, UD_OVERRIDE_VARIABLES);
  if (!vars) return E_FAIL;
  *range = vars->equal_range(kind);
  return range->first == range->second ? E_FAIL : S_OK;
}

HRESULT JIDSOverride::GetVariables(IOTVariableMap* out) const {
  if (!out) return E_INVALIDARG;
  const auto* vars = Stored<IOTVariableMap>(this, UD_OVERRIDE_VARIABLES);
  if (!vars) return E_FAIL;
  try {
    *out = *vars;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT JIDSOverride::ClearVariable(DWORD kind, DWORD key) {
  if (!(dwProps_ & IOT_OVERRIDE_VARIABLES)) return E_UNEXPECTED;
  auto* vars = Stored<IOTVariableMap>(this, UD_OVERRIDE_VARIABLES);
  if (!vars) return E_POINTER;
  auto [it, end] = vars->equal_range(kind);
  for (; it != end; ++it) {
    if (it->second.first == key) {
      vars->erase(it);
      MarkDirty(1, 1);
      return S_OK;
    }
  }
  MarkDirty(1, 1);
  return E_FAIL;
}

// ---- configuration settings ----

DWORD JConfigSetting::SetFlags(DWORD value, DWORD mask) {
  DWORD flags = GetFlags();
  if (mask == 0)
    flags = value & 0xFFFFFF;
  else
    flags = ((flags & ~mask) | (value & mask)) & 0xFFFFFF;
  word_ = (word_ & 0xFF) | (flags << 8);
  return flags;
}

ConfigSettingMap* JIDSOverride::GetConfigSettingMap(bool create) {
  auto* map = Stored<ConfigSettingMap>(this, UD_IOT_CONFIG_INFO);
  if (map || !create) return map;
  map = new (std::nothrow) ConfigSettingMap();
  if (map && FAILED(AddUserData(UD_IOT_CONFIG_INFO, map))) {
    delete map;
    map = nullptr;
  }
  return map;
}

HRESULT JIDSOverride::AddConfigSetting(DWORD id, BYTE type, DWORD flags) {
  if (id == 0 || type == 0) return E_INVALIDARG;
  ConfigSettingMap* map = GetConfigSettingMap(true);
  if (!map) return E_OUTOFMEMORY;
  try {
    auto it = map->find(id);
    if (it == map->end()) {
      map->emplace(id, JConfigSetting(id, type, flags));
    } else {
      it->second.SetType(type);
      it->second.SetFlags(flags, 0);
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  dwProps_ |= IOT_HAVE_CONFIG_INFO;
  return S_OK;
}

HRESULT JIDSOverride::GetConfigSetting(DWORD id, BYTE* outType, DWORD* outFlags) const {
  if (id == 0 || !outType || !outFlags) return E_INVALIDARG;
  const auto* map = Stored<ConfigSettingMap>(this, UD_IOT_CONFIG_INFO);
  if (!map) return E_FAIL;
  auto it = map->find(id);
  if (it == map->end() || it->second.GetType() == 0) return E_FAIL;
  *outType = it->second.GetType();
  *outFlags = it->second.GetFlags();
  return S_OK;
}

HRESULT JIDSOverride::RemoveConfigSetting(DWORD id) {
  auto* map = Stored<ConfigSettingMap>(this, UD_IOT_CONFIG_INFO);
  if (!map) return E_FAIL;
  const bool erased = map->erase(id) != 0;
  if (map->empty()) dwProps_ &= ~IOT_HAVE_CONFIG_INFO;
  return erased ? S_OK : E_FAIL;
}

// ---- constraints ----

IOTDwordMap* JIDSOverride::GetConstraints(bool create) {
  auto* map = Stored<IOTDwordMap>(this, UD_OVERRIDE_Constraints);
  if (map || !create) return map;
  map = new (std::nothrow) IOTDwordMap();
  if (map && FAILED(AddUserData(UD_OVERRIDE_Constraints, map))) {
    delete map;
    map = nullptr;
  }
  return map;
}

HRESULT JIDSOverride::AddConstraint(DWORD key, DWORD value) {
  if (key == 0 || value == 0) return E_INVALIDARG;
  IOTDwordMap* map = GetConstraints(true);
  if (!map) return E_OUTOFMEMORY;
  try {
    map->emplace(key, value);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  dwPropsEx_ |= IOTX_OVERRIDE_CONSTRAINTS;
  return S_OK;
}

HRESULT JIDSOverride::RemoveConstraint(DWORD key) {
  IOTDwordMap* map = GetConstraints(false);
  if (!map) return E_FAIL;
  const bool erased = map->erase(key) != 0;
  if (map->empty()) {
    RemoveUserData(UD_OVERRIDE_Constraints);
    dwPropsEx_ &= ~IOTX_OVERRIDE_CONSTRAINTS;
  }
  return erased ? S_OK : E_FAIL;
}

HRESULT JIDSOverride::ClearConstraints() {
  RemoveUserData(UD_OVERRIDE_Constraints);
  dwPropsEx_ &= ~IOTX_OVERRIDE_CONSTRAINTS;
  MarkDirty(1, 1);
  return S_OK;
}

// ---- routes ----

HRESULT JIDSOverride::SetRoute(const JMemberRoute* route) {
  auto* stored = Stored<JMemberRoute>(this, UD_IOT_ROUTE);
  if (!route) {
    RemoveUserData(UD_IOT_ROUTE);
    dwProps_ &= ~IOT_HAVE_ROUTE;
    return S_OK;
  }
  if (stored && *stored == *route) return S_OK;
  auto* copy = new (std::nothrow) JMemberRoute(*route);
  if (!copy || copy->GetLength() != route->GetLength()) {
    delete copy;
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetRoute");
  }
  RemoveUserData(UD_IOT_ROUTE);
  if (FAILED(AddUserData(UD_IOT_ROUTE, copy))) {
    delete copy;
    dwProps_ &= ~IOT_HAVE_ROUTE;
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetRoute");
  }
  dwProps_ |= IOT_HAVE_ROUTE;
  return S_OK;
}

const JMemberRoute* JIDSOverride::GetRoute() const {
  return (dwProps_ & IOT_HAVE_ROUTE) ? Stored<JMemberRoute>(this, UD_IOT_ROUTE) : nullptr;
}

HRESULT JIDSOverride::SetAltRoute(const JMemberRoute* route) {
  if (!route) return E_INVALIDARG;
  if (auto* stored = Stored<JMemberRoute>(this, UD_IOT_ALT_ROUTE)) {
    *stored = *route;
    if (stored->GetLength() != route->GetLength()) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetAltRoute");
    dwPropsEx_ |= IOTX_ALT_ROUTE;
    return S_OK;
  }
  auto* copy = new (std::nothrow) JMemberRoute(*route);
  if (!copy || copy->GetLength() != route->GetLength() || FAILED(AddUserData(UD_IOT_ALT_ROUTE, copy))) {
    delete copy;
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverride::SetAltRoute");
  }
  dwPropsEx_ |= IOTX_ALT_ROUTE;
  return S_OK;
}

HRESULT JIDSOverride::GetAltRoute(JMemberRoute* out) const {
  if (!out) return E_INVALIDARG;
  auto* stored = Stored<JMemberRoute>(this, UD_IOT_ALT_ROUTE);
  if (!(dwPropsEx_ & IOTX_ALT_ROUTE) || !stored) return E_FAIL;
  *out = *stored;
  return S_OK;
}

HRESULT JIDSOverride::GetRoadmap(JRoadmap* out) const {
  if (!out) return E_INVALIDARG;
  std::vector<DWORD> ids;
  for (const JIDSOverride* node = this; node->parent_; node = node->parent_) ids.push_back(node->attachmentId_);
  JRoadmap roadmap;
  for (auto it = ids.rbegin(); it != ids.rend(); ++it) roadmap.AddRoute(*it, 0);
  *out = std::move(roadmap);
  return S_OK;
}

JRoadmap JIDSOverride::GetRoadmap() const {
  JRoadmap roadmap;
  GetRoadmap(&roadmap);
  return roadmap;
}

// ---- identity in the parent ----

HRESULT JIDSOverride::UpdateAttachmentID(DWORD id) {
  if (attachmentId_ != 0 || id == 0 || !GetRoute())
    return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverride::UpdateAttachmentID");
  if (parent_ && parent_->GetChild(id)) return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverride::UpdateAttachmentID");
  if (!parent_) {
    attachmentId_ = id;
    return S_OK;
  }
  return parent_->UpdateChildAttachmentID(this, id);
}

HRESULT JIDSOverride::ChangeAttachmentID(DWORD id) {
  if (attachmentId_ == 0 || !parent_) return E_UNEXPECTED;
  attachmentId_ = id;
  return S_OK;
}
