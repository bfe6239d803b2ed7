// The override-table walk (order, context, codes) and its walkers.
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using quorra::host::ScopedTraceCapture;
using Path = std::vector<DWORD>;

JIDSOverride* Add(JIDSOverrideTree& tree, Path path, DWORD type) {
  JIDSOverride* node = nullptr;
  EXPECT_EQ(tree.AddOverride(static_cast<DWORD>(path.size()), path.data(), type, &node), S_OK);
  return node;
}

// Root with part 1, assembly 2 (parts 1, 2) and part 3.
void BuildSmall(JIDSOverrideTree& tree) {
  Add(tree, {1}, IOT_PART);
  Add(tree, {2, 1}, IOT_PART);
  Add(tree, {2, 2}, IOT_PART);
  Add(tree, {3}, IOT_PART);
}

// Records every call as "<op><id>@<depth>/<index>" and answers the code
// planned for a given call.
class Recorder : public JIOTWalker {
 public:
  HRESULT BeginAssembly(JAsmOverride* n, JIOTWalkContext* c) override { return Note("B", n, c); }
  HRESULT VisitPart(JIDSOverride* n, JIOTWalkContext* c) override { return Note("P", n, c); }
  HRESULT VisitAssemblyChild(JAsmOverride* n, JIOTWalkContext* c) override { return Note("A", n, c); }
  HRESULT EndAssembly(JAsmOverride* n, JIOTWalkContext* c) override { return Note("E", n, c); }

  std::string call;  // the call that answers `code`
  HRESULT code = 0;
  std::vector<std::string> seen;

 private:
  HRESULT Note(const char* op, JIDSOverride* n, JIOTWalkContext* c) {
    std::string s = op + std::to_string(n->GetAttachmentID()) + "@" + std::to_string(c->depth);
    seen.push_back(s);
    EXPECT_EQ(c->context, 77u);
    return s == call ? code : 0;
  }
};

std::string Joined(const std::vector<std::string>& v) {
  std::string out;
  for (const auto& s : v) out += (out.empty() ? "" : " ") + s;
  return out;
}

TEST(IOTWalk, OrderAndCodes) {
  JIDSOverrideTree tree;
  BuildSmall(tree);
  struct Case {
    const char* call;
    HRESULT code;
    BOOL visitRoot;
    HRESULT result;
    const char* seen;
  };
  const Case cases[] = {
      {"", 0, 0, 0, "B0@0 P1@1 A2@1 B2@1 P1@2 P2@2 E2@1 P3@1 E0@0"},
      {"", 0, 1, 0, "A0@0 B0@0 P1@1 A2@1 B2@1 P1@2 P2@2 E2@1 P3@1 E0@0"},
      {"A0@0", 3, 1, 3, "A0@0"},
      {"A0@0", 5, 1, 5, "A0@0"},
      {"A2@1", 3, 0, 0, "B0@0 P1@1 A2@1 P3@1 E0@0"},
      // Code 4 inside the assembly stops that level only.
      {"P1@2", 4, 0, 0, "B0@0 P1@1 A2@1 B2@1 P1@2 E2@1 P3@1 E0@0"},
      {"P1@1", 4, 0, 1, "B0@0 P1@1 E0@0"},
      // Code 5 inside stops every level.
      {"P1@2", 5, 0, 5, "B0@0 P1@1 A2@1 B2@1 P1@2 E2@1 E0@0"},
      {"B0@0", 4, 0, 1, "B0@0 E0@0"},
      // End assembly: 5 stops, 4 is ignored.
      {"E2@1", 5, 0, 5, "B0@0 P1@1 A2@1 B2@1 P1@2 P2@2 E2@1 E0@0"},
      {"E2@1", 4, 0, 0, "B0@0 P1@1 A2@1 B2@1 P1@2 P2@2 E2@1 P3@1 E0@0"},
      {"P2@2", E_FAIL, 0, E_FAIL, "B0@0 P1@1 A2@1 B2@1 P1@2 P2@2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.code));
    Recorder r;
    r.call = c.call;
    r.code = c.code;
    ScopedTraceCapture traces;
    EXPECT_EQ(tree.GetAsmOverride()->Walk(&r, 77, c.visitRoot), c.result);
    EXPECT_EQ(Joined(r.seen), c.seen);
    if (c.result < 0) {
      EXPECT_TRUE(traces.Saw("JAsmOverride::InternalWalk", c.result));
    }
  }
}

TEST(IOTWalk, ContextCountsChildren) {
  JIDSOverrideTree tree;
  BuildSmall(tree);
  struct Counts : JIOTWalker {
    HRESULT VisitPart(JIDSOverride* n, JIOTWalkContext* c) override {
      seen.push_back({n->GetAttachmentID(), c->childCount, c->childIndex});
      return 0;
    }
    std::vector<std::vector<DWORD>> seen;
  } counts;
  tree.GetAsmOverride()->Walk(&counts, 0, 0);
  EXPECT_EQ(counts.seen, (std::vector<std::vector<DWORD>>{{1, 3, 0}, {1, 2, 0}, {2, 2, 1}, {3, 3, 2}}));
}

TEST(IOTWalkers, DeleteTreeWalkerKeepsOrDropsTheRoot) {
  JIDSOverrideTree tree;
  BuildSmall(tree);
  JIDSOverride* sub = Add(tree, {2}, IOT_ASSEMBLY);
  const DWORD asmBefore = JAsmOverride::GetInstanceCount(), partBefore = JPartOverride::GetInstanceCount();
  // Context 0 on a detached subtree keeps its root.
  tree.GetAsmOverride()->RemoveChild(sub);
  DeleteTreeWalker deleter;
  EXPECT_EQ(static_cast<JAsmOverride*>(sub)->Walk(&deleter, 0, 0), 0);
  EXPECT_EQ(JPartOverride::GetInstanceCount(), partBefore - 2);
  EXPECT_EQ(JAsmOverride::GetInstanceCount(), asmBefore);
  static_cast<JAsmOverride*>(sub)->Walk(&deleter, 1, 0);  // now with its (emptied) root
  EXPECT_EQ(JAsmOverride::GetInstanceCount(), asmBefore - 1);
  // Clear: one part and one assembly with two parts -> four nodes gone.
  Add(tree, {2, 1}, IOT_PART);
  Add(tree, {2, 2}, IOT_PART);
  EXPECT_EQ(JIDSOverride::Delete(tree.GetAsmOverride()->GetChild(3)), S_OK);
  const DWORD total = JAsmOverride::GetInstanceCount() + JPartOverride::GetInstanceCount();
  tree.Clear();
  EXPECT_EQ(JAsmOverride::GetInstanceCount() + JPartOverride::GetInstanceCount(), total - 4);
  EXPECT_EQ(tree.GetAsmOverride()->GetChildCount(), 0u);
}

TEST(IOTWalkers, CheckAdjustableSetsStateBits) {
  JIDSOverrideTree tree;
  BuildSmall(tree);
  DWORD state = 0;
  CheckAdjustable check;
  tree.GetAsmOverride()->SetAdaptable();  // only the root: neither bit
  tree.GetAsmOverride()->Walk(&check, reinterpret_cast<uintptr_t>(&state), 0);
  EXPECT_EQ(state, 0u);
  JIDSOverride* sub = nullptr;
  const Path p{2};
  tree.GetOverride(1, p.data(), &sub);
  sub->SetAdaptable();
  tree.GetAsmOverride()->Walk(&check, reinterpret_cast<uintptr_t>(&state), 0);
  EXPECT_EQ(state, IOT_STATE_ADAPTABLE_ASSEMBLY);
  static_cast<JAsmOverride*>(sub)->GetChild(2)->SetAdjustablePart();
  tree.GetAsmOverride()->Walk(&check, reinterpret_cast<uintptr_t>(&state), 0);
  EXPECT_EQ(state, IOT_STATE_ADAPTABLE_ASSEMBLY | IOT_STATE_ADJUSTABLE_PART);
}

TEST(IOTWalkers, UpgradeInvertsPartConstructionBits) {
  JIDSOverrideTree tree;
  BuildSmall(tree);
  JIDSOverride* part = tree.GetAsmOverride()->GetChild(1);
  part->SetSurfacesDisplay(1);
  const DWORD asmProps = tree.GetAsmOverride()->GetChild(2)->GetProps();
  UpgradeIOT upgrade;
  tree.GetAsmOverride()->Walk(&upgrade, 0, 0);
  EXPECT_EQ(part->GetProps() & 0xC0, IOT_CURVES_ON);
  EXPECT_EQ(tree.GetAsmOverride()->GetChild(2)->GetProps(), asmProps);
  tree.GetAsmOverride()->Walk(&upgrade, 0, 0);
  EXPECT_EQ(part->GetProps() & 0xC0, IOT_SURFACES_ON);
}

TEST(IOTWalkers, NodeCounterWithAndWithoutTheRoot) {
  JIDSOverrideTree tree;
  Add(tree, {1}, IOT_PART);
  Add(tree, {2}, IOT_PART);
  IOTNodeCounter withRoot, withoutRoot;
  tree.GetAsmOverride()->Walk(&withRoot, 0, 1);
  tree.GetAsmOverride()->Walk(&withoutRoot, 0, 0);
  EXPECT_EQ(withRoot.GetAssemblyCount(), 1u);
  EXPECT_EQ(withRoot.GetPartCount(), 2u);
  EXPECT_EQ(withoutRoot.GetAssemblyCount(), 0u);
  EXPECT_EQ(withoutRoot.GetPartCount(), 2u);
}

TEST(IOTWalkers, ProbeAndDumpText) {
  JIDSOverrideTree tree;
  BuildSmall(tree);
  JIDSOverride* part = tree.GetAsmOverride()->GetChild(3);
  part->SetSurfacesDisplay(1);
  part->SetSolverStatus(0x8008);
  GUserText probe;
  ASSERT_EQ(tree.Probe(&probe), S_OK);
  const std::wstring text(probe.GetText());
  EXPECT_EQ(text.rfind(L"JIDSOverrideTree: ", 0), 0u);
  EXPECT_NE(text.find(L"; m_pRoot: "), std::wstring::npos);
  EXPECT_NE(text.find(L"2 AsmOverrides, 4 PartOverrides\r\n"), std::wstring::npos);

  std::ostringstream dump;
  DumpIOTForATP dumper(&dump);
  tree.GetAsmOverride()->Walk(&dumper, 0, 0);
  EXPECT_NE(dump.str().find("Part 3\n"
                            "      dwProps: surfaces_on override_status part constructions_on\n"
                            "      dwPropsEx:\n"
                            "      status: 32776 (ASM_P_OVER_DEFINED)\n"),
            std::string::npos)
      << dump.str();
  EXPECT_EQ(std::wstring(quorra::SolverStatusName(3)), L" (unknown status value!!!)");
}

}  // namespace
