// Applying an override table to live occurrences: the selection word, the
// per-kind steps, configuration mode, moving an override and configuration
// entries. Placeholders until the apply steps are written.
#include "quorra/override_tree.h"

#include "quorra/host/types.h"

HRESULT JIDSOverrideTree::Apply(IJStyleLibrary*, AssemblyOccurrence*, DWORD) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::Apply(IJStyleLibrary*, AssemblyOccurrence*, JAsmOverride*, DWORD) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyConfig(IJStyleLibrary*, AssemblyOccurrence*, JAsmOverride*, DWORD) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::MapConfigOverrides(OccurrenceNode*, JIDSOverride*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyDisplaySettings(OccurrenceNode*, JIDSOverride*, DWORD) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyStyle(IJStyleLibrary*, OccurrenceNode*, JIDSOverride*, BOOL) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyMatrix(OccurrenceNode*, JIDSOverride*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyStatus(OccurrenceNode*, JIDSOverride*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyBody(OccurrenceNode*, JIDSOverride*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyVariables(OccurrenceNode*, JIDSOverride*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyAdaptable(OccurrenceNode*, JIDSOverride*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyAdjustablePart(OccurrenceNode*, JIDSOverride*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyColorOverride(OccurrenceNode*, JIDSOverride*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::ApplyConstraints(OccurrenceNode*, JIDSOverride*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::Transfer(DWORD, DWORD, const DWORD*, DWORD, const DWORD*) { return E_NOTIMPL; }
HRESULT JIDSOverrideTree::AddConfigEntry(JMemberRoadmap*, DWORD, JIDSOverride**) { return E_NOTIMPL; }
