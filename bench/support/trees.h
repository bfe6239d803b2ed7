// Tree helpers the benchmarks share: owning handles for a tree, a
// copy of a tree's sites and attachments without its occurrences (to time
// CreateOccurrenceTree alone), and a walk that asks every occurrence for its
// world matrix and range.
#pragma once

#include <quorra/quorra.h>
#include <quorra/refhost.h>

#include <map>
#include <memory>
#include <vector>

namespace quorra::bench {

// Owns a tree made with new, its sites and occurrences built in memory.
struct TreeDeleter {
  void operator()(AsmTree* tree) const { delete tree; }
};
using TreePtr = std::unique_ptr<AsmTree, TreeDeleter>;

// Owns a tree made by CreateAsmTree or AsmTreeCreateAndLoad.
struct LoadedTreeDeleter {
  void operator()(AsmTree* tree) const { AsmTreeUnloadAndDelete(tree); }
};
using LoadedTree = std::unique_ptr<AsmTree, LoadedTreeDeleter>;

// The same sites and attachments as `from`, without occurrences; `*root` is
// the copy of the root assembly's site.
inline LoadedTree CopySitesAndAttachments(AsmTree* from, AssemblySite** root) {
  AsmTree* made = nullptr;
  CreateAsmTree(&made, nullptr);
  LoadedTree tree(made);
  std::map<SiteNode*, SiteNode*> copies;
  for (SiteManager* manager : {from->GetAssemblySiteManager(), from->GetPartSiteManager()})
    for (SiteNode* site : manager->Nodes()) {
      SiteNode* copy = nullptr;
      tree->CreateSite(site->GetFilePath().GetText(), 0, manager == from->GetAssemblySiteManager(), &copy);
      copy->SetFlags(site->GetFlags());
      if (!site->IsAssembly()) static_cast<PartSite*>(copy)->SetRange(static_cast<PartSite*>(site)->GetRange());
      copies[site] = copy;
    }
  for (SiteNode* site : from->GetAssemblySiteManager()->Nodes()) {
    std::vector<AttachmentBundle> bundles;
    for (AttachmentNode* attachment : static_cast<AssemblySite*>(site)->GetAttachmentList()) {
      AttachmentBundle& bundle = bundles.emplace_back();
      bundle.site = copies[attachment->GetAttachmentSite()];
      bundle.matrix = attachment->GetXFormFromParent()->GiveAsG4x4();
      bundle.symbology = attachment->GetSymbology();
      bundle.attachmentId = attachment->GetAttachmentID();
    }
    static_cast<AssemblySite*>(copies[site])
        ->AddAttachments(static_cast<DWORD>(bundles.size()), bundles.data(), nullptr);
  }
  *root = static_cast<AssemblySite*>(copies[from->GetRootAssembly()->GetSite()]);
  return tree;
}

// Destroys the occurrence tree and leaves the sites, so that it can be built
// again.
inline void DestroyOccurrenceTree(AsmTree* tree) {
  AssemblyOccurrence* root = tree->GetRootAssembly();
  tree->GetOccurrenceManager()->SetRootAssembly(nullptr);
  if (root) root->Destroy(TRUE);
}

// Asks every occurrence for its world matrix and its range.
class WorldMatrixAndRange : public TreeWalkCallback {
 public:
  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext*) override {
    const tagG4x4& world = node->GetCurrentToWorld();
    const tagGBox* range = node->GetRange();
    sum_ += world.m[3] + range->low[0];
    return WALK_CONTINUE;
  }
  double sum_ = 0;
};

}  // namespace quorra::bench
