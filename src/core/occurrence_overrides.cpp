// Override state an occurrence holds for the override table: variables
// (user data 42), solver status (40), override body with the previous body
// and the body matrix (41, 49, 70), constraints (98), override-extension
// records (100) and the custom occurrence-property overrides (104).
#include <cstdint>
#include <cstdlib>
#include <new>

#include "core/occurrence_internal.h"
#include "quorra/host/trace.h"
#include "quorra/override_body_data.h"
#include "quorra/override_extensions.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/occ";

using quorra::OverrideVariableMap;
using ConstraintMap = std::map<DWORD, DWORD>;

struct OverrideStateReleases {
  OverrideStateReleases() {
    quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, UD_OVERRIDE_VARIABLES,
                                           [](void* value) { delete static_cast<OverrideVariableMap*>(value); });
    quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, UD_OVERRIDE_Constraints,
                                           [](void* value) { delete static_cast<ConstraintMap*>(value); });
  }
} gOverrideStateReleases;

const OverrideVariableMap kNoVariables;

// The first entry of `vars` for (oid, type), or end.
template <class Map>
auto FindVariable(Map& vars, DWORD oid, DWORD type) {
  auto [it, end] = vars.equal_range(oid);
  for (; it != end; ++it)
    if (it->second.first == type) return it;
  return vars.end();
}

GUserText LowerCased(GUserText name) {
  name.ToLower();
  return name;
}

}  // namespace

// ---- Variables ----

HRESULT OccurrenceNode::SetOverrideVariables(OverrideVariableMap* vars, DWORD reserved) {
  if (!vars || reserved != 0) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::SetOverrideVariables");
  // The copy is made before the old map goes, so `vars` may be that map.
  OverrideVariableMap* copy = nullptr;
  try {
    copy = new OverrideVariableMap(*vars);
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OccurrenceNode::SetOverrideVariables");
  }
  RemoveUserData(UD_OVERRIDE_VARIABLES);
  HRESULT hr = AddUserData(UD_OVERRIDE_VARIABLES, copy);
  if (FAILED(hr)) {
    delete copy;
    return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::SetOverrideVariables");
  }
  flags_ |= OCC_OVERRIDDEN_VARIABLES;
  return S_OK;
}

HRESULT OccurrenceNode::SetOverrideVariable(DWORD oid, DWORD type, double value) {
  auto* vars = static_cast<OverrideVariableMap*>(GetUserData(UD_OVERRIDE_VARIABLES, nullptr));
  try {
    if (!vars) {
      vars = new OverrideVariableMap();
      HRESULT hr = AddUserData(UD_OVERRIDE_VARIABLES, vars);
      if (FAILED(hr)) {
        delete vars;
        return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::SetOverrideVariable");
      }
    }
    flags_ |= OCC_OVERRIDDEN_VARIABLES;
    auto it = FindVariable(*vars, oid, type);
    if (it != vars->end()) {
      it->second.second = value;
    } else {
      vars->emplace(oid, std::make_pair(type, value));
    }
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OccurrenceNode::SetOverrideVariable");
  }
  return S_OK;
}

HRESULT OccurrenceNode::GetOverrideVariable(DWORD oid, DWORD type, double* value) const {
  if (!value) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetOverrideVariable");
  auto* vars = static_cast<const OverrideVariableMap*>(GetUserData(UD_OVERRIDE_VARIABLES, nullptr));
  if (!vars) return E_FAIL;
  auto it = FindVariable(*vars, oid, type);
  if (it == vars->end()) return E_FAIL;
  *value = it->second.second;
  return S_OK;
}

quorra::OverrideVariableRange OccurrenceNode::GetOverrideVariable(DWORD oid) const {
  auto* vars = static_cast<const OverrideVariableMap*>(GetUserData(UD_OVERRIDE_VARIABLES, nullptr));
  return (vars ? vars : &kNoVariables)->equal_range(oid);
}

HRESULT OccurrenceNode::ClearOverrideVariable(DWORD oid, DWORD type) {
  if (!(flags_ & OCC_OVERRIDDEN_VARIABLES))
    return QUORRA_TRACE_FAIL(E_UNEXPECTED, "OccurrenceNode::ClearOverrideVariable");
  auto* vars = static_cast<OverrideVariableMap*>(GetUserData(UD_OVERRIDE_VARIABLES, nullptr));
  if (!vars) return QUORRA_TRACE_FAIL(E_POINTER, "OccurrenceNode::ClearOverrideVariable");
  auto it = FindVariable(*vars, oid, type);
  if (it == vars->end()) return QUORRA_TRACE_FAIL(E_FAIL, "OccurrenceNode::ClearOverrideVariable");
  vars->erase(it);
  return S_OK;
}

HRESULT OccurrenceNode::ClearOverrideVariables() {
  RemoveUserData(UD_OVERRIDE_VARIABLES);
  flags_ &= ~OCC_OVERRIDDEN_VARIABLES;
  return S_OK;
}

// ---- Solver status ----

HRESULT OccurrenceNode::SetOverrideSolverStatus(DWORD status) {
  RemoveUserData(UD_OVERRIDE_SOLVE_STATUS);
  if (status == 0) {
    flags_ &= ~OCC_OVERRIDDEN_STATUS;
    return S_OK;
  }
  HRESULT hr = AddUserData(UD_OVERRIDE_SOLVE_STATUS, reinterpret_cast<void*>(static_cast<uintptr_t>(status)));
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::SetOverrideSolverStatus");
  flags_ |= OCC_OVERRIDDEN_STATUS;
  return S_OK;
}

DWORD OccurrenceNode::GetOverrideSolverStatus() const {
  if (!(flags_ & OCC_OVERRIDDEN_STATUS)) return 0;
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(GetUserData(UD_OVERRIDE_SOLVE_STATUS, nullptr)));
}

// ---- Override body ----

JOverrideBodyData* OccurrenceNode::StoredOverrideBody() const {
  if (!(flags_ & OCC_OVERRIDDEN_BODY)) return nullptr;
  return static_cast<JOverrideBodyData*>(GetUserData(UD_OVERRIDE_BODY, nullptr));
}

void OccurrenceNode::RefreshOverrideBodyMatrix() {
  JOverrideBodyData* body = StoredOverrideBody();
  auto* matrix = static_cast<tagG4x4*>(GetUserData(UD_OVERRIDE_BODY_MATRIX, nullptr));
  if (body && matrix) quorra::occ::Multiply(currentToWorld_, quorra::occ::Inverse(body->GetMatrix()), *matrix);
}

HRESULT OccurrenceNode::SetOverrideBodyData(JOverrideBodyData* body) {
  JOverrideBodyData* stored = StoredOverrideBody();
  if (body && stored && stored->HasSameAssemblyName(*body)) {
    // The same body again (perhaps moved or re-versioned): update in place,
    // keeping the previous body.
    try {
      *stored = *body;
    } catch (const std::bad_alloc&) {
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OccurrenceNode::SetOverrideBodyData");
    }
    if (auto* matrix = static_cast<tagG4x4*>(GetUserData(UD_OVERRIDE_BODY_MATRIX, nullptr)))
      quorra::occ::Multiply(GetCurrentToWorld(), quorra::occ::Inverse(body->GetMatrix()), *matrix);
    SetDirty();
    return S_OK;
  }

  // The copy is made first: `body` may be the previous body removed below.
  JOverrideBodyData* copy = nullptr;
  if (body) {
    try {
      copy = new JOverrideBodyData(*body);
    } catch (const std::bad_alloc&) {
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OccurrenceNode::SetOverrideBodyData");
    }
  }
  HRESULT hr = RemoveUserData(UD_PREVIOUS_OVERRIDE_BODY);
  if (FAILED(hr)) QUORRA_TRACE_FAIL(hr, "OccurrenceNode::SetOverrideBodyData");

  if (copy) {
    // The body being replaced becomes the previous body.
    if (flags_ & OCC_OVERRIDDEN_BODY) ChangeUserDataType(GetUserDataMap(), UD_OVERRIDE_BODY, UD_PREVIOUS_OVERRIDE_BODY);
    hr = AddUserData(UD_OVERRIDE_BODY, copy);
    if (FAILED(hr)) {
      delete copy;
      return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::SetOverrideBodyData");
    }
    flags_ |= OCC_OVERRIDDEN_BODY;
    ClearSimplified();
    auto* matrix = static_cast<tagG4x4*>(GetUserData(UD_OVERRIDE_BODY_MATRIX, nullptr));
    if (!matrix) {
      void* block = quorra::AllocUserDataMatrixBlock();
      if (block && SUCCEEDED(AddUserData(UD_OVERRIDE_BODY_MATRIX, block))) {
        matrix = new (block) tagG4x4(tagG4x4::NoInit{});
      } else {
        std::free(block);
      }
    }
    if (matrix) quorra::occ::Multiply(GetCurrentToWorld(), quorra::occ::Inverse(copy->GetMatrix()), *matrix);
  } else {
    hr = RemoveUserData(UD_OVERRIDE_BODY);
    flags_ &= ~OCC_OVERRIDDEN_BODY;
    if (auto* matrix = static_cast<tagG4x4*>(GetUserData(UD_OVERRIDE_BODY_MATRIX, nullptr))) matrix->SetIdentity();
  }
  SetDirty();
  return hr;
}

HRESULT OccurrenceNode::GetOverrideBodyData(JOverrideBodyData** out) const {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetOverrideBodyData");
  *out = StoredOverrideBody();
  return *out ? S_OK : E_FAIL;
}

HRESULT OccurrenceNode::GetPreviousOverrideBodyData(JOverrideBodyData** out) const {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetPreviousOverrideBodyData");
  *out = nullptr;
  if (!(flags_ & OCC_OVERRIDDEN_BODY)) return E_FAIL;
  *out = static_cast<JOverrideBodyData*>(GetUserData(UD_PREVIOUS_OVERRIDE_BODY, nullptr));
  return *out ? S_OK : E_FAIL;
}

// ---- Constraints ----

HRESULT OccurrenceNode::SetOverrideConstraints(ConstraintMap* constraints) {
  // The copy is made before the old map goes, so `constraints` may be it.
  ConstraintMap* copy = nullptr;
  if (constraints) {
    try {
      copy = new ConstraintMap(*constraints);
    } catch (const std::bad_alloc&) {
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OccurrenceNode::SetOverrideConstraints");
    }
  }
  RemoveUserData(UD_OVERRIDE_Constraints);
  if (!copy) return S_OK;
  HRESULT hr = AddUserData(UD_OVERRIDE_Constraints, copy);
  if (FAILED(hr)) {
    delete copy;
    return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::SetOverrideConstraints");
  }
  return S_OK;
}

HRESULT OccurrenceNode::GetOverrideConstraints(ConstraintMap** out) const {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetOverrideConstraints");
  *out = static_cast<ConstraintMap*>(GetUserData(UD_OVERRIDE_Constraints, nullptr));
  return *out ? S_OK : E_FAIL;
}

// ---- Override extensions ----

HRESULT OccurrenceNode::GetOverrideExtensions(std::vector<JOverrideExtensions*>** out, bool create) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetOverrideExtensions");
  *out = static_cast<quorra::OverrideExtensionsList*>(GetUserData(UD_OVERRIDE_EXTENSIONS, nullptr));
  if (*out) return S_OK;
  if (!create) return E_FAIL;
  auto* records = new (std::nothrow) quorra::OverrideExtensionsList();
  if (!records || FAILED(AddUserData(UD_OVERRIDE_EXTENSIONS, records))) {
    delete records;
    return QUORRA_TRACE_FAIL(E_FAIL, "OccurrenceNode::GetOverrideExtensions");
  }
  *out = records;
  return S_OK;
}

template <class Key>
JOverrideExtensions* OccurrenceNode::FindOverrideExtensions(const Key& key) {
  auto* records = static_cast<quorra::OverrideExtensionsList*>(GetUserData(UD_OVERRIDE_EXTENSIONS, nullptr));
  if (!records) return nullptr;
  for (JOverrideExtensions* record : *records)
    if (record && record->IsForDocument(key)) return record;
  return nullptr;
}

namespace {

// Finds the occurrence's record for `key` (made and appended when there is
// none) and hands it to `set`; a new record that `set` refuses is dropped.
template <class Set>
HRESULT SetExtensionsOfDocument(OccurrenceNode* occurrence, JOverrideExtensions* existing, Set set) {
  if (existing) return set(*existing);
  std::vector<JOverrideExtensions*>* records = nullptr;
  if (FAILED(occurrence->GetOverrideExtensions(&records, true)))
    return QUORRA_TRACE_FAIL(E_FAIL, "OccurrenceNode::SetOverrideExtensions");
  auto* record = new (std::nothrow) JOverrideExtensions();
  if (!record) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OccurrenceNode::SetOverrideExtensions");
  HRESULT hr = set(*record);
  try {
    if (SUCCEEDED(hr)) records->push_back(record);
  } catch (const std::bad_alloc&) {
    hr = QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OccurrenceNode::SetOverrideExtensions");
  }
  if (FAILED(hr)) delete record;
  return hr;
}

}  // namespace

HRESULT OccurrenceNode::SetOverrideExtensions(GUserText docName, DWORD extension) {
  if (docName.IsEmpty()) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::SetOverrideExtensions");
  const GUserText name = LowerCased(std::move(docName));
  return SetExtensionsOfDocument(this, FindOverrideExtensions(name),
                                 [&](JOverrideExtensions& record) { return record.SetOverride(name, extension); });
}

HRESULT OccurrenceNode::SetOverrideExtensions(const JDocIdentity& document, DWORD extension) {
  if (!document.DocumentSet()) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::SetOverrideExtensions");
  return SetExtensionsOfDocument(this, FindOverrideExtensions(document),
                                 [&](JOverrideExtensions& record) { return record.SetOverride(document, extension); });
}

HRESULT OccurrenceNode::SetOverrideExtensions(const JDocIdentity& document, const std::vector<DWORD>& extensions) {
  if (!document.DocumentSet()) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::SetOverrideExtensions");
  return SetExtensionsOfDocument(this, FindOverrideExtensions(document), [&](JOverrideExtensions& record) {
    try {
      return record.SetOverride(document, extensions);
    } catch (const std::bad_alloc&) {
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OccurrenceNode::SetOverrideExtensions");
    }
  });
}

HRESULT OccurrenceNode::RemoveOverrideExtensions(GUserText docName, DWORD extension) {
  JOverrideExtensions* record = FindOverrideExtensions(LowerCased(std::move(docName)));
  return record ? record->RemoveOverride(extension) : S_FALSE;
}

HRESULT OccurrenceNode::RemoveOverrideExtensions(const JDocIdentity& document, DWORD extension) {
  JOverrideExtensions* record = FindOverrideExtensions(document);
  return record ? record->RemoveOverride(extension) : S_FALSE;
}

HRESULT OccurrenceNode::RemoveAllOverrideExtensions(GUserText docName) {
  JOverrideExtensions* record = FindOverrideExtensions(LowerCased(std::move(docName)));
  return record ? record->RemoveAllOverrides() : S_FALSE;
}

HRESULT OccurrenceNode::RemoveAllOverrideExtensions(const JDocIdentity& document) {
  JOverrideExtensions* record = FindOverrideExtensions(document);
  return record ? record->RemoveAllOverrides() : S_FALSE;
}

HRESULT OccurrenceNode::GetOverriddenCustomOccProperties(
    std::vector<std::pair<GUserText, std::vector<std::pair<GUserText, GUserText>>>>& out) const {
  out.clear();
  auto* stored =
      static_cast<const quorra::CustomOccPropertyOverrides*>(GetUserData(UD_CUSTOMOCCPROP_OVERRIDE, nullptr));
  if (!stored) return S_OK;
  try {
    out = *stored;
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OccurrenceNode::GetOverriddenCustomOccProperties");
  }
  return S_OK;
}
