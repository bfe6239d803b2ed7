// The process-wide sets of trees: live, locked, and those whose deletion is
// deferred until they are unlocked. Not guarded: used from the host thread.
#pragma once

#include <set>

class AsmTree;

namespace quorra {
// Every live tree (constructed and not yet destroyed or leaked).
std::set<AsmTree*>& LiveTrees();
std::set<AsmTree*>& LockedTrees();
std::set<AsmTree*>& DeferredTreeDeletions();
}  // namespace quorra
