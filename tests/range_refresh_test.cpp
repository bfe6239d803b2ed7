// Range refreshes after changes deep in a tree: an incremental refresh must
// leave every occurrence with exactly the range and world matrix a tree
// built from scratch with the same placements has, and the host's
// stored-range function is asked again on every refresh.
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/assembly_builder.h"

using namespace quorra::test;

namespace {

// Four levels of shared sub-assemblies, so that one placement of the
// deepest one has several occurrences:
//   root: A at 1, 2 and 3 (translated and rotated)
//   A:    B at 1 and 2
//   B:    C at 1 and 2
//   C:    bolt at 1, nut at 2, washer (no geometry) at 3
struct Product {
  AssemblyBuilder b;
  AssemblyOccurrence* root = nullptr;
  AttachmentNode* nutPlacement = nullptr;  // three levels below the root
  AttachmentNode* cInB = nullptr;          // two levels below the root

  Product(const tagG4x4& nut, const tagG4x4& c) {
    const tagGBox bolt = Box(0, 0, 0, 1, 1, 4);
    const tagGBox nutBox = Box(-0.5, -0.5, 3, 0.5, 0.5, 3.5);
    AssemblySite* top = b.Assembly(L"root");
    AssemblySite* siteA = b.Assembly(L"a");
    AssemblySite* siteB = b.Assembly(L"b");
    AssemblySite* siteC = b.Assembly(L"c");
    b.Place(siteC, b.Part(L"bolt", &bolt));
    nutPlacement = b.Place(siteC, b.Part(L"nut", &nutBox), nut);
    b.Place(siteC, b.Part(L"washer"));
    b.Place(siteB, siteC);
    cInB = b.Place(siteB, siteC, c);
    b.Place(siteA, siteB, tagG4x4::Translation(0, 10, 0));
    b.Place(siteA, siteB, tagG4x4::Translation(0, -10, 0));
    b.Place(top, siteA);
    b.Place(top, siteA, tagG4x4::Translation(40, 0, 0) * tagG4x4::RotationZ(0.7));
    b.Place(top, siteA, tagG4x4::Translation(-40, 5, 0));
    root = b.Build(top);
  }
};

struct NodeState {
  tagGBox range;
  tagG4x4 world;
};

// Every occurrence's range and world matrix, depth first, asked through the
// public queries (which refresh what is dirty).
void Collect(OccurrenceNode* node, std::vector<NodeState>* out) {
  NodeState state;
  node->GetRange(&state.range);
  state.world = node->GetCurrentToWorld();
  out->push_back(state);
  if (!node->IsAssembly()) return;
  auto* assembly = static_cast<AssemblyOccurrence*>(node);
  for (DWORD i = 0; i < assembly->GetChildCount(); ++i) Collect(assembly->GetChildByIndex(i), out);
}

void ExpectBitForBit(const std::vector<NodeState>& got, const std::vector<NodeState>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(std::memcmp(&got[i].range, &want[i].range, sizeof(tagGBox)), 0) << "range of occurrence " << i;
    EXPECT_EQ(std::memcmp(got[i].world.m, want[i].world.m, sizeof(want[i].world.m)), 0) << "matrix of occurrence " << i;
  }
}

TEST(RangeRefresh, MovesDeepInTheTreeGiveTheRangesOfATreeBuiltWithThem) {
  const tagG4x4 startNut = tagG4x4::Translation(0, 0, 1);
  const tagG4x4 startC = tagG4x4::Translation(5, 0, 0);
  struct Move {
    const char* what;
    tagG4x4 nut, c;
  };
  const Move moves[] = {
      {"the nut outwards: every box on its paths grows", tagG4x4::Translation(30, 0, 1), startC},
      {"the nut back inside: boxes it bounded shrink", tagG4x4::Translation(0, 0, 0.5), startC},
      {"the nut rotated in place", tagG4x4::Translation(0, 0, 1) * tagG4x4::RotationZ(1.1), startC},
      {"a sub-assembly two levels down", startNut, tagG4x4::Translation(-7, 3, 2)},
      {"both at once", tagG4x4::Translation(2, -9, 0), tagG4x4::Translation(0, 0, -6)},
  };
  for (const Move& move : moves) {
    SCOPED_TRACE(move.what);
    Product edited(startNut, startC);
    std::vector<NodeState> before;
    Collect(edited.root, &before);  // every range computed and clean

    AttachmentMatrix nut(move.nut), c(move.c);
    edited.nutPlacement->SetXFormFromParent(&nut);
    edited.cInB->SetXFormFromParent(&c);
    tagGBox rootRange;
    EXPECT_EQ(edited.root->GetRange(&rootRange), S_OK);

    std::vector<NodeState> got, want;
    Collect(edited.root, &got);
    Product fresh(move.nut, move.c);
    Collect(fresh.root, &want);
    ExpectBitForBit(got, want);
  }
}

// A refresh merges only children that are shown or ghosted; a child left
// out is not refreshed either, so it stays dirty.
TEST(RangeRefresh, MergeLeavesOutChildrenThatAreNotShown) {
  struct Case {
    const char* what;
    bool hide, ghostMode;
    double high;  // of the sub-assembly, in x
    bool nutStaysDirty;
  };
  const Case cases[] = {
      {"shown", false, false, 11, false},
      {"hidden", true, false, 1, true},
      {"hidden but ghosted", true, true, 11, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AssemblyBuilder b;
    const tagGBox unit = Box(0, 0, 0, 1, 1, 1);
    AssemblySite* top = b.Assembly(L"root");
    AssemblySite* sub = b.Assembly(L"sub");
    b.Place(sub, b.Part(L"bolt", &unit));
    b.Place(sub, b.Part(L"nut", &unit), tagG4x4::Translation(10, 0, 0));
    b.Place(top, sub);
    AssemblyOccurrence* root = b.Build(top);
    AssemblyOccurrence* subOcc = AsmAt(root, {1});
    OccurrenceNode* nut = At(root, {1, 2});
    JAsmSetGhostMode(c.ghostMode);
    nut->SetNodeToProcessForGhosting(false);
    if (c.hide) nut->Hide(FALSE);
    subOcc->SetDirty();
    tagGBox box;
    EXPECT_EQ(root->GetRange(&box), S_OK);
    EXPECT_EQ(box.high[0], c.high);
    EXPECT_EQ(nut->IsDirty(), c.nutStaysDirty);
    JAsmSetGhostMode(false);
  }
}

// The host's stored range: a box for one occurrence, changed at will.
OccurrenceNode* gAnswerFor = nullptr;
tagGBox gAnswer;
int gAsked = 0;
HRESULT StoredRange(OccurrenceNode* occurrence, tagGBox* box) {
  ++gAsked;
  if (occurrence != gAnswerFor) return E_FAIL;
  *box = gAnswer;
  return S_OK;
}
HRESULT OtherStoredRange(OccurrenceNode*, tagGBox* box) {
  *box = Box(0, 0, 0, 2, 2, 2);
  return S_OK;
}

struct HostModule {
  explicit HostModule(HRESULT (*fn)(OccurrenceNode*, tagGBox*)) {
    quorra::host::RegisterModule(L"brenik.dex", {{"JGetOccurrenceRange", reinterpret_cast<void*>(fn)}});
  }
  ~HostModule() { quorra::host::UnregisterModule(L"brenik.dex"); }
};

TEST(RangeRefresh, HostStoredRangeIsAskedAgainOnEveryRefresh) {
  Product product(tagG4x4::Translation(0, 0, 1), tagG4x4::Translation(5, 0, 0));
  AssemblyOccurrence* root = product.root;
  OccurrenceNode* washer = At(root, {1, 1, 1, 3});
  OccurrenceNode* bolt = At(root, {1, 1, 1, 1});
  ASSERT_TRUE(washer && bolt);
  tagGBox box;
  EXPECT_EQ(washer->GetRange(&box), S_FALSE);
  EXPECT_TRUE(washer->IsDirty());  // no geometry yet: it stays dirty

  // Geometry arrives through the host for the washer: the next refresh
  // that reaches its parent asks again and takes it.
  gAnswerFor = washer;
  gAnswer = Box(100, 100, 100, 101, 101, 101);
  {
    HostModule module(&StoredRange);
    gAsked = 0;
    bolt->SetDirty();
    root->GetRange(&box);
    EXPECT_GT(gAsked, 0);
    EXPECT_FALSE(washer->IsDirty());
    EXPECT_EQ(washer->GetRange(&box), S_OK);
    EXPECT_EQ(box.low[0], 100.0);
    root->GetRange(&box);
    EXPECT_EQ(box.high[0], 101.0);

    // The same function answering differently is heard on the next refresh.
    gAnswer = Box(200, 100, 100, 201, 101, 101);
    washer->SetDirty();
    root->GetRange(&box);
    EXPECT_EQ(box.high[0], 201.0);
  }

  // Another function registered in its place: every dirty node asks it.
  {
    HostModule module(&OtherStoredRange);
    root->SetXformDirty();
    root->GetRange(&box);
    const tagG4x4& world = bolt->GetCurrentToWorld();
    EXPECT_EQ(bolt->GetRange(&box), S_OK);
    const tagGBox expected = world * Box(0, 0, 0, 2, 2, 2);
    EXPECT_EQ(std::memcmp(&box, &expected, sizeof box), 0);
    // Under a rotated placement too, bit for bit the box product.
    OccurrenceNode* turned = At(root, {2, 1, 2, 1});
    const tagGBox turnedExpected = turned->GetCurrentToWorld() * Box(0, 0, 0, 2, 2, 2);
    EXPECT_EQ(turned->GetRange(&box), S_OK);
    EXPECT_EQ(std::memcmp(&box, &turnedExpected, sizeof box), 0);
  }

  // No function at all: parts fall back on their sites' ranges, the washer
  // has none.
  root->SetXformDirty();
  root->GetRange(&box);
  EXPECT_EQ(washer->GetRange(&box), S_FALSE);
  EXPECT_EQ(bolt->GetRange(&box), S_OK);
  EXPECT_EQ(box.high[2] - box.low[2], 4.0);
}

// The tree's back pointer and graphic context decide between refreshes
// whether part sites give ranges.
TEST(RangeRefresh, SiteRangesFollowTheTreeStateAtEachRefresh) {
  Product product(tagG4x4::Translation(0, 0, 1), tagG4x4::Translation(5, 0, 0));
  AssemblyOccurrence* root = product.root;
  OccurrenceNode* bolt = At(root, {2, 2, 1, 1});
  tagGBox box;
  AsmTree* tree = product.b.Tree();
  tree->AddUserData(UD_ASMTREE_BACK_POINTER, tree);
  root->SetXformDirty();
  EXPECT_EQ(root->GetRange(&box), S_FALSE);
  EXPECT_EQ(bolt->GetRange(&box), S_FALSE);
  tree->RemoveUserData(UD_ASMTREE_BACK_POINTER);
  root->SetXformDirty();
  EXPECT_EQ(root->GetRange(&box), S_OK);
  EXPECT_EQ(bolt->GetRange(&box), S_OK);
}

}  // namespace
