// `quorra load`: loads an assembly, part or weldment document with refhost as
// the host and prints what was built.
//   load FILE [--threaded] [--outline[=DEPTH]] [--json] [--search-path DIR]...
#include <quorra/quorra.h>

#include <cstdio>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "load";
constexpr DWORD kDefaultOutlineDepth = 2;

constexpr const char* kUsage =
    "usage: quorra load FILE [--threaded] [--outline[=DEPTH]] [--json] [--search-path DIR]...\n"
    "\n"
    "Loads FILE (.asm, .par, .psm, .pwd; \"file|Member\" names a family member)\n"
    "as the hosting CAD system would, reading every child document it can find,\n"
    "and prints the documents, sites, attachments and occurrences it built, the\n"
    "range of the whole and the time of each phase.\n"
    "\n"
    "A placed document that is missing or cannot be read does not stop the\n"
    "load; the references left out are listed (the first ten, with the document\n"
    "that placed them) and the exit code is 3.\n"
    "\n"
    "  --threaded          load on a worker thread (AsmTreeThreadedCreateAndLoad)\n"
    "                      and wait for it\n"
    "  --outline[=DEPTH]   also print the occurrence tree down to DEPTH levels\n"
    "                      below the root, 0 to 4294967295 (default 2)\n"
    "  --json              print one JSON object instead (see the README)\n"
    "  --search-path DIR   look for child documents in DIR too, after the\n"
    "                      assembly's folder and the current folder; may be\n"
    "                      given more than once\n"
    "\n"
    "exit codes: 0 loaded, 1 failed, 2 wrong command line, 3 loaded without\n"
    "some of its documents\n";

std::string JsonNumber(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

void PrintJson(const std::string& file, bool threaded, const LoadSession& session) {
  const TreeCounts& c = session.Counts();
  std::printf("{\n  \"file\": \"%s\",\n  \"threaded\": %s,\n  \"complete\": %s,\n", JsonEscape(file).c_str(),
              threaded ? "true" : "false", session.Problems().empty() ? "true" : "false");
  std::printf("  \"documents\": {\"total\": %u, \"assemblies\": %u, \"parts\": %u, \"weldments\": %u},\n",
              c.Documents(), c.assemblyDocuments, c.partDocuments, c.weldmentDocuments);
  std::printf("  \"sites\": {\"total\": %u, \"assemblies\": %u, \"parts\": %u, \"weldmentMembers\": %u},\n",
              c.assemblySites + c.partSites, c.assemblySites, c.partSites, c.weldmentMembers);
  std::printf(
      "  \"attachments\": {\"total\": %u, \"placements\": %u, \"partInRoot\": %u, \"weldmentMembers\": %u, "
      "\"root\": %u},\n",
      c.attachments, c.placements, c.partRootPlacements, c.weldmentMembers, c.rootAttachments);
  std::printf("  \"occurrences\": {\"total\": %u, \"assemblies\": %u, \"parts\": %u},\n", c.assemblies + c.parts,
              c.assemblies, c.parts);
  const tagGBox& r = session.Range();
  if (r.IsNull() || r.IsEmpty())
    std::printf("  \"range\": null,\n");
  else
    std::printf("  \"range\": {\"units\": \"mm\", \"low\": [%s, %s, %s], \"high\": [%s, %s, %s]},\n",
                JsonNumber(r.low[0]).c_str(), JsonNumber(r.low[1]).c_str(), JsonNumber(r.low[2]).c_str(),
                JsonNumber(r.high[0]).c_str(), JsonNumber(r.high[1]).c_str(), JsonNumber(r.high[2]).c_str());
  std::printf("  \"missingReferences\": %s,\n", LoadProblemsJson(session.Problems()).c_str());
  std::printf("  \"phases\": %s\n}\n", session.PhasesJson().c_str());
}

int RunLoad(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {"search-path"}, {"threaded", "json"}, &parsed, &error, {"outline"}, {"search-path"}))
    return Fail(kName, kExitUsage, "%s", error.c_str());
  if (parsed.positional.size() != 1) return Fail(kName, kExitUsage, "expects one file (try quorra load --help)");
  LoadRequest request;
  request.file = parsed.positional[0];
  request.threaded = parsed.Has("threaded");
  for (const auto& [name, value] : parsed.options)
    if (name == "search-path") request.searchPaths.push_back(value);
  const bool json = parsed.Has("json");
  const std::string* outline = parsed.Find("outline");
  unsigned long long depth = kDefaultOutlineDepth;
  if (outline && !outline->empty() && !ParseNumberOption(*outline, "outline", 0, UINT32_MAX, &depth, &error))
    return Fail(kName, kExitUsage, "%s", error.c_str());
  if (json && outline) return Fail(kName, kExitUsage, "--json and --outline cannot be given together");

  LoadSession session(kName);
  const int code = session.Load(request);
  if (code != kExitOk && code != kExitIncomplete) return code;
  if (!json) {
    std::printf("loaded %s in %.3f s%s%s\n", request.file.c_str(), session.LoadSeconds(),
                request.threaded ? " on a worker thread" : "", code == kExitIncomplete ? " (incomplete)" : "");
    PrintTreeSummary(stdout, session.Counts(), session.Range());
    if (outline) {
      std::printf("\noccurrence tree (document, then the attachment ids that place it):\n");
      PrintOutline(stdout, session.Tree(), static_cast<DWORD>(depth));
    }
  }
  session.PrintProblems(stderr);
  session.LeaveToExit();
  if (json)
    PrintJson(request.file, request.threaded, session);
  else
    session.PrintPhases(stdout);
  return code;
}

const CommandRegistrar kRegistrar({"load", "load a document and print what was built", kUsage, RunLoad});

}  // namespace
}  // namespace quorra::tool
