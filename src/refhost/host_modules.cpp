// Export tables of refhost's host modules. Each entry is a function with the
// signature the library's late-bound call expects.
#include "refhost/host_modules.h"

namespace quorra::refhost {

std::vector<host::ModuleExport> ModuleExports(const std::wstring& module) {
  if (module == L"hawser.dll") return {{"GetFamilyMemberStorage", reinterpret_cast<void*>(&GetFamilyMemberStorage)}};
  if (module == L"gimbal.dll") return {{"JMGetPreviewBodyCacheId", reinterpret_cast<void*>(&GetPreviewBodyCacheId)}};
  if (module == L"dulcet.dll")
    return {{"GetIJGeometryCacheManager", reinterpret_cast<void*>(&GetGeometryCacheManager)}};
  return {};
}

}  // namespace quorra::refhost
