// The registry of host modules: names to export tables, load counts, the
// host's loader, and the slow path of late-bound look-ups.
#include "quorra/host/modules.h"

#include <cwctype>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "quorra/host/kernel.h"
#include "quorra/host/trace.h"

namespace quorra::host::detail {

std::atomic<uint64_t> g_moduleRegistryGeneration{1};
std::atomic<uint64_t> g_moduleAdditionGeneration{1};

}  // namespace quorra::host::detail

namespace {

constexpr const char* kTraceSource = "quorra/host/modules";

using quorra::host::detail::g_moduleAdditionGeneration;
using quorra::host::detail::g_moduleRegistryGeneration;

struct Module {
  uintptr_t handle = 0;
  std::wstring name;  // as first registered
  std::map<std::string, void*, std::less<>> exports;
  DWORD loadCount = 0;
  bool broughtInByLoader = false;
};

struct Registry {
  // Guards the modules and the late-bound cache fills.
  std::mutex mutex;
  std::map<std::wstring, Module> modules;  // by ModuleKey
  std::unordered_map<uintptr_t, std::wstring> keyByHandle;
  uintptr_t nextHandle = 0x10000;

  // Serialises loads and releases, so that the loader brings a module in
  // once. Recursive: a loader may load the modules its module needs.
  std::recursive_mutex loadMutex;
  quorra::host::ModuleLoadFunction load;
  quorra::host::ModuleUnloadFunction unload;

  Module* FindByHandle(HMODULE handle) {
    auto key = keyByHandle.find(reinterpret_cast<uintptr_t>(handle));
    if (key == keyByHandle.end()) return nullptr;
    return &modules.at(key->second);
  }

  void Remove(std::map<std::wstring, Module>::iterator module) {
    keyByHandle.erase(module->second.handle);
    modules.erase(module);
    g_moduleRegistryGeneration.fetch_add(1, std::memory_order_release);
  }
};

// Never destroyed: late-bound calls may come from static destructors.
Registry& TheRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

// Letter case folded; a name without any '.' gets ".dll".
std::wstring ModuleKey(LPCWSTR name) {
  std::wstring key(name);
  for (wchar_t& c : key) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  if (key.find(L'.') == std::wstring::npos) key += L".dll";
  return key;
}

bool IsValidName(LPCWSTR name) { return name && name[0] != L'\0'; }

HMODULE ToHandle(uintptr_t value) { return reinterpret_cast<HMODULE>(value); }

// An export name passed as an ordinal (a small integer) is not a pointer.
bool IsOrdinal(LPCSTR name) { return reinterpret_cast<uintptr_t>(name) <= 0xFFFF; }

template <class Exports>
HMODULE Register(LPCWSTR moduleName, const Exports& exports) {
  if (!IsValidName(moduleName)) {
    QUORRA_TRACE_FAIL(E_INVALIDARG, "RegisterModule");
    return nullptr;
  }
  for (const quorra::host::ModuleExport& e : exports) {
    if (IsOrdinal(e.name) || e.name[0] == '\0' || !e.address) {
      QUORRA_TRACE_FAIL(E_INVALIDARG, "RegisterModule");
      return nullptr;
    }
  }
  try {
    std::map<std::string, void*, std::less<>> table;
    for (const quorra::host::ModuleExport& e : exports) table[e.name] = e.address;
    std::wstring key = ModuleKey(moduleName);
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto existing = registry.modules.find(key);
    g_moduleAdditionGeneration.fetch_add(1, std::memory_order_release);
    if (existing != registry.modules.end()) {
      existing->second.exports = std::move(table);
      g_moduleRegistryGeneration.fetch_add(1, std::memory_order_release);
      return ToHandle(existing->second.handle);
    }
    Module module;
    module.handle = registry.nextHandle;
    module.name = moduleName;
    module.exports = std::move(table);
    registry.keyByHandle.emplace(module.handle, key);
    registry.modules.emplace(std::move(key), std::move(module));
    registry.nextHandle += 0x10;
    return ToHandle(registry.nextHandle - 0x10);
  } catch (const std::bad_alloc&) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "RegisterModule");
    return nullptr;
  }
}

HMODULE Load(LPCWSTR moduleName, DWORD flags, const char* operation) {
  if (!IsValidName(moduleName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
    return nullptr;
  }
  Registry& registry = TheRegistry();
  try {
    const std::wstring key = ModuleKey(moduleName);
    std::lock_guard<std::recursive_mutex> loading(registry.loadMutex);
    auto countLoad = [&](bool broughtIn) -> HMODULE {
      std::lock_guard<std::mutex> lock(registry.mutex);
      auto module = registry.modules.find(key);
      if (module == registry.modules.end()) return nullptr;
      ++module->second.loadCount;
      if (broughtIn) module->second.broughtInByLoader = true;
      return ToHandle(module->second.handle);
    };
    if (HMODULE handle = countLoad(false)) return handle;
    quorra::host::ModuleLoadFunction load = registry.load;  // the loader may replace the loader
    HRESULT hr = E_FAIL;
    if (load) {
      try {
        hr = load(moduleName, flags);
      } catch (...) {
        hr = E_UNEXPECTED;
      }
    }
    if (SUCCEEDED(hr)) {
      if (HMODULE handle = countLoad(true)) return handle;
    }
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, operation);
    return nullptr;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  QUORRA_TRACE_FAIL(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), operation);
  return nullptr;
}

BOOL Release(HMODULE handle, const char* operation) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::recursive_mutex> loading(registry.loadMutex);
  std::wstring name;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    Module* module = registry.FindByHandle(handle);
    if (!module || module->loadCount == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      QUORRA_TRACE_FAIL(E_HANDLE, operation);
      return FALSE;
    }
    if (--module->loadCount > 0 || !module->broughtInByLoader) return TRUE;
    name = module->name;
  }
  // The last load of a module the loader brought in: let the loader release
  // it, then forget it (unless the unload callback removed it already).
  quorra::host::ModuleUnloadFunction unload = registry.unload;
  if (unload) {
    try {
      unload(name.c_str());
    } catch (...) {
      QUORRA_TRACE_FAIL(E_UNEXPECTED, operation);
    }
  }
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto key = registry.keyByHandle.find(reinterpret_cast<uintptr_t>(handle));
  if (key != registry.keyByHandle.end()) registry.Remove(registry.modules.find(key->second));
  return TRUE;
}

}  // namespace

extern "C" HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  if (!IsValidName(moduleName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    QUORRA_TRACE_FAIL(E_INVALIDARG, "GetModuleHandleW");
    return nullptr;
  }
  Registry& registry = TheRegistry();
  try {
    const std::wstring key = ModuleKey(moduleName);
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto module = registry.modules.find(key);
    if (module != registry.modules.end()) return ToHandle(module->second.handle);
  } catch (const std::bad_alloc&) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "GetModuleHandleW");
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

extern "C" FARPROC GetProcAddress(HMODULE handle, LPCSTR exportName) {
  if (IsOrdinal(exportName)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  Module* module = registry.FindByHandle(handle);
  if (!module) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto found = module->exports.find(std::string_view(exportName));
  if (found == module->exports.end()) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(found->second);
}

extern "C" HMODULE LoadLibraryW(LPCWSTR moduleName) { return Load(moduleName, 0, "LoadLibraryW"); }

extern "C" BOOL FreeLibrary(HMODULE module) { return Release(module, "FreeLibrary"); }

extern "C" HMODULE JLoadLibrary(LPCWSTR moduleName, DWORD flags) { return Load(moduleName, flags, "JLoadLibrary"); }

extern "C" BOOL JFreeLibrary(HMODULE module) { return Release(module, "JFreeLibrary"); }

namespace quorra::host {

HMODULE RegisterModule(LPCWSTR moduleName, std::initializer_list<ModuleExport> exports) {
  return Register(moduleName, exports);
}

HMODULE RegisterModule(LPCWSTR moduleName, const std::vector<ModuleExport>& exports) {
  return Register(moduleName, exports);
}

HRESULT UnregisterModule(LPCWSTR moduleName) {
  if (!IsValidName(moduleName)) return QUORRA_TRACE_FAIL(E_INVALIDARG, "UnregisterModule");
  Registry& registry = TheRegistry();
  try {
    const std::wstring key = ModuleKey(moduleName);
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto module = registry.modules.find(key);
    if (module == registry.modules.end()) return S_FALSE;
    registry.Remove(module);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "UnregisterModule");
  }
}

HRESULT AddExport(LPCWSTR moduleName, const char* exportName, void* address) {
  if (!IsValidName(moduleName) || IsOrdinal(exportName) || exportName[0] == '\0' || !address)
    return QUORRA_TRACE_FAIL(E_INVALIDARG, "AddExport");
  Registry& registry = TheRegistry();
  try {
    const std::wstring key = ModuleKey(moduleName);
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto module = registry.modules.find(key);
    if (module == registry.modules.end()) return QUORRA_TRACE_FAIL(E_FAIL, "AddExport");
    auto [entry, added] = module->second.exports.try_emplace(exportName, address);
    if (added) g_moduleAdditionGeneration.fetch_add(1, std::memory_order_release);
    if (!added && entry->second != address) {
      entry->second = address;
      g_moduleRegistryGeneration.fetch_add(1, std::memory_order_release);
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AddExport");
  }
}

DWORD ModuleLoadCount(HMODULE handle) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  Module* module = registry.FindByHandle(handle);
  return module ? module->loadCount : 0;
}

void UnregisterAllModules() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.modules.clear();
  registry.keyByHandle.clear();
  g_moduleRegistryGeneration.fetch_add(1, std::memory_order_release);
}

void SetModuleLoader(ModuleLoadFunction load, ModuleUnloadFunction unload) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::recursive_mutex> loading(registry.loadMutex);
  registry.load = std::move(load);
  registry.unload = std::move(unload);
}

void ResetLateBoundCaches() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  g_moduleRegistryGeneration.fetch_add(1, std::memory_order_release);
  g_moduleAdditionGeneration.fetch_add(1, std::memory_order_release);
}

namespace detail {

void* ResolveLateBound(const wchar_t* moduleName, const char* exportName, bool loadWhenMissing,
                       std::atomic<void*>& address, std::atomic<uint64_t>& generation,
                       std::atomic<uint64_t>& missGeneration) {
  if (!IsValidName(moduleName) || IsOrdinal(exportName)) {
    QUORRA_TRACE_FAIL(E_INVALIDARG, "LateBoundFunction::Get");
    return nullptr;
  }
  // The load is kept: the cached address must stay valid.
  if (loadWhenMissing && !GetModuleHandleW(moduleName)) LoadLibraryW(moduleName);
  Registry& registry = TheRegistry();
  try {
    const std::wstring key = ModuleKey(moduleName);
    std::lock_guard<std::mutex> lock(registry.mutex);
    // Read under the lock that every bump of it is made under, so the
    // address found below belongs to exactly this generation.
    const uint64_t current = g_moduleRegistryGeneration.load(std::memory_order_relaxed);
    const uint64_t additions = g_moduleAdditionGeneration.load(std::memory_order_relaxed);
    auto module = registry.modules.find(key);
    void* found = nullptr;
    if (module != registry.modules.end()) {
      auto entry = module->second.exports.find(std::string_view(exportName));
      if (entry != module->second.exports.end()) found = entry->second;
    }
    if (!found) {
      missGeneration.store(additions, std::memory_order_release);
      return nullptr;
    }
    address.store(found, std::memory_order_relaxed);
    generation.store(current, std::memory_order_release);
    return found;
  } catch (const std::bad_alloc&) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "LateBoundFunction::Get");
    return nullptr;
  }
}

}  // namespace detail

}  // namespace quorra::host
