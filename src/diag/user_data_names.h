// Names of the user-data types, as the dumps print them.
#pragma once

#include <map>
#include <string>

#include "quorra/host/types.h"

namespace quorra {

// The type's UD_ name, or null for a type without one.
const char* UserDataTypeName(DWORD type);

// The names of the types present in `map` (numbers for unnamed ones), each
// followed by a space.
std::string UserDataTypeNames(const std::map<DWORD, void*>* map);

}  // namespace quorra
