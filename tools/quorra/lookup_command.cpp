// `quorra lookup`: finds the occurrence a roadmap of attachment ids names in
// a loaded assembly, or in a tree rebuilt from an IDS file, and prints what
// it is.
//   lookup FILE ROADMAP [--search-path DIR]...
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/occurrence_container.h>

#include <quorra/refhost/describe.h>

#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "lookup";

constexpr const char* kUsage =
    "usage: quorra lookup FILE ROADMAP [--search-path DIR]...\n"
    "\n"
    "Loads the assembly FILE as `quorra load` does, or rebuilds the tree from\n"
    "FILE when it is a file `quorra ids save` wrote (told by its contents), and\n"
    "finds the occurrence ROADMAP names: the attachment ids from the root down,\n"
    "separated by \"/\" (\"2/1\" is child 1 of the root's child 2; \"\" or \"/\" is\n"
    "the root). Prints the occurrence's document, its flags, its world matrix,\n"
    "its range and, for a tree loaded from documents, its name and the names\n"
    "of the path to it (\"sub.asm:1/bolt.par:2\"), then the time of each phase.\n"
    "A roadmap that does not bind is reported with the first id that did not.\n"
    "\n"
    "  --search-path DIR   look for child documents in DIR too, after the\n"
    "                      assembly's folder and the current folder; may be\n"
    "                      given more than once\n"
    "\n"
    "exit codes: 0 found, 1 failed or not found, 2 wrong command line, 3 found\n"
    "in a tree loaded without some of its documents (they are listed)\n";

// Loads the tree a lookup runs on into `session`: from an IDS file, or from
// documents with refhost as the host, the sites then given their documents
// so that occurrences have names. Returns the session's exit code.
int OpenTree(const ParsedArgs& parsed, LoadSession* session) {
  const std::string& file = parsed.positional[0];
  if (IsIdsFile(file)) return session->LoadIds(file);
  const int code = session->Load(ReadLoadRequest(parsed, file));
  if (code != kExitOk && code != kExitIncomplete) return code;
  const HRESULT hr = session->Timed("naming occurrences", [&] { return refhost::BindDocuments(session->Tree()); });
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot name the occurrences of %s: %s", file.c_str(),
                refhost::DescribeResult(hr).c_str());
  return code;
}

// The member names from the root to the occurrence, as the root document
// tells them ("sub.asm:1/bolt.par:2"); "" when it cannot.
std::string NamePath(AsmTree* tree, DisplayRoadmap* roadmap) {
  SiteNode* site = tree->GetRootAssembly()->GetSite();
  host::ComPtr<IUnknown> document;
  if (!site || FAILED(site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document.Put()))) || !document)
    return {};
  return JDisplayRoadmapToOccNameString(document.Get(), roadmap);
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

// `names` false for a tree without documents, whose occurrences have no names.
void PrintOccurrence(OccurrenceNode* occurrence, bool names) {
  // The range and matrix first: bringing them up to date changes the flags.
  tagGBox range;
  const bool hasRange = occurrence->GetRange(&range) == S_OK;
  const tagG4x4& world = occurrence->GetCurrentToWorld();
  SiteNode* site = occurrence->GetSite();
  std::printf("document: %s\n", site ? host::ToUtf8(site->GetFilePath(true).View()).c_str() : "(none)");
  if (names) std::printf("name: %s\n", host::ToUtf8(quorra::GetOccurrenceName(occurrence).View()).c_str());
  std::printf("kind: %s\n", occurrence->IsAssembly() ? "assembly" : "part");
  // Without the "unadded" bit: it only tells whether the parent has merged
  // this range yet, which depends on how the tree was built (a tree rebuilt
  // from an IDS file has not), not on the occurrence.
  const DWORD flags = occurrence->GetFlags() & ~OCC_UNADDED;
  std::printf("flags: 0x%08X %s\n", flags, FlagNames(flags).c_str());
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
  if (!ParseArgs(args, {"search-path"}, {}, &parsed, &error, {}, {"search-path"}))
    return Fail(kName, kExitUsage, "%s", error.c_str());
  if (parsed.positional.size() != 2)
    return Fail(kName, kExitUsage, "expects a file and a roadmap (try quorra lookup --help)");
  std::vector<DWORD> ids;
  if (!ParseRoadmap(parsed.positional[1], &ids, &error)) return Fail(kName, kExitUsage, "%s", error.c_str());
  DisplayRoadmap roadmap;
  if (!ids.empty() && FAILED(roadmap.AddLinks(static_cast<DWORD>(ids.size()), ids.data())))
    return Fail(kName, kExitFailure, "%s", refhost::DescribeResult(E_OUTOFMEMORY).c_str());

  LoadSession session(kName);
  const int code = OpenTree(parsed, &session);
  if (code != kExitOk && code != kExitIncomplete) return code;
  AsmTree* tree = session.Tree();
  AssemblyOccurrence* root = tree->GetRootAssembly();
  if (!root) return Fail(kName, kExitFailure, "%s has no occurrence tree", session.File().c_str());
  const OccurrenceNode* found = session.Timed("looking up", [&] { return tree->Lookup(&roadmap); });
  if (!found) {
    Fail(kName, kExitFailure, "%s", DescribeMiss(root, ids).c_str());
    session.PrintProblems(stderr);  // the miss may be a document left out
    session.LeaveToExit();
    return kExitFailure;
  }
  std::printf("roadmap: %s\n", ids.empty() ? "(root)" : PathText(ids, ids.size()).c_str());
  const bool names = !session.FromIds();
  if (names && !ids.empty()) std::printf("name path: %s\n", NamePath(tree, &roadmap).c_str());
  PrintOccurrence(const_cast<OccurrenceNode*>(found), names);
  session.PrintProblems(stderr);
  session.LeaveToExit();
  session.PrintPhases(stdout);
  return code;
}

const CommandRegistrar kRegistrar({kName, "find the occurrence a roadmap of attachment ids names", kUsage, RunLookup});

}  // namespace
}  // namespace quorra::tool
