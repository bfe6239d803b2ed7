// The node dump's indentation: one process-wide depth, set by the dump walk
// to the level of the node it visits (-1: none), and a writer that puts three
// spaces per level before every line it writes.
#pragma once

#include <cstdio>
#include <string>

#include "quorra/host/text.h"
#include "quorra/node_list.h"

namespace quorra {

int GetDumpDepth();
void SetDumpDepth(int depth);

// Writes `text` to `file`, each line preceded by the current indentation.
void WriteDumpLines(FILE* file, const std::string& text);

// The lines of a node list: its address and count, then one line per node
// (numbered from 0) with the node's address only, so that a dump stays
// linear in the size of the tree.
template <class T>
std::string NodeListLines(const NodeList<T>& list) {
  std::string text = host::FormatNarrow("NodeList %#.8p. %d nodes.\n", &list, list.GetCount());
  for (DWORD i = 0; i < list.GetCount(); ++i) text += host::FormatNarrow("Node %d: %#.8p.\n", i, list.GetAt(i));
  return text;
}

}  // namespace quorra
