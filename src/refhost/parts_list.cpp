// The parts list of a loaded tree, from its sites and their attachments.
#include "quorra/refhost/parts_list.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <utility>

#include "quorra/attachment.h"
#include "quorra/host/text.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace quorra::refhost {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool EndsWithNoCase(std::wstring_view text, std::wstring_view suffix) {
  if (text.size() < suffix.size()) return false;
  return host::LowerCase(text.substr(text.size() - suffix.size())) == suffix;
}

const char* KindOf(const SiteNode* site) {
  if (!site->IsAssembly()) return "part";
  return EndsWithNoCase(site->GetFilePath().View(), L".pwd") ? "weldment" : "assembly";
}

}  // namespace

bool IsPartRootSite(AsmTree* tree, const SiteNode* site) {
  AssemblyOccurrence* root = tree->GetRootAssembly();
  if (!root || root->GetSite() != site) return false;
  return IsPartFileName(site->GetFilePath().GetText()) == FALSE &&
         IsAssemblyFileName(site->GetFilePath().GetText()) == FALSE &&
         !EndsWithNoCase(site->GetFilePath().View(), L".pwd");
}

std::vector<PartsListLine> BuildPartsList(AsmTree* tree) {
  AssemblyOccurrence* root = tree->GetRootAssembly();
  const SiteNode* rootSite = root ? root->GetSite() : nullptr;
  std::map<const SiteNode*, PartsListLine> lines;
  auto lineOf = [&](SiteNode* site) -> PartsListLine& {
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
      PartsListLine& line = lineOf(child);
      // A part loaded on its own has no parent document.
      if (!isPartRoot) line.parents.push_back({host::ToUtf8(parentSite->GetBaseName().View()), quantity});
    }
  }
  std::vector<PartsListLine> sorted;
  sorted.reserve(lines.size());
  for (auto& [site, line] : lines) {
    std::sort(line.parents.begin(), line.parents.end(),
              [](const PartsListParent& a, const PartsListParent& b) { return Lower(a.name) < Lower(b.name); });
    sorted.push_back(std::move(line));
  }
  std::sort(sorted.begin(), sorted.end(), [](const PartsListLine& a, const PartsListLine& b) {
    const std::string la = Lower(a.name), lb = Lower(b.name);
    return la != lb ? la < lb : a.path < b.path;
  });
  return sorted;
}

}  // namespace quorra::refhost
