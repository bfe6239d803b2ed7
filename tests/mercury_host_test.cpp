// Mercury contexts named by refhost's own host objects over real documents
// on disk: a membassy of every occurrence, host context objects through both
// of their ways, the body-data lookup from a membassy, the open-document
// look-ups and the change notifications refhost's assembly module receives.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>
#include <quorra/refhost/host_objects.h>
#include <quorra/refhost/notifications.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>
#include <quorra/refhost/sample.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/storage_support.h"

namespace {

using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;
using quorra::test::TempDir;
using quorra::test::Widen;

class TestMercury : public Mercury {
 public:
  IUnknown* Document() const { return document_; }
  const DisplayRoadmap& Roadmap() const { return roadmap_; }
};

DisplayRoadmap RoadmapOf(const OccurrenceNode* occurrence) {
  DisplayRoadmap rm;
  if (occurrence->GetParent()) {
    EXPECT_EQ(occurrence->GetDisplayRoadmap(&rm), S_OK);
  }
  return rm;
}

std::string Text(const DisplayRoadmap& rm) {
  std::string text;
  for (DWORD i = 0; i < rm.GetEntryCount(); ++i) {
    if (i) text += '/';
    text += std::to_string(rm.GetData(i));
  }
  return text;
}

// A function refhost exports, as the library looks it up.
template <class Signature>
Signature* Export(const wchar_t* module, const char* name) {
  return reinterpret_cast<Signature*>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(module), name)));
}

void Collect(OccurrenceNode* node, std::vector<OccurrenceNode*>* out) {
  out->push_back(node);
  if (!node->IsAssembly()) return;
  auto* assembly = static_cast<AssemblyOccurrence*>(node);
  for (DWORD i = 0; i < assembly->GetChildCount(); ++i) Collect(assembly->GetChildByIndex(i), out);
}

// A tree loaded from documents on disk, its documents bound, and the top
// document's persist manager told about the live tree.
class LoadedDocuments {
 public:
  explicit LoadedDocuments(const std::string& top) {
    EXPECT_EQ(AsmTreeCreateAndLoad(Widen(top).c_str(), &tree, nullptr), S_OK);
    if (!tree) return;
    EXPECT_EQ(quorra::refhost::BindDocuments(tree), S_OK);
    root = tree->GetRootAssembly();
    EXPECT_EQ(root->GetSite()->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document.Put())), S_OK);
    EXPECT_EQ(quorra::refhost::SetDocumentTree(document.Get(), tree), S_OK);
  }
  ~LoadedDocuments() {
    if (document) {
      quorra::refhost::SetDocumentTree(document.Get(), nullptr);
      quorra::refhost::ReleasePersistManager(document.Get());
    }
    document = nullptr;
    if (tree) AsmTreeUnloadAndDelete(tree);
  }
  JIDSOverrideTree* Table() {
    ComPtr<IJOverrideTreeHolder> holder;
    EXPECT_EQ(JGetIOT(document.Get(), IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put())), S_OK);
    JIDSOverrideTree* iot = nullptr;
    if (holder) {
      EXPECT_EQ(holder->GetOverrideTree(&iot, 0), S_OK);
    }
    return iot;
  }

  AsmTree* tree = nullptr;
  AssemblyOccurrence* root = nullptr;
  ComPtr<IUnknown> document;
};

class MercuryHost : public ::testing::Test {
 protected:
  void SetUp() override {
    quorra::refhost::Install();
    quorra::refhost::TakeIdsNotifications();
    // top.asm: sub.asm twice and a washer; sub.asm: two bolts and a nut.
    quorra::refhost::PartDocument part;
    for (const char* name : {"bolt.par", "nut.par", "washer.par"})
      ASSERT_EQ(quorra::refhost::WritePartDocument(Widen(dir_.File(name)).c_str(), part), S_OK);
    quorra::refhost::AssemblyDocument sub;
    sub.AddPlacement(L"bolt.par", tagG4x4());
    sub.AddPlacement(L"bolt.par", tagG4x4::Translation(5, 0, 0));
    sub.AddPlacement(L"nut.par", tagG4x4());
    ASSERT_EQ(quorra::refhost::WriteAssemblyDocument(Widen(dir_.File("sub.asm")).c_str(), sub), S_OK);
    quorra::refhost::AssemblyDocument top;
    top.AddPlacement(L"sub.asm", tagG4x4());
    top.AddPlacement(L"washer.par", tagG4x4());
    top.AddPlacement(L"sub.asm", tagG4x4::Translation(0, 50, 0));
    ASSERT_EQ(quorra::refhost::WriteAssemblyDocument(Widen(dir_.File("top.asm")).c_str(), top), S_OK);
    loaded_ = std::make_unique<LoadedDocuments>(dir_.File("top.asm"));
    ASSERT_NE(loaded_->tree, nullptr);
    Collect(loaded_->root, &occurrences_);
    ASSERT_EQ(occurrences_.size(), 10u);  // root, 2 subs with 3 parts each, washer
  }
  void TearDown() override {
    loaded_.reset();
    quorra::refhost::Uninstall();
  }

  // The last child of the root that is (or is not) an assembly.
  OccurrenceNode* LastChild(bool assembly) const {
    OccurrenceNode* found = nullptr;
    for (DWORD i = 0; i < loaded_->root->GetChildCount(); ++i)
      if (loaded_->root->GetChildByIndex(i)->IsAssembly() == assembly) found = loaded_->root->GetChildByIndex(i);
    return found;
  }
  // A part two levels down: the second child of the last sub-assembly.
  OccurrenceNode* DeepPart() const { return static_cast<AssemblyOccurrence*>(LastChild(true))->GetChildByIndex(1); }

  TempDir dir_;
  std::unique_ptr<LoadedDocuments> loaded_;
  std::vector<OccurrenceNode*> occurrences_;
};

TEST_F(MercuryHost, MembassyOfEveryOccurrenceResolvesToIt) {
  // First with the tree the host knows for the document, then without (the
  // live trees are searched for the document).
  for (bool treeKnown : {true, false}) {
    if (!treeKnown) {
      ASSERT_EQ(quorra::refhost::SetDocumentTree(loaded_->document.Get(), nullptr), S_OK);
    }
    for (OccurrenceNode* occurrence : occurrences_) {
      if (occurrence == loaded_->root) continue;
      const DisplayRoadmap expected = RoadmapOf(occurrence);
      SCOPED_TRACE(Text(expected) + (treeKnown ? "" : " (searched)"));
      ComPtr<IUnknown> membassy;
      ASSERT_EQ(quorra::refhost::CreateOccurrenceMembassy(occurrence, membassy.Put()), S_OK);
      // The owner walk: the display roadmap root first, and a member roadmap
      // (the document's route first) that binds to the same occurrence.
      JMemberRoadmap member;
      DisplayRoadmap display;
      bool valid = false;
      ASSERT_EQ(JGetRoadmapsFromMembassy(membassy.Get(), &member, &display, &valid), S_OK);
      EXPECT_TRUE(valid);
      EXPECT_EQ(display.Compare(&expected), 0) << Text(display);
      OccurrenceNode* bound = nullptr;
      JBindRoadmapToOccLite(loaded_->root, &member, &bound);
      EXPECT_EQ(bound, occurrence);

      TestMercury m;
      ASSERT_EQ(m.SetContext(membassy.Get()), S_OK);
      EXPECT_EQ(m.Document(), loaded_->document.Get());
      OccurrenceNode* resolved = nullptr;
      EXPECT_EQ(m.GetOccurrenceNode(&resolved), S_OK);
      EXPECT_EQ(resolved, occurrence);
    }
  }
}

TEST_F(MercuryHost, HostContextsResolveByEveryWayToTheSameOccurrenceAndOverride) {
  JIDSOverrideTree* iot = loaded_->Table();
  ASSERT_NE(iot, nullptr);
  const DisplayRoadmap deep = RoadmapOf(DeepPart());
  ASSERT_EQ(iot->SetStyleID(deep.GetEntryCount(), deep.GetData(), 7, IOT_PART, 0), S_OK);

  for (OccurrenceNode* occurrence :
       {DeepPart(), LastChild(true), LastChild(false), static_cast<OccurrenceNode*>(loaded_->root)}) {
    const DisplayRoadmap path = RoadmapOf(occurrence);
    SCOPED_TRACE(Text(path));
    JIDSOverride* expectedOverride = nullptr;
    iot->GetOverride(path.GetEntryCount(), path.GetData(), &expectedOverride);
    ComPtr<IUnknown> context;
    ASSERT_EQ(quorra::refhost::CreateHostContext(loaded_->document.Get(), path, context.Put()), S_OK);
    // The object itself (its persist manager stands for the document, which
    // tells each level's attachment id), and "JGetContextInformation" with
    // either flag.
    TestMercury byObject, byInformation1, byInformation2;
    ASSERT_EQ(byObject.SetContext(context.Get()), S_OK);
    ASSERT_EQ(byInformation1.SetContext(context.Get(), SetContextFlags(1)), S_OK);
    ASSERT_EQ(byInformation2.SetContext(context.Get(), SetContextFlags(2)), S_OK);
    for (TestMercury* m : {&byObject, &byInformation1, &byInformation2}) {
      EXPECT_EQ(m->Roadmap().Compare(&path), 0) << Text(m->Roadmap());
      OccurrenceNode* resolved = nullptr;
      EXPECT_EQ(m->GetOccurrenceNode(&resolved), S_OK);
      EXPECT_EQ(resolved, occurrence);
      JIDSOverride* node = nullptr;
      EXPECT_EQ(m->GetOverride(&node), expectedOverride ? S_OK : E_FAIL);
      EXPECT_EQ(node, expectedOverride);
    }
    // An unknown flags value leaves the context as it was.
    ComPtr<IUnknown> other;
    ASSERT_EQ(quorra::refhost::CreateHostContext(loaded_->document.Get(), DisplayRoadmap(), other.Put()), S_OK);
    EXPECT_EQ(byInformation1.SetContext(other.Get(), SetContextFlags(3)), S_OK);
    EXPECT_EQ(byInformation1.Roadmap().Compare(&path), 0);

    // A context's first occurrence is the membassy of the same member.
    if (path.GetEntryCount() != 0) {
      auto* first = Export<HRESULT(IUnknown*, REFIID, void**)>(L"inkle.dll", "JGetFirstOccurrence");
      ComPtr<IUnknown> membassy;
      ASSERT_EQ(first(context.Get(), IID_IJMembassy, reinterpret_cast<void**>(membassy.Put())), S_OK);
      DisplayRoadmap display;
      bool valid = false;
      ASSERT_EQ(JGetRoadmapsFromMembassy(membassy.Get(), nullptr, &display, &valid), S_OK);
      EXPECT_TRUE(valid);
      EXPECT_EQ(display.Compare(&path), 0);
    }
  }
}

TEST_F(MercuryHost, ObjectsThatNameNoMemberAreRefused) {
  ScopedTraceCapture traces;
  DisplayRoadmap unknown;
  unknown.AddLink(999);
  DisplayRoadmap belowPart = RoadmapOf(LastChild(false));
  belowPart.AddLink(1);
  ComPtr<IUnknown> part, object;
  ASSERT_EQ(DeepPart()->GetSite()->GetDocument(IID_IUnknown, reinterpret_cast<void**>(part.Put())), S_OK);
  struct {
    const char* what;
    IUnknown* document;
    DisplayRoadmap roadmap;
  } cases[] = {{"the root", loaded_->document.Get(), DisplayRoadmap()},
               {"an unknown id", loaded_->document.Get(), unknown},
               {"a path below a part", loaded_->document.Get(), belowPart},
               {"a part document", part.Get(), RoadmapOf(DeepPart())}};
  for (auto& c : cases) {
    EXPECT_EQ(quorra::refhost::CreateMembassy(c.document, c.roadmap, object.Put()), E_INVALIDARG) << c.what;
    EXPECT_EQ(object.Get(), nullptr) << c.what;
  }
  EXPECT_TRUE(traces.Saw("refhost::CreateMembassy", E_INVALIDARG));
  // An object that is none of refhost's is no context.
  TestMercury m;
  EXPECT_EQ(m.SetContext(part.Get(), SetContextFlags(1)), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("JGetContextInformation", E_INVALIDARG));
}

TEST_F(MercuryHost, BodyDataOfTheOccurrenceAMembassyStandsFor) {
  JIDSOverrideTree* iot = loaded_->Table();
  ASSERT_NE(iot, nullptr);
  const DisplayRoadmap deep = RoadmapOf(DeepPart());
  ASSERT_EQ(iot->SetStyleID(deep.GetEntryCount(), deep.GetData(), 7, IOT_PART, 0), S_OK);
  JIDSOverride* node = nullptr;
  iot->GetOverride(deep.GetEntryCount(), deep.GetData(), &node);
  auto* body = new JOverrideBodyData();
  tagG4x4 matrix;
  matrix(1, 3) = 6;
  ASSERT_EQ(body->Populate(L"elsewhere.asm", {{4, 2}}, matrix), S_OK);
  ASSERT_EQ(node->SetBodyData(body), S_OK);

  // Through the owner walk and through a reverse membassy's full roadmap.
  for (bool reverse : {false, true}) {
    SCOPED_TRACE(reverse ? "reverse" : "walked");
    quorra::refhost::MembassyOptions options;
    options.reverse = reverse;
    ComPtr<IUnknown> membassy;
    ASSERT_EQ(quorra::refhost::CreateMembassy(loaded_->document.Get(), deep, membassy.Put(), options), S_OK);
    JOverrideBodyData* found = nullptr;
    ASSERT_EQ(JGetOverrideBodyData(loaded_->document.Get(), membassy.Get(), &found), S_OK);
    EXPECT_EQ(found->GetMatrix()(1, 3), 6.0);

    // Its sibling has no body.
    DisplayRoadmap sibling = deep;
    sibling.SetTopLink(deep.GetData(deep.GetEntryCount() - 1) - 1);
    ASSERT_EQ(quorra::refhost::CreateMembassy(loaded_->document.Get(), sibling, membassy.Put(), options), S_OK);
    EXPECT_EQ(JGetOverrideBodyData(loaded_->document.Get(), membassy.Get(), &found), E_FAIL);
    EXPECT_EQ(found, nullptr);
  }
}

TEST_F(MercuryHost, OpenDocumentsAreFoundByName) {
  using Lookup = JGetDocumentIfOpenSignature*;
  auto* byName = Export<JGetDocumentIfOpenSignature>(L"dulcet.dll", "JGetDocumentIfOpen");
  auto* byNameEx = Export<JGetDocumentIfOpenSignature>(L"dulcet.dll", "JGetDocumentIfOpenEx");
  auto* ignoringMember = Export<JGetDocumentIfOpenSignature>(L"dulcet.dll", "JGetDocumentIfOpenIgnoreMemberName");
  ASSERT_TRUE(byName && byNameEx && ignoringMember);

  std::wstring top = Widen(dir_.File("top.asm"));
  std::wstring backslashed = top;
  std::replace(backslashed.begin(), backslashed.end(), L'/', L'\\');
  struct {
    const char* what;
    Lookup lookup;
    std::wstring name;
    bool found;
  } cases[] = {{"as held", byName, top, true},
               {"backslashes", byNameEx, backslashed, true},
               {"a member name", byName, top + L"|Member", false},
               {"a member name ignored", ignoringMember, top + L"|Member", true},
               {"a file not open", ignoringMember, Widen(dir_.File("nothere.asm")), false}};
  for (auto& c : cases) {
    ComPtr<IUnknown> document;
    HRESULT hr = c.lookup(c.name.c_str(), IID_IUnknown, reinterpret_cast<void**>(document.Put()));
    EXPECT_EQ(hr, c.found ? S_OK : S_FALSE) << c.what;
    EXPECT_EQ(document.Get(), c.found ? loaded_->document.Get() : nullptr) << c.what;
  }

  // A body naming the top assembly finds it by name, and keeps it.
  {
    JOverrideBodyData body;
    ASSERT_EQ(body.Populate(top.c_str(), {}, tagG4x4()), S_OK);
    ComPtr<IUnknown> document;
    EXPECT_EQ(body.GetAsmDoc(IID_IUnknown, reinterpret_cast<void**>(document.Put())), S_OK);
    EXPECT_EQ(document.Get(), loaded_->document.Get());
    EXPECT_TRUE(body.GetAssemblyDocumentIdentity().DocumentSet());
  }

  // Once the tree and its documents are gone, nothing is open.
  loaded_.reset();
  ComPtr<IUnknown> document;
  EXPECT_EQ(byName(top.c_str(), IID_IUnknown, reinterpret_cast<void**>(document.Put())), S_FALSE);
  EXPECT_EQ(document.Get(), nullptr);
}

TEST_F(MercuryHost, ChangeNotificationsReachTheAssemblyModule) {
  ComPtr<IUnknown> membassy;
  ASSERT_EQ(quorra::refhost::CreateOccurrenceMembassy(DeepPart(), membassy.Put()), S_OK);
  Mercury m;
  ASSERT_EQ(m.SetContext(membassy.Get()), S_OK);
  ASSERT_EQ(m.UpdateIDS(10), S_OK);         // what the property setters send
  ASSERT_EQ(m.UpdateIDS(0x1 | 0x4), S_OK);  // every tree
  const std::vector<quorra::refhost::IdsNotification> seen = quorra::refhost::TakeIdsNotifications();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[0].tree == loaded_->tree && seen[0].code == 28 && seen[0].flags == 10);
  EXPECT_TRUE(seen[1].tree == nullptr && seen[1].code == 28 && seen[1].flags == 5);
  EXPECT_TRUE(quorra::refhost::TakeIdsNotifications().empty());
}

}  // namespace
