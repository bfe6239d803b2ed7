// Whole-tree walks the tree object runs when some of its modes change. On a
// tree without a root occurrence they do nothing and answer E_FAIL.
#pragma once

#include "quorra/host/types.h"

class AsmTree;
class AssemblyOccurrence;

namespace quorra {
// Drops the override-tracking data of every occurrence (walk flags 0).
HRESULT WalkRemoveTrackOverrides(AsmTree* tree);
// Drops the display-tracking data of every occurrence (walk flags 1).
HRESULT WalkDeleteDisplayTrackingData(AsmTree* tree);
// Clears the animated state of every occurrence (walk flags 1).
HRESULT WalkDeAnimate(AsmTree* tree);
// Refreshes the root's range after the whole tree changed.
HRESULT RefreshRootRange(AssemblyOccurrence* root);
}  // namespace quorra
