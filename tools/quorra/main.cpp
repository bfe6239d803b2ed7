// The quorra command-line tool: dispatches to the registered subcommands.
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "command.h"

namespace quorra::tool {

namespace {
std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

void PrintOverview(FILE* out) {
  std::fprintf(out,
               "usage: quorra COMMAND [ARGS...]\n"
               "       quorra COMMAND --help\n"
               "       quorra --version\n\ncommands:\n");
  std::vector<Command> sorted = Registry();
  std::sort(sorted.begin(), sorted.end(),
            [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
  for (const Command& c : sorted) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
}
}  // namespace

void RegisterCommand(const Command& command) { Registry().push_back(command); }
const std::vector<Command>& Commands() { return Registry(); }

int Fail(const char* command, int code, const char* format, ...) {
  std::fprintf(stderr, "quorra %s: ", command);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  return code;
}

}  // namespace quorra::tool

int main(int argc, char** argv) {
  using namespace quorra::tool;
  if (argc < 2) {
    PrintOverview(stderr);
    return kExitUsage;
  }
  std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    PrintOverview(stdout);
    return kExitOk;
  }
  if (name == "--version") {
    std::printf("quorra %s\n", kVersion);
    return kExitOk;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  for (const Command& c : Commands()) {
    if (name != c.name) continue;
    if (WantsHelp(args)) {
      std::fputs(c.usage, stdout);
      return kExitOk;
    }
    try {
      return c.run(args);
    } catch (const std::exception& e) {
      return Fail(c.name, kExitFailure, "%s", e.what());
    }
  }
  if (!name.empty() && name[0] == '-')
    std::fprintf(stderr, "quorra: unknown option %s (try quorra --help)\n", name.c_str());
  else
    std::fprintf(stderr, "quorra: unknown command '%s' (try quorra --help)\n", name.c_str());
  return kExitUsage;
}
