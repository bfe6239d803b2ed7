// `quorra demo`: the main job, run by `./quorra.sh demo`.
#include <cstdio>

#include <quorra/quorra.h>
#include <quorra/refhost.h>

#include "command.h"

namespace quorra::tool {
namespace {

int RunDemo(const std::vector<std::string>& args) {
  if (!args.empty()) return Fail("demo", kExitUsage, "takes no arguments");
  quorra::refhost::Install();
  std::puts("quorra demo: host layer ready");
  return kExitOk;
}

const CommandRegistrar kRegistrar({"demo", "run the built-in demonstration",
                                   "usage: quorra demo\n\nRuns the built-in demonstration job.\n", RunDemo});

}  // namespace
}  // namespace quorra::tool
