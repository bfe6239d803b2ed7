// Failure sweeps: every allocation point and every storage call of a real
// load and save is made to fail in turn (the Nth one, N = 1, 2, ... until a
// run passes its last call). Each failing run must return a failure code,
// leave the tree deletable (the sanitizer build checks that nothing leaks)
// and leave the process able to do the same work again without faults. A
// save that fails, or whose process is killed, must leave the previous file
// whole.
#include "host/fault_injection.h"

#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support/storage_support.h"

using quorra::StorageFault;
using quorra::host::ComPtr;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

// A sweep stops here even if calls remain (it would only repeat itself).
constexpr uint64_t kMaxSweep = 20000;

// Disarms both hooks when a test ends, whatever happened.
struct Disarm {
  ~Disarm() {
    quorra::FailAllocationAt(0);
    quorra::FailStorageAt(0);
  }
};

// A small product written by refhost's document writer: a part, a mesh
// part, a weldment of two members, a sub-assembly placing the part twice and
// a top assembly placing them all.
class Product : public ::testing::Test {
 protected:
  void SetUp() override {
    quorra::refhost::Install();
    using namespace quorra::refhost;
    PartDocument part, mesh;
    part.display = MakeBoxDisplay(1, 2, 3);
    mesh.kernelGeometry = false;
    WeldmentDocument weldment;
    weldment.members = {{1, MakeBoxDisplay(1, 1, 1)}, {2, MakeBoxDisplay(2, 2, 2)}};
    AssemblyDocument sub;
    sub.AddPlacement(L"a.par", tagG4x4());
    sub.AddPlacement(L"a.par", tagG4x4::Translation(5, 0, 0));
    top_.AddPlacement(L"c.asm", tagG4x4::Translation(0, 0, 10));
    top_.AddPlacement(L"b.psm", tagG4x4::Translation(0, 3, 0));
    top_.AddPlacement(L"w.pwd", tagG4x4::Translation(7, 0, 0));
    top_.AddPlacement(L"a.par", tagG4x4::RotationZ(0.5));
    ASSERT_EQ(WritePartDocument(Path("a.par").c_str(), part), S_OK);
    ASSERT_EQ(WritePartDocument(Path("b.psm").c_str(), mesh), S_OK);
    ASSERT_EQ(WriteWeldmentDocument(Path("w.pwd").c_str(), weldment), S_OK);
    ASSERT_EQ(WriteAssemblyDocument(Path("c.asm").c_str(), sub), S_OK);
    ASSERT_EQ(WriteAssemblyDocument(Path("top.asm").c_str(), top_), S_OK);
  }

  std::wstring Path(const char* name) const { return Widen(dir_.File(name)); }

  // Loads top.asm; the tree (when made) is the caller's.
  HRESULT Load(AsmTree** tree) { return AsmTreeCreateAndLoad(Path("top.asm").c_str(), tree, nullptr); }

  // What a load built: its range and node counts.
  struct Outcome {
    tagGBox range;
    DWORD nodes = 0;  // sites and attachments
    bool operator==(const Outcome& o) const { return range.IsEqual(o.range, 1e-12) && nodes == o.nodes; }
  };
  static Outcome Describe(AsmTree* tree) {
    Outcome outcome;
    AsmTreeGetRange(tree, &outcome.range);
    outcome.nodes = tree->GetPartSiteManager()->GetCount() + tree->GetAssemblySiteManager()->GetCount() +
                    tree->GetAttachmentManager()->GetCount();
    return outcome;
  }
  Outcome CleanLoad() {
    AsmTree* tree = nullptr;
    EXPECT_EQ(Load(&tree), S_OK);
    Outcome outcome = tree ? Describe(tree) : Outcome();
    if (tree) AsmTreeUnloadAndDelete(tree);
    return outcome;
  }

  TempDir dir_;
  quorra::refhost::AssemblyDocument top_;
  Disarm disarm_;
};

// Runs `attempt` with the Nth call armed for N = 1, 2, ... until a run no
// longer reaches the armed call; `attempt` reports whether the run failed.
// Returns the number of faulted runs.
uint64_t Sweep(const std::function<void(uint64_t)>& arm, const std::function<bool()>& delivered,
               const std::function<void(uint64_t)>& attempt) {
  uint64_t n = 1;
  for (; n < kMaxSweep; ++n) {
    arm(n);
    attempt(n);
    const bool hit = delivered();
    arm(0);
    if (!hit) break;
  }
  return n - 1;
}

uint64_t AllocationSweep(const std::function<void(uint64_t)>& attempt) {
  return Sweep([](uint64_t n) { quorra::FailAllocationAt(n); }, quorra::AllocationFaultDelivered, attempt);
}

uint64_t StorageSweep(StorageFault fault, const std::function<void(uint64_t)>& attempt) {
  return Sweep([fault](uint64_t n) { quorra::FailStorageAt(n, fault); }, quorra::StorageFaultDelivered, attempt);
}

TEST_F(Product, AllocationFailuresDuringALoadFailCleanly) {
  const Outcome expected = CleanLoad();
  ASSERT_GT(expected.nodes, 8u);
  uint64_t failed = 0;
  const uint64_t runs = AllocationSweep([&](uint64_t n) {
    AsmTree* tree = nullptr;
    const HRESULT hr = Load(&tree);
    if (!tree) {
      // Only the tree itself could not be made.
      EXPECT_EQ(hr, E_OUTOFMEMORY) << "allocation " << n;
      return;
    }
    EXPECT_EQ(AsmTreeValidate(tree), S_OK);
    if (FAILED(hr)) {
      ++failed;
      EXPECT_EQ(hr, E_OUTOFMEMORY) << "allocation " << n;
    } else {
      // A child that could not be made is left out, as an unreadable one
      // would be: the tree holds at most what a whole load holds.
      EXPECT_LE(Describe(tree).nodes, expected.nodes) << "allocation " << n;
    }
    EXPECT_EQ(AsmTreeUnloadAndDelete(tree), S_OK);
  });
  EXPECT_GT(runs, 20u);
  EXPECT_GT(failed, 0u);
  EXPECT_EQ(CleanLoad(), expected);  // no state left behind by the failures
}

TEST_F(Product, AllocationFailuresDuringIdsSaveAndLoadFailCleanly) {
  AsmTree* source = nullptr;
  ASSERT_EQ(Load(&source), S_OK);
  const Outcome expected = Describe(source);
  SiteFileToUniversalIdentifierMap map;
  ASSERT_EQ(map.Build(source), S_OK);

  AllocationSweep([&](uint64_t n) {
    ComPtr<IStorage> storage;
    ASSERT_EQ(quorra::host::CreateMemoryStorage(storage.Put()), S_OK);
    const HRESULT hr = source->SaveIDS(storage.Get(), map);
    if (FAILED(hr)) {
      EXPECT_EQ(hr, E_OUTOFMEMORY) << "allocation " << n;
    }
  });

  ComPtr<IStorage> saved;
  ASSERT_EQ(quorra::host::CreateMemoryStorage(saved.Put()), S_OK);
  ASSERT_EQ(source->SaveIDS(saved.Get(), map), S_OK);
  ASSERT_EQ(map.Save(saved.Get()), S_OK);
  AsmTreeUnloadAndDelete(source);

  auto loadIds = [&](AsmTree** tree) {
    SiteFileToUniversalIdentifierMap loaded;
    HRESULT hr = CreateAsmTree(tree, nullptr);
    if (SUCCEEDED(hr)) hr = loaded.Load(saved.Get());
    if (SUCCEEDED(hr)) hr = (*tree)->LoadIDS(saved.Get(), loaded);
    return hr;
  };
  uint64_t failed = 0;
  AllocationSweep([&](uint64_t n) {
    AsmTree* tree = nullptr;
    const HRESULT hr = loadIds(&tree);
    if (FAILED(hr)) {
      ++failed;
      EXPECT_EQ(hr, E_OUTOFMEMORY) << "allocation " << n;
    }
    if (tree) {
      EXPECT_EQ(AsmTreeUnloadAndDelete(tree), S_OK);
    }
  });
  EXPECT_GT(failed, 0u);
  AsmTree* tree = nullptr;
  ASSERT_EQ(loadIds(&tree), S_OK);
  EXPECT_EQ(Describe(tree), expected);
  AsmTreeUnloadAndDelete(tree);
}

TEST_F(Product, StorageFailuresAndShortReadsDuringALoadFailCleanly) {
  const Outcome expected = CleanLoad();
  for (StorageFault fault : {StorageFault::kFail, StorageFault::kShortRead}) {
    SCOPED_TRACE(fault == StorageFault::kFail ? "failing call" : "short read");
    uint64_t failed = 0;
    const uint64_t runs = StorageSweep(fault, [&](uint64_t n) {
      AsmTree* tree = nullptr;
      const HRESULT hr = Load(&tree);
      ASSERT_NE(tree, nullptr);
      EXPECT_EQ(AsmTreeValidate(tree), S_OK);
      if (FAILED(hr)) {
        ++failed;
        // The top document could not be read: nothing was loaded.
        EXPECT_EQ(hr, E_FAIL) << "call " << n;
      } else {
        // An unreadable child document is left out, the rest loads.
        EXPECT_LE(Describe(tree).nodes, expected.nodes) << "call " << n;
      }
      EXPECT_EQ(AsmTreeUnloadAndDelete(tree), S_OK);
    });
    EXPECT_GT(runs, 10u);
    EXPECT_GT(failed, 0u);
    EXPECT_EQ(CleanLoad(), expected);
  }
}

// The bytes of the file at `path` ("" when it cannot be read).
std::string FileBytes(const std::string& path) {
  const std::vector<BYTE> bytes = quorra::test::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(Product, FailedSavesLeaveThePreviousFileWhole) {
  AsmTree* tree = nullptr;
  ASSERT_EQ(Load(&tree), S_OK);
  const std::string ids = dir_.File("top.ids");
  SiteFileToUniversalIdentifierMap map;
  ASSERT_EQ(quorra::refhost::WriteIdsDocument(Widen(ids).c_str(), tree, &map), S_OK);

  quorra::refhost::AssemblyDocument changed = top_;
  changed.AddPlacement(L"a.par", tagG4x4::Translation(20, 0, 0));
  struct Save {
    const char* name;
    std::string path;
    std::function<HRESULT()> write;
  };
  const std::vector<Save> saves = {
      {"assembly document", dir_.File("top.asm"),
       [&] { return quorra::refhost::WriteAssemblyDocument(Path("top.asm").c_str(), changed); }},
      {"IDS file", ids,
       [&] {
         SiteFileToUniversalIdentifierMap again;
         return quorra::refhost::WriteIdsDocument(Widen(ids).c_str(), tree, &again);
       }},
  };
  const std::vector<std::string> entries = dir_.Entries();
  for (const Save& save : saves) {
    SCOPED_TRACE(save.name);
    const std::string before = FileBytes(save.path);
    ASSERT_FALSE(before.empty());
    const uint64_t runs = StorageSweep(StorageFault::kFail, [&](uint64_t n) {
      const HRESULT hr = save.write();
      if (!quorra::StorageFaultDelivered()) return;
      EXPECT_TRUE(FAILED(hr)) << "call " << n;
      EXPECT_TRUE(FileBytes(save.path) == before) << "call " << n << " changed the file";
      EXPECT_EQ(dir_.Entries(), entries) << "call " << n << " left a file behind";
    });
    EXPECT_GT(runs, 3u);
  }
  AsmTreeUnloadAndDelete(tree);
}

// A save killed at its Nth storage call (in a child process) leaves the
// previous document readable as it was: only temporary siblings may remain.
TEST_F(Product, SavesKilledHalfwayLeaveThePreviousDocumentReadable) {
  const std::string path = dir_.File("top.asm");
  quorra::refhost::AssemblyDocument changed = top_;
  changed.AddPlacement(L"a.par", tagG4x4::Translation(20, 0, 0));
  auto write = [&] { return quorra::refhost::WriteAssemblyDocument(Path("top.asm").c_str(), changed); };

  // How many storage calls a whole save makes (the last run saves).
  uint64_t calls = StorageSweep(StorageFault::kFail, [&](uint64_t) { write(); });
  ASSERT_GT(calls, 3u);
  ASSERT_EQ(quorra::refhost::WriteAssemblyDocument(Path("top.asm").c_str(), top_), S_OK);
  const std::string before = FileBytes(path);

  // The first call, one in the middle, and the last one (the rename).
  for (uint64_t n : {uint64_t{1}, calls / 2, calls}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      quorra::FailStorageAt(n, StorageFault::kKill);
      write();
      ::_exit(0);  // not reached: the armed call kills the child
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "call " << n;
    EXPECT_TRUE(FileBytes(path) == before) << "call " << n << " changed the file";
  }
  AsmTree* tree = nullptr;
  EXPECT_EQ(Load(&tree), S_OK);
  AsmTreeUnloadAndDelete(tree);
}

}  // namespace
