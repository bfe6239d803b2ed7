// Loading with progress and the check for left-out documents, and what the
// loading commands print about a tree.
#include "load_report.h"

#include <quorra/refhost.h>
#include <quorra/refhost/describe.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "command.h"

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

bool EndsWithNoCase(const std::wstring& text, const wchar_t* suffix) {
  const std::wstring lower = host::LowerCase(text);
  const std::wstring_view end(suffix);
  return lower.size() >= end.size() && lower.compare(lower.size() - end.size(), end.size(), end) == 0;
}

DWORD AttachmentCount(const SiteNode* site) {
  DWORD count = 0;
  AttachmentNode* const* list = nullptr;
  static_cast<const AssemblySite*>(site)->GetAttachments(&count, &list);
  return count;
}

std::string Utf8(const std::wstring& text) { return host::ToUtf8(text); }

std::string BaseName(const std::wstring& path) { return host::ToUtf8(host::PathBaseName(path, true)); }

}  // namespace

std::string Plural(unsigned long long count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool IsWeldmentMemberSite(const SiteNode* site) {
  if (site->IsAssembly()) return false;
  const std::wstring lower = host::LowerCase(site->GetFilePath().View());
  return lower.find(L".pwd\\weldment") != std::wstring::npos;
}

TreeCounts CountTree(AsmTree* tree) {
  TreeCounts counts;
  counts.assemblySites = tree->GetAssemblySiteManager()->GetCount();
  counts.partSites = tree->GetPartSiteManager()->GetCount();
  counts.attachments = tree->GetAttachmentManager()->GetCount();
  for (SiteNode* site : tree->GetAssemblySiteManager()->Nodes()) {
    if (!site) continue;
    const DWORD attached = AttachmentCount(site);
    if (EndsWithNoCase(std::wstring(site->GetFilePath().View()), L".pwd")) {
      ++counts.weldmentDocuments;
      counts.weldmentMembers += attached;
    } else if (IsPartRootSite(tree, site)) {
      counts.partRootPlacements += attached;
    } else {
      ++counts.assemblyDocuments;
      counts.placements += attached;
    }
  }
  for (SiteNode* site : tree->GetPartSiteManager()->Nodes())
    if (site && !IsWeldmentMemberSite(site)) ++counts.partDocuments;
  const DWORD counted = counts.placements + counts.weldmentMembers + counts.partRootPlacements;
  counts.rootAttachments = counts.attachments > counted ? counts.attachments - counted : 0;
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
  tagGBox range;
  AsmTreeGetRange(tree, &range);
  PrintTreeSummary(out, CountTree(tree), range);
}

void PrintTreeSummary(FILE* out, const TreeCounts& c, const tagGBox& range) {
  std::string documents =
      Plural(c.assemblyDocuments, "assembly", "assemblies") + ", " + Plural(c.partDocuments, "part", "parts");
  if (c.weldmentDocuments) documents += ", " + Plural(c.weldmentDocuments, "weldment", "weldments");
  std::fprintf(out, "documents: %u (%s)\n", c.Documents(), documents.c_str());
  std::string sites = Plural(c.assemblySites + c.partSites, "site", "sites") + ": one per document";
  if (c.weldmentMembers) sites += ", and one per weldment member";
  if (c.rootAttachments && c.assemblySites > c.assemblyDocuments + c.weldmentDocuments)
    sites += ", and the \"ROOT\" assembly a part is loaded into";
  std::fprintf(out, "%s\n", sites.c_str());
  std::vector<std::string> kinds;
  if (c.placements || (!c.weldmentMembers && !c.partRootPlacements))
    kinds.push_back(Plural(c.placements, "placement", "placements") + " read from assemblies");
  if (c.partRootPlacements) kinds.push_back("the part placed in \"ROOT\"");
  if (c.weldmentMembers) kinds.push_back(Plural(c.weldmentMembers, "weldment member", "weldment members"));
  if (c.rootAttachments) kinds.push_back("the root's own");
  std::string attachments = Plural(c.attachments, "attachment", "attachments") + ": ";
  for (size_t i = 0; i < kinds.size(); ++i)
    attachments += (i == 0 ? "" : i + 1 == kinds.size() ? ", and " : ", ") + kinds[i];
  std::fprintf(out, "%s\n", attachments.c_str());
  std::fprintf(out, "%s (%s, %s): one per path from the root, the root included\n",
               Plural(c.assemblies + c.parts, "occurrence", "occurrences").c_str(),
               Plural(c.assemblies, "assembly", "assemblies").c_str(), Plural(c.parts, "part", "parts").c_str());
  if (range.IsNull() || range.IsEmpty())
    std::fprintf(out, "range: none\n");
  else
    std::fprintf(out, "range: (%g, %g, %g) to (%g, %g, %g) mm\n", range.low[0], range.low[1], range.low[2],
                 range.high[0], range.high[1], range.high[2]);
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

std::string JsonEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string JsonString(const std::string& text) {
  if (text.empty()) return "null";
  std::string quoted(1, '"');
  quoted += JsonEscape(text);
  quoted += '"';
  return quoted;
}

std::string LoadProblemsJson(const std::vector<refhost::LoadProblem>& problems) {
  std::string out = "[";
  for (size_t i = 0; i < problems.size(); ++i) {
    const refhost::LoadProblem& p = problems[i];
    out += i ? ",\n    " : "\n    ";
    out += "{\"placedBy\": " + JsonString(Utf8(p.placedBy)) + ", \"name\": " + JsonString(Utf8(p.name)) +
           ", \"path\": " + JsonString(Utf8(p.path)) + ", \"placements\": " + std::to_string(p.placements) +
           ", \"reason\": " + JsonString(p.reason) + "}";
  }
  out += problems.empty() ? "]" : "\n  ]";
  return out;
}

void PrintLoadProblems(FILE* out, const std::vector<refhost::LoadProblem>& problems, size_t limit) {
  const size_t shown = std::min(limit, problems.size());
  for (size_t i = 0; i < shown; ++i) {
    const refhost::LoadProblem& p = problems[i];
    if (p.name.empty()) {
      std::fprintf(out, "  %s: %s\n", BaseName(p.placedBy).c_str(), p.reason.c_str());
      continue;
    }
    std::string where;
    if (p.placedBy.empty())
      where = "the document loaded";
    else
      where = "placed " + (p.placements == 1 ? std::string("once") : std::to_string(p.placements) + " times") + " by " +
              BaseName(p.placedBy);
    std::fprintf(out, "  %s: %s (%s)\n", Utf8(p.name).c_str(), p.reason.c_str(), where.c_str());
  }
  if (problems.size() > shown) std::fprintf(out, "  and %zu more\n", problems.size() - shown);
}

// ---- ProgressBar ----

ProgressBar::ProgressBar() : enabled_(::isatty(STDERR_FILENO) == 1) {
  sink_ = refhost::ProgressSink::Create([this](const wchar_t* text, uint64_t) { Report(text); });
}

void ProgressBar::Phase(const char* name) {
  {
    std::lock_guard<std::mutex> lock(drawMutex_);
    phase_ = name;
  }
  Draw(std::string(name) + "...", true);
}

void ProgressBar::Report(const wchar_t* text) {
  // Every placement of a document is reported; the display counts each
  // document once. A run of one document's placements costs one comparison.
  if (last_ != text) {
    last_ = text;
    if (seen_.insert(host::LowerCase(last_)).second) ++documents_;
  }
  if (!enabled_) return;
  const int64_t now = NowMilliseconds();
  int64_t before = lastDraw_.load(std::memory_order_relaxed);
  if (now - before < 50 || !lastDraw_.compare_exchange_strong(before, now)) return;
  const uint64_t done = documents_.load(), total = total_.load();
  constexpr int kWidth = 20;
  char bar[kWidth + 1];
  char count[64];
  if (total > 0) {
    const uint64_t shown = std::min(done, total);
    const int filled = static_cast<int>(shown * kWidth / total);
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
    std::snprintf(count, sizeof count, "%llu of %llu (%llu%%)", static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total), static_cast<unsigned long long>(shown * 100 / total));
  } else {
    // No total: a block runs along the bar as documents come.
    constexpr int kBlock = 5;
    const int at = static_cast<int>(done % (kWidth - kBlock + 1));
    for (int i = 0; i < kWidth; ++i) bar[i] = i >= at && i < at + kBlock ? '#' : '.';
    std::snprintf(count, sizeof count, "%s", Plural(done, "document", "documents").c_str());
  }
  bar[kWidth] = 0;
  std::string name = BaseName(last_);
  if (name.size() > 22) name = name.substr(0, 19) + "...";
  std::string phase;
  {
    std::lock_guard<std::mutex> lock(drawMutex_);
    phase = phase_;
  }
  Draw(phase + " [" + bar + "] " + count + " " + name, false);
}

void ProgressBar::Draw(const std::string& line, bool force) {
  if (!enabled_) return;
  if (force) lastDraw_ = NowMilliseconds();
  std::lock_guard<std::mutex> lock(drawMutex_);
  std::fprintf(stderr, "\r%-79.79s", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressBar::Finish() {
  if (drawn_.exchange(false)) {
    std::fprintf(stderr, "\r%*s\r", 79, "");
    std::fflush(stderr);
  }
}

// ---- LoadSession ----

LoadRequest ReadLoadRequest(const ParsedArgs& parsed, const std::string& file) {
  LoadRequest request;
  request.file = file;
  request.threaded = parsed.Has("threaded");
  for (const auto& [name, value] : parsed.options)
    if (name == "search-path") request.searchPaths.push_back(value);
  return request;
}

bool ReadReportOptions(const ParsedArgs& parsed, ReportOptions* options, std::string* error) {
  options->json = parsed.Has("json");
  const std::string* outline = parsed.Find("outline");
  options->outline = outline != nullptr;
  unsigned long long depth = options->outlineDepth;
  if (outline && !outline->empty() && !ParseNumberOption(*outline, "outline", 0, UINT32_MAX, &depth, error))
    return false;
  options->outlineDepth = static_cast<DWORD>(depth);
  if (options->json && options->outline) {
    *error = "--json and --outline cannot be given together";
    return false;
  }
  return true;
}

namespace {

// Opens a file `quorra ids save` wrote: S_OK, S_FALSE (and no storage) when
// the compound file holds no "IDS" stream, or the failure to open it.
HRESULT OpenIdsFile(const std::string& file, IStorage** out) {
  const std::wstring path = host::FromUtf8(file);
  host::ComPtr<IStorage> storage;
  HRESULT hr = StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put());
  if (FAILED(hr)) return hr;
  host::ComPtr<IStream> ids;
  if (FAILED(storage->OpenStream(kIDSStreamName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, ids.Put())))
    return S_FALSE;
  *out = storage.Detach();
  return S_OK;
}

}  // namespace

bool IsIdsFile(const std::string& file) {
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(file, ignored) || StgIsStorageFile(host::FromUtf8(file).c_str()) != S_OK)
    return false;
  host::ComPtr<IStorage> storage;
  return OpenIdsFile(file, storage.Put()) == S_OK;
}

int LoadSession::LoadIds(const std::string& file) {
  file_ = file;
  threaded_ = false;
  fromIds_ = true;
  const std::string problem = refhost::DescribeFileProblem(file, false);
  if (!problem.empty()) return Fail(command_, kExitFailure, "cannot load %s: %s", file.c_str(), problem.c_str());
  refhost::Install();
  host::ComPtr<IStorage> storage;
  HRESULT hr = OpenIdsFile(file, storage.Put());
  if (hr == S_FALSE)
    return Fail(command_, kExitFailure, "cannot load %s: it holds no \"IDS\" stream (quorra ids save writes one)",
                file.c_str());
  if (FAILED(hr))
    return Fail(command_, kExitFailure, "cannot load %s: %s", file.c_str(), refhost::DescribeResult(hr).c_str());

  ProgressBar progress;
  progress_ = &progress;
  SiteFileToUniversalIdentifierMap map;
  hr = Timed("reading the site list", [&] { return map.Load(storage.Get()); });
  if (SUCCEEDED(hr)) hr = CreateAsmTree(&tree_, nullptr);
  if (SUCCEEDED(hr)) hr = Timed("rebuilding the tree", [&] { return tree_->LoadIDS(storage.Get(), map); });
  loadSeconds_ = 0;
  for (const PhaseTime& phase : phases_) loadSeconds_ += phase.seconds;
  if (FAILED(hr)) {
    progress.Finish();
    progress_ = nullptr;
    Release();
    return Fail(command_, kExitFailure, "cannot load the IDS of %s: %s", file.c_str(),
                refhost::DescribeResult(hr).c_str());
  }
  Timed("measuring the tree", [&] {
    counts_ = CountTree(tree_);
    return AsmTreeGetRange(tree_, &range_);
  });
  progress.Finish();
  progress_ = nullptr;
  return kExitOk;
}

int LoadSession::Load(const LoadRequest& request) {
  const std::string& file = request.file;
  file_ = file;
  threaded_ = request.threaded;
  fromIds_ = false;
  const std::string problem = refhost::DescribeFileProblem(file);
  if (!problem.empty()) return Fail(command_, kExitFailure, "cannot load %s: %s", file.c_str(), problem.c_str());

  refhost::Options options;
  options.searchPaths = request.searchPaths;
  refhost::Install(options);
  const std::wstring path = host::FromUtf8(file);

  ProgressBar progress;
  progress_ = &progress;
  const uint64_t outOfMemoryBefore = refhost::OutOfMemoryTraces();
  refhost::ReferenceGraph graph;
  Timed("finding documents", [&] { return refhost::ScanReferences(path.c_str(), &graph); });
  progress.SetTotal(graph.documents.size());

  HRESULT hr = Timed("reading documents", [&] {
    if (!request.threaded) return AsmTreeCreateAndLoad(path.c_str(), &tree_, progress.Sink());
    ThreadedLoadContext* context = nullptr;
    HRESULT result = AsmTreeThreadedCreateAndLoad(path.c_str(), &tree_, &context, progress.Sink());
    if (SUCCEEDED(result)) FreeThreadedLoadContext(context);  // waits for the worker
    return result;
  });
  loadSeconds_ = phases_.back().seconds;
  outOfMemory_ = refhost::OutOfMemoryTraces() != outOfMemoryBefore;

  if (tree_) problems_ = Timed("checking references", [&] { return refhost::FindLoadProblems(tree_, graph); });
  // A threaded load reports no result of its own: a root without children
  // means nothing was loaded.
  if (SUCCEEDED(hr) && request.threaded) {
    AssemblyOccurrence* root = tree_ ? tree_->GetRootAssembly() : nullptr;
    if (!root || root->GetChildCount() == 0) hr = E_FAIL;
  }
  if (FAILED(hr)) {
    progress.Finish();
    progress_ = nullptr;
    Release();
    // The top document's own problem explains the failure best.
    std::string reason = refhost::DescribeResult(hr);
    if (!problems_.empty() && problems_.front().placedBy.empty()) {
      reason = problems_.front().reason;
      problems_.erase(problems_.begin());
    }
    if (problems_.empty() && hr == E_FAIL) reason = "nothing in it could be loaded";
    if (outOfMemory_) reason += " (the load ran out of memory)";
    Fail(command_, kExitFailure, "cannot load %s: %s", file.c_str(), reason.c_str());
    if (!problems_.empty()) {
      std::fprintf(stderr, "%s could not be loaded:\n", Plural(problems_.size(), "reference", "references").c_str());
      PrintLoadProblems(stderr, problems_);
    }
    return kExitFailure;
  }

  Timed("measuring the tree", [&] {
    counts_ = CountTree(tree_);
    return AsmTreeGetRange(tree_, &range_);
  });
  progress.Finish();
  progress_ = nullptr;
  return problems_.empty() ? kExitOk : kExitIncomplete;
}

void LoadSession::Release() {
  if (!tree_) return;
  AsmTree* tree = tree_;
  tree_ = nullptr;
  ProgressBar progress;
  progress_ = &progress;
  Timed("releasing memory", [&] { return AsmTreeUnloadAndDelete(tree); });
  progress.Finish();
  progress_ = nullptr;
}

void LoadSession::LeaveToExit() {
#if defined(__SANITIZE_ADDRESS__)
  Release();
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  Release();
#endif
#endif
  if (!tree_) return;
  tree_ = nullptr;
  leftToExit_ = true;
}

void LoadSession::PrintProblems(FILE* out) const {
  if (problems_.empty()) return;
  std::fprintf(out, "quorra %s: incomplete load: %s%s could not be loaded\n", command_,
               outOfMemory_ ? "the load ran out of memory; " : "",
               Plural(problems_.size(), "reference", "references").c_str());
  PrintLoadProblems(out, problems_);
}

void LoadSession::PrintPhases(FILE* out) const {
  double total = 0;
  std::string line = "phases:";
  for (size_t i = 0; i < phases_.size(); ++i) {
    char text[96];
    std::snprintf(text, sizeof text, "%s %s %.3f s", i ? "," : "", phases_[i].name, phases_[i].seconds);
    line += text;
    total += phases_[i].seconds;
  }
  std::fprintf(out, "%s; total %.3f s%s\n", line.c_str(), total,
               leftToExit_ ? " (the tree's memory is left to the system at exit)" : "");
}

std::string LoadSession::PhasesJson() const {
  std::string out = "[";
  for (size_t i = 0; i < phases_.size(); ++i) {
    char text[128];
    std::snprintf(text, sizeof text, "%s{\"name\": \"%s\", \"seconds\": %.6f}", i ? ", " : "", phases_[i].name,
                  phases_[i].seconds);
    out += text;
  }
  return out + "]";
}

// ---- what `quorra load` prints ----

namespace {

std::string JsonNumber(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

void PrintJson(const LoadSession& session) {
  const TreeCounts& c = session.Counts();
  std::printf("{\n  \"file\": \"%s\",\n  \"source\": \"%s\",\n  \"threaded\": %s,\n  \"complete\": %s,\n",
              JsonEscape(session.File()).c_str(), session.FromIds() ? "ids" : "documents",
              session.Threaded() ? "true" : "false", session.Problems().empty() ? "true" : "false");
  std::printf("  \"documents\": {\"total\": %u, \"assemblies\": %u, \"parts\": %u, \"weldments\": %u},\n",
              c.Documents(), c.assemblyDocuments, c.partDocuments, c.weldmentDocuments);
  std::printf("  \"sites\": {\"total\": %u, \"assemblies\": %u, \"parts\": %u, \"weldmentMembers\": %u},\n",
              c.assemblySites + c.partSites, c.assemblySites, c.partSites, c.weldmentMembers);
  std::printf(
      "  \"attachments\": {\"total\": %u, \"placements\": %u, \"partInRoot\": %u, \"weldmentMembers\": %u, "
      "\"root\": %u},\n",
      c.attachments, c.placements, c.partRootPlacements, c.weldmentMembers, c.rootAttachments);
  std::printf("  \"occurrences\": {\"total\": %u, \"assemblies\": %u, \"parts\": %u},\n", c.assemblies + c.parts,
              c.assemblies, c.parts);
  const tagGBox& r = session.Range();
  if (r.IsNull() || r.IsEmpty())
    std::printf("  \"range\": null,\n");
  else
    std::printf("  \"range\": {\"units\": \"mm\", \"low\": [%s, %s, %s], \"high\": [%s, %s, %s]},\n",
                JsonNumber(r.low[0]).c_str(), JsonNumber(r.low[1]).c_str(), JsonNumber(r.low[2]).c_str(),
                JsonNumber(r.high[0]).c_str(), JsonNumber(r.high[1]).c_str(), JsonNumber(r.high[2]).c_str());
  std::printf("  \"missingReferences\": %s,\n", LoadProblemsJson(session.Problems()).c_str());
  std::printf("  \"phases\": %s\n}\n", session.PhasesJson().c_str());
}

}  // namespace

int ReportLoad(LoadSession& session, const ReportOptions& options, int code) {
  if (!options.json) {
    const char* how = session.FromIds() ? " from its IDS, opening no document"
                      : session.Threaded() ? " on a worker thread"
                                           : "";
    std::printf("loaded %s in %.3f s%s%s\n", session.File().c_str(), session.LoadSeconds(), how,
                code == kExitIncomplete ? " (incomplete)" : "");
    PrintTreeSummary(stdout, session.Counts(), session.Range());
    if (options.outline) {
      std::printf("\noccurrence tree (document, then the attachment ids that place it):\n");
      PrintOutline(stdout, session.Tree(), options.outlineDepth);
    }
  }
  session.PrintProblems(stderr);
  session.LeaveToExit();
  if (options.json)
    PrintJson(session);
  else
    session.PrintPhases(stdout);
  return code;
}

TreeDocument::~TreeDocument() {
  if (!document_) return;
  refhost::SetDocumentTree(document_.Get(), nullptr);
  refhost::ReleasePersistManager(document_.Get());
}

int TreeDocument::Open(const char* command, AsmTree* tree, const std::string& file) {
  HRESULT hr = refhost::BindDocuments(tree);
  SiteNode* site = tree->GetRootAssembly() ? tree->GetRootAssembly()->GetSite() : nullptr;
  if (SUCCEEDED(hr)) hr = site ? site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document_.Put())) : E_POINTER;
  if (SUCCEEDED(hr)) hr = refhost::SetDocumentTree(document_.Get(), tree);
  if (FAILED(hr))
    return Fail(command, kExitFailure, "cannot open %s as a document: %s", file.c_str(),
                refhost::DescribeResult(hr).c_str());
  return kExitOk;
}

}  // namespace quorra::tool
