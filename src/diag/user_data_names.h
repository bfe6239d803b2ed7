// Names of the user-data types and the user-data lines of the test-log
// dumps.
#pragma once

#include <map>
#include <string>

#include "quorra/host/types.h"

namespace quorra {

// The type's UD_ name, or null for a type without one.
const char* UserDataTypeName(DWORD type);

// The names of the bits set in a reference-property word of `type`
// (UD_REF_PROPERTIES, UD_REF_EXT_PROPERTIES or UD_REF_EXT2_PROPERTIES), each
// followed by a blank; bits without a name are left out.
std::string ReferencePropertyNames(DWORD type, DWORD word);

// One line per entry of `map` in type order, each preceded by `indent`: the
// type's name ("Unknown User Data Type: N" for a type without one), and for
// the reference-property words their bit names, for the name texts the
// text. Type 113 is left out. Nothing else of a value is printed, so the
// lines hold no addresses.
std::string UserDataLines(const std::map<DWORD, void*>* map, const std::string& indent);

}  // namespace quorra
