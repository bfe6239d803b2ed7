// `quorra demo`: the main job, run by `./quorra.sh demo`. Writes the built-in
// gearbox as real documents into a temporary directory, loads it as the
// hosting CAD system would, prints what was built and an outline of the
// occurrence tree, and removes the directory; the gearbox's picture and page
// (see `quorra view`) are kept.
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/describe.h>
#include <quorra/refhost/picture.h>
#include <quorra/refhost/sample.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "demo";

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::error_code error;
    std::string pattern = (std::filesystem::temp_directory_path(error) / "quorra-demo-XXXXXX").string();
    if (!error && ::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Writes the gearbox's picture and page (seen from an isometric corner) into
// `directory`, which outlives the demo, and says where they went.
int WritePictures(AsmTree* tree, const std::string& directory) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) return Fail(kName, kExitFailure, "cannot create %s: %s", directory.c_str(), error.message().c_str());
  refhost::Picture picture;
  const HRESULT hr = refhost::DrawTree(tree, refhost::ViewDirection::kIso, &picture);
  if (FAILED(hr)) return Fail(kName, kExitFailure, "cannot draw the gearbox: %s", refhost::DescribeResult(hr).c_str());
  const std::string svg = (std::filesystem::path(directory) / "gearbox.svg").string();
  const std::string page = (std::filesystem::path(directory) / "gearbox.html").string();
  std::string why;
  if (!refhost::WritePicture(picture, refhost::PictureFormat::kSvg, svg, &why) ||
      !refhost::WritePicture(picture, refhost::PictureFormat::kHtml, page, &why))
    return Fail(kName, kExitFailure, "%s", why.c_str());
  std::printf("\npicture: %s\npage with the occurrence outline: %s\n", svg.c_str(), page.c_str());
  return kExitOk;
}

int RunDemo(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {"out"}, {}, &parsed, &error)) return Fail(kName, kExitUsage, "%s", error.c_str());
  if (!parsed.positional.empty()) return Fail(kName, kExitUsage, "takes no arguments");
  refhost::Install();
  TemporaryDirectory directory;
  if (directory.Path().empty()) return Fail(kName, kExitFailure, "cannot create a temporary directory");

  refhost::SampleSummary summary;
  HRESULT hr = refhost::WriteGearboxSample(host::FromUtf8(directory.Path()).c_str(), &summary);
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot write the gearbox into %s: %s", directory.Path().c_str(),
                refhost::DescribeResult(hr).c_str());
  std::printf("wrote the gearbox: %s (%s, %s, %s), %s\n", Plural(summary.documents, "document", "documents").c_str(),
              Plural(summary.assemblies, "assembly", "assemblies").c_str(),
              Plural(summary.parts, "part", "parts").c_str(),
              Plural(summary.weldments, "weldment", "weldments").c_str(),
              Plural(summary.placements, "placement", "placements").c_str());

  LoadSession session(kName);
  LoadRequest request;
  request.file = host::ToUtf8(summary.topDocument);
  const int code = session.Load(request);
  if (code != kExitOk && code != kExitIncomplete) return code;
  std::printf("loaded %s in %.3f s%s\n", host::ToUtf8(host::PathBaseName(summary.topDocument, true)).c_str(),
              session.LoadSeconds(), code == kExitIncomplete ? " (incomplete)" : "");
  const TreeCounts& counts = session.Counts();
  PrintTreeSummary(stdout, counts, session.Range());
  const bool expected = counts.assemblySites + counts.partSites == summary.expectedSites &&
                        counts.assemblies + counts.parts == summary.expectedOccurrences;
  std::printf("\noccurrence tree (document, then the attachment ids that place it):\n");
  PrintOutline(stdout, session.Tree(), 2);
  if (std::string dump; SUCCEEDED(JDumpIDSForATP(session.Tree(), DUMPATP_UPDATE_RANGES, 6, &dump)))
    std::printf("\ntest-log dump:\n%s", dump.c_str());
  std::error_code noTemp;
  const std::string pictures =
      parsed.Has("out") ? *parsed.Find("out") : (std::filesystem::temp_directory_path(noTemp) / "quorra-demo").string();
  if (int written = WritePictures(session.Tree(), pictures); written != kExitOk) return written;
  session.PrintProblems(stderr);
  session.LeaveToExit();
  session.PrintPhases(stdout);
  if (code == kExitIncomplete) return code;
  if (!expected)
    return Fail(kName, kExitFailure, "the load built %u sites and %u occurrences, expected %llu and %llu",
                counts.assemblySites + counts.partSites, counts.assemblies + counts.parts,
                static_cast<unsigned long long>(summary.expectedSites),
                static_cast<unsigned long long>(summary.expectedOccurrences));
  return kExitOk;
}

const CommandRegistrar kRegistrar({"demo", "load the built-in gearbox and show its occurrence tree",
                                   "usage: quorra demo [--out DIR]\n\n"
                                   "Writes the built-in gearbox as real documents into a temporary directory,\n"
                                   "loads it, prints the counts, the range and an outline of the occurrence\n"
                                   "tree and the time of each phase, and removes the directory. Exits 3 when\n"
                                   "the load left documents out (they are listed).\n\n"
                                   "It also draws the gearbox (see quorra view) into gearbox.svg and\n"
                                   "gearbox.html in DIR (default: quorra-demo in the temporary directory),\n"
                                   "which are kept.\n",
                                   RunDemo});

}  // namespace
}  // namespace quorra::tool
