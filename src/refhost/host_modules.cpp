// Export tables of refhost's host modules. Each entry is a function with the
// signature the library's late-bound call expects.
#include "refhost/host_modules.h"

namespace quorra::refhost {

std::vector<host::ModuleExport> ModuleExports(const std::wstring&) { return {}; }

}  // namespace quorra::refhost
