// Mercury's per-document display settings: an assembly override node keeps
// a map from a document's id to a configuration setting (a type and a flag
// word); applying the table copies the map onto the assembly occurrence
// (user data UD_DISPLAY_SETTING_MAP), where the readers find it.
#include <new>

#include "quorra/host/mercury_services.h"
#include "quorra/host/modules.h"
#include "quorra/host/override_services.h"
#include "quorra/host/trace.h"
#include "quorra/mercury.h"
#include "quorra/occurrence.h"
#include "quorra/override_tree.h"
#include "quorra/user_data.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";

constexpr DWORD kNotifyPropertyChange = 10;

quorra::host::LateBoundFunction<GetPersistManagerSignature> gGetPersistManager(L"dulcet.dll", "GetPersistManager");
}  // namespace

extern "C" HRESULT JAddDisplaySetting(JIDSOverride* node, DWORD key, DWORD type, DWORD flags, bool enable) {
  if (!node) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JAddDisplaySetting");
  quorra::ConfigSettingMap* map = node->GetConfigSettingMap(true);
  if (!map) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JAddDisplaySetting");
  try {
    map->insert_or_assign(key, JConfigSetting(key, static_cast<BYTE>(type), enable ? flags : 0));
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JAddDisplaySetting");
  }
  node->SetProps(node->GetProps() | IOT_HAVE_CONFIG_INFO);
  return S_OK;
}

HRESULT Mercury::SetDisplaySetting(DWORD key, DWORD type, DWORD flags, bool enable) {
  constexpr const char* kOperation = "Mercury::SetDisplaySetting";
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveExistingOverride(kOperation, &node);
  if (FAILED(hr)) return hr;
  if (!node) {
    hr = iot_->AddOverride(roadmap_.GetEntryCount(), roadmap_.GetData(), MERCURY_KIND_ASSEMBLY, &node);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
    if (!node) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
    override_ = node;
  }
  hr = JAddDisplaySetting(node, key, type, flags, enable);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  UpdateIDS(kNotifyPropertyChange);
  return hr;
}

// The occurrence's copy of the settings: the live answer after an apply.
HRESULT Mercury::GetDisplaySetting(DWORD key, DWORD mask, bool* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::GetDisplaySetting");
  *out = false;
  HRESULT hr = ResolveContext(RC_OCCURRENCE);
  if (FAILED(hr) || !occurrence_) {
    hr = ResolveOccurrence(nullptr);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::GetDisplaySetting");
    if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::GetDisplaySetting");
  }
  auto* map = static_cast<quorra::ConfigSettingMap*>(occurrence_->GetUserData(UD_DISPLAY_SETTING_MAP, nullptr));
  if (!map) return S_OK;
  auto it = map->find(key);
  if (it != map->end()) *out = (it->second.GetFlags() & mask) != 0;
  return S_OK;
}

HRESULT Mercury::RemoveDisplaySetting(DWORD key, DWORD type) {
  JIDSOverride* node = nullptr;
  HRESULT hr = GetOverride(&node);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::RemoveDisplaySetting");
  if (quorra::ConfigSettingMap* map = node->GetConfigSettingMap(false)) {
    auto it = map->find(key);
    if (it != map->end() && it->second.GetType() == type) map->erase(it);
  }
  UpdateIDS(kNotifyPropertyChange);
  return S_OK;
}

// ---- the document forms ----

// A document's key is the id its persist manager gives it.
HRESULT Mercury::GetDocumentKey(IUnknown* document, const char* operation, DWORD* key) {
  if (!document) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
  auto* getPersistManager = gGetPersistManager.Get();
  quorra::host::ComPtr<IUnknown> persistManager;
  HRESULT hr = getPersistManager ? getPersistManager(document, persistManager.Put()) : E_FAIL;
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  if (!persistManager) return QUORRA_TRACE_FAIL(E_POINTER, operation);
  quorra::host::ComPtr<IJDocumentIdServer> ids;
  hr = persistManager->QueryInterface(IID_IJDocumentIdServer, reinterpret_cast<void**>(ids.Put()));
  if (FAILED(hr) || !ids) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_POINTER, operation);
  hr = ids->GetDocumentID(document, key);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  return hr;
}

HRESULT Mercury::SetDisplaySetting(IUnknown* document, DWORD type, DWORD flags, bool enable) {
  DWORD key = 0;
  HRESULT hr = GetDocumentKey(document, "Mercury::SetDisplaySetting", &key);
  if (FAILED(hr)) return hr;
  return SetDisplaySetting(key, type, flags, enable);
}

HRESULT Mercury::GetDisplaySetting(IUnknown* document, DWORD mask, bool* out) {
  DWORD key = 0;
  HRESULT hr = GetDocumentKey(document, "Mercury::GetDisplaySetting", &key);
  if (FAILED(hr)) return hr;
  return GetDisplaySetting(key, mask, out);
}

HRESULT Mercury::RemoveDisplaySetting(IUnknown* document, DWORD type) {
  DWORD key = 0;
  HRESULT hr = GetDocumentKey(document, "Mercury::RemoveDisplaySetting", &key);
  if (FAILED(hr)) return hr;
  return RemoveDisplaySetting(key, type);
}
