// Host modules looked up by name. The host registers each module it offers
// ("brenik.dex", "dulcet.dll", ...) as a table of named function addresses;
// GetModuleHandleW and GetProcAddress are look-ups in that registry and never
// load anything. LoadLibraryW and JLoadLibrary count loads of a registered
// module and, for a module that is not registered, ask the loader the host
// installed to register it.
//
// Module names compare without regard to letter case ("DULCET.dll" finds
// "dulcet.dll"), and a name without any '.' means the name plus ".dll", as
// on Windows. Export names compare exactly.
//
// Module handles are process-wide numbers, not addresses: a handle of a
// module that was unregistered is refused (null address, FALSE), never
// dereferenced.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "quorra/host/types.h"

struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using HINSTANCE = HMODULE;
// A looked-up function; cast it to its real type before calling.
using FARPROC = intptr_t (*)();

extern "C" {

// The registered module of that name, or null. Sets no load count.
HMODULE GetModuleHandleW(LPCWSTR moduleName);
// The address the module exports under that name, or null (also for an
// ordinal, a null name and a stale handle), with the last error set.
FARPROC GetProcAddress(HMODULE module, LPCSTR exportName);
// Counts one more load of the named module and returns it; a module that is
// not registered is first handed to the host's loader. Null (with the last
// error ERROR_MOD_NOT_FOUND) when neither has it.
HMODULE LoadLibraryW(LPCWSTR moduleName);
// Releases one load. When the count of a module the loader brought in drops
// to zero, the loader's unload callback runs and the module is unregistered.
// A host-registered module stays registered at zero. FALSE for an unknown
// handle or one with no loads left.
BOOL FreeLibrary(HMODULE module);

// The host's load and release; `flags` is handed to the loader.
HMODULE JLoadLibrary(LPCWSTR moduleName, DWORD flags);
BOOL JFreeLibrary(HMODULE module);

}  // extern "C"

namespace quorra::host {

struct ModuleExport {
  const char* name;  // copied by the registry
  void* address;     // not null
};

// Registers (or, for a name already registered, replaces the export table
// of) a module. Returns its handle, null for a null or empty name, a null
// export name or address (traced E_INVALIDARG). Replacing keeps the handle
// and load count and drops every cached late-bound address.
HMODULE RegisterModule(LPCWSTR moduleName, std::initializer_list<ModuleExport> exports);
HMODULE RegisterModule(LPCWSTR moduleName, const std::vector<ModuleExport>& exports);
// Removes a module whatever its load count. S_FALSE when it was not
// registered. Drops every cached late-bound address.
HRESULT UnregisterModule(LPCWSTR moduleName);
// Adds or replaces one export of a registered module. E_INVALIDARG for bad
// arguments, E_FAIL when the module is not registered.
HRESULT AddExport(LPCWSTR moduleName, const char* exportName, void* address);
// Loads counted by LoadLibraryW/JLoadLibrary and not yet released; 0 for a
// handle that is not registered.
DWORD ModuleLoadCount(HMODULE module);
// Unregisters every module (tests).
void UnregisterAllModules();

// The host's loader. `load` must register the named module (RegisterModule)
// and answer S_OK, or fail; it may itself load other modules. `unload` runs
// when the last load of a module that `load` brought in is released, before
// the module is unregistered. Loads and releases run one at a time; the
// callbacks hold no lock that look-ups or registrations take.
using ModuleLoadFunction = std::function<HRESULT(LPCWSTR moduleName, DWORD flags)>;
using ModuleUnloadFunction = std::function<void(LPCWSTR moduleName)>;
// Installs the loader; empty functions remove it.
void SetModuleLoader(ModuleLoadFunction load, ModuleUnloadFunction unload = nullptr);

// Forgets every address cached by LateBoundFunction, so that the next call
// of each looks its function up again.
void ResetLateBoundCaches();

namespace detail {

// Bumped whenever a registered address may have gone away (a module
// unregistered, an export table replaced, an export replaced) or caches are
// reset. A cached address is used only while the generation it was resolved
// in is current.
extern std::atomic<uint64_t> g_moduleRegistryGeneration;
// Bumped whenever a look-up that failed could now succeed (a module
// registered, an export added or its table replaced) or caches are reset. A
// remembered miss is answered at once while this is unchanged.
extern std::atomic<uint64_t> g_moduleAdditionGeneration;

// The slow path of LateBoundAddress::Get: looks the export up (loading the
// module first when asked to and it is not registered) and fills the cache.
void* ResolveLateBound(const wchar_t* moduleName, const char* exportName, bool loadWhenMissing,
                       std::atomic<void*>& address, std::atomic<uint64_t>& generation,
                       std::atomic<uint64_t>& missGeneration);

}  // namespace detail

// How a late-bound function finds its module.
enum class LateBinding {
  kLoadedModuleOnly,  // the module must be registered already
  kLoadWhenMissing,   // load it (LoadLibraryW, kept loaded) when it is not
};

// The process-wide cache of one late-bound function: resolved through
// GetModuleHandleW and GetProcAddress the first time it is asked for, then
// answered from the cache with two atomic loads. A miss is looked up again
// on the next call once anything was registered since, so a module or export
// registered later is found; until then the miss is answered at once (a host
// that never exports a function costs nothing per call). When a
// module is unregistered (or its table replaced) every cached address is
// dropped at once through the registry generation, so a call after that
// never answers an address of the old table.
//
// The names are not copied: pass string literals. Declare instances static
// (constinit works: the constructor is constexpr).
class LateBoundAddress {
 public:
  constexpr LateBoundAddress(const wchar_t* moduleName, const char* exportName,
                             LateBinding binding = LateBinding::kLoadedModuleOnly)
      : moduleName_(moduleName), exportName_(exportName), binding_(binding) {}
  LateBoundAddress(const LateBoundAddress&) = delete;
  LateBoundAddress& operator=(const LateBoundAddress&) = delete;

  // The function's address, or null when it cannot be found now.
  void* Get() {
    const uint64_t current = detail::g_moduleRegistryGeneration.load(std::memory_order_acquire);
    if (generation_.load(std::memory_order_acquire) == current) {
      if (void* address = address_.load(std::memory_order_relaxed)) return address;
    }
    // A module loaded on demand may appear without any registration first,
    // so only misses of already-loaded modules are remembered.
    if (binding_ == LateBinding::kLoadedModuleOnly &&
        missGeneration_.load(std::memory_order_acquire) ==
            detail::g_moduleAdditionGeneration.load(std::memory_order_acquire))
      return nullptr;
    return detail::ResolveLateBound(moduleName_, exportName_, binding_ == LateBinding::kLoadWhenMissing, address_,
                                    generation_, missGeneration_);
  }

  const wchar_t* ModuleName() const { return moduleName_; }
  const char* ExportName() const { return exportName_; }

 private:
  const wchar_t* moduleName_;
  const char* exportName_;
  LateBinding binding_;
  std::atomic<void*> address_{nullptr};
  std::atomic<uint64_t> generation_{0};      // 0 is never current
  std::atomic<uint64_t> missGeneration_{0};  // addition generation of the last miss
};

template <class Signature>
class LateBoundFunction;

// A late-bound function of a known type:
//   static LateBoundFunction<HRESULT(IUnknown*, IUnknown**)> getPersistManager(L"dulcet.dll", "GetPersistManager");
//   if (auto* fn = getPersistManager.Get()) hr = fn(document, &manager); else hr = E_FAIL;
template <class Result, class... Args>
class LateBoundFunction<Result(Args...)> {
 public:
  using Pointer = Result (*)(Args...);

  constexpr LateBoundFunction(const wchar_t* moduleName, const char* exportName,
                              LateBinding binding = LateBinding::kLoadedModuleOnly)
      : address_(moduleName, exportName, binding) {}

  // Null when the function cannot be found now.
  Pointer Get() { return reinterpret_cast<Pointer>(address_.Get()); }

 private:
  LateBoundAddress address_;
};

}  // namespace quorra::host
