// What `quorra load` and `quorra demo` print about a loaded tree, and the
// progress bar they draw while loading.
#pragma once

#include <quorra/quorra.h>
#include <quorra/refhost/progress.h>

#include <atomic>
#include <chrono>
#include <cstdio>

namespace quorra::tool {

// Counts of a loaded tree.
struct TreeCounts {
  DWORD assemblySites = 0;
  DWORD partSites = 0;
  DWORD attachments = 0;
  DWORD assemblies = 0;  // occurrences, the root included
  DWORD parts = 0;
};
TreeCounts CountTree(AsmTree* tree);

// Prints the counts and the root's range, one item a line.
void PrintTreeSummary(FILE* out, AsmTree* tree);

// An indented outline of the occurrence tree down to `depth` levels below
// the root: siblings showing the same document share one line with their ids.
void PrintOutline(FILE* out, AsmTree* tree, DWORD depth);

// A progress bar on stderr fed by a refhost progress sink: how many files the
// load has reported and the last one. Drawn only on a terminal, at most every
// 50 ms; Finish clears it.
class ProgressBar {
 public:
  ProgressBar();
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  JProgress* Sink() const { return sink_.Get(); }
  void Finish();

 private:
  void Draw(const wchar_t* text, uint64_t reports);

  bool enabled_;
  std::atomic<bool> drawn_{false};
  std::atomic<int64_t> lastDraw_{0};
  host::ComPtr<refhost::ProgressSink> sink_;
};

}  // namespace quorra::tool
