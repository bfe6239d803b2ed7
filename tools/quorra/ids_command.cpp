// `quorra ids`: saves a loaded tree's IDS into a compound file and rebuilds a
// tree from such a file without opening any document.
//   ids save FILE OUT
//   ids load OUT
#include <quorra/quorra.h>
#include <quorra/refhost.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "ids";

constexpr const char* kUsage =
    "usage: quorra ids save FILE OUT\n"
    "       quorra ids load OUT\n"
    "\n"
    "save  loads FILE (.asm, .par, .psm, .pwd; \"file|Member\" names a family\n"
    "      member) from its documents, as quorra load does, and writes the tree\n"
    "      into a new compound file OUT: the \"IDS\" stream (sites, flags, ranges,\n"
    "      attachments) and the \"Sites\" stream (file paths by number).\n"
    "load  rebuilds the tree from OUT alone, opening no document, and prints the\n"
    "      same summary as quorra load.\n";

struct TreeDeleter {
  void operator()(AsmTree* tree) const { AsmTreeUnloadAndDelete(tree); }
};
using Tree = std::unique_ptr<AsmTree, TreeDeleter>;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int Save(const std::string& file, const std::string& out) {
  const std::string document = file.substr(0, file.find('|'));
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(document, ignored))
    return Fail(kName, kExitFailure, "cannot open %s: no such file", document.c_str());

  refhost::Install();
  AsmTree* loaded = nullptr;
  const auto start = std::chrono::steady_clock::now();
  HRESULT hr = AsmTreeCreateAndLoad(host::FromUtf8(file).c_str(), &loaded, nullptr);
  Tree tree(loaded);
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot load %s (0x%08X): %s", file.c_str(), static_cast<unsigned>(hr),
                refhost::DescribeLastTrace().c_str());

  SiteFileToUniversalIdentifierMap map;
  host::ComPtr<IStorage> storage;
  const std::wstring outPath = host::FromUtf8(out);
  if (SUCCEEDED(hr = map.Build(tree.get())) &&
      SUCCEEDED(hr = StgCreateDocfile(outPath.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                      storage.Put())) &&
      SUCCEEDED(hr = tree->SaveIDS(storage.Get(), map)) && SUCCEEDED(hr = map.Save(storage.Get())))
    hr = storage->Commit(0);
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot write %s (0x%08X): %s", out.c_str(), static_cast<unsigned>(hr),
                refhost::DescribeLastTrace().c_str());
  const TreeCounts counts = CountTree(tree.get());
  std::printf("saved %s to %s in %.3f s: %u sites, %u attachments, %llu file ids\n", file.c_str(), out.c_str(),
              SecondsSince(start), counts.assemblySites + counts.partSites, counts.attachments,
              static_cast<unsigned long long>(map.GetSiteCount()));
  return kExitOk;
}

int Load(const std::string& file) {
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(file, ignored))
    return Fail(kName, kExitFailure, "cannot open %s: no such file", file.c_str());
  const std::wstring path = host::FromUtf8(file);
  if (StgIsStorageFile(path.c_str()) != S_OK)
    return Fail(kName, kExitFailure, "cannot read %s: not a compound file", file.c_str());

  refhost::Install();
  host::ComPtr<IStorage> storage;
  HRESULT hr = StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put());
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot read %s (0x%08X): %s", file.c_str(), static_cast<unsigned>(hr),
                refhost::DescribeLastTrace().c_str());
  host::ComPtr<IStream> ids;
  if (FAILED(storage->OpenStream(kIDSStreamName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, ids.Put())))
    return Fail(kName, kExitFailure, "cannot read %s: it holds no \"IDS\" stream", file.c_str());
  ids.Reset();

  const auto start = std::chrono::steady_clock::now();
  SiteFileToUniversalIdentifierMap map;
  AsmTree* created = nullptr;
  if (SUCCEEDED(hr = map.Load(storage.Get())) && SUCCEEDED(hr = CreateAsmTree(&created, nullptr))) {
    Tree tree(created);
    hr = tree->LoadIDS(storage.Get(), map);
    if (SUCCEEDED(hr)) {
      std::printf("loaded %s in %.3f s without opening documents\n", file.c_str(), SecondsSince(start));
      PrintTreeSummary(stdout, tree.get());
      return kExitOk;
    }
  }
  const std::string why =
      hr == static_cast<HRESULT>(STG_E_READFAULT) ? "the stream is truncated" : refhost::DescribeLastTrace();
  return Fail(kName, kExitFailure, "cannot load the IDS of %s (0x%08X): %s", file.c_str(), static_cast<unsigned>(hr),
              why.c_str());
}

int RunIds(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {}, {}, &parsed, &error)) return Fail(kName, kExitUsage, "%s", error.c_str());
  const auto& positional = parsed.positional;
  if (!positional.empty() && positional[0] == "save") {
    if (positional.size() != 3) return Fail(kName, kExitUsage, "save expects FILE and OUT (try quorra ids --help)");
    return Save(positional[1], positional[2]);
  }
  if (!positional.empty() && positional[0] == "load") {
    if (positional.size() != 2) return Fail(kName, kExitUsage, "load expects one file (try quorra ids --help)");
    return Load(positional[1]);
  }
  return Fail(kName, kExitUsage, "expects save or load (try quorra ids --help)");
}

const CommandRegistrar kRegistrar({kName, "save a tree's IDS into a file, or rebuild a tree from one", kUsage, RunIds});

}  // namespace
}  // namespace quorra::tool
