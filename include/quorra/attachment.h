// Attachments: the placements of child sites inside assembly sites, with an
// attachment id unique within the parent, a matrix and a symbology word.
#pragma once

#include "quorra/node_manager.h"
#include "quorra/user_data.h"

class SiteNode;

class AttachmentNode {
 public:
  AttachmentNode() = default;
  AttachmentNode(const AttachmentNode&) = delete;
  AttachmentNode& operator=(const AttachmentNode&) = delete;
  ~AttachmentNode() = default;

  DWORD GetAttachmentID() const { return id_; }
  SiteNode* GetAttachmentSite() const { return site_; }

 private:
  DWORD id_ = 0;
  SiteNode* site_ = nullptr;
};

class AttachmentManager : public NodeManager<AttachmentNode, DWORD> {
 public:
  explicit AttachmentManager(AsmTree* tree) : NodeManager(tree) {}
  ~AttachmentManager();
  // True when any attachment of the tree places `site`.
  bool IsSiteAttached(const SiteNode* site) const;
};
