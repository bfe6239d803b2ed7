// Loading real documents written with refhost's writer: the file loader
// (through AsmTreeCreateAndLoad and its threaded form) and the site reader
// (AsmTree::PopulateFullTree), against hand-built assemblies and the sample
// products' summaries.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>
#include <quorra/refhost/progress.h>
#include <quorra/refhost/sample.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "support/storage_support.h"

using namespace quorra::refhost;
using quorra::host::ComPtr;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

struct TreeDeleter {
  void operator()(AsmTree* tree) const { AsmTreeUnloadAndDelete(tree); }
};
using Tree = std::unique_ptr<AsmTree, TreeDeleter>;

struct Counts {
  DWORD assemblySites = 0, partSites = 0, attachments = 0, assemblies = 0, parts = 0;
};

Counts Count(AsmTree* tree) {
  Counts c;
  c.assemblySites = tree->GetAssemblySiteManager()->GetCount();
  c.partSites = tree->GetPartSiteManager()->GetCount();
  c.attachments = tree->GetAttachmentManager()->GetCount();
  if (tree->GetRootAssembly()) {
    IDSCounter counter;
    tree->Walk(&counter, nullptr, 1);
    tree->EndWalk();
    c.assemblies = counter.GetAssemblyCount();
    c.parts = counter.GetPartCount();
  }
  return c;
}

tagG4x4 Move(double x, double y, double z) { return tagG4x4::Translation(x, y, z); }

bool SameBox(const tagGBox& a, const tagGBox& b) { return a.IsEqual(b, 1e-9); }

// Changes the current directory for the lifetime of the object.
class ScopedDirectory {
 public:
  explicit ScopedDirectory(const std::string& to) : from_(std::filesystem::current_path()) {
    std::filesystem::current_path(to);
  }
  ~ScopedDirectory() { std::filesystem::current_path(from_); }

 private:
  std::filesystem::path from_;
};

class LoadE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Install(); }

  std::wstring Path(const std::string& name) const { return Widen(dir_.File(name)); }

  void Part(const std::string& name, DisplayData display = MakeBoxDisplay(2, 4, 6), DWORD preview = 0) {
    PartDocument part;
    part.display = std::move(display);
    part.previewBodyId = preview;
    ASSERT_EQ(WritePartDocument(Path(name).c_str(), part), S_OK);
  }
  void Assembly(const std::string& name, const AssemblyDocument& document) {
    ASSERT_EQ(WriteAssemblyDocument(Path(name).c_str(), document), S_OK);
  }
  // An assembly placing the children (stored names as given) in order, each
  // placement in a component entry of its own.
  void Assembly(const std::string& name, std::vector<std::pair<std::wstring, tagG4x4>> children) {
    AssemblyDocument document;
    for (const auto& [child, matrix] : children) {
      ComponentEntry& component = document.components.emplace_back();
      component.childPath = child;
      PlacementRecord& record = component.placements.emplace_back();
      record.matrix = matrix;
      record.name = PlacementName(child, static_cast<unsigned>(document.components.size()));
    }
    Assembly(name, document);
  }

  Tree Load(const std::wstring& path, HRESULT* hr, JProgress* progress = nullptr) {
    AsmTree* tree = nullptr;
    *hr = AsmTreeCreateAndLoad(path.c_str(), &tree, progress);
    return Tree(tree);
  }

  TempDir dir_;
};

// --- The file loader ----------------------------------------------------------

TEST_F(LoadE2E, HandBuiltAssemblyHasItsIdsMatricesAndRanges) {
  Part("a.par");                              // box +-1, +-2, +-3
  Part("b.par", MakeBoxDisplay(10, 10, 10));  // box +-5
  Assembly("sub.asm", {{L"b.par", Move(0, 0, 100)}});
  Assembly("top.asm", {{L"a.par", Move(10, 0, 0)},
                       {L"sub.asm", Move(0, 50, 0)},
                       {L"a.par", Move(-10, 0, 0)},
                       {L"sub.asm", Move(0, -50, 0)}});
  auto progress = ProgressSink::Create();
  progress->KeepTexts(true);
  HRESULT hr;
  Tree tree = Load(Path("top.asm"), &hr, progress.Get());
  ASSERT_EQ(hr, S_OK);

  // The second placement of sub.asm reuses its site: b.par is read once.
  const std::vector<std::wstring> reported = progress->Texts();
  EXPECT_EQ(reported, (std::vector<std::wstring>{Path("top.asm"), Path("a.par"), Path("sub.asm"), Path("b.par"),
                                                 Path("a.par"), Path("sub.asm")}));
  const Counts c = Count(tree.get());
  EXPECT_EQ(c.assemblySites, 2u);
  EXPECT_EQ(c.partSites, 2u);
  EXPECT_EQ(c.attachments, 6u);  // root, four in top, one in sub
  EXPECT_EQ(c.assemblies, 3u);
  EXPECT_EQ(c.parts, 4u);

  AssemblyOccurrence* root = tree->GetRootAssembly();
  ASSERT_EQ(root->GetChildCount(), 4u);
  const double xs[] = {10, 0, -10, 0}, ys[] = {0, 50, 0, -50};
  for (DWORD id = 1; id <= 4; ++id) {
    OccurrenceNode* child = root->GetChildByID(id);
    ASSERT_NE(child, nullptr) << id;
    const tagG4x4& world = child->GetCurrentToWorld();
    EXPECT_EQ(world.m[3], xs[id - 1]) << id;
    EXPECT_EQ(world.m[7], ys[id - 1]) << id;
  }
  // b.par sits at z = 100 in sub, sub at y = +-50.
  OccurrenceNode* b =
      root->GetChildByID(2) ? static_cast<AssemblyOccurrence*>(root->GetChildByID(2))->GetChildByID(1) : nullptr;
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(SameBox(*b->GetRange(), tagGBox(-5, 45, 95, 5, 55, 105)));
  tagGBox range;
  ASSERT_EQ(AsmTreeGetRange(tree.get(), &range), S_OK);
  EXPECT_TRUE(SameBox(range, tagGBox(-11, -55, -3, 11, 55, 105)));
}

TEST_F(LoadE2E, MissingChildrenAreSkippedAndAnAssemblyOfNoneFails) {
  Part("a.par");
  Assembly("some.asm", {{L"gone.par", Move(0, 0, 0)}, {L"a.par", Move(1, 0, 0)}, {L"gone.asm", Move(0, 0, 0)}});
  Assembly("none.asm", {{L"gone.par", Move(0, 0, 0)}});
  HRESULT hr;
  Tree some = Load(Path("some.asm"), &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(some->GetRootAssembly()->GetChildCount(), 1u);
  EXPECT_EQ(some->GetRootAssembly()->GetChildByID(1)->GetSite()->GetFilePath().Str(), Path("a.par"));

  quorra::host::ScopedTraceCapture traces;
  Tree none = Load(Path("none.asm"), &hr);
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_TRUE(traces.Saw("LoadAssembly", E_FAIL));
  ASSERT_NE(none, nullptr);  // handed out all the same
  EXPECT_EQ(none->GetRootAssembly()->GetChildCount(), 0u);
}

TEST_F(LoadE2E, ProgressSinkStopsTheLoad) {
  Part("a.par");
  Part("b.par");
  Assembly("top.asm", {{L"a.par", Move(0, 0, 0)}, {L"b.par", Move(0, 0, 0)}});
  struct Case {
    uint64_t after;
    HRESULT answer, result;
    DWORD partSites;
  } cases[] = {
      {0, S_OK, S_OK, 0},           // stopped before the first file: nothing made
      {0, E_ABORT, E_ABORT, 0},     // the answer is handed back as it is
      {2, E_ABORT, S_OK, 1},        // top and a.par read, b.par refused
      {UINT64_MAX, S_OK, S_OK, 2},  // never stopped
  };
  for (const Case& k : cases) {
    auto progress = ProgressSink::Create();
    progress->StopAfter(k.after, k.answer);
    HRESULT hr;
    Tree tree = Load(Path("top.asm"), &hr, progress.Get());
    EXPECT_EQ(hr, k.result) << k.after;
    EXPECT_EQ(tree->GetPartSiteManager()->GetCount(), k.partSites) << k.after;
    if (k.after == 0) {
      EXPECT_EQ(tree->GetRootAssembly(), nullptr);
      EXPECT_EQ(tree->GetAssemblySiteManager()->GetCount(), 0u);
    }
  }
}

TEST_F(LoadE2E, HeaderVersionFiveCarriesExtendedWords) {
  Part("a.par");
  AssemblyDocument document;
  document.version = 5;
  document.extended = {0xFFFFFFFF, 7, 0x12345678};
  document.AddPlacement(L"a.par", Move(3, 0, 0));
  document.AddPlacement(L"a.par", Move(6, 0, 0));
  Assembly("v5.asm", document);
  HRESULT hr;
  Tree tree = Load(Path("v5.asm"), &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(Count(tree.get()).parts, 2u);
}

TEST_F(LoadE2E, PartAsTopDocumentHangsBelowROOT) {
  Part("a.par");
  HRESULT hr;
  Tree tree = Load(Path("a.par"), &hr);
  ASSERT_EQ(hr, S_OK);
  SiteNode* root = tree->GetRootAssembly()->GetSite();
  EXPECT_EQ(root->GetFilePath().Str(), L"ROOT");
  ASSERT_EQ(static_cast<AssemblySite*>(root)->GetAttachmentList().GetCount(), 1u);
  OccurrenceNode* part = tree->GetRootAssembly()->GetChildByID(1);
  ASSERT_NE(part, nullptr);
  EXPECT_TRUE(part->IsPart());
  EXPECT_NE(part->GetSite()->GetCommonCache(), nullptr);
  EXPECT_TRUE(SameBox(tree->GetRange(0), tagGBox(-1, -2, -3, 1, 2, 3)));
}

TEST_F(LoadE2E, AssemblyWithoutAttachmentsStream) {
  {
    ComPtr<IStorage> root;
    ASSERT_EQ(
        StgCreateDocfile(Path("empty.asm").c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, root.Put()),
        S_OK);
    ASSERT_EQ(quorra::test::PutStream(root.Get(), L"Other", "x"), S_OK);
  }
  HRESULT hr;
  Tree tree = Load(Path("empty.asm"), &hr);
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 1u);  // the root's

  AsmTree* reader = nullptr;
  ASSERT_EQ(CreateAsmTree(&reader, nullptr), S_OK);
  Tree owner(reader);
  AssemblySite* site = nullptr;
  ASSERT_EQ(reader->CreateAssemblySite(Path("empty.asm").c_str(), 0, &site), S_OK);
  EXPECT_EQ(site->CreateChildSitesFromFile(), S_FALSE);
  EXPECT_EQ(reader->PopulateFullTree(Path("empty.asm").c_str(), 0), S_OK);  // S_FALSE is no failure
}

TEST_F(LoadE2E, UnnamedPlacementCreatesNothing) {
  Part("a.par");
  AssemblyDocument document;
  document.AddPlacement(L"a.par", Move(0, 0, 0));
  document.AddPlacement(L"a.par", Move(1, 0, 0)).named = false;
  document.AddPlacement(L"a.par", Move(2, 0, 0));
  Assembly("top.asm", document);
  HRESULT hr;
  Tree tree = Load(Path("top.asm"), &hr);
  EXPECT_EQ(hr, S_OK);
  AssemblyOccurrence* root = tree->GetRootAssembly();
  ASSERT_EQ(root->GetChildCount(), 2u);
  EXPECT_EQ(root->GetChildByID(2)->GetCurrentToWorld().m[3], 2.0);  // the third record
}

TEST_F(LoadE2E, NamesResolveExtensionFirstThenDirectory) {
  // Each case: the files in the assembly's directory and in the current
  // directory, and where "x" (no extension) must be found.
  struct Case {
    std::vector<std::string> own, current;
    std::string expected;  // "own/x.par" or "cwd/x.par"
  } cases[] = {
      {{"x.par", "x.psm", "x.pwd"}, {}, "own/x.par"},
      {{"x.psm", "x.pwd"}, {}, "own/x.psm"},
      {{"x.pwd"}, {}, "own/x.pwd"},
      {{"x.psm"}, {"x.par"}, "cwd/x.par"},  // the extension order comes before the directory order
      {{"x.par"}, {"x.par"}, "own/x.par"},
  };
  for (const Case& k : cases) {
    TempDir own, current;
    auto write = [](const TempDir& where, const std::string& name) {
      const std::wstring path = Widen(where.File(name));
      if (name.ends_with(".pwd")) {
        WeldmentDocument weldment;
        weldment.members.push_back({1, MakeBoxDisplay(1, 1, 1)});
        ASSERT_EQ(WriteWeldmentDocument(path.c_str(), weldment), S_OK);
      } else {
        ASSERT_EQ(WritePartDocument(path.c_str(), PartDocument()), S_OK);
      }
    };
    for (const std::string& name : k.own) write(own, name);
    for (const std::string& name : k.current) write(current, name);
    AssemblyDocument document;
    document.AddPlacement(L"x", Move(0, 0, 0));
    ASSERT_EQ(WriteAssemblyDocument(Widen(own.File("top.asm")).c_str(), document), S_OK);

    ScopedDirectory inCurrent(current.Path());
    HRESULT hr;
    Tree tree = Load(Widen(own.File("top.asm")), &hr);
    EXPECT_EQ(hr, S_OK) << k.expected;
    OccurrenceNode* child = tree->GetRootAssembly()->GetChildByID(1);
    ASSERT_NE(child, nullptr) << k.expected;
    const std::string expected = (k.expected.starts_with("own") ? own : current).File(k.expected.substr(4));
    EXPECT_EQ(child->GetSite()->GetFilePath().Str(), Widen(expected));
  }
}

TEST_F(LoadE2E, WindowsStyleNamesAreFoundByBaseName) {
  Part("a.par");
  Assembly("top.asm", {{L"C:\\parts\\a.par", Move(0, 0, 0)}});
  HRESULT hr;
  Tree tree = Load(Path("top.asm"), &hr);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(tree->GetRootAssembly()->GetChildByID(1)->GetSite()->GetFilePath().Str(), Path("a.par"));
}

TEST_F(LoadE2E, WeldmentMembersAreReadOnceWithTheirRanges) {
  WeldmentDocument weldment;
  weldment.members = {{1, MakeBoxDisplay(2, 2, 2)}, {0, MakeBoxDisplay(9, 9, 9)}, {12, MakeBoxDisplay(4, 4, 4)}};
  ASSERT_EQ(WriteWeldmentDocument(Path("frame.pwd").c_str(), weldment), S_OK);
  Assembly("top.asm", {{L"frame.pwd", Move(0, 0, 0)}, {L"frame.pwd", Move(100, 0, 0)}});
  HRESULT hr;
  Tree tree = Load(Path("top.asm"), &hr);
  ASSERT_EQ(hr, S_OK);
  const Counts c = Count(tree.get());
  EXPECT_EQ(c.assemblySites, 2u);  // top and the weldment
  EXPECT_EQ(c.partSites, 2u);      // members 1 and 12; 0 is skipped
  EXPECT_EQ(c.parts, 4u);
  for (auto [number, half] : {std::pair{1, 1.0}, {12, 2.0}}) {
    SiteNode* member = nullptr;
    const std::wstring name = Path("frame.pwd") + L"\\Weldment" + std::to_wstring(number);
    ASSERT_EQ(tree->FindSiteEx(true, name.c_str(), &member), S_OK) << number;
    EXPECT_EQ(member->GetOccurrencesList()->GetCount(), 2u);
    EXPECT_TRUE(SameBox(*static_cast<PartSite*>(member)->GetRange(), tagGBox(-half, -half, -half, half, half, half)));
    EXPECT_NE(member->GetCommonCache(), nullptr);
  }
}

TEST_F(LoadE2E, FamilyDocumentsLoadTheirSeedOrTheNamedMember) {
  Part("a.par");
  Part("b.par");
  AssemblyFamilyDocument family;
  family.seed = L"Two";
  family.members.resize(2);
  family.members[0].name = L"One";
  family.members[0].document.AddPlacement(L"a.par", Move(0, 0, 0));
  family.members[1].name = L"Two";
  family.members[1].document.AddPlacement(L"b.par", Move(0, 0, 0));
  family.members[1].document.AddPlacement(L"b.par", Move(0, 0, 0));
  ASSERT_EQ(WriteFamilyDocument(Path("family.asm").c_str(), family), S_OK);

  PartFamilyDocument parts;
  parts.seed = L"Small";
  parts.members = {{L"Small", PartDocument{.display = MakeBoxDisplay(2, 2, 2)}},
                   {L"Large", PartDocument{.display = MakeBoxDisplay(8, 8, 8)}}};
  ASSERT_EQ(WriteFamilyDocument(Path("sizes.par").c_str(), parts), S_OK);
  Assembly("top.asm",
           {{L"family.asm", Move(0, 0, 0)}, {L"family.asm|One", Move(0, 0, 0)}, {L"sizes.par|Large", Move(0, 0, 0)}});

  HRESULT hr;
  Tree tree = Load(Path("top.asm"), &hr);
  ASSERT_EQ(hr, S_OK);
  AssemblyOccurrence* root = tree->GetRootAssembly();
  auto* seed = static_cast<AssemblyOccurrence*>(root->GetChildByID(1));
  auto* one = static_cast<AssemblyOccurrence*>(root->GetChildByID(2));
  ASSERT_TRUE(seed && one);
  EXPECT_EQ(seed->GetChildCount(), 2u);  // the seed "Two" places b.par twice
  EXPECT_EQ(one->GetChildCount(), 1u);
  EXPECT_EQ(one->GetChildByID(1)->GetSite()->GetFilePath().Str(), Path("a.par"));
  OccurrenceNode* large = root->GetChildByID(3);
  ASSERT_NE(large, nullptr);
  EXPECT_TRUE(SameBox(*large->GetRange(), tagGBox(-4, -4, -4, 4, 4, 4)));
  // hawser.dll is loaded for the family and released after it.
  EXPECT_EQ(GetModuleHandleW(L"hawser.dll"), nullptr);
}

TEST_F(LoadE2E, DamagedStreamsKeepWhatPrecedesTheDamage) {
  Part("a.par");
  Part("b.par");
  AssemblyDocument good;
  good.AddPlacement(L"a.par", Move(0, 0, 0));
  good.AddPlacement(L"b.par", Move(0, 0, 0));
  std::vector<BYTE> bytes;
  ASSERT_EQ(BuildAttachmentsStream(good, &bytes), S_OK);

  struct Case {
    const char* what;
    std::function<void(AssemblyDocument&)> damage;
    HRESULT traced;
  } cases[] = {
      {"truncated in the second record", [&](AssemblyDocument& d) { d.truncateAt = bytes.size() - 20; },
       STG_E_READFAULT},
      {"name longer than its field", [](AssemblyDocument& d) { d.components[1].placements[0].nameLength = 600; },
       STG_E_DOCFILECORRUPT},
      {"block shorter than its name", [](AssemblyDocument& d) { d.components[1].placements[0].blockLength = 6; },
       STG_E_DOCFILECORRUPT},
  };
  for (const Case& k : cases) {
    AssemblyDocument damaged = good;
    k.damage(damaged);
    Assembly("damaged.asm", damaged);
    quorra::host::ScopedTraceCapture traces;
    HRESULT hr;
    Tree tree = Load(Path("damaged.asm"), &hr);
    EXPECT_EQ(hr, S_OK) << k.what;  // a.par was loaded
    EXPECT_TRUE(traces.Saw("LoadAssembly", k.traced)) << k.what;
    EXPECT_EQ(tree->GetPartSiteManager()->GetCount(), 1u) << k.what;

    // The site reader reports the damage and builds no occurrence tree.
    AsmTree* reader = nullptr;
    ASSERT_EQ(CreateAsmTree(&reader, nullptr), S_OK);
    Tree owner(reader);
    const HRESULT read = reader->PopulateFullTree(Path("damaged.asm").c_str(), 0);
    EXPECT_EQ(read, k.traced) << k.what;
    EXPECT_TRUE(traces.Saw("AssemblySite::CreateChildSitesFromFile", k.traced)) << k.what;
  }
}

TEST_F(LoadE2E, SamplesMatchTheirSummaries) {
  for (bool gearbox : {false, true}) {
    TempDir where;
    SampleSummary summary;
    ASSERT_EQ(gearbox ? WriteGearboxSample(Widen(where.Path()).c_str(), &summary)
                      : WriteSample(Widen(where.Path()).c_str(), {.depth = 4, .fanout = 6, .parts = 12}, &summary),
              S_OK);
    HRESULT hr;
    Tree tree = Load(summary.topDocument, &hr);
    ASSERT_EQ(hr, S_OK);
    const Counts c = Count(tree.get());
    EXPECT_EQ(c.assemblySites + c.partSites, summary.expectedSites) << gearbox;
    EXPECT_EQ(c.assemblies + c.parts, summary.expectedOccurrences) << gearbox;
    // Every part occurrence has a range, and the root's encloses them all.
    tagGBox all;
    for (SiteNode* site : tree->GetPartSiteManager()->Nodes())
      for (DWORD i = 0; i < site->GetOccurrencesList()->GetCount(); ++i) {
        const tagGBox* range = site->GetOccurrencesList()->GetAt(i)->GetRange();
        ASSERT_FALSE(range->IsEmpty());
        all.Add(*range);
      }
    EXPECT_TRUE(SameBox(tree->GetRange(0), all)) << gearbox;
  }
}

TEST_F(LoadE2E, ThreadedLoadIsBusyUntilItsWorkerEnds) {
  SampleSummary summary;
  ASSERT_EQ(WriteGearboxSample(Widen(dir_.Path()).c_str(), &summary), S_OK);
  HRESULT hr;
  Tree reference = Load(summary.topDocument, &hr);
  ASSERT_EQ(hr, S_OK);

  // The worker waits in its first report until the test has looked.
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  auto progress = ProgressSink::Create([&](const wchar_t*, uint64_t) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return released; });
  });
  AsmTree* tree = nullptr;
  ThreadedLoadContext* context = nullptr;
  ASSERT_EQ(AsmTreeThreadedCreateAndLoad(summary.topDocument.c_str(), &tree, &context, progress.Get()), S_OK);
  Tree owner(tree);
  EXPECT_TRUE(tree->IsBusy());
  tagGBox range(1, 1, 1, 2, 2, 2);
  EXPECT_EQ(AsmTreeGetRange(tree, &range), S_OK);
  EXPECT_TRUE(range.IsNull());
  {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
  }
  changed.notify_all();
  ASSERT_EQ(WaitForSingleObject(context->thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_FALSE(tree->IsBusy());
  EXPECT_EQ(progress->LastText(), L"Ending Threaded Load");
  ASSERT_EQ(AsmTreeGetRange(tree, &range), S_OK);
  EXPECT_TRUE(SameBox(range, reference->GetRange(0)));
  const Counts a = Count(tree), b = Count(reference.get());
  EXPECT_EQ(a.parts, b.parts);
  EXPECT_EQ(a.assemblies, b.assemblies);
  quorra::FreeThreadedLoadContext(context);
}

TEST_F(LoadE2E, UnloadHandsTheCachesBackWithoutFailures) {
  Part("a.par");
  HRESULT hr;
  Tree tree = Load(Path("a.par"), &hr);
  ASSERT_EQ(hr, S_OK);
  IJGeometryCache* cache = tree->GetRootAssembly()->GetChildByID(1)->GetSite()->GetCommonCache();
  ASSERT_NE(cache, nullptr);
  cache->AddRef();
  quorra::host::ScopedTraceCapture traces;
  AsmTreeUnloadAndDelete(tree.release());
  EXPECT_TRUE(traces.Entries().empty()) << traces.Entries().front().operation;
  // The manager dropped the cache's data.
  tagGBox range;
  EXPECT_EQ(cache->Query(GEOMETRY_CACHE_QUERY_RANGE, &range), E_FAIL);
  cache->Release();
}

// --- The site reader ------------------------------------------------------------

TEST_F(LoadE2E, SiteReaderBuildsTheSiteGraphFromStoredPaths) {
  SampleSummary summary;
  ASSERT_EQ(WriteGearboxSample(Widen(dir_.Path()).c_str(), &summary, SampleNames::kAbsolute), S_OK);
  AsmTree* tree = nullptr;
  ASSERT_EQ(CreateAsmTree(&tree, nullptr), S_OK);
  Tree owner(tree);
  ASSERT_EQ(tree->PopulateFullTree(summary.topDocument.c_str(), 0), S_OK);
  const Counts c = Count(tree);
  EXPECT_EQ(c.assemblySites + c.partSites, summary.siteReaderSites);
  EXPECT_EQ(c.assemblies + c.parts, summary.siteReaderOccurrences);
  // Parts with kernel geometry get the unit range and no cache.
  SiteNode* housing = nullptr;
  ASSERT_EQ(tree->FindSite(Path("housing.par").c_str(), &housing), S_OK);
  EXPECT_EQ(housing->GetCommonCache(), nullptr);
  EXPECT_TRUE(SameBox(*static_cast<PartSite*>(housing)->GetRange(), tagGBox(-1, -1, -1, 1, 1, 1)));
}

TEST_F(LoadE2E, SiteReaderMarksOnlyKernelGeometry) {
  PartDocument kernel, mesh;
  mesh.kernelGeometry = false;
  ASSERT_EQ(WritePartDocument(Path("k.par").c_str(), kernel), S_OK);
  ASSERT_EQ(WritePartDocument(Path("m.par").c_str(), mesh), S_OK);
  Assembly("top.asm",
           {{Path("k.par"), Move(0, 0, 0)}, {Path("m.par"), Move(0, 0, 0)}, {Path("gone.par"), Move(0, 0, 0)}});
  AsmTree* tree = nullptr;
  ASSERT_EQ(CreateAsmTree(&tree, nullptr), S_OK);
  Tree owner(tree);
  ASSERT_EQ(tree->PopulateFullTree(Path("top.asm").c_str(), 0), S_OK);
  EXPECT_EQ(tree->GetPartSiteManager()->GetCount(), 3u);  // the missing part too: no disk check
  for (auto [name, set] : {std::pair{"k.par", true}, {"m.par", false}, {"gone.par", false}}) {
    SiteNode* site = nullptr;
    ASSERT_EQ(tree->FindSite(Path(name).c_str(), &site), S_OK);
    EXPECT_EQ(static_cast<PartSite*>(site)->IsRangeSet(), set) << name;
  }
}

// --- The tool -----------------------------------------------------------------------

std::string RunCommand(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return output;
}

TEST(LoadTool, LoadPrintsCountsAndDemoRuns) {
  const char* tool = std::getenv("QUORRA_TOOL");
  if (!tool) GTEST_SKIP() << "QUORRA_TOOL is not set";
  TempDir dir;
  SampleSummary summary;
  ASSERT_EQ(WriteGearboxSample(Widen(dir.Path()).c_str(), &summary), S_OK);
  for (const char* mode : {"", " --threaded"}) {
    int status = -1;
    const std::string out = RunCommand(std::string(tool) + " load " + dir.File("gearbox.asm") + mode, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find(std::to_string(summary.expectedSites) + " sites"), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(summary.expectedOccurrences) + " occurrences"), std::string::npos) << out;
  }
  int status = -1;
  std::string out = RunCommand(std::string(tool) + " load " + dir.File("missing.asm"), &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  out = RunCommand(std::string(tool) + " demo", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("gearbox.asm"), std::string::npos) << out;
  EXPECT_NE(out.find("wrote the gearbox: 30 documents (5 assemblies, 24 parts, 1 weldment), 60 placements\n"),
            std::string::npos)
      << out;
}

}  // namespace
