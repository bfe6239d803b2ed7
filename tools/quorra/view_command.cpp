// `quorra view`: a picture of an assembly as the display would show it.
//   view FILE -o OUT [--camera top|front|iso] [--search-path DIR]...
// Loads FILE, applies its override table to the tree (so hidden occurrences
// and override colours show), populates a scene and writes it as an SVG
// picture or an HTML page with the occurrence outline.
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/describe.h>
#include <quorra/refhost/picture.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "view";

constexpr const char* kUsage =
    "usage: quorra view FILE -o OUT [--camera top|front|iso] [--search-path DIR]...\n"
    "\n"
    "Loads the assembly FILE as `quorra load` does, applies FILE's override\n"
    "table (hidden occurrences, colours, placements) and draws every displayed\n"
    "part as the outline of its geometry in its colour; hidden occurrences are\n"
    "left out.\n"
    "\n"
    "  -o, --output OUT    the file to write: OUT ending in .svg is the picture,\n"
    "                      OUT ending in .html a page with the picture beside the\n"
    "                      occurrence outline (pointing at an entry highlights\n"
    "                      its parts); the page needs nothing else to open\n"
    "  --camera VIEW       top (default: looking down), front, or iso\n"
    "  --search-path DIR   look for child documents in DIR too; may be given\n"
    "                      more than once\n"
    "\n"
    "exit codes: 0 done, 1 failed, 2 wrong command line, 3 drawn without some\n"
    "documents the assembly references\n";

// What the override table changes for display.
constexpr DWORD kApplyForDisplay =
    MERCURY_OVERRIDES_STYLE | MERCURY_OVERRIDES_DISPLAY | MERCURY_OVERRIDES_MATRIX | MERCURY_OVERRIDES_BODY;

// Applies the document's override table to the tree loaded from it, as the
// host's assembly module does when it opens the document. Failures are
// printed; returns kExitOk or kExitFailure.
int ApplyOverrides(LoadSession& session) {
  HRESULT hr = S_OK;
  {
    TreeDocument document;
    if (int opened = document.Open(kName, session.Tree(), session.File()); opened != kExitOk) return opened;
    DisplayRoadmap root;
    Mercury mercury;
    hr = mercury.SetContext(document.Get(), &root);
    if (SUCCEEDED(hr))
      hr = mercury.ApplyOverrides(document.Get(),
                                  MERCURY_OVERRIDES_DOCUMENT_TREE | MERCURY_OVERRIDES_WALK | kApplyForDisplay);
  }
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot apply the override table of %s: %s", session.File().c_str(),
                refhost::DescribeResult(hr).c_str());
  return kExitOk;
}

int RunView(const std::vector<std::string>& args) {
  // -o is the one short option the tool knows: the usual spelling for an
  // output file.
  std::vector<std::string> spelled = args;
  for (std::string& a : spelled) {
    if (a == "--") break;
    if (a == "-o") a = "--output";
  }
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(spelled, {"output", "camera", "search-path"}, {}, &parsed, &error, {}, {"search-path"}))
    return Fail(kName, kExitUsage, "%s", error.c_str());
  if (parsed.positional.size() != 1) return Fail(kName, kExitUsage, "expects FILE -o OUT (try quorra view --help)");
  const std::string* output = parsed.Find("output");
  if (!output || output->empty()) return Fail(kName, kExitUsage, "no output file: give -o OUT (.svg or .html)");
  refhost::PictureFormat format;
  if (!refhost::PictureFormatOf(*output, &format))
    return Fail(kName, kExitUsage, "cannot tell what to write from '%s': OUT must end in .svg or .html",
                output->c_str());
  refhost::ViewDirection direction = refhost::ViewDirection::kTop;
  if (const std::string* camera = parsed.Find("camera"); camera && !refhost::ParseViewDirection(*camera, &direction))
    return Fail(kName, kExitUsage, "unknown camera '%s': expected top, front or iso", camera->c_str());

  refhost::Install();
  LoadSession session(kName);
  const int code = session.Load(ReadLoadRequest(parsed, parsed.positional[0]));
  if (code != kExitOk && code != kExitIncomplete) return code;
  if (int applied = ApplyOverrides(session); applied != kExitOk) return applied;

  refhost::Picture picture;
  const HRESULT hr = refhost::DrawTree(session.Tree(), direction, &picture);
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot draw %s: %s", session.File().c_str(), refhost::DescribeResult(hr).c_str());
  // Named after the file: a part loaded on its own sits below a "ROOT" site.
  picture.title = std::filesystem::path(session.File()).filename().string();
  if (!refhost::WritePicture(picture, format, *output, &error)) return Fail(kName, kExitFailure, "%s", error.c_str());
  std::printf("wrote %s: %s of %s\n", output->c_str(), Plural(picture.shapes.size(), "body", "bodies").c_str(),
              picture.title.c_str());
  session.PrintProblems(stderr);
  session.LeaveToExit();
  return code;
}

const CommandRegistrar kRegistrar({kName, "draw an assembly with its overrides as an SVG picture or HTML page", kUsage,
                                   RunView});

}  // namespace
}  // namespace quorra::tool
