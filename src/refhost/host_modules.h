// The export tables of the host modules refhost provides.
#pragma once

#include <string>
#include <vector>

#include "quorra/host/documents.h"
#include "quorra/host/modules.h"

namespace quorra::refhost {
// The functions refhost exports from `module`, by export name.
std::vector<host::ModuleExport> ModuleExports(const std::wstring& module);

// Document functions (document_modules.cpp).
// "GetFamilyMemberStorage" of "hawser.dll".
GetFamilyMemberStorageSignature GetFamilyMemberStorage;
// "JMGetPreviewBodyCacheId" of "gimbal.dll".
JMGetPreviewBodyCacheIdSignature GetPreviewBodyCacheId;
}  // namespace quorra::refhost
