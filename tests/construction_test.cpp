#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <string>
#include <vector>

#include "support/assembly_builder.h"

using namespace quorra::test;

namespace {

// Records the roadmap of every created occurrence, dotted ("root" for the root).
struct CreationLog : TreeModificationCallback {
  HRESULT CreateOccurrence(OccurrenceNode* occurrence) override {
    DisplayRoadmap rm;
    std::string path;
    if (occurrence->IsRootAssembly()) {
      path = "root";
    } else {
      // The occurrence is not a child of its parent yet: build the path from
      // the parent's roadmap and the occurrence's own id.
      occurrence->GetParent()->GetDisplayRoadmap(&rm);
      for (DWORD i = 0; i < rm.GetEntryCount(); ++i) path += std::to_string(rm.GetData(i)) + ".";
      path += std::to_string(occurrence->GetAttachmentID());
    }
    paths.push_back(path);
    return result;
  }
  std::vector<std::string> paths;
  HRESULT result = S_OK;
};

std::string Join(const std::vector<std::string>& parts) {
  std::string all;
  for (const std::string& part : parts) all += (all.empty() ? "" : " ") + part;
  return all;
}

std::vector<DWORD> Uids(const NodeList<OccurrenceNode>& list) {
  std::vector<DWORD> uids;
  for (OccurrenceNode* node : list) uids.push_back(node->GetUid());
  return uids;
}

}  // namespace

TEST(Construction, BuildsDepthFirstAndExpandsSharedSubAssembliesPerPath) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* bolt = b.Part(L"bolt");
  PartSite* nut = b.Part(L"nut");
  b.Place(sub, bolt);
  b.Place(sub, nut);
  b.Place(top, sub);
  b.Place(top, bolt);
  b.Place(top, sub);  // the same sub-assembly placed twice
  CreationLog log;
  b.Tree()->AddTreeModificationCallback(&log);
  AssemblyOccurrence* root = b.Build(top);
  b.Tree()->RemoveTreeModificationCallback(&log);

  EXPECT_EQ(Join(log.paths), "root 1 1.1 1.2 2 3 3.1 3.2");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->GetAttachmentID(), 0u);
  EXPECT_EQ(root->GetSite(), top);
  EXPECT_EQ(sub->GetOccurrencesList()->GetCount(), 2u);
  // One bolt occurrence per path, in creation order.
  const NodeList<OccurrenceNode>& bolts = *bolt->GetOccurrencesList();
  ASSERT_EQ(bolts.GetCount(), 3u);
  EXPECT_EQ(bolts[0], At(root, {1, 1}));
  EXPECT_EQ(bolts[1], At(root, {2}));
  EXPECT_EQ(bolts[2], At(root, {3, 1}));
  EXPECT_NE(At(root, {1, 2}), At(root, {3, 2}));
  EXPECT_EQ(At(root, {3, 2})->GetParent(), At(root, {3}));

  // Once the tree has occurrences the pre-allocation pass refuses to run.
  EXPECT_EQ(b.Tree()->PreAllocOccurrenceLists(top), S_FALSE);
}

TEST(Construction, PreAllocationReservesNothingAndTheListsHoldOneOccurrencePerPath) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* mid = b.Assembly(L"mid");
  AssemblySite* low = b.Assembly(L"low");
  PartSite* part = b.Part(L"p");
  for (int i = 0; i < 3; ++i) b.Place(low, part);
  for (int i = 0; i < 4; ++i) b.Place(mid, low);
  for (int i = 0; i < 5; ++i) b.Place(top, mid);
  b.Place(top, low);
  ASSERT_EQ(b.Tree()->PreAllocOccurrenceLists(top), S_OK);
  for (SiteNode* site : {static_cast<SiteNode*>(mid), static_cast<SiteNode*>(low), static_cast<SiteNode*>(part)}) {
    EXPECT_EQ(site->GetOccurrencesList()->GetCount(), 0u);
    EXPECT_EQ(site->GetOccurrencesList()->GetCapacity(), 0u);
  }

  AssemblyOccurrence* root = b.Build(top);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(mid->GetOccurrencesList()->GetCount(), 5u);
  EXPECT_EQ(low->GetOccurrencesList()->GetCount(), 21u);
  EXPECT_EQ(part->GetOccurrencesList()->GetCount(), 63u);
  EXPECT_EQ(b.Tree()->PreAllocOccurrenceLists(top), S_FALSE);
}

TEST(Construction, RootRangeIsTheUnionOfPlacedPartRanges) {
  AssemblyBuilder b;
  const tagGBox unit = Box(0, 0, 0, 1, 1, 1);
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  b.Place(sub, b.Part(L"p", &unit), tagG4x4::Translation(0, 0, 9));
  b.Place(top, sub, tagG4x4::Translation(2, 0, 0));
  b.Place(top, b.Part(L"q", &unit), tagG4x4::Translation(-2, 0, 0));
  AssemblyOccurrence* root = b.Build(top);
  EXPECT_FALSE(root->IsPossiblyDirty());
  EXPECT_FALSE(At(root, {1})->IsPossiblyDirty());
  EXPECT_TRUE(SameBox(*root->GetRange(), Box(-2, 0, 0, 3, 1, 10)));
  EXPECT_TRUE(b.Tree()->GetDirty() & ASMTREE_DIRTY_INVALID);

  // A part without a range leaves its branch incomplete: it stays dirty.
  AssemblyBuilder b2;
  AssemblySite* top2 = b2.Assembly(L"root");
  b2.Place(top2, b2.Part(L"bare"));
  AssemblyOccurrence* root2 = b2.Build(top2);
  EXPECT_TRUE(At(root2, {1})->IsDirty());
}

TEST(Construction, EmptyRootAndReusedRootSite) {
  AssemblyBuilder b;
  AssemblySite* existing = b.Assembly(L"Top");
  AssemblyOccurrence* root = nullptr;
  ASSERT_EQ(b.Tree()->CreateRootAssembly(L"top.ASM", 0, &root), S_OK);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->GetSite(), existing);
  EXPECT_EQ(root->GetChildCount(), 0u);
  EXPECT_TRUE(root->IsRootAssembly());
  EXPECT_EQ(root->FillInChildren(), S_OK);
  EXPECT_EQ(root->CreateOccurrences(0, nullptr), S_FALSE);
  // The root attachment is registered but in no site's list.
  EXPECT_EQ(b.Tree()->GetAttachmentManager()->GetCount(), 1u);
  EXPECT_EQ(existing->GetAttachmentList().GetCount(), 0u);
}

TEST(Construction, DeferredExpansionWaitsForTheDisplayUnlessOnTheIPAPath) {
  for (bool onIpaPath : {false, true}) {
    AssemblyBuilder b;
    AssemblySite* top = b.Assembly(L"root");
    AssemblySite* mid = b.Assembly(L"mid");
    AssemblySite* deferred = b.Assembly(L"deferred");
    b.Place(deferred, b.Part(L"p"));
    AttachmentNode* lazy = b.Place(mid, deferred);
    b.Place(top, mid);
    lazy->AddUserData(99, reinterpret_cast<void*>(uintptr_t{1}));
    JGraphicContext context;
    b.Tree()->SetGraphicContext(&context);
    DisplayRoadmap ipa(1, 2);  // the roadmap of mid's occurrence
    if (onIpaPath) b.Tree()->SetIPARoadmap(&ipa);
    AssemblyOccurrence* root = b.Build(top);
    AssemblyOccurrence* child = AsmAt(root, {1, 1});
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->GetChildCount(), onIpaPath ? 1u : 0u) << onIpaPath;
    b.Tree()->ClearIPARoadmap();
    b.Tree()->SetGraphicContext(nullptr);
  }
}

TEST(Construction, CreateAndAddCollectsExactlyTheNewOccurrences) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  AssemblySite* kit = b.Assembly(L"kit");
  b.Place(kit, b.Part(L"k1"));
  b.Place(kit, b.Part(L"k2"));
  b.Place(top, sub);
  b.Place(top, sub);
  AssemblyOccurrence* root = b.Build(top);
  CreationLog other;
  b.Tree()->AddTreeModificationCallback(&other);

  // A new part below a sub-assembly placed twice: one occurrence per place.
  NodeList<OccurrenceNode> created;
  AttachmentNode* attachment = nullptr;
  int isNew = -1;
  ASSERT_EQ(sub->CreateAndAddPart(L"washer.par", 0, 0, nullptr, &attachment, &isNew, &created), S_OK);
  EXPECT_EQ(isNew, 1);
  ASSERT_NE(attachment, nullptr);
  EXPECT_EQ(attachment->GetAttachmentID(), 1u);
  EXPECT_EQ(Uids(created), (std::vector<DWORD>{At(root, {1, 1})->GetUid(), At(root, {2, 1})->GetUid()}));

  // An existing assembly with attachments: each new assembly occurrence is
  // followed by its expansion.
  NodeList<OccurrenceNode> more;
  ASSERT_EQ(sub->CreateAndAddAssembly(L"KIT.asm", 0, 0, nullptr, nullptr, &isNew, &more), S_OK);
  EXPECT_EQ(isNew, 0);
  EXPECT_EQ(Uids(more), (std::vector<DWORD>{At(root, {1, 2})->GetUid(), At(root, {1, 2, 1})->GetUid(),
                                            At(root, {1, 2, 2})->GetUid(), At(root, {2, 2})->GetUid(),
                                            At(root, {2, 2, 1})->GetUid(), At(root, {2, 2, 2})->GetUid()}));
  // The collector is gone afterwards; the other callback saw everything.
  EXPECT_EQ(other.paths.size(), 8u);
  ASSERT_EQ(sub->CreateAndAddPart(L"pin.par", 0, 0, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(more.GetCount(), 6u);
  b.Tree()->RemoveTreeModificationCallback(&other);
}

TEST(Construction, FailingCreationCallbackStopsConstruction) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  PartSite* part = b.Part(L"p");
  b.Place(top, part);
  CreationLog refusing;
  refusing.result = E_ACCESSDENIED;
  b.Tree()->AddTreeModificationCallback(&refusing);
  quorra::host::ScopedTraceCapture traces;
  EXPECT_EQ(b.Tree()->CreateOccurrenceTree(top), E_ACCESSDENIED);
  EXPECT_TRUE(traces.Saw("SiteNode::CreateOccurrence", E_ACCESSDENIED));
  EXPECT_TRUE(traces.Saw("AsmTree::CreateOccurrenceTree", E_ACCESSDENIED));
  EXPECT_EQ(b.Tree()->GetRootAssembly(), nullptr);
  // The refused root stays in its site's list; nothing else was made.
  ASSERT_EQ(top->GetOccurrencesList()->GetCount(), 1u);
  EXPECT_EQ(part->GetOccurrencesList()->GetCount(), 0u);
  b.Tree()->RemoveTreeModificationCallback(&refusing);
  top->GetOccurrencesList()->GetAt(0)->Destroy(TRUE);
}

TEST(Construction, LargeTreesShrinkAndRegrowConsistently) {
  // Enough occurrences to span several chunks of node memory.
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* part = b.Part(L"p");
  for (int i = 0; i < 100; ++i) b.Place(sub, part);
  std::vector<AttachmentNode*> placements;
  for (int i = 0; i < 300; ++i) placements.push_back(b.Place(top, sub));
  AssemblyOccurrence* root = b.Build(top);
  ASSERT_EQ(part->GetOccurrencesList()->GetCount(), 30000u);

  // Drop every other branch, then place new ones into the freed memory.
  for (size_t i = 0; i < placements.size(); i += 2) ASSERT_EQ(top->RemoveAndDestroyAttachment(placements[i]), S_OK);
  EXPECT_EQ(part->GetOccurrencesList()->GetCount(), 15000u);
  EXPECT_EQ(root->GetChildCount(), 150u);
  for (int i = 0; i < 150; ++i) b.Place(top, sub);
  ASSERT_EQ(root->GetChildCount(), 300u);
  EXPECT_EQ(part->GetOccurrencesList()->GetCount(), 30000u);

  IDSCounter counter;
  root->Walk(&counter, nullptr, FALSE);
  EXPECT_EQ(counter.GetPartCount(), 30000u);
  EXPECT_EQ(counter.GetAssemblyCount(), 300u);
  for (OccurrenceNode* occurrence : *part->GetOccurrencesList()) {
    ASSERT_EQ(occurrence->GetSite(), part);
    ASSERT_EQ(occurrence->GetParent()->GetChildByID(occurrence->GetAttachmentID()), occurrence);
  }
}

TEST(Construction, SiteAndAttachmentOperationsFollowTheOccurrenceTree) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* bolt = b.Part(L"bolt");
  PartSite* nut = b.Part(L"nut");
  AttachmentNode* boltInSub = b.Place(sub, bolt);
  b.Place(sub, nut);
  b.Place(top, sub);
  b.Place(top, sub);
  AssemblyOccurrence* root = b.Build(top);

  // One child occurrence per occurrence of the parent site.
  NodeList<OccurrenceNode> list;
  ASSERT_EQ(boltInSub->GetOccurrences(&list), S_OK);
  EXPECT_EQ(Uids(list), (std::vector<DWORD>{At(root, {1, 1})->GetUid(), At(root, {2, 1})->GetUid()}));

  int designed = 0, simplified = 0, ipa = 0, overridden = 0;
  At(root, {2, 1})->SetSimplifiedNoRebind();
  AsmAt(root, {2})->SetIPA();
  EXPECT_EQ(bolt->CheckOccurrenceTypes(&designed, &simplified, &ipa, &overridden), S_OK);
  EXPECT_EQ(designed + simplified, 2);
  EXPECT_EQ(ipa, 0);  // PARENT_IPA is not IPA

  // Replacing the sub-assembly's branch rebuilds the children of both of
  // its occurrences and drops the part site no longer placed.
  AttachmentBundle washer{};
  washer.site = b.Part(L"washer");
  ASSERT_EQ(sub->ReplaceBranch(1, &washer, nullptr), S_OK);
  for (DWORD i : {1u, 2u}) {
    AssemblyOccurrence* occurrence = AsmAt(root, {i});
    ASSERT_EQ(occurrence->GetChildCount(), 1u);
    EXPECT_EQ(occurrence->GetChildByIndex(0)->GetSite(), washer.site);
  }
  SiteNode* found = nullptr;
  EXPECT_EQ(b.Tree()->FindSite(L"bolt.par", &found), S_FALSE);
  EXPECT_EQ(washer.site->GetOccurrencesList()->GetCount(), 2u);
}
