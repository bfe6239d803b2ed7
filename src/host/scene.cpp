// The reference scene: its storage holder and its "Scene" stream.
#include "quorra/host/scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "quorra/host/iostream_context.h"
#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/host/scene";
constexpr const wchar_t* kSceneStream = L"Scene";
constexpr DWORD kSceneVersion = 1;

struct SceneRecord {
  DWORD version;
  DWORD a;
  DWORD b;
  double range[6];
};

// The record's fields in stream order, one transfer each.
HRESULT TransferRecord(const JIOStreamContext& context, SceneRecord* record) {
  HRESULT hr;
  if (FAILED(hr = context.DoIO(&record->version, 4)) || FAILED(hr = context.DoIO(&record->a, 4)) ||
      FAILED(hr = context.DoIO(&record->b, 4)) || FAILED(hr = context.DoIO(record->range, sizeof record->range)))
    return hr;
  return S_OK;
}
}  // namespace

GScene::GScene(DWORD flags, void* storage, void*, tagGCamera* camera) : flags_(flags) {
  SetStorage(static_cast<IUnknown*>(storage));
  if (camera) camera_ = *camera;
}

double GScene::GetSetting(DWORD id, double fallback) const {
  auto found = settings_.find(id);
  return found == settings_.end() ? fallback : found->second;
}

std::vector<const GGraphicInfo*> GScene::AllItems() const {
  std::vector<const GGraphicInfo*> items;
  for (const GGraphicInfoCollection& collection : collections_)
    for (const GGraphicInfo& item : collection.Items()) items.push_back(&item);
  return items;
}

HRESULT GScene::SetInterface(GSceneInterface kind, void* object) {
  if (kind != GSCENE_INTERFACE_SIMPLIFY) return E_INVALIDARG;
  simplifyInterface_ = object;
  return S_OK;
}

void* GScene::GetInterface(GSceneInterface kind) const {
  return kind == GSCENE_INTERFACE_SIMPLIFY ? simplifyInterface_ : nullptr;
}

void GScene::Purge(GScene* scene, DWORD mask) {
  if (!scene) return;
  if (mask & 0x1)
    for (GGraphicInfoCollection& collection : scene->collections_) collection.Clear();
  if (mask & 0x2) scene->debugBoxes_.clear();
  if (mask & 0x4) scene->itemMap_.clear();
}

void GGraphicInfoCollection::Shuffle(const std::map<DWORD, int>& order) {
  auto rank = [&order](const GGraphicInfo& item) {
    auto found = order.find(item.kind);
    return found == order.end() ? 0 : found->second;
  };
  std::stable_sort(items_.begin(), items_.end(),
                   [&rank](const GGraphicInfo& a, const GGraphicInfo& b) { return rank(a) < rank(b); });
}

GRejectionReason GRejectionFilter::CheckState(const tagGBox* box, int, int) {
  if (!box || box->low[0] > box->high[0]) return GREJECT_EMPTY;
  if (!(clipVolume_ && *box)) return GREJECT_OUTSIDE;
  const double dx = box->high[0] - box->low[0], dy = box->high[1] - box->low[1], dz = box->high[2] - box->low[2];
  if (std::sqrt(dx * dx + dy * dy + dz * dz) < minimumSize_) return GREJECT_TOO_SMALL;
  return GREJECT_NONE;
}

bool RenderCacheInfo::Read(IJGeometryCache* cache, RenderCacheInfo* out) {
  if (!cache || !out) return false;
  *out = RenderCacheInfo();
  return SUCCEEDED(cache->Query(GEOMETRY_CACHE_QUERY_RENDER_INFO, out)) && out->levelCount > 0;
}

int RenderCacheInfo::GetIndex(double tolerance, double quality) const {
  const double limit = quality > 0.0 ? tolerance / quality : tolerance;
  int index = 0;
  for (DWORD level = 0; level < levelCount && level < kMaxLevels; ++level)
    if (tolerances[level] <= limit) index = static_cast<int>(level);
  return index;
}

extern "C" void SceneGraphAdviseSink(GScene* scene, int) {
  if (scene) scene->Advise();
}

void GScene::ReserveItems(size_t count) {
  GGraphicInfoCollection& solid = collections_[kOpaqueCollection];
  solid.Reserve(solid.Size() + count);
}

namespace {
struct PointCloudSlot {
  std::mutex mutex;
  IUnknown* cloud = nullptr;
};
PointCloudSlot& PointCloud() {
  static PointCloudSlot* slot = new PointCloudSlot();  // outlives every scene
  return *slot;
}
}  // namespace

namespace quorra::host {
void SetPointCloud(IUnknown* cloud) {
  PointCloudSlot& slot = PointCloud();
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (cloud) cloud->AddRef();
  if (slot.cloud) slot.cloud->Release();
  slot.cloud = cloud;
}
}  // namespace quorra::host

extern "C" HRESULT JGetPointCloud(IUnknown** out) {
  if (!out) return E_POINTER;
  PointCloudSlot& slot = PointCloud();
  std::lock_guard<std::mutex> lock(slot.mutex);
  *out = slot.cloud;
  if (!slot.cloud) return S_FALSE;
  slot.cloud->AddRef();
  return S_OK;
}

std::wstring JDescription(GGraphicInfo& item, DWORD mask) {
  wchar_t text[160];
  std::swprintf(text, 160, L"kind %u, LOD %d, style 0x%08X, colour 0x%08X", item.kind, item.lodIndex, item.styleWord,
                item.colour);
  std::wstring description = text;
  if (mask & 0x4) {
    std::swprintf(text, 160, L", at (%g, %g, %g)", item.matrix.m[3], item.matrix.m[7], item.matrix.m[11]);
    description += text;
  }
  return description;
}

std::wstring JDescription(IJGeometryCache* cache, DWORD) {
  if (!cache) return L"no cache";
  RenderCacheInfo info;
  if (!RenderCacheInfo::Read(cache, &info)) return L"cache without levels";
  wchar_t text[64];
  std::swprintf(text, 64, L"cache of %u levels", info.levelCount);
  return text;
}

GScene::~GScene() { SetStorage(nullptr); }

void GScene::SetStorage(IUnknown* storage) {
  if (storage) storage->AddRef();
  if (storage_) storage_->Release();
  storage_ = storage;
}

HRESULT GScene::SetRange(const tagGBox* box) {
  if (!box) return E_INVALIDARG;
  range_ = *box;
  return S_OK;
}

HRESULT GScene::Save(IStorage* storage, DWORD a, DWORD b) {
  if (!storage) return QUORRA_TRACE_FAIL(E_INVALIDARG, "GScene::Save");
  IStream* created = nullptr;
  HRESULT hr = storage->CreateStream(kSceneStream, STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0, 0, &created);
  if (FAILED(hr) || !created) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_FAIL, "GScene::Save");
  auto stream = quorra::host::ComPtr<IStream>::Adopt(created);
  SceneRecord record{kSceneVersion,
                     a,
                     b,
                     {range_.low[0], range_.low[1], range_.low[2], range_.high[0], range_.high[1], range_.high[2]}};
  JIOStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
  if (FAILED(hr = TransferRecord(context, &record)) || FAILED(hr = stream->Commit(0)))
    return QUORRA_TRACE_FAIL(hr, "GScene::Save");
  a_ = a;
  b_ = b;
  return S_OK;
}

HRESULT GScene::Load(IStorage* storage, DWORD a, DWORD b) {
  if (!storage) return QUORRA_TRACE_FAIL(E_INVALIDARG, "GScene::Load");
  IStream* opened = nullptr;
  HRESULT hr = storage->OpenStream(kSceneStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &opened);
  if (FAILED(hr) || !opened) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_FAIL, "GScene::Load");
  auto stream = quorra::host::ComPtr<IStream>::Adopt(opened);
  SceneRecord record{};
  JIOStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
  if (FAILED(hr = TransferRecord(context, &record))) return QUORRA_TRACE_FAIL(hr, "GScene::Load");
  if (record.version != kSceneVersion) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "GScene::Load");
  range_ =
      tagGBox(record.range[0], record.range[1], record.range[2], record.range[3], record.range[4], record.range[5]);
  a_ = a;
  b_ = b;
  return S_OK;
}
