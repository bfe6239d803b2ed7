// Geometry cache creation through the factory the host installs.
#include "quorra/host/geometry_cache.h"

#include <memory>
#include <mutex>

#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/host/display";

struct FactorySlot {
  std::mutex mutex;
  std::shared_ptr<const quorra::host::GeometryCacheFactory> factory;
};

FactorySlot& Slot() {
  static FactorySlot* slot = new FactorySlot();  // outlives static destruction
  return *slot;
}

std::shared_ptr<const quorra::host::GeometryCacheFactory> CurrentFactory() {
  FactorySlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.factory;
}

}  // namespace

extern "C" HRESULT JCreateGeometryCache(DWORD kind, JGraphicContext* context, IJGeometryCache** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "JCreateGeometryCache");
  *out = nullptr;
  auto factory = CurrentFactory();
  if (!factory || !factory->createGeometryCache) return QUORRA_TRACE_FAIL(E_NOTIMPL, "JCreateGeometryCache");
  try {
    HRESULT hr = factory->createGeometryCache(kind, context, out);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JCreateGeometryCache");
    if (!*out) return QUORRA_TRACE_FAIL(E_FAIL, "JCreateGeometryCache");
    return hr;
  } catch (const std::exception&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JCreateGeometryCache");
  }
}

extern "C" IJGeometryCache* JCreateDisplayCache(const wchar_t* name) {
  if (!name || !*name) return nullptr;
  auto factory = CurrentFactory();
  if (!factory || !factory->createDisplayCache) return nullptr;
  try {
    return factory->createDisplayCache(name);
  } catch (const std::exception&) {
    return nullptr;
  }
}

namespace quorra::host {

GeometryCacheFactory SetGeometryCacheFactory(GeometryCacheFactory factory) {
  std::shared_ptr<const GeometryCacheFactory> next;
  if (factory.createGeometryCache || factory.createDisplayCache)
    next = std::make_shared<const GeometryCacheFactory>(std::move(factory));
  FactorySlot& slot = Slot();
  std::shared_ptr<const GeometryCacheFactory> previous;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    previous.swap(slot.factory);
    slot.factory = std::move(next);
  }
  return previous ? *previous : GeometryCacheFactory{};
}

}  // namespace quorra::host
