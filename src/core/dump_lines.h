// The node dump's indentation: one process-wide depth, set by the dump walk
// to the level of the node it visits (-1: none), and a writer that puts three
// spaces per level before every line it writes.
#pragma once

#include <cstdio>
#include <string>

namespace quorra {

int GetDumpDepth();
void SetDumpDepth(int depth);

// Writes `text` to `file`, each line preceded by the current indentation.
void WriteDumpLines(FILE* file, const std::string& text);

}  // namespace quorra
