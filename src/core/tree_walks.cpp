// Whole-tree walks of the tree object.
#include "core/tree_walks.h"

#include "quorra/occurrence.h"
#include "quorra/tree.h"
#include "quorra/walk.h"

namespace quorra {

HRESULT WalkRemoveTrackOverrides(AsmTree* tree) {
  RemoveTrackOverridesCallback callback;
  return tree->Walk(&callback, nullptr, 0);
}

HRESULT WalkDeleteDisplayTrackingData(AsmTree* tree) {
  DeleteDisplayTrackingData callback;
  return tree->Walk(&callback, nullptr, 1);
}

HRESULT WalkDeAnimate(AsmTree* tree) {
  DeAnimate callback;
  return tree->Walk(&callback, nullptr, 1);
}

HRESULT RefreshRootRange(AssemblyOccurrence* root) { return root->RefreshRange(REFRESH_RANGE_FULL); }

}  // namespace quorra
