// The library module's state that tests inspect.
#pragma once

#include "quorra/host/types.h"

namespace quorra {

// The module lock count, raised by LockServer(TRUE) and lowered by
// LockServer(FALSE) on any of the library's class factories.
DWORD GetModuleLockCount();

}  // namespace quorra
