// The parts list (bill of materials) of a loaded tree: every document placed
// below the top one, with its instances in the whole product and its
// quantity in each assembly that places it. A weldment is one document; its
// members are not listed. Shared by `quorra bom` and the Python module.
#pragma once

#include <string>
#include <vector>

#include "quorra/host/types.h"

class AsmTree;
class SiteNode;

namespace quorra::refhost {

struct PartsListParent {
  std::string name;  // the placing assembly's base name
  DWORD quantity = 0;
};

struct PartsListLine {
  std::string name;  // the document's base name
  std::string path;
  const char* kind = "part";             // "part", "assembly" or "weldment"
  DWORD instances = 0;                   // its occurrences in the whole tree
  std::vector<PartsListParent> parents;  // sorted by name, case ignored
};

// The lines sorted by name (case ignored), then by path.
std::vector<PartsListLine> BuildPartsList(AsmTree* tree);

// True for the "ROOT" site a part loaded on its own sits below.
bool IsPartRootSite(AsmTree* tree, const SiteNode* site);

}  // namespace quorra::refhost
