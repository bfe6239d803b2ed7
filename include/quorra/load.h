// Loading assembly, part and weldment documents into a tree.
#pragma once

#include "quorra/host/geometry.h"
#include "quorra/host/types.h"

class AsmTree;
class AssemblySite;

// The progress sink's answer that lets a load go on.
constexpr DWORD LOAD_CONTINUE = 0x40231;
// A load result meaning the child was not loaded; not a failure.
constexpr HRESULT LOAD_S_NOT_LOADED = 0x40233;

// Loads one document below `parent` (or as the root when parent is null)
// with the given placement.
HRESULT LoadFile(const wchar_t* path, AsmTree* tree, AssemblySite* parent, tagG4x4* matrix, const void* extra);
// Reads the "Attachments" stream of an assembly document into `site`.
HRESULT LoadAssembly(const wchar_t* path, AsmTree* tree, AssemblySite* site, tagG4x4* matrix);
// Adds the members of a weldment document below `site`.
HRESULT LoadWeldment(const wchar_t* path, AsmTree* tree, AssemblySite* site, tagG4x4* matrix);
