// The JMercury COM object, the module lock count and the exported class
// factory entry point.
#include "quorra/jmercury.h"

#include <atomic>
#include <new>

#include "mercury/jmercury_module.h"
#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";

// Raised and lowered only by the class factory's lock callbacks.
std::atomic<DWORD> gModuleLockCount{0};

void LockModule() { gModuleLockCount.fetch_add(1, std::memory_order_relaxed); }
void UnlockModule() { gModuleLockCount.fetch_sub(1, std::memory_order_relaxed); }

}  // namespace

namespace quorra {
DWORD GetModuleLockCount() { return gModuleLockCount.load(std::memory_order_relaxed); }
}  // namespace quorra

// ---- IUnknown ----

HRESULT JMercury::QueryInterface(REFIID iid, void** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "JMercury::QueryInterface");
  if (iid != IID_IUnknown && iid != IID_IJMercury) {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  *out = static_cast<IJMercury*>(this);
  AddRef();
  return S_OK;
}

ULONG JMercury::AddRef() { return ++refs_; }

ULONG JMercury::Release() {
  ULONG count = --refs_;
  if (count == 0) delete this;
  return count;
}

// ---- contexts (slots 3-7) ----

HRESULT JMercury::SetContext(IUnknown* context, SetContextFlags flags) { return mercury_.SetContext(context, flags); }
HRESULT JMercury::SetContext(IUnknown* context) { return mercury_.SetContext(context); }
HRESULT JMercury::SetContext(OccurrenceNode* occurrence) { return mercury_.SetContext(occurrence); }
HRESULT JMercury::SetContext(IUnknown* document, DisplayRoadmap* roadmap) {
  return mercury_.SetContext(document, roadmap);
}
HRESULT JMercury::SetContext(IUnknown* document, JMemberRoadmap* roadmap) {
  return mercury_.SetContext(document, roadmap);
}

// ---- class factory entry point ----

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return QUORRA_TRACE_FAIL(E_NOINTERFACE, "DllGetClassObject");
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "DllGetClassObject");
  *out = nullptr;
  if (clsid != CLSID_JMercury) return QUORRA_TRACE_FAIL(E_FAIL, "DllGetClassObject");
  ClassFactory<JMercury>* factory = nullptr;
  try {
    factory = new ClassFactory<JMercury>(LockModule, UnlockModule, 1, 0, 0);
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "DllGetClassObject");
  }
  factory->AddRef();
  *out = static_cast<IClassFactory*>(factory);
  return S_OK;
}
