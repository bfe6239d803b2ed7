// Mercury's property operations: readers answer from the live occurrence;
// writers change only the override node of the context roadmap (its kind
// chosen by the occurrence or by the site), keep sync records as the
// document's mode asks, and leave the live occurrence alone until the
// overrides are applied; override application picks its trees and sites,
// walks below them and maps its flags onto the override table's.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mercury/mercury_apply_internal.h"
#include "support/assembly_builder.h"
#include "support/top_sub_bolt.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;
using quorra::test::At;

constexpr DWORD kKindBits = IOT_ASSEMBLY | IOT_PART;

DisplayRoadmap Display(const std::vector<DWORD>& ids) {
  DisplayRoadmap rm;
  for (DWORD id : ids) rm.AddLink(id);
  return rm;
}

// top: sub (1) holding two bolts (1, 2), and a bolt (2); refhost documents
// with the top document's live tree known to its persist manager.
class MercuryProperties : public quorra::test::TopSubBoltTest {
 protected:
  void SetUp() override {
    // The writers' notifications must not re-apply: each test checks that
    // the live occurrence is unchanged until it applies the table itself.
    OpenTopSubBolt();
    JBlockIDSUpdate(nullptr, 1);
  }
  void TearDown() override {
    JBlockIDSUpdate(nullptr, 0);
    CloseTopSubBolt();
  }

  // A Mercury pointed at `path` below the top document.
  std::unique_ptr<Mercury> At(const std::vector<DWORD>& path) {
    auto m = std::make_unique<Mercury>();
    DisplayRoadmap rm = Display(path);
    EXPECT_EQ(m->SetContext(document_.Get(), &rm), S_OK);
    return m;
  }
  JIDSOverride* Node(const std::vector<DWORD>& path) const {
    JIDSOverride* node = nullptr;
    iot_->GetOverride(static_cast<DWORD>(path.size()), path.data(), &node);
    return node;
  }
  OccurrenceNode* Occurrence(const std::vector<DWORD>& path) const { return quorra::test::At(root_, path); }
};

// ---- writers of the node's property bits ----

TEST_F(MercuryProperties, BitWritersChangeTheirBitOnTheNodeOfTheOccurrencesKind) {
  struct Writer {
    const char* name;
    HRESULT (Mercury::*set)(int);
    bool extended;
    DWORD bit;
    bool setWhenTrue;  // false: the bit means "off"
  } writers[] = {
      {"SetHidden", &Mercury::SetHidden, false, 0x2, true},
      {"SetSimplified", &Mercury::SetSimplified, false, 0x8, true},
      {"SetCoordSysDisplay", &Mercury::SetCoordSysDisplay, false, 0x10, true},
      {"SetSketchesDisplay", &Mercury::SetSketchesDisplay, false, 0x20, true},
      {"SetSurfacesDisplay", &Mercury::SetSurfacesDisplay, false, 0x40, true},
      {"SetCurvesDisplay", &Mercury::SetCurvesDisplay, false, 0x80, true},
      {"SetConstructionsDisplay", &Mercury::SetConstructionsDisplay, false, 0xC0, true},
      {"SetRefPlanesDisplay", &Mercury::SetRefPlanesDisplay, false, 0x100, true},
      {"SetRefAxesDisplay", &Mercury::SetRefAxesDisplay, false, 0x200, true},
      {"SetAsLastSavedDisplay", &Mercury::SetAsLastSavedDisplay, false, 0x10000, true},
      {"SetDimensionsDisplay", &Mercury::SetDimensionsDisplay, false, 0x4000000, true},
      {"SetAnnotationsDisplay", &Mercury::SetAnnotationsDisplay, false, 0x8000000, true},
      {"SetLiveSectionsDisplay", &Mercury::SetLiveSectionsDisplay, true, 0x1, true},
      {"SetDesignBodiesDisplay", &Mercury::SetDesignBodiesDisplay, true, 0x2, false},
      {"SetCenterLineDisplay", &Mercury::SetCenterLineDisplay, true, 0x20, true},
      {"SetDecalsDisplay", &Mercury::SetDecalsDisplay, true, 0x80000, false},
      {"SetPointCloudsDisplay", &Mercury::SetPointCloudsDisplay, true, 0x200000, false},
  };
  struct Target {
    std::vector<DWORD> path;
    DWORD kind;
  } targets[] = {{{1, 2}, IOT_PART}, {{1}, IOT_ASSEMBLY}, {{2}, IOT_PART}};
  for (const Writer& w : writers) {
    for (const Target& t : targets) {
      SCOPED_TRACE(std::string(w.name) + " at depth " + std::to_string(t.path.size()));
      OccurrenceNode* occurrence = Occurrence(t.path);
      const DWORD flags = occurrence->GetFlags(), flagsEx = occurrence->GetFlagsEx();
      auto m = At(t.path);
      for (int value : {1, 0, 7}) {  // any non-zero value is true
        ASSERT_EQ(((*m).*w.set)(value), S_OK);
        JIDSOverride* node = Node(t.path);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->GetProps() & kKindBits, t.kind);
        const DWORD word = w.extended ? node->GetPropsEx() : (node->GetProps() & ~kKindBits);
        const bool on = (value != 0) == w.setWhenTrue;
        EXPECT_EQ(word, on ? w.bit : 0u) << "value " << value;
        // The other word is untouched.
        EXPECT_EQ(w.extended ? (node->GetProps() & ~kKindBits) : node->GetPropsEx(), 0u);
      }
      // The live occurrence shows it only once the table is applied.
      EXPECT_EQ(occurrence->GetFlags(), flags);
      EXPECT_EQ(occurrence->GetFlagsEx(), flagsEx);
      JIDSOverride::Delete(Node(t.path));
    }
  }
}

TEST_F(MercuryProperties, SetActiveIsForPartsOnly) {
  ScopedTraceCapture traces;
  auto onAssembly = At({1});
  EXPECT_EQ(onAssembly->SetActive(1), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("Mercury::SetActive", E_UNEXPECTED));
  EXPECT_EQ(Node({1}), nullptr);

  auto onPart = At({1, 2});
  ASSERT_EQ(onPart->SetActive(1), S_OK);
  EXPECT_EQ(Node({1, 2})->GetProps(), IOT_PART | IOT_ACTIVE);
  ASSERT_EQ(onPart->SetActive(0), S_OK);
  EXPECT_EQ(Node({1, 2})->GetProps(), IOT_PART);
}

TEST_F(MercuryProperties, SetSimplifiedLeavesOverriddenBodiesAndActiveAssembliesAlone) {
  // A part that shows an override body is simplified already.
  JOverrideBodyData body;
  ASSERT_EQ(body.Populate(L"other.asm", {}, tagG4x4()), S_OK);
  ASSERT_EQ(Occurrence({2})->SetOverrideBodyData(&body), S_OK);
  ASSERT_TRUE(Occurrence({2})->IsBodyOverridden());
  auto part = At({2});
  EXPECT_EQ(part->SetSimplified(1), S_OK);
  EXPECT_EQ(Node({2}), nullptr);
  ASSERT_EQ(part->SetSimplified(0), S_OK);  // but it can be made unsimplified
  EXPECT_EQ(Node({2})->GetProps(), IOT_PART);

  // An in-place active assembly is never simplified.
  ASSERT_EQ(Occurrence({1})->SetIPA(), S_OK);
  auto assembly = At({1});
  EXPECT_EQ(assembly->SetSimplified(1), S_OK);
  EXPECT_EQ(Node({1}), nullptr);
}

TEST_F(MercuryProperties, WritersFailWithoutAnOccurrenceAndTrace) {
  ScopedTraceCapture traces;
  auto missing = At({1, 9});
  EXPECT_EQ(missing->SetHidden(1), E_FAIL);
  EXPECT_TRUE(traces.Saw("Mercury::SetHidden", E_FAIL));
  EXPECT_EQ(missing->SetHideInDrawing(1), E_FAIL);
  EXPECT_EQ(missing->SetOverrideSolverStatus(3), E_FAIL);
  EXPECT_EQ(iot_->GetAsmOverride()->GetChildCount(), 0u);
  Mercury empty;
  EXPECT_EQ(empty.SetHidden(1), E_UNEXPECTED);
}

// ---- occurrence-property overrides ----

TEST_F(MercuryProperties, OccurrencePropertyWritersRecordTheirTypeOnTheSitesKind) {
  struct Writer {
    const char* name;
    HRESULT (Mercury::*set)(int);
    JOverrideExtensionsType type;
  } writers[] = {
      {"SetHideInDrawing", &Mercury::SetHideInDrawing, JOET_HIDE_IN_DRAWING},
      {"SetHideInSubassembly", &Mercury::SetHideInSubassembly, JOET_HIDE_IN_SUBASSEMBLY},
      {"SetNotSelectable", &Mercury::SetNotSelectable, JOET_NOT_SELECTABLE},
      {"SetDisplayAsDraftReference", &Mercury::SetDisplayAsDraftReference, JOET_DISPLAY_AS_DRAFTREF},
      {"SetExcludeFromPhysicalProperties", &Mercury::SetExcludeFromPhysicalProperties, JOET_EXCLUDE_FROM_PHYPROPS},
      {"SetExcludeFromReports", &Mercury::SetExcludeFromReports, JOET_EXCLUDE_FROM_REPORTS},
      {"SetExcludeFromInterference", &Mercury::SetExcludeFromInterference, JOET_EXCLUDE_FROM_INTERFERENCE},
  };
  for (const Writer& w : writers) {
    for (const auto& [path, kind] : {std::pair<std::vector<DWORD>, DWORD>{{1, 1}, IOT_PART}, {{1}, IOT_ASSEMBLY}}) {
      SCOPED_TRACE(w.name);
      const DWORD flagsEx = Occurrence(path)->GetFlagsEx();
      auto m = At(path);
      ASSERT_EQ(((*m).*w.set)(1), S_OK);
      ASSERT_EQ(((*m).*w.set)(0), S_OK);  // replaces the value
      JIDSOverride* node = Node(path);
      ASSERT_NE(node, nullptr);
      EXPECT_EQ(node->GetProps() & kKindBits, kind);
      EXPECT_NE(node->GetPropsEx() & IOTX_OCC_PROPERTIES, 0u);
      const quorra::OccPropertyOverrides* pairs = node->GetOccurrencePropertyOverrides(false);
      ASSERT_NE(pairs, nullptr);
      ASSERT_EQ(pairs->size(), 1u);
      EXPECT_EQ(pairs->front().first, w.type);
      EXPECT_EQ(pairs->front().second, 0);
      EXPECT_EQ(Occurrence(path)->GetFlagsEx(), flagsEx);
      JIDSOverride::Delete(node);
    }
  }
}

TEST_F(MercuryProperties, ShowingInSubassembliesAgainDropsTheHiding) {
  auto m = At({1, 2});
  ASSERT_EQ(m->SetHidden(1), S_OK);
  ASSERT_EQ(m->SetHideInSubassembly(1), S_OK);
  EXPECT_NE(Node({1, 2})->GetProps() & IOT_HIDDEN, 0u);
  ASSERT_EQ(m->SetHideInSubassembly(0), S_OK);
  EXPECT_EQ(Node({1, 2})->GetProps() & IOT_HIDDEN, 0u);
  // Other properties do not touch the hiding.
  ASSERT_EQ(m->SetHidden(1), S_OK);
  ASSERT_EQ(m->SetNotSelectable(0), S_OK);
  EXPECT_NE(Node({1, 2})->GetProps() & IOT_HIDDEN, 0u);
}

// ---- readers ----

TEST_F(MercuryProperties, FlagReadersAnswerFromTheLiveOccurrence) {
  struct Reader {
    const char* name;
    HRESULT (Mercury::*get)(int*);
    void (*set)(OccurrenceNode*, bool);
  } readers[] = {
#define QUORRA_FLAG_ROW(Get, Set) {#Get, &Mercury::Get, [](OccurrenceNode* o, bool on) { o->Set(on); }}
      {"GetHidden", &Mercury::GetHidden, [](OccurrenceNode* o, bool on) { on ? o->Hide(0) : o->Show(0); }},
      {"GetVisible", &Mercury::GetVisible,
       [](OccurrenceNode* o, bool on) { on ? o->ClearHideByParent() : o->HideByParent(); }},
      {"GetActive", &Mercury::GetActive,
       [](OccurrenceNode* o, bool on) { on ? o->SetIsActive() : o->ClearIsActive(); }},
      {"GetSimplified", &Mercury::GetSimplified,
       [](OccurrenceNode* o, bool on) { on ? o->SetSimplified() : o->ClearSimplified(); }},
      QUORRA_FLAG_ROW(GetCoordSysDisplay, SetCoordSysDisplay),
      QUORRA_FLAG_ROW(GetSketchesDisplay, SetSketchesDisplay),
      QUORRA_FLAG_ROW(GetSurfacesDisplay, SetSurfacesDisplay),
      QUORRA_FLAG_ROW(GetCurvesDisplay, SetCurvesDisplay),
      QUORRA_FLAG_ROW(GetConstructionsDisplay, SetConstructionsDisplay),
      QUORRA_FLAG_ROW(GetRefPlanesDisplay, SetRefPlanesDisplay),
      QUORRA_FLAG_ROW(GetRefAxesDisplay, SetRefAxesDisplay),
      QUORRA_FLAG_ROW(GetAsLastSavedDisplay, SetAsLastSavedDisplay),
      QUORRA_FLAG_ROW(GetDimensionsDisplay, SetDimensionsDisplay),
      QUORRA_FLAG_ROW(GetAnnotationsDisplay, SetAnnotationsDisplay),
      QUORRA_FLAG_ROW(GetLiveSectionsDisplay, SetLiveSectionsDisplay),
      QUORRA_FLAG_ROW(GetDesignBodiesDisplay, SetDesignBodiesDisplay),
      QUORRA_FLAG_ROW(GetCenterLineDisplay, SetCenterLineDisplay),
      QUORRA_FLAG_ROW(GetDecalsDisplay, SetDecalsDisplay),
      QUORRA_FLAG_ROW(GetPointCloudsDisplay, SetPointCloudsDisplay),
      QUORRA_FLAG_ROW(GetHideInDrawing, SetHideInDrawing),
      QUORRA_FLAG_ROW(GetHideInSubassembly, SetHideInSubassembly),
      QUORRA_FLAG_ROW(GetNotSelectable, SetNotSelectable),
      QUORRA_FLAG_ROW(GetDisplayAsDraftReference, SetDisplayAsReferenceInDraft),
      QUORRA_FLAG_ROW(GetExcludeFromPhysicalProperties, SetExcludeFromPhysicalProperties),
      QUORRA_FLAG_ROW(GetExcludeFromReports, SetExcludeFromReports),
      QUORRA_FLAG_ROW(GetExcludeFromInterference, SetExcludeFromInterference),
#undef QUORRA_FLAG_ROW
  };
  OccurrenceNode* part = Occurrence({1, 2});
  auto m = At({1, 2});
  for (const Reader& r : readers) {
    SCOPED_TRACE(r.name);
    for (bool on : {true, false, true}) {
      r.set(part, on);
      int value = -1;
      ASSERT_EQ(((*m).*r.get)(&value), S_OK);
      EXPECT_EQ(value, on ? 1 : 0);
    }
    r.set(part, false);
    EXPECT_EQ(((*m).*r.get)(nullptr), E_INVALIDARG);
  }
  // A reader of a context that does not resolve fails and says so.
  ScopedTraceCapture traces;
  auto missing = At({7});
  int value = -1;
  EXPECT_EQ(missing->GetHidden(&value), E_FAIL);
  EXPECT_EQ(value, -1);
  EXPECT_TRUE(traces.Saw("Mercury::GetHidden", E_FAIL));
}

TEST_F(MercuryProperties, SolverStatusAndMatrixOverridesAreReadFromTheOccurrence) {
  auto m = At({1, 2});
  DWORD status = 0;
  EXPECT_EQ(m->GetOverrideSolverStatus(&status), E_FAIL);  // not overridden
  EXPECT_EQ(m->HasOverriddenSolverStatus(), 0);
  ASSERT_EQ(Occurrence({1, 2})->SetOverrideSolverStatus(5), S_OK);
  EXPECT_EQ(m->GetOverrideSolverStatus(&status), S_OK);
  EXPECT_EQ(status, 5u);
  EXPECT_EQ(m->HasOverriddenSolverStatus(), 1);

  tagG4x4 matrix;
  EXPECT_EQ(m->GetOverrideMatrix(&matrix), E_FAIL);
  EXPECT_EQ(m->HasOverriddenMatrix(), 0);
  tagGTransf moved;
  moved.SetIdentity();
  moved.m[3] = 12.5;
  ASSERT_EQ(Occurrence({1, 2})->SetOverrideMatrix(&moved), S_OK);
  EXPECT_EQ(m->HasOverriddenMatrix(), 1);
  ASSERT_EQ(m->GetOverrideMatrix(&matrix), S_OK);
  EXPECT_EQ(matrix(0, 3), 12.5);
  // The constraint matrix is the override matrix now.
  tagG4x4 constraint;
  ASSERT_EQ(m->GetConstraintMatrix(&constraint), S_OK);
  EXPECT_EQ(constraint(0, 3), 12.5);
  EXPECT_EQ(At({9})->HasOverriddenMatrix(), 0);
}

// ---- value writers and their sync records ----

// Which mode answers make each writer keep its sync record.
TEST_F(MercuryProperties, SyncRecordsFollowTheDocumentsMode) {
  struct Case {
    const char* name;
    std::vector<DWORD> path;
    HRESULT (*write)(Mercury&);
    HRESULT (JIDSOverrideTree::*sync)(DWORD, const DWORD*, DWORD*) const;
    bool needsEditMode;
  } cases[] = {
      {"SetOverrideMatrix",
       {1, 1},
       [](Mercury& m) {
         tagG4x4 matrix;
         return m.SetOverrideMatrix(&matrix);
       },
       &JIDSOverrideTree::GetMatrixSync,
       true},
      {"SetAdaptable", {1}, [](Mercury& m) { return m.SetAdaptable(1); }, &JIDSOverrideTree::GetAdaptableSync, true},
      {"SetAdjustablePart",
       {1, 1},
       [](Mercury& m) { return m.SetAdjustablePart(1); },
       &JIDSOverrideTree::GetAdjustablePartSync,
       false},
      {"SetOverrideVariable",
       {1, 1},
       [](Mercury& m) { return m.SetOverrideVariable(4, 5, 2.5); },
       &JIDSOverrideTree::GetVariableSync,
       false},
      {"AddOverrideConstraint",
       {1, 1},
       [](Mercury& m) { return m.AddOverrideConstraint(8, 9); },
       &JIDSOverrideTree::GetOverrideConstraintSync,
       true},
      {"SetOverrideBodyData",
       {2},
       [](Mercury& m) {
         auto* body = new JOverrideBodyData();
         body->Populate(L"other.asm", {}, tagG4x4());
         return m.SetOverrideBodyData(body);
       },
       &JIDSOverrideTree::GetBodySync,
       false},
  };
  struct Mode {
    BOOL master, editMode;
  } modes[] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  for (const Case& c : cases) {
    for (const Mode& mode : modes) {
      SCOPED_TRACE(std::string(c.name) + " master " + std::to_string(mode.master) + " edit " +
                   std::to_string(mode.editMode));
      ASSERT_EQ(quorra::refhost::SetDocumentFoaState(document_.Get(), mode.master, mode.editMode), S_OK);
      iot_->Clear();
      auto m = At(c.path);
      // The matrix writer answers the notification's result, which refhost
      // does not take; the others answer the mode check's or the record's.
      const HRESULT written = c.write(*m);
      if (c.sync != &JIDSOverrideTree::GetMatrixSync) {
        EXPECT_EQ(written, S_OK);
      }
      DWORD sync = 0;
      (iot_->*c.sync)(static_cast<DWORD>(c.path.size()), c.path.data(), &sync);
      const bool expected = mode.master && (mode.editMode || !c.needsEditMode);
      EXPECT_EQ(sync != 0, expected);
    }
  }
}

TEST_F(MercuryProperties, AdaptableIsForAssembliesAndAdjustableForParts) {
  EXPECT_EQ(At({1, 1})->SetAdaptable(1), E_FAIL);
  EXPECT_EQ(At({1})->SetAdjustablePart(1), E_FAIL);
  EXPECT_EQ(iot_->GetAsmOverride()->GetChildCount(), 0u);

  ASSERT_EQ(At({1})->SetAdaptable(1), S_OK);
  EXPECT_EQ(Node({1})->GetProps() & (kKindBits | IOT_ADAPTABLE), IOT_ASSEMBLY | IOT_ADAPTABLE);
  int fromIot = 0;
  ASSERT_EQ(At({1})->GetAdaptableFromIOT(&fromIot), S_OK);
  EXPECT_EQ(fromIot, 1);

  ASSERT_EQ(At({1, 1})->SetAdjustablePart(1), S_OK);
  EXPECT_EQ(Node({1, 1})->GetProps() & (kKindBits | IOT_ADJUSTABLE_PART), IOT_PART | IOT_ADJUSTABLE_PART);
  ASSERT_EQ(At({1, 1})->GetAdjustablePartFromIOT(&fromIot), S_OK);
  EXPECT_EQ(fromIot, 1);
  ASSERT_EQ(At({1, 1})->SetAdjustablePart(0), S_OK);
  EXPECT_EQ(Node({1, 1})->GetProps() & IOT_ADJUSTABLE_PART, 0u);

  // Removing them through the table is not offered.
  ScopedTraceCapture traces;
  EXPECT_EQ(At({1})->RemoveAdaptable(), E_NOTIMPL);
  EXPECT_EQ(At({1, 1})->RemoveAdjustablePart(), E_NOTIMPL);
  EXPECT_TRUE(traces.Saw("Mercury::RemoveAdaptable", E_NOTIMPL));
  EXPECT_TRUE(traces.Saw("Mercury::RemoveAdjustablePart", E_NOTIMPL));
}

TEST_F(MercuryProperties, VariablesAreSetAndClearedOnTheNode) {
  // Nothing at all is resolved for an empty list.
  Mercury unset;
  EXPECT_EQ(unset.SetOverrideVariables({}), S_OK);
  EXPECT_EQ(unset.ClearOverrideVariables({}), S_OK);
  EXPECT_EQ(unset.ClearOverrideVariable(1, 2), E_UNEXPECTED);

  auto m = At({1, 2});
  // Clearing where there is no node is no failure and makes none.
  EXPECT_EQ(m->ClearOverrideVariable(1, 2), S_OK);
  EXPECT_EQ(Node({1, 2}), nullptr);

  ASSERT_EQ(m->SetOverrideVariables({{1, 2, 0.5}, {1, 3, 1.5}, {4, 2, 2.5}}), S_OK);
  JIDSOverride* node = Node({1, 2});
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetProps() & kKindBits, IOT_PART);
  double value = 0;
  ASSERT_EQ(node->GetVariable(1, 3, &value), S_OK);
  EXPECT_EQ(value, 1.5);
  ASSERT_EQ(m->SetOverrideVariable(1, 3, 7.0), S_OK);  // replaces
  ASSERT_EQ(node->GetVariable(1, 3, &value), S_OK);
  EXPECT_EQ(value, 7.0);
  // A missing element is traced; the others are still cleared.
  ScopedTraceCapture traces;
  ASSERT_EQ(m->ClearOverrideVariables({{9, 9, 0}, {1, 2, 0}}), S_OK);
  EXPECT_TRUE(traces.Saw("Mercury::ClearOverrideVariables"));
  EXPECT_EQ(node->GetVariable(1, 2, &value), E_FAIL);
  EXPECT_EQ(node->GetVariable(4, 2, &value), S_OK);
  // Each change was applied: the live occurrence has what the node has.
  ASSERT_EQ(m->GetOverrideVariable(1, 3, &value), S_OK);
  EXPECT_EQ(value, 7.0);
  EXPECT_EQ(m->GetOverrideVariable(1, 2, &value), E_FAIL);
}

TEST_F(MercuryProperties, ConstraintsLiveOnTheNode) {
  auto m = At({1, 1});
  using ConstraintMap = std::map<DWORD, DWORD>;
  ConstraintMap* const untouched = reinterpret_cast<ConstraintMap*>(1);
  ConstraintMap* constraints = untouched;
  ASSERT_EQ(m->GetOverrideConstraints(&constraints), S_OK);  // no node: untouched
  EXPECT_EQ(constraints, untouched);
  EXPECT_EQ(m->ClearOverrideConstraint(3), S_OK);

  ASSERT_EQ(m->AddOverrideConstraint(3, 30), S_OK);
  ASSERT_EQ(m->AddOverrideConstraint(4, 40), S_OK);
  ASSERT_EQ(m->GetOverrideConstraints(&constraints), S_OK);
  ASSERT_NE(constraints, nullptr);
  EXPECT_EQ(*constraints, (std::map<DWORD, DWORD>{{3, 30}, {4, 40}}));
  ASSERT_EQ(m->ClearOverrideConstraint(3), S_OK);
  EXPECT_EQ(*constraints, (std::map<DWORD, DWORD>{{4, 40}}));
}

TEST_F(MercuryProperties, StyleMatrixStatusAndSaveTimeGoToTheNode) {
  auto m = At({1});
  ASSERT_EQ(m->SetStyle(42), S_OK);
  EXPECT_EQ(Node({1})->GetStyle(), 42u);
  EXPECT_EQ(Node({1})->GetProps() & kKindBits, IOT_PART);  // styles are always a part's

  auto part = At({1, 2});
  tagG4x4 matrix;
  matrix(2, 3) = 6;
  part->SetOverrideMatrix(&matrix, 10);  // answers the notification's result
  ASSERT_EQ(part->SetOverrideSolverStatus(3), S_OK);
  tagG4x4 stored;
  ASSERT_EQ(iot_->GetMatrix(2, std::vector<DWORD>{1, 2}.data(), &stored), S_OK);
  EXPECT_EQ(stored(2, 3), 6.0);
  DWORD status = 0;
  ASSERT_EQ(Node({1, 2})->GetSolverStatus(&status), S_OK);
  EXPECT_EQ(status, 3u);
  EXPECT_FALSE(Occurrence({1, 2})->IsMatrixOverridden());

  FILETIME time{0x1234, 0x5678};
  FILETIME read{};
  EXPECT_EQ(part->GetOwningCADSaveTime(read), E_FAIL);  // a node without a time
  ASSERT_EQ(part->SetOwningCADSaveTime(time), S_OK);
  ASSERT_EQ(part->GetOwningCADSaveTime(read), S_OK);
  EXPECT_EQ(read.dwLowDateTime, 0x1234u);
  EXPECT_EQ(read.dwHighDateTime, 0x5678u);
  EXPECT_EQ(At({2})->GetOwningCADSaveTime(read), E_POINTER);  // no node

  // Removal by mask takes the kinds off the node.
  ASSERT_EQ(part->RemoveOverrides(IOT_REMOVE_MATRIX | IOT_REMOVE_SOLVER_STATUS), S_OK);
  EXPECT_EQ(Node({1, 2})->GetProps() & (IOT_OVERRIDE_MATRIX | IOT_OVERRIDE_STATUS), 0u);
}

TEST_F(MercuryProperties, BodyDataOnTheNodeAndTheCurrentDocumentsPreviousBody) {
  auto m = At({2});
  tagG4x4 moved;
  moved(0, 3) = 3;
  ScopedTraceCapture traces;
  EXPECT_EQ(m->SetOverrideBodyDataMatrix(&moved), E_FAIL);  // no node yet
  EXPECT_TRUE(traces.Saw("Mercury::SetOverrideBodyDataMatrix", E_FAIL));

  auto* body = new JOverrideBodyData();
  ASSERT_EQ(body->Populate(L"other.asm", {{1, 2}}, tagG4x4()), S_OK);
  ASSERT_EQ(m->SetOverrideBodyData(body), S_OK);
  EXPECT_EQ(Node({2})->GetBodyData(), body);
  ASSERT_EQ(m->SetOverrideBodyDataMatrix(&moved), S_OK);
  EXPECT_EQ(body->GetMatrix()(0, 3), 3.0);
  // The writer applied it: the occurrence answers its own copy.
  JOverrideBodyData* read = nullptr;
  ASSERT_EQ(m->GetOverrideBodyData(&read), S_OK);
  EXPECT_NE(read, nullptr);
  EXPECT_NE(read, body);
  ASSERT_EQ(m->SetOverrideBodyData(nullptr), S_OK);
  EXPECT_EQ(Node({2})->GetBodyData(), nullptr);

  // The previous body: the node takes it and the occurrence keeps a copy;
  // it is answered only when it comes from the context document.
  auto* previous = new JOverrideBodyData();
  ASSERT_EQ(previous->SetAsmDoc(L"top.asm", document_.Get()), S_OK);
  ASSERT_EQ(m->SetCurrentDocPreviousOverrideBodyData(previous), S_OK);
  EXPECT_EQ(Node({2})->GetCurrentDocPreviousOverrideBodyData(), previous);
  auto* copy = static_cast<JOverrideBodyData*>(Occurrence({2})->GetUserData(UD_IOT_PREVIOUS_OVERRIDE_BODY, nullptr));
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, previous);
  JOverrideBodyData* current = nullptr;
  ASSERT_EQ(m->GetCurrentDocPreviousOverrideBodyData(&current), S_OK);
  EXPECT_EQ(current, copy);
  ASSERT_EQ(m->SetCurrentDocPreviousOverrideBodyData(nullptr), S_OK);
  EXPECT_EQ(Occurrence({2})->GetUserData(UD_IOT_PREVIOUS_OVERRIDE_BODY, nullptr), nullptr);
  ASSERT_EQ(m->GetCurrentDocPreviousOverrideBodyData(&current), S_OK);
  EXPECT_EQ(current, nullptr);
}

// ---- display settings ----

TEST_F(MercuryProperties, DisplaySettingsAreKeptPerDocumentOnAnAssemblyNode) {
  auto m = At({1});
  ASSERT_EQ(m->SetDisplaySetting(77, 9, 0x30, true), S_OK);
  JIDSOverride* node = Node({1});
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetProps() & (kKindBits | IOT_HAVE_CONFIG_INFO), IOT_ASSEMBLY | IOT_HAVE_CONFIG_INFO);
  BYTE type = 0;
  DWORD flags = 0;
  ASSERT_EQ(node->GetConfigSetting(77, &type, &flags), S_OK);
  EXPECT_EQ(std::make_pair(DWORD(type), flags), std::make_pair(9u, 0x30u));
  ASSERT_EQ(m->SetDisplaySetting(77, 9, 0x30, false), S_OK);  // disabled keeps the entry, no flags
  ASSERT_EQ(node->GetConfigSetting(77, &type, &flags), S_OK);
  EXPECT_EQ(flags, 0u);

  // Removal needs the type to match.
  ASSERT_EQ(m->RemoveDisplaySetting(77, 8), S_OK);
  EXPECT_EQ(node->GetConfigSetting(77, &type, &flags), S_OK);
  ASSERT_EQ(m->RemoveDisplaySetting(77, 9), S_OK);
  EXPECT_NE(node->GetConfigSetting(77, &type, &flags), S_OK);

  // The document forms key by the document's id.
  ComPtr<IUnknown> subDocument;
  ASSERT_EQ(Occurrence({1})->GetSite()->GetDocument(IID_IUnknown, reinterpret_cast<void**>(subDocument.Put())), S_OK);
  ASSERT_EQ(m->SetDisplaySetting(subDocument.Get(), 2, 0x1, true), S_OK);
  ASSERT_EQ(m->SetDisplaySetting(document_.Get(), 3, 0x2, true), S_OK);
  ASSERT_EQ(node->GetConfigSettingMap(false)->size(), 2u);
  ASSERT_EQ(m->RemoveDisplaySetting(subDocument.Get(), 2), S_OK);
  ASSERT_EQ(node->GetConfigSettingMap(false)->size(), 1u);
  EXPECT_EQ(node->GetConfigSettingMap(false)->begin()->second.GetType(), 3u);
  EXPECT_EQ(m->SetDisplaySetting(static_cast<IUnknown*>(nullptr), 2, 0x1, true), E_INVALIDARG);

  EXPECT_EQ(JAddDisplaySetting(nullptr, 1, 1, 1, true), E_INVALIDARG);
}

TEST_F(MercuryProperties, DisplaySettingReaderUsesTheOccurrencesCopy) {
  auto m = At({1});
  bool on = true;
  ASSERT_EQ(m->GetDisplaySetting(5, 0xFF, &on), S_OK);  // no copy on the occurrence
  EXPECT_FALSE(on);
  auto* map = new quorra::ConfigSettingMap();
  map->emplace(5, JConfigSetting(5, 1, 0x6));
  ASSERT_EQ(Occurrence({1})->AddUserData(UD_DISPLAY_SETTING_MAP, map), S_OK);
  struct Case {
    DWORD key, mask;
    bool expected;
  } cases[] = {{5, 0x2, true}, {5, 0x4, true}, {5, 0x9, false}, {6, 0xFF, false}};
  for (const Case& c : cases) {
    ASSERT_EQ(m->GetDisplaySetting(c.key, c.mask, &on), S_OK);
    EXPECT_EQ(on, c.expected) << c.key << " " << c.mask;
  }
  Occurrence({1})->RemoveUserData(UD_DISPLAY_SETTING_MAP);  // releases the map
}

// ---- applying and clearing ----

// A holder that records what the library asks it to apply.
struct AppliedCall {
  OccurrenceNode* occurrence;
  DWORD flags;
};
std::vector<AppliedCall> gApplied;

class RecordingHolder final : public ComObject<IJOverrideTreeHolder> {
 public:
  HRESULT ApplyOverrides(OccurrenceNode* occurrence, DWORD flags) override {
    gApplied.push_back({occurrence, flags});
    return failWith;
  }
  HRESULT GetOverrideTree(JIDSOverrideTree** out, DWORD) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT ConvertMemberRoadmap(JMemberRoadmap*, DisplayRoadmap*) override { return E_NOTIMPL; }
  HRESULT failWith = S_OK;
};
class FakeDocument final : public ComObject<IUnknown> {};

RecordingHolder* gHolder = nullptr;
AsmTree* gTree = nullptr;
HRESULT GetPersistManagerOfFake(IUnknown* object, IUnknown** out) {
  object->AddRef();
  *out = object;
  return S_OK;
}
HRESULT GetSupportOfFake(IUnknown*, REFIID iid, void** out) { return gHolder->QueryInterface(iid, out); }
HRESULT GetTreeOfFake(IUnknown*, AsmTree** tree, BOOL) {
  *tree = gTree;
  return S_OK;
}
HRESULT GetFileNameOfFake(IUnknown*, GUserText* name) {
  *name = GUserText(L"top.asm");
  return S_OK;
}

// top: sub (1) holding a bolt (1) and a nested assembly (2) holding a bolt;
// every site's document is one fake document whose holder records.
class MercuryApply : public ::testing::Test {
 protected:
  void SetUp() override {
    gApplied.clear();
    holder_ = ComPtr<RecordingHolder>(new RecordingHolder);
    gHolder = holder_.Get();
    quorra::host::RegisterModule(L"dulcet.dll",
                                 {{"GetPersistManager", reinterpret_cast<void*>(&GetPersistManagerOfFake)},
                                  {"JGetGraphicSupportObject", reinterpret_cast<void*>(&GetSupportOfFake)}});
    quorra::host::RegisterModule(L"brenik.dex", {{"JAsmGetIDSAsmTree", reinterpret_cast<void*>(&GetTreeOfFake)},
                                                 {"JAsmGetFileName", reinterpret_cast<void*>(&GetFileNameOfFake)}});
    auto& b = builder_;
    AssemblySite* top = b.Assembly(L"top");
    AssemblySite* sub = b.Assembly(L"sub");
    AssemblySite* nested = b.Assembly(L"nested");
    PartSite* part = b.Part(L"bolt");
    b.Place(nested, part);
    b.Place(sub, part);
    b.Place(sub, nested);
    b.Place(top, sub);
    root_ = b.Build(top);
    gTree = b.Tree();
    for (SiteNode* site : {static_cast<SiteNode*>(top), static_cast<SiteNode*>(sub), static_cast<SiteNode*>(nested),
                           static_cast<SiteNode*>(part)})
      ASSERT_EQ(site->SetDocument(document_.Get()), S_OK);
  }
  void TearDown() override {
    quorra::host::UnregisterModule(L"dulcet.dll");
    quorra::host::UnregisterModule(L"brenik.dex");
    gHolder = nullptr;
    gTree = nullptr;
    gApplied.clear();
  }
  std::vector<OccurrenceNode*> AppliedOccurrences() const {
    std::vector<OccurrenceNode*> out;
    for (const AppliedCall& call : gApplied) out.push_back(call.occurrence);
    return out;
  }

  ComPtr<RecordingHolder> holder_;
  ComPtr<IUnknown> document_{new FakeDocument};
  quorra::test::AssemblyBuilder builder_;
  AssemblyOccurrence* root_ = nullptr;
};

TEST_F(MercuryApply, DocumentTreeIsWalkedChildrenFirstWithMappedFlags) {
  OccurrenceNode* sub = At(root_, {1});
  OccurrenceNode* nested = At(root_, {1, 2});
  struct Case {
    DWORD flags;
    std::vector<OccurrenceNode*> expected;
  } cases[] = {
      {0x40000000 | 0x1, {nested, sub, root_}},  // below, children first, then the start
      {0x40000000 | 0x1 | 0x2, {nested, sub}},   // the start left out
      {0x40000000, {root_}},                     // the start alone
  };
  for (const Case& c : cases) {
    gApplied.clear();
    Mercury m;
    ASSERT_EQ(m.ApplyOverrides(document_.Get(), c.flags | MERCURY_OVERRIDES_VARIABLES), S_OK) << std::hex << c.flags;
    EXPECT_EQ(AppliedOccurrences(), c.expected) << std::hex << c.flags;
    for (const AppliedCall& call : gApplied) EXPECT_EQ(call.flags, 0x20u);
  }
}

// Each of Mercury's selection bits reaches the holder as the override
// table's bit; the bits that choose trees and walks pass nothing on.
TEST_F(MercuryApply, EachSelectionBitReachesTheHolderMapped) {
  const std::map<DWORD, DWORD> mapped = {{0x40, 0x1},     {0x4, 0x2},       {0x20, 0x4},     {0x8, 0x8},
                                         {0x80, 0x10},    {0x10, 0x20},     {0x100, 0x80},   {0x80000000u, 0x100},
                                         {0x800, 0x1000}, {0x2000, 0x2000}, {0x4000, 0x4000}};
  DWORD allMercury = 0, allApply = 0;
  for (DWORD bit = 1; bit; bit <<= 1) {
    if (bit == MERCURY_OVERRIDES_DOCUMENT_TREE) continue;
    gApplied.clear();
    Mercury m;
    ASSERT_EQ(m.ApplyOverrides(document_.Get(), MERCURY_OVERRIDES_DOCUMENT_TREE | MERCURY_OVERRIDES_WALK | bit), S_OK);
    auto it = mapped.find(bit);
    const DWORD expected = it == mapped.end() ? 0 : it->second;
    ASSERT_FALSE(gApplied.empty()) << std::hex << bit;
    for (const AppliedCall& call : gApplied) EXPECT_EQ(call.flags, expected) << std::hex << bit;
    allMercury |= bit;
    allApply |= expected;
  }
  EXPECT_EQ(quorra::MapMercuryApplyFlags(allMercury), allApply);
}

TEST_F(MercuryApply, HolderFailuresAreTracedButNotReturned) {
  holder_->failWith = E_OUTOFMEMORY;
  ScopedTraceCapture traces;
  Mercury m;
  EXPECT_EQ(m.ApplyOverrides(document_.Get(), MERCURY_OVERRIDES_DOCUMENT_TREE | 0x1), S_OK);
  EXPECT_EQ(gApplied.size(), 3u);
  EXPECT_TRUE(traces.Saw("ApplyOverride", E_OUTOFMEMORY));
  EXPECT_EQ(quorra::ApplyOverridesToOccurrence(nullptr, 0), E_INVALIDARG);
}

TEST_F(MercuryApply, ArgumentsAndTreeChoices) {
  ScopedTraceCapture traces;
  Mercury m;
  EXPECT_EQ(m.ApplyOverrides(MERCURY_OVERRIDES_WALK), E_INVALIDARG);
  EXPECT_EQ(m.ClearOverrides(MERCURY_OVERRIDES_OWN_TREE), E_INVALIDARG);  // no occurrence
  EXPECT_TRUE(traces.Saw("Mercury::ApplyOverrides", E_INVALIDARG));
  EXPECT_EQ(m.ApplyOverrides(nullptr, 0x1), E_POINTER);
  // Without an update manager the top-level documents are unknown.
  EXPECT_EQ(m.ApplyOverrides(MERCURY_OVERRIDES_TOP_LEVEL), E_FAIL);
  // The occurrence's own tree must be a drawing's.
  Mercury byOccurrence;
  ASSERT_EQ(byOccurrence.SetContext(At(root_, {1})), S_OK);
  EXPECT_EQ(byOccurrence.ApplyOverrides(MERCURY_OVERRIDES_OWN_TREE), E_POINTER);
  // The document form finds the site by the document's file name.
  gApplied.clear();
  ASSERT_EQ(m.ApplyOverrides(document_.Get(), 0), S_OK);
  EXPECT_EQ(AppliedOccurrences(), std::vector<OccurrenceNode*>{root_});
  EXPECT_TRUE(gApplied.empty() || gApplied.front().flags == 0);
}

// The host's update manager, answering a fixed set of top-level documents.
class UpdateManager final : public ComObject<IJUpdateManager> {
 public:
  HRESULT GetTopLevelDocuments(std::set<IUnknown*>* out) override {
    out->insert(documents.begin(), documents.end());
    return S_OK;
  }
  std::set<IUnknown*> documents;
};
class UpdateManagerFactory final : public ComObject<IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown*, REFIID iid, void** out) override { return manager->QueryInterface(iid, out); }
  HRESULT LockServer(BOOL) override { return S_OK; }
  ComPtr<UpdateManager> manager{new UpdateManager};
};

TEST_F(MercuryApply, TopLevelDocumentsChooseTheWholeTrees) {
  ComPtr<UpdateManagerFactory> factory(new UpdateManagerFactory);
  ASSERT_EQ(quorra::host::RegisterClassFactory(CLSID_JUpdateManager, factory.Get()), S_OK);
  ComPtr<IUnknown> stranger(new FakeDocument);
  const std::vector<OccurrenceNode*> everyAssembly = {At(root_, {1, 2}), At(root_, {1}), root_};
  struct Case {
    std::set<IUnknown*> documents;
    std::vector<OccurrenceNode*> expected;
  } cases[] = {
      {{document_.Get()}, everyAssembly},
      {{stranger.Get()}, {}},
      {{}, everyAssembly},  // none known: the live top-level trees
  };
  for (const Case& c : cases) {
    factory->manager->documents = c.documents;
    gApplied.clear();
    Mercury m;
    DisplayRoadmap top;
    ASSERT_EQ(m.SetContext(document_.Get(), &top), S_OK);
    EXPECT_EQ(m.ApplyOverrides(MERCURY_OVERRIDES_TOP_LEVEL | MERCURY_OVERRIDES_WALK), S_OK);
    EXPECT_EQ(AppliedOccurrences(), c.expected) << c.documents.size();
  }
  quorra::host::RegisterClassFactory(CLSID_JUpdateManager, nullptr);
}

TEST_F(MercuryApply, ClearingActsOnTheLiveOccurrences) {
  OccurrenceNode* sub = At(root_, {1});
  OccurrenceNode* bolt = At(root_, {1, 1});
  tagGTransf moved;
  moved.SetIdentity();
  for (OccurrenceNode* o : {static_cast<OccurrenceNode*>(root_), sub, bolt}) {
    ASSERT_EQ(o->SetOverrideMatrix(&moved), S_OK);
    ASSERT_EQ(o->SetOverrideSolverStatus(4), S_OK);
  }
  ASSERT_EQ(bolt->SetOverrideVariable(1, 2, 3.0), S_OK);
  Mercury m;
  // The start itself is left out: only the occurrences below it lose them.
  ASSERT_EQ(m.ClearOverrides(document_.Get(),
                             MERCURY_OVERRIDES_WALK | MERCURY_OVERRIDES_SKIP_START | MERCURY_OVERRIDES_MATRIX),
            S_OK);
  EXPECT_TRUE(root_->IsMatrixOverridden());
  EXPECT_FALSE(sub->IsMatrixOverridden());
  EXPECT_FALSE(bolt->IsMatrixOverridden());
  EXPECT_FALSE(bolt->IsSolverStatusOverridden());
  double value = 0;
  EXPECT_EQ(bolt->GetOverrideVariable(1, 2, &value), S_OK);  // not selected
  ASSERT_EQ(m.ClearOverrides(document_.Get(), MERCURY_OVERRIDES_MATRIX), S_OK);
  EXPECT_FALSE(root_->IsMatrixOverridden());
  EXPECT_TRUE(gApplied.empty());  // clearing never applies
}

// ---- end to end, once the override table applies for real ----

TEST_F(MercuryProperties, HiddenOccurrenceAfterTheApply) {
  ASSERT_EQ(At({1})->SetHidden(1), S_OK);
  EXPECT_FALSE(Occurrence({1})->IsHidden());
  HRESULT apply = iot_->Apply(nullptr, root_, 0x10);
  if (apply == E_NOTIMPL) GTEST_SKIP() << "the override table does not apply yet";
  auto m = At({1});
  ASSERT_EQ(m->ApplyOverrides(document_.Get(),
                              MERCURY_OVERRIDES_DOCUMENT_TREE | MERCURY_OVERRIDES_WALK | MERCURY_OVERRIDES_DISPLAY),
            S_OK);
  int hidden = 0, visible = 1;
  ASSERT_EQ(m->GetHidden(&hidden), S_OK);
  EXPECT_EQ(hidden, 1);
  ASSERT_EQ(At({1, 1})->GetVisible(&visible), S_OK);
  EXPECT_EQ(visible, 0);
}

}  // namespace
