// Mercury's context: every way of naming an occurrence (document with a
// display or a member roadmap, an occurrence node) resolves to the same
// occurrence and override node; resolutions are kept until the context is
// set again; failures give their codes and traces; change notifications
// reach the host.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>

#include <vector>

#include "support/assembly_builder.h"
#include "support/top_sub_bolt.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;
using quorra::test::At;

// Exposes the protected resolution steps and the resolved fields.
class TestMercury : public Mercury {
 public:
  using Mercury::ResolveContext;
  DWORD State() const { return state_; }
  AsmTree* Tree() const { return tree_; }
  OccurrenceNode* Occurrence() const { return occurrence_; }
  JIDSOverrideTree* IOT() const { return iot_; }
  IUnknown* Document() const { return document_; }
  IUnknown* Favoured() const { return favouredDocument_; }
  const DisplayRoadmap& Roadmap() const { return roadmap_; }
};

DisplayRoadmap Display(std::vector<DWORD> ids) {
  DisplayRoadmap rm;
  for (DWORD id : ids) rm.AddLink(id);
  return rm;
}

JMemberRoadmap Member(std::vector<DWORD> ids) {
  JMemberRoadmap rm("document");
  for (DWORD id : ids) EXPECT_EQ(rm.Append(JMemberRoute(id)), S_OK);
  return rm;
}

class FakeDocument final : public ComObject<IUnknown> {};

// top: sub (1) holding two bolts (1, 2), and a bolt (2), bound to refhost's
// documents with the top document's live tree known to its persist manager.
class MercuryOverRefhost : public quorra::test::TopSubBoltTest {
 protected:
  void SetUp() override {
    OpenTopSubBolt();
  }
  void TearDown() override {
    CloseTopSubBolt();
  }

  JIDSOverride* MakeOverride(std::vector<DWORD> path) {
    EXPECT_EQ(iot_->SetStyleID(static_cast<DWORD>(path.size()), path.data(), 7, IOT_PART, 0), S_OK);
    JIDSOverride* node = nullptr;
    iot_->GetOverride(static_cast<DWORD>(path.size()), path.data(), &node);
    return node;
  }
};

TEST_F(MercuryOverRefhost, EveryWayOfNamingResolvesToTheSameOccurrenceAndOverride) {
  JIDSOverride* deep = MakeOverride({1, 2});
  ASSERT_NE(deep, nullptr);
  struct Case {
    const char* what;
    std::vector<DWORD> path;
  } cases[] = {{"part in a subassembly", {1, 2}}, {"subassembly", {1}}, {"part at the top", {2}}, {"root", {}}};
  for (const Case& c : cases) {
    OccurrenceNode* expected = c.path.empty() ? root_ : At(root_, c.path);
    JIDSOverride* expectedOverride = nullptr;
    iot_->GetOverride(static_cast<DWORD>(c.path.size()), c.path.data(), &expectedOverride);

    TestMercury byDisplay, byMember, byOccurrence;
    DisplayRoadmap display = Display(c.path);
    JMemberRoadmap member = Member(c.path);
    ASSERT_EQ(byDisplay.SetContext(document_.Get(), &display), S_OK) << c.what;
    ASSERT_EQ(byMember.SetContext(document_.Get(), &member), S_OK) << c.what;
    ASSERT_EQ(byOccurrence.SetContext(expected), S_OK) << c.what;
    EXPECT_EQ(byMember.Roadmap().Compare(&display), 0) << c.what;

    for (TestMercury* m : {&byDisplay, &byMember, &byOccurrence}) {
      OccurrenceNode* occurrence = nullptr;
      EXPECT_EQ(m->GetOccurrenceNode(&occurrence), S_OK) << c.what;
      EXPECT_EQ(occurrence, expected) << c.what;
      EXPECT_EQ(m->Tree(), builder_->Tree()) << c.what;
      JIDSOverride* node = reinterpret_cast<JIDSOverride*>(1);
      EXPECT_EQ(m->GetOverride(&node), expectedOverride ? S_OK : E_FAIL) << c.what;
      EXPECT_EQ(node, expectedOverride) << c.what;
      EXPECT_EQ(m->IOT(), iot_) << c.what;
      // The occurrence's document and roadmap are derived for the IOT.
      EXPECT_EQ(m->Document(), document_.Get()) << c.what;
      EXPECT_EQ(m->Roadmap().Compare(&display), 0) << c.what;
    }
  }
}

TEST_F(MercuryOverRefhost, DocumentWithoutAKnownTreeIsFoundAmongTheLiveTrees) {
  // The subassembly's document: the host keeps no tree for it, so its site
  // is looked for in the live trees.
  AssemblyOccurrence* subOccurrence = quorra::test::AsmAt(root_, {1});
  ComPtr<IUnknown> subDocument;
  ASSERT_EQ(subOccurrence->GetSite()->GetDocument(IID_IUnknown, reinterpret_cast<void**>(subDocument.Put())), S_OK);
  struct Case {
    IUnknown* document;
    std::vector<DWORD> path;
    OccurrenceNode* expected;
  } cases[] = {{subDocument.Get(), {2}, At(root_, {1, 2})},
               {subDocument.Get(), {}, subOccurrence},
               {document_.Get(), {1, 1}, At(root_, {1, 1})}};
  quorra::refhost::SetDocumentTree(document_.Get(), nullptr);
  for (const Case& c : cases) {
    TestMercury m;
    DisplayRoadmap path = Display(c.path);
    ASSERT_EQ(m.SetContext(c.document, &path), S_OK);
    OccurrenceNode* occurrence = nullptr;
    EXPECT_EQ(m.GetOccurrenceNode(&occurrence), S_OK);
    EXPECT_EQ(occurrence, c.expected);
    EXPECT_EQ(m.Tree(), builder_->Tree());
    EXPECT_EQ(m.State() & 0xC, 0xCu);
  }
  // A path that does not exist below the found site fails.
  TestMercury m;
  DisplayRoadmap missing = Display({7});
  ASSERT_EQ(m.SetContext(subDocument.Get(), &missing), S_OK);
  EXPECT_EQ(m.ResolveContext(RC_OCCURRENCE), E_FAIL);
  // The top-level list alone.
  EXPECT_EQ(m.ResolveContext(RC_TOP_LEVEL), S_OK);
  quorra::refhost::ReleasePersistManager(subDocument.Get());
}

TEST_F(MercuryOverRefhost, ResolutionIsKeptUntilTheContextChanges) {
  TestMercury m;
  DisplayRoadmap first = Display({1, 2});
  ASSERT_EQ(m.SetContext(document_.Get(), &first), S_OK);
  JIDSOverride* node = nullptr;
  EXPECT_EQ(m.GetOverride(&node), E_FAIL);  // no node yet
  EXPECT_EQ(m.State() & Mercury::kIOTResolved, Mercury::kIOTResolved);
  OccurrenceNode* occurrence = nullptr;
  ASSERT_EQ(m.GetOccurrenceNode(&occurrence), S_OK);
  EXPECT_EQ(m.State() & 0x3, 0x3u);

  // A node made after the IOT was resolved is not seen: the answer is kept.
  ASSERT_NE(MakeOverride({1, 2}), nullptr);
  EXPECT_EQ(m.GetOverride(&node), E_FAIL);
  // Even when the host forgets the tree, the occurrence stays resolved.
  quorra::refhost::SetDocumentTree(document_.Get(), nullptr);
  EXPECT_EQ(m.GetOccurrenceNode(&occurrence), S_OK);
  EXPECT_EQ(occurrence, At(root_, {1, 2}));

  // A copy shares the resolution and holds the document itself.
  TestMercury copy;
  static_cast<Mercury&>(copy) = m;
  EXPECT_EQ(copy.State(), m.State());
  EXPECT_EQ(copy.Occurrence(), occurrence);

  // Setting the context again resolves afresh.
  quorra::refhost::SetDocumentTree(document_.Get(), builder_->Tree());
  DisplayRoadmap second = Display({1, 2});
  ASSERT_EQ(m.SetContext(document_.Get(), &second), S_OK);
  EXPECT_EQ(m.State(), 0u);
  EXPECT_EQ(m.GetOverride(&node), S_OK);
  EXPECT_NE(node, nullptr);
  // The copy was not affected.
  EXPECT_EQ(copy.GetOverride(&node), E_FAIL);
  EXPECT_EQ(copy.Document(), document_.Get());
}

TEST_F(MercuryOverRefhost, ResolutionFailures) {
  ScopedTraceCapture traces;
  TestMercury m;
  // Nothing set.
  EXPECT_EQ(m.ResolveContext(RC_OCCURRENCE), E_UNEXPECTED);
  DisplayRoadmap path = Display({1, 2});
  ASSERT_EQ(m.SetContext(document_.Get(), &path), S_OK);
  EXPECT_EQ(m.ResolveContext(0), E_INVALIDARG);
  EXPECT_EQ(m.ResolveContext(RC_IOT | RC_OCCURRENCE), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("Mercury::ResolveContext", E_UNEXPECTED));
  EXPECT_EQ(m.State(), 0u);

  // A path with no occurrence fails and leaves the state bit clear.
  DisplayRoadmap missing = Display({1, 9});
  ASSERT_EQ(m.SetContext(document_.Get(), &missing), S_OK);
  OccurrenceNode* occurrence = reinterpret_cast<OccurrenceNode*>(1);
  EXPECT_EQ(m.ResolveContext(RC_OCCURRENCE), E_FAIL);
  EXPECT_EQ(m.State() & Mercury::kOccurrenceResolved, 0u);
  EXPECT_EQ(m.GetOccurrenceNode(&occurrence), E_POINTER);

  // A roadmap needs a document.
  EXPECT_EQ(m.SetContext(nullptr, &path), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("Mercury::SetRoadmap", E_UNEXPECTED));
  EXPECT_TRUE(traces.Saw("Mercury::SetContext", E_UNEXPECTED));
  JMemberRoadmap member = Member({1});
  EXPECT_EQ(m.SetContextEx(nullptr, &member, document_.Get()), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("Mercury::SetContextEx", E_UNEXPECTED));

  // A document refhost does not know has no override holder.
  ComPtr<IUnknown> stranger(new FakeDocument);
  EXPECT_EQ(m.SetContext(stranger.Get(), &member), E_FAIL);
  ASSERT_EQ(m.SetContext(stranger.Get(), &path), S_OK);
  JIDSOverride* node = nullptr;
  EXPECT_NE(m.GetOverride(&node), S_OK);
  EXPECT_EQ(node, nullptr);
  EXPECT_EQ(m.GetOverride(nullptr), E_INVALIDARG);
}

TEST_F(MercuryOverRefhost, FavouredDocumentIsHeldUntilTheNextContext) {
  TestMercury m;
  DisplayRoadmap path = Display({2});
  ComPtr<IUnknown> favoured(new FakeDocument);
  ASSERT_EQ(m.SetContextEx(document_.Get(), &path, favoured.Get()), S_OK);
  EXPECT_EQ(m.Favoured(), favoured.Get());
  {
    TestMercury copy(m);
    EXPECT_EQ(copy.Favoured(), favoured.Get());
  }
  ASSERT_EQ(m.SetContext(document_.Get(), &path), S_OK);
  EXPECT_EQ(m.Favoured(), nullptr);
  // Only the test holds it now.
  IUnknown* raw = favoured.Get();
  raw->AddRef();
  EXPECT_EQ(raw->Release(), 1u);
}

// ---- change notification ----

struct Notification {
  void* tree;
  void* document;
  DWORD value;
  uintptr_t flags;
};
std::vector<Notification> gNotifications;
HRESULT RecordNotify(void* tree, void* document, DWORD value, void* flags) {
  gNotifications.push_back({tree, document, value, reinterpret_cast<uintptr_t>(flags)});
  return S_FALSE;
}

TEST(MercuryUpdateIDS, NotifiesTheTreeOrEveryTree) {
  quorra::host::RegisterModule(L"brenik.dex", {{"JAsmNotifyIDS", reinterpret_cast<void*>(&RecordNotify)}});
  gNotifications.clear();
  {
    quorra::test::AssemblyBuilder b;
    AssemblySite* top = b.Assembly(L"top");
    b.Place(top, b.Part(L"bolt"));
    AssemblyOccurrence* root = b.Build(top);

    TestMercury m;
    ASSERT_EQ(m.SetContext(At(root, {1})), S_OK);
    for (DWORD bad : {0u, 0x1u, 0x4u, 0x30u}) EXPECT_EQ(m.UpdateIDS(bad), E_INVALIDARG) << bad;
    EXPECT_TRUE(gNotifications.empty());

    EXPECT_EQ(m.UpdateIDS(10), S_FALSE);
    EXPECT_EQ(m.UpdateIDS(5), S_FALSE);
    ASSERT_EQ(gNotifications.size(), 2u);
    EXPECT_EQ(gNotifications[0].tree, b.Tree());
    EXPECT_EQ(gNotifications[0].value, 28u);
    EXPECT_EQ(gNotifications[0].flags, 10u);
    EXPECT_EQ(gNotifications[1].tree, nullptr);  // every tree
    EXPECT_EQ(gNotifications[1].document, nullptr);
    EXPECT_EQ(gNotifications[1].flags, 5u);
  }
  quorra::host::UnregisterModule(L"brenik.dex");
  gNotifications.clear();
}

}  // namespace
