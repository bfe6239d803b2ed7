// Runs shell commands and the built tool for the end-to-end tests.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace quorra::test {

struct CommandResult {
  int exitCode = -1;  // -1 when the command could not run or did not exit normally
  std::string output;
};

inline CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// The tool named by $QUORRA_TOOL with `arguments` (a shell command line);
// stderr is merged into the output.
inline CommandResult RunTool(const std::string& arguments) {
  return RunCommand(std::string(std::getenv("QUORRA_TOOL")) + " " + arguments + " 2>&1");
}

}  // namespace quorra::test
