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

int RunLoad(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {"search-path"}, {"threaded", "json"}, &parsed, &error, {"outline"}, {"search-path"}))
    return Fail(kName, kExitUsage, "%s", error.c_str());
  if (parsed.positional.size() != 1) return Fail(kName, kExitUsage, "expects one file (try quorra load --help)");
  ReportOptions report;
  if (!ReadReportOptions(parsed, &report, &error)) return Fail(kName, kExitUsage, "%s", error.c_str());

  LoadSession session(kName);
  const int code = session.Load(ReadLoadRequest(parsed, parsed.positional[0]));
  if (code != kExitOk && code != kExitIncomplete) return code;
  return ReportLoad(session, report, code);
}

const CommandRegistrar kRegistrar({"load", "load a document and print what was built", kUsage, RunLoad});

}  // namespace
}  // namespace quorra::tool
