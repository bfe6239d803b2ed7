// Applying override tables to live occurrences: the selection word, each
// kind, in-place activation, override tracking, configuration mode, moving
// overrides, configuration entries, and the re-apply refhost makes after a
// change notification.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/apply_host.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>
#include <quorra/refhost/sample.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/assembly_builder.h"
#include "support/storage_support.h"

namespace {

using quorra::host::ComPtr;
using quorra::test::AsmAt;
using quorra::test::At;

// Opens the per-kind steps for the tests that call one directly.
class TestTable : public JIDSOverrideTree {
 public:
  using JIDSOverrideTree::ApplyBody;
  using JIDSOverrideTree::ApplyStyle;
  using JIDSOverrideTree::MapConfigOverrides;
};

DWORD UserWord(const OccurrenceNode* occurrence, DWORD type, int* found = nullptr) {
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(occurrence->GetUserData(type, found)));
}

tagG4x4 Translation(double x) {
  tagG4x4 m;
  m(0, 3) = x;
  return m;
}

// top: sub (1) holding bolts (1, 2), and a bolt (2), with an empty table.
struct Scene {
  Scene() {
    auto& b = builder_;
    top_ = b.Assembly(L"top");
    sub_ = b.Assembly(L"sub");
    bolt_ = b.Part(L"bolt");
    b.Place(sub_, bolt_);
    b.Place(sub_, bolt_);
    b.Place(top_, sub_);
    b.Place(top_, bolt_);
    root_ = b.Build(top_);
    table_.SetAssemblyName(GUserText(L"top.asm"));
  }
  virtual ~Scene() = default;

  JIDSOverride* Node(std::vector<DWORD> ids, DWORD type = IOT_PART) {
    JIDSOverride* node = nullptr;
    EXPECT_EQ(table_.AddOverride(static_cast<DWORD>(ids.size()), ids.data(), type, &node), S_OK);
    return node;
  }
  HRESULT Apply(DWORD flags) { return table_.Apply(nullptr, root_, flags); }

  quorra::test::AssemblyBuilder builder_;
  AssemblySite* top_ = nullptr;
  AssemblySite* sub_ = nullptr;
  PartSite* bolt_ = nullptr;
  AssemblyOccurrence* root_ = nullptr;
  TestTable table_;
};

class ApplyTest : public ::testing::Test, public Scene {};

// Every kind is stored on one override; one selection bit at a time must
// copy its kind and no other.
TEST_F(ApplyTest, EachSelectionBitCopiesOnlyItsKind) {
  JIDSOverride* node = Node({2});
  node->SetStyle(7, 0);
  tagG4x4 m = Translation(5);
  node->SetMatrix(&m);
  node->SetSolverStatus(3);
  node->SetVariable(10, 1, 2.5);
  node->AddConstraint(4, 9);
  node->SetAdaptable();
  node->SetAdjustablePart();
  node->SetColorOverride(0x123456);
  node->SetHidden(1);

  struct Kind {
    const char* name;
    DWORD flag;
    std::function<bool(OccurrenceNode*)> applied;
  };
  const std::vector<Kind> kinds = {
      {"style", 0x1, [](OccurrenceNode* o) { return o->GetSymbology() == 7; }},
      {"matrix", 0x2, [](OccurrenceNode* o) { return o->IsMatrixOverridden(); }},
      {"status", 0x4, [](OccurrenceNode* o) { return o->GetOverrideSolverStatus() == 3; }},
      {"display", 0x10, [](OccurrenceNode* o) { return o->IsHidden(); }},
      {"variables", 0x20,
       [](OccurrenceNode* o) {
         double v = 0;
         return o->GetOverrideVariable(10, 1, &v) == S_OK && v == 2.5;
       }},
      {"adaptable", 0x80, [](OccurrenceNode* o) { return o->IsAdaptable(); }},
      {"adjustable", 0x1000, [](OccurrenceNode* o) { return o->IsAdjustablePart(); }},
      {"constraints", 0x4000,
       [](OccurrenceNode* o) {
         std::map<DWORD, DWORD>* c = nullptr;
         return o->GetOverrideConstraints(&c) == S_OK && c && c->count(4);
       }},
      {"colour", 0x20000, [](OccurrenceNode* o) { return o->GetOverrideColor() == 0x123456; }},
  };
  for (const Kind& selected : kinds) {
    SCOPED_TRACE(selected.name);
    Scene fresh;
    JIDSOverride* copy = fresh.Node({2});
    copy->SetProps(node->GetProps());
    copy->SetPropsEx(node->GetPropsEx());
    copy->SetStyle(7, 0);
    copy->SetMatrix(&m);
    copy->SetSolverStatus(3);
    copy->SetVariable(10, 1, 2.5);
    copy->AddConstraint(4, 9);
    copy->SetAdaptable();
    copy->SetAdjustablePart();
    copy->SetColorOverride(0x123456);
    ASSERT_EQ(fresh.Apply(selected.flag), S_OK);
    OccurrenceNode* bolt = At(fresh.root_, {2});
    for (const Kind& other : kinds) EXPECT_EQ(other.applied(bolt), &other == &selected) << other.name;
  }
}

TEST_F(ApplyTest, HidingAnAssemblyHidesItsSubtreeAndShowingUndoesIt) {
  JIDSOverride* node = Node({1}, IOT_ASSEMBLY);
  node->SetHidden(1);
  ASSERT_EQ(Apply(0x10), S_OK);
  EXPECT_TRUE(At(root_, {1})->IsHidden());
  EXPECT_TRUE(At(root_, {1, 1})->IsHiddenByParent());
  EXPECT_TRUE(At(root_, {1, 2})->IsHiddenByParent());
  EXPECT_FALSE(At(root_, {2})->IsHidden());

  node->SetHidden(0);
  ASSERT_EQ(Apply(0x10), S_OK);
  EXPECT_FALSE(At(root_, {1})->IsHidden());
  EXPECT_FALSE(At(root_, {1, 1})->IsHiddenByParent());
}

// Hidden in its subassembly counts below the root's own children only.
TEST_F(ApplyTest, HiddenInSubassemblyHidesBelowTheTopLevel) {
  Node({1, 1})->AddOccurrencePropertyOverride(JOET_HIDE_IN_SUBASSEMBLY, 1);
  Node({2})->AddOccurrencePropertyOverride(JOET_HIDE_IN_SUBASSEMBLY, 1);
  ASSERT_EQ(Apply(0x10), S_OK);
  EXPECT_TRUE(At(root_, {1, 1})->IsHiddenInSubassembly());
  EXPECT_TRUE(At(root_, {1, 1})->IsHidden());
  EXPECT_TRUE(At(root_, {2})->IsHiddenInSubassembly());
  EXPECT_FALSE(At(root_, {2})->IsHidden());
}

TEST_F(ApplyTest, InPlaceActiveChildKeepsItsGeometryButTakesItsStyle) {
  OccurrenceNode* bolt = At(root_, {2});
  bolt->SetIPA();
  bolt->SetIsActive();
  bolt->SetConsideredActive();
  JIDSOverride* node = Node({2});
  node->SetStyle(9, 0);
  tagG4x4 m = Translation(3);
  node->SetMatrix(&m);
  ASSERT_EQ(Apply(0x3), S_OK);
  EXPECT_FALSE(bolt->IsMatrixOverridden());
  EXPECT_EQ(bolt->GetSymbology(), 9u);

  // A part that is only active (not in place) takes both.
  bolt->ClearIPA();
  ASSERT_EQ(Apply(0x3), S_OK);
  EXPECT_TRUE(bolt->IsMatrixOverridden());

  // A simplified assembly edited in place takes no style.
  OccurrenceNode* sub = At(root_, {1});
  sub->SetSimplifiedNoRebind();
  sub->SetIPA();
  Node({1}, IOT_ASSEMBLY)->SetStyle(9, 0);
  ASSERT_EQ(Apply(0x1), S_OK);
  EXPECT_EQ(sub->GetSymbology(), 0u);
  sub->ClearIPA();
  ASSERT_EQ(Apply(0x1), S_OK);
  EXPECT_EQ(sub->GetSymbology(), 9u);
}

TEST_F(ApplyTest, InPlaceActiveAssemblyIsSkippedUnlessCancelled) {
  builder_.Tree()->SetIPA();
  AssemblyOccurrence* sub = AsmAt(root_, {1});
  sub->SetIPA();
  sub->SetIsActive();
  sub->SetConsideredActive();
  Node({1, 1})->SetSolverStatus(5);
  const DWORD flags = 0x4 | 0x100;
  ASSERT_EQ(Apply(flags), S_OK);
  EXPECT_EQ(At(root_, {1, 1})->GetOverrideSolverStatus(), 0u);
  // 0x200 cancels the skip for the assembly applied to, never for nested ones.
  ASSERT_EQ(Apply(flags | 0x200), S_OK);
  EXPECT_EQ(At(root_, {1, 1})->GetOverrideSolverStatus(), 0u);
  ASSERT_EQ(table_.Apply(nullptr, sub, flags | 0x400000), S_OK);
  EXPECT_EQ(At(root_, {1, 1})->GetOverrideSolverStatus(), 0u);
  ASSERT_EQ(table_.Apply(nullptr, sub, flags | 0x200 | 0x400000), S_OK);
  EXPECT_EQ(At(root_, {1, 1})->GetOverrideSolverStatus(), 5u);
}

TEST_F(ApplyTest, ParentIPAOnlyRestrictsTheSteps) {
  Node({1, 1})->SetSolverStatus(4);
  Node({2})->SetSolverStatus(6);
  AsmAt(root_, {1})->SetIPA();  // marks the bolts below PARENT_IPA
  root_->SetParentIPA();
  ASSERT_EQ(Apply(0x4 | 0x400), S_OK);
  EXPECT_EQ(At(root_, {1, 1})->GetOverrideSolverStatus(), 4u);
  EXPECT_EQ(At(root_, {2})->GetOverrideSolverStatus(), 0u);
}

TEST_F(ApplyTest, StartsAtTheOccurrencesOwnOverride) {
  Node({1, 2})->SetSolverStatus(8);
  Node({2})->SetSolverStatus(9);
  AssemblyOccurrence* sub = AsmAt(root_, {1});
  ASSERT_EQ(table_.Apply(nullptr, sub, 0x4 | 0x400000), S_OK);
  EXPECT_EQ(At(root_, {1, 2})->GetOverrideSolverStatus(), 8u);
  EXPECT_EQ(At(root_, {2})->GetOverrideSolverStatus(), 0u);
  // An occurrence whose path holds a part override has no start.
  JIDSOverrideTree partOnly;
  DWORD path[] = {1};
  JIDSOverride* node = nullptr;
  ASSERT_EQ(partOnly.AddOverride(1, path, IOT_PART, &node), S_OK);
  EXPECT_EQ(partOnly.Apply(nullptr, sub, 0x4 | 0x400000), S_FALSE);
  EXPECT_EQ(table_.Apply(nullptr, nullptr, 0x4), E_INVALIDARG);
}

TEST_F(ApplyTest, StyleRules) {
  OccurrenceNode* bolt = At(root_, {2});
  JIDSOverride* node = Node({2});
  node->SetStyle(11, 0);
  node->SetAltStyle(12, 0);
  ComPtr<quorra::host::ReferenceStyleLibrary> library(new quorra::host::ReferenceStyleLibrary());

  EXPECT_EQ(table_.ApplyStyle(library.Get(), bolt, node, 1), S_OK);
  EXPECT_EQ(bolt->GetSymbology(), 12u);
  EXPECT_EQ(bolt->GetStyleLibrary(), library.Get());
  EXPECT_EQ(table_.ApplyStyle(library.Get(), bolt, node, 0), S_OK);
  EXPECT_EQ(bolt->GetSymbology(), 11u);

  // With a document id the id is kept and the library left alone.
  node->SetDocID(77);
  node->SetStyle(13, 0);
  EXPECT_EQ(table_.ApplyStyle(nullptr, bolt, node, 0), S_OK);
  EXPECT_EQ(bolt->GetSymbology(), 13u);
  EXPECT_EQ(UserWord(bolt, 128), 77u);
  EXPECT_EQ(bolt->GetStyleLibrary(), library.Get());

  // An assembly gets a style only while shown simplified.
  OccurrenceNode* sub = At(root_, {1});
  EXPECT_EQ(table_.ApplyStyle(nullptr, sub, node, 0), S_OK);
  EXPECT_EQ(sub->GetSymbology(), 0u);
  sub->SetSimplifiedNoRebind();
  EXPECT_EQ(table_.ApplyStyle(nullptr, sub, node, 0), S_OK);
  EXPECT_EQ(sub->GetSymbology(), 13u);
  EXPECT_EQ(table_.ApplyStyle(nullptr, nullptr, node, 0), E_INVALIDARG);
}

TEST_F(ApplyTest, TrackingMarksTheSourceAndTheIntermediateAssemblies) {
  builder_.Tree()->SetOverrideTrackingMode(true);
  tagG4x4 m = Translation(1);
  Node({1, 2})->SetMatrix(&m);
  ASSERT_EQ(Apply(0x2), S_OK);
  OccurrenceNode* bolt = At(root_, {1, 2});
  EXPECT_EQ(bolt->GetUserData(UD_XFORM_OVERRIDE_SOURCE, nullptr), root_);
  EXPECT_EQ(UserWord(At(root_, {1}), UD_HAVE_OVERRIDDEN_CHILD), 0x10000u);
  int found = 0;
  root_->GetUserData(UD_HAVE_OVERRIDDEN_CHILD, &found);
  EXPECT_FALSE(found);  // the source itself is not marked
  EXPECT_EQ(table_.GetApplySource(), nullptr);

  // Without tracking nothing is recorded.
  Scene untracked;
  untracked.Node({1, 2})->SetMatrix(&m);
  ASSERT_EQ(untracked.Apply(0x2), S_OK);
  At(untracked.root_, {1, 2})->GetUserData(UD_XFORM_OVERRIDE_SOURCE, &found);
  EXPECT_FALSE(found);
}

TEST_F(ApplyTest, BodyNeedsItsDataAndMarksTheOccurrence) {
  OccurrenceNode* bolt = At(root_, {1, 1});
  JIDSOverride* node = Node({1, 1});
  node->SetProps(node->GetProps() | IOT_OVERRIDE_BODY);
  quorra::host::ScopedTraceCapture traces;
  EXPECT_EQ(table_.ApplyBody(bolt, node), E_POINTER);
  EXPECT_TRUE(traces.Saw("JIDSOverrideTree::ApplyBody", E_POINTER));

  auto* body = new JOverrideBodyData();
  ASSERT_EQ(body->Populate(L"", {{1, 2}}, Translation(4)), S_OK);
  ASSERT_EQ(node->SetBodyData(body), S_OK);
  builder_.Tree()->SetOverrideTrackingMode(true);
  bolt->SetSimplifiedNoRebind();
  // The one-step body bit leaves a two-step override alone.
  ASSERT_EQ(Apply(0x2000), S_OK);
  EXPECT_FALSE(bolt->IsBodyOverridden());
  ASSERT_EQ(Apply(0x8), S_OK);
  JOverrideBodyData* applied = nullptr;
  ASSERT_EQ(bolt->GetOverrideBodyData(&applied), S_OK);
  ASSERT_NE(applied, nullptr);
  EXPECT_EQ(applied->GetAssemblyName(), GUserText(L"top.asm"));  // unnamed bodies take the table's
  EXPECT_EQ(applied->GetVersionMap().at(1), 2u);
  EXPECT_NE(applied, body);
  EXPECT_FALSE(bolt->IsSimplified());
  EXPECT_EQ(bolt->GetUserData(UD_BODY_OVERRIDE_SOURCE, nullptr), root_);
  EXPECT_EQ(UserWord(At(root_, {1}), UD_HAVE_OVERRIDDEN_CHILD), 0x20000u);
}

// Configuration mode maps the settings and applies none of the kinds.
TEST_F(ApplyTest, ConfigurationModeOnlyMapsSettings) {
  JIDSOverride* sub = Node({1}, IOT_ASSEMBLY);
  ASSERT_EQ(sub->AddConfigSetting(30, 9, 1), S_OK);
  ASSERT_EQ(sub->AddConfigSetting(31, 10, 0), S_OK);
  JIDSOverride* bolt = Node({1, 1});
  bolt->SetStyle(5, 0);
  tagG4x4 m = Translation(2);
  bolt->SetMatrix(&m);
  bolt->SetHidden(1);
  bolt->SetSolverStatus(2);
  Node({1, 2});
  // Unlisted children are kept as they are: this is about the kinds.
  ASSERT_EQ(Apply(0x40 | 0x2 | 0x4 | 0x10 | 0x100000), S_OK);
  EXPECT_FALSE(At(root_, {1, 1})->IsMatrixOverridden());
  EXPECT_FALSE(At(root_, {1, 1})->IsHidden());
  EXPECT_EQ(At(root_, {1, 1})->GetOverrideSolverStatus(), 0u);
  auto* map = static_cast<quorra::ConfigSettingMap*>(At(root_, {1})->GetUserData(UD_DISPLAY_SETTING_MAP, nullptr));
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(map->size(), 2u);
  EXPECT_EQ(map->at(30).GetType(), 9);
  EXPECT_EQ(map->at(30).GetFlags(), 1u);
  EXPECT_EQ(map->at(31).GetFlags(), 0u);
}

TEST_F(ApplyTest, ConfigurationHidesUnlistedChildren) {
  Node({1}, IOT_ASSEMBLY);
  Node({1, 2})->SetHidden(0);
  ASSERT_EQ(Apply(0x40 | 0x10000000), S_OK);
  EXPECT_TRUE(At(root_, {2})->IsHidden());  // no override
  EXPECT_FALSE(At(root_, {1})->IsHidden());
  EXPECT_TRUE(At(root_, {1, 1})->IsHidden());
  EXPECT_FALSE(At(root_, {1, 2})->IsHidden());
  // Shown instead with 0x40000000, kept with 0x100000.
  ASSERT_EQ(Apply(0x40 | 0x40000000), S_OK);
  EXPECT_FALSE(At(root_, {2})->IsHidden());
  At(root_, {2})->Hide(FALSE);
  ASSERT_EQ(Apply(0x40 | 0x100000), S_OK);
  EXPECT_TRUE(At(root_, {2})->IsHidden());
  EXPECT_EQ(Apply(0x40), S_OK);
}

TEST_F(ApplyTest, TransferMovesTheNode) {
  JIDSOverride* node = Node({2});
  node->SetStyle(21, 0);
  node->AddOccurrencePropertyOverride(JOET_NOT_SELECTABLE, 1);
  Node({1, 1});
  const DWORD from[] = {2}, to[] = {1, 5}, taken[] = {1, 1};
  EXPECT_EQ(table_.Transfer(1, 1, from, 2, to), E_INVALIDARG);
  EXPECT_EQ(table_.Transfer(0, 0, from, 2, to), E_INVALIDARG);
  EXPECT_EQ(table_.Transfer(0, 1, from, 2, nullptr), E_INVALIDARG);
  const DWORD missing[] = {3};
  EXPECT_EQ(table_.Transfer(0, 1, missing, 2, to), S_FALSE);

  {
    quorra::host::ScopedTraceCapture traces;
    EXPECT_EQ(table_.Transfer(0, 1, from, 2, taken), E_FAIL);
    EXPECT_TRUE(traces.Saw("JIDSOverrideTree::Transfer", E_FAIL));
  }
  JIDSOverride* found = nullptr;
  EXPECT_EQ(table_.GetOverride(1, from, &found), S_OK);
  EXPECT_EQ(found, node);
  EXPECT_EQ(table_.GetOverride(2, taken, &found), S_OK);

  ASSERT_EQ(table_.Transfer(0, 1, from, 2, to), S_OK);
  EXPECT_EQ(table_.GetOverride(1, from, &found), E_FAIL);
  ASSERT_EQ(table_.GetOverride(2, to, &found), S_OK);
  EXPECT_EQ(found, node);
  EXPECT_EQ(node->GetAttachmentID(), 5u);
  EXPECT_EQ(node->GetStyle(), 21u);
  EXPECT_FALSE(node->GetPropsEx() & IOTX_OCC_PROPERTIES);
}

TEST_F(ApplyTest, TransferRefusesToMoveBelowItself) {
  Node({1}, IOT_ASSEMBLY);
  const DWORD from[] = {1}, below[] = {1, 7};
  EXPECT_EQ(table_.Transfer(0, 1, from, 2, below), E_FAIL);
  JIDSOverride* found = nullptr;
  EXPECT_EQ(table_.GetOverride(1, from, &found), S_OK);
  EXPECT_EQ(table_.GetOverride(2, below, &found), E_FAIL);
}

// ---- configuration entries ----

JMemberRoute Text16(const std::string& text) {
  std::u16string units(text.begin(), text.end());
  return JMemberRoute(units.data(), static_cast<DWORD>(units.size() * 2));
}

JMemberRoadmap Roadmap(const std::vector<JMemberRoute>& links) {
  JMemberRoadmap roadmap;
  for (const JMemberRoute& link : links) EXPECT_EQ(roadmap.Append(link), S_OK);
  return roadmap;
}

TEST_F(ApplyTest, ConfigEntryCreatesTheNodesOfItsReferences) {
  JMemberRoadmap rm =
      Roadmap({Text16("References"), JMemberRoute(DWORD(1)), Text16("References"), Text16("bolt.par:1")});
  JIDSOverride* out = nullptr;
  ASSERT_EQ(table_.AddConfigEntry(&rm, 0, &out), S_OK);
  JIDSOverride* sub = table_.GetAsmOverride()->GetChild(1);
  ASSERT_NE(sub, nullptr);
  EXPECT_TRUE(sub->IsAssembly());
  EXPECT_FALSE(sub->GetProps() & IOT_HIDDEN);  // inner links are made shown
  JIDSOverride* bolt = static_cast<JAsmOverride*>(sub)->GetChild(Text16("bolt.par:1"));
  ASSERT_NE(bolt, nullptr);
  EXPECT_EQ(out, bolt);
  EXPECT_TRUE(bolt->IsPart());
  EXPECT_TRUE(bolt->GetProps() & IOT_HIDDEN);  // options without 0x2

  // Options for the last link: 0x20 makes it an assembly; shown with
  // coordinate systems and sketches.
  JMemberRoadmap second = Roadmap({Text16("References"), JMemberRoute(DWORD(2))});
  ASSERT_EQ(table_.AddConfigEntry(&second, 0x20 | 0x2 | 0x8000000 | 0x10000000, &out), S_OK);
  EXPECT_TRUE(out->IsAssembly());
  EXPECT_EQ(out->GetProps() & (IOT_HIDDEN | IOT_COORDSYS_ON | IOT_SKETCHES_ON), IOT_COORDSYS_ON | IOT_SKETCHES_ON);
  // "123\0" is a name, not an id.
  const char digits[4] = {'1', '2', '3', 0};
  JMemberRoadmap named = Roadmap({Text16("References"), JMemberRoute(digits, 4)});
  ASSERT_EQ(table_.AddConfigEntry(&named, 0, &out), S_OK);
  EXPECT_EQ(out->GetAttachmentID(), 0u);
  EXPECT_EQ(table_.AddConfigEntry(nullptr, 0, &out), E_INVALIDARG);
}

TEST_F(ApplyTest, ConfigEntrySettings) {
  struct Case {
    std::vector<std::string> tail;
    DWORD options;
    DWORD id;
    BYTE type;  // 0: no setting
  };
  const std::vector<Case> cases = {
      {{"Layouts"}, 0, 0xFFFFFFD6u, 2},    {{"Layouts"}, 0x1, 0xFFFFFFD6u, 0}, {{"Layouts", "12"}, 0, 12, 5},
      {{"Layouts", "12", "13"}, 0, 12, 0}, {{"Patterns", "40"}, 0, 40, 6},     {{"Patterns", "40", "41"}, 0, 41, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail.size() > 1 ? c.tail[0] + " " + c.tail[1] : c.tail[0]);
    JIDSOverrideTree table;
    std::vector<JMemberRoute> links = {Text16("References"), JMemberRoute(DWORD(1))};
    for (const std::string& text : c.tail) links.push_back(Text16(text));
    JMemberRoadmap rm = Roadmap(links);
    JIDSOverride* out = nullptr;
    ASSERT_EQ(table.AddConfigEntry(&rm, c.options | 0x20, &out), S_OK);
    BYTE type = 0;
    DWORD flags = 0;
    if (c.type == 0) {
      EXPECT_EQ(out->GetConfigSettingMap(false), nullptr);
      continue;
    }
    ASSERT_EQ(out->GetConfigSetting(c.id, &type, &flags), S_OK);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(flags, 1u);
  }
}

TEST(ApplyExports, PmiEntriesForwardToTheHost) {
  int a = 0, b = 0;
  quorra::refhost::Uninstall();
  EXPECT_EQ(JApplyIOTForPMI(&a, &b), E_FAIL);
  quorra::refhost::Install();
  EXPECT_EQ(JApplyIOTForPMI(&a, &b), S_OK);
  EXPECT_EQ(JPopulateIOTForPMI(&b, &a), S_OK);
  auto calls = quorra::refhost::TakePmiCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(!calls[0].populate && calls[0].a == &a && calls[0].b == &b);
  EXPECT_TRUE(calls[1].populate && calls[1].a == &b && calls[1].b == &a);
  quorra::refhost::Uninstall();
}

// ---- over refhost's documents ----

class ApplyOverRefhost : public ApplyTest {
 protected:
  void SetUp() override {
    quorra::refhost::Install();
    ASSERT_EQ(quorra::refhost::BindDocuments(builder_.Tree()), S_OK);
    ASSERT_EQ(top_->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document_.Put())), S_OK);
    ASSERT_EQ(quorra::refhost::SetDocumentTree(document_.Get(), builder_.Tree()), S_OK);
    ComPtr<IJOverrideTreeHolder> holder;
    ASSERT_EQ(JGetIOT(document_.Get(), IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put())), S_OK);
    ASSERT_EQ(holder->GetOverrideTree(&iot_, 0), S_OK);
  }
  void TearDown() override {
    quorra::refhost::SetDocumentTree(document_.Get(), nullptr);
    quorra::refhost::ReleasePersistManager(document_.Get());
    document_ = nullptr;
    quorra::refhost::Uninstall();
  }
  ComPtr<IJComponent> Member(std::vector<DWORD> ids) {
    ComPtr<IJComponent> member;
    EXPECT_EQ(At(root_, ids)->GetHelixReference(IID_IJComponent, reinterpret_cast<void**>(member.Put())), S_OK);
    return member;
  }

  ComPtr<IUnknown> document_;
  JIDSOverrideTree* iot_ = nullptr;
};

// A change recorded in the document's table shows on the live occurrences
// once the host is notified.
TEST_F(ApplyOverRefhost, NotificationReappliesTheDocumentsTable) {
  DWORD path[] = {1};
  JIDSOverride* node = nullptr;
  ASSERT_EQ(iot_->AddOverride(1, path, IOT_ASSEMBLY, &node), S_OK);
  node->SetHidden(1);
  EXPECT_FALSE(At(root_, {1})->IsHidden());
  ASSERT_EQ(JNotifyIDS(builder_.Tree(), nullptr, 28, reinterpret_cast<void*>(uintptr_t{10})), S_OK);
  EXPECT_TRUE(At(root_, {1})->IsHidden());
  EXPECT_TRUE(At(root_, {1, 2})->IsHiddenByParent());

  node->SetHidden(0);
  ASSERT_EQ(JNotifyIDS(nullptr, document_.Get(), 31, nullptr), S_OK);
  EXPECT_FALSE(At(root_, {1})->IsHidden());
  node->SetHidden(1);
  ASSERT_EQ(JNotifyIDS(nullptr, nullptr, 28, nullptr), S_OK);  // every tree
  EXPECT_TRUE(At(root_, {1})->IsHidden());
}

TEST_F(ApplyOverRefhost, ReferenceWordsDecideDisplay) {
  JIDSOverride* node = Node({2});
  ComPtr<quorra::refhost::IRefhostMember> member;
  ASSERT_EQ(Member({2})->QueryInterface(quorra::refhost::IID_IRefhostMember, reinterpret_cast<void**>(member.Put())),
            S_OK);
  // The extended word's hidden bit hides without the override's.
  ASSERT_EQ(member->SetComponentFlags(0x4000000), S_OK);
  ASSERT_EQ(Apply(0x10), S_OK);
  EXPECT_TRUE(At(root_, {2})->IsHidden());
  member->SetComponentFlags(0);

  // Simplified: the document's answer when the override asks for it.
  node->SetProps(node->GetProps() | IOT_SIMPLIFIED);
  ASSERT_EQ(member->SetSimplifiedForm(1), S_OK);
  ASSERT_EQ(Apply(0x10), S_OK);
  EXPECT_FALSE(At(root_, {2})->IsHidden());
  EXPECT_TRUE(At(root_, {2})->IsSimplified());
  member->SetSimplifiedForm(0);
  ASSERT_EQ(Apply(0x10), S_OK);
  EXPECT_FALSE(At(root_, {2})->IsSimplified());

  // In a drawing the words set the occurrence-property state.
  ASSERT_EQ(top_->SetFlags(top_->GetFlags() | SITE_TRUE_TYPE_DRAFT), S_OK);
  ASSERT_EQ(Member({2})->SetReferenceProperties(0x20000 | 0x1), S_OK);
  ASSERT_EQ(Apply(0x10), S_OK);
  OccurrenceNode* bolt = At(root_, {2});
  EXPECT_TRUE(bolt->IsHiddenInDrawing());
  EXPECT_TRUE(bolt->IsExcludedFromReports());
  EXPECT_TRUE(bolt->IsNotSelectable());  // no 0x4
  // The override's own pairs win over the words.
  node->AddOccurrencePropertyOverride(JOET_HIDE_IN_DRAWING, 0);
  ASSERT_EQ(Apply(0x10), S_OK);
  EXPECT_FALSE(bolt->IsHiddenInDrawing());
}

TEST_F(ApplyOverRefhost, OwnStyleResetsToThePartsLibrary) {
  OccurrenceNode* bolt = At(root_, {2});
  bolt->SetSymbology(33);
  Node({2})->SetStyle(0xFFFFFFFFu, 0);
  ASSERT_EQ(Apply(0x1), S_OK);
  ComPtr<IJStyleLibrary> own;
  ASSERT_EQ(quorra::refhost::GetPartStyleLibrary(bolt_->GetFilePath().GetText(), own.Put()), S_OK);
  EXPECT_EQ(bolt->GetSymbology(), 0u);
  EXPECT_EQ(bolt->GetStyleLibrary(), own.Get());
}

TEST_F(ApplyOverRefhost, ConfigurationGoesToTheHostAndIsWrittenBack) {
  JIDSOverride* top = table_.GetAsmOverride();
  ASSERT_EQ(top->AddConfigSetting(50, 5, 1), S_OK);
  ASSERT_EQ(top->AddConfigSetting(40, 9, 0), S_OK);
  JIDSOverride* bolt = Node({2});
  bolt->SetProps(bolt->GetProps() | IOT_COORDSYS_ON | IOT_REFPLANES_ON);
  Node({1}, IOT_ASSEMBLY);
  quorra::refhost::TakeConfigSettingsCalls();
  ASSERT_EQ(Apply(0x40 | 0x10000000), S_OK);

  auto calls = quorra::refhost::TakeConfigSettingsCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].document, top_->GetFilePath().Str());
  EXPECT_EQ(calls[0].flags, 0x40u | 0x10000000u | 0x200000u);  // the root is marked
  ASSERT_EQ(calls[0].settings.size(), 2u);
  EXPECT_EQ(calls[0].settings[0].GetID(), 40u);  // in id order
  BYTE type = 0;
  DWORD flags = 0;
  ASSERT_EQ(top->GetConfigSetting(50, &type, &flags), S_OK);
  EXPECT_EQ(type, 4);  // the host's answer is kept

  DWORD word = 0;
  ASSERT_EQ(Member({2})->GetReferenceProperties(&word), S_OK);
  EXPECT_EQ(word & (0x8000000 | 0x2000 | 0x20000000 | 0x10000000), 0x8000000u | 0x2000u | 0x20000000u);
}

TEST_F(ApplyOverRefhost, ConfigurationDecidesSimplified) {
  JIDSOverride* bolt = Node({2});
  bolt->SetProps(bolt->GetProps() | IOT_SIMPLIFIED);
  Node({1}, IOT_ASSEMBLY)->SetProps(IOT_ASSEMBLY | IOT_SIMPLIFIED);
  ComPtr<quorra::refhost::IRefhostMember> member;
  ASSERT_EQ(Member({2})->QueryInterface(quorra::refhost::IID_IRefhostMember, reinterpret_cast<void**>(member.Put())),
            S_OK);
  member->SetSimplifiedForm(1);
  struct Case {
    DWORD flags;
    bool part, assembly;
  };
  const DWORD base = 0x40 | 0x100000 | 0x80000000u;
  const std::vector<Case> cases = {
      {base, false, false},                           // not a candidate
      {base | 0x20000000, true, false},               // by the override's bit: the part's document answers
      {base | 0x20000000 | 0x8000000, false, false},  // parts shown designed
      {base | 0x4000000, true, false},                // parts simplified
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    ASSERT_EQ(Apply(c.flags), S_OK);
    EXPECT_EQ(At(root_, {2})->IsSimplified(), c.part);
    EXPECT_EQ(At(root_, {1})->IsSimplified(), c.assembly);  // its document shows no simplified form
  }
  // The simplified state is written back to the placement.
  DWORD word = 0;
  ASSERT_EQ(Member({2})->GetReferenceProperties(&word), S_OK);
  EXPECT_TRUE(word & 0x1000000);
}

TEST_F(ApplyOverRefhost, RouteIdentifiedOverridesTakeTheirIDs) {
  JAsmOverride* sub = static_cast<JAsmOverride*>(Node({1}, IOT_ASSEMBLY));
  GUserText name;
  ASSERT_EQ(Member({1, 2})->GetName(&name), S_OK);
  std::string narrow = name.GetUtf8();
  JIDSOverride* routed = sub->AddChild(Text16(narrow), IOT_PART);
  ASSERT_NE(routed, nullptr);
  routed->SetHidden(1);
  ASSERT_EQ(Apply(0x40 | 0x10000000 | 0x100000), S_OK);
  EXPECT_EQ(routed->GetAttachmentID(), 2u);
  EXPECT_TRUE(At(root_, {1, 2})->IsHidden());
  EXPECT_FALSE(At(root_, {1, 1})->IsHidden());
}

// The whole round: a hiding recorded in an assembly document's table shows
// on its live tree after the notification, is saved with the document, and
// shows again on a tree loaded afresh from the saved document.
TEST(ApplyDocuments, HidingSurvivesSavingAndReloading) {
  quorra::refhost::Install();
  quorra::test::TempDir dir;
  quorra::refhost::SampleSummary summary;
  ASSERT_EQ(quorra::refhost::WriteGearboxSample(quorra::test::Widen(dir.Path()).c_str(), &summary), S_OK);
  const std::wstring top = quorra::test::Widen(dir.File("gearbox.asm"));

  struct Open {
    AsmTree* tree = nullptr;
    ComPtr<IUnknown> document;
    JIDSOverrideTree* table = nullptr;
  };
  auto open = [&](Open* o) {
    ASSERT_EQ(AsmTreeCreateAndLoad(top.c_str(), &o->tree, nullptr), S_OK);
    ASSERT_EQ(quorra::refhost::BindDocuments(o->tree), S_OK);
    ASSERT_EQ(
        o->tree->GetRootAssembly()->GetSite()->GetDocument(IID_IUnknown, reinterpret_cast<void**>(o->document.Put())),
        S_OK);
    ASSERT_EQ(quorra::refhost::SetDocumentTree(o->document.Get(), o->tree), S_OK);
    ComPtr<IJOverrideTreeHolder> holder;
    ASSERT_EQ(JGetIOT(o->document.Get(), IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put())), S_OK);
    ASSERT_EQ(holder->GetOverrideTree(&o->table, 0), S_OK);
  };
  auto close = [](Open* o) {
    quorra::refhost::SetDocumentTree(o->document.Get(), nullptr);
    quorra::refhost::ReleasePersistManager(o->document.Get());
    o->document = nullptr;
    AsmTreeUnloadAndDelete(o->tree);
  };

  Open first;
  ASSERT_NO_FATAL_FAILURE(open(&first));
  OccurrenceNode* child = first.tree->GetRootAssembly()->GetChildByIndex(0);
  ASSERT_NE(child, nullptr);
  DWORD path[] = {child->GetAttachmentID()};
  JIDSOverride* node = nullptr;
  ASSERT_EQ(first.table->AddOverride(1, path, child->IsAssembly() ? IOT_ASSEMBLY : IOT_PART, &node), S_OK);
  node->SetHidden(1);
  ASSERT_EQ(JNotifyIDS(first.tree, nullptr, 28, reinterpret_cast<void*>(uintptr_t{10})), S_OK);
  EXPECT_TRUE(child->IsHidden());
  ASSERT_EQ(quorra::refhost::SaveDocumentOverrides(first.document.Get()), S_OK);
  close(&first);

  Open second;
  ASSERT_NO_FATAL_FAILURE(open(&second));
  OccurrenceNode* again = second.tree->GetRootAssembly()->FindOccurrenceOfAttachmentID(path[0]);
  ASSERT_NE(again, nullptr);
  EXPECT_FALSE(again->IsHidden());
  ASSERT_EQ(JNotifyIDS(second.tree, nullptr, 28, reinterpret_cast<void*>(uintptr_t{10})), S_OK);
  EXPECT_TRUE(again->IsHidden());
  close(&second);
  quorra::refhost::Uninstall();
}

}  // namespace
