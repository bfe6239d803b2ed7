// Builds small assemblies in memory for the occurrence tests: sites,
// attachments with placements and the occurrence tree over them.
#pragma once

#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <memory>
#include <string>
#include <vector>

namespace quorra::test {

struct TreeDeleter {
  void operator()(AsmTree* tree) const { delete tree; }
};
using TreePtr = std::unique_ptr<AsmTree, TreeDeleter>;

inline TreePtr NewTree() {
  TreePtr tree(new AsmTree());
  EXPECT_EQ(tree->Init(), S_OK);
  return tree;
}

inline tagGBox Box(double x0, double y0, double z0, double x1, double y1, double z1) {
  return tagGBox(x0, y0, z0, x1, y1, z1);
}

inline bool SameBox(const tagGBox& a, const tagGBox& b) { return a.IsEqual(b, 1e-12); }

// A tree whose sites and attachments are made by name; the occurrence tree
// is built on demand.
class AssemblyBuilder {
 public:
  AssemblyBuilder() : tree_(NewTree()) {}

  AsmTree* Tree() const { return tree_.get(); }

  AssemblySite* Assembly(const std::wstring& name) {
    AssemblySite* site = nullptr;
    EXPECT_TRUE(SUCCEEDED(tree_->CreateAssemblySite((name + L".asm").c_str(), 0, &site)));
    return site;
  }
  // A part site, with a range in its own coordinates when given.
  PartSite* Part(const std::wstring& name, const tagGBox* range = nullptr) {
    PartSite* site = nullptr;
    EXPECT_TRUE(SUCCEEDED(tree_->CreatePartSite((name + L".par").c_str(), 0, &site)));
    if (range) site->SetRange(range);
    return site;
  }
  AttachmentNode* Place(AssemblySite* parent, SiteNode* child, const tagG4x4& placement = tagG4x4(), DWORD id = 0) {
    tagG4x4 matrix = placement;
    AttachmentNode* attachment = nullptr;
    EXPECT_EQ(parent->AddSingleAttachment(child, &matrix, 0, id, &attachment), S_OK);
    return attachment;
  }
  AssemblyOccurrence* Build(AssemblySite* root) {
    EXPECT_EQ(tree_->CreateOccurrenceTree(root), S_OK);
    return tree_->GetRootAssembly();
  }

 private:
  TreePtr tree_;
};

// The occurrence reached from the root by attachment ids.
inline OccurrenceNode* At(AssemblyOccurrence* root, std::vector<DWORD> ids) {
  return root->Bind(static_cast<DWORD>(ids.size()), ids.data());
}
inline AssemblyOccurrence* AsmAt(AssemblyOccurrence* root, std::vector<DWORD> ids) {
  OccurrenceNode* node = At(root, std::move(ids));
  return node && node->IsAssembly() ? static_cast<AssemblyOccurrence*>(node) : nullptr;
}

}  // namespace quorra::test
