// `quorra bom`: the parts list of an assembly, from a loaded tree.
//   bom FILE [--json] [--threaded] [--search-path DIR]...
#include <quorra/quorra.h>

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

struct Parent {
  std::string name;
  DWORD quantity = 0;
};

struct Line {
  std::string name;  // the document's base name
  std::string path;
  const char* kind;
  DWORD instances = 0;
  std::vector<Parent> parents;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const char* KindOf(const SiteNode* site) {
  if (!site->IsAssembly()) return "part";
  const std::wstring lower = host::LowerCase(site->GetFilePath().View());
  return lower.size() > 4 && lower.compare(lower.size() - 4, 4, L".pwd") == 0 ? "weldment" : "assembly";
}

std::vector<Line> BuildPartsList(AsmTree* tree) {
  AssemblyOccurrence* root = tree->GetRootAssembly();
  const SiteNode* rootSite = root ? root->GetSite() : nullptr;
  std::map<const SiteNode*, Line> lines;
  auto lineOf = [&](SiteNode* site) -> Line& {
    auto [at, added] = lines.try_emplace(site);
    if (added) {
      at->second.name = host::ToUtf8(site->GetBaseName().View());
      at->second.path = host::ToUtf8(site->GetFilePath().View());
      at->second.kind = KindOf(site);
      at->second.instances = site->GetOccurrencesList()->GetCount();
    }
    return at->second;
  };
  for (SiteNode* parentSite : tree->GetAssemblySiteManager()->Nodes()) {
    if (!parentSite || std::string(KindOf(parentSite)) == "weldment") continue;
    DWORD count = 0;
    AttachmentNode* const* attachments = nullptr;
    static_cast<AssemblySite*>(parentSite)->GetAttachments(&count, &attachments);
    // Quantities in this parent, in the order the children first come.
    std::vector<std::pair<SiteNode*, DWORD>> quantities;
    for (DWORD i = 0; i < count; ++i) {
      SiteNode* child = attachments[i] ? attachments[i]->GetAttachmentSite() : nullptr;
      if (!child || child == rootSite) continue;
      auto at = std::find_if(quantities.begin(), quantities.end(), [&](const auto& q) { return q.first == child; });
      if (at == quantities.end())
        quantities.emplace_back(child, 1);
      else
        ++at->second;
    }
    const bool isPartRoot = IsPartRootSite(tree, parentSite);
    for (const auto& [child, quantity] : quantities) {
      Line& line = lineOf(child);
      // A part loaded on its own has no parent document.
      if (!isPartRoot) line.parents.push_back({host::ToUtf8(parentSite->GetBaseName().View()), quantity});
    }
  }
  std::vector<Line> sorted;
  sorted.reserve(lines.size());
  for (auto& [site, line] : lines) {
    std::sort(line.parents.begin(), line.parents.end(),
              [](const Parent& a, const Parent& b) { return Lower(a.name) < Lower(b.name); });
    sorted.push_back(std::move(line));
  }
  std::sort(sorted.begin(), sorted.end(), [](const Line& a, const Line& b) {
    const std::string la = Lower(a.name), lb = Lower(b.name);
    return la != lb ? la < lb : a.path < b.path;
  });
  return sorted;
}

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
