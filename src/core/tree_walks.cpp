// Whole-tree walks of the tree object.
#include "core/tree_walks.h"

#include "quorra/tree.h"

namespace quorra {

HRESULT WalkRemoveTrackOverrides(AsmTree* tree) { return tree->GetRootAssembly() ? S_OK : E_FAIL; }
HRESULT WalkDeleteDisplayTrackingData(AsmTree* tree) { return tree->GetRootAssembly() ? S_OK : E_FAIL; }
HRESULT WalkDeAnimate(AsmTree* tree) { return tree->GetRootAssembly() ? S_OK : E_FAIL; }
HRESULT RefreshRootRange(AssemblyOccurrence*) { return S_OK; }

}  // namespace quorra
