// What a load should find, and what it did not load. The library answers a
// load as a whole: a child document that is missing or fails does not fail
// its parent. A host that wants to tell its user which documents are absent
// from a tree reads the references itself (ScanReferences, before or after
// the load) and compares them with the sites the tree holds
// (FindLoadProblems).
#pragma once

#include <string>
#include <vector>

#include "quorra/host/types.h"

class AsmTree;

namespace quorra::refhost {

// The placements of one assembly document that name one document.
struct DocumentReference {
  size_t placedBy = 0;  // index into ReferenceGraph::documents
  std::wstring name;    // the document name as stored in the placement
  std::wstring path;    // where the host's path search finds it; "" when not found
  DWORD placements = 0;
};

// An assembly document that could not be read, or whose "Attachments"
// stream ends in damage (the placements before the damage are kept).
struct UnreadableDocument {
  size_t document = 0;  // index into ReferenceGraph::documents
  HRESULT result = S_OK;
  bool partlyRead = false;
};

struct ReferenceGraph {
  // Every document the load would read, the top one first, each once, named
  // as the loader names its site (the top as given, the others as the path
  // search answers).
  std::vector<std::wstring> documents;
  std::vector<DocumentReference> references;
  std::vector<UnreadableDocument> unreadable;
};

// Reads the "Attachments" streams from `top` down as the file loader does
// (the same opens, records and path search) without building anything.
// E_INVALIDARG for a null or empty path; otherwise S_OK, with unreadable
// documents recorded in the graph.
HRESULT ScanReferences(const wchar_t* top, ReferenceGraph* graph);

// A placed document that is not in the tree, or is in it without content.
struct LoadProblem {
  std::wstring placedBy;  // the document holding the placements ("" for the top)
  std::wstring name;      // the document name as stored ("" for a damaged stream)
  std::wstring path;      // where it was found ("" when not found)
  DWORD placements = 0;
  std::string reason;  // "not found", "the file is truncated", ...
};

// The references of `graph` that `tree` did not load, in the order of the
// graph. A document whose placer was itself not loaded is not listed: its
// placer is.
std::vector<LoadProblem> FindLoadProblems(AsmTree* tree, const ReferenceGraph& graph);

}  // namespace quorra::refhost
