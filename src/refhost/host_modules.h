// The export tables of the host modules refhost provides.
#pragma once

#include <string>
#include <vector>

#include "quorra/host/apply_services.h"
#include "quorra/host/display.h"
#include "quorra/host/documents.h"
#include "quorra/host/geometry.h"
#include "quorra/host/modules.h"

class OccurrenceNode;

namespace quorra::refhost {
// The functions refhost exports from `module`, by export name.
std::vector<host::ModuleExport> ModuleExports(const std::wstring& module);

// Document functions (document_modules.cpp).
// "GetFamilyMemberStorage" of "hawser.dll".
GetFamilyMemberStorageSignature GetFamilyMemberStorage;
// "JMGetPreviewBodyCacheId" of "gimbal.dll".
JMGetPreviewBodyCacheIdSignature GetPreviewBodyCacheId;

// "JGetOccurrenceRange" of "brenik.dex": the host's stored range of an
// occurrence; refhost stores none (E_FAIL).
HRESULT GetOccurrenceRange(OccurrenceNode* occurrence, tagGBox* box);

// Applying override tables (apply_modules.cpp), "brenik.dex": the
// re-apply after "JAsmNotifyIDS", "JAsmApplyConfigSettings",
// "JAsmUpdateAttachmentIDs", "JAsmGetPartStyleLib", "JAsmApplyIOTForPMI"
// and "JAsmPopulateIOTForPMI".
JAsmNotifyIDSSignature NotifyIDS;
JAsmApplyConfigSettingsSignature ApplyConfigSettings;
JAsmUpdateAttachmentIDsSignature UpdateAttachmentIDs;
JAsmGetPartStyleLibSignature GetPartStyleLib;
JAsmApplyIOTForPMISignature ApplyIOTForPMI;
JAsmPopulateIOTForPMISignature PopulateIOTForPMI;

// Geometry caches (geometry_cache.cpp).
// "GetIJGeometryCacheManager" of "dulcet.dll": the manager that takes back
// the caches sites let go of.
HRESULT GetGeometryCacheManager(IJGeometryCacheManager** out);
// Installs (removes) refhost's geometry cache factory.
void InstallGeometryCaches();
void UninstallGeometryCaches();
}  // namespace quorra::refhost
