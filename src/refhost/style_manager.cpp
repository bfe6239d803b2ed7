// refhost's style manager: use counts of style ids.
#include "quorra/refhost/persist_manager.h"

namespace quorra::refhost {

HRESULT StyleManager::AddStyleUse(DWORD styleId) {
  ++uses_[styleId];
  return S_OK;
}

HRESULT StyleManager::ReleaseStyleUse(DWORD styleId) {
  auto it = uses_.find(styleId);
  if (it == uses_.end()) return S_FALSE;
  if (--it->second == 0) uses_.erase(it);
  return S_OK;
}

DWORD StyleManager::GetUseCount(DWORD styleId) const {
  auto it = uses_.find(styleId);
  return it == uses_.end() ? 0 : it->second;
}

}  // namespace quorra::refhost
