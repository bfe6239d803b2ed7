#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/assembly_builder.h"

using namespace quorra::test;

namespace {

// root
//   1: A           2: p5        3: C (no children)
//      1: p1
//      2: B
//         1: p2
//         2: p3
//      3: p4
struct WalkTree {
  AssemblyBuilder b;
  AssemblyOccurrence* root = nullptr;

  WalkTree() {
    AssemblySite* top = b.Assembly(L"root");
    AssemblySite* a = b.Assembly(L"a");
    AssemblySite* bSite = b.Assembly(L"b");
    AssemblySite* c = b.Assembly(L"c");
    PartSite* part = b.Part(L"p");
    b.Place(bSite, part);
    b.Place(bSite, part);
    b.Place(a, part);
    b.Place(a, bSite);
    b.Place(a, part);
    b.Place(top, a);
    b.Place(top, part);
    b.Place(top, c);
    root = b.Build(top);
  }
};

// The dotted roadmap of an occurrence ("root" for the root).
std::string PathOf(OccurrenceNode* node) {
  DisplayRoadmap rm;
  if (FAILED(node->GetDisplayRoadmap(&rm))) return "root";
  std::string path;
  for (DWORD i = 0; i < rm.GetEntryCount(); ++i) {
    if (i) path += '.';
    path += std::to_string(rm.GetData(i));
  }
  return path;
}

// Logs every slot as "<slot> <path>" and answers the codes it was given.
class Recorder : public TreeWalkCallback {
 public:
  explicit Recorder(std::map<std::string, HRESULT> codes = {}) : codes_(std::move(codes)) {}
  HRESULT BeginAssembly(AssemblyOccurrence* a, TreeWalkContext* c) override { return Log("begin", a, c); }
  HRESULT VisitNode(OccurrenceNode* n, TreeWalkContext* c) override { return Log("node", n, c); }
  HRESULT VisitPart(PartOccurrence* p, TreeWalkContext* c) override { return Log("part", p, c); }
  HRESULT VisitAssembly(AssemblyOccurrence* a, TreeWalkContext* c) override { return Log("asm", a, c); }
  HRESULT EndAssembly(AssemblyOccurrence* a, TreeWalkContext* c) override { return Log("end", a, c); }

  std::vector<std::string> log;
  std::vector<std::string> counters;  // "depth/count/index" per entry

 private:
  HRESULT Log(const char* slot, OccurrenceNode* node, TreeWalkContext* context) {
    const std::string entry = std::string(slot) + " " + PathOf(node);
    log.push_back(entry);
    counters.push_back(std::to_string(context->depth) + "/" + std::to_string(context->childCount) + "/" +
                       std::to_string(context->childIndex));
    auto it = codes_.find(entry);
    return it == codes_.end() ? 0 : it->second;
  }
  std::map<std::string, HRESULT> codes_;
};

std::string Join(const std::vector<std::string>& parts) {
  std::string all;
  for (const std::string& part : parts) all += (all.empty() ? "" : ", ") + part;
  return all;
}

}  // namespace

TEST(Walk, VisitsDepthFirstWithDepthAndChildCounters) {
  WalkTree t;
  Recorder recorder;
  EXPECT_EQ(t.root->Walk(&recorder, nullptr, TRUE), S_OK);
  EXPECT_EQ(Join(recorder.log),
            "node root, asm root, begin root, node 1, asm 1, begin 1, node 1.1, part 1.1, node 1.2, asm 1.2, "
            "begin 1.2, node 1.2.1, part 1.2.1, node 1.2.2, part 1.2.2, end 1.2, node 1.3, part 1.3, end 1, "
            "node 2, part 2, node 3, asm 3, begin 3, end 3, end root");
  auto countersOf = [&](const std::string& entry) {
    for (size_t i = 0; i < recorder.log.size(); ++i)
      if (recorder.log[i] == entry) return recorder.counters[i];
    return std::string("missing");
  };
  EXPECT_EQ(countersOf("asm root"), "0/1/0");
  EXPECT_EQ(countersOf("begin root"), "0/3/0");
  EXPECT_EQ(countersOf("node 1.2.2"), "3/2/1");
  EXPECT_EQ(countersOf("end 1.2"), "2/2/1");
  EXPECT_EQ(countersOf("part 1.3"), "2/3/2");  // count restored after B's level
  EXPECT_EQ(countersOf("part 2"), "1/3/1");
  EXPECT_EQ(countersOf("begin 3"), "1/0/0");
  // Only the child count is restored after a nested level, not the index.
  EXPECT_EQ(countersOf("end root"), "0/3/0");
}

TEST(Walk, CodesPruneStopAbortAndFailAtEveryDepth) {
  struct Case {
    const char* name;
    std::map<std::string, HRESULT> codes;
    BOOL visitStart;
    HRESULT result;
    std::string log;
  } cases[] = {
      {"prune from VisitNode still visits the assembly",
       {{"node 1.2", 3}},
       FALSE,
       S_OK,
       "begin root, node 1, asm 1, begin 1, node 1.1, part 1.1, node 1.2, asm 1.2, node 1.3, part 1.3, end 1, "
       "node 2, part 2, node 3, asm 3, begin 3, end 3, end root"},
      {"prune from VisitAssembly",
       {{"asm 1", 3}},
       FALSE,
       S_OK,
       "begin root, node 1, asm 1, node 2, part 2, node 3, asm 3, begin 3, end 3, end root"},
      {"stop a nested level: its EndAssembly runs, the parent goes on",
       {{"part 1.2.1", 4}},
       FALSE,
       S_OK,
       "begin root, node 1, asm 1, begin 1, node 1.1, part 1.1, node 1.2, asm 1.2, begin 1.2, node 1.2.1, "
       "part 1.2.1, end 1.2, node 1.3, part 1.3, end 1, node 2, part 2, node 3, asm 3, begin 3, end 3, end root"},
      {"stop the start level",
       {{"part 2", 4}},
       FALSE,
       WALK_LEVEL_STOPPED,
       "begin root, node 1, asm 1, begin 1, node 1.1, part 1.1, node 1.2, asm 1.2, begin 1.2, node 1.2.1, "
       "part 1.2.1, node 1.2.2, part 1.2.2, end 1.2, node 1.3, part 1.3, end 1, node 2, part 2, end root"},
      {"stop from VisitAssembly ends the enclosing level",
       {{"asm 1", 4}},
       FALSE,
       WALK_LEVEL_STOPPED,
       "begin root, node 1, asm 1, end root"},
      {"stop from BeginAssembly skips the children",
       {{"begin 1", 4}},
       FALSE,
       S_OK,
       "begin root, node 1, asm 1, begin 1, end 1, node 2, part 2, node 3, asm 3, begin 3, end 3, end root"},
      {"abort deep: every open level ends",
       {{"part 1.2.1", 5}},
       FALSE,
       WALK_ABORT,
       "begin root, node 1, asm 1, begin 1, node 1.1, part 1.1, node 1.2, asm 1.2, begin 1.2, node 1.2.1, "
       "part 1.2.1, end 1.2, end 1, end root"},
      {"abort from EndAssembly",
       {{"end 1.2", 5}},
       FALSE,
       WALK_ABORT,
       "begin root, node 1, asm 1, begin 1, node 1.1, part 1.1, node 1.2, asm 1.2, begin 1.2, node 1.2.1, "
       "part 1.2.1, node 1.2.2, part 1.2.2, end 1.2, end 1, end root"},
      {"an error skips every EndAssembly",
       {{"part 1.2.1", E_FAIL}},
       FALSE,
       E_FAIL,
       "begin root, node 1, asm 1, begin 1, node 1.1, part 1.1, node 1.2, asm 1.2, begin 1.2, node 1.2.1, "
       "part 1.2.1"},
      {"an error at the start node", {{"node root", E_INVALIDARG}}, TRUE, E_INVALIDARG, "node root"},
      {"prune at the start node ends the walk", {{"asm root", 3}}, TRUE, WALK_PRUNE, "node root, asm root"},
      {"stop at the start node aborts", {{"node root", 4}}, TRUE, WALK_ABORT, "node root"},
  };
  for (const Case& c : cases) {
    WalkTree t;
    Recorder recorder(c.codes);
    quorra::host::ScopedTraceCapture traces;
    EXPECT_EQ(t.root->Walk(&recorder, nullptr, c.visitStart), c.result) << c.name;
    EXPECT_EQ(Join(recorder.log), c.log) << c.name;
    if (FAILED(c.result)) {
      EXPECT_TRUE(traces.Saw("AssemblyOccurrence::Walk", c.result)) << c.name;
    }
  }
}

TEST(Walk, TreeWalkNeedsARootAndCountsWalks) {
  TreePtr empty = NewTree();
  Recorder recorder;
  EXPECT_EQ(empty->Walk(&recorder, nullptr, 1), E_FAIL);

  WalkTree t;
  const DWORD before = t.b.Tree()->GetWalksInProgressCount();
  EXPECT_EQ(t.b.Tree()->Walk(&recorder, nullptr, 0), S_OK);
  EXPECT_EQ(t.b.Tree()->GetWalksInProgressCount(), before + 1);
}

TEST(Walk, LibraryCallbacksCountCollectRangesAndClearTrackingData) {
  AssemblyBuilder b;
  const tagGBox unit = Box(0, 0, 0, 1, 1, 1);
  AssemblySite* top = b.Assembly(L"root");
  AssemblySite* sub = b.Assembly(L"sub");
  PartSite* part = b.Part(L"p", &unit);
  b.Place(sub, part, tagG4x4::Translation(4, 0, 0));
  b.Place(top, sub);
  b.Place(top, part, tagG4x4::Translation(0, -3, 0));
  b.Place(top, b.Part(L"bare"));
  AssemblyOccurrence* root = b.Build(top);

  IDSCounter counter;
  root->Walk(&counter, nullptr, TRUE);
  EXPECT_EQ(counter.GetPartCount(), 3u);
  EXPECT_EQ(counter.GetAssemblyCount(), 2u);

  FILE* out = std::tmpfile();
  TreeCounter printer(out);
  root->Walk(&printer, nullptr, FALSE);
  EXPECT_EQ(printer.GetAssemblyCount(), 1u);
  std::rewind(out);
  char text[128] = {};
  EXPECT_EQ(std::fread(text, 1, sizeof(text) - 1, out), std::strlen("p.par\np.par\nbare.par\n"));
  EXPECT_STREQ(text, "p.par\np.par\nbare.par\n");
  std::fclose(out);

  tagGBox collected;
  UpdateRanges ranges;
  root->Walk(&ranges, &collected, FALSE);
  EXPECT_TRUE(SameBox(collected, Box(0, -3, 0, 5, 1, 1)));

  // Tracking data goes from every node the walks reach; the override walk
  // does not visit the root.
  void* const mark = reinterpret_cast<void*>(uintptr_t{1});
  OccurrenceNode* nodes[] = {root, At(root, {1}), At(root, {1, 1}), At(root, {2})};
  for (OccurrenceNode* node : nodes) {
    node->AddUserData(UD_TRACK_DISPLAY, mark);
    node->AddUserData(UD_BODY_OVERRIDE_SOURCE, mark);
    node->AddUserData(UD_HAVE_OVERRIDDEN_CHILD, mark);
  }
  b.Tree()->EnableDisplayTracking();
  b.Tree()->SetOverrideTrackingMode(true);
  b.Tree()->SetOverrideTrackingMode(false);
  for (OccurrenceNode* node : nodes) {
    int tracked = 1, source = 1;
    node->GetUserData(UD_TRACK_DISPLAY, &tracked);
    node->GetUserData(UD_BODY_OVERRIDE_SOURCE, &source);
    EXPECT_EQ(tracked, 0);
    EXPECT_EQ(source, node == root ? 1 : 0);
  }
}
