// Mercury's override application, one occurrence at a time, for the tests.
#pragma once

#include <set>

#include "quorra/host/types.h"

class OccurrenceNode;

// The documents the host's update manager holds open at the top level
// (no references taken). E_FAIL when there is no update manager.
HRESULT MyKVGetTopLevelDocsFromUpdateManager(std::set<IUnknown*>* documents);

namespace quorra {
// Mercury's apply flags (MERCURY_OVERRIDES_...) as the override table's
// apply selection word.
DWORD MapMercuryApplyFlags(DWORD flags);
// Applies the overrides of the occurrence's document to it: through the
// document's override-table holder, or, for a site without a document,
// through the table the site keeps. Always S_OK once the occurrence is
// given; an occurrence without a site, or of a true-type part site, is
// skipped.
HRESULT ApplyOverridesToOccurrence(OccurrenceNode* occurrence, DWORD flags);
// Clears the overrides of the live occurrence that `flags` selects.
HRESULT ClearOccurrenceOverrides(OccurrenceNode* occurrence, DWORD flags);
}  // namespace quorra
