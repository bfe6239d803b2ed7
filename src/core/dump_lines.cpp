#include "core/dump_lines.h"

namespace quorra {
namespace {
int dumpDepth = -1;
}  // namespace

int GetDumpDepth() { return dumpDepth; }
void SetDumpDepth(int depth) { dumpDepth = depth; }

void WriteDumpLines(FILE* file, const std::string& text) {
  if (!file) return;
  std::string indent;
  for (int level = 0; level < dumpDepth; ++level) indent += "   ";
  if (indent.empty()) {
    std::fputs(text.c_str(), file);
    return;
  }
  std::string out;
  out.reserve(text.size() + indent.size() * 8);
  bool lineStart = true;
  for (char c : text) {
    if (lineStart) out += indent;
    out += c;
    lineStart = c == '\n';
  }
  std::fputs(out.c_str(), file);
}

}  // namespace quorra
