#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <vector>

#include "support/assembly_builder.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::test::AssemblyBuilder;

// Placed without a matrix: the node's own identity placement.
AttachmentNode* PlaceBare(AssemblySite* parent, SiteNode* child, DWORD id = 0) {
  AttachmentNode* node = nullptr;
  EXPECT_EQ(parent->AddSingleAttachment(child, nullptr, 0, id, &node), S_OK);
  return node;
}

AttachmentBundle Bundle(SiteNode* site, DWORD id, DWORD symbology = 0, double shiftX = 0) {
  AttachmentBundle bundle;
  bundle.site = site;
  bundle.attachmentId = id;
  bundle.symbology = symbology;
  bundle.matrix = tagG4x4::Translation(shiftX, 0, 0);
  return bundle;
}

std::vector<DWORD> Ids(const AssemblySite* site) {
  std::vector<DWORD> ids;
  for (AttachmentNode* node : site->GetAttachmentList()) ids.push_back(node->GetAttachmentID());
  return ids;
}

// The parent document of a placement: answers the container interface.
struct TestContainer : ComObject<IJOccurrenceContainer> {
  HRESULT GetMember(DWORD attachmentId, REFIID iid, void** out) override {
    askedId = attachmentId;
    return QueryInterface(iid, out);
  }
  DWORD askedId = 0;
};

}  // namespace

TEST(AttachmentMatrix, BuildsFromMatricesAndTransforms) {
  AttachmentMatrix matrix(tagG4x4::Translation(1, 2, 3));
  matrix.BuildFromG4x4(nullptr);
  EXPECT_TRUE(matrix.GiveAsG4x4().IsIdentity(0.0));

  tagG4x4 source = tagG4x4::RotationZ(0.5) * tagG4x4::Translation(4, 5, 6);
  matrix.BuildFromG4x4(&source);
  EXPECT_TRUE(matrix.GiveAsG4x4().IsEqual(source, 0.0));

  tagGTransf transform(tagG4x4::Translation(7, 8, 9));
  matrix.BuildFromGTransf(&transform);
  EXPECT_TRUE(matrix.GiveAsG4x4().IsEqual(tagG4x4::Translation(7, 8, 9), 0.0));
  matrix.BuildFromGTransf(nullptr);
  EXPECT_TRUE(matrix.GiveAsG4x4().IsIdentity(0.0));
}

TEST(Attachments, AddAttachmentsMakesListsAndRegistersNodes) {
  AssemblyBuilder b;
  AsmTree* tree = b.Tree();
  AssemblySite* top = b.Assembly(L"top");
  PartSite* part = b.Part(L"p");
  AssemblySite* sub = b.Assembly(L"sub");

  EXPECT_EQ(top->AddAttachments(0, nullptr, nullptr), S_FALSE);
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 0u);

  AttachmentBundle bundles[] = {Bundle(part, 4, 0x4000F00F, 1.0), Bundle(sub, 2), Bundle(part, 9)};
  AttachmentNode* out[3] = {};
  ASSERT_EQ(top->AddAttachments(3, bundles, out), S_OK);
  EXPECT_EQ(Ids(top), (std::vector<DWORD>{4, 2, 9}));  // insertion order, ids as given
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(top->GetAttachmentList()[i], out[i]);
    EXPECT_EQ(out[i]->GetParentSite(), top);
    EXPECT_EQ(out[i]->GetAttachmentSite(), bundles[i].site);
    EXPECT_EQ(out[i]->GetAsmTree(), tree);
  }
  EXPECT_EQ(out[0]->GetSymbology(), 0x4000F00Fu);
  EXPECT_TRUE(out[0]->GetXFormFromParent()->GiveAsG4x4().IsEqual(tagG4x4::Translation(1, 0, 0), 0.0));
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 3u);
  EXPECT_TRUE(tree->GetAttachmentManager()->IsSiteAttached(sub));
  EXPECT_FALSE(tree->GetAttachmentManager()->IsSiteAttached(top));

  // Without an out array the nodes are made all the same.
  ASSERT_EQ(sub->AddAttachments(1, bundles, nullptr), S_OK);
  EXPECT_EQ(sub->GetAttachmentList().GetCount(), 1u);

  DWORD count = 0;
  AttachmentNode* const* list = nullptr;
  ASSERT_EQ(top->GetAttachments(&count, &list), S_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(list[2], out[2]);
}

TEST(Attachments, IdsAreAllocatedAboveEveryIdSeen) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"top");
  PartSite* part = b.Part(L"p");
  const DWORD steps[][2] = {{0, 1}, {0, 2}, {0, 3}, {10, 10}, {0, 11}, {5, 5}, {0, 12}};  // requested, given
  for (const auto& [requested, given] : steps) {
    AttachmentNode* node = PlaceBare(top, part, requested);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->GetAttachmentID(), given) << "requested " << requested;
    EXPECT_TRUE(node->GetXFormFromParent()->GiveAsG4x4().IsIdentity(0.0));
  }
  // Each assembly site counts on its own.
  AssemblySite* other = b.Assembly(L"other");
  DWORD id = 0;
  other->CheckAttachmentID(id);
  EXPECT_EQ(id, 1u);
}

TEST(Attachments, RemovalDestroysNodesAndRefusesStrangers) {
  AssemblyBuilder builder;
  AsmTree* tree = builder.Tree();
  AssemblySite* top = builder.Assembly(L"top");
  AssemblySite* other = builder.Assembly(L"other");
  PartSite* part = builder.Part(L"p");
  AttachmentNode* a = PlaceBare(top, part);
  AttachmentNode* b = PlaceBare(top, part);
  AttachmentNode* c = PlaceBare(other, part);

  EXPECT_EQ(top->RemoveAndDestroyAttachment(c), E_INVALIDARG);
  EXPECT_EQ(top->RemoveAndDestroyAttachment(nullptr), E_INVALIDARG);
  EXPECT_EQ(top->RemoveAndDestroyAttachment(a), S_OK);
  EXPECT_EQ(Ids(top), (std::vector<DWORD>{2}));
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 2u);

  // RemoveAttachment only unlists; the node lives on in the manager.
  EXPECT_EQ(top->RemoveAttachment(b), S_OK);
  EXPECT_EQ(top->RemoveAttachment(b), S_FALSE);
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 2u);

  // The exported deletion unlists the node from its parent too.
  EXPECT_EQ(DeleteAttachmentNode(nullptr), E_INVALIDARG);
  EXPECT_EQ(DeleteAttachmentNode(c), S_OK);
  EXPECT_EQ(other->GetAttachmentList().GetCount(), 0u);
  EXPECT_EQ(DeleteAttachmentNode(b), S_OK);
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 0u);
  EXPECT_FALSE(tree->GetAttachmentManager()->IsSiteAttached(part));
}

TEST(Attachments, ReplaceBranchRebuildsChildrenAndDropsUnusedSites) {
  AssemblyBuilder b;
  AsmTree* tree = b.Tree();
  AssemblySite* top = b.Assembly(L"top");
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* kept = b.Part(L"kept");
  PartSite* dropped = b.Part(L"dropped");
  b.Place(sub, b.Part(L"belowsub"));
  AttachmentBundle first[] = {Bundle(kept, 1), Bundle(dropped, 2), Bundle(sub, 3)};
  ASSERT_EQ(top->AddAttachments(3, first, nullptr), S_OK);
  AssemblyOccurrence* root = b.Build(top);  // top is shown, so it stays

  // The same bundles again: the same children from new nodes.
  AttachmentNode* again[3] = {};
  ASSERT_EQ(top->ReplaceBranch(3, first, again), S_OK);
  EXPECT_EQ(Ids(top), (std::vector<DWORD>{1, 2, 3}));
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 5u);  // the root's, three of top, one of sub
  for (int i = 0; i < 3; ++i) EXPECT_EQ(again[i]->GetAttachmentSite(), first[i].site);
  EXPECT_EQ(root->GetChildList().GetCount(), 3u);

  // Dropping a part and the sub-assembly deletes both, and the part the
  // sub-assembly placed.
  AttachmentBundle second[] = {Bundle(kept, 7)};
  ASSERT_EQ(top->ReplaceBranch(1, second, nullptr), S_OK);
  EXPECT_EQ(Ids(top), (std::vector<DWORD>{7}));
  SiteNode* found = nullptr;
  EXPECT_EQ(tree->FindSite(L"top.asm", &found), S_OK);
  EXPECT_EQ(tree->FindSite(L"sub.asm", &found), S_FALSE);
  EXPECT_EQ(tree->FindSite(L"dropped.par", &found), S_FALSE);
  EXPECT_EQ(tree->FindSite(L"belowsub.par", &found), S_FALSE);
  EXPECT_EQ(tree->FindSite(L"kept.par", &found), S_OK);
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 2u);

  // Bad input: the old branch is already gone when the bundles are refused,
  // and the sites it placed go only with a later clean-up.
  quorra::host::ScopedTraceCapture traces;
  AttachmentBundle cyclic[] = {Bundle(kept, 1), Bundle(top, 2)};
  EXPECT_EQ(top->ReplaceBranch(2, cyclic, nullptr), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("AssemblySite::ReplaceBranch", E_INVALIDARG));
  EXPECT_EQ(top->GetAttachmentList().GetCount(), 0u);
  EXPECT_EQ(root->GetChildList().GetCount(), 0u);
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 1u);
  EXPECT_EQ(tree->FindSite(L"kept.par", &found), S_OK);

  // An empty replacement removes every child and the sites they placed.
  ASSERT_EQ(top->ReplaceBranch(1, second, nullptr), S_OK);
  EXPECT_EQ(top->ReplaceBranch(0, nullptr, nullptr), S_OK);
  EXPECT_EQ(top->GetAttachmentList().GetCount(), 0u);
  EXPECT_EQ(tree->GetPartSiteManager()->GetCount(), 0u);
}

TEST(Attachments, ReplaceBranchDeletesItsOwnSiteWhenNothingUsesIt) {
  AssemblyBuilder b;
  AsmTree* tree = b.Tree();
  AssemblySite* loose = b.Assembly(L"loose");  // neither shown nor placed
  PartSite* part = b.Part(L"p");
  b.Place(loose, part);

  AttachmentBundle bundles[] = {Bundle(part, 4), Bundle(part, 5)};
  AttachmentNode* made[2] = {};
  ASSERT_EQ(loose->ReplaceBranch(2, bundles, made), S_OK);
  // The site went, with its new attachments; the part they placed went too.
  EXPECT_EQ(made[0], nullptr);
  EXPECT_EQ(made[1], nullptr);
  EXPECT_EQ(tree->GetAssemblySiteManager()->GetCount(), 0u);
  EXPECT_EQ(tree->GetPartSiteManager()->GetCount(), 0u);
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 0u);
  SiteNode* found = nullptr;
  EXPECT_EQ(tree->FindSite(L"loose.asm", &found), S_FALSE);
}

TEST(Attachments, DestroyedParentLeavesNoDanglingNodes) {
  AssemblyBuilder b;
  AsmTree* tree = b.Tree();
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* part = b.Part(L"p");
  b.Place(sub, part);  // listed
  AttachmentNode* unlisted = b.Place(sub, part);
  ASSERT_EQ(sub->RemoveAttachment(unlisted), S_OK);

  // The listed node goes with the site; the unlisted one forgets its parent.
  ASSERT_EQ(sub->RemoveAndDestroy(), S_OK);
  ASSERT_EQ(tree->GetAttachmentManager()->GetCount(), 1u);
  EXPECT_EQ(tree->GetAttachmentManager()->GetNodes()[0], unlisted);
  EXPECT_EQ(unlisted->GetParentSite(), nullptr);
  EXPECT_EQ(DeleteAttachmentNode(unlisted), S_OK);
}

TEST(Attachments, GetOccurrencesOfAParentWithoutOccurrencesIsEmpty) {
  AssemblyBuilder b;
  AttachmentNode* node = b.Place(b.Assembly(L"top"), b.Part(L"p"));
  NodeList<OccurrenceNode> list;
  EXPECT_EQ(node->GetOccurrences(nullptr), E_INVALIDARG);
  EXPECT_EQ(node->GetOccurrences(&list), S_FALSE);
  EXPECT_EQ(list.GetCount(), 0u);
}

TEST(Attachments, HelixReferenceAsksTheParentsDocumentByAttachmentId) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"top");
  AttachmentNode* node = b.Place(top, b.Part(L"p"), tagG4x4(), 17);

  IUnknown* reference = nullptr;
  EXPECT_EQ(node->GetHelixReference(IID_IUnknown, reinterpret_cast<void**>(&reference)), E_FAIL);

  ComPtr<TestContainer> document(new TestContainer());
  top->SetDocument(document.Get());
  ASSERT_EQ(node->GetHelixReference(IID_IUnknown, reinterpret_cast<void**>(&reference)), S_OK);
  EXPECT_EQ(document->askedId, 17u);
  EXPECT_EQ(reference, static_cast<IUnknown*>(document.Get()));
  reference->Release();
  EXPECT_EQ(document->GetRefCount(), 1u);
}
