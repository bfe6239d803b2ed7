// The override table: path creation and binding, type replacement, route
// keyed children, removal scopes, node values, dirty flags through the host,
// the adjustable cache and style-manager notification.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>

#include <map>
#include <memory>
#include <vector>

#include "support/assembly_builder.h"
#include "support/top_sub_bolt.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;

using Path = std::vector<DWORD>;

// Counts the uses of each style id.
class CountingStyleManager final : public ComObject<IJStyleManager> {
 public:
  HRESULT AddStyleUse(DWORD id) override {
    ++uses[id];
    ++adds;
    return S_OK;
  }
  HRESULT ReleaseStyleUse(DWORD id) override {
    --uses[id];
    ++releases;
    return S_OK;
  }
  std::map<DWORD, int> uses;
  int adds = 0;
  int releases = 0;
};

class FakeDocument final : public ComObject<IUnknown> {};

// The host's family-of-assemblies answers, served as "ferrule.dll".
BOOL gMaster = 1;
BOOL gEditMode = 0;
HRESULT CheckFoaMaster(IUnknown*, BOOL* master, BOOL* editMode) {
  *master = gMaster;
  *editMode = gEditMode;
  return S_OK;
}

class HostModules {
 public:
  HostModules() {
    quorra::host::RegisterModule(L"ferrule.dll",
                                 {{"JAsmCheckFoaMasterAndEditMode2", reinterpret_cast<void*>(&CheckFoaMaster)}});
  }
  ~HostModules() { quorra::host::UnregisterModule(L"ferrule.dll"); }
};

tagG4x4 Translation(double x) {
  tagG4x4 m;
  m(0, 3) = x;
  m(3, 0) = x;
  return m;
}

JRoadmap Roadmap(Path ids) {
  JRoadmap roadmap;
  for (DWORD id : ids) roadmap.AddRoute(id, 0);
  return roadmap;
}

JIDSOverride* Node(JIDSOverrideTree& tree, Path path) {
  JIDSOverride* node = nullptr;
  tree.GetOverride(static_cast<DWORD>(path.size()), path.data(), &node);
  return node;
}

HRESULT SetMatrixAt(JIDSOverrideTree& tree, Path path, double x, DWORD type = IOT_PART) {
  tagG4x4 m = Translation(x);
  return tree.SetMatrix(static_cast<DWORD>(path.size()), path.data(), &m, type);
}

// ---- paths ----

TEST(OverrideTree, PathCreationMakesAssemblyOverridesAboveTheLeaf) {
  JIDSOverrideTree tree;
  const DWORD asmBefore = JAsmOverride::GetInstanceCount(), partBefore = JPartOverride::GetInstanceCount();
  ASSERT_EQ(SetMatrixAt(tree, {3, 7, 9}, 5.0), S_OK);
  EXPECT_EQ(JAsmOverride::GetInstanceCount(), asmBefore + 2);
  EXPECT_EQ(JPartOverride::GetInstanceCount(), partBefore + 1);
  JIDSOverride* a = Node(tree, {3});
  JIDSOverride* b = Node(tree, {3, 7});
  JIDSOverride* leaf = Node(tree, {3, 7, 9});
  ASSERT_TRUE(a && b && leaf);
  EXPECT_TRUE(a->IsAssembly() && b->IsAssembly() && leaf->IsPart());
  EXPECT_EQ(a->GetProps(), IOT_ASSEMBLY);  // intermediate nodes carry nothing
  EXPECT_EQ(leaf->GetParent(), b);
  EXPECT_EQ(leaf->GetTree(), &tree);
  EXPECT_EQ(leaf->GetAllocator(), static_cast<MemoryAllocator*>(&tree));
  EXPECT_EQ(leaf->GetRoadmap(), Roadmap({3, 7, 9}));

  tagG4x4 out;
  const Path p{3, 7, 9};
  ASSERT_EQ(tree.GetMatrix(3, p.data(), &out), S_OK);
  EXPECT_EQ(out(0, 3), 5.0);
  EXPECT_TRUE(leaf->GetProps() & IOT_OVERRIDE_MATRIX);

  // A part in the middle of a path ends the binding.
  const Path through{3, 7, 9, 1};
  EXPECT_EQ(Node(tree, through), nullptr);
  EXPECT_EQ(tree.GetMatrix(4, through.data(), &out), E_FAIL);
  // Creating through it turns the part into an assembly override.
  EXPECT_EQ(SetMatrixAt(tree, through, 1.0), S_OK);
  EXPECT_TRUE(Node(tree, {3, 7, 9})->IsAssembly());
  EXPECT_EQ(Node(tree, {3, 7, 9})->GetMatrix(), nullptr);
  EXPECT_EQ(JAsmOverride::GetInstanceCount(), asmBefore + 3);
  EXPECT_EQ(JPartOverride::GetInstanceCount(), partBefore + 1);
}

TEST(OverrideTree, AddAndGetOverrideArguments) {
  JIDSOverrideTree tree;
  JIDSOverride* out = nullptr;
  EXPECT_EQ(tree.AddOverride(0, nullptr, IOT_PART, &out), S_OK);
  EXPECT_EQ(out, tree.GetAsmOverride());
  EXPECT_EQ(tree.AddOverride(0, nullptr, IOT_HAVE_ROUTE, &out), E_INVALIDARG);
  const Path p{4};
  EXPECT_EQ(tree.AddOverride(1, p.data(), IOT_PART, nullptr), E_INVALIDARG);
  EXPECT_EQ(tree.GetOverride(1, p.data(), nullptr), E_INVALIDARG);
  EXPECT_EQ(tree.GetOverride(1, p.data(), &out), E_FAIL);
  EXPECT_EQ(tree.AddOverride(1, p.data(), IOT_ASSEMBLY, &out), S_OK);
  EXPECT_TRUE(out->IsAssembly());
  JIDSOverride* again = nullptr;
  EXPECT_EQ(tree.GetOverride(1, p.data(), &again), S_OK);
  EXPECT_EQ(again, out);
  EXPECT_EQ(tree.GetOverride(0, p.data(), &again), S_OK);
  EXPECT_EQ(again, tree.GetAsmOverride());
  tagG4x4 m;
  EXPECT_EQ(tree.SetMatrix(0, p.data(), &m, IOT_PART), E_INVALIDARG);
  EXPECT_EQ(tree.SetMatrix(1, p.data(), nullptr, IOT_PART), E_INVALIDARG);
}

TEST(OverrideTree, TypeReplacementInBothDirections) {
  JIDSOverrideTree tree;
  ComPtr<CountingStyleManager> styles(new CountingStyleManager);
  tree.SetStyleManager(styles.Get());
  const Path p{5};
  ASSERT_EQ(tree.SetStyleID(1, p.data(), 42, IOT_PART, 0), S_OK);
  EXPECT_EQ(styles->uses[42], 1);

  // Part -> assembly: the old node goes, its style is released.
  JIDSOverride* old = Node(tree, {5});
  JIDSOverride* asmNode = tree.GetAsmOverride()->AddChild(5, IOT_ASSEMBLY);
  ASSERT_NE(asmNode, nullptr);
  EXPECT_TRUE(asmNode->IsAssembly());
  EXPECT_EQ(styles->uses[42], 0);
  EXPECT_EQ(tree.GetAsmOverride()->GetChildCount(), 1u);
  (void)old;

  // Assembly with a subtree -> part: the whole subtree is deleted, the parts'
  // styles released.
  const Path deep{5, 1, 2};
  ASSERT_EQ(tree.SetStyleID(3, deep.data(), 43, IOT_PART, 0), S_OK);
  const DWORD asmBefore = JAsmOverride::GetInstanceCount(), partBefore = JPartOverride::GetInstanceCount();
  JIDSOverride* part = tree.GetAsmOverride()->AddChild(5, IOT_PART);
  ASSERT_NE(part, nullptr);
  EXPECT_TRUE(part->IsPart());
  EXPECT_EQ(JAsmOverride::GetInstanceCount(), asmBefore - 2);
  EXPECT_EQ(JPartOverride::GetInstanceCount(), partBefore);  // one gone, one new
  EXPECT_EQ(styles->uses[43], 0);
  EXPECT_EQ(Node(tree, {5, 1}), nullptr);

  // Same type, or another type: the existing child is kept.
  EXPECT_EQ(tree.GetAsmOverride()->AddChild(5, IOT_PART), part);
  EXPECT_EQ(tree.GetAsmOverride()->AddChild(5, 0), part);
}

TEST(OverrideTree, RouteIdentifiedChildren) {
  JIDSOverrideTree tree;
  JAsmOverride* root = tree.GetAsmOverride();
  JMemberRoute r1("member-one"), r2("member-two");
  JIDSOverride* a = root->AddChild(r1, IOT_PART);
  JIDSOverride* b = root->AddChild(r2, IOT_ASSEMBLY);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->GetAttachmentID(), 0u);
  EXPECT_TRUE(a->GetProps() & IOT_HAVE_ROUTE);
  EXPECT_EQ(root->GetChildCount(), 2u);
  EXPECT_EQ(root->GetChild(r1), a);
  EXPECT_EQ(root->GetChild(r2), b);
  EXPECT_EQ(root->AddChild(r1, IOT_PART), a);

  ScopedTraceCapture traces;
  root->AddChild(12, IOT_PART);
  EXPECT_EQ(a->UpdateAttachmentID(12), E_FAIL);  // the id is taken
  EXPECT_EQ(a->UpdateAttachmentID(0), E_FAIL);
  EXPECT_TRUE(traces.Saw("JIDSOverride::UpdateAttachmentID", E_FAIL));
  EXPECT_EQ(a->UpdateAttachmentID(30), S_OK);
  EXPECT_EQ(root->GetChild(30), a);
  EXPECT_EQ(root->GetChild(r1), nullptr);        // no longer among the id-0 children
  EXPECT_EQ(a->UpdateAttachmentID(31), E_FAIL);  // has a non-zero id now
  EXPECT_EQ(root->GetChildCount(), 3u);
  EXPECT_EQ(root->GetChildByIndex(0), b);  // key order: 0, 12, 30
  EXPECT_EQ(root->GetChildByIndex(2), a);
  EXPECT_EQ(root->GetChildByIndex(3), nullptr);
}

TEST(OverrideTree, ChildrenStayInKeyOrderWhateverTheInsertionOrder) {
  JIDSOverrideTree tree;
  JAsmOverride* root = tree.GetAsmOverride();
  std::vector<DWORD> ids;
  for (DWORD i = 0; i < 500; ++i) ids.push_back((i * 7919u) % 1000u + 1);
  for (DWORD id : ids) root->AddChild(id, IOT_PART);
  for (DWORD i = 0; i < 500; i += 3) EXPECT_EQ(JIDSOverride::Delete(root->GetChild(ids[i])), S_OK);
  std::vector<JIDSOverride*> children;
  root->GetChildren(children);
  ASSERT_EQ(children.size(), root->GetChildCount());
  EXPECT_EQ(children.size(), 500u - 167u);
  for (size_t i = 1; i < children.size(); ++i)
    EXPECT_LT(children[i - 1]->GetAttachmentID(), children[i]->GetAttachmentID());
  for (DWORD i = 1; i < 500; i += 3) EXPECT_NE(root->GetChild(ids[i]), nullptr);
}

TEST(OverrideTree, ChangeChildIDsRekeysEveryMatch) {
  JIDSOverrideTree tree;
  JAsmOverride* root = tree.GetAsmOverride();
  JIDSOverride* a = root->AddChild(1, IOT_PART);
  JIDSOverride* b = root->AddChild(2, IOT_PART);
  EXPECT_EQ(root->ChangeChildIDs({}), S_FALSE);
  // Swapping ids works because re-keyed children wait in a side map.
  EXPECT_EQ(root->ChangeChildIDs({{1, 2}, {2, 1}, {9, 10}}), S_OK);
  EXPECT_EQ(root->GetChild(2), a);
  EXPECT_EQ(root->GetChild(1), b);
  EXPECT_EQ(a->GetAttachmentID(), 2u);
  EXPECT_EQ(root->ChangeAttachmentID(5), E_UNEXPECTED);
}

// ---- removal ----

TEST(OverrideTree, RemoveScopes) {
  struct Case {
    DWORD scope;
    bool self, ancestors, below;
  };
  const Case cases[] = {
      {0, true, false, false},
      {IOT_REMOVE_ANCESTORS, true, true, false},
      {IOT_REMOVE_ANCESTORS | IOT_REMOVE_NOT_SELF, false, true, false},
      {IOT_REMOVE_BELOW, true, false, true},
      {IOT_REMOVE_BELOW | IOT_REMOVE_NOT_SELF, true, false, true},  // the walk's end visit reaches the node
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scope);
    JIDSOverrideTree tree;
    for (Path p : {Path{1}, Path{1, 2}, Path{1, 2, 3}, Path{1, 2, 4, 5}})
      ASSERT_EQ(SetMatrixAt(tree, p, 1.0, IOT_ASSEMBLY), S_OK);
    const Path mid{1, 2};
    ASSERT_EQ(tree.Remove(IOT_REMOVE_MATRIX | c.scope, 2, mid.data()), S_OK);
    EXPECT_EQ(Node(tree, {1, 2})->GetMatrix() == nullptr, c.self);
    EXPECT_EQ(Node(tree, {1})->GetMatrix() == nullptr, c.ancestors);
    EXPECT_EQ(Node(tree, {1, 2, 3})->GetMatrix() == nullptr, c.below);
    EXPECT_EQ(Node(tree, {1, 2, 4, 5})->GetMatrix() == nullptr, c.below);
  }
  JIDSOverrideTree tree;
  const Path missing{8};
  EXPECT_EQ(tree.Remove(0, 1, missing.data()), E_INVALIDARG);
  EXPECT_EQ(tree.Remove(IOT_REMOVE_MATRIX, 1, missing.data()), E_FAIL);
  EXPECT_EQ(JIDSOverrideTree::Remove(IOT_REMOVE_MATRIX, nullptr), E_INVALIDARG);
  EXPECT_EQ(tree.RemoveMatrix(1, missing.data()), E_NOTIMPL);
}

TEST(OverrideTree, ClearDeletesEverythingBelowTheRoot) {
  JIDSOverrideTree tree;
  ComPtr<CountingStyleManager> styles(new CountingStyleManager);
  tree.SetStyleManager(styles.Get());
  const DWORD asmBefore = JAsmOverride::GetInstanceCount(), partBefore = JPartOverride::GetInstanceCount();
  for (Path p : {Path{1}, Path{2, 1}, Path{2, 2}})
    tree.SetStyleID(static_cast<DWORD>(p.size()), p.data(), 7, IOT_PART, 0);
  EXPECT_EQ(styles->uses[7], 3);
  EXPECT_EQ(tree.Clear(), S_OK);
  EXPECT_EQ(tree.GetAsmOverride()->GetChildCount(), 0u);
  EXPECT_EQ(JAsmOverride::GetInstanceCount(), asmBefore);
  EXPECT_EQ(JPartOverride::GetInstanceCount(), partBefore);
  EXPECT_EQ(styles->uses[7], 0);
  EXPECT_EQ(SetMatrixAt(tree, {1}, 2.0), S_OK);  // usable afterwards
}

TEST(OverrideTree, DeletingNodes) {
  JIDSOverrideTree tree;
  ScopedTraceCapture traces;
  EXPECT_EQ(JIDSOverride::Delete(tree.GetAsmOverride()), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("JIDSOverride::Delete", E_UNEXPECTED));
  EXPECT_EQ(JIDSOverride::Delete(nullptr), E_INVALIDARG);

  // A detached assembly destroyed directly takes its children with it.
  const DWORD asmBefore = JAsmOverride::GetInstanceCount(), partBefore = JPartOverride::GetInstanceCount();
  auto* loose = new JAsmOverride();
  loose->AddChild(2, IOT_PART);
  loose->AddChild(1, IOT_ASSEMBLY)->IsAssembly();
  static_cast<JAsmOverride*>(loose->GetChild(1))->AddChild(1, IOT_PART);
  EXPECT_EQ(JPartOverride::GetInstanceCount(), partBefore + 2);
  delete loose;
  EXPECT_EQ(JAsmOverride::GetInstanceCount(), asmBefore);
  EXPECT_EQ(JPartOverride::GetInstanceCount(), partBefore);
}

// ---- node values ----

TEST(OverrideNode, SyncGettersAnswerThreeWays) {
  JPartOverride node;
  DWORD value = 7;
  EXPECT_EQ(node.GetMatrixSync(nullptr), E_INVALIDARG);
  EXPECT_EQ(node.GetMatrixSync(&value), S_OK);  // gate clear
  EXPECT_EQ(value, 0u);
  node.SetProps(node.GetProps() | IOT_MATRIX_SYNC);
  value = 7;
  EXPECT_EQ(node.GetMatrixSync(&value), S_FALSE);  // gate set, value absent
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(node.SetMatrixSync(), S_OK);
  EXPECT_EQ(node.GetMatrixSync(&value), S_OK);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(node.RemoveMatrixSync(), S_OK);
  EXPECT_EQ(node.GetMatrixSync(&value), S_OK);
  EXPECT_EQ(value, 0u);
  EXPECT_FALSE(node.GetProps() & IOT_MATRIX_SYNC);

  // Body sync and override-constraint sync share their gate.
  node.SetOverrideConstraintSync();
  node.SetBodySync();
  EXPECT_EQ(node.RemoveBodySync(), S_OK);
  EXPECT_EQ(node.GetOverrideConstraintSync(&value), S_OK);
  EXPECT_EQ(value, 0u);
  EXPECT_NE(node.GetUserData(UD_IOT_OVERRIDE_CONSTRAINT_SYNC, nullptr), nullptr);
}

TEST(OverrideNode, SyncFlagsByPath) {
  JIDSOverrideTree tree;
  const Path p{2, 3};
  DWORD value = 0;
  EXPECT_EQ(tree.GetStyleSync(2, p.data(), &value), E_FAIL);
  EXPECT_EQ(tree.RemoveStyleSync(2, p.data()), E_FAIL);
  EXPECT_EQ(tree.SetStyleSync(2, p.data(), IOT_PART), S_OK);
  EXPECT_EQ(tree.GetStyleSync(2, p.data(), &value), S_OK);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(tree.SetOverrideConstraintSync(2, p.data(), IOT_PART), S_OK);
  EXPECT_EQ(tree.SetOverrideConstraintSync(2, p.data(), IOT_PART), S_OK);
  EXPECT_EQ(tree.GetOverrideConstraintSync(2, p.data(), &value), S_OK);
  EXPECT_EQ(value, 1u);
}

TEST(OverrideNode, StylesNotifyTheManager) {
  JIDSOverrideTree tree;
  ComPtr<CountingStyleManager> styles(new CountingStyleManager);
  tree.SetStyleManager(styles.Get());
  EXPECT_TRUE(tree.HaveStyleManager());
  const Path p{1};
  const Path none{9};
  EXPECT_EQ(tree.SetStyleID(1, p.data(), 0, IOT_PART, 0), E_INVALIDARG);
  ASSERT_EQ(tree.SetStyleID(1, p.data(), 10, IOT_PART, 0), S_OK);
  ASSERT_EQ(tree.SetStyleID(1, p.data(), 10, IOT_PART, 0), S_OK);  // unchanged: no call
  ASSERT_EQ(tree.SetStyleID(1, p.data(), 11, IOT_PART, 0), S_OK);
  ASSERT_EQ(tree.SetStyleID(1, p.data(), 20, IOT_PART, 1), S_OK);
  EXPECT_EQ(styles->adds, 3);
  EXPECT_EQ(styles->releases, 1);
  EXPECT_EQ(styles->uses[10], 0);
  EXPECT_EQ(styles->uses[11], 1);
  DWORD id = 0;
  EXPECT_EQ(tree.GetStyleID(1, p.data(), &id, 0), S_OK);
  EXPECT_EQ(id, 11u);
  EXPECT_EQ(tree.GetStyleID(1, p.data(), &id, 1), S_OK);
  EXPECT_EQ(id, 20u);
  EXPECT_EQ(tree.GetStyleID(1, none.data(), &id, 0), E_FAIL);
  EXPECT_EQ(tree.RemoveStyleID(1, none.data(), 0), S_FALSE);
  EXPECT_EQ(tree.RemoveStyleID(1, p.data(), 0), S_OK);
  EXPECT_EQ(tree.GetStyleID(1, p.data(), &id, 0), E_FAIL);
  EXPECT_EQ(styles->uses[11], 0);
  EXPECT_FALSE(Node(tree, {1})->GetProps() & IOT_STYLE);

  // 0xFFFFFFFF (the part's own style) is never counted.
  Node(tree, {1})->SetStyle(0xFFFFFFFF, 1);
  Node(tree, {1})->SetStyle(12, 1);
  EXPECT_EQ(styles->adds, 4);
  EXPECT_EQ(styles->releases, 2);
}

TEST(OverrideNode, SolverStatus) {
  JIDSOverrideTree tree;
  const Path p{1};
  ScopedTraceCapture traces;
  EXPECT_EQ(tree.SetSolverStatus(1, p.data(), 0, IOT_PART), E_NOTIMPL);
  EXPECT_TRUE(traces.Saw("JIDSOverrideTree::SetSolverStatus", E_NOTIMPL));
  EXPECT_EQ(tree.SetSolverStatus(1, p.data(), 0x8010, IOT_PART), S_OK);
  DWORD status = 0;
  EXPECT_EQ(tree.GetSolverStatus(1, p.data(), &status), S_OK);
  EXPECT_EQ(status, 0x8010u);
  Node(tree, {1})->SetSolverStatus(0);
  EXPECT_EQ(tree.GetSolverStatus(1, p.data(), &status), E_FAIL);
}

TEST(OverrideNode, Variables) {
  JPartOverride node;
  double v = 0;
  EXPECT_EQ(node.ClearVariable(1, 1), E_UNEXPECTED);
  EXPECT_EQ(node.GetVariable(1, 5, &v), E_FAIL);
  EXPECT_EQ(node.SetVariable(1, 5, 2.5), S_OK);
  EXPECT_EQ(node.SetVariable(1, 6, 3.5), S_OK);
  EXPECT_EQ(node.SetVariable(1, 5, 4.5), S_OK);  // replaces
  EXPECT_EQ(node.SetVariable(2, 5, 9.0), S_OK);
  EXPECT_TRUE(node.GetProps() & IOT_OVERRIDE_VARIABLES);
  EXPECT_EQ(node.GetVariable(1, 5, &v), S_OK);
  EXPECT_EQ(v, 4.5);
  quorra::IOTVariableRange range;
  EXPECT_EQ(node.GetVariable(1, &range), S_OK);
  EXPECT_EQ(std::distance(range.first, range.second), 2);
  EXPECT_EQ(node.ClearVariable(1, 5), S_OK);
  EXPECT_EQ(node.GetVariable(1, 5, &v), E_FAIL);
  EXPECT_EQ(node.ClearVariable(1, 5), E_FAIL);
  EXPECT_TRUE(node.GetProps() & IOT_OVERRIDE_VARIABLES);  // stays set
  quorra::IOTVariableMap all;
  EXPECT_EQ(node.GetVariables(&all), S_OK);
  EXPECT_EQ(all.size(), 2u);
}

TEST(OverrideNode, ConfigurationSettings) {
  JConfigSetting s(4, 2, 0xABCDEF);
  EXPECT_EQ(s.GetFlags(), 0xABCDEFu);
  EXPECT_EQ(s.SetType(9), 9);
  EXPECT_EQ(s.GetFlags(), 0xABCDEFu);
  EXPECT_EQ(s.SetFlags(0x000100, 0x000F00), 0xABC1EFu);
  EXPECT_EQ(s.SetFlags(0x1000001, 0), 0x000001u);  // 24 bits only
  EXPECT_EQ(s.GetType(), 9);

  JPartOverride node;
  BYTE type = 0;
  DWORD flags = 0;
  EXPECT_EQ(node.AddConfigSetting(0, 1, 0), E_INVALIDARG);
  EXPECT_EQ(node.AddConfigSetting(1, 0, 0), E_INVALIDARG);
  EXPECT_EQ(node.AddConfigSetting(3, 5, 0x10), S_OK);
  EXPECT_EQ(node.AddConfigSetting(3, 6, 0x20), S_OK);  // overwrites type and all flags
  EXPECT_TRUE(node.GetProps() & IOT_HAVE_CONFIG_INFO);
  EXPECT_EQ(node.GetConfigSetting(3, &type, &flags), S_OK);
  EXPECT_EQ(type, 6);
  EXPECT_EQ(flags, 0x20u);
  EXPECT_EQ(node.GetConfigSetting(3, nullptr, &flags), E_INVALIDARG);
  EXPECT_EQ(node.GetConfigSetting(4, &type, &flags), E_FAIL);
  EXPECT_EQ(node.RemoveConfigSetting(4), E_FAIL);
  EXPECT_EQ(node.RemoveConfigSetting(3), S_OK);
  EXPECT_FALSE(node.GetProps() & IOT_HAVE_CONFIG_INFO);
  ASSERT_NE(node.GetConfigSettingMap(false), nullptr);
  EXPECT_TRUE(node.GetConfigSettingMap(false)->empty());
}

TEST(OverrideNode, ConstraintsAndStoredValues) {
  JPartOverride node;
  EXPECT_EQ(node.AddConstraint(0, 1), E_INVALIDARG);
  EXPECT_EQ(node.AddConstraint(1, 10), S_OK);
  EXPECT_EQ(node.AddConstraint(1, 11), S_OK);  // the existing key keeps its value
  EXPECT_EQ(node.GetConstraints(false)->at(1), 10u);
  EXPECT_TRUE(node.GetPropsEx() & IOTX_OVERRIDE_CONSTRAINTS);
  EXPECT_EQ(node.RemoveConstraint(1), S_OK);
  EXPECT_EQ(node.GetConstraints(false), nullptr);
  EXPECT_FALSE(node.GetPropsEx() & IOTX_OVERRIDE_CONSTRAINTS);

  EXPECT_EQ(node.GetColorOverride(), 0u);
  node.SetColorOverride(0x123456);
  EXPECT_EQ(node.GetColorOverride(), 0x123456u);
  node.SetColorOverride(0);
  EXPECT_FALSE(node.GetPropsEx() & IOTX_COLOR_OVERRIDE);
  EXPECT_EQ(node.SetDocID(77), 77u);
  EXPECT_EQ(node.GetDocID(), 77u);
  node.SetPropsEx(node.GetPropsEx() & ~IOTX_DOC_ID);
  EXPECT_EQ(node.GetDocID(), 0u);  // the gate decides
  node.SetCounter(5);
  EXPECT_EQ(node.GetCounter(), 5u);
  FILETIME t{1, 2}, u{};
  node.SetOwningCADSaveTime(t);
  t.dwLowDateTime = 9;
  node.SetOwningCADSaveTime(t);
  EXPECT_EQ(node.GetOwningCADSaveTime(&u), S_OK);
  EXPECT_EQ(u.dwLowDateTime, 9u);
  JMemberRoute alt("alt"), got;
  EXPECT_EQ(node.SetAltRoute(nullptr), E_INVALIDARG);
  EXPECT_EQ(node.SetAltRoute(&alt), S_OK);
  EXPECT_EQ(node.GetAltRoute(&got), S_OK);
  EXPECT_EQ(got, alt);
  EXPECT_EQ(node.SetBodyOverrideVersionData({{1, 2}}), S_OK);
  EXPECT_TRUE(node.GetPropsEx() & IOTX_BODY_OVERRIDE_VERSION_DATA);
  EXPECT_EQ(node.SetBodyOverrideVersionData({}), S_OK);
  EXPECT_EQ(node.GetBodyOverrideVersionData(), nullptr);
}

TEST(OverrideNode, HiddenOnTheRootStaysInMemory) {
  JIDSOverrideTree tree;
  tree.GetAsmOverride()->SetHidden(1);
  EXPECT_EQ(tree.GetAsmOverride()->GetHidden(), 1);
}

// ---- the state word ----

TEST(OverrideTreeState, DirtyFlagsFollowTheHostsAnswers) {
  HostModules modules;
  JIDSOverrideTree tree;
  DWORD state = 0;
  // Without an assembly document nothing changes.
  SetMatrixAt(tree, {1}, 1.0);
  tree.GetDirtyFlag(&state);
  EXPECT_EQ(state & 0x7, 0u);

  ComPtr<FakeDocument> document(new FakeDocument);
  tree.SetAssembly(document.Get());
  struct Case {
    BOOL master, edit;
    DWORD structural, geometric, expected;
  };
  const Case cases[] = {
      {0, 1, 1, 1, 0x0}, {1, 0, 0, 0, 0x1}, {1, 0, 1, 0, 0x3}, {1, 0, 0, 1, 0x5}, {1, 1, 0, 0, 0x5}, {1, 1, 1, 1, 0x7},
  };
  for (const Case& c : cases) {
    gMaster = c.master;
    gEditMode = c.edit;
    tree.ClearDirtyFlag();
    EXPECT_EQ(tree.SetDirtyFlag(c.structural, c.geometric), S_OK);
    tree.GetDirtyFlag(&state);
    EXPECT_EQ(state & 0x7, c.expected) << c.master << c.edit << c.structural << c.geometric;
  }
  gMaster = 1;
  gEditMode = 0;
  // Node changes mark as stated: solver status (1, 0), matrix (1, 1).
  tree.ClearDirtyFlag();
  Node(tree, {1})->SetSolverStatus(2);
  tree.GetDirtyFlag(&state);
  EXPECT_EQ(state & 0x7, 0x3u);
  tree.ClearDirtyFlag();
  SetMatrixAt(tree, {1}, 3.0);
  tree.GetDirtyFlag(&state);
  EXPECT_EQ(state & 0x7, 0x7u);
}

TEST(OverrideTreeState, AdjustableCacheIsRebuiltAfterChanges) {
  JIDSOverrideTree tree;
  BOOL present = 1;
  EXPECT_EQ(tree.IsAdjustableOccPresent(&present), S_OK);
  EXPECT_FALSE(present);
  DWORD state = 0;
  tree.GetDirtyFlag(&state);
  EXPECT_TRUE(state & IOT_STATE_ADJUSTABLE_VALID);

  // The root's own adaptable value does not count.
  tree.GetAsmOverride()->SetAdaptable();
  tree.IsAdaptableAssemblyPresent(&present);
  EXPECT_FALSE(present);

  const Path asmPath{1}, partPath{1, 2};
  tree.SetAdaptable(1, asmPath.data(), 1, IOT_ASSEMBLY);
  tree.GetDirtyFlag(&state);
  EXPECT_FALSE(state & IOT_STATE_ADJUSTABLE_VALID);  // invalidated by the change
  tree.IsAdaptableAssemblyPresent(&present);
  EXPECT_TRUE(present);
  tree.IsAdjustablePartPresent(&present);
  EXPECT_FALSE(present);
  tree.SetAdjustablePart(2, partPath.data(), 1, IOT_PART);
  tree.IsAdjustablePartPresent(&present);
  EXPECT_TRUE(present);
  tree.SetAdaptable(1, asmPath.data(), 0, IOT_ASSEMBLY);
  tree.IsAdaptableAssemblyPresent(&present);
  EXPECT_FALSE(present);
  tree.IsAdjustableOccPresent(&present);
  EXPECT_TRUE(present);
  DWORD value = 0;
  EXPECT_EQ(tree.GetAdjustablePart(2, partPath.data(), &value), S_OK);
  EXPECT_EQ(value, 1u);
}

TEST(OverrideTreeState, LiveTreeSetAndLeaks) {
  const DWORD before = JIDSOverrideTree::GetLiveTreeCount();
  auto tree = std::make_unique<JIDSOverrideTree>();
  EXPECT_TRUE(JIDSOverrideTree::IsLiveTree(tree.get()));
  EXPECT_EQ(JIDSOverrideTree::GetLiveTreeCount(), before + 1);
  ComPtr<FakeDocument> document(new FakeDocument);
  tree->SetAssembly(document.Get());
  tree->SetAssemblyName(GUserText(L"top.asm"));
  tree->ObjectLeaked();
  EXPECT_FALSE(JIDSOverrideTree::IsLiveTree(tree.get()));
  EXPECT_EQ(tree->GetAssembly(IID_IUnknown), nullptr);
  GUserText name;
  EXPECT_EQ(tree->GetAssemblyName(&name), S_OK);  // the stored name without a document
  EXPECT_EQ(name, L"top.asm");
  tree.reset();
  EXPECT_EQ(JIDSOverrideTree::GetLiveTreeCount(), before);
  JIDSOverrideTree unnamed;
  EXPECT_EQ(unnamed.GetAssemblyName(&name), E_FAIL);
}

TEST(OverrideTreeState, JGetIOTWithoutTheHostFails) {
  ComPtr<FakeDocument> document(new FakeDocument);
  void* out = nullptr;
  EXPECT_EQ(JGetIOT(nullptr, IID_IJOverrideTreeHolder, &out), E_INVALIDARG);
  EXPECT_EQ(JGetIOT(document.Get(), IID_IJOverrideTreeHolder, &out), E_FAIL);
}

// ---- through refhost's documents ----

class OverrideTreeRefhost : public quorra::test::TopSubBoltTest {
 protected:
  void SetUp() override { OpenTopSubBolt(); }
  void TearDown() override { CloseTopSubBolt(); }
};

TEST_F(OverrideTreeRefhost, DocumentTableReachesItsOccurrences) {
  JIDSOverrideTree* tree = iot_;
  AssemblyOccurrence* root = root_;
  ASSERT_NE(tree, nullptr);
  GUserText name;
  ASSERT_EQ(tree->GetAssemblyName(&name), S_OK);
  EXPECT_EQ(name, L"top.asm");

  // A new node takes its display bits from the occurrence it stands for.
  OccurrenceNode* second = quorra::test::At(root, {1, 2});
  second->Hide(0);
  static_cast<OccurrenceNode*>(second)->SetRefPlanesDisplay(true);
  const Path p{1, 2};
  ASSERT_EQ(tree->SetStyleID(2, p.data(), 31, IOT_PART, 0), S_OK);
  JIDSOverride* node = Node(*tree, {1, 2});
  OccurrenceNode* occurrence = nullptr;
  ASSERT_EQ(node->GetOccurrenceNode(&occurrence), S_OK);
  EXPECT_EQ(occurrence, second);
  EXPECT_TRUE(node->GetProps() & IOT_REFPLANES_ON);
  EXPECT_TRUE(node->GetProps() & IOT_HIDDEN);
  EXPECT_FALSE(Node(*tree, {1})->GetProps() & IOT_HIDDEN);
  EXPECT_EQ(Node(*tree, {1})->GetOccurrenceNode(&occurrence), S_OK);
  EXPECT_EQ(occurrence, quorra::test::At(root, {1}));
  EXPECT_EQ(tree->GetAsmOverride()->GetOccurrenceNode(&occurrence), S_OK);
  EXPECT_EQ(occurrence, root);

  // The document's style manager counts the node's style.
  ComPtr<quorra::refhost::StyleManager> styles;
  ASSERT_EQ(quorra::refhost::GetDocumentStyleManager(document_.Get(), styles.Put()), S_OK);
  EXPECT_EQ(styles->GetUseCount(31), 1u);
  tree->RemoveStyleID(2, p.data(), 0);
  EXPECT_EQ(styles->GetUseCount(31), 0u);

  // Dirty marking follows the document's family-of-assemblies state.
  DWORD state = 0;
  tree->ClearDirtyFlag();
  quorra::refhost::SetDocumentFoaState(document_.Get(), 1, 1);
  tree->SetDirtyFlag(0, 0);
  tree->GetDirtyFlag(&state);
  EXPECT_EQ(state & 0x7, 0x5u);
  quorra::refhost::SetDocumentFoaState(document_.Get(), 0, 0);
  tree->ClearDirtyFlag();
  tree->SetDirtyFlag(1, 1);
  tree->GetDirtyFlag(&state);
  EXPECT_EQ(state & 0x7, 0u);

  // Without the document's live tree there is no occurrence.
  quorra::refhost::SetDocumentTree(document_.Get(), nullptr);
  ScopedTraceCapture traces;
  EXPECT_EQ(node->GetOccurrenceNode(&occurrence), E_FAIL);
  EXPECT_TRUE(traces.Saw("JIDSOverride::GetOccurrenceNode", E_FAIL));
}

}  // namespace
