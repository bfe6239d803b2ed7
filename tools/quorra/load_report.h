// What the loading commands share: loading a document with the progress
// display and the check for documents the load left out (LoadSession), and
// what they print about the tree (counts, range, outline, missing
// references, phase times).
//
// A command that loads adopts it like `quorra load` does:
//   LoadSession session("lookup");
//   int code = session.Load(request);          // prints its own failures
//   if (code != kExitOk && code != kExitIncomplete) return code;
//   ... use session.Tree() ...
//   session.PrintProblems(stderr);              // the listing, when incomplete
//   session.Release();
//   session.PrintPhases(stdout);
//   return code;
// or, for a command that prints the tree as `quorra load` does, after
// Load or LoadIds: return ReportLoad(session, options, code);
#pragma once

#include <quorra/quorra.h>
#include <quorra/refhost/parts_list.h>
#include <quorra/refhost/progress.h>
#include <quorra/refhost/references.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "command.h"

namespace quorra::tool {

// Counts of a loaded tree.
struct TreeCounts {
  DWORD assemblySites = 0;  // weldments and a part's "ROOT" included
  DWORD partSites = 0;      // weldment members included
  DWORD attachments = 0;    // every attachment, the root's included
  DWORD assemblies = 0;     // occurrences, the root included
  DWORD parts = 0;
  // Documents the sites stand for.
  DWORD assemblyDocuments = 0;
  DWORD partDocuments = 0;
  DWORD weldmentDocuments = 0;
  DWORD weldmentMembers = 0;  // part sites made for weldment members
  DWORD placements = 0;       // attachments read from assembly documents
  DWORD partRootPlacements = 0;  // a part loaded on its own, placed in "ROOT"
  DWORD rootAttachments = 0;  // the root's own placement
  DWORD Documents() const { return assemblyDocuments + partDocuments + weldmentDocuments; }
};
TreeCounts CountTree(AsmTree* tree);

// True for a weldment member's part site ("frame.pwd\Weldment3").
bool IsWeldmentMemberSite(const SiteNode* site);
// True for the "ROOT" site a part loaded on its own sits below.
using refhost::IsPartRootSite;

// "1 part", "3 parts".
std::string Plural(unsigned long long count, const char* one, const char* many);

// Prints the counts and the root's range, one item a line.
void PrintTreeSummary(FILE* out, AsmTree* tree);
void PrintTreeSummary(FILE* out, const TreeCounts& counts, const tagGBox& range);

// An indented outline of the occurrence tree down to `depth` levels below
// the root: siblings showing the same document share one line with their ids.
void PrintOutline(FILE* out, AsmTree* tree, DWORD depth);

// Text as JSON string contents (quotes and control characters escaped).
std::string JsonEscape(const std::string& text);

// The references a load left out as a JSON array of objects with
// "placedBy", "name", "path" (null when not found), "placements", "reason".
std::string LoadProblemsJson(const std::vector<refhost::LoadProblem>& problems);
// A JSON string value, or null for "".
std::string JsonString(const std::string& text);

// Prints the references a load left out: a count line, the first `limit`
// with the document that placed them, then "and N more".
void PrintLoadProblems(FILE* out, const std::vector<refhost::LoadProblem>& problems, size_t limit = 10);

// A progress display on stderr fed by a refhost progress sink: the phase,
// and while documents are read how many distinct documents the load has
// reached of how many it will read (with a percentage once that is known)
// and the last one. Drawn only on a terminal, at most every 50 ms; Finish
// clears it.
class ProgressBar {
 public:
  ProgressBar();
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  JProgress* Sink() const { return sink_.Get(); }
  // Shows the phase ("building occurrences"), replacing the last one.
  void Phase(const char* name);
  // The number of documents the load will read (0: not known).
  void SetTotal(uint64_t documents) { total_ = documents; }
  void Finish();

 private:
  void Report(const wchar_t* text);
  void Draw(const std::string& line, bool force);

  bool enabled_;
  std::atomic<bool> drawn_{false};
  std::atomic<int64_t> lastDraw_{0};
  std::atomic<uint64_t> total_{0};
  std::atomic<uint64_t> documents_{0};
  std::wstring last_;                      // reporting thread only
  std::unordered_set<std::wstring> seen_;  // reporting thread only
  std::string phase_;
  std::mutex drawMutex_;
  host::ComPtr<refhost::ProgressSink> sink_;
};

// What a loading command asks for.
struct LoadRequest {
  std::string file;
  bool threaded = false;
  std::vector<std::string> searchPaths;  // extra folders after the loaders' own
};
// The request for `file` with the --threaded and --search-path DIR options
// of `parsed` (those a command does not accept are simply absent).
LoadRequest ReadLoadRequest(const ParsedArgs& parsed, const std::string& file);

// How a command prints a loaded tree: the summary (and an outline), or one
// JSON object.
struct ReportOptions {
  bool json = false;
  bool outline = false;
  DWORD outlineDepth = 2;
};
// Reads --json and --outline[=DEPTH] from `parsed`; false with `error` for a
// bad depth or both given.
bool ReadReportOptions(const ParsedArgs& parsed, ReportOptions* options, std::string* error);

// True when `file` is a compound file holding an "IDS" stream (as `quorra
// ids save` writes), the contents deciding, not the name.
bool IsIdsFile(const std::string& file);

// One timed phase of a load.
struct PhaseTime {
  const char* name;
  double seconds;
};

// Loads one document as a command does: checks the file, finds the
// documents it references, loads it with a progress display, tells which
// references it left out, measures the tree, and releases it. Every phase is
// timed. Failures are printed as "quorra COMMAND: ..." lines.
class LoadSession {
 public:
  explicit LoadSession(const char* command) : command_(command) {}
  ~LoadSession() { Release(); }
  LoadSession(const LoadSession&) = delete;
  LoadSession& operator=(const LoadSession&) = delete;

  // kExitOk for a complete tree, kExitIncomplete for a tree without some of
  // its documents (the tree is kept), kExitFailure when nothing could be
  // loaded (the reason and the missing references are printed, the tree is
  // released).
  int Load(const LoadRequest& request);
  // Rebuilds the tree from a file `quorra ids save` wrote, opening no
  // document: kExitOk, or kExitFailure with the reason printed.
  int LoadIds(const std::string& file);

  // Runs `work` as a phase of this session: shown by the progress display
  // while it runs, its time recorded. Returns what `work` returns.
  template <class Work>
  auto Timed(const char* phase, Work work);

  const std::string& File() const { return file_; }
  bool Threaded() const { return threaded_; }
  // True when the tree came from an IDS file, not from documents.
  bool FromIds() const { return fromIds_; }

  AsmTree* Tree() const { return tree_; }
  const std::vector<refhost::LoadProblem>& Problems() const { return problems_; }
  const TreeCounts& Counts() const { return counts_; }
  const tagGBox& Range() const { return range_; }
  double LoadSeconds() const { return loadSeconds_; }

  // Deletes the tree (timed as "releasing memory"); again does nothing.
  void Release();
  // For a command about to exit: leaves the tree to the system, which takes
  // the whole address space back at once, instead of freeing it node by node
  // (which touches every page of the tree again, swapped out or not). Builds
  // with a leak checker release it as Release does.
  void LeaveToExit();
  // True when the load ran out of memory somewhere (its failures are traced).
  bool RanOutOfMemory() const { return outOfMemory_; }

  // "quorra COMMAND: incomplete load: ..." and the listing, when there are
  // problems.
  void PrintProblems(FILE* out) const;
  const std::vector<PhaseTime>& Phases() const { return phases_; }
  // "phases: finding documents 0.002 s, ...; total 1.234 s".
  void PrintPhases(FILE* out) const;
  // The phases as a JSON array.
  std::string PhasesJson() const;

 private:
  const char* command_;
  std::string file_;
  bool threaded_ = false;
  bool fromIds_ = false;
  ProgressBar* progress_ = nullptr;
  AsmTree* tree_ = nullptr;
  std::vector<refhost::LoadProblem> problems_;
  std::vector<PhaseTime> phases_;
  TreeCounts counts_;
  tagGBox range_ = tagGBox::Null();
  double loadSeconds_ = 0;
  bool outOfMemory_ = false;
  bool leftToExit_ = false;
};

// The document a loaded tree came from, held as the host's assembly module
// holds an open document: its sites bound to their documents and the tree
// known to the document's persist manager, so that Mercury reaches the
// document's override table. Undone on destruction.
class TreeDocument {
 public:
  TreeDocument() = default;
  TreeDocument(const TreeDocument&) = delete;
  TreeDocument& operator=(const TreeDocument&) = delete;
  ~TreeDocument();

  // Opens the document of `tree`'s root; on failure prints why for
  // `command` and answers kExitFailure, else kExitOk.
  int Open(const char* command, AsmTree* tree, const std::string& file);
  IUnknown* Get() const { return document_.Get(); }

 private:
  host::ComPtr<IUnknown> document_;
};

template <class Work>
auto LoadSession::Timed(const char* phase, Work work) {
  if (progress_) progress_->Phase(phase);
  struct Record {
    LoadSession* session;
    const char* phase;
    std::chrono::steady_clock::time_point start;
    ~Record() {
      session->phases_.push_back(
          {phase, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()});
    }
  } record{this, phase, std::chrono::steady_clock::now()};
  return work();
}

// Prints what `quorra load` prints for a session whose load gave `code`
// (kExitOk or kExitIncomplete): "loaded FILE in T s", the summary and the
// outline, or the JSON object; the references left out on stderr; the phase
// times. Leaves the tree to the exit. Returns `code`.
int ReportLoad(LoadSession& session, const ReportOptions& options, int code);

}  // namespace quorra::tool
