// `quorra load`: loads an assembly, part or weldment document with refhost as
// the host and prints what was built.
//   load FILE [--threaded]
#include <quorra/quorra.h>
#include <quorra/refhost.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "load";

constexpr const char* kUsage =
    "usage: quorra load FILE [--threaded]\n"
    "\n"
    "Loads FILE (.asm, .par, .psm, .pwd; \"file|Member\" names a family member)\n"
    "as the hosting CAD system would, reading every child document it can find,\n"
    "and prints the counts of sites, attachments and occurrences, the range of\n"
    "the whole and the time the load took.\n"
    "\n"
    "  --threaded   load on a worker thread (AsmTreeThreadedCreateAndLoad) and\n"
    "               wait for it\n";

int RunLoad(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {}, {"threaded"}, &parsed, &error)) return Fail(kName, kExitUsage, "%s", error.c_str());
  if (parsed.positional.size() != 1) return Fail(kName, kExitUsage, "expects one file (try quorra load --help)");
  const std::string& file = parsed.positional[0];
  const bool threaded = parsed.Has("threaded");

  // The document part of the name must be a readable file.
  const std::string document = file.substr(0, file.find('|'));
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(document, ignored))
    return Fail(kName, kExitFailure, "cannot open %s: no such file", document.c_str());

  refhost::Install();
  const std::wstring path = host::FromUtf8(file);
  ProgressBar progress;
  AsmTree* tree = nullptr;
  HRESULT hr;
  const auto start = std::chrono::steady_clock::now();
  if (threaded) {
    ThreadedLoadContext* context = nullptr;
    hr = AsmTreeThreadedCreateAndLoad(path.c_str(), &tree, &context, progress.Sink());
    // The worker reports no result: a load that built nothing failed.
    if (SUCCEEDED(hr)) {
      FreeThreadedLoadContext(context);  // waits for the worker
      AssemblyOccurrence* root = tree->GetRootAssembly();
      if (!root || root->GetChildCount() == 0) hr = E_FAIL;
    }
  } else {
    hr = AsmTreeCreateAndLoad(path.c_str(), &tree, progress.Sink());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  progress.Finish();
  if (FAILED(hr)) {
    if (tree) AsmTreeUnloadAndDelete(tree);
    return Fail(kName, kExitFailure, "cannot load %s (0x%08X): %s", file.c_str(), static_cast<unsigned>(hr),
                refhost::DescribeLastTrace().c_str());
  }

  std::printf("loaded %s in %.3f s%s\n", file.c_str(), seconds, threaded ? " on a worker thread" : "");
  PrintTreeSummary(stdout, tree);
  AsmTreeUnloadAndDelete(tree);
  return kExitOk;
}

const CommandRegistrar kRegistrar({"load", "load a document and print what was built", kUsage, RunLoad});

}  // namespace
}  // namespace quorra::tool
