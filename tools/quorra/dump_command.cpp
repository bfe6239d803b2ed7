// `quorra dump`: the library's own text dumps of a loaded tree, or of a tree
// rebuilt from an IDS file, on standard output.
//   dump FILE [--format atp|table|tree|brief|summary] [--version N] [--iot]
//        [--search-path DIR]...
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/describe.h>
#include <quorra/refhost/persist_manager.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "dump";

// The newest test-log dump version: every flag name may appear.
constexpr unsigned long long kNewestVersion = 6;

constexpr const char* kUsage =
    "usage: quorra dump FILE [--format atp|table|tree|brief|summary] [--version N]\n"
    "                        [--iot] [--search-path DIR]...\n"
    "\n"
    "Loads the assembly FILE as `quorra load` does, or rebuilds the tree from\n"
    "FILE when it is a file `quorra ids save` wrote (told by its contents), and\n"
    "prints one of the library's text dumps of it:\n"
    "\n"
    "  atp      the test-log dump (the default): the tree's flags and counts,\n"
    "           a block per occurrence, the site lists and the attachments no\n"
    "           occurrence uses; no addresses, so two runs compare equal\n"
    "  table    the table dump: sites, attachments and one line per occurrence\n"
    "  tree     the node dump: every occurrence with its attachment and site\n"
    "  brief    one [ASM]/[PAR] line per occurrence, indented by level\n"
    "  summary  the counts line and the document of every part occurrence\n"
    "\n"
    "  --version N         the test-log dump version (0 to 6, default 6): older\n"
    "                      versions leave out the tree flags they did not know\n"
    "  --iot               also print the test-log dump of the override table\n"
    "                      stored in the assembly document FILE\n"
    "  --search-path DIR   look for child documents in DIR too; may be given\n"
    "                      more than once\n"
    "\n"
    "exit codes: 0 done, 1 failed, 2 wrong command line, 3 dumped a tree\n"
    "loaded without some of its documents (they are listed on stderr)\n";

// A file for the dumps that write to one, removed when the object goes away.
class TemporaryFile {
 public:
  TemporaryFile() {
    std::error_code error;
    std::string pattern = (std::filesystem::temp_directory_path(error) / "quorra-dump-XXXXXX").string();
    if (error) return;
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return;
    ::close(fd);
    path_ = pattern;
  }
  ~TemporaryFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& Path() const { return path_; }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string path_;
};

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// Prints the dump `format` of `tree`; false with `error` when it fails.
bool PrintTreeDump(AsmTree* tree, const std::string& format, DWORD version, std::string* error) {
  if (format == "atp") {
    std::string text;
    const HRESULT hr = JDumpIDSForATP(tree, DUMPATP_UPDATE_RANGES, version, &text);
    if (FAILED(hr)) return *error = refhost::DescribeResult(hr), false;
    Print(text);
    return true;
  }
  if (format == "table") {
    std::string text;
    const HRESULT hr = DumpIDS(tree, 0, &text);
    if (FAILED(hr)) return *error = refhost::DescribeResult(hr), false;
    Print(text);
    return true;
  }
  TemporaryFile file;
  if (file.Path().empty()) return *error = "cannot create a temporary file", false;
  const std::wstring path = host::FromUtf8(file.Path());
  if (format == "summary") {
    host::ScopedDebugOutputCapture capture;
    tree->Dump(path.c_str());
    Print(host::ToUtf8(capture.Text()));
    Print(file.Read());
    return true;
  }
  const HRESULT hr = DumpTree(path.c_str(), tree, format == "brief" ? 1 : 0);
  if (FAILED(hr)) return *error = refhost::DescribeResult(hr), false;
  Print(file.Read());
  return true;
}

int RunDump(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {"format", "version", "search-path"}, {"iot"}, &parsed, &error, {}, {"search-path"}))
    return Fail(kName, kExitUsage, "%s", error.c_str());
  if (parsed.positional.size() != 1) return Fail(kName, kExitUsage, "expects one file (try quorra dump --help)");
  const std::string format = parsed.Find("format") ? *parsed.Find("format") : "atp";
  if (format != "atp" && format != "table" && format != "tree" && format != "brief" && format != "summary")
    return Fail(kName, kExitUsage, "unknown format '%s': expected atp, table, tree, brief or summary", format.c_str());
  unsigned long long version = kNewestVersion;
  if (const std::string* text = parsed.Find("version")) {
    if (format != "atp" && !parsed.Has("iot"))
      return Fail(kName, kExitUsage, "--version applies to the atp format and --iot only");
    if (!ParseNumberOption(*text, "version", 0, kNewestVersion, &version, &error))
      return Fail(kName, kExitUsage, "%s", error.c_str());
  }

  const std::string& file = parsed.positional[0];
  LoadSession session(kName);
  const bool fromIds = IsIdsFile(file);
  if (fromIds && parsed.Has("iot"))
    return Fail(kName, kExitUsage, "--iot needs an assembly document: an IDS file holds no override table");
  const int code = fromIds ? session.LoadIds(file) : session.Load(ReadLoadRequest(parsed, file));
  if (code != kExitOk && code != kExitIncomplete) return code;
  std::fflush(stdout);
  if (!PrintTreeDump(session.Tree(), format, static_cast<DWORD>(version), &error)) {
    session.LeaveToExit();
    return Fail(kName, kExitFailure, "cannot dump %s: %s", file.c_str(), error.c_str());
  }
  if (parsed.Has("iot")) {
    JIDSOverrideTree table;
    const HRESULT hr = refhost::LoadDocumentOverrideTable(host::FromUtf8(file).c_str(), &table);
    if (FAILED(hr)) {
      session.LeaveToExit();
      return Fail(kName, kExitFailure, "cannot read the override table of %s: %s", file.c_str(),
                  refhost::DescribeResult(hr).c_str());
    }
    std::ostringstream text;
    table.DumpForATP(0, static_cast<DWORD>(version), &text);
    Print(text.str());
  }
  session.PrintProblems(stderr);
  session.LeaveToExit();
  return code;
}

const CommandRegistrar kRegistrar({kName, "print the library's text dumps of a tree", kUsage, RunDump});

}  // namespace
}  // namespace quorra::tool
