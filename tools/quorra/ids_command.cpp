// `quorra ids`: saves a loaded tree's IDS into a compound file and rebuilds a
// tree from such a file without opening any document.
//   ids save FILE OUT [--search-path DIR]...
//   ids load OUT [--outline[=DEPTH]] [--json]
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/describe.h>
#include <quorra/refhost/documents.h>

#include <cstdio>
#include <filesystem>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "ids";

constexpr const char* kUsage =
    "usage: quorra ids save FILE OUT [--search-path DIR]...\n"
    "       quorra ids load OUT [--outline[=DEPTH]] [--json]\n"
    "\n"
    "save  loads FILE (.asm, .par, .psm, .pwd; \"file|Member\" names a family\n"
    "      member) from its documents, as quorra load does, and writes the tree\n"
    "      into a new compound file OUT: the \"IDS\" stream (sites, flags, ranges,\n"
    "      attachments) and the \"Sites\" stream (file paths by number). A load\n"
    "      without some of its documents is saved as loaded; the references left\n"
    "      out are listed and the exit code is 3.\n"
    "load  rebuilds the tree from OUT alone, opening no document, and prints the\n"
    "      same summary as quorra load.\n"
    "\n"
    "  --search-path DIR   (save) look for child documents in DIR too, after the\n"
    "                      assembly's folder and the current folder; may be\n"
    "                      given more than once\n"
    "  --outline[=DEPTH]   (load) also print the occurrence tree down to DEPTH\n"
    "                      levels below the root, 0 to 4294967295 (default 2)\n"
    "  --json              (load) print one JSON object instead, as quorra load\n"
    "                      --json does, with \"source\": \"ids\"\n"
    "\n"
    "exit codes: 0 done, 1 failed, 2 wrong command line, 3 saved a tree without\n"
    "some of its documents\n";

// Writes the session's tree into a new compound file: the "IDS" stream and
// the site list it refers to. An existing OUT is replaced only once the new
// file is whole.
HRESULT WriteIds(AsmTree* tree, const std::string& out, SiteFileToUniversalIdentifierMap* map) {
  return refhost::WriteIdsDocument(host::FromUtf8(out).c_str(), tree, map);
}

int Save(const ParsedArgs& parsed) {
  const std::string& out = parsed.positional[2];
  std::error_code ignored;
  if (std::filesystem::is_directory(out, ignored))  // the file system says only "permission denied"
    return Fail(kName, kExitFailure, "cannot write %s: is a directory", out.c_str());
  LoadSession session(kName);
  const int code = session.Load(ReadLoadRequest(parsed, parsed.positional[1]));
  if (code != kExitOk && code != kExitIncomplete) return code;
  SiteFileToUniversalIdentifierMap map;
  const HRESULT hr = session.Timed("writing the IDS file", [&] { return WriteIds(session.Tree(), out, &map); });
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot write %s: %s", out.c_str(), refhost::DescribeResult(hr).c_str());
  const TreeCounts& counts = session.Counts();
  std::printf("saved %s to %s%s: %s, %s, %s\n", session.File().c_str(), out.c_str(),
              code == kExitIncomplete ? " (incomplete)" : "",
              Plural(counts.assemblySites + counts.partSites, "site", "sites").c_str(),
              Plural(counts.attachments, "attachment", "attachments").c_str(),
              Plural(map.GetSiteCount(), "file id", "file ids").c_str());
  session.PrintProblems(stderr);
  session.LeaveToExit();
  session.PrintPhases(stdout);
  return code;
}

int Load(const ParsedArgs& parsed) {
  ReportOptions report;
  std::string error;
  if (!ReadReportOptions(parsed, &report, &error)) return Fail(kName, kExitUsage, "%s", error.c_str());
  LoadSession session(kName);
  const int code = session.LoadIds(parsed.positional[1]);
  if (code != kExitOk) return code;
  return ReportLoad(session, report, code);
}

int RunIds(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  const std::string action = args.empty() ? std::string() : args[0];
  // Each action takes only its own options.
  const bool parsedOk =
      action == "save"   ? ParseArgs(args, {"search-path"}, {}, &parsed, &error, {}, {"search-path"})
      : action == "load" ? ParseArgs(args, {}, {"json"}, &parsed, &error, {"outline"})
                         : ParseArgs(args, {}, {}, &parsed, &error);
  if (!parsedOk) return Fail(kName, kExitUsage, "%s", error.c_str());
  const auto& positional = parsed.positional;
  if (action == "save" && !positional.empty() && positional[0] == "save") {
    if (positional.size() != 3) return Fail(kName, kExitUsage, "save expects FILE and OUT (try quorra ids --help)");
    return Save(parsed);
  }
  if (action == "load" && !positional.empty() && positional[0] == "load") {
    if (positional.size() != 2) return Fail(kName, kExitUsage, "load expects one file (try quorra ids --help)");
    return Load(parsed);
  }
  return Fail(kName, kExitUsage, "expects save or load (try quorra ids --help)");
}

const CommandRegistrar kRegistrar({kName, "save a tree's IDS into a file, or rebuild a tree from one", kUsage, RunIds});

}  // namespace
}  // namespace quorra::tool
