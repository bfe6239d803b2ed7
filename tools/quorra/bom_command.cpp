// `quorra bom`: the parts list of an assembly, from a loaded tree.
//   bom FILE [--json] [--threaded] [--search-path DIR]...
#include <quorra/quorra.h>
#include <quorra/refhost/parts_list.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "bom";

constexpr const char* kUsage =
    "usage: quorra bom FILE [--json] [--threaded] [--search-path DIR]...\n"
    "\n"
    "Loads FILE as `quorra load` does and prints its parts list: every document\n"
    "placed below the top one, sorted by name, with its number of instances in\n"
    "the whole product (its occurrences) and its quantity in each assembly that\n"
    "places it. A weldment is listed as one document; its members are not.\n"
    "\n"
    "  --json              print one JSON object instead (see the README)\n"
    "  --threaded          load on a worker thread\n"
    "  --search-path DIR   look for child documents in DIR too (repeatable)\n"
    "\n"
    "exit codes: 0 listed, 1 failed, 2 wrong command line, 3 listed without\n"
    "some of its documents (they are listed on stderr)\n";

using Line = refhost::PartsListLine;
using Parent = refhost::PartsListParent;
using refhost::BuildPartsList;

void PrintText(const std::string& file, const std::vector<Line>& lines) {
  unsigned long long instances = 0;
  size_t width = 8;
  for (const Line& line : lines) {
    instances += line.instances;
    width = std::max(width, line.name.size());
  }
  std::printf("parts list of %s: %s, %s below the top\n", file.c_str(),
              Plural(lines.size(), "document", "documents").c_str(),
              Plural(instances, "instance", "instances").c_str());
  std::printf("%9s  %-*s  %-8s  %s\n", "instances", static_cast<int>(width), "document", "kind", "quantity per parent");
  for (const Line& line : lines) {
    std::string parents;
    for (const Parent& parent : line.parents)
      parents += (parents.empty() ? "" : ", ") + std::to_string(parent.quantity) + " in " + parent.name;
    std::printf("%9u  %-*s  %-8s  %s\n", line.instances, static_cast<int>(width), line.name.c_str(), line.kind,
                parents.c_str());
  }
}

void PrintJson(const std::string& file, const std::vector<Line>& lines, const LoadSession& session) {
  std::printf("{\n  \"file\": %s,\n  \"complete\": %s,\n  \"documents\": [", JsonString(file).c_str(),
              session.Problems().empty() ? "true" : "false");
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line& line = lines[i];
    std::string parents;
    for (const Parent& parent : line.parents)
      parents += (parents.empty() ? "" : ", ") + std::string("{\"name\": ") + JsonString(parent.name) +
                 ", \"quantity\": " + std::to_string(parent.quantity) + "}";
    std::printf("%s\n    {\"name\": %s, \"path\": %s, \"kind\": \"%s\", \"instances\": %u, \"parents\": [%s]}",
                i ? "," : "", JsonString(line.name).c_str(), JsonString(line.path).c_str(), line.kind, line.instances,
                parents.c_str());
  }
  std::printf("%s],\n", lines.empty() ? "" : "\n  ");
  std::printf("  \"missingReferences\": %s,\n", LoadProblemsJson(session.Problems()).c_str());
  std::printf("  \"phases\": %s\n}\n", session.PhasesJson().c_str());
}

int RunBom(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {"search-path"}, {"threaded", "json"}, &parsed, &error, {}, {"search-path"}))
    return Fail(kName, kExitUsage, "%s", error.c_str());
  if (parsed.positional.size() != 1) return Fail(kName, kExitUsage, "expects one file (try quorra bom --help)");
  const LoadRequest request = ReadLoadRequest(parsed, parsed.positional[0]);

  LoadSession session(kName);
  const int code = session.Load(request);
  if (code != kExitOk && code != kExitIncomplete) return code;
  const std::vector<Line> lines = BuildPartsList(session.Tree());
  session.PrintProblems(stderr);
  session.LeaveToExit();
  if (parsed.Has("json"))
    PrintJson(request.file, lines, session);
  else
    PrintText(request.file, lines);
  return code;
}

const CommandRegistrar kRegistrar({kName, "print the parts list of an assembly", kUsage, RunBom});

}  // namespace
}  // namespace quorra::tool
