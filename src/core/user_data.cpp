// User-data maps, the process-wide cleanup-function list and the library's
// own cleanup functions.
#include "quorra/user_data.h"

#include <array>
#include <cstdlib>
#include <new>

#include "host/fault_injection.h"
#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/quorra";

// The cleanup list: a singly linked list of links in registration order.
// Plain globals so that registration from library constructors never meets
// an unconstructed object.
struct CleanupLink {
  UserDataCleanupFunction function;
  CleanupLink* next;
};
CleanupLink* gCleanupHead = nullptr;

// Library value types are below this id; higher ids belong to the host.
constexpr DWORD kLibraryTypeLimit = 256;
using ReleaseFn = void (*)(void*);
struct ReleaseTables {
  std::array<ReleaseFn, kLibraryTypeLimit> overrideTable{};
  std::array<ReleaseFn, kLibraryTypeLimit> node{};
};
ReleaseTables& Tables() {
  static ReleaseTables tables;
  return tables;
}

HRESULT RunReleaseTable(const std::array<ReleaseFn, kLibraryTypeLimit>& table, DWORD type, void** value) {
  if (!value) return E_INVALIDARG;
  if (type >= kLibraryTypeLimit || !table[type]) return S_FALSE;
  if (*value) {
    table[type](*value);
    *value = nullptr;
  }
  return S_OK;
}

void FreeBlock(void* value) { std::free(value); }
void ReleaseInterface(void* value) { static_cast<IUnknown*>(value)->Release(); }

// Release rules for value types that need nothing beyond the host layer.
struct BuiltinReleases {
  BuiltinReleases() {
    using quorra::RegisterLibraryUserDataRelease;
    using quorra::UserDataReleaser;
    for (DWORD type : {UD_EXPLODE_MATRIX, UD_OVERRIDE_MATRIX, UD_OVERRIDE_BODY_MATRIX})
      RegisterLibraryUserDataRelease(UserDataReleaser::kNode, type, FreeBlock);
    for (DWORD type : {DWORD(UD_STRUCTURE_CACHE_RANGE), DWORD(90), DWORD(111), DWORD(112)})
      RegisterLibraryUserDataRelease(UserDataReleaser::kNode, type, FreeBlock);
    for (DWORD type : {DWORD(UD_VIRTUAL_COMPONENT), DWORD(126)})
      RegisterLibraryUserDataRelease(UserDataReleaser::kNode, type, ReleaseInterface);
  }
} gBuiltinReleases;

}  // namespace

HRESULT AddUserData(UserDataMap** map, DWORD type, void* value) {
  if (!map) return E_INVALIDARG;
  if (!*map) {
    *map = quorra::AllocationFails() ? nullptr : new (std::nothrow) UserDataMap();
    if (!*map) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AddUserData");
  }
  try {
    if (!(*map)->emplace(type, value).second)
      return QUORRA_TRACE_FAIL_MSG(E_FAIL, L"AddUserData no longer supports multiple entries of the same type",
                                   "AddUserData");
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AddUserData");
  }
  return S_OK;
}

HRESULT GetUserData(const UserDataMap* map, DWORD type, void** value) {
  if (!value) return E_INVALIDARG;
  *value = nullptr;
  if (!map) return S_FALSE;
  auto it = map->find(type);
  if (it == map->end()) return S_FALSE;
  *value = it->second;
  return S_OK;
}

void* GetUserData(const UserDataMap* map, DWORD type, int* found) {
  if (map) {
    auto it = map->find(type);
    if (it != map->end()) {
      if (found) *found = 1;
      return it->second;
    }
  }
  if (found) *found = 0;
  return nullptr;
}

HRESULT RemoveUserData(UserDataMap* map, DWORD type) {
  if (!map) return S_FALSE;
  auto it = map->find(type);
  if (it == map->end()) return S_FALSE;
  quorra::ExecuteUserDataCleanupFunctions(type, &it->second);
  map->erase(it);
  return S_OK;
}

HRESULT ChangeUserDataType(UserDataMap* map, DWORD from, DWORD to) {
  if (!map) return E_INVALIDARG;
  if (map->count(to)) return QUORRA_TRACE_FAIL(E_FAIL, "ChangeUserDataType");
  auto node = map->extract(from);
  if (node.empty()) return S_FALSE;
  node.key() = to;
  map->insert(std::move(node));
  return S_OK;
}

extern "C" HRESULT AddUserDataCleanupFunction(UserDataCleanupFunction function) {
  auto* link = new (std::nothrow) CleanupLink{function, nullptr};
  if (!link) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AddUserDataCleanupFunction");
  CleanupLink** tail = &gCleanupHead;
  while (*tail) tail = &(*tail)->next;
  *tail = link;
  return S_OK;
}

extern "C" HRESULT RemoveUserDataCleanupFunction(UserDataCleanupFunction function) {
  for (CleanupLink** link = &gCleanupHead; *link; link = &(*link)->next) {
    if ((*link)->function == function) {
      CleanupLink* gone = *link;
      *link = gone->next;
      delete gone;
      return S_OK;
    }
  }
  return S_FALSE;
}

namespace quorra {

HRESULT ExecuteUserDataCleanupFunctions(DWORD type, void** value) {
  HRESULT result = S_OK;
  for (CleanupLink* link = gCleanupHead; link; link = link->next) {
    result = link->function(type, value);
    if (FAILED(result)) return QUORRA_TRACE_FAIL(result, "ExecuteUserDataCleanupFunctions");
  }
  return result;
}

void DeleteUserDataMap(UserDataMap** map) {
  if (!map || !*map) return;
  // The cleanup functions run while the holder still has its map (one may
  // read or remove the other entries); only then is the map freed and
  // forgotten. The walk goes by type, so it survives such changes.
  UserDataMap* m = *map;
  for (auto it = m->begin(); it != m->end();) {
    const DWORD type = it->first;
    ExecuteUserDataCleanupFunctions(type, &it->second);
    it = m->upper_bound(type);
  }
  *map = nullptr;
  delete m;
}

void RegisterLibraryUserDataRelease(UserDataReleaser releaser, DWORD type, void (*release)(void* value)) {
  if (type >= kLibraryTypeLimit) return;
  ReleaseTables& t = Tables();
  (releaser == UserDataReleaser::kOverrideTable ? t.overrideTable : t.node)[type] = release;
}

HRESULT OverrideTableUserDataCleanup(DWORD type, void** value) {
  return RunReleaseTable(Tables().overrideTable, type, value);
}

HRESULT NodeUserDataCleanup(DWORD type, void** value) { return RunReleaseTable(Tables().node, type, value); }

void* AllocUserDataMatrixBlock() { return AllocationFails() ? nullptr : std::malloc(128); }

}  // namespace quorra

// Registered when the shared library loads, removed when it unloads.
__attribute__((constructor)) static void RegisterLibraryCleanupFunctions() {
  AddUserDataCleanupFunction(quorra::OverrideTableUserDataCleanup);
  AddUserDataCleanupFunction(quorra::NodeUserDataCleanup);
}

__attribute__((destructor)) static void RemoveLibraryCleanupFunctions() {
  RemoveUserDataCleanupFunction(quorra::OverrideTableUserDataCleanup);
  RemoveUserDataCleanupFunction(quorra::NodeUserDataCleanup);
}
