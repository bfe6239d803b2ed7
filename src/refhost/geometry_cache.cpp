// refhost's geometry caches: a cache holds the display data (display_data.h)
// of one body read from a document's display storage, and the host's cache
// manager ("GetIJGeometryCacheManager" of "dulcet.dll") drops that data when
// a site lets its cache go.
//
// Loading: GEOMETRY_CACHE_LOAD_RANGE reads the body and makes its range and
// coarsest level available; GEOMETRY_CACHE_LOAD_DETAIL makes every level
// available. A body with a single level (a preview body) is complete after
// the first load. The data is read once.
#include "quorra/host/geometry_cache.h"

#include <map>
#include <mutex>
#include <utility>

#include "quorra/host/scene.h"
#include "quorra/host/trace.h"
#include "quorra/refhost/display_data.h"
#include "refhost/host_modules.h"

namespace quorra::refhost {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/refhost/display";

class DocumentGeometryCache final : public host::ComObject<IJGeometryCache> {
 public:
  HRESULT GetTypedGraphic(DWORD* type, void** graphic, DWORD key) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = graphics_.find(key);
    if (found == graphics_.end()) {
      if (type) *type = 0;
      if (graphic) *graphic = nullptr;
      return E_FAIL;
    }
    if (type) *type = found->second.first;
    if (graphic) *graphic = found->second.second;
    return S_OK;
  }

  HRESULT SetTypedGraphic(DWORD type, void* graphic, DWORD key) override {
    std::lock_guard<std::mutex> lock(mutex_);
    graphics_[key] = {type, graphic};
    return S_OK;
  }

  HRESULT Initialize() override {
    std::lock_guard<std::mutex> lock(mutex_);
    data_ = DisplayData();
    state_ = 0;
    shownLevels_ = 0;
    initialized_ = true;
    return S_OK;
  }

  HRESULT LoadFromStorage(IStorage* storage, DWORD cacheId, DWORD kind, DWORD) override {
    if (!storage) return QUORRA_TRACE_FAIL(E_POINTER, "GeometryCache::LoadFromStorage");
    if (kind != GEOMETRY_CACHE_LOAD_RANGE && kind != GEOMETRY_CACHE_LOAD_DETAIL)
      return QUORRA_TRACE_FAIL(E_INVALIDARG, "GeometryCache::LoadFromStorage");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!initialized_) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "GeometryCache::LoadFromStorage");
    if (!(state_ & GEOMETRY_CACHE_STATE_RANGE)) {
      DisplayData data;
      HRESULT hr = ReadDisplayDataForCache(storage, cacheId, &data);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "GeometryCache::LoadFromStorage");
      data_ = std::move(data);
      state_ |= GEOMETRY_CACHE_STATE_RANGE;
      shownLevels_ = 1;
    }
    if (kind == GEOMETRY_CACHE_LOAD_DETAIL) shownLevels_ = data_.levels.size();
    if (shownLevels_ == data_.levels.size()) state_ |= GEOMETRY_CACHE_STATE_COMPLETE;
    return S_OK;
  }

  HRESULT Query(DWORD query, void* result) override {
    if (!result) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    switch (query) {
      case GEOMETRY_CACHE_QUERY_RANGE:
        if (!(state_ & GEOMETRY_CACHE_STATE_RANGE)) return E_FAIL;
        *static_cast<tagGBox*>(result) = data_.box;
        return S_OK;
      case GEOMETRY_CACHE_QUERY_STATE:
        *static_cast<DWORD*>(result) = state_;
        return S_OK;
      case GEOMETRY_CACHE_QUERY_RENDER_INFO: {
        // The levels loaded so far, finest first: before the detail load
        // only the coarsest level is there.
        if (!(state_ & GEOMETRY_CACHE_STATE_RANGE)) return E_FAIL;
        auto* info = static_cast<RenderCacheInfo*>(result);
        *info = RenderCacheInfo();
        const size_t first = data_.levels.size() - shownLevels_;
        for (size_t level = first; level < data_.levels.size() && info->levelCount < RenderCacheInfo::kMaxLevels;
             ++level)
          info->tolerances[info->levelCount++] = data_.levels[level].tolerance;
        return S_OK;
      }
      case kGeometryCacheQueryMesh: {
        if (!(state_ & GEOMETRY_CACHE_STATE_RANGE)) return E_FAIL;
        auto* query = static_cast<DisplayMeshQuery*>(result);
        if (query->level >= shownLevels_) return E_INVALIDARG;
        query->mesh = data_.levels[data_.levels.size() - shownLevels_ + query->level];
        return S_OK;
      }
      default:
        return E_INVALIDARG;
    }
  }

  // Drops the display data (the cache manager's removal).
  void Unload() {
    std::lock_guard<std::mutex> lock(mutex_);
    data_ = DisplayData();
    state_ = 0;
    shownLevels_ = 0;
  }

 private:
  ~DocumentGeometryCache() override = default;

  std::mutex mutex_;
  bool initialized_ = false;
  DWORD state_ = 0;
  size_t shownLevels_ = 0;  // levels available to display, coarsest last
  DisplayData data_;
  std::map<DWORD, std::pair<DWORD, void*>> graphics_;
};

class GeometryCacheManager final : public host::ComObject<IJGeometryCacheManager> {
 public:
  HRESULT RemoveCache(IJGeometryCache* cache) override {
    if (!cache) return E_POINTER;
    if (auto* ours = dynamic_cast<DocumentGeometryCache*>(cache)) ours->Unload();
    return S_OK;
  }

 private:
  ~GeometryCacheManager() override = default;
};

HRESULT CreateGeometryCache(DWORD, JGraphicContext*, IJGeometryCache** out) {
  auto* cache = new DocumentGeometryCache();
  cache->AddRef();
  *out = cache;
  return S_OK;
}

}  // namespace

HRESULT GetGeometryCacheManager(IJGeometryCacheManager** out) {
  if (!out) return E_POINTER;
  // One manager for the process, never destroyed.
  static GeometryCacheManager* const manager = [] {
    auto* made = new GeometryCacheManager();
    made->AddRef();
    return made;
  }();
  manager->AddRef();
  *out = manager;
  return S_OK;
}

void InstallGeometryCaches() {
  host::GeometryCacheFactory factory;
  factory.createGeometryCache = CreateGeometryCache;
  // refhost keeps no display caches apart from the documents.
  factory.createDisplayCache = nullptr;
  host::SetGeometryCacheFactory(std::move(factory));
}

void UninstallGeometryCaches() { host::SetGeometryCacheFactory({}); }

}  // namespace quorra::refhost
