#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdint>
#include <map>
#include <vector>

#include "support/assembly_builder.h"

using namespace quorra::test;
using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::ReferenceStyleLibrary;
using quorra::host::ScopedTraceCapture;

namespace {

// root -> 1: sub (asm) -> 1: p (part); root -> 2: q (part), placed at x 10.
struct SmallAssembly {
  AssemblyBuilder b;
  AssemblyOccurrence* root = nullptr;
  AssemblyOccurrence* sub = nullptr;
  OccurrenceNode* p = nullptr;
  OccurrenceNode* q = nullptr;
  AttachmentNode* qAttachment = nullptr;

  SmallAssembly() {
    AssemblySite* top = b.Assembly(L"root");
    AssemblySite* subSite = b.Assembly(L"sub");
    PartSite* part = b.Part(L"p");
    b.Place(subSite, part);
    b.Place(top, subSite, tagG4x4::Translation(0, 5, 0));
    qAttachment = b.Place(top, part, tagG4x4::Translation(10, 0, 0));
    root = b.Build(top);
    sub = AsmAt(root, {1});
    p = At(root, {1, 1});
    q = At(root, {2});
  }
  AsmTree* Tree() const { return b.Tree(); }
};

// View settings that answer fixed colours by id and count the reads.
struct FakeDisplaySettings : ComObject<IJDisplaySettings> {
  std::map<DWORD, DWORD> colors;
  int reads = 0;
  HRESULT GetSetting(DWORD id, DWORD* value) override {
    ++reads;
    auto it = colors.find(id);
    if (it == colors.end()) return E_FAIL;
    *value = it->second;
    return S_OK;
  }
};

struct FakeDocument : ComObject<quorra::host::IPersistIdentity> {
  DWORD GetPersistID() override { return 0; }
};

DWORD AsDword(void* v) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(v)); }

JOverrideBodyData Body(const wchar_t* name, const tagG4x4& matrix, DWORD version = 1) {
  JOverrideBodyData body;
  EXPECT_EQ(body.Populate(name, {{7, version}}, matrix), S_OK);
  return body;
}

bool NearlySame(const tagG4x4& a, const tagG4x4& b) { return a.IsEqual(b, 1e-9); }

}  // namespace

// ---- Symbology ----

TEST(OccurrenceStyle, SymbologyFallsBackToTheAttachmentAndFollowsTheOverrideColour) {
  SmallAssembly a;
  a.qAttachment->SetSymbology(0x1234);
  // Made before the attachment had a symbology: own 0, so the attachment's.
  EXPECT_EQ(a.q->GetSymbology(), 0x1234u);
  a.q->SetSymbology(0x55);
  EXPECT_EQ(a.q->GetSymbology(), 0x55u);

  // Pure blue (byte 2) and alpha 0: blue level 15, first material level 6,
  // width code of width 1 (0).
  EXPECT_EQ(a.q->SetOverrideColor(0x00FF0000u), S_OK);
  const DWORD packed = a.q->GetSymbology();
  EXPECT_TRUE(packed & SYMBOLOGY_PACKED);
  EXPECT_EQ(packed & 0xF, 0u);          // red
  EXPECT_EQ((packed >> 4) & 0xF, 0u);   // green
  EXPECT_EQ((packed >> 8) & 0xF, 15u);  // blue
  EXPECT_EQ(packed, 0x40060F00u);
  // Every channel quantised: red 0, green 0x40 -> 3, blue 0x80 -> 7,
  // alpha 0xFF -> 15.
  a.q->SetOverrideColor(0xFF804000u);
  EXPECT_EQ(a.q->GetSymbology(), 0x4006F730u);

  EXPECT_EQ(a.q->ClearOverrideColor(), S_OK);
  EXPECT_EQ(a.q->GetOverrideColor(), OCC_NO_OVERRIDE_COLOR);
  EXPECT_EQ(a.q->GetSymbology(), 0x55u);

  // The exported wrappers.
  EXPECT_EQ(PartOccurrenceGetSymbolody(nullptr), 0u);
  PartOccurrenceSetSymbolody(nullptr, 5);
  auto* part = static_cast<PartOccurrence*>(a.q);
  PartOccurrenceSetSymbolody(part, 0x77);
  EXPECT_EQ(PartOccurrenceGetSymbolody(part), 0x77u);
}

TEST(OccurrenceStyle, OverrideColourNeedsATree) {
  // An occurrence outside any tree keeps its own symbology.
  PartOccurrence loose(nullptr, nullptr);
  loose.SetSymbology(0x99);
  loose.SetOverrideColor(0x000000FFu);
  EXPECT_EQ(loose.GetOverrideColor(), 0x000000FFu);
  EXPECT_EQ(loose.GetSymbology(), 0x99u);
}

TEST(OccurrenceStyle, SimplifiedDisplayReadsTheViewColoursOncePerDirtyBit) {
  SmallAssembly a;
  a.q->SetSymbology(0x55);
  ComPtr<FakeDisplaySettings> settings(new FakeDisplaySettings());
  settings->colors = {{0x20014, 0x0000FF}, {0x20015, 0x00FF00}, {0x20016, 0x808080}, {0x20017, 0xFF0000}};
  JGraphicContext context;
  AsmTree* tree = a.Tree();

  // Without the display modes, or without settings, the own symbology.
  tree->SetGraphicContext(&context);
  tree->SetDirty(ASMTREE_DIRTY_DEFAULT_SYMBOLOGY);
  EXPECT_EQ(a.q->GetSymbology(), 0x55u);
  tree->SetProperties(ASMTREE_SIMPLIFYASM_VISIBLEFACE_DISPLAY);
  EXPECT_EQ(a.q->GetSymbology(), 0x55u);
  EXPECT_EQ(settings->reads, 0);

  context.SetDisplaySettings(settings.Get());
  // Visible-face mode: the second colour (green), alpha 1.
  EXPECT_EQ(a.q->GetSymbology(), quorra::PackSymbology(0, 1, 0, 1, 0.85, 0, 0, 1));
  EXPECT_EQ(settings->reads, 4);
  EXPECT_EQ(tree->GetDirty() & ASMTREE_DIRTY_DEFAULT_SYMBOLOGY, 0u);

  // Exclude mode: the fourth colour (blue); excluded occurrences the first.
  tree->SetProperties(ASMTREE_SIMPLIFYASM_EXCLUDEOCC_DISPLAY);
  EXPECT_EQ(a.q->GetSymbology(), quorra::PackSymbology(0, 0, 1, 1, 0.85, 0, 0, 1));
  tree->GetSimplifyAsmExcludeOccs()->insert(a.q);
  EXPECT_EQ(a.q->GetSymbology(), quorra::PackSymbology(1, 0, 0, 1, 0.85, 0, 0, 1));

  // New view colours are read only once the dirty bit is set again.
  settings->colors[0x20014] = 0x00FFFF;
  EXPECT_EQ(a.q->GetSymbology(), quorra::PackSymbology(1, 0, 0, 1, 0.85, 0, 0, 1));
  EXPECT_EQ(settings->reads, 4);
  tree->SetDirty(ASMTREE_DIRTY_DEFAULT_SYMBOLOGY);
  EXPECT_EQ(a.q->GetSymbology(), quorra::PackSymbology(1, 1, 0, 1, 0.85, 0, 0, 1));
  EXPECT_EQ(settings->reads, 8);

  // An override colour wins over the simplified colours.
  a.q->SetOverrideColor(0x00FF0000u);
  EXPECT_EQ(a.q->GetSymbology(), 0x40060F00u);
  tree->SetGraphicContext(nullptr);
}

// ---- Styles ----

TEST(OccurrenceStyle, StyleComesFromTheAttachmentWhenTheOwnSymbologyIsZero) {
  SmallAssembly a;
  ComPtr<ReferenceStyleLibrary> library(new ReferenceStyleLibrary());
  a.qAttachment->SetStyleLibrary(library.Get());
  a.qAttachment->SetSymbology(0x4000F00Fu);
  ASSERT_EQ(a.q->GetSymbology(), 0x4000F00Fu);

  GGlobalStyle3D* style = a.q->GetStyle(0);
  ASSERT_NE(style, nullptr);
  EXPECT_EQ(style, a.qAttachment->GetStyle(0));
  EXPECT_EQ(style->GetKey(), quorra::SymbologyStyleKey(0x4000F00Fu));
  // The occurrence's own library holds nothing: the style is the attachment's.
  EXPECT_EQ(library->GetStyleCount(), 1u);
}

TEST(OccurrenceStyle, OnlyPackedSymbologyStylesAreCached) {
  SmallAssembly a;
  ComPtr<ReferenceStyleLibrary> library(new ReferenceStyleLibrary());
  EXPECT_EQ(a.q->SetStyleLibrary(library.Get()), S_OK);
  EXPECT_EQ(a.q->GetStyleLibrary(), library.Get());

  a.q->SetSymbology(0x4000F00Fu);
  GGlobalStyle3D* packed = a.q->GetStyle(0);
  ASSERT_NE(packed, nullptr);
  const DWORD finds = library->GetFindCount();
  EXPECT_EQ(a.q->GetStyle(0), packed);
  EXPECT_EQ(library->GetFindCount(), finds);  // served from the node

  a.q->SetSymbology(0x1234);  // a library key: asked every time
  GGlobalStyle3D* keyed = a.q->GetStyle(0);
  ASSERT_NE(keyed, nullptr);
  const DWORD finds2 = library->GetFindCount();
  EXPECT_EQ(a.q->GetStyle(0), keyed);
  EXPECT_GT(library->GetFindCount(), finds2);

  // With own symbology 0 the fallback is the key.
  a.q->SetSymbology(0);
  GGlobalStyle3D* fallback = a.q->GetStyle(0x4000000Fu);
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(fallback->GetKey(), quorra::SymbologyStyleKey(0x4000000Fu));

  // A new library drops the cached style.
  ComPtr<ReferenceStyleLibrary> other(new ReferenceStyleLibrary());
  a.q->SetStyleLibrary(other.Get());
  a.q->SetSymbology(0x4000F00Fu);
  GGlobalStyle3D* fromOther = a.q->GetStyle(0);
  EXPECT_NE(fromOther, packed);
  EXPECT_EQ(other->GetStyleCount(), 1u);
}

TEST(OccurrenceStyle, SimplifiedDisplayStylesAreNotCached) {
  SmallAssembly a;
  ComPtr<ReferenceStyleLibrary> library(new ReferenceStyleLibrary());
  a.q->SetStyleLibrary(library.Get());
  a.q->SetSymbology(0x4000F00Fu);
  a.q->GetStyle(0);
  ComPtr<FakeDisplaySettings> settings(new FakeDisplaySettings());
  settings->colors = {{0x20015, 0x00FF00}};
  JGraphicContext context;
  context.SetDisplaySettings(settings.Get());
  a.Tree()->SetGraphicContext(&context);
  a.Tree()->SetProperties(ASMTREE_SIMPLIFYASM_VISIBLEFACE_DISPLAY);
  a.Tree()->SetDirty(ASMTREE_DIRTY_DEFAULT_SYMBOLOGY);
  GGlobalStyle3D* green = a.q->GetStyle(0);
  ASSERT_NE(green, nullptr);
  EXPECT_EQ(green->GetKey(), quorra::SymbologyStyleKey(quorra::PackSymbology(0, 1, 0, 1, 0.85, 0, 0, 1)));
  a.Tree()->SetProperties(0);
  // Back to the node's own packed symbology, which the cache still holds.
  EXPECT_EQ(a.q->GetStyle(0)->GetKey(), quorra::SymbologyStyleKey(0x4000F00Fu));
  a.Tree()->SetGraphicContext(nullptr);
}

TEST(OccurrenceStyle, StyleLibraryReferencesBalance) {
  ComPtr<ReferenceStyleLibrary> first(new ReferenceStyleLibrary());
  ComPtr<ReferenceStyleLibrary> second(new ReferenceStyleLibrary());
  {
    SmallAssembly a;
    a.q->SetStyleLibrary(first.Get());
    a.q->SetStyleLibrary(first.Get());  // the same: no second reference
    EXPECT_EQ(first->GetRefCount(), 2u);
    a.q->SetStyleLibrary(second.Get());
    EXPECT_EQ(first->GetRefCount(), 1u);
    EXPECT_EQ(second->GetRefCount(), 2u);
  }
  EXPECT_EQ(second->GetRefCount(), 1u);  // released with the node
}

TEST(OccurrenceStyle, DroppingTheOverrideColourShowsTheTransparentColour) {
  SmallAssembly a;
  a.Tree()->SetTransparentColor(0x11223344u);
  int found = 0;
  // Property word 0: nothing recorded.
  a.q->SetOverrideColor(OCC_NO_OVERRIDE_COLOR);
  a.q->GetUserData(UD_TRANSPARENT_DISPLAY, &found);
  EXPECT_EQ(found, 0);
  a.Tree()->SetProperties(ASMTREE_CHECK_TRANSPARENT_DISPLAY);
  a.q->SetOverrideColor(0x000000FFu);
  EXPECT_EQ(a.q->SetOverrideColor(OCC_NO_OVERRIDE_COLOR), S_OK);
  EXPECT_EQ(a.q->GetOverrideColor(), OCC_NO_OVERRIDE_COLOR);
  EXPECT_EQ(AsDword(a.q->GetUserData(UD_TRANSPARENT_DISPLAY, &found)), 0x11223344u);
  // Replaced, not refused, the second time.
  a.Tree()->SetTransparentColor(0x55u);
  a.q->SetOverrideColor(OCC_NO_OVERRIDE_COLOR);
  EXPECT_EQ(AsDword(a.q->GetUserData(UD_TRANSPARENT_DISPLAY, &found)), 0x55u);
  a.q->ClearOverrideColor();
  a.q->GetUserData(UD_TRANSPARENT_DISPLAY, &found);
  EXPECT_EQ(found, 0);
}

// ---- Variables, status, constraints ----

TEST(OccurrenceStyle, OverrideVariablesKeyByObjectAndType) {
  SmallAssembly a;
  OccurrenceNode* n = a.q;
  quorra::OverrideVariableMap vars{{1, {10, 1.5}}, {1, {11, 2.5}}, {2, {10, 3.5}}};
  EXPECT_EQ(n->SetOverrideVariables(&vars, 0), S_OK);
  EXPECT_TRUE(n->GetFlags() & OCC_OVERRIDDEN_VARIABLES);
  vars.clear();  // the node keeps its own copy

  {
    ScopedTraceCapture traces;
    quorra::OverrideVariableMap other{{9, {9, 9.0}}};
    EXPECT_EQ(n->SetOverrideVariables(&other, 1), E_INVALIDARG);
    EXPECT_EQ(n->SetOverrideVariables(nullptr, 0), E_INVALIDARG);
    EXPECT_TRUE(traces.Saw("OccurrenceNode::SetOverrideVariables", E_INVALIDARG));
  }
  double value = 0;
  EXPECT_EQ(n->GetOverrideVariable(1, 11, &value), S_OK);
  EXPECT_EQ(value, 2.5);
  EXPECT_EQ(n->GetOverrideVariable(9, 9, &value), E_FAIL);  // the refused map left nothing
  EXPECT_EQ(n->GetOverrideVariable(2, 11, &value), E_FAIL);

  // Same (object, type): replaced; another type: added.
  n->SetOverrideVariable(1, 10, 4.0);
  n->SetOverrideVariable(1, 12, 5.0);
  auto [begin, end] = n->GetOverrideVariable(1);
  std::vector<std::pair<DWORD, double>> ofOne;
  for (auto it = begin; it != end; ++it) ofOne.push_back(it->second);
  EXPECT_EQ(ofOne, (std::vector<std::pair<DWORD, double>>{{10, 4.0}, {11, 2.5}, {12, 5.0}}));
  auto none = n->GetOverrideVariable(77);
  EXPECT_EQ(none.first, none.second);

  {
    ScopedTraceCapture traces;
    EXPECT_EQ(n->ClearOverrideVariable(2, 11), E_FAIL);  // object present with another type
    EXPECT_TRUE(traces.Saw("OccurrenceNode::ClearOverrideVariable", E_FAIL));
  }
  EXPECT_EQ(n->ClearOverrideVariable(2, 10), S_OK);
  EXPECT_EQ(n->GetOverrideVariable(2, 10, &value), E_FAIL);
  EXPECT_TRUE(n->GetFlags() & OCC_OVERRIDDEN_VARIABLES);  // the flag stays

  EXPECT_EQ(n->ClearOverrideVariables(), S_OK);
  EXPECT_FALSE(n->GetFlags() & OCC_OVERRIDDEN_VARIABLES);
  EXPECT_EQ(n->ClearOverrideVariable(1, 10), E_UNEXPECTED);

  // Flag set but the map gone (removed behind the node's back).
  n->SetOverrideVariable(3, 3, 3.0);
  n->RemoveUserData(UD_OVERRIDE_VARIABLES);
  EXPECT_EQ(n->ClearOverrideVariable(3, 3), E_POINTER);
  // A fresh single variable makes the map again.
  EXPECT_EQ(n->SetOverrideVariable(4, 4, 4.0), S_OK);
  EXPECT_EQ(n->GetOverrideVariable(4, 4, &value), S_OK);
  EXPECT_EQ(value, 4.0);
}

TEST(OccurrenceStyle, SolverStatusAndConstraints) {
  SmallAssembly a;
  OccurrenceNode* n = a.p;
  EXPECT_EQ(n->GetOverrideSolverStatus(), 0u);
  n->SetOverrideSolverStatus(7);
  EXPECT_TRUE(n->IsSolverStatusOverridden());
  EXPECT_EQ(n->GetOverrideSolverStatus(), 7u);
  n->SetOverrideSolverStatus(9);  // replaced, not refused as a duplicate
  EXPECT_EQ(n->GetOverrideSolverStatus(), 9u);
  n->SetOverrideSolverStatus(0);
  EXPECT_FALSE(n->IsSolverStatusOverridden());
  EXPECT_EQ(n->GetOverrideSolverStatus(), 0u);
  int found = 1;
  n->GetUserData(UD_OVERRIDE_SOLVE_STATUS, &found);
  EXPECT_EQ(found, 0);

  std::map<DWORD, DWORD>* constraints = nullptr;
  EXPECT_EQ(n->GetOverrideConstraints(nullptr), E_INVALIDARG);
  EXPECT_EQ(n->GetOverrideConstraints(&constraints), E_FAIL);
  std::map<DWORD, DWORD> given{{1, 2}, {3, 4}};
  EXPECT_EQ(n->SetOverrideConstraints(&given), S_OK);
  ASSERT_EQ(n->GetOverrideConstraints(&constraints), S_OK);
  EXPECT_NE(constraints, &given);
  EXPECT_EQ(*constraints, given);
  // Setting the stored map itself again is safe.
  EXPECT_EQ(n->SetOverrideConstraints(constraints), S_OK);
  ASSERT_EQ(n->GetOverrideConstraints(&constraints), S_OK);
  EXPECT_EQ(*constraints, given);
  EXPECT_EQ(n->SetOverrideConstraints(nullptr), S_OK);
  EXPECT_EQ(n->GetOverrideConstraints(&constraints), E_FAIL);
  EXPECT_EQ(constraints, nullptr);
}

// ---- Override body ----

TEST(OccurrenceStyle, OverrideBodyKeepsThePreviousBodyAndTheBodyMatrix) {
  SmallAssembly a;
  OccurrenceNode* n = a.q;
  JOverrideBodyData* out = reinterpret_cast<JOverrideBodyData*>(1);
  EXPECT_EQ(n->GetOverrideBodyData(&out), E_FAIL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(n->GetOverrideBodyData(nullptr), E_INVALIDARG);
  EXPECT_EQ(n->GetPreviousOverrideBodyData(nullptr), E_INVALIDARG);

  n->SetSimplifiedNoRebind();
  const tagG4x4 m1 = tagG4x4::Translation(0, 0, 3);
  JOverrideBodyData first = Body(L"Top.asm", m1);
  EXPECT_EQ(n->SetOverrideBodyData(&first), S_OK);
  EXPECT_TRUE(n->IsBodyOverridden());
  EXPECT_FALSE(n->IsSimplified());
  ASSERT_EQ(n->GetOverrideBodyData(&out), S_OK);
  EXPECT_NE(out, &first);  // a copy
  EXPECT_EQ(out->GetAssemblyName(), L"Top.asm");
  EXPECT_EQ(n->GetPreviousOverrideBodyData(&out), E_FAIL);
  // Body matrix: world x inverse(body matrix) = translation (10, 0, -3).
  auto* bodyMatrix = static_cast<tagG4x4*>(n->GetUserData(UD_OVERRIDE_BODY_MATRIX, nullptr));
  ASSERT_NE(bodyMatrix, nullptr);
  EXPECT_TRUE(NearlySame(*bodyMatrix, tagG4x4::Translation(10, 0, -3)));

  // Another assembly's body: the first becomes the previous body.
  JOverrideBodyData second = Body(L"Other.asm", tagG4x4::Translation(1, 0, 0));
  EXPECT_EQ(n->SetOverrideBodyData(&second), S_OK);
  ASSERT_EQ(n->GetPreviousOverrideBodyData(&out), S_OK);
  EXPECT_EQ(out->GetAssemblyName(), L"Top.asm");
  JOverrideBodyData* previous = out;

  // The same assembly again (names differ only in case): updated in place,
  // the previous body stays as it was.
  JOverrideBodyData again = Body(L"OTHER.ASM", tagG4x4::Translation(2, 0, 0), 5);
  JOverrideBodyData* current = nullptr;
  n->GetOverrideBodyData(&current);
  EXPECT_EQ(n->SetOverrideBodyData(&again), S_OK);
  ASSERT_EQ(n->GetOverrideBodyData(&out), S_OK);
  EXPECT_EQ(out, current);
  EXPECT_EQ(out->GetVersionMap().at(7), 5u);
  ASSERT_EQ(n->GetPreviousOverrideBodyData(&out), S_OK);
  EXPECT_EQ(out, previous);
  EXPECT_TRUE(NearlySame(*bodyMatrix, tagG4x4::Translation(8, 0, 0)));

  // The previous body handed back as the new one: stored before the old
  // previous body is dropped.
  EXPECT_EQ(n->SetOverrideBodyData(previous), S_OK);
  ASSERT_EQ(n->GetOverrideBodyData(&out), S_OK);
  EXPECT_EQ(out->GetAssemblyName(), L"Top.asm");
  ASSERT_EQ(n->GetPreviousOverrideBodyData(&out), S_OK);
  EXPECT_EQ(out->GetAssemblyName(), L"OTHER.ASM");

  // Null removes the body and the previous one; the body matrix becomes identity.
  EXPECT_EQ(n->SetOverrideBodyData(nullptr), S_OK);
  EXPECT_FALSE(n->IsBodyOverridden());
  EXPECT_EQ(n->GetOverrideBodyData(&out), E_FAIL);
  int found = 0;
  n->GetUserData(UD_PREVIOUS_OVERRIDE_BODY, &found);
  EXPECT_EQ(found, 0);
  EXPECT_TRUE(NearlySame(*bodyMatrix, tagG4x4()));
  EXPECT_EQ(n->SetOverrideBodyData(nullptr), S_FALSE);  // nothing to remove
}

TEST(OccurrenceStyle, OverrideBodyRefusedByAStrayBodyEntryIsTraced) {
  // A body stored without the flag (by a host writing user data directly)
  // blocks the new one: refused, traced, nothing changed.
  SmallAssembly a;
  auto* stray = new JOverrideBodyData(Body(L"stray.asm", tagG4x4()));
  ASSERT_EQ(a.q->AddUserData(UD_OVERRIDE_BODY, stray), S_OK);
  JOverrideBodyData body = Body(L"top.asm", tagG4x4::Translation(1, 0, 0));
  ScopedTraceCapture traces;
  EXPECT_EQ(a.q->SetOverrideBodyData(&body), E_FAIL);
  EXPECT_TRUE(traces.Saw("OccurrenceNode::SetOverrideBodyData", E_FAIL));
  EXPECT_FALSE(a.q->IsBodyOverridden());
  EXPECT_EQ(a.q->GetUserData(UD_OVERRIDE_BODY, nullptr), stray);
}

TEST(OccurrenceStyle, OverrideBodyEmbedsTheOccurrenceMatrices) {
  SmallAssembly a;
  OccurrenceNode* n = a.p;  // world: translation (0, 5, 0)
  JOverrideBodyData body = Body(L"top.asm", tagG4x4::Translation(0, 0, 2));
  n->SetOverrideBodyData(&body);
  EXPECT_TRUE(NearlySame(n->GetEmbeddedMatrix(), tagG4x4::Translation(0, 0, -2)));
  EXPECT_TRUE(NearlySame(n->GetUndecoratedMatrix(0x1), tagG4x4::Translation(0, 5, -2)));
  EXPECT_TRUE(NearlySame(n->GetUndecoratedMatrix(0), tagG4x4::Translation(0, 5, 0)));

  // Moving the parent: the next world-matrix refresh updates the body matrix.
  tagGTransf moved(tagG4x4::Translation(0, 7, 0));
  a.sub->SetOverrideMatrix(&moved);
  EXPECT_TRUE(NearlySame(n->GetCurrentToWorld(), tagG4x4::Translation(0, 7, 0)));
  auto* bodyMatrix = static_cast<tagG4x4*>(n->GetUserData(UD_OVERRIDE_BODY_MATRIX, nullptr));
  ASSERT_NE(bodyMatrix, nullptr);
  EXPECT_TRUE(NearlySame(*bodyMatrix, tagG4x4::Translation(0, 7, -2)));

  // Animated: the world matrix is the animated one with the embedding undone.
  n->SetAnimatedMatrix(tagG4x4::Translation(1, 1, 1), tagG4x4());
  EXPECT_TRUE(NearlySame(n->GetCurrentToWorld(), tagG4x4::Translation(1, 1, 3)));

  n->SetOverrideBodyData(nullptr);
  EXPECT_TRUE(NearlySame(n->GetEmbeddedMatrix(), tagG4x4()));
}

// ---- Override extensions ----

TEST(OccurrenceStyle, OverrideExtensionsAreKeptPerDocument) {
  SmallAssembly a;
  OccurrenceNode* n = a.q;
  std::vector<JOverrideExtensions*>* records = nullptr;
  {
    ScopedTraceCapture traces;
    EXPECT_EQ(n->GetOverrideExtensions(nullptr, true), E_INVALIDARG);
    EXPECT_TRUE(traces.Saw("OccurrenceNode::GetOverrideExtensions", E_INVALIDARG));
    EXPECT_EQ(n->SetOverrideExtensions(GUserText(), JOET_NOT_SELECTABLE), E_INVALIDARG);
    EXPECT_EQ(n->SetOverrideExtensions(JDocIdentity(), JOET_NOT_SELECTABLE), E_INVALIDARG);
  }
  EXPECT_EQ(n->GetOverrideExtensions(&records, false), E_FAIL);
  EXPECT_EQ(records, nullptr);

  // By name: case does not matter, one record per document.
  EXPECT_EQ(n->SetOverrideExtensions(GUserText(L"C:\\Top.ASM"), JOET_HIDE_IN_DRAWING), S_OK);
  EXPECT_EQ(n->SetOverrideExtensions(GUserText(L"c:\\top.asm"), JOET_NOT_SELECTABLE), S_OK);
  ComPtr<FakeDocument> doc(new FakeDocument());
  JDocIdentity identity(doc.Get());
  EXPECT_EQ(n->SetOverrideExtensions(identity, JOET_EXCLUDE_FROM_REPORTS), S_OK);
  EXPECT_EQ(n->SetOverrideExtensions(JDocIdentity(identity), JOET_EXCLUDE_FROM_PHYPROPS), S_OK);

  ASSERT_EQ(n->GetOverrideExtensions(&records, false), S_OK);
  ASSERT_EQ(records->size(), 2u);
  JOverrideExtensions* byName = (*records)[0];
  JOverrideExtensions* byDocument = (*records)[1];
  EXPECT_EQ(byName->GetStoredDocumentName(), L"c:\\top.asm");
  EXPECT_EQ(byName->StoredOverrides(), (std::vector<DWORD>{JOET_HIDE_IN_DRAWING, JOET_NOT_SELECTABLE}));
  EXPECT_EQ(byDocument->GetStoredDocumentID(), identity);
  EXPECT_EQ(byDocument->StoredOverrides(), (std::vector<DWORD>{JOET_EXCLUDE_FROM_REPORTS, JOET_EXCLUDE_FROM_PHYPROPS}));

  // The vector form replaces the record's list.
  EXPECT_EQ(n->SetOverrideExtensions(identity, std::vector<DWORD>{JOET_DISPLAY_AS_DRAFTREF}), S_OK);
  EXPECT_EQ(byDocument->StoredOverrides(), (std::vector<DWORD>{JOET_DISPLAY_AS_DRAFTREF}));

  EXPECT_EQ(n->RemoveOverrideExtensions(GUserText(L"C:\\TOP.asm"), JOET_HIDE_IN_DRAWING), S_OK);
  EXPECT_EQ(byName->StoredOverrides(), (std::vector<DWORD>{JOET_NOT_SELECTABLE}));
  EXPECT_EQ(n->RemoveAllOverrideExtensions(identity), S_OK);
  EXPECT_TRUE(byDocument->StoredOverrides().empty());
  EXPECT_EQ(records->size(), 2u);  // emptied records stay
  EXPECT_EQ(n->RemoveAllOverrideExtensions(GUserText(L"other.asm")), S_FALSE);
  EXPECT_EQ(n->RemoveOverrideExtensions(JDocIdentity(), 1), S_FALSE);
  EXPECT_EQ(n->RemoveAllOverrideExtensions(GUserText(L"C:\\top.asm")), S_OK);
  EXPECT_TRUE(byName->StoredOverrides().empty());
}

TEST(OccurrenceStyle, OverrideExtensionRecordKeys) {
  JOverrideExtensions record;
  ScopedTraceCapture traces;
  EXPECT_EQ(record.AddOverride(JOET_HIDE_IN_DRAWING), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("JOverrideExtensions::AddOverride", E_INVALIDARG));
  EXPECT_EQ(record.RemoveOverride(1), E_INVALIDARG);
  EXPECT_EQ(record.RemoveAllOverrides(), E_INVALIDARG);

  EXPECT_EQ(record.SetOverrideDocument(GUserText(L"Top.Asm")), S_OK);
  EXPECT_EQ(record.GetStoredDocumentName(), L"top.asm");
  EXPECT_EQ(record.SetOverrideDocument(GUserText(L"other.asm")), E_FAIL);
  EXPECT_TRUE(traces.Saw("JOverrideExtensions::SetOverrideDocument", E_FAIL));
  EXPECT_EQ(record.GetStoredDocumentName(), L"top.asm");
  EXPECT_EQ(record.SetOverride(GUserText(L"other.asm"), 1), E_INVALIDARG);
  EXPECT_EQ(record.SetOverrideDocument(GUserText()), E_INVALIDARG);

  record.AddOverride(JOET_NOT_SELECTABLE);
  record.AddOverride(JOET_NOT_SELECTABLE);
  record.AddOverride(99);
  record.RemoveOverride(JOET_NOT_SELECTABLE);  // the first only
  std::vector<GUserText> names;
  record.GetStoredOverridesInStringForm(names);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], L"JOET_NOT_SELECTABLE");
  EXPECT_EQ(names[1], L"I do not know what this entry is!");

  // Keying by document clears the name; another document is refused.
  ComPtr<FakeDocument> docA(new FakeDocument());
  ComPtr<FakeDocument> docB(new FakeDocument());
  EXPECT_EQ(record.SetOverrideDocument(JDocIdentity(docA.Get())), S_OK);
  EXPECT_TRUE(record.GetStoredDocumentName().IsEmpty());
  EXPECT_EQ(record.SetOverrideDocument(JDocIdentity(docB.Get())), E_FAIL);
  EXPECT_EQ(record.SetOverride(JDocIdentity(docB.Get()), 3), E_INVALIDARG);
  EXPECT_EQ(record.SetOverrideDocument(JDocIdentity()), E_INVALIDARG);
  EXPECT_TRUE(record.IsForDocument(JDocIdentity(docA.Get())));
  EXPECT_FALSE(record.IsForDocument(JDocIdentity()));
}

TEST(OccurrenceStyle, CustomPropertyOverridesAreCopiedOut) {
  SmallAssembly a;
  std::vector<std::pair<GUserText, std::vector<std::pair<GUserText, GUserText>>>> out{{GUserText(L"stale"), {}}};
  EXPECT_EQ(a.q->GetOverriddenCustomOccProperties(out), S_OK);
  EXPECT_TRUE(out.empty());
  auto* stored = new quorra::CustomOccPropertyOverrides{
      {GUserText(L"top.asm"), {{GUserText(L"Finish"), GUserText(L"Red")}}},
      {GUserText(L"sub.asm"), {{GUserText(L"Vendor"), GUserText(L"Acme")}, {GUserText(L"Cost"), GUserText(L"3")}}}};
  ASSERT_EQ(a.q->AddUserData(UD_CUSTOMOCCPROP_OVERRIDE, stored), S_OK);  // freed with the node
  EXPECT_EQ(a.q->GetOverriddenCustomOccProperties(out), S_OK);
  EXPECT_EQ(out, *stored);
}

// ---- Body data values ----

TEST(OccurrenceStyle, BodyDataCopiesCarryTheDocumentAndPopulateForgetsIt) {
  ComPtr<FakeDocument> doc(new FakeDocument());
  JOverrideBodyData body;
  DWORD extra = 0x20;
  EXPECT_EQ(body.PopulateEx(L"a.asm", {{1, 2}, {3, 4}}, tagG4x4::Translation(1, 2, 3), extra), S_OK);
  EXPECT_EQ(body.SetAsmDoc(L"b.asm", doc.Get()), S_OK);
  JOverrideBodyData copy(body);
  EXPECT_EQ(copy.GetAssemblyName(), L"b.asm");
  EXPECT_EQ(copy.GetExtra(), 0x20u);
  EXPECT_TRUE(copy.GetAssemblyDocumentIdentity().DocumentSet());
  EXPECT_EQ(copy.GetAssemblyDocumentIdentity(), body.GetAssemblyDocumentIdentity());

  // Populating from its own map keeps the versions.
  copy.Populate(L"c.asm", copy.GetVersionMap(), tagG4x4());
  EXPECT_FALSE(copy.GetAssemblyDocumentIdentity().DocumentSet());
  EXPECT_EQ(copy.GetExtra(), 0u);
  EXPECT_EQ(copy.GetVersionMap(), (JOverrideBodyData::VersionMap{{1, 2}, {3, 4}}));
}

TEST(OccurrenceStyle, StoredOverrideStateIsReleasedWithTheTree) {
  // Every kind of override state on one node; the leak checker of the
  // sanitizer build catches a value type without a release rule.
  SmallAssembly a;
  OccurrenceNode* n = a.p;
  quorra::OverrideVariableMap vars{{1, {2, 3.0}}};
  n->SetOverrideVariables(&vars, 0);
  std::map<DWORD, DWORD> constraints{{1, 1}};
  n->SetOverrideConstraints(&constraints);
  JOverrideBodyData first = Body(L"a.asm", tagG4x4());
  JOverrideBodyData second = Body(L"b.asm", tagG4x4());
  n->SetOverrideBodyData(&first);
  n->SetOverrideBodyData(&second);  // 41, 49 and 70
  n->SetOverrideExtensions(GUserText(L"a.asm"), JOET_NOT_SELECTABLE);
  n->SetOverrideSolverStatus(3);
  n->AddUserData(UD_CUSTOMOCCPROP_OVERRIDE, new quorra::CustomOccPropertyOverrides{{GUserText(L"x"), {}}});
  for (DWORD type : {UD_OVERRIDE_VARIABLES, UD_OVERRIDE_Constraints, UD_OVERRIDE_BODY, UD_PREVIOUS_OVERRIDE_BODY,
                     UD_OVERRIDE_BODY_MATRIX, UD_OVERRIDE_EXTENSIONS, UD_CUSTOMOCCPROP_OVERRIDE}) {
    void* value = n->GetUserData(type, nullptr);
    ASSERT_NE(value, nullptr) << type;
    // The library's cleanup knows each of these types; plain values it leaves alone.
    void* probe = nullptr;
    EXPECT_EQ(quorra::NodeUserDataCleanup(type, &probe), S_OK) << type;
  }
  void* status = n->GetUserData(UD_OVERRIDE_SOLVE_STATUS, nullptr);
  EXPECT_EQ(quorra::NodeUserDataCleanup(UD_OVERRIDE_SOLVE_STATUS, &status), S_FALSE);
  EXPECT_EQ(AsDword(status), 3u);
}
