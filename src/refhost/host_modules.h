// The export tables of the host modules refhost provides.
#pragma once

#include <string>
#include <vector>

#include "quorra/host/apply_services.h"
#include "quorra/host/display.h"
#include "quorra/host/documents.h"
#include "quorra/host/geometry.h"
#include "quorra/host/modules.h"

class JMemberRoadmap;
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
// "JAsmBlockIDSUpdate": a non-zero value stops notifications from
// re-applying (they are still recorded); zero lets them re-apply again.
HRESULT BlockIDSUpdate(void* unused, DWORD block);
JAsmApplyConfigSettingsSignature ApplyConfigSettings;
JAsmUpdateAttachmentIDsSignature UpdateAttachmentIDs;
JAsmGetPartStyleLibSignature GetPartStyleLib;
JAsmApplyIOTForPMISignature ApplyIOTForPMI;
JAsmPopulateIOTForPMISignature PopulateIOTForPMI;

// Membassies and host contexts (host_objects.cpp).
// "GetOwnerOrGroup" of "dulcet.dll": the owner (which 0) of one of refhost's
// host objects; they belong to no group (which 1: E_FAIL).
HRESULT GetOwnerOrGroup(IUnknown* object, DWORD which, REFIID iid, void** out);
// "JGetFirstOccurrence" of "inkle.dll": a membassy itself; for a context
// object, the membassy of the same member.
HRESULT GetFirstOccurrence(IUnknown* context, REFIID iid, void** out);
// "JGetContextDocumentFromMembassy" of "inkle.dll".
HRESULT GetContextDocumentFromMembassy(IUnknown* context, IUnknown** document);
// "JGetContextInformation" of "inkle.dll": the document and the member
// roadmap (the document's route first); refhost answers both flags alike.
HRESULT GetContextInformation(IUnknown* context, bool flag, IUnknown** document, JMemberRoadmap* roadmap);
// "JIsReverseMembassy" and "JGetFullRoadmapFromMembassy" of "inkle.dll".
BOOL IsReverseMembassy(IUnknown* membassy);
HRESULT GetFullRoadmapFromMembassy(IUnknown* membassy, JMemberRoadmap* roadmap);

// Open documents (occurrence_container.cpp): the documents BindDocuments
// made that are still alive, by file path (letter case and the kind of
// directory separator aside). S_FALSE with *out null when none is open.
// "JGetDocumentIfOpen" and "JGetDocumentIfOpenEx" of "dulcet.dll" take the
// name as the document's site holds it; "JGetDocumentIfOpenIgnoreMemberName"
// also finds "family.asm|Member" as "family.asm" and the other way round.
HRESULT GetDocumentIfOpen(const wchar_t* name, REFIID iid, void** out);
HRESULT GetDocumentIfOpenIgnoreMemberName(const wchar_t* name, REFIID iid, void** out);

// Keeps one "JAsmNotifyIDS" notification for TakeIdsNotifications
// (notifications.cpp); NotifyIDS calls it before it re-applies.
HRESULT RecordIdsNotification(void* tree, void* document, DWORD code, void* flags);

// Geometry caches (geometry_cache.cpp).
// "GetIJGeometryCacheManager" of "dulcet.dll": the manager that takes back
// the caches sites let go of.
HRESULT GetGeometryCacheManager(IJGeometryCacheManager** out);
// Installs (removes) refhost's geometry cache factory.
void InstallGeometryCaches();
void UninstallGeometryCaches();
}  // namespace quorra::refhost
