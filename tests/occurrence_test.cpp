#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/assembly_builder.h"

using namespace quorra::test;

namespace {

// root
//   1: A (asm)           2: q (part)
//        1: B (asm)
//             1: p (part)
//        2: q (part)
struct NestedAssembly {
  AssemblyBuilder b;
  AssemblyOccurrence* root = nullptr;
  AssemblyOccurrence* a = nullptr;
  AssemblyOccurrence* bAsm = nullptr;
  OccurrenceNode* p = nullptr;
  OccurrenceNode* qInA = nullptr;
  OccurrenceNode* qInRoot = nullptr;
  AssemblySite* siteB = nullptr;

  NestedAssembly() {
    const tagGBox unit = Box(0, 0, 0, 1, 1, 1);
    AssemblySite* top = b.Assembly(L"root");
    AssemblySite* siteA = b.Assembly(L"a");
    siteB = b.Assembly(L"b");
    PartSite* siteP = b.Part(L"p", &unit);
    PartSite* siteQ = b.Part(L"q", &unit);
    b.Place(siteB, siteP);
    b.Place(siteA, siteB);
    b.Place(siteA, siteQ);
    b.Place(top, siteA);
    b.Place(top, siteQ, tagG4x4::Translation(0, 0, 100));
    root = b.Build(top);
    a = AsmAt(root, {1});
    bAsm = AsmAt(root, {1, 1});
    p = At(root, {1, 1, 1});
    qInA = At(root, {1, 2});
    qInRoot = At(root, {2});
  }
};

// Records (occurrence, mode) of the host's membership rebind.
std::vector<std::pair<OccurrenceNode*, DWORD>> gRebinds;
HRESULT RecordRebind(OccurrenceNode* occurrence, DWORD mode) {
  gRebinds.emplace_back(occurrence, mode);
  return S_OK;
}

// The host's stored range: answers for one occurrence only.
OccurrenceNode* gHostRangeFor = nullptr;
tagGBox gHostBox = Box(-5, -5, -5, 5, 5, 5);
HRESULT HostRange(OccurrenceNode* occurrence, tagGBox* box) {
  if (occurrence != gHostRangeFor) return E_FAIL;
  *box = gHostBox;
  return S_OK;
}

// A data server that records which slot was asked. It lives on the test's
// stack: the reference count is only checked for balance.
class RecordingServer final : public IKVDataServer {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = (iid == IID_IUnknown || iid == IID_IKVDataServer) ? this : nullptr;
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetBaseData(const wchar_t* file, DWORD type, OccurrenceNode* occ, KVBaseData**) override {
    return Record(3, file, type, occ, 0);
  }
  HRESULT ReleaseData(KVBaseData*) override { return S_OK; }
  HRESULT GetPartData(const wchar_t* file, DWORD type, OccurrenceNode* occ, KVBaseData**, DWORD extra) override {
    return Record(5, file, type, occ, extra);
  }
  HRESULT GetAssemblyBaseData(const wchar_t* file, DWORD type, OccurrenceNode* occ, KVBaseData**) override {
    return Record(6, file, type, occ, 0);
  }
  HRESULT GetAssemblyData(const wchar_t* file, DWORD type, OccurrenceNode* occ, KVAssemblyData**) override {
    return Record(7, file, type, occ, 0);
  }
  HRESULT GetLiteAssemblyData(const wchar_t* file, DWORD type, OccurrenceNode* occ, KVLiteAssemblyData**,
                              DWORD extra) override {
    return Record(8, file, type, occ, extra);
  }
  int refs = 0;
  int slot = -1;
  std::wstring file;
  DWORD type = 0;
  OccurrenceNode* occurrence = nullptr;
  DWORD extra = 0;

 private:
  HRESULT Record(int s, const wchar_t* f, DWORD t, OccurrenceNode* o, DWORD e) {
    slot = s;
    file = f;
    type = t;
    occurrence = o;
    extra = e;
    return S_OK;
  }
};

}  // namespace

TEST(Occurrence, HidingPropagatesAndNestedHiddenAssembliesKeepTheirSubtreeHidden) {
  NestedAssembly t;
  t.bAsm->Hide(TRUE);
  EXPECT_TRUE(t.p->IsHiddenByParent());
  EXPECT_FALSE(t.qInA->IsHiddenByParent());

  t.a->Hide(TRUE);
  EXPECT_TRUE(t.bAsm->IsHiddenByParent());
  EXPECT_TRUE(t.qInA->IsHiddenByParent());
  EXPECT_FALSE(t.qInRoot->IsHiddenByParent());
  EXPECT_FALSE(t.p->IsHidden());  // propagation never sets a part's own bit

  // Showing A reaches B, but B's own HIDDEN keeps hiding p.
  t.a->Show(TRUE);
  EXPECT_FALSE(t.bAsm->IsHiddenByParent());
  EXPECT_FALSE(t.qInA->IsHiddenByParent());
  EXPECT_TRUE(t.p->IsHiddenByParent());
  EXPECT_FALSE(t.p->IsDisplayable());
  EXPECT_TRUE(t.qInA->IsDisplayable());

  // Hiding an assembly that is already hidden from above changes only itself.
  t.a->Hide(TRUE);
  t.bAsm->Show(FALSE);
  t.p->ClearHideByParent();
  t.bAsm->Hide(TRUE);
  EXPECT_TRUE(t.bAsm->IsHidden());
  EXPECT_FALSE(t.p->IsHiddenByParent());

  // Without propagation nothing below changes.
  t.a->Show(FALSE);
  EXPECT_TRUE(t.qInA->IsHiddenByParent());
}

TEST(Occurrence, InPlaceActivationMarksAndClearsDescendants) {
  NestedAssembly t;
  ASSERT_EQ(t.a->SetIPA(), S_OK);
  for (OccurrenceNode* node : {static_cast<OccurrenceNode*>(t.bAsm), t.p, t.qInA}) {
    EXPECT_TRUE(node->GetFlags() & OCC_PARENT_IPA);
    EXPECT_TRUE(node->IsParentIPA());
  }
  EXPECT_FALSE(t.qInRoot->IsParentIPA());

  // B is active from above: clearing its own IPA leaves p marked.
  t.bAsm->SetIPA();
  t.bAsm->ClearIPA();
  EXPECT_FALSE(t.bAsm->IsIPA());
  EXPECT_TRUE(t.p->GetFlags() & OCC_PARENT_IPA);

  t.a->ClearIPA();
  for (OccurrenceNode* node : {static_cast<OccurrenceNode*>(t.bAsm), t.p, t.qInA}) EXPECT_FALSE(node->IsParentIPA());

  // A part placed later below the active branch is marked through its site.
  t.a->SetIPA();
  PartSite* late = t.b.Part(L"late");
  t.b.Place(t.siteB, late);
  OccurrenceNode* lateOcc = At(t.root, {1, 1, 2});
  ASSERT_NE(lateOcc, nullptr);
  EXPECT_FALSE(lateOcc->IsParentIPA());
  EXPECT_EQ(JMarkAllSiteOccurrencesParentIPA(late), S_OK);
  EXPECT_TRUE(lateOcc->IsParentIPA());
  EXPECT_EQ(JMarkAllSiteOccurrencesParentIPA(nullptr), E_INVALIDARG);
}

TEST(Occurrence, ConstructionLeavesCleanRangesAndIncrementalRefreshReportsChanges) {
  AssemblyBuilder b;
  const tagGBox bolt = Box(0, 0, 0, 1, 1, 1);
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* boltSite = b.Part(L"bolt", &bolt);
  PartSite* nutSite = b.Part(L"nut", &bolt);
  b.Place(sub, boltSite);
  b.Place(sub, nutSite, tagG4x4::Translation(0, 5, 0));
  AttachmentNode* subPlacement = b.Place(top, sub, tagG4x4::Translation(10, 0, 0));
  AssemblyOccurrence* root = b.Build(top);

  EXPECT_FALSE(root->IsPossiblyDirty());
  EXPECT_TRUE(SameBox(*root->GetRange(), Box(10, 0, 0, 11, 6, 1)));
  EXPECT_TRUE(SameBox(b.Tree()->GetRange(0), Box(10, 0, 0, 11, 6, 1)));
  EXPECT_EQ(root->RefreshRange(REFRESH_RANGE_INCREMENTAL), S_FALSE);

  // A part range change that stays inside the assembly's box: the part and
  // its parent refresh, the root's box is unchanged.
  const tagGBox smaller = Box(0, 0, 0, 0.5, 0.5, 0.5);
  nutSite->SetRange(&smaller);
  EXPECT_TRUE(At(root, {1, 2})->IsDirty());
  EXPECT_TRUE(root->IsPossiblyDirty());
  EXPECT_EQ(root->RefreshRange(REFRESH_RANGE_INCREMENTAL), S_OK);  // sub's range changed
  EXPECT_TRUE(SameBox(*root->GetRange(), Box(10, 0, 0, 11, 5.5, 1)));
  EXPECT_FALSE(root->IsPossiblyDirty());
  EXPECT_EQ(root->RefreshRange(REFRESH_RANGE_INCREMENTAL), S_FALSE);

  // A placement change moves everything below it.
  AttachmentMatrix moved(tagG4x4::Translation(-10, 0, 0));
  subPlacement->SetXFormFromParent(&moved);
  OccurrenceNode* boltOcc = At(root, {1, 1});
  EXPECT_TRUE(boltOcc->IsXformDirty());
  EXPECT_EQ(root->RefreshRange(REFRESH_RANGE_INCREMENTAL), S_OK);
  EXPECT_TRUE(SameBox(*root->GetRange(), Box(-10, 0, 0, -9, 5.5, 1)));
  EXPECT_DOUBLE_EQ(boltOcc->GetCurrentToWorld().m[3], -10.0);
}

TEST(Occurrence, RangeSourcesAndTheirPrecedence) {
  AssemblyBuilder b;
  const tagGBox unit = Box(0, 0, 0, 1, 1, 1);
  AssemblySite* top = b.Assembly(L"root");
  b.Place(top, b.Part(L"bare"));
  b.Place(top, b.Part(L"ranged", &unit));
  AssemblyOccurrence* root = b.Build(top);

  tagGBox box;
  EXPECT_EQ(At(root, {1})->GetRange(&box), S_FALSE);
  EXPECT_TRUE(box.IsEmpty());
  EXPECT_EQ(At(root, {2})->GetRange(&box), S_OK);

  // The host's stored range wins over the site's.
  OccurrenceNode* ranged = At(root, {2});
  gHostRangeFor = ranged;
  quorra::host::RegisterModule(L"brenik.dex", {{"JGetOccurrenceRange", reinterpret_cast<void*>(&HostRange)}});
  ranged->SetDirty();
  EXPECT_EQ(ranged->GetRange(&box), S_OK);
  EXPECT_TRUE(SameBox(box, Box(-5, -5, -5, 5, 5, 5)));
  quorra::host::UnregisterModule(L"brenik.dex");

  // A tree carrying user data 1 does not use site ranges.
  b.Tree()->AddUserData(UD_ASMTREE_BACK_POINTER, b.Tree());
  ranged->SetDirty();
  EXPECT_EQ(ranged->GetRange(&box), S_FALSE);
  b.Tree()->RemoveUserData(UD_ASMTREE_BACK_POINTER);
}

// What the host stores for an assembly: nothing, an empty box, or a box
// (the all-zero box included) that the assembly's range then covers.
TEST(Occurrence, AssemblyRangeTakesTheHostsStoredBox) {
  AssemblyBuilder b;
  const tagGBox unit = Box(0, 0, 0, 1, 1, 1);
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  b.Place(sub, b.Part(L"p", &unit), tagG4x4::Translation(0, 5, 0));
  b.Place(top, sub, tagG4x4::Translation(10, 0, 0));
  AssemblyOccurrence* root = b.Build(top);
  AssemblyOccurrence* subOcc = AsmAt(root, {1});

  struct Case {
    const char* name;
    bool hostAnswers;
    tagGBox stored;
    bool covered;  // the assembly's range covers the stored box placed in the world
  };
  const Case cases[] = {
      {"not available", false, Box(0, 0, -2, 1, 1, 0), false},
      {"empty", true, tagGBox::Empty(), false},
      {"all zero", true, tagGBox::Null(), true},
      {"a box", true, Box(0, 0, -2, 1, 1, 0), true},
  };
  const tagGBox partInWorld = Box(10, 5, 0, 11, 6, 1);
  quorra::host::RegisterModule(L"brenik.dex", {{"JGetOccurrenceRange", reinterpret_cast<void*>(&HostRange)}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gHostRangeFor = c.hostAnswers ? subOcc : nullptr;
    gHostBox = c.stored;
    subOcc->SetDirty();
    tagGBox expected = partInWorld;
    if (c.covered) {
      const tagGBox placed = subOcc->GetCurrentToWorld() * c.stored;
      for (int i = 0; i < 3; ++i) {
        expected.low[i] = std::min(expected.low[i], placed.low[i]);
        expected.high[i] = std::max(expected.high[i], placed.high[i]);
      }
    }
    tagGBox box;
    EXPECT_EQ(subOcc->GetRange(&box), S_OK);
    EXPECT_TRUE(SameBox(box, expected));
    EXPECT_EQ(SameBox(box, partInWorld), !c.covered);
  }
  quorra::host::UnregisterModule(L"brenik.dex");
  gHostRangeFor = nullptr;
  gHostBox = Box(-5, -5, -5, 5, 5, 5);
}

TEST(Occurrence, WorldMatricesFollowPlacementsExplodeAndOverrideMatrices) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* part = b.Part(L"p");
  const tagG4x4 subPlacement = tagG4x4::Translation(10, 0, 0) * tagG4x4::RotationZ(1.0);
  const tagG4x4 partPlacement = tagG4x4::Translation(0, 2, 0);
  b.Place(sub, part, partPlacement);
  b.Place(top, sub, subPlacement);
  AssemblyOccurrence* root = b.Build(top);
  AssemblyOccurrence* subOcc = AsmAt(root, {1});
  OccurrenceNode* partOcc = At(root, {1, 1});

  EXPECT_TRUE(root->GetCurrentToWorld().IsIdentity());
  EXPECT_TRUE(partOcc->GetCurrentToWorld().IsEqual(subPlacement * partPlacement));

  // Explode on the sub-assembly: applied on the parent side of its placement
  // and inherited by everything below.
  const tagG4x4 explode = tagG4x4::Translation(0, 0, 7);
  tagGTransf explodeTransf(explode);
  subOcc->SetExplodeMatrix(&explodeTransf);
  EXPECT_TRUE(partOcc->IsXformDirty());
  EXPECT_TRUE(subOcc->GetCurrentToWorld().IsEqual(explode * subPlacement));
  EXPECT_TRUE(partOcc->GetCurrentToWorld().IsEqual(explode * subPlacement * partPlacement));
  EXPECT_TRUE(partOcc->GetUndecoratedMatrix(0).IsEqual(subPlacement * partPlacement));
  EXPECT_TRUE(partOcc->GetUndecoratedMatrix(0x2).IsEqual(explode * subPlacement * partPlacement));

  // Parent-relative matrix with explode: inverse(U) x E x U x C.
  tagG4x4 relative;
  ASSERT_EQ(subOcc->GetOccurrenceMatrix(&relative, TRUE), S_OK);
  EXPECT_TRUE(relative.IsEqual(explode * subPlacement));
  ASSERT_EQ(subOcc->GetOccurrenceMatrix(&relative, FALSE), S_OK);
  EXPECT_TRUE(relative.IsEqual(subPlacement));

  // An override matrix replaces the placement.
  const tagG4x4 overridden = tagG4x4::Translation(0, 0, -3);
  tagGTransf overrideTransf(overridden);
  partOcc->SetOverrideMatrix(&overrideTransf);
  EXPECT_TRUE(partOcc->IsMatrixOverridden());
  EXPECT_TRUE(partOcc->GetCurrentToWorld().IsEqual(explode * subPlacement * overridden));
  tagG4x4 constraint;
  EXPECT_EQ(partOcc->GetConstraintMatrix(&constraint), S_OK);
  EXPECT_TRUE(constraint.IsEqual(overridden));
  EXPECT_EQ(partOcc->GetConstraintMatrix(nullptr), E_INVALIDARG);

  // Removing the explode matrix makes the subtree transform-dirty again;
  // removing one that is not there changes nothing.
  subOcc->GetCurrentToWorld();
  partOcc->GetCurrentToWorld();
  partOcc->SetExplodeMatrix(nullptr);
  EXPECT_FALSE(partOcc->IsXformDirty());
  subOcc->SetExplodeMatrix(nullptr);
  EXPECT_FALSE(subOcc->GetFlags() & OCC_EXPLODE_MATRIX);
  EXPECT_EQ(subOcc->GetExplodeMatrix(), nullptr);
  EXPECT_TRUE(partOcc->IsXformDirty());
  EXPECT_TRUE(partOcc->GetCurrentToWorld().IsEqual(subPlacement * overridden));
}

TEST(Occurrence, AnimatedStateEndsWhenTheWorldMatrixChanges) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  AttachmentNode* placement = b.Place(top, b.Part(L"p"));
  AssemblyOccurrence* root = b.Build(top);
  OccurrenceNode* part = At(root, {1});

  const tagG4x4 animated = tagG4x4::Translation(3, 3, 3);
  part->SetAnimatedMatrix(animated, tagG4x4());
  EXPECT_TRUE(part->IsAnimated());
  EXPECT_TRUE(part->GetAnimatedMatrix().IsEqual(animated));
  EXPECT_TRUE(part->GetCurrentToWorld().IsEqual(animated));

  // Recomputing from the placements gives another world matrix: the
  // animation ends.
  part->SetXformDirty();
  part->GetCurrentToWorld();
  EXPECT_FALSE(part->IsAnimated());
  // The tree's de-animation walk ends it too.
  part->SetAnimatedMatrix(animated, tagG4x4());
  b.Tree()->SetAnimationState(7);
  b.Tree()->SetAnimationState(0);
  EXPECT_FALSE(part->IsAnimated());
  AttachmentMatrix moved(tagG4x4::Translation(1, 0, 0));
  placement->SetXFormFromParent(&moved);
  EXPECT_DOUBLE_EQ(part->GetCurrentToWorld().m[3], 1.0);
}

TEST(Occurrence, ChildrenAreFoundByIdAndBindFollowsPaths) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* part = b.Part(L"p");
  b.Place(sub, part, tagG4x4(), 4);
  for (DWORD id : {9u, 2u, 5u, 30u}) b.Place(top, part, tagG4x4(), id);
  b.Place(top, sub, tagG4x4(), 7);
  AssemblyOccurrence* root = b.Build(top);

  ASSERT_EQ(root->GetChildCount(), 5u);
  for (DWORD i = 1; i < root->GetChildCount(); ++i)
    EXPECT_LT(root->GetChildByIndex(i - 1)->GetAttachmentID(), root->GetChildByIndex(i)->GetAttachmentID());
  for (DWORD id : {2u, 5u, 7u, 9u, 30u}) {
    ASSERT_NE(root->GetChildByID(id), nullptr) << id;
    EXPECT_EQ(root->GetChildByID(id)->GetAttachmentID(), id);
  }
  for (DWORD id : {0u, 1u, 3u, 8u, 31u}) EXPECT_EQ(root->GetChildByID(id), nullptr) << id;

  const DWORD throughSub[] = {7, 4};
  const DWORD throughPart[] = {9, 4};
  const DWORD missing[] = {7, 5};
  EXPECT_EQ(root->Bind(2, throughSub)->GetAttachmentID(), 4u);
  EXPECT_EQ(root->Bind(2, throughPart), nullptr);
  EXPECT_EQ(root->Bind(2, missing), nullptr);
  EXPECT_EQ(root->Bind(0, nullptr), root);
}

TEST(Occurrence, RoadmapsReadFromTheRootDown) {
  NestedAssembly t;
  DisplayRoadmap rm;
  ASSERT_EQ(t.p->GetDisplayRoadmap(&rm), S_OK);
  ASSERT_EQ(rm.GetEntryCount(), 3u);
  EXPECT_EQ(rm.GetData(0u), 1u);
  EXPECT_EQ(rm.GetData(2u), 1u);
  EXPECT_EQ(DisplayRoadmap(static_cast<JRoadmap>(*t.qInA)), DisplayRoadmap(JRoadmap(t.qInA->GetRoadmap())));
  DisplayRoadmap qRoadmap;
  t.qInA->GetDisplayRoadmap(&qRoadmap);
  EXPECT_EQ(DisplayRoadmap(t.qInA->GetRoadmap()), qRoadmap);
  EXPECT_EQ(qRoadmap.GetData(1u), 2u);

  EXPECT_EQ(t.root->GetDisplayRoadmap(&rm), E_FAIL);
  EXPECT_EQ(rm.GetEntryCount(), 0u);
  EXPECT_EQ(t.p->GetRootAssembly(), t.root);

  // The ancestor named by a roadmap, and the occurrence itself when none is.
  EXPECT_EQ(t.p->GetAncestor(t.a->GetRoadmap()), t.a);
  EXPECT_EQ(t.p->GetAncestor(t.qInRoot->GetRoadmap()), t.p);
}

TEST(Occurrence, DestructionUnlinksFromParentSiteAndCallbacks) {
  struct Counter : TreeModificationCallback {
    HRESULT DeleteOccurrence(OccurrenceNode* occurrence) override {
      deleted.push_back(occurrence);
      return result;
    }
    std::vector<OccurrenceNode*> deleted;
    HRESULT result = S_OK;
  } counter;

  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* part = b.Part(L"p");
  b.Place(sub, part);
  b.Place(sub, part);
  AttachmentNode* first = b.Place(top, sub);
  b.Place(top, sub);
  b.Place(top, part);
  AssemblyOccurrence* root = b.Build(top);
  ASSERT_EQ(part->GetOccurrencesList()->GetCount(), 5u);
  b.Tree()->AddTreeModificationCallback(&counter);

  OccurrenceNode* branch = root->GetChildByID(1);
  ASSERT_EQ(top->RemoveAndDestroyAttachment(first), S_OK);
  ASSERT_EQ(counter.deleted.size(), 3u);
  EXPECT_EQ(counter.deleted.front(), branch);  // announced before its children go
  EXPECT_EQ(root->GetChildCount(), 2u);
  EXPECT_EQ(root->GetChildByID(1), nullptr);
  EXPECT_EQ(root->GetChildByID(3)->GetAttachmentID(), 3u);
  EXPECT_EQ(part->GetOccurrencesList()->GetCount(), 3u);
  EXPECT_EQ(sub->GetOccurrencesList()->GetCount(), 1u);
  EXPECT_TRUE(root->IsPossiblyDirty());

  // A failing callback leaves the occurrence in place.
  OccurrenceNode* lone = root->GetChildByID(3);
  counter.result = E_FAIL;
  EXPECT_EQ(lone->Destroy(FALSE), E_FAIL);
  EXPECT_EQ(root->GetChildByID(3), lone);
  counter.result = S_OK;
  EXPECT_EQ(lone->Destroy(FALSE), S_OK);
  EXPECT_EQ(root->GetChildCount(), 1u);
  b.Tree()->RemoveTreeModificationCallback(&counter);
}

TEST(Occurrence, FlagAccessorsWithRulesOfTheirOwn) {
  NestedAssembly t;
  OccurrenceNode* o = t.qInA;
  o->SetSurfacesDisplay(true);
  EXPECT_FALSE(o->GetConstructionsDisplay());
  o->SetCurvesDisplay(true);
  EXPECT_TRUE(o->GetConstructionsDisplay());
  o->SetConstructionsDisplay(false);
  EXPECT_FALSE(o->GetSurfacesDisplay() || o->GetCurvesDisplay());

  // Inverted bits: a set bit means "off".
  o->SetDesignBodiesDisplay(false);
  EXPECT_TRUE(o->GetFlagsEx() & OCCX_DESIGN_BODIES_OFF);
  o->SetDecalsDisplay(false);
  o->SetPointCloudsDisplay(false);
  EXPECT_FALSE(o->GetDecalsDisplay() || o->GetPointCloudsDisplay());
  EXPECT_TRUE(o->IsNodeInValidForGhosting());
  o->SetNodeToProcessForGhosting(true);
  EXPECT_FALSE(o->IsNodeInValidForGhosting());

  // Adjustable parts keep dimensions and annotations off.
  ASSERT_EQ(o->SetAdjustablePart(), S_OK);
  EXPECT_TRUE(o->IsAdjustablePart());
  o->SetDimensionsDisplay(true);
  o->SetAnnotationsDisplay(true);
  EXPECT_FALSE(o->GetDimensionsDisplay() || o->GetAnnotationsDisplay());
  o->AddUserData(UD_ADJUSTABLE_PART_BASEBODY, nullptr);
  o->ClearAdjustablePart();
  int found = 1;
  o->GetUserData(UD_ADJUSTABLE_PART_BASEBODY, &found);
  EXPECT_EQ(found, 0);
  o->SetDimensionsDisplay(true);
  EXPECT_TRUE(o->GetDimensionsDisplay());

  // The flag alone does not make an occurrence adaptable.
  o->SetAdaptable();
  EXPECT_TRUE(o->IsAdaptable());
  o->RemoveUserData(UD_ADAPTABLE);
  EXPECT_FALSE(o->IsAdaptable());

  // Ghost mode applies to occurrences that are not displayable.
  JAsmSetGhostMode(true);
  o->SetNodeToProcessForGhosting(false);
  EXPECT_FALSE(o->IsGhostMode());
  o->Hide(FALSE);
  EXPECT_TRUE(o->IsGhostMode());
  EXPECT_TRUE(o->GetUseIPAStyle());
  o->SetHideInSubassembly(true);  // o has a parent and a grandparent
  EXPECT_FALSE(o->IsGhostMode());
  JAsmSetGhostMode(false);
}

TEST(Occurrence, DirtinessReachingTheRootClearsRangeTokens) {
  NestedAssembly t;
  DWORD token = 0;
  ASSERT_EQ(t.b.Tree()->CreateUserToken(1, &token), S_OK);
  t.b.Tree()->SetUserToken(token, 42);
  ASSERT_EQ(t.b.Tree()->GetUserToken(token), 42);
  t.p->SetDirty();
  EXPECT_TRUE(t.bAsm->IsPossiblyDirty());
  EXPECT_TRUE(t.root->IsPossiblyDirty());
  EXPECT_EQ(t.b.Tree()->GetUserToken(token), 0);

  // SetDirty on an assembly reaches its whole subtree.
  t.root->GetRange();
  t.a->SetDirty();
  EXPECT_TRUE(t.p->IsDirty() && t.qInA->IsDirty() && t.bAsm->IsDirty());
  EXPECT_FALSE(t.qInRoot->IsDirty());
}

TEST(Occurrence, SimplifiedAssembliesRebindThroughTheHost) {
  NestedAssembly t;
  gRebinds.clear();
  t.a->SetSimplified();  // the rebind entry is missing: skipped
  EXPECT_TRUE(t.a->IsSimplified());
  t.a->ClearSimplified();
  quorra::host::RegisterModule(L"cordale.dll",
                               {{"JAsmRebindMembassyIfNeccessary", reinterpret_cast<void*>(&RecordRebind)}});
  t.a->SetSimplified();
  t.a->SetSimplified();
  t.p->SetSimplified();
  t.a->ClearSimplified();
  t.a->ClearSimplified();
  quorra::host::UnregisterModule(L"cordale.dll");
  ASSERT_EQ(gRebinds.size(), 2u);
  EXPECT_EQ(gRebinds[0], std::make_pair(static_cast<OccurrenceNode*>(t.a), DWORD{1}));
  EXPECT_EQ(gRebinds[1], std::make_pair(static_cast<OccurrenceNode*>(t.a), DWORD{2}));
}

TEST(Occurrence, KeyValueDataGoesToTheServerSlotOfTheVariant) {
  NestedAssembly t;
  KVBaseData* base = nullptr;
  EXPECT_EQ(t.p->GetKVData(1, &base), E_POINTER);  // no server yet

  RecordingServer serverObject;
  RecordingServer* server = &serverObject;
  t.b.Tree()->SetKVDataServer(server);
  auto* part = static_cast<PartOccurrence*>(t.p);
  KVAssemblyData* assemblyData = nullptr;
  KVLiteAssemblyData* lite = nullptr;
  struct Case {
    const char* name;
    std::function<HRESULT()> call;
    int slot;
    OccurrenceNode* occurrence;
    DWORD extra;
  } cases[] = {
      {"node", [&] { return static_cast<OccurrenceNode*>(t.a)->GetKVData(11, &base); }, 3, t.a, 0},
      {"part", [&] { return part->GetKVData(11, &base); }, 3, t.p, 0},
      {"part extra", [&] { return part->GetKVData(11, &base, 6); }, 5, t.p, 6},
      {"assembly base", [&] { return t.a->GetKVData(11, &base); }, 6, t.a, 0},
      {"assembly", [&] { return t.a->GetKVData(11, &assemblyData); }, 7, t.a, 0},
      {"assembly lite", [&] { return t.a->GetKVData(11, &lite, 9); }, 8, t.a, 9},
  };
  for (const Case& c : cases) {
    server->slot = -1;
    EXPECT_EQ(c.call(), S_OK) << c.name;
    EXPECT_EQ(server->slot, c.slot) << c.name;
    EXPECT_EQ(server->occurrence, c.occurrence) << c.name;
    EXPECT_EQ(server->extra, c.extra) << c.name;
    EXPECT_EQ(server->type, 11u) << c.name;
  }
  EXPECT_EQ(server->file, L"a.asm");
  EXPECT_EQ(t.a->GetKVData(1, static_cast<KVBaseData**>(nullptr)), E_INVALIDARG);
  t.b.Tree()->SetKVDataServer(nullptr);
  EXPECT_EQ(server->refs, 0);
}

TEST(Occurrence, ChecksumIsCachedAndNamesFallBackToTheSitePath) {
  NestedAssembly t;
  const DWORD crc = t.p->GetCrc();
  EXPECT_NE(crc, 0u);
  t.p->SetIsMarked(true);
  EXPECT_EQ(t.p->GetCrc(), crc);

  EXPECT_STREQ(t.p->GetUserNameW(), L"p.par");
  t.p->SetUserName(L"Bracket");
  EXPECT_STREQ(t.p->GetUserNameW(), L"Bracket");
  t.p->SetUserName(L"");
  EXPECT_STREQ(t.p->GetUserNameW(), L"p.par");
  EXPECT_NE(t.p->GetUid(), t.qInA->GetUid());
}
