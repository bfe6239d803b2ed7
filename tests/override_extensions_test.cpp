// Occurrence-property overrides on override nodes, and the definition levels
// of an overridden property over the overriding documents.
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <map>
#include <string>
#include <vector>

#include "support/assembly_builder.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;
using quorra::test::AssemblyBuilder;
using quorra::test::At;
using Levels = std::vector<std::pair<JDocIdentity, int>>;

class FakeDocument final : public ComObject<IUnknown> {};

// ---- node overrides ----

TEST(OccurrencePropertyOverrides, OnePairPerTypeInInsertionOrder) {
  JPartOverride node;
  EXPECT_EQ(node.GetOccurrencePropertyOverrides(false), nullptr);
  EXPECT_EQ(node.RemoveOccurrencePropertyOverride(JOET_NOT_SELECTABLE), S_OK);  // nothing there
  EXPECT_EQ(node.AddOccurrencePropertyOverride(JOET_HIDE_IN_SUBASSEMBLY, 1), S_OK);
  EXPECT_EQ(node.AddOccurrencePropertyOverride(JOET_NOT_SELECTABLE, 0), S_OK);
  EXPECT_EQ(node.AddOccurrencePropertyOverride(JOET_HIDE_IN_SUBASSEMBLY, 5), S_OK);
  EXPECT_TRUE(node.GetPropsEx() & IOTX_OCC_PROPERTIES);
  const quorra::OccPropertyOverrides expected{{JOET_HIDE_IN_SUBASSEMBLY, 5}, {JOET_NOT_SELECTABLE, 0}};
  ASSERT_NE(node.GetOccurrencePropertyOverrides(false), nullptr);
  EXPECT_EQ(*node.GetOccurrencePropertyOverrides(false), expected);

  EXPECT_EQ(node.RemoveOccurrencePropertyOverride(JOET_HIDE_IN_SUBASSEMBLY), S_OK);
  EXPECT_EQ(*node.GetOccurrencePropertyOverrides(false), (quorra::OccPropertyOverrides{{JOET_NOT_SELECTABLE, 0}}));
  EXPECT_EQ(node.RemoveOccurrencePropertyOverride(JOET_NOT_SELECTABLE), S_OK);
  EXPECT_EQ(node.GetOccurrencePropertyOverrides(false), nullptr);
  EXPECT_FALSE(node.GetPropsEx() & IOTX_OCC_PROPERTIES);
  ASSERT_NE(node.GetOccurrencePropertyOverrides(true), nullptr);
  EXPECT_TRUE(node.GetOccurrencePropertyOverrides(false)->empty());
}

TEST(OccurrencePropertyOverrides, ReleasedWithTheirNode) {
  JIDSOverrideTree tree;
  const std::vector<DWORD> path{4};
  JIDSOverride* node = nullptr;
  ASSERT_EQ(tree.AddOverride(1, path.data(), IOT_PART, &node), S_OK);
  node->AddOccurrencePropertyOverride(JOET_EXCLUDE_FROM_REPORTS, 1);
  EXPECT_EQ(JIDSOverride::Delete(node), S_OK);  // the sanitizer build checks the release
  EXPECT_EQ(tree.GetAsmOverride()->GetChildCount(), 0u);
}

// ---- the occurrence's extension record ----

TEST(OccurrencePropertyOverrides, RebuildKeepsWhatTheOccurrenceNeeds) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"top");
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* part = b.Part(L"p");
  b.Place(sub, part);
  b.Place(top, sub);
  b.Place(top, part);
  AssemblyOccurrence* root = b.Build(top);
  OccurrenceNode* firstLevel = At(root, {2});
  OccurrenceNode* secondLevel = At(root, {1, 1});
  ComPtr<FakeDocument> doc(new FakeDocument), other(new FakeDocument);
  const JDocIdentity identity(doc.Get());

  JPartOverride node;
  node.AddOccurrencePropertyOverride(JOET_HIDE_IN_DRAWING, 0);
  node.AddOccurrencePropertyOverride(JOET_NOT_SELECTABLE, 1);
  node.AddOccurrencePropertyOverride(JOET_EXCLUDE_FROM_REPORTS, 0);
  std::vector<JOverrideExtensions*>* records = nullptr;

  // First level: zero values are dropped unless another record names the type.
  ASSERT_EQ(firstLevel->SetOverrideExtensions(JDocIdentity(other.Get()), JOET_EXCLUDE_FROM_REPORTS), S_OK);
  ASSERT_EQ(quorra::RebuildOverrideExtensions(firstLevel, &node, identity), S_OK);
  ASSERT_EQ(firstLevel->GetOverrideExtensions(&records, false), S_OK);
  ASSERT_EQ(records->size(), 2u);
  EXPECT_EQ((*records)[1]->StoredOverrides(), (std::vector<DWORD>{JOET_NOT_SELECTABLE, JOET_EXCLUDE_FROM_REPORTS}));

  // Deeper: every pair stays.
  ASSERT_EQ(quorra::RebuildOverrideExtensions(secondLevel, &node, identity), S_OK);
  ASSERT_EQ(secondLevel->GetOverrideExtensions(&records, false), S_OK);
  EXPECT_EQ(records->back()->StoredOverrides(),
            (std::vector<DWORD>{JOET_HIDE_IN_DRAWING, JOET_NOT_SELECTABLE, JOET_EXCLUDE_FROM_REPORTS}));

  // No overrides: the record is emptied.
  ASSERT_EQ(quorra::RebuildOverrideExtensions(secondLevel, nullptr, identity), S_OK);
  EXPECT_TRUE(records->back()->StoredOverrides().empty());
  EXPECT_EQ(quorra::RebuildOverrideExtensions(secondLevel, &node, JDocIdentity()), E_INVALIDARG);
}

// ---- definition levels ----

struct Assembly {
  AssemblyBuilder b;
  OccurrenceNode* part = nullptr;
  Assembly() {
    AssemblySite* top = b.Assembly(L"top");
    PartSite* p = b.Part(L"p");
    b.Place(top, p);
    part = At(b.Build(top), {1});
  }
};

TEST(DefinitionLevels, CountFromTheInnermostRecord) {
  Assembly a;
  Levels levels{{JDocIdentity(), 9}};
  ScopedTraceCapture traces;
  EXPECT_EQ(JGetOverrideExtensionDefinitionLevels(nullptr, 5, &levels), E_INVALIDARG);
  EXPECT_EQ(JGetOverrideExtensionDefinitionLevels(a.part, 0, &levels), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("JGetOverrideExtensionDefinitionLevels", E_INVALIDARG));
  EXPECT_EQ(JGetOverrideExtensionDefinitionLevels(a.part, 5, &levels), E_FAIL);  // no records
  EXPECT_TRUE(levels.empty());

  ComPtr<FakeDocument> outer(new FakeDocument), middle(new FakeDocument), inner(new FakeDocument);
  const JDocIdentity docs[] = {JDocIdentity(outer.Get()), JDocIdentity(middle.Get()), JDocIdentity(inner.Get())};
  ASSERT_EQ(a.part->SetOverrideExtensions(docs[0], JOET_EXCLUDE_FROM_PHYPROPS), S_OK);
  EXPECT_EQ(JGetOverrideExtensionDefinitionLevels(a.part, 5, &levels), S_OK);
  EXPECT_EQ(levels, (Levels{{docs[0], 1}}));  // a single record is level 1

  ASSERT_EQ(a.part->SetOverrideExtensions(docs[1], JOET_EXCLUDE_FROM_PHYPROPS), S_OK);
  ASSERT_EQ(a.part->SetOverrideExtensions(docs[2], JOET_EXCLUDE_FROM_PHYPROPS), S_OK);
  EXPECT_EQ(JGetOverrideExtensionDefinitionLevels(a.part, 5, &levels), S_OK);
  EXPECT_EQ(levels, (Levels{{docs[2], 3}, {docs[1], 2}, {docs[0], 1}}));

  // Non-matching candidates still count.
  ASSERT_EQ(a.part->SetOverrideExtensions(docs[2], std::vector<DWORD>{JOET_NOT_SELECTABLE}), S_OK);
  EXPECT_EQ(JGetOverrideExtensionDefinitionLevels(a.part, 5, &levels), S_OK);
  EXPECT_EQ(levels, (Levels{{docs[1], 2}, {docs[0], 1}}));
  EXPECT_EQ(JGetOverrideExtensionDefinitionLevels(a.part, JOET_NOT_SELECTABLE, &levels), S_OK);
  EXPECT_EQ(levels, (Levels{{docs[2], 3}}));
}

// Documents the host has open, by name, served as "dulcet.dll".
std::map<std::wstring, IUnknown*>* gOpenDocuments = nullptr;
HRESULT GetDocumentIfOpen(const wchar_t* name, REFIID iid, void** out) {
  *out = nullptr;
  auto it = gOpenDocuments->find(name);
  if (it == gOpenDocuments->end()) return E_FAIL;
  return it->second->QueryInterface(iid, out);
}

TEST(DefinitionLevels, CustomPropertiesNameTheirDocuments) {
  Assembly a;
  ComPtr<FakeDocument> first(new FakeDocument), second(new FakeDocument);
  std::map<std::wstring, IUnknown*> open{{L"a.asm", first.Get()}, {L"b.asm", second.Get()}};
  gOpenDocuments = &open;
  quorra::host::RegisterModule(L"dulcet.dll", {{"JGetDocumentIfOpen", reinterpret_cast<void*>(&GetDocumentIfOpen)}});

  Levels levels;
  EXPECT_EQ(JGetOverrideExtensionDefinitionLevels(a.part, JOET_CUSTOM, &levels), S_OK);
  EXPECT_TRUE(levels.empty());
  auto* custom = new quorra::CustomOccPropertyOverrides{{GUserText(L"a.asm"), {}}, {GUserText(L"b.asm"), {}}};
  ASSERT_EQ(a.part->AddUserData(UD_CUSTOMOCCPROP_OVERRIDE, custom), S_OK);
  EXPECT_EQ(JGetOverrideExtensionDefinitionLevels(a.part, JOET_CUSTOM, &levels), S_OK);
  EXPECT_EQ(levels, (Levels{{JDocIdentity(second.Get()), 3}, {JDocIdentity(first.Get()), 1}}));

  // A document the host cannot find is traced and ends the answer.
  open.erase(L"a.asm");
  ScopedTraceCapture traces;
  EXPECT_EQ(JGetOverrideExtensionDefinitionLevels(a.part, JOET_CUSTOM, &levels), S_OK);
  EXPECT_TRUE(traces.Saw("JGetOverrideExtensionDefinitionLevels", E_FAIL));
  EXPECT_EQ(levels, (Levels{{JDocIdentity(second.Get()), 3}}));
  quorra::host::UnregisterModule(L"dulcet.dll");
  gOpenDocuments = nullptr;
}

}  // namespace
