// The tool's subcommands. Each lives in its own file and registers itself
// with a static CommandRegistrar, so adding one touches no other file.
#pragma once

#include <quorra/host/types.h>

#include <string>
#include <vector>

namespace quorra::tool {

// Exit codes of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;     // the operation failed (bad file, failing call)
constexpr int kExitUsage = 2;       // the command line is wrong
constexpr int kExitIncomplete = 3;  // a load built a tree without some of its documents

// The tool's version, printed by `quorra --version` and `quorra version`.
#ifdef QUORRA_VERSION
constexpr const char* kVersion = QUORRA_VERSION;
#else
constexpr const char* kVersion = "unknown";
#endif

struct Command {
  const char* name;
  const char* summary;  // one line for the command list
  const char* usage;    // full help text, printed by `quorra NAME --help`
  int (*run)(const std::vector<std::string>& args);  // args after the command name
};

void RegisterCommand(const Command& command);
const std::vector<Command>& Commands();

struct CommandRegistrar {
  explicit CommandRegistrar(const Command& command) { RegisterCommand(command); }
};

// Prints "quorra NAME: message" on one line to stderr and returns `code`.
int Fail(const char* command, int code, const char* format, ...) __attribute__((format(printf, 3, 4)));

// True when args hold -h or --help.
bool WantsHelp(const std::vector<std::string>& args);

// Splits args into positional arguments and --name value / --flag options.
// Unknown options (also single-dash ones such as -x; a lone "-" is a
// positional argument), missing values and an option given twice are
// reported through `error`. "--" ends the options.
struct ParsedArgs {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // name without dashes, value ("" for flags)
  const std::string* Find(const char* name) const;
  bool Has(const char* name) const { return Find(name) != nullptr; }
};
// `valued` lists the options that take a value, `flags` those that do not,
// `optional` those that take a value only as --name=value. `repeatable`
// options may be given more than once.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, ParsedArgs* out, std::string* error,
               const std::vector<std::string>& optional = {}, const std::vector<std::string>& repeatable = {});

// Parses a whole non-negative number; false on anything else (including a
// number beyond 2^64 - 1).
bool ParseUnsigned(const std::string& text, unsigned long long* out);

// Parses a whole number from `low` to `high` given for --option. On failure
// `error` reads "--option: expected a whole number from LOW to HIGH, got
// 'TEXT'", the limits being the ones checked.
bool ParseNumberOption(const std::string& text, const char* option, unsigned long long low, unsigned long long high,
                       unsigned long long* out, std::string* error);

// Parses a roadmap of attachment ids from the root down, "2/17/3" ("" or
// "/" is the root), into `ids`; false with `error` naming the bad part.
bool ParseRoadmap(const std::string& text, std::vector<DWORD>* ids, std::string* error);

}  // namespace quorra::tool
