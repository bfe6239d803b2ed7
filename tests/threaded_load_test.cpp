// Trees loaded on the worker thread while other threads read them, and the
// lifecycle calls used the wrong way round: deleting locked trees, unlocking
// and validating addresses that are no tree (or no longer one). Built under
// ThreadSanitizer by `./quorra.sh test`.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/sample.h>

#include <vector>

#include "support/storage_support.h"
#include "support/threads.h"

using quorra::test::StartThread;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

class ThreadedLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    quorra::refhost::Install();
    ASSERT_EQ(quorra::refhost::WriteGearboxSample(Widen(dir_.Path()).c_str(), &sample_), S_OK);
    AsmTree* tree = nullptr;
    ASSERT_EQ(AsmTreeCreateAndLoad(sample_.topDocument.c_str(), &tree, nullptr), S_OK);
    ASSERT_EQ(AsmTreeGetRange(tree, &expected_), S_OK);
    ASSERT_FALSE(expected_.IsNull());
    AsmTreeUnloadAndDelete(tree);
  }

  TempDir dir_;
  quorra::refhost::SampleSummary sample_;
  tagGBox expected_;
};

// Readers poll the tree through IsBusy while the worker builds it: while it
// is busy the range is the zero box, the pointer stays valid and the tree has
// no graphic context yet; once the worker is done the tree is whole. Only one
// reader asks for the range: a range query fills the tree's range caches, so
// two of them on a loaded tree at once would race (the lifecycle promises
// readers only the BUSY protocol, not a tree shared by several threads).
TEST_F(ThreadedLoad, ReadersSeeTheZeroBoxUntilTheWorkerEndsThenTheWholeTree) {
  for (int round = 0; round < 3; ++round) {
    AsmTree* tree = nullptr;
    ThreadedLoadContext* context = nullptr;
    ASSERT_EQ(AsmTreeThreadedCreateAndLoad(sample_.topDocument.c_str(), &tree, &context, nullptr), S_OK);

    struct Reader {
      AsmTree* tree;
      bool asksRange;
      int wrong = 0;  // answers a busy tree must not give
      DWORD operator()() {
        while (tree->IsBusy()) {
          if (AsmTreeValidate(tree) != S_OK || AsmTreeGetContext(tree) != nullptr) ++wrong;
          if (!asksRange) continue;
          tagGBox range(1, 1, 1, 2, 2, 2);
          // The worker may end between the two IsBusy calls.
          if (AsmTreeGetRange(tree, &range) != S_OK || !(range.IsNull() || !tree->IsBusy())) ++wrong;
        }
        return 0;
      }
    };
    Reader readers[2] = {{tree, true}, {tree, false}};
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i) ASSERT_NE(threads[i] = StartThread(readers[i]), nullptr);
    for (HANDLE thread : threads) {
      ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
      CloseHandle(thread);
    }
    ASSERT_EQ(WaitForSingleObject(context->thread, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(readers[0].wrong, 0);
    EXPECT_EQ(readers[1].wrong, 0);
    tagGBox loaded;
    EXPECT_EQ(AsmTreeGetRange(tree, &loaded), S_OK);
    EXPECT_TRUE(loaded.IsEqual(expected_, 1e-12));
    quorra::FreeThreadedLoadContext(context);
    EXPECT_EQ(AsmTreeThreadedUnloadAndDelete(tree), S_OK);
  }
}

// A tree locked and deleted while its worker loads it lives until it is
// unlocked, after the worker is done.
TEST_F(ThreadedLoad, DeletingALockedTreeWhileItLoadsWaitsForTheUnlock) {
  AsmTree* tree = nullptr;
  ThreadedLoadContext* context = nullptr;
  ASSERT_EQ(AsmTreeThreadedCreateAndLoad(sample_.topDocument.c_str(), &tree, &context, nullptr), S_OK);
  EXPECT_EQ(AsmTreeLock(tree), S_OK);
  EXPECT_EQ(DeleteAsmTree(tree), S_OK);
  EXPECT_EQ(AsmTreeValidate(tree), S_OK);
  ASSERT_EQ(WaitForSingleObject(context->thread, 60000), WAIT_OBJECT_0);
  tagGBox range;
  EXPECT_EQ(AsmTreeGetRange(tree, &range), S_OK);
  EXPECT_TRUE(range.IsEqual(expected_, 1e-12));
  EXPECT_EQ(AsmTreeUnlock(tree), S_OK);
  EXPECT_EQ(AsmTreeValidate(tree), E_UNEXPECTED);
  quorra::FreeThreadedLoadContext(context);
}

AsmTree* NewTree() {
  AsmTree* tree = nullptr;
  EXPECT_EQ(CreateAsmTree(&tree, nullptr), S_OK);
  return tree;
}

// Calls on addresses that are no tree, or no longer one, answer as the
// lifecycle says and leave every real tree as it was.
TEST(LifecycleMisuse, UnknownAndFreedAddressesLeaveRealTreesAlone) {
  AsmTree* kept = NewTree();
  AsmTree* pending = NewTree();
  AsmTreeLock(kept);
  AsmTreeLock(pending);
  DeleteAsmTree(pending);

  AsmTree* freed = NewTree();
  AsmTreeDelete(freed);
  AsmTree* freedWhilePending = NewTree();
  AsmTreeLock(freedWhilePending);
  DeleteAsmTree(freedWhilePending);
  AsmTreeUnlock(freedWhilePending);  // destroyed here
  int local = 0;
  AsmTree* const strangers[] = {freed, freedWhilePending, reinterpret_cast<AsmTree*>(&local),
                                reinterpret_cast<AsmTree*>(uintptr_t{0x10}), nullptr};
  for (AsmTree* stranger : strangers) {
    // An address reused by one of the live trees is that tree.
    if (stranger == kept || stranger == pending) continue;
    EXPECT_EQ(AsmTreeValidate(stranger), E_UNEXPECTED) << stranger;
    EXPECT_EQ(AsmTreeUnlock(stranger), S_OK) << stranger;
    EXPECT_EQ(AsmTreeUnlock(stranger), S_OK) << stranger;  // twice: still nothing
    EXPECT_FALSE(quorra::IsTreeLocked(stranger));
  }
  // Locking a stranger and unlocking it again touches nothing either.
  EXPECT_EQ(AsmTreeLock(reinterpret_cast<AsmTree*>(&local)), S_OK);
  EXPECT_EQ(AsmTreeUnlock(reinterpret_cast<AsmTree*>(&local)), S_OK);

  EXPECT_EQ(AsmTreeValidate(kept), S_OK);
  EXPECT_TRUE(quorra::IsTreeLocked(kept));
  EXPECT_EQ(AsmTreeValidate(pending), S_OK);
  EXPECT_TRUE(quorra::IsTreeDeletionDeferred(pending));

  EXPECT_EQ(AsmTreeUnlock(pending), S_OK);
  EXPECT_EQ(AsmTreeValidate(pending), E_UNEXPECTED);
  EXPECT_EQ(AsmTreeUnlock(kept), S_OK);
  EXPECT_EQ(AsmTreeValidate(kept), S_OK);  // unlocked, not deleted
  EXPECT_EQ(DeleteAsmTree(kept), S_OK);
  EXPECT_EQ(AsmTreeValidate(kept), E_UNEXPECTED);
}

// Many trees pending deletion at once are each destroyed by their own
// unlock, in any order, and by nothing else.
TEST(LifecycleMisuse, ManyPendingDeletionsEndWithTheirOwnUnlock) {
  std::vector<AsmTree*> trees;
  for (int i = 0; i < 64; ++i) {
    trees.push_back(NewTree());
    AsmTreeLock(trees.back());
    DeleteAsmTree(trees.back());
    DeleteAsmTree(trees.back());  // asked twice: still one deletion
  }
  for (size_t i = 0; i < trees.size(); i += 2) EXPECT_EQ(AsmTreeUnlock(trees[i]), S_OK);
  for (size_t i = 0; i < trees.size(); ++i) EXPECT_EQ(AsmTreeValidate(trees[i]), i % 2 ? S_OK : E_UNEXPECTED) << i;
  for (size_t i = trees.size(); i-- > 0;)
    if (i % 2) {
      EXPECT_EQ(AsmTreeUnlock(trees[i]), S_OK);
    }
  for (AsmTree* tree : trees) EXPECT_EQ(AsmTreeValidate(tree), E_UNEXPECTED);
}

}  // namespace
