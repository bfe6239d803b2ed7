// Typed user data: every node kind carries an ordered map from a 32-bit type
// id to a pointer-sized value, created on first use. Values are released by
// process-wide cleanup functions so that whoever knows a type frees it.
#pragma once

#include <map>

#include "quorra/host/types.h"

using UserDataMap = std::map<DWORD, void*>;

// Releases the value at `value` when it knows `type` (then nulls it and
// answers S_OK); answers S_FALSE for types it does not know.
using UserDataCleanupFunction = HRESULT (*)(DWORD type, void** value);

// Type ids of user data.
enum UserDataType : DWORD {
  UD_NULL_TYPE = 0,
  UD_ASMTREE_BACK_POINTER = 1,
  UD_QUERY_SUMMARY_INFO = 2,
  UD_EXPLODE_MATRIX = 3,
  UD_STYLE = 4,
  UD_GEOMETRIC_VERSION_STAMP = 5,
  UD_CHECK_SUM = 6,
  UD_TIME_STAMP = 7,
  UD_REF_PROPERTIES = 8,
  UD_REF_EXT_PROPERTIES = 9,
  UD_DRAWING_VIEW_VERSION = 10,
  UD_PARTS_LIST_VERSION = 11,
  UD_LAST_SAVED_VERSION = 12,
  UD_TUBE_FILE = 13,
  UD_FILE_CLSID = 14,
  UD_FILE_PROPERTIES = 15,
  UD_DRAFT_INFO = 16,
  UD_OCC_OUT_OF_DATE = 17,
  UD_OCC_ROADMAP = 18,
  UD_AP_ASSEMBLY = 19,
  UD_STYLE_LIBRARY = 20,
  UD_OCC_QUANTITY = 21,
  UD_OCC_DBL_QUANTITY = 22,
  UD_FOP_ROADMAP = 23,
  UD_FOP_VERSION = 24,
  UD_FOP_DATA_FROM_MASTER = 25,
  UD_OCC_NAME = 26,
  UD_eXT_PART = 27,
  UD_FILE_CREATED = 28,
  UD_STYLE_ID = 29,
  UD_WIRE_FILE = 30,
  UD_IN_MEMORY = 31,
  UD_eXT_DOC = 32,
  UD_MASTER_FILE_PROPERTIES = 33,
  UD_ATTACHSTREAM_VERSION = 34,
  UD_eXT_INSTANCE = 35,
  UD_IOT_ROUTE = 36,
  UD_IOT_CONFIG_INFO = 37,
  UD_BASEDATA_BACK_POINTER = 38,
  UD_OVERRIDE_MATRIX = 39,
  UD_OVERRIDE_SOLVE_STATUS = 40,
  UD_OVERRIDE_BODY = 41,
  UD_OVERRIDE_VARIABLES = 42,
  UD_GANDS_PARTSUPDATA = 43,
  UD_DRAFT_SHADING_DATA = 44,
  UD_IOT = 45,
  UD_ADAPTABLE = 46,
  UD_KVDATA = 47,
  UD_KVLITEPARTDATA = 48,
  UD_PREVIOUS_OVERRIDE_BODY = 49,
  UD_ATTACHMENT_SITE_ID = 50,
  UD_ADAPTABLE_SYNC = 51,
  UD_MATRIX_SYNC = 52,
  UD_GRAPHIC_SUPPORT = 53,
  UD_PIPEROUTE_OID = 54,
  UD_FRAMEFEATURE_OID = 55,
  UD_eXT_OCCURRENCE = 56,
  UD_ALT_STYLE = 57,
  UD_VIRTUAL_COMPONENT = 58,
  UD_OVERRIDE_BODY_SYNC = 59,
  UD_TRANSPARENT_DISPLAY = 60,
  UD_ASMORDERINFO = 61,
  UD_HARDWARE_FILE = 62,
  UD_VARIABLE_SYNC = 63,
  UD_KVLITEASMPARTDATA = 64,
  UD_STYLE_SYNC = 65,
  UD_SIMPLIFIED_ASM_VERSION = 66,
  UD_BODY_OVERRIDE_SOURCE = 67,
  UD_XFORM_OVERRIDE_SOURCE = 68,
  UD_HAVE_OVERRIDDEN_CHILD = 69,
  UD_OVERRIDE_BODY_MATRIX = 70,
  UD_DRAFT_SNAPSHOT_DISPLAY_ROADMAP = 71,
  UD_DRAFT_MODEL_CHANGE_FLAG = 72,
  UD_ADJUSTABLE_PART = 73,
  UD_ADJUSTABLE_PART_SYNC = 74,
  UD_ADJUSTABLE_PART_BASEBODY = 75,
  UD_DRAFT_MODEL_FILE_DATA = 76,
  UD_ISVRC_COMPONENT = 77,
  UD_IS_ASSEMBLY_WELDMENT = 78,
  UD_eXT_PART_URI = 79,
  UD_USER_COLOR = 80,
  UD_STRUCTURE_CACHE_RANGE = 81,
  UD_DISPLAY_SETTING_MAP = 83,
  UD_ITEM_NUMBER = 84,
  UD_TRACK_DISPLAY_CALLS = 93,
  UD_TRACK_DISPLAY = 94,
  UD_OVERRIDE_Constraints = 98,
  UD_OVERRIDE_EXTENSIONS = 100,
  UD_OCC_PROPERTIES_OVERRIDE = 101,
  UD_SITE_CUSTOMOCCPROPS_FILEDEFN = 102,
  UD_SITE_CUSTOMOCCPROPS_OVERRIDE = 103,
  UD_CUSTOMOCCPROP_OVERRIDE = 104,
  UD_SITE_CUSTOMOCCPROPS_DEFAULT = 107,
  UD_REF_EXT2_PROPERTIES = 116,
};

// Free functions over a holder's map.
HRESULT AddUserData(UserDataMap** map, DWORD type, void* value);
HRESULT GetUserData(const UserDataMap* map, DWORD type, void** value);
void* GetUserData(const UserDataMap* map, DWORD type, int* found);
HRESULT RemoveUserData(UserDataMap* map, DWORD type);
HRESULT ChangeUserDataType(UserDataMap* map, DWORD from, DWORD to);

extern "C" {
HRESULT AddUserDataCleanupFunction(UserDataCleanupFunction function);
HRESULT RemoveUserDataCleanupFunction(UserDataCleanupFunction function);
}

namespace quorra {

// Runs the registered cleanup functions for (type, value): the first failure
// stops the run and is returned, else the last function's result.
HRESULT ExecuteUserDataCleanupFunctions(DWORD type, void** value);

// Runs the cleanup functions for every entry in ascending type order, then
// frees the map and nulls the holder's pointer.
void DeleteUserDataMap(UserDataMap** map);

// Which of the library's two cleanup functions releases a library type.
enum class UserDataReleaser { kOverrideTable, kNode };
// Teaches one of the library's cleanup functions how to release values of
// `type`. Each area that stores a library value type registers it once.
void RegisterLibraryUserDataRelease(UserDataReleaser releaser, DWORD type, void (*release)(void* value));

// The library's two cleanup functions, registered when the library loads
// (override-table one first) and removed when it unloads.
HRESULT OverrideTableUserDataCleanup(DWORD type, void** value);
HRESULT NodeUserDataCleanup(DWORD type, void** value);

// The 128-byte matrix blocks stored as explode, override and body matrices.
void* AllocUserDataMatrixBlock();

// A holder's user data: the map pointer with the member operations every
// holder offers. Holders embed one and forward to it.
class UserDataHolder {
 public:
  UserDataHolder() = default;
  UserDataHolder(const UserDataHolder&) = delete;
  UserDataHolder& operator=(const UserDataHolder&) = delete;
  ~UserDataHolder() { DeleteUserDataMap(&map_); }

  HRESULT Add(DWORD type, void* value) { return ::AddUserData(&map_, type, value); }
  void* Get(DWORD type, int* found) const { return ::GetUserData(map_, type, found); }
  HRESULT Remove(DWORD type) { return ::RemoveUserData(map_, type); }
  UserDataMap* Map() const { return map_; }
  // Releases everything now (for holders whose teardown order matters).
  void Release() { DeleteUserDataMap(&map_); }

 private:
  UserDataMap* map_ = nullptr;
};

}  // namespace quorra
