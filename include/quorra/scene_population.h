// Scene population: the exported entry points around AsmTree::PopulateScene
// and the display parameters population derives from a graphic context.
#pragma once

#include <string>

#include "quorra/host/scene.h"
#include "quorra/host/types.h"

class AsmTree;
class JGraphicContext;

extern "C" {
// Populates `scene` from `tree`; a null scene is the tree's own scene,
// purged and populated once by GetScene(3) and then populated again.
HRESULT PopulateSceneFromIDS(GScene* scene, AsmTree* tree);
// Replaces the scene-graph status text and answers the status flag read
// from run-time preference 6 (mask 0x1FFFF).
DWORD SetDebugSceneGraphStatus(const wchar_t* text);
// The status text while the flag is set and the text is not empty, else
// null; valid until the next call of either function.
const wchar_t* GetDebugSceneGraphStatus();
}

namespace quorra {

// The dimming and in-place activation values of one population.
struct SceneDisplayParameters {
  DWORD dimPercentage = 15;
  DWORD ipaColor = 0xFFFFFFFEu;  // none
  bool ipaStyleEnabled = false;
  bool ipaStyleOnPartSites = false;
  DWORD ipaStyleWord = 0;
};

// The values for a tree and its graphic context (null: the defaults).
SceneDisplayParameters GetSceneDisplayParameters(const AsmTree* tree, const JGraphicContext* context);

// The process-wide scene a population with a null scene fills.
GScene* DefaultScene();

// The display-tracking text of the last population.
std::wstring GetDisplayTrackingText();

}  // namespace quorra
