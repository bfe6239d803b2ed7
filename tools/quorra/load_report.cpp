// Counts, outline and progress bar of a loaded tree, for `load` and `demo`.
#include "load_report.h"

#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace quorra::tool {
namespace {

// Collects the occurrences down to a depth, each with its parent.
class OutlineCollector : public TreeWalkCallback {
 public:
  explicit OutlineCollector(DWORD depth) : depth_(depth) {}

  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext* context) override {
    if (context->depth > 0 && context->depth <= depth_) children_[node->GetParent()].push_back(node);
    return WALK_CONTINUE;
  }
  HRESULT VisitAssembly(AssemblyOccurrence*, TreeWalkContext* context) override {
    return context->depth >= depth_ ? WALK_PRUNE : WALK_CONTINUE;
  }

  void Print(FILE* out, OccurrenceNode* node, int indent) const {
    auto found = children_.find(node);
    if (found == children_.end()) return;
    // Siblings of one document, in the order the first of them comes.
    std::vector<std::pair<SiteNode*, std::vector<OccurrenceNode*>>> groups;
    for (OccurrenceNode* child : found->second) {
      auto group = groups.begin();
      while (group != groups.end() && group->first != child->GetSite()) ++group;
      if (group == groups.end()) group = groups.insert(groups.end(), {child->GetSite(), {}});
      group->second.push_back(child);
    }
    for (const auto& [site, nodes] : groups) {
      std::string ids;
      for (OccurrenceNode* n : nodes) ids += (ids.empty() ? "#" : " #") + std::to_string(n->GetAttachmentID());
      const std::string name = site ? host::ToUtf8(site->GetBaseName().View()) : "?";
      std::fprintf(out, "%*s%s%s  %s\n", indent, "", name.c_str(),
                   nodes.size() > 1 ? (" x" + std::to_string(nodes.size())).c_str() : "", ids.c_str());
      if (nodes.front()->IsAssembly()) Print(out, nodes.front(), indent + 2);
    }
  }

 private:
  DWORD depth_;
  std::map<OccurrenceNode*, std::vector<OccurrenceNode*>> children_;
};

int64_t NowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TreeCounts CountTree(AsmTree* tree) {
  TreeCounts counts;
  counts.assemblySites = tree->GetAssemblySiteManager()->GetCount();
  counts.partSites = tree->GetPartSiteManager()->GetCount();
  counts.attachments = tree->GetAttachmentManager()->GetCount();
  if (tree->GetRootAssembly()) {
    IDSCounter counter;
    tree->Walk(&counter, nullptr, 1);
    tree->EndWalk();
    counts.assemblies = counter.GetAssemblyCount();
    counts.parts = counter.GetPartCount();
  }
  return counts;
}

void PrintTreeSummary(FILE* out, AsmTree* tree) {
  const TreeCounts c = CountTree(tree);
  std::fprintf(out, "sites: %u (%u assemblies, %u parts)\n", c.assemblySites + c.partSites, c.assemblySites,
               c.partSites);
  std::fprintf(out, "attachments: %u\n", c.attachments);
  std::fprintf(out, "occurrences: %u (%u assemblies, %u parts)\n", c.assemblies + c.parts, c.assemblies, c.parts);
  tagGBox range;
  AsmTreeGetRange(tree, &range);
  if (range.IsNull() || range.IsEmpty())
    std::fprintf(out, "range: none\n");
  else
    std::fprintf(out, "range: (%g, %g, %g) to (%g, %g, %g)\n", range.low[0], range.low[1], range.low[2], range.high[0],
                 range.high[1], range.high[2]);
}

void PrintOutline(FILE* out, AsmTree* tree, DWORD depth) {
  AssemblyOccurrence* root = tree->GetRootAssembly();
  if (!root) return;
  OutlineCollector collector(depth);
  tree->Walk(&collector, nullptr, 1);
  tree->EndWalk();
  SiteNode* site = root->GetSite();
  std::fprintf(out, "%s\n", site ? host::ToUtf8(site->GetBaseName().View()).c_str() : "?");
  collector.Print(out, root, 2);
}

ProgressBar::ProgressBar() : enabled_(::isatty(STDERR_FILENO) == 1) {
  sink_ = refhost::ProgressSink::Create([this](const wchar_t* text, uint64_t reports) { Draw(text, reports); });
}

void ProgressBar::Draw(const wchar_t* text, uint64_t reports) {
  if (!enabled_) return;
  const int64_t now = NowMilliseconds();
  int64_t last = lastDraw_.load(std::memory_order_relaxed);
  if (now - last < 50 || !lastDraw_.compare_exchange_strong(last, now)) return;
  // No total is known in advance: a block runs along the bar as files come.
  constexpr int kWidth = 24, kBlock = 5;
  char bar[kWidth + 1];
  const int at = static_cast<int>(reports % (kWidth - kBlock + 1));
  for (int i = 0; i < kWidth; ++i) bar[i] = i >= at && i < at + kBlock ? '#' : '.';
  bar[kWidth] = 0;
  std::string name = host::ToUtf8(host::PathBaseName(text, true));
  if (name.size() > 40) name = name.substr(0, 37) + "...";
  std::fprintf(stderr, "\r[%s] %llu files  %-40s", bar, static_cast<unsigned long long>(reports), name.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressBar::Finish() {
  if (drawn_.exchange(false)) {
    std::fprintf(stderr, "\r%*s\r", 80, "");
    std::fflush(stderr);
  }
}

}  // namespace quorra::tool
