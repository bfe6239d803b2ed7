// Internals of the override body data lookup that tests reach.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/types.h"

class DisplayRoadmap;
class JOverrideBodyData;

namespace quorra {
// Reads the two document-caching switches again (they are otherwise read on
// the first GetAsmDoc of the process).
void ReloadOverrideDocumentCachingSwitches();
// The body data stored in `document`'s override table for `roadmap`.
HRESULT GetOverrideBodyDataHelper(IUnknown* document, const DisplayRoadmap* roadmap, JOverrideBodyData** out);
}  // namespace quorra
