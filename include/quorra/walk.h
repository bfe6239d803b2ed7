// Tree walking: one depth-first walk over the children of assembly
// occurrences, driven by a TreeWalkCallback whose slots decide per node
// whether the walk goes on, skips a subtree, stops a level or aborts.
//
// Walk codes returned by a slot:
//   negative  error: the walk ends and the code is returned by every level
//   3         prune: do not descend into this assembly (VisitNode, VisitAssembly)
//   4         stop this level: skip the remaining siblings; that level reports 1
//   5         abort: skip the rest of the walk; Walk returns 5
//   any other continue
#pragma once

#include <cstdint>
#include <cstdio>

#include "quorra/host/geometry.h"
#include "quorra/host/types.h"

class AssemblyOccurrence;
class OccurrenceNode;
class PartOccurrence;

constexpr HRESULT WALK_CONTINUE = 0;
constexpr HRESULT WALK_LEVEL_STOPPED = 1;  // what a level stopped with WALK_STOP_LEVEL reports
constexpr HRESULT WALK_PRUNE = 3;
constexpr HRESULT WALK_STOP_LEVEL = 4;
constexpr HRESULT WALK_ABORT = 5;

// One per walk, on the walker's stack, handed to every slot.
struct TreeWalkContext {
  void* value;        // the caller's value given to Walk
  uint64_t reserved;  // not set by the walker
  // 0 while the start assembly's own slots run; children of the start
  // assembly see 1, their children 2, ...
  DWORD depth;
  DWORD childCount;  // children of the assembly whose children are walked
  DWORD childIndex;  // index of the child being visited
};

// Every slot returns 0 by default; a callback overrides what it needs.
class TreeWalkCallback {
 public:
  virtual HRESULT BeginAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context);  // slot 0
  virtual HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext* context);              // slot 1
  virtual HRESULT VisitPart(PartOccurrence* part, TreeWalkContext* context);              // slot 2
  virtual HRESULT VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context);  // slot 3
  virtual HRESULT EndAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context);    // slot 4

 protected:
  ~TreeWalkCallback() = default;
};

// ---- Callbacks of the library ----

// Hide (walk value 1) or show (0) propagation below an assembly: parts get
// or lose HIDDEN_BY_PARENT; an assembly already hidden from above is pruned
// when hiding; an assembly with its own HIDDEN is pruned when showing.
class ShowHideCallback : public TreeWalkCallback {
 public:
  HRESULT VisitPart(PartOccurrence* part, TreeWalkContext* context) override;
  HRESULT VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) override;
};

// Sets (walk value 1) or clears (0) PARENT_IPA on every node reached.
class SetIPACallback : public TreeWalkCallback {
 public:
  HRESULT VisitPart(PartOccurrence* part, TreeWalkContext* context) override;
  HRESULT VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) override;
};

// Removes the override-tracking user data (67 and 69) from every node.
class RemoveTrackOverridesCallback : public TreeWalkCallback {
 public:
  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext* context) override;
};

// Removes the display-tracking user data (94) from every node that has it.
class DeleteDisplayTrackingData : public TreeWalkCallback {
 public:
  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext* context) override;
};

// Clears the animated state of every node.
class DeAnimate : public TreeWalkCallback {
 public:
  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext* context) override;
};

// Widens the tagGBox given as walk value by the range of every part and of
// every assembly after its children.
class UpdateRanges : public TreeWalkCallback {
 public:
  HRESULT VisitPart(PartOccurrence* part, TreeWalkContext* context) override;
  HRESULT EndAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) override;
};

namespace quorra {
// Counts the parts and assemblies a walk visits.
class PartAndAssemblyCounter : public TreeWalkCallback {
 public:
  HRESULT VisitPart(PartOccurrence* part, TreeWalkContext* context) override;
  HRESULT VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) override;
  DWORD GetPartCount() const { return parts_; }
  DWORD GetAssemblyCount() const { return assemblies_; }

 private:
  DWORD parts_ = 0;
  DWORD assemblies_ = 0;
};
}  // namespace quorra

// Counts parts and assemblies; with an output file it also prints each
// part's file path on a line of its own.
class TreeCounter : public quorra::PartAndAssemblyCounter {
 public:
  explicit TreeCounter(FILE* output = nullptr) : output_(output) {}
  HRESULT VisitPart(PartOccurrence* part, TreeWalkContext* context) override;

 private:
  FILE* output_;
};

// Counts parts and assemblies.
class IDSCounter : public quorra::PartAndAssemblyCounter {};

// The same two counts, for the occurrence dump.
class IDSOccurrenceCounter : public quorra::PartAndAssemblyCounter {};
