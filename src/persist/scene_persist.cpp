// AsmTree::Save and AsmTree::Load: the tree's scene saved into, or loaded
// from, a storage by the scene itself.
#include "quorra/host/scene.h"
#include "quorra/host/trace.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/tree";

// The storage to use: the given one, else the one the scene is kept in,
// queried for IStorage. A query that fails for any reason but "no such
// interface" is a failure of the call (`*failure`).
quorra::host::ComPtr<IStorage> ChooseStorage(IStorage* storage, GScene* scene, HRESULT* failure) {
  *failure = S_OK;
  IUnknown* source = storage ? storage : (scene ? scene->GetStorage() : nullptr);
  quorra::host::ComPtr<IStorage> chosen;
  if (!source) return chosen;
  HRESULT hr = source->QueryInterface(IID_IStorage, reinterpret_cast<void**>(chosen.Put()));
  if (FAILED(hr)) {
    chosen.Reset();
    if (hr != E_NOINTERFACE) *failure = hr;
  }
  return chosen;
}

template <class Action>
HRESULT WithSceneStorage(IStorage* storage, GScene* scene, const char* operation, Action action) {
  HRESULT failure;
  quorra::host::ComPtr<IStorage> chosen = ChooseStorage(storage, scene, &failure);
  if (FAILED(failure)) return HRerrEx(nullptr, nullptr, failure, nullptr, kTraceSource, __LINE__, operation);
  if (!chosen) return HRerrEx(nullptr, nullptr, E_UNEXPECTED, nullptr, kTraceSource, __LINE__, operation);
  if (!scene) return HRerrEx(nullptr, nullptr, E_INVALIDARG, nullptr, kTraceSource, __LINE__, operation);
  return action(chosen.Get());
}
}  // namespace

HRESULT AsmTree::Save(IStorage* storage, DWORD a, DWORD b, GScene* scene) {
  return WithSceneStorage(storage, scene, "AsmTree::Save", [&](IStorage* chosen) { return scene->Save(chosen, a, b); });
}

HRESULT AsmTree::Load(IStorage* storage, DWORD a, DWORD b, GScene* scene) {
  return WithSceneStorage(storage, scene, "AsmTree::Load", [&](IStorage* chosen) { return scene->Load(chosen, a, b); });
}
