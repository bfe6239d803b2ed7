// `quorra version`: prints the tool's version.
#include <cstdio>

#include "command.h"

namespace quorra::tool {
namespace {

int RunVersion(const std::vector<std::string>& args) {
  if (!args.empty()) return Fail("version", kExitUsage, "takes no arguments");
  std::printf("quorra %s\n", kVersion);
  return kExitOk;
}

const CommandRegistrar kRegistrar({"version", "print the version", "usage: quorra version\n", RunVersion});

}  // namespace
}  // namespace quorra::tool
