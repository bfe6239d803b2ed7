#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <string>
#include <vector>

#include "support/assembly_builder.h"

namespace {

using quorra::test::NewTree;
using quorra::test::TreePtr;

// Records the order in which callbacks see occurrences; can be told to fail.
struct RecordingCallback : TreeModificationCallback {
  RecordingCallback(std::vector<std::string>* log, std::string name, HRESULT result = S_OK)
      : log(log), name(std::move(name)), result(result) {}
  HRESULT CreateOccurrence(OccurrenceNode*) override {
    log->push_back("create " + name);
    return result;
  }
  HRESULT DeleteOccurrence(OccurrenceNode*) override {
    log->push_back("delete " + name);
    return result;
  }
  std::vector<std::string>* log;
  std::string name;
  HRESULT result;
};

}  // namespace

TEST(AsmTree, UidsIncreaseAndLiveSetFollowsLifetime) {
  TreePtr a = NewTree();
  TreePtr b = NewTree();
  EXPECT_EQ(b->GetUid(), a->GetUid() + 1);
  ASSERT_NE(a->GetTreeRoadmap(), nullptr);
  EXPECT_EQ(a->GetTreeRoadmap()->GetEntryCount(), 1u);
  EXPECT_EQ(a->GetTreeRoadmap()->GetData(0u), a->GetUid());
  EXPECT_TRUE(quorra::IsLiveTree(a.get()));
  AsmTree* raw = b.get();
  b.reset();
  EXPECT_FALSE(quorra::IsLiveTree(raw));
  a->ObjectLeaked();
  EXPECT_FALSE(quorra::IsLiveTree(a.get()));
}

TEST(AsmTree, ChecksumMixesTheByteIndex) {
  EXPECT_EQ(quorra::ObjectChecksum("abc", 3), 0xBDA68E54u);
  EXPECT_EQ(quorra::ObjectChecksum("", 0), 0xFFFFFFFFu);

  TreePtr tree = NewTree();
  DWORD first = tree->GetCrc();
  EXPECT_NE(first, 0u);
  tree->SetTransparentColor(0x12345678);  // changes the image, but the value is cached
  EXPECT_EQ(tree->GetCrc(), first);
}

TEST(AsmTree, ReleaseLeavesTheMarkerAndNeverDestroys) {
  TreePtr tree = NewTree();
  EXPECT_EQ(tree->AddRef(), 2u);
  EXPECT_EQ(tree->Release(), 1u);
  EXPECT_EQ(tree->Release(), 0u);
  void* out = reinterpret_cast<void*>(1);
  // The count now holds the marker, which is positive: the tree still answers.
  EXPECT_EQ(tree->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, tree.get());
}

TEST(AsmTree, QueryInterfaceAnswersItsThreeIdentities) {
  TreePtr tree = NewTree();
  void* out = nullptr;
  ASSERT_EQ(tree->QueryInterface(IID_IJRenderAdviseHolder, &out), S_OK);
  ASSERT_NE(out, nullptr);
  auto* holder = static_cast<IJRenderAdviseHolder*>(out);
  void* back = nullptr;
  EXPECT_EQ(holder->QueryInterface(IID_IUnknown, &back), S_OK);  // forwards to the tree
  EXPECT_EQ(back, tree.get());
  EXPECT_EQ(tree->QueryInterface(IID_IEnumRenderAdviseSink, &out), S_OK);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(tree->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

TEST(AsmTree, PropertyBitsFollowTheirSetters) {
  TreePtr tree = NewTree();
  tree->SetCheckUserColorUserData(1);
  EXPECT_TRUE(tree->GetProperties() & ASMTREE_CHECK_USER_COLOR);
  tree->SetCheckUserColorUserData(2);
  EXPECT_FALSE(tree->GetProperties() & ASMTREE_CHECK_USER_COLOR);
  tree->SetCheckTransparentDisplayUserData(1);
  EXPECT_TRUE(tree->GetProperties() & ASMTREE_CHECK_TRANSPARENT_DISPLAY);

  tree->SetFlushingRangeCache();
  EXPECT_TRUE(tree->IsRangeCacheFlushInProgress());
  EXPECT_EQ(tree->GetDirty(), ASMTREE_DIRTY_INVALID);

  DisplayRoadmap ipa(5, 2);
  tree->SetIPARoadmap(&ipa);
  EXPECT_EQ(tree->GetIPARoadmap(), &ipa);
  tree->SetIPARoadmap(nullptr);
  EXPECT_FALSE(tree->GetProperties() & ASMTREE_IPA_ROADMAP);
  EXPECT_EQ(tree->GetIPARoadmap(), nullptr);
  // With the bit set by hand but the slot empty, there is still no roadmap.
  tree->SetProperties(tree->GetProperties() | ASMTREE_IPA_ROADMAP);
  EXPECT_EQ(tree->GetIPARoadmap(), nullptr);

  // With no state (-1) the any-state query answers true; only state 0 is invalid.
  EXPECT_TRUE(tree->IsValidAnimationState(0xFFFFFFFFu));
  EXPECT_FALSE(tree->IsValidAnimationState(5));
  tree->SetAnimationState(7);
  EXPECT_TRUE(tree->IsValidAnimationState(0xFFFFFFFFu));
  EXPECT_TRUE(tree->IsValidAnimationState(7));
  EXPECT_FALSE(tree->IsValidAnimationState(8));
  EXPECT_FALSE(tree->IsValidAnimationState(0));
  tree->ClearAnimationState();
  EXPECT_EQ(tree->GetAnimationState(), 0xFFFFFFFFu);
}

TEST(AsmTree, CallbacksRunNewestFirstAndStopAtTheFirstFailure) {
  TreePtr tree = NewTree();
  std::vector<std::string> log;
  RecordingCallback a(&log, "a"), b(&log, "b", E_ABORT), c(&log, "c");
  EXPECT_EQ(tree->RemoveTreeModificationCallback(&a), S_FALSE);
  EXPECT_EQ(tree->CallCreateOccurrenceCallbacks(nullptr), S_OK);  // empty list
  tree->AddTreeModificationCallback(&a);
  tree->AddTreeModificationCallback(&b);
  tree->AddTreeModificationCallback(&c);
  quorra::host::ScopedTraceCapture traces;
  EXPECT_EQ(tree->CallCreateOccurrenceCallbacks(nullptr), E_ABORT);
  EXPECT_EQ(log, (std::vector<std::string>{"create c", "create b"}));
  EXPECT_TRUE(traces.Saw("AsmTree::CallCreateOccurrenceCallbacks", E_ABORT));

  log.clear();
  EXPECT_EQ(tree->RemoveTreeModificationCallback(&b), S_OK);
  EXPECT_EQ(tree->CallDeleteOccurrenceCallbacks(nullptr), S_OK);
  EXPECT_EQ(log, (std::vector<std::string>{"delete c", "delete a"}));

  // A callback added twice is called twice and removed one link at a time.
  log.clear();
  tree->AddTreeModificationCallback(&a);
  tree->CallCreateOccurrenceCallbacks(nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"create a", "create c", "create a"}));
}

TEST(AsmTree, RangeIsTheZeroBoxWithoutRootOrWhileBusy) {
  quorra::test::AssemblyBuilder b;
  AsmTree* tree = b.Tree();
  EXPECT_TRUE(tree->GetRange(1).IsNull());
  tagGBox out;
  EXPECT_EQ(tree->GetRange(&out, 1), E_FAIL);
  EXPECT_EQ(tree->Walk(nullptr, nullptr, 0), E_FAIL);

  const tagGBox unit(0, 0, 0, 1, 1, 1);
  AssemblySite* top = b.Assembly(L"top");
  b.Place(top, b.Part(L"p", &unit));
  b.Build(top);
  EXPECT_TRUE(tree->GetRange(1).IsEqual(unit));
  tree->SetBusy();
  EXPECT_TRUE(tree->GetRange(1).IsNull());
  tree->ClearBusy();
  EXPECT_TRUE(tree->GetRange(1).IsEqual(unit));
}

TEST(AsmTree, RenderAdviseHolderKeepsOneReferencePerSinkPosition) {
  struct Sink : IJRenderAdviseSink {
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT OnBeginRender() override { return S_OK; }
    HRESULT OnEndRender() override { return S_OK; }
    HRESULT OnInvalidate() override { return S_OK; }
    HRESULT OnRangeChanged() override { return S_OK; }
    HRESULT OnTreeDestroyed() override {
      ++destroyedCalls;
      return S_OK;
    }
    ULONG refs = 1;
    int destroyedCalls = 0;
  } sink, other;

  TreePtr tree = NewTree();
  IJRenderAdviseHolder* holder = nullptr;
  ASSERT_EQ(tree->QueryInterface(IID_IJRenderAdviseHolder, reinterpret_cast<void**>(&holder)), S_OK);
  IJRenderAdviseSink* cookie = nullptr;
  EXPECT_EQ(holder->Advise(nullptr, &cookie), E_INVALIDARG);
  EXPECT_EQ(holder->Advise(&sink, &cookie), S_OK);
  EXPECT_EQ(cookie, &sink);
  holder->Advise(&sink, nullptr);
  holder->Advise(&other, nullptr);
  EXPECT_EQ(sink.refs, 3u);

  IEnumRenderAdviseSink* enumerator = nullptr;
  ASSERT_EQ(holder->EnumAdvise(&enumerator), S_OK);
  IJRenderAdviseSink* next = nullptr;
  ULONG fetched = 0;
  EXPECT_EQ(enumerator->Skip(2), S_OK);
  EXPECT_EQ(enumerator->Next(1, &next, &fetched), S_OK);
  EXPECT_EQ(next, &other);
  EXPECT_EQ(enumerator->Next(1, &next, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(enumerator->Clone(nullptr), E_NOTIMPL);
  enumerator->Release();

  // Unadvise drops every entry of the sink but releases it only once.
  EXPECT_EQ(holder->Unadvise(&sink), S_OK);
  EXPECT_EQ(sink.refs, 2u);
  EXPECT_EQ(tree->GetRenderSinks().size(), 1u);
  tree.reset();
  EXPECT_EQ(other.destroyedCalls, 1);
  EXPECT_EQ(other.refs, 1u);
  EXPECT_EQ(sink.destroyedCalls, 0);
}

TEST(TreeFunctions, FileNameClassification) {
  struct {
    const wchar_t* name;
    BOOL assembly, part;
  } cases[] = {
      {L"x.ASM", 1, 0},       {L"x.asmx", 1, 0},    {L"noext", 0, 0},   {L"a.PWD", 0, 1},
      {L"a.part", 0, 0},      {L"b.psm", 0, 1},     {L"c.par", 0, 1},   {L"dir.asm\\p.par", 0, 1},
      {L"x.as", 0, 0},        {L"model.txt", 0, 0}, {L".asm", 1, 0},    {L"x.pa", 0, 0},
  };
  for (auto c : cases) {
    EXPECT_EQ(IsAssemblyFileName(c.name), c.assembly) << std::wstring(c.name).size();
    EXPECT_EQ(IsPartFileName(c.name), c.part);
  }
  EXPECT_EQ(IsAssemblyFileName(nullptr), 0);
  EXPECT_EQ(IsPartFileName(nullptr), 0);
}

TEST(TreeFunctions, GhostModeAndEmbeddedWelds) {
  JAsmSetGhostMode(true);
  EXPECT_TRUE(JAsmIsGhostMode());
  JAsmSetGhostMode(false);
  EXPECT_FALSE(JAsmIsGhostMode());

  struct Object : IUnknown {
    HRESULT QueryInterface(REFIID iid, void** out) override {
      if (iid != IID_IUnknown) return E_NOINTERFACE;
      *out = this;
      AddRef();
      return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    ULONG refs = 1;
  } weld, otherWeld;
  EXPECT_FALSE(JHasEmbeddedWeldBeenDisplayed(&weld));
  EXPECT_FALSE(JRecordEmbeddedWeldDisplayed(&weld));
  EXPECT_FALSE(JRecordEmbeddedWeldDisplayed(&weld));
  EXPECT_TRUE(JHasEmbeddedWeldBeenDisplayed(&weld));
  EXPECT_FALSE(JHasEmbeddedWeldBeenDisplayed(&otherWeld));
}

namespace {
int gChecksumCalls = 0;
HRESULT FakeGetCheckSum(void*, void*, void*) {
  ++gChecksumCalls;
  return S_FALSE;
}
}  // namespace

TEST(TreeFunctions, AssemblyModuleEntriesAreRetriedUntilFound) {
  quorra::host::UnregisterModule(L"brenik.dex");
  EXPECT_EQ(JGetCheckSum(nullptr, nullptr, nullptr), E_FAIL);
  EXPECT_EQ(JBlockIDSUpdate(nullptr, 0), E_FAIL);
  quorra::host::RegisterModule(L"brenik.dex", {{"JAsmGetCheckSum", reinterpret_cast<void*>(&FakeGetCheckSum)}});
  EXPECT_EQ(JGetCheckSum(nullptr, nullptr, nullptr), S_FALSE);
  EXPECT_EQ(gChecksumCalls, 1);
  EXPECT_EQ(JNotifyIDS(nullptr, nullptr, 0, nullptr), E_FAIL);  // not exported
  quorra::host::UnregisterModule(L"brenik.dex");
}
