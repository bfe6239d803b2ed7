// Attachments and the attachment manager.
#include "quorra/attachment.h"

AttachmentManager::~AttachmentManager() { Clear(); }

bool AttachmentManager::IsSiteAttached(const SiteNode* site) const {
  for (AttachmentNode* node : Nodes())
    if (node->GetAttachmentSite() == site) return true;
  return false;
}

AttachmentNode::~AttachmentNode() = default;
