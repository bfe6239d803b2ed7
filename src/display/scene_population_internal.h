// What the tree itself tells scene population.
#pragma once

class AsmTree;

namespace quorra {

// Empties the process-wide default scene when its items name occurrences
// of `tree`, which is going away; any other tree leaves it alone.
void ForgetDefaultSceneTree(const AsmTree* tree);

}  // namespace quorra
