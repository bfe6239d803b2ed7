#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

AsmTree* NewTree() {
  AsmTree* tree = nullptr;
  EXPECT_EQ(CreateAsmTree(&tree, nullptr), S_OK);
  return tree;
}

}  // namespace

TEST(Lifecycle, LockDefersDeletionUntilUnlock) {
  AsmTree* tree = NewTree();
  ASSERT_EQ(AsmTreeLock(tree), S_OK);
  EXPECT_EQ(DeleteAsmTree(tree), S_OK);
  EXPECT_EQ(AsmTreeValidate(tree), S_OK);  // still live
  EXPECT_TRUE(quorra::IsTreeDeletionDeferred(tree));
  EXPECT_EQ(DeleteAsmTree(tree), S_OK);  // pending again: nothing changes
  EXPECT_EQ(AsmTreeUnlock(tree), S_OK);
  EXPECT_EQ(AsmTreeValidate(tree), E_UNEXPECTED);
  EXPECT_FALSE(quorra::IsTreeLocked(tree));
  EXPECT_FALSE(quorra::IsTreeDeletionDeferred(tree));
}

TEST(Lifecycle, LockIsASetNotACount) {
  AsmTree* tree = NewTree();
  AsmTreeLock(tree);
  AsmTreeLock(tree);
  AsmTreeUnlock(tree);
  EXPECT_FALSE(quorra::IsTreeLocked(tree));
  EXPECT_EQ(DeleteAsmTree(tree), S_OK);  // destroyed at once
  EXPECT_EQ(AsmTreeValidate(tree), E_UNEXPECTED);
}

TEST(Lifecycle, ImmediateDeletionLeavesNoStaleLock) {
  AsmTree* tree = NewTree();
  AsmTreeLock(tree);
  DeleteAsmTree(tree);  // deferred
  EXPECT_EQ(AsmTreeDelete(tree), S_OK);  // destroyed now, locked or not
  EXPECT_FALSE(quorra::IsTreeLocked(tree));
  EXPECT_FALSE(quorra::IsTreeDeletionDeferred(tree));
  EXPECT_EQ(AsmTreeUnlock(tree), S_OK);  // must not destroy it again
}

TEST(Lifecycle, NullAndForeignArguments) {
  EXPECT_EQ(DeleteAsmTree(nullptr), E_INVALIDARG);
  EXPECT_EQ(AsmTreeDelete(nullptr), S_OK);
  EXPECT_EQ(AsmTreeInvalidate(nullptr), S_OK);
  EXPECT_EQ(AsmTreeUnlock(nullptr), S_OK);
  int notATree = 0;
  EXPECT_EQ(AsmTreeValidate(reinterpret_cast<AsmTree*>(&notATree)), E_UNEXPECTED);
  EXPECT_EQ(AsmTreeGetContext(nullptr), nullptr);
  tagGBox box;
  EXPECT_EQ(AsmTreeGetRange(nullptr, &box), E_UNEXPECTED);

  JRoadmap roadmap;
  roadmap.AddRoute(4, 0);
  EXPECT_EQ(AsmTreeGetRoadmap(nullptr, &roadmap), S_OK);
  EXPECT_EQ(roadmap.GetCount(), 0u);

  DWORD status = 9;
  for (auto [code, expected] : {std::pair{4, 1u}, {5, 2u}, {0, 0u}, {3, 0u}}) {
    SetAbortStatus(code, &status);
    EXPECT_EQ(status, expected) << code;
  }
}

TEST(Lifecycle, InvalidateKeepsOtherDirtyBits) {
  AsmTree* tree = NewTree();
  tree->SetDirty(ASMTREE_DIRTY_DEFAULT_SYMBOLOGY);
  AsmTreeInvalidate(tree);
  EXPECT_EQ(tree->GetDirty(), ASMTREE_DIRTY_DEFAULT_SYMBOLOGY | ASMTREE_DIRTY_INVALID);
  AsmTreeDelete(tree);
}

TEST(Lifecycle, CreateAndLoadHandsOutTheTreeWhenTheLoadFails) {
  AsmTree* tree = nullptr;
  HRESULT hr = AsmTreeCreateAndLoad(L"/nonexistent/quorra/missing.asm", &tree, nullptr);
  EXPECT_TRUE(FAILED(hr));
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(AsmTreeValidate(tree), S_OK);
  AsmTreeDelete(tree);
}

namespace {
struct RecordingProgress : JProgress {
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT SetRange(DWORD) override { return S_OK; }
  HRESULT Step(DWORD) override { return S_OK; }
  HRESULT ReportProgress(const wchar_t* text) override {
    texts.push_back(text);
    return LOAD_CONTINUE;
  }
  std::vector<std::wstring> texts;
};
}  // namespace

TEST(Lifecycle, ThreadedLoadAnnouncesItselfAndClearsBusy) {
  RecordingProgress progress;
  AsmTree* tree = nullptr;
  ThreadedLoadContext* context = nullptr;
  ASSERT_EQ(AsmTreeThreadedCreateAndLoad(L"/nonexistent/quorra/missing.asm", &tree, &context, &progress), S_OK);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->tree, tree);
  EXPECT_NE(context->thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(context->thread, 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(tree->IsBusy());
  ASSERT_GE(progress.texts.size(), 2u);
  EXPECT_EQ(progress.texts.front(), L"Starting Threaded Load");
  EXPECT_EQ(progress.texts.back(), L"Ending Threaded Load");
  quorra::FreeThreadedLoadContext(context);
  AsmTreeThreadedUnloadAndDelete(tree);
}

TEST(GraphicContext, OpeningSwapsRoadmapsOnlyForACutaway) {
  AsmTree* tree = NewTree();
  CutawayContext* cutaway = reinterpret_cast<CutawayContext*>(1);
  EXPECT_EQ(tree->BeginGraphicContext(&cutaway), nullptr);
  EXPECT_EQ(cutaway, nullptr);
  EXPECT_EQ(tree->EndGraphicContext(nullptr, nullptr), E_UNEXPECTED);

  JGraphicContext context;
  DisplayRoadmap own(9, 2);
  context.SetRoadmap(&own);
  tree->SetGraphicContext(&context);
  EXPECT_EQ(tree->BeginGraphicContext(&cutaway), &context);
  EXPECT_EQ(context.GetFlags() & 0x4, 0x4u);
  EXPECT_EQ(cutaway, nullptr);  // no cutaway: nothing swapped
  EXPECT_EQ(context.GetRoadmap(), &own);
  EXPECT_EQ(tree->EndGraphicContext(&context, nullptr), S_OK);
  EXPECT_EQ(context.GetFlags() & 0x4, 0u);

  double plane[4] = {0, 0, 1, 0};
  context.SetCutaway(plane, 1);
  ASSERT_EQ(tree->BeginGraphicContext(&cutaway), &context);
  ASSERT_NE(cutaway, nullptr);
  EXPECT_EQ(cutaway->GetSize(), 1);
  EXPECT_EQ(context.GetRoadmap(), tree->GetTreeRoadmap());
  tree->EndGraphicContext(&context, cutaway);
  EXPECT_EQ(context.GetRoadmap(), &own);
  delete cutaway;
  AsmTreeDelete(tree);
}

TEST(GraphicContext, CutawaySetSizeKeepsALargerSizeAndEmptiesSlots) {
  struct Typed : IJTypedGraphic {
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    DWORD GetGraphicType() override { return 78; }
    HRESULT EndAccess() override {
      ++ended;
      return S_OK;
    }
    int ended = 0;
  } typed;
  CutawayContext cutaway(4);
  static_cast<DWORD*>(cutaway)[2] = 7;
  static_cast<IJTypedGraphic**>(cutaway)[1] = &typed;
  static_cast<IJTypedGraphic**>(cutaway)[3] = &typed;
  EXPECT_EQ(cutaway.EndAccess(1, 1), S_OK);
  EXPECT_EQ(typed.ended, 1);
  EXPECT_EQ(static_cast<IJTypedGraphic**>(cutaway)[1], nullptr);
  EXPECT_EQ(cutaway.SetSize(2), 4);
  EXPECT_EQ(static_cast<DWORD*>(cutaway)[2], 0u);
  EXPECT_EQ(static_cast<IJTypedGraphic**>(cutaway)[3], nullptr);
  EXPECT_EQ(cutaway.EndAccess(0, 0), S_OK);
  EXPECT_EQ(typed.ended, 1);
  CutawayContext none(0);
  EXPECT_EQ(none.GetSize(), 0);
  EXPECT_EQ(static_cast<DWORD*>(none), nullptr);
}

TEST(GraphicContext, CutawayNeedsAContextWithACutawayAndPartSites) {
  AsmTree* tree = NewTree();
  JGraphicContext context;
  EXPECT_EQ(tree->ApplyCutaway(&context, nullptr), E_FAIL);  // no cutaway
  double plane[4] = {1, 0, 0, 0};
  context.SetCutaway(plane, 1);
  EXPECT_EQ(tree->ApplyCutaway(&context, nullptr), E_NOTIMPL);  // no part sites

  // The animated range leaves the tree's context and flush bit as they were.
  JGraphicContext own;
  tree->SetGraphicContext(&own);
  tagGBox range = tree->GetAnimatedRange(&context);
  EXPECT_TRUE(range.IsNull());  // no root yet
  EXPECT_EQ(tree->GetGraphicContext(), &own);
  EXPECT_FALSE(tree->IsRangeCacheFlushInProgress());
  EXPECT_EQ(context.GetFlags() & 0x4, 0u);
  AsmTreeDelete(tree);
}
