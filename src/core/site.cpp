// Sites and site managers.
#include "quorra/site.h"

#include "quorra/attachment.h"

SiteNode::~SiteNode() = default;

void SiteNode::Dump(FILE*) {}

SiteManager::~SiteManager() { Clear(); }

HRESULT SiteManager::DeleteUnusedSites() { return S_OK; }

SiteManager::SiteManager(AsmTree* tree) : NodeManager(tree), mode_(quorra::SiteMappingMode()) {}

DWORD quorra::SiteMappingMode() { return 1; }
