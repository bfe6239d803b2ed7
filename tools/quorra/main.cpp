// The quorra command-line tool: dispatches to the registered subcommands.
#include <algorithm>
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
               "       quorra COMMAND --help\n\ncommands:\n");
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

bool WantsHelp(const std::vector<std::string>& args) {
  return std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "-h" || a == "--help"; });
}

const std::string* ParsedArgs::Find(const char* name) const {
  for (const auto& [key, value] : options)
    if (key == name) return &value;
  return nullptr;
}

bool ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, ParsedArgs* out, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
      out->positional.push_back(a);
      continue;
    }
    std::string name = a.substr(2);
    std::string value;
    bool inlineValue = false;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inlineValue = true;
    }
    if (std::find(valued.begin(), valued.end(), name) != valued.end()) {
      if (!inlineValue) {
        if (i + 1 >= args.size()) {
          *error = "option --" + name + " needs a value";
          return false;
        }
        value = args[++i];
      }
      out->options.emplace_back(name, value);
    } else if (std::find(flags.begin(), flags.end(), name) != flags.end() && !inlineValue) {
      out->options.emplace_back(name, "");
    } else {
      *error = "unknown option " + a;
      return false;
    }
  }
  return true;
}

bool ParseUnsigned(const std::string& text, unsigned long long* out) {
  if (text.empty() || text.size() > 19) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  *out = v;
  return true;
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
  std::fprintf(stderr, "quorra: unknown command '%s' (try quorra --help)\n", name.c_str());
  return kExitUsage;
}
