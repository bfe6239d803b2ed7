// Finding occurrences by roadmap (AsmTree::Lookup against the OccLookup
// walk), binding member roadmaps, and names through refhost's documents.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>
#include <quorra/refhost/occurrence_container.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/occurrence_internal.h"
#include "support/assembly_builder.h"
#include "support/storage_support.h"

using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;
using quorra::test::AssemblyBuilder;
using quorra::test::At;

namespace {

DisplayRoadmap Roadmap(const std::vector<DWORD>& ids) {
  DisplayRoadmap rm;
  for (DWORD id : ids) EXPECT_EQ(rm.AddLink(id), S_OK);
  return rm;
}

// The answer of the walk the lookup stands for.
const OccurrenceNode* WalkLookup(AsmTree* tree, DisplayRoadmap* rm) {
  OccLookup lookup(rm);
  tree->Walk(&lookup, nullptr, TRUE);
  tree->EndWalk();
  return lookup.GetFound();
}

// A random assembly: `levels` levels of sub-assemblies and parts, ids with
// gaps, and (when asked) repeated ids among siblings.
AssemblyOccurrence* RandomAssembly(AssemblyBuilder& b, std::mt19937& random, int levels, bool repeatIds) {
  std::vector<SiteNode*> below;
  for (int i = 0; i < 4; ++i) below.push_back(b.Part(L"p" + std::to_wstring(i)));
  AssemblySite* top = nullptr;
  for (int level = 0; level < levels; ++level) {
    AssemblySite* site = b.Assembly(L"a" + std::to_wstring(level));
    const int children = 2 + static_cast<int>(random() % 5);
    DWORD id = 0;
    for (int c = 0; c < children; ++c) {
      // Ids with gaps; with repeats asked for, a third keep the previous id.
      if (!(repeatIds && c > 0 && random() % 3 == 0)) id += 1 + random() % 3;
      b.Place(site, below[random() % below.size()], tagG4x4(), id);
    }
    below.push_back(site);
    top = site;
  }
  return b.Build(top);
}

// Every occurrence's path, plus perturbed and random ones.
std::vector<DisplayRoadmap> Roadmaps(AssemblyOccurrence* root, std::mt19937& random) {
  std::vector<DisplayRoadmap> roadmaps;
  roadmaps.push_back(DisplayRoadmap());
  std::vector<OccurrenceNode*> stack = {root};
  while (!stack.empty()) {
    OccurrenceNode* node = stack.back();
    stack.pop_back();
    if (node != root) {
      DisplayRoadmap rm;
      node->GetDisplayRoadmap(&rm);
      roadmaps.push_back(rm);
      DisplayRoadmap changed(rm);
      changed.SetLink(random() % changed.GetEntryCount(), random() % 12);
      roadmaps.push_back(changed);
      DisplayRoadmap longer(rm);
      longer.AddLink(1 + random() % 8);
      roadmaps.push_back(longer);
    }
    if (node->IsAssembly())
      for (OccurrenceNode* child : static_cast<AssemblyOccurrence*>(node)->GetChildList()) stack.push_back(child);
  }
  for (int i = 0; i < 200; ++i) {
    DisplayRoadmap rm;
    for (DWORD n = 1 + random() % 5; n > 0; --n) rm.AddLink(random() % 14);
    roadmaps.push_back(rm);
  }
  return roadmaps;
}

}  // namespace

TEST(AsmTreeLookup, AnswersWhatTheWalkAnswersOnRandomTrees) {
  for (unsigned seed = 1; seed <= 24; ++seed) {
    std::mt19937 random(seed);
    AssemblyBuilder b;
    AssemblyOccurrence* root = RandomAssembly(b, random, 2 + seed % 3, seed % 2 == 0);
    ASSERT_NE(root, nullptr);
    size_t found = 0;
    for (DisplayRoadmap& rm : Roadmaps(root, random)) {
      const OccurrenceNode* expected = WalkLookup(b.Tree(), &rm);
      EXPECT_EQ(b.Tree()->Lookup(&rm), expected) << "seed " << seed << " links " << rm.GetEntryCount();
      found += expected != nullptr;
    }
    EXPECT_GT(found, 0u);
  }
}

TEST(AsmTreeLookup, RepeatedIdsPreferTheFirstAssemblyElseTheLastPart) {
  AssemblyBuilder b;
  PartSite* part = b.Part(L"bolt");
  AssemblySite* sub = b.Assembly(L"sub");
  b.Place(sub, part, tagG4x4(), 1);
  AssemblySite* top = b.Assembly(L"top");
  b.Place(top, part, tagG4x4(), 5);
  b.Place(top, part, tagG4x4(), 5);
  b.Place(top, sub, tagG4x4(), 7);
  b.Place(top, part, tagG4x4(), 7);
  b.Place(top, sub, tagG4x4(), 7);
  AssemblyOccurrence* root = b.Build(top);
  const OccurrenceNode* const* children = root->GetChildList().GetData();

  DisplayRoadmap five = Roadmap({5}), seven = Roadmap({7}), sevenOne = Roadmap({7, 1});
  EXPECT_EQ(b.Tree()->Lookup(&five), children[1]);   // the last part
  EXPECT_EQ(b.Tree()->Lookup(&seven), children[2]);  // the first assembly
  EXPECT_EQ(b.Tree()->Lookup(&sevenOne), static_cast<const AssemblyOccurrence*>(children[4])->GetChildByIndex(0));
  for (DisplayRoadmap* rm : {&five, &seven, &sevenOne}) EXPECT_EQ(b.Tree()->Lookup(rm), WalkLookup(b.Tree(), rm));

  // Id 3 after a gap, twice: slot 2 (the dense slot of 3) is the second
  // child of the id, and the first, an assembly, is the answer.
  AssemblySite* gapped = b.Assembly(L"gapped");
  b.Place(gapped, part, tagG4x4(), 1);
  b.Place(gapped, sub, tagG4x4(), 3);
  b.Place(gapped, part, tagG4x4(), 3);
  b.Place(top, gapped, tagG4x4(), 9);
  AssemblyOccurrence* gappedOcc = static_cast<AssemblyOccurrence*>(root->GetChildByIndex(5));
  ASSERT_EQ(gappedOcc->GetAttachmentID(), 9u);
  DisplayRoadmap nineThree = Roadmap({9, 3});
  EXPECT_EQ(b.Tree()->Lookup(&nineThree), gappedOcc->GetChildByIndex(1));
  EXPECT_EQ(b.Tree()->Lookup(&nineThree), WalkLookup(b.Tree(), &nineThree));

  DisplayRoadmap empty;
  EXPECT_EQ(b.Tree()->Lookup(&empty), root);
  EXPECT_EQ(b.Tree()->Lookup(nullptr), nullptr);
  AssemblyBuilder bare;
  EXPECT_EQ(bare.Tree()->Lookup(&empty), nullptr);
}

TEST(AsmTreeLookup, ChangedIdsAreMetInListOrder) {
  // Ids changed under a built tree leave the list as it was: 2, 3, 1, 2.
  // The walk meets the first assembly of id 2; a binary search of that
  // list lands on the second.
  AssemblyBuilder b;
  PartSite* part = b.Part(L"bolt");
  AssemblySite* sub = b.Assembly(L"sub");
  b.Place(sub, part, tagG4x4(), 1);
  AssemblySite* top = b.Assembly(L"top");
  std::vector<AttachmentNode*> placed;
  for (SiteNode* child : std::initializer_list<SiteNode*>{sub, part, part, sub}) placed.push_back(b.Place(top, child));
  AssemblyOccurrence* root = b.Build(top);
  for (size_t i = 0; i < placed.size(); ++i) placed[i]->SetAttachmentID(std::vector<DWORD>{2, 3, 1, 2}[i]);
  for (const std::vector<DWORD>& ids : std::vector<std::vector<DWORD>>{{2}, {2, 1}, {1}, {3}, {4}}) {
    DisplayRoadmap rm = Roadmap(ids);
    EXPECT_EQ(b.Tree()->Lookup(&rm), WalkLookup(b.Tree(), &rm)) << ids.size() << " links from " << ids[0];
  }
  DisplayRoadmap two = Roadmap({2});
  EXPECT_EQ(b.Tree()->Lookup(&two), root->GetChildByIndex(0));
}

namespace {

// A member roadmap whose first route names the document itself.
JMemberRoadmap Member(std::vector<JMemberRoute> routes) {
  JMemberRoadmap rm("document");
  for (const JMemberRoute& route : routes) EXPECT_EQ(rm.Append(route), S_OK);
  return rm;
}

JMemberRoute Utf16(const char* text) {
  std::vector<BYTE> bytes;
  for (const char* c = text; *c; ++c) bytes.insert(bytes.end(), {static_cast<BYTE>(*c), 0});
  return JMemberRoute(bytes.data(), static_cast<DWORD>(bytes.size()));
}

}  // namespace

TEST(JBindRoadmapToOccLite, MatchesBinaryTextAndStoredRoutes) {
  AssemblyBuilder b;
  PartSite* part = b.Part(L"bolt");
  AssemblySite* sub = b.Assembly(L"sub");
  b.Place(sub, part, tagG4x4(), 2);
  b.Place(sub, part, tagG4x4(), 123);
  AttachmentNode* named = b.Place(sub, part, tagG4x4(), 77);
  AssemblySite* top = b.Assembly(L"top");
  b.Place(top, sub, tagG4x4(), 12);
  AssemblyOccurrence* root = b.Build(top);
  auto* route = new JMemberRoute("key");
  ASSERT_EQ(named->AddUserData(UD_OCC_ROADMAP, route), S_OK);

  struct {
    const char* what;
    JMemberRoadmap rm;
    OccurrenceNode* expected;
  } cases[] = {
      {"binary ids", Member({JMemberRoute(DWORD{12}), JMemberRoute(DWORD{2})}), At(root, {12, 2})},
      {"decimal text", Member({JMemberRoute("12"), JMemberRoute("2")}), At(root, {12, 2})},
      {"three digits are text", Member({JMemberRoute("12"), JMemberRoute("123")}), At(root, {12, 123})},
      {"References passed over",
       Member({Utf16("References"), JMemberRoute("12"), Utf16("References"), JMemberRoute("2")}), At(root, {12, 2})},
      // Four bytes that read "123" and a zero are text, not the id 0x00333231.
      {"digits in four bytes", Member({JMemberRoute("12"), JMemberRoute(DWORD{0x00333231})}), At(root, {12, 123})},
      {"stored route", Member({JMemberRoute("12"), JMemberRoute("key")}), At(root, {12, 77})},
      // The attachment with a stored route answers only to it.
      {"stored route hides the id", Member({JMemberRoute("12"), JMemberRoute(DWORD{77})}), nullptr},
      {"assembly", Member({JMemberRoute("12")}), At(root, {12})},
      {"mismatch", Member({JMemberRoute("13"), JMemberRoute("2")}), nullptr},
      {"first route only", JMemberRoadmap("12"), nullptr},
      {"References only", Member({Utf16("References")}), nullptr},
  };
  for (auto& c : cases) {
    OccurrenceNode* occ = reinterpret_cast<OccurrenceNode*>(1);
    const HRESULT hr = JBindRoadmapToOccLite(root, &c.rm, &occ);
    EXPECT_EQ(occ, c.expected) << c.what;
    EXPECT_EQ(hr, c.expected ? WALK_ABORT : S_OK) << c.what;
  }

  ScopedTraceCapture traces;
  OccurrenceNode* occ = nullptr;
  JMemberRoadmap rm("x");
  EXPECT_EQ(JBindRoadmapToOccLite(nullptr, &rm, &occ), E_INVALIDARG);
  EXPECT_EQ(JBindRoadmapToOccLite(root, nullptr, &occ), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("JBindRoadmapToOccLite", E_INVALIDARG));
}

namespace {

// The answer of the walk JBindRoadmapToOccLite stands for.
OccurrenceNode* WalkBind(AssemblyOccurrence* root, JMemberRoadmap* rm, HRESULT* hr) {
  BindRoadmapToOccLite callback(root, rm);
  callback.Advance();
  *hr = root->Walk(&callback, nullptr, FALSE);
  return callback.GetFound();
}

// A route naming `id` in one of the forms a host writes (binary, decimal
// text), or one that names no id as text does ("007", "+5", no terminator).
JMemberRoute RouteFor(DWORD id, std::mt19937& random) {
  switch (random() % 6) {
    case 0:
    case 1:
      return JMemberRoute(id);
    case 2:
    case 3:
      return JMemberRoute(std::to_string(id).c_str());
    case 4: {
      char text[16];
      std::snprintf(text, sizeof text, "0%u", unsigned(id));
      return JMemberRoute(text);
    }
    default: {
      char text[16];
      const int length = std::snprintf(text, sizeof text, "+%u", unsigned(id));
      return random() % 2 ? JMemberRoute(text) : JMemberRoute(text + 1, DWORD(length - 1));
    }
  }
}

// Member roadmaps of every occurrence's path and of perturbed paths, with
// "References" routes mixed in.
std::vector<JMemberRoadmap> MemberRoadmaps(AssemblyOccurrence* root, std::mt19937& random) {
  std::vector<std::vector<DWORD>> paths;
  std::vector<OccurrenceNode*> stack = {root};
  while (!stack.empty()) {
    OccurrenceNode* node = stack.back();
    stack.pop_back();
    if (node != root) {
      DisplayRoadmap rm;
      node->GetDisplayRoadmap(&rm);
      std::vector<DWORD> path(rm.GetData(), rm.GetData() + rm.GetEntryCount());
      paths.push_back(path);
      path[random() % path.size()] = random() % 12;
      paths.push_back(path);
      path.push_back(1 + random() % 8);
      paths.push_back(path);
    }
    if (node->IsAssembly())
      for (OccurrenceNode* child : static_cast<AssemblyOccurrence*>(node)->GetChildList()) stack.push_back(child);
  }
  std::vector<JMemberRoadmap> roadmaps;
  for (const std::vector<DWORD>& path : paths) {
    for (int form = 0; form < 3; ++form) {
      JMemberRoadmap rm("document");
      for (DWORD id : path) {
        if (random() % 8 == 0) rm.Append(Utf16("References"));
        rm.Append(form == 0 ? JMemberRoute(id) : RouteFor(id, random));
      }
      roadmaps.push_back(rm);
    }
  }
  roadmaps.push_back(JMemberRoadmap("document"));
  return roadmaps;
}

}  // namespace

TEST(JBindRoadmapToOccLite, AnswersWhatTheWalkAnswersOnRandomTrees) {
  // Without attachment user data the bind searches instead of walking: its
  // answers, results and walk count must be the walk's, in id-sorted and in
  // name-sorted children alike.
  ASSERT_EQ(quorra::AttachmentsHoldingUserData(), 0u);
  for (unsigned seed = 1; seed <= 24; ++seed) {
    std::mt19937 random(seed);
    AssemblyBuilder b;
    AssemblyOccurrence* root = RandomAssembly(b, random, 2 + seed % 3, seed % 2 == 0);
    ASSERT_NE(root, nullptr);
    if (seed % 4 == 3) root->SortChildrenByName();  // the id order is no longer trusted
    size_t found = 0;
    for (JMemberRoadmap& rm : MemberRoadmaps(root, random)) {
      HRESULT walkResult = E_FAIL;
      OccurrenceNode* expected = WalkBind(root, &rm, &walkResult);
      const DWORD walksBefore = b.Tree()->GetWalksInProgressCount();
      OccurrenceNode* occ = nullptr;
      EXPECT_EQ(JBindRoadmapToOccLite(root, &rm, &occ), walkResult) << "seed " << seed;
      EXPECT_EQ(occ, expected) << "seed " << seed << " routes " << rm.GetRouteCount();
      EXPECT_EQ(b.Tree()->GetWalksInProgressCount(), walksBefore + 1);
      found += expected != nullptr;
    }
    EXPECT_GT(found, 0u);
  }
  EXPECT_EQ(quorra::AttachmentsHoldingUserData(), 0u);
}

TEST(JBindRoadmapToOccLite, AttachmentUserDataIsCountedUntilTheNodeGoes) {
  const size_t before = quorra::AttachmentsHoldingUserData();
  {
    AssemblyBuilder b;
    AssemblySite* top = b.Assembly(L"top");
    AttachmentNode* first = b.Place(top, b.Part(L"a"), tagG4x4(), 1);
    AttachmentNode* second = b.Place(top, b.Part(L"b"), tagG4x4(), 2);
    b.Build(top);
    ASSERT_EQ(first->AddUserData(5000, nullptr), S_OK);
    ASSERT_EQ(first->AddUserData(5001, nullptr), S_OK);  // one map, counted once
    ASSERT_EQ(second->AddUserData(5000, nullptr), S_OK);
    EXPECT_EQ(quorra::AttachmentsHoldingUserData(), before + 2);
    ASSERT_EQ(first->RemoveUserData(5000), S_OK);
    EXPECT_EQ(quorra::AttachmentsHoldingUserData(), before + 2);
    ASSERT_EQ(top->RemoveAndDestroyAttachment(second), S_OK);
    EXPECT_EQ(quorra::AttachmentsHoldingUserData(), before + 1);
  }
  EXPECT_EQ(quorra::AttachmentsHoldingUserData(), before);
}

// ---- Names through refhost's documents ----

namespace {

class OccurrenceNames : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { quorra::refhost::Install(); }

  std::wstring Path(const std::string& name) const { return quorra::test::Widen(dir_.File(name)); }

  // top.asm: zeta.par, sub.asm (bolt.par twice), alpha.par, the names as
  // refhost's writer stores them.
  void SetUp() override {
    using namespace quorra::refhost;
    for (const char* part : {"zeta.par", "bolt.par", "alpha.par"})
      ASSERT_EQ(WritePartDocument(Path(part).c_str(), PartDocument()), S_OK);
    AssemblyDocument sub;
    sub.AddPlacement(L"bolt.par", tagG4x4());
    sub.AddPlacement(L"bolt.par", tagG4x4::Translation(5, 0, 0));
    ASSERT_EQ(WriteAssemblyDocument(Path("sub.asm").c_str(), sub), S_OK);
    AssemblyDocument top;
    top.AddPlacement(L"zeta.par", tagG4x4());
    top.AddPlacement(L"sub.asm", tagG4x4());
    top.AddPlacement(L"alpha.par", tagG4x4());
    ASSERT_EQ(WriteAssemblyDocument(Path("top.asm").c_str(), top), S_OK);
    ASSERT_EQ(AsmTreeCreateAndLoad(Path("top.asm").c_str(), &tree_, nullptr), S_OK);
    ASSERT_EQ(BindDocuments(tree_), S_OK);
    root_ = tree_->GetRootAssembly();
  }
  void TearDown() override {
    if (tree_) AsmTreeUnloadAndDelete(tree_);
  }

  quorra::test::TempDir dir_;
  AsmTree* tree_ = nullptr;
  AssemblyOccurrence* root_ = nullptr;
};

std::string Name(const OccurrenceNode* node) { return quorra::host::ToUtf8(quorra::GetOccurrenceName(node).View()); }

}  // namespace

TEST_F(OccurrenceNames, OccurrencesAreNamedByTheirDocumentsAndSortByName) {
  ASSERT_EQ(root_->GetChildCount(), 3u);
  EXPECT_EQ(Name(At(root_, {1})), "zeta.par:1");
  EXPECT_EQ(Name(At(root_, {2, 2})), "bolt.par:2");
  EXPECT_EQ(Name(root_), "NoOccurrenceName");  // the root has no placement

  root_->SortChildrenByName();
  std::vector<std::string> order;
  for (OccurrenceNode* child : root_->GetChildList()) order.push_back(Name(child));
  EXPECT_EQ(order, (std::vector<std::string>{"alpha.par:1", "sub.asm:1", "zeta.par:1"}));
  // Out of id order, the lookup still answers like the walk.
  for (const std::vector<DWORD>& ids : std::vector<std::vector<DWORD>>{{1}, {2}, {3}, {2, 1}, {2, 2}}) {
    DisplayRoadmap rm = Roadmap(ids);
    EXPECT_NE(tree_->Lookup(&rm), nullptr);  // where the id search may miss
    EXPECT_EQ(tree_->Lookup(&rm), WalkLookup(tree_, &rm));
  }
  DisplayRoadmap absent = Roadmap({4});
  EXPECT_EQ(tree_->Lookup(&absent), nullptr);
  root_->SortChildren();
}

TEST_F(OccurrenceNames, RemovingAttachmentsAfterASortByNameTakesTheirOwnBranches) {
  // Sorted by name, the children are out of id order: each removal must
  // still find and destroy the branch of the attachment removed.
  root_->SortChildrenByName();
  auto* site = static_cast<AssemblySite*>(root_->GetSite());
  const NodeList<AttachmentNode>& attachments = site->GetAttachmentList();
  while (!attachments.IsEmpty()) {
    ASSERT_EQ(site->RemoveAndDestroyAttachment(attachments.GetAt(0)), S_OK);
    ASSERT_EQ(root_->GetChildCount(), attachments.GetCount());
    for (OccurrenceNode* child : root_->GetChildList())
      ASSERT_NE(std::find(attachments.begin(), attachments.end(), child->GetWritableAttachment()), attachments.end());
  }
}

TEST_F(OccurrenceNames, RoadmapNameStringsAndSourceDocuments) {
  ComPtr<IUnknown> document;
  ASSERT_EQ(root_->GetSite()->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document.Put())), S_OK);
  DisplayRoadmap full = Roadmap({2, 1}), partial = Roadmap({2, 9}), unknown = Roadmap({9, 1}), part = Roadmap({1, 1});
  EXPECT_STREQ(JDisplayRoadmapToOccNameString(document.Get(), &full), "sub.asm:1/bolt.par:1");
  EXPECT_STREQ(JDisplayRoadmapToOccNameString(document.Get(), &partial), "sub.asm:1/");
  EXPECT_STREQ(JDisplayRoadmapToOccNameString(document.Get(), &unknown), "");
  EXPECT_STREQ(JDisplayRoadmapToOccNameString(document.Get(), &part), "zeta.par:1/");  // a leaf ends the path
  EXPECT_STREQ(JDisplayRoadmapToOccNameString(nullptr, &full), "");
  EXPECT_STREQ(JDisplayRoadmapToOccNameString(document.Get(), nullptr), "");

  ComPtr<quorra::refhost::IRefhostDocument> source;
  ASSERT_EQ(At(root_, {2, 1})
                ->GetSourceDocument(quorra::refhost::IID_IRefhostDocument, reinterpret_cast<void**>(source.Put())),
            S_OK);
  EXPECT_EQ(std::wstring(source->GetPath()), Path("bolt.par"));

  ScopedTraceCapture traces;
  void* none = nullptr;
  EXPECT_EQ(root_->GetSourceDocument(IID_IUnknown, &none), E_FAIL);
  EXPECT_EQ(none, nullptr);
  EXPECT_TRUE(traces.Saw("OccurrenceNode::GetSourceDocument", E_FAIL));
}

TEST(OccurrenceQueryInterface, ProbeIdsAreAnsweredByAnAdaptor) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"top");
  b.Place(top, b.Part(L"bolt"), tagG4x4(), 4);
  AssemblyOccurrence* root = b.Build(top);
  OccurrenceNode* part = At(root, {4});

  void* self = nullptr;
  ASSERT_EQ(part->QueryInterface(IID_IJProbeIt, &self), S_OK);
  EXPECT_EQ(self, static_cast<IJProbeIt*>(part));

  ComPtr<IJProbeTarget> target;
  ASSERT_EQ(part->QueryInterface(IID_IJProbeTarget, reinterpret_cast<void**>(target.Put())), S_OK);
  EXPECT_EQ(target->GetProbeTarget(), static_cast<IJProbeIt*>(part));
  ComPtr<IJProbeText> text;
  ASSERT_EQ(target->QueryInterface(IID_IJProbeText, reinterpret_cast<void**>(text.Put())), S_OK);
  std::wstring description;
  EXPECT_EQ(text->GetProbeText(JProbeOptions(), &description), S_OK);
  EXPECT_NE(description.find(L"PartOccurrence"), std::wstring::npos);
  ComPtr<IJProbeResultsSource> results;
  EXPECT_EQ(part->QueryInterface(IID_IJProbeResultsSource, reinterpret_cast<void**>(results.Put())), S_OK);

  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(part->QueryInterface(IID_IJComponent, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(part->QueryInterface(IID_IJProbeIt, nullptr), E_POINTER);
}
