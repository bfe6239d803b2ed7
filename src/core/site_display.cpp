// The display side of sites: the graphic info, the common geometry cache, the
// cutaway cache manager, the cached geometry list (user data 127), typed
// graphics, and graphic access (handing graphic records to the display code
// for one graphic context and taking them back).
#include <new>

#include "quorra/host/modules.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/roadmap.h"
#include "quorra/site.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/site";

// The cached geometry list is released with the user data that holds it.
struct CachedGeometryRelease {
  CachedGeometryRelease() {
    quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, UD_SITE_CACHED_GEOMETRY,
                                           [](void* value) { delete static_cast<GraphicInfoList*>(value); });
  }
} gCachedGeometryRelease;

// The typed graphic of type 78 that an occurrence holds, or null.
IJTypedGraphic* TypedGraphicOf(OccurrenceNode* occurrence) {
  if (!occurrence) return nullptr;
  DWORD type = 0;
  void* graphic = nullptr;
  if (FAILED(occurrence->GetTypedGraphic(&type, &graphic, GRAPHIC_TYPE_TYPED_GRAPHIC))) return nullptr;
  return type == GRAPHIC_TYPE_TYPED_GRAPHIC ? static_cast<IJTypedGraphic*>(graphic) : nullptr;
}

// A record array of one record, made by the site and freed by EndAccess.
HRESULT OneRecord(DWORD type, void* graphic, int* count, GraphicInfo** records) {
  auto* record = new (std::nothrow) GraphicInfo[1];
  if (!record) return E_OUTOFMEMORY;
  record[0].SetGraphicInfo(type, graphic);
  *count = 1;
  *records = record;
  return S_OK;
}

bool InOccurrenceScope(JGraphicContext* context) {
  if (!context || !(context->GetDrawingState() & GC_STATE_OCCURRENCE_SCOPE)) return false;
  OccurrenceNode* current = context->GetCurrentOccurrence();
  return !current || !current->IsRootAssembly();
}

}  // namespace

// ---- graphic info and caches ----

IJGraphicInfo* SiteNode::GetGraphicInfo(int validate) const {
  if (validate && graphicInfo_ && !JIsValidInterface(graphicInfo_)) return nullptr;
  return graphicInfo_;
}

HRESULT SiteNode::SetGraphicInfo(IJGraphicInfo* info) {
  if (info) info->AddRef();
  IJGraphicInfo* previous = graphicInfo_;
  graphicInfo_ = info;
  if (previous) previous->Release();
  return S_OK;
}

HRESULT SiteNode::ClearGraphicInfo() {
  IJGraphicInfo* previous = graphicInfo_;
  graphicInfo_ = nullptr;
  if (previous) previous->Release();
  return S_OK;
}

HRESULT SiteNode::SetCommonCache(IJGeometryCache* cache) {
  if (cache != commonCache_) {
    if (cache) cache->AddRef();
    IJGeometryCache* previous = commonCache_;
    commonCache_ = cache;
    if (previous) previous->Release();
  }
  ClearGraphicInfo();
  return S_OK;
}

HRESULT SiteNode::SetCommonCache(void* cache) {
  auto* geometryCache = static_cast<IJGeometryCache*>(cache);
  IJCutawayGeometryCacheManager* manager = GetCacheManager();
  if (manager && geometryCache && !manager->HasCache(IJCutawayGeometryCacheManager::kDefaultKey))
    manager->RegisterCache(IJCutawayGeometryCacheManager::kDefaultKey, geometryCache);
  return SetCommonCache(geometryCache);
}

HRESULT SiteNode::ClearCommonCache() {
  HRESULT hr = S_OK;
  if (IJGeometryCache* cache = commonCache_) {
    static quorra::host::LateBoundFunction<HRESULT(IJGeometryCacheManager**)> getManager(
        L"dulcet.dll", "GetIJGeometryCacheManager");
    IJGeometryCacheManager* manager = nullptr;
    auto fn = getManager.Get();
    if (!fn) {
      hr = QUORRA_TRACE_FAIL(E_NOTIMPL, "SiteNode::ClearCommonCache");
    } else if (SUCCEEDED(fn(&manager)) && manager) {
      manager->RemoveCache(cache);
      manager->Release();
    }
    commonCache_ = nullptr;
    cache->Release();
  }
  ClearGraphicInfo();
  return hr;
}

IJCutawayGeometryCacheManager* SiteNode::GetCacheManager() {
  if (!cacheManager_) {
    static quorra::host::LateBoundFunction<HRESULT(IJCutawayGeometryCacheManager**)> create(
        L"jolter.dll", "CreateCutawayGeometryCacheManager");
    auto fn = create.Get();
    if (!fn) {
      QUORRA_TRACE_FAIL(E_FAIL, "SiteNode::GetCacheManager");
      return nullptr;
    }
    IJCutawayGeometryCacheManager* manager = nullptr;
    if (SUCCEEDED(fn(&manager))) cacheManager_ = manager;
  }
  return cacheManager_;
}

void SiteNode::ReleaseCacheManager() {
  if (IJCutawayGeometryCacheManager* manager = cacheManager_) {
    cacheManager_ = nullptr;
    manager->Shutdown();
    manager->Release();
  }
}

IJGeometryCache* SiteNode::GetCache(JGraphicContext* context) {
  if (cacheManager_ && context && context->HasCutaway()) {
    if (IJGeometryCache* cache = cacheManager_->GetCache(context)) return cache;
  }
  return commonCache_;
}

HRESULT SiteNode::GetCaches(SiteNode* site, JGraphicContext* context, int count, GraphicInfo* records,
                            CutawayContext*) {
  if (!site || (count > 0 && !records)) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteNode::GetCaches");
  if (!site->cacheManager_) return S_FALSE;
  return site->cacheManager_->GetCaches(context, count, records);
}

HRESULT SiteNode::InvalidateCaches(DWORD mode, const DisplayRoadmap* roadmap) {
  return cacheManager_ ? cacheManager_->Invalidate(mode, roadmap) : S_FALSE;
}

GraphicInfoList* SiteNode::GetCachedGeometry(bool create) {
  int found = 0;
  auto* list = static_cast<GraphicInfoList*>(userData_.Get(UD_SITE_CACHED_GEOMETRY, &found));
  if (list || !create) return list;
  if (found) userData_.Remove(UD_SITE_CACHED_GEOMETRY);  // a stored null
  list = new (std::nothrow) GraphicInfoList();
  if (!list) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "SiteNode::GetCachedGeometry");
    return nullptr;
  }
  if (FAILED(userData_.Add(UD_SITE_CACHED_GEOMETRY, list))) {
    delete list;
    return nullptr;
  }
  flags_ |= SITE_CACHED_GEOMETRY;
  return list;
}

HRESULT SiteNode::SetCachedGeometry(GraphicInfoList* list) {
  int found = 0;
  void* current = userData_.Get(UD_SITE_CACHED_GEOMETRY, &found);
  if (found && current == list && list) return S_OK;
  if (found && userData_.Remove(UD_SITE_CACHED_GEOMETRY) == S_OK) flags_ &= ~SITE_CACHED_GEOMETRY;
  if (!list) return S_OK;
  HRESULT hr = userData_.Add(UD_SITE_CACHED_GEOMETRY, list);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "SiteNode::SetCachedGeometry");
  flags_ |= SITE_CACHED_GEOMETRY;
  return S_OK;
}

HRESULT SiteNode::GetTypedGraphic(DWORD* type, void** graphic, DWORD key) {
  if (!type || !graphic) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteNode::GetTypedGraphic");
  *type = 0;
  *graphic = nullptr;
  HRESULT hr = E_FAIL;
  if (commonCache_) {
    if (key == GRAPHIC_TYPE_GEOMETRY_CACHE) {
      *type = GRAPHIC_TYPE_GEOMETRY_CACHE;
      *graphic = commonCache_;
      return S_OK;
    }
    hr = commonCache_->GetTypedGraphic(type, graphic, key);
  } else if (OccurrenceNode* first = occurrences_.GetAt(0)) {
    hr = first->GetTypedGraphic(type, graphic, key);
  }
  if (SUCCEEDED(hr)) return hr;
  *type = 0;
  *graphic = nullptr;
  return E_FAIL;
}

HRESULT SiteNode::SetTypedGraphic(DWORD type, void* graphic, DWORD key) {
  return commonCache_ ? commonCache_->SetTypedGraphic(type, graphic, key) : E_FAIL;
}

// ---- graphic access ----

// The records of a site without a graphic info object: the cache chosen for
// the context, else the first occurrence's typed graphic, else (when
// allowed) the cached geometry list itself.
HRESULT SiteNode::BeginSiteAccess(JGraphicContext* context, int* count, GraphicInfo** records,
                                  bool cachedListAllowed) {
  if (commonCache_) {
    IJGeometryCache* cache = GetCache(context);
    return cache ? OneRecord(GRAPHIC_TYPE_GEOMETRY_CACHE, cache, count, records) : S_OK;
  }
  if (IJTypedGraphic* typed = TypedGraphicOf(occurrences_.GetAt(0)))
    return OneRecord(GRAPHIC_TYPE_TYPED_GRAPHIC, typed, count, records);
  if (cachedListAllowed) {
    GraphicInfoList* list = GetCachedGeometry(false);
    if (list && !list->empty()) {
      *count = static_cast<int>(list->size());
      *records = list->data();
    }
  }
  return S_OK;
}

// Gives records back to whoever produced them; `done` tells the caller that
// the graphic info object took them.
HRESULT SiteNode::EndSiteAccess(JGraphicContext* context, int count, GraphicInfo* records, bool* done) {
  *done = false;
  if (IJGraphicInfo* info = GetGraphicInfo(1)) {
    if (IsLite() && count >= 2 && context && context->GetRoadmap()) context->GetRoadmap()->RemoveTopLink();
    HRESULT hr = info->EndAccess(context, count, records);
    if (SUCCEEDED(hr)) {
      *done = true;
      return hr;
    }
  }
  const bool singleTyped = count == 1 && records[0].GetType() == GRAPHIC_TYPE_TYPED_GRAPHIC;
  if (!commonCache_ && !singleTyped) {
    if (IJTypedGraphic* typed = TypedGraphicOf(occurrences_.GetAt(0))) {
      IJGraphicAccess* access = nullptr;
      if (SUCCEEDED(typed->QueryInterface(IID_IJGraphicAccess, reinterpret_cast<void**>(&access))) && access) {
        HRESULT hr = access->EndAccess(context, count, records);
        access->Release();
        return hr;
      }
    }
  }
  // The cached geometry list belongs to the user data; any other array here
  // is one the site made.
  GraphicInfoList* list = GetCachedGeometry(false);
  const bool isCachedList = list && !list->empty() && records == list->data();
  if (!isCachedList) delete[] records;
  return S_OK;
}

HRESULT PartSite::BeginAccess(JGraphicContext* context, int* count, GraphicInfo** records) {
  if (!count || !records) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "PartSite::BeginAccess");
  *count = 0;
  *records = nullptr;
  IJGraphicInfo* info = GetGraphicInfo(1);
  if (info && context) {
    // The graphic info fills the records for the whole site, not for the
    // occurrence being drawn.
    const DWORD state = context->GetDrawingState();
    OccurrenceNode* current = context->GetCurrentOccurrence();
    context->SetDrawingState(0);
    context->SetCurrentOccurrence(nullptr);
    HRESULT hr = info->BeginAccess(context, count, records);
    context->SetDrawingState(state);
    context->SetCurrentOccurrence(current);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "PartSite::BeginAccess");
    if (*count <= 0 || !*records) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "PartSite::BeginAccess");
    if (IsLite() && *count >= 2 && context->GetRoadmap()) context->GetRoadmap()->AddLink(0);
    return hr;
  }
  HRESULT hr = BeginSiteAccess(context, count, records, true);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "PartSite::BeginAccess");
  return hr;
}

HRESULT PartSite::EndAccess(JGraphicContext* context, int count, GraphicInfo* records) {
  if (!records) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "PartSite::EndAccess");
  bool done = false;
  return EndSiteAccess(context, count, records, &done);
}

IJGraphicAccess* AssemblySite::GetDocumentGraphicAccess() {
  IUnknown* document = nullptr;
  if (FAILED(GetDocument(IID_IUnknown, reinterpret_cast<void**>(&document))) || !document) return nullptr;
  IJGraphicAccess* access = nullptr;
  if (FAILED(document->QueryInterface(IID_IJGraphicAccess, reinterpret_cast<void**>(&access)))) access = nullptr;
  document->Release();
  return access;
}

HRESULT AssemblySite::BeginAccess(JGraphicContext* context, int* count, GraphicInfo** records) {
  if (!count || !records) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AssemblySite::BeginAccess");
  *count = 0;
  *records = nullptr;
  if (IsLocal()) {
    IJGraphicInfo* info = GetGraphicInfo(1);
    if (!info) return QUORRA_TRACE_FAIL(E_FAIL, "AssemblySite::BeginAccess");
    return info->BeginAccess(context, count, records);
  }
  if (!IsLite() && !InOccurrenceScope(context)) {
    IJGraphicAccess* access = GetDocumentGraphicAccess();
    if (!access) return QUORRA_TRACE_FAIL(E_FAIL, "AssemblySite::BeginAccess");
    HRESULT hr = access->BeginAccess(context, count, records);
    access->Release();
    return hr;
  }
  OccurrenceNode* current = context ? context->GetCurrentOccurrence() : nullptr;
  return BeginSiteAccess(context, count, records, current && current->IsSimplified());
}

HRESULT AssemblySite::EndAccess(JGraphicContext* context, int count, GraphicInfo* records) {
  if (!records) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AssemblySite::EndAccess");
  if (IsLocal()) {
    IJGraphicInfo* info = GetGraphicInfo(1);
    return info ? info->EndAccess(context, count, records) : E_FAIL;
  }
  if (!IsLite() && !InOccurrenceScope(context)) {
    IJGraphicAccess* access = GetDocumentGraphicAccess();
    if (!access) return QUORRA_TRACE_FAIL(E_FAIL, "AssemblySite::EndAccess");
    HRESULT hr = access->EndAccess(context, count, records);
    access->Release();
    return hr;
  }
  bool done = false;
  return EndSiteAccess(context, count, records, &done);
}
