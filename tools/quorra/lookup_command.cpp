// `quorra lookup`: finds the occurrence a roadmap of attachment ids names in
// a loaded assembly and prints what it is.
//   lookup FILE ROADMAP
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/occurrence_container.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "lookup";

constexpr const char* kUsage =
    "usage: quorra lookup FILE ROADMAP\n"
    "\n"
    "Loads the assembly FILE as `quorra load` does and finds the occurrence\n"
    "ROADMAP names: the attachment ids from the root down, separated by \"/\"\n"
    "(\"2/1\" is child 1 of the root's child 2; \"\" or \"/\" is the root). Prints\n"
    "the occurrence's document, its name, its flags, its world matrix and its\n"
    "range. A roadmap that does not bind is reported with the first id that\n"
    "did not.\n";

// Parses "2/17/3" into ids; false with a message for anything else.
bool ParseRoadmap(const std::string& text, std::vector<DWORD>* ids, std::string* error) {
  ids->clear();
  if (text.empty() || text == "/") return true;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t slash = text.find('/', start);
    const std::string part = text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    unsigned long long id = 0;
    if (!ParseUnsigned(part, &id) || id > 0xFFFFFFFFull) {
      *error = "bad roadmap \"" + text + "\": \"" + part + "\" is no attachment id";
      return false;
    }
    ids->push_back(static_cast<DWORD>(id));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

struct TreeDeleter {
  void operator()(AsmTree* tree) const { AsmTreeUnloadAndDelete(tree); }
};
using TreeHandle = std::unique_ptr<AsmTree, TreeDeleter>;

// The tree a lookup runs on: an assembly document loaded with refhost as
// the host, its sites given their documents so that occurrences have names.
// (Other sources of trees plug in here.)
HRESULT OpenTree(const std::string& file, TreeHandle* tree, std::string* error) {
  const std::string document = file.substr(0, file.find('|'));
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(document, ignored)) {
    *error = "cannot open " + document + ": no such file";
    return STG_E_FILENOTFOUND;
  }
  refhost::Install();
  AsmTree* loaded = nullptr;
  ProgressBar progress;
  HRESULT hr = AsmTreeCreateAndLoad(host::FromUtf8(file).c_str(), &loaded, progress.Sink());
  progress.Finish();
  tree->reset(loaded);
  if (SUCCEEDED(hr)) hr = refhost::BindDocuments(loaded);
  if (FAILED(hr)) *error = "cannot load " + file + ": " + refhost::DescribeLastTrace();
  return hr;
}

// The path so far ("2/17") of the first `count` ids.
std::string PathText(const std::vector<DWORD>& ids, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i) text += '/';
    text += std::to_string(ids[i]);
  }
  return text;
}

// Why the roadmap does not bind: the first id that has no occurrence.
std::string DescribeMiss(AssemblyOccurrence* root, const std::vector<DWORD>& ids) {
  const OccurrenceNode* node = root;
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::string where = i == 0 ? std::string("the root") : PathText(ids, i);
    if (!node->IsAssembly()) return "id " + std::to_string(ids[i]) + " does not bind: " + where + " is a part";
    const OccurrenceNode* child = static_cast<const AssemblyOccurrence*>(node)->GetChildByID(ids[i]);
    if (!child) return "id " + std::to_string(ids[i]) + " does not bind: no attachment with that id under " + where;
    node = child;
  }
  return "roadmap " + PathText(ids, ids.size()) + " does not bind";
}

std::string FlagNames(DWORD flags) {
  static const struct {
    DWORD bit;
    const char* name;
  } kNames[] = {{OCC_PART, "PART"},
                {OCC_ASSEMBLY, "ASSEMBLY"},
                {OCC_HIDDEN, "HIDDEN"},
                {OCC_DIRTY, "DIRTY"},
                {OCC_POSSIBLY_DIRTY, "POSSIBLY_DIRTY"},
                {OCC_XFORM_DIRTY, "XFORM_DIRTY"},
                {OCC_OPEN, "OPEN"},
                {OCC_IPA, "IPA"},
                {OCC_PARENT_IPA, "PARENT_IPA"},
                {OCC_HIDDEN_BY_PARENT, "HIDDEN_BY_PARENT"},
                {OCC_IS_ACTIVE, "IS_ACTIVE"},
                {OCC_SIMPLIFIED, "SIMPLIFIED"},
                {OCC_EXPLODE_MATRIX, "EXPLODE_MATRIX"},
                {OCC_OVERRIDDEN, "OVERRIDDEN"}};
  std::string text;
  for (const auto& n : kNames)
    if (flags & n.bit) {
      if (!text.empty()) text += ' ';
      text += n.name;
    }
  return text;
}

void PrintOccurrence(OccurrenceNode* occurrence) {
  // The range and matrix first: bringing them up to date changes the flags.
  tagGBox range;
  const bool hasRange = occurrence->GetRange(&range) == S_OK;
  const tagG4x4& world = occurrence->GetCurrentToWorld();
  SiteNode* site = occurrence->GetSite();
  std::printf("document: %s\n", site ? host::ToUtf8(site->GetFilePath(true).View()).c_str() : "(none)");
  std::printf("name: %s\n", host::ToUtf8(quorra::GetOccurrenceName(occurrence).View()).c_str());
  std::printf("kind: %s\n", occurrence->IsAssembly() ? "assembly" : "part");
  std::printf("flags: 0x%08X %s\n", occurrence->GetFlags(), FlagNames(occurrence->GetFlags()).c_str());
  std::printf("world matrix:\n");
  for (int row = 0; row < 4; ++row)
    std::printf("  %g %g %g %g\n", world.m[4 * row], world.m[4 * row + 1], world.m[4 * row + 2], world.m[4 * row + 3]);
  if (hasRange)
    std::printf("range: (%g, %g, %g) to (%g, %g, %g)\n", range.low[0], range.low[1], range.low[2], range.high[0],
                range.high[1], range.high[2]);
  else
    std::printf("range: none\n");
}

int RunLookup(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {}, {}, &parsed, &error)) return Fail(kName, kExitUsage, "%s", error.c_str());
  if (parsed.positional.size() != 2)
    return Fail(kName, kExitUsage, "expects a file and a roadmap (try quorra lookup --help)");
  std::vector<DWORD> ids;
  if (!ParseRoadmap(parsed.positional[1], &ids, &error)) return Fail(kName, kExitUsage, "%s", error.c_str());

  TreeHandle tree;
  if (FAILED(OpenTree(parsed.positional[0], &tree, &error))) return Fail(kName, kExitFailure, "%s", error.c_str());
  AssemblyOccurrence* root = tree->GetRootAssembly();
  if (!root) return Fail(kName, kExitFailure, "%s has no occurrence tree", parsed.positional[0].c_str());

  DisplayRoadmap roadmap;
  if (!ids.empty() && FAILED(roadmap.AddLinks(static_cast<DWORD>(ids.size()), ids.data())))
    return Fail(kName, kExitFailure, "out of memory");
  const OccurrenceNode* found = tree->Lookup(&roadmap);
  if (!found) return Fail(kName, kExitFailure, "%s", DescribeMiss(root, ids).c_str());
  std::printf("roadmap: %s\n", ids.empty() ? "(root)" : PathText(ids, ids.size()).c_str());
  PrintOccurrence(const_cast<OccurrenceNode*>(found));
  return kExitOk;
}

const CommandRegistrar kRegistrar({kName, "find the occurrence a roadmap of attachment ids names", kUsage, RunLookup});

}  // namespace
}  // namespace quorra::tool
