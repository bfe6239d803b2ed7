// Export tables of refhost's host modules. Each entry is a function with the
// signature the library's late-bound call expects.
#include "refhost/host_modules.h"

#include "quorra/refhost/persist_manager.h"

namespace quorra::refhost {

// refhost keeps no ranges of its own for occurrences: the library falls back
// on the part sites' ranges. Answering is cheaper than a miss, which the
// library looks up again on every range refresh.
HRESULT GetOccurrenceRange(OccurrenceNode*, tagGBox*) { return E_FAIL; }

std::vector<host::ModuleExport> ModuleExports(const std::wstring& module) {
  if (module == L"hawser.dll") return {{"GetFamilyMemberStorage", reinterpret_cast<void*>(&GetFamilyMemberStorage)}};
  if (module == L"gimbal.dll") return {{"JMGetPreviewBodyCacheId", reinterpret_cast<void*>(&GetPreviewBodyCacheId)}};
  if (module == L"brenik.dex")
    return {{"JGetOccurrenceRange", reinterpret_cast<void*>(&GetOccurrenceRange)},
            {"JAsmGetIDSAsmTree", reinterpret_cast<void*>(&GetIDSAsmTree)},
            {"JAsmGetFileName", reinterpret_cast<void*>(&GetAssemblyFileName)},
            {"JAsmNotifyIDS", reinterpret_cast<void*>(&NotifyIDS)},
            {"JAsmApplyConfigSettings", reinterpret_cast<void*>(&ApplyConfigSettings)},
            {"JAsmUpdateAttachmentIDs", reinterpret_cast<void*>(&UpdateAttachmentIDs)},
            {"JAsmGetPartStyleLib", reinterpret_cast<void*>(&GetPartStyleLib)},
            {"JAsmApplyIOTForPMI", reinterpret_cast<void*>(&ApplyIOTForPMI)},
            {"JAsmPopulateIOTForPMI", reinterpret_cast<void*>(&PopulateIOTForPMI)}};
  if (module == L"dulcet.dll")
    return {{"GetIJGeometryCacheManager", reinterpret_cast<void*>(&GetGeometryCacheManager)},
            {"GetPersistManager", reinterpret_cast<void*>(&GetPersistManager)},
            {"JGetGraphicSupportObject", reinterpret_cast<void*>(&GetGraphicSupportObject)},
            {"JGetDocFiledVersion", reinterpret_cast<void*>(&GetDocFiledVersion)}};
  if (module == L"ferrule.dll")
    return {{"JAsmCheckFoaMasterAndEditMode2", reinterpret_cast<void*>(&CheckFoaMasterAndEditMode2)},
            {"JAsmCheckFoaMasterAndEditMode", reinterpret_cast<void*>(&CheckFoaMasterAndEditMode2)}};
  return {};
}

}  // namespace quorra::refhost
