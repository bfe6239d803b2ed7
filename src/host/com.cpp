// COM host services: task memory, per-thread initialisation, the class
// registry, the live-object table of ComObject, the class-factory base and
// the chained block allocator.
#include "quorra/host/com.h"

#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "quorra/host/storage.h"  // declares CoTaskMemAlloc / CoTaskMemFree
#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "host/com";

using quorra::host::ComObjectBase;
using quorra::host::ComPtr;

// Interface addresses of live ComObjects, and of recently destroyed ones so
// that JIsValidInterface can tell a dangling pointer from a foreign object.
class LiveTable {
 public:
  void Register(const void* const* addresses, size_t count, ComObjectBase* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < count; ++i) {
      live_[addresses[i]] = object;
      retired_.erase(addresses[i]);
    }
  }

  void Unregister(const void* const* addresses, size_t count, const ComObjectBase* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < count; ++i) {
      auto it = live_.find(addresses[i]);
      if (it == live_.end() || it->second != object) continue;
      live_.erase(it);
      Retire(addresses[i]);
    }
  }

  ComObjectBase* Acquire(const void* address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(address);
    if (it == live_.end() || !it->second->TryAddRefObject()) return nullptr;
    return it->second;
  }

  // 1 live, 0 destroyed, -1 unknown to the table.
  int State(const void* address) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (live_.count(address)) return 1;
    if (retired_.count(address)) return 0;
    return -1;
  }

 private:
  static constexpr size_t kRemembered = 65536;

  void Retire(const void* address) {
    uint64_t number = ++retirements_;
    retired_[address] = number;
    retiredOrder_.emplace_back(address, number);
    if (retiredOrder_.size() <= kRemembered) return;
    auto [oldest, oldestNumber] = retiredOrder_.front();
    retiredOrder_.pop_front();
    // The address may have been retired again since; forget only this entry.
    auto it = retired_.find(oldest);
    if (it != retired_.end() && it->second == oldestNumber) retired_.erase(it);
  }

  std::mutex mutex_;
  std::unordered_map<const void*, ComObjectBase*> live_;
  std::unordered_map<const void*, uint64_t> retired_;
  std::deque<std::pair<const void*, uint64_t>> retiredOrder_;
  uint64_t retirements_ = 0;
};

// Process-wide tables live until the process ends: objects released during
// static destruction must still find them.
LiveTable& Live() {
  static LiveTable* table = new LiveTable;
  return *table;
}

struct ClassRegistry {
  std::mutex mutex;
  std::map<GUID, ComPtr<IClassFactory>> factories;
};

ClassRegistry& Classes() {
  static ClassRegistry* registry = new ClassRegistry;
  return *registry;
}

ComPtr<IClassFactory> FindFactory(REFCLSID clsid) {
  ClassRegistry& registry = Classes();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.factories.find(clsid);
  return it == registry.factories.end() ? ComPtr<IClassFactory>() : it->second;
}

struct ThreadComState {
  DWORD count = 0;
  DWORD model = 0;
};
thread_local ThreadComState tComState;

HRESULT CreateInstance(REFCLSID clsid, IUnknown* outer, REFIID iid, void** out, const char* operation) {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, operation);
  *out = nullptr;
  ComPtr<IClassFactory> factory = FindFactory(clsid);
  if (!factory) return QUORRA_TRACE_FAIL(REGDB_E_CLASSNOTREG, operation);
  HRESULT hr = factory->CreateInstance(outer, iid, out);
  if (FAILED(hr)) {
    *out = nullptr;
    return QUORRA_TRACE_FAIL(hr, operation);
  }
  return hr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Exported functions

extern "C" {

void* CoTaskMemAlloc(size_t bytes) { return std::malloc(bytes ? bytes : 1); }

void CoTaskMemFree(void* p) { std::free(p); }

HRESULT CoInitializeEx(void* reserved, DWORD coInit) {
  if (reserved) return QUORRA_TRACE_FAIL(E_INVALIDARG, "CoInitializeEx");
  DWORD model = coInit & COINIT_APARTMENTTHREADED;
  ThreadComState& state = tComState;
  if (state.count == 0) {
    state.count = 1;
    state.model = model;
    return S_OK;
  }
  if (state.model != model) return RPC_E_CHANGED_MODE;
  ++state.count;
  return S_FALSE;
}

void CoUninitialize() {
  if (tComState.count > 0) --tComState.count;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD /*context*/, void* /*serverInfo*/, REFIID iid, void** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "CoGetClassObject");
  *out = nullptr;
  ComPtr<IClassFactory> factory = FindFactory(clsid);
  if (!factory) return QUORRA_TRACE_FAIL(REGDB_E_CLASSNOTREG, "CoGetClassObject");
  return factory->QueryInterface(iid, out);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD /*context*/, REFIID iid, void** out) {
  return CreateInstance(clsid, outer, iid, out, "CoCreateInstance");
}

HRESULT JCoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD /*context*/, REFIID iid, void** out, DWORD /*flag*/) {
  return CreateInstance(clsid, outer, iid, out, "JCoCreateInstance");
}

BOOL JIsValidInterface(IUnknown* object) {
  if (!object) return FALSE;
  return Live().State(object) != 0 ? TRUE : FALSE;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// Class registry and ComObject support

namespace quorra::host {

HRESULT RegisterClassFactory(REFCLSID clsid, IClassFactory* factory) {
  ComPtr<IClassFactory> previous;  // released after the lock is dropped
  HRESULT hr = S_OK;
  {
    ClassRegistry& registry = Classes();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.factories.find(clsid);
    if (it != registry.factories.end()) {
      previous = std::move(it->second);
      if (!factory) registry.factories.erase(it);
    } else if (!factory) {
      hr = S_FALSE;
    }
    if (factory) registry.factories[clsid] = ComPtr<IClassFactory>(factory);
  }
  return hr;
}

HRESULT RegisterClassFromModule(REFCLSID clsid, LPFNGETCLASSOBJECT getClassObject) {
  if (!getClassObject) return QUORRA_TRACE_FAIL(E_INVALIDARG, "RegisterClassFromModule");
  void* object = nullptr;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, &object);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "RegisterClassFromModule");
  if (!object) return QUORRA_TRACE_FAIL(E_POINTER, "RegisterClassFromModule");
  auto factory = ComPtr<IClassFactory>::Adopt(static_cast<IClassFactory*>(object));
  return RegisterClassFactory(clsid, factory.Get());
}

ULONG ComObjectBase::ReleaseObject() {
  ULONG count = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count == 0) delete this;
  return count;
}

bool ComObjectBase::TryAddRefObject() {
  ULONG count = refs_.load(std::memory_order_relaxed);
  while (count != 0) {
    if (refs_.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel)) return true;
  }
  return false;
}

DWORD ComObjectBase::AssignIdentitySerial(DWORD proposed) {
  DWORD expected = 0;
  if (identitySerial_.compare_exchange_strong(expected, proposed, std::memory_order_acq_rel)) return proposed;
  return expected;
}

void ComObjectBase::RegisterInterfaces(const void* const* addresses, size_t count) {
  Live().Register(addresses, count, this);
}

void ComObjectBase::UnregisterInterfaces(const void* const* addresses, size_t count) {
  Live().Unregister(addresses, count, this);
}

ComObjectBase* AcquireComObject(const void* address) { return address ? Live().Acquire(address) : nullptr; }

}  // namespace quorra::host

// ---------------------------------------------------------------------------
// JClassFactory

JClassFactory::JClassFactory(LockCallback lock, LockCallback unlock, int argument1, int argument2, int argument3)
    : lock_(lock), unlock_(unlock), arguments_{argument1, argument2, argument3} {}

JClassFactory::~JClassFactory() = default;

HRESULT JClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "JClassFactory::CreateInstance");
  *out = nullptr;
  if (outer) return QUORRA_TRACE_FAIL(CLASS_E_NOAGGREGATION, "JClassFactory::CreateInstance");
  void* created = nullptr;
  HRESULT hr = OnCreateInstance(nullptr, &created);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JClassFactory::CreateInstance");
  if (!created) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "JClassFactory::CreateInstance");
  auto object = ComPtr<IUnknown>::Adopt(static_cast<IUnknown*>(created));
  hr = object->QueryInterface(iid, out);
  if (FAILED(hr)) {
    *out = nullptr;
    return QUORRA_TRACE_FAIL(hr, "JClassFactory::CreateInstance");
  }
  return hr;
}

HRESULT JClassFactory::LockServer(BOOL lock) {
  LockCallback callback = lock ? lock_ : unlock_;
  if (callback) callback();
  return S_OK;
}

int JClassFactory::GetArgument(int index) const { return index >= 1 && index <= 3 ? arguments_[index - 1] : 0; }

// ---------------------------------------------------------------------------
// JPlex

JPlex* JPlex::Create(JPlex*& head, UINT maxElements, UINT elementSize) {
  if (maxElements == 0 || elementSize == 0) {
    QUORRA_TRACE_FAIL(E_INVALIDARG, "JPlex::Create");
    return nullptr;
  }
  // Both factors are 32-bit, so the product cannot overflow 64 bits.
  size_t bytes = sizeof(JPlex) + static_cast<size_t>(maxElements) * elementSize;
  auto* block = static_cast<JPlex*>(std::malloc(bytes));
  if (!block) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JPlex::Create");
    return nullptr;
  }
  block->pNext = head;
  head = block;
  return block;
}

void JPlex::FreeDataChain() {
  JPlex* block = this;
  while (block) {
    JPlex* next = block->pNext;
    std::free(block);
    block = next;
  }
}
