// The host's scene graph, as far as this reference host has one: a scene
// with a range, a camera and clip volume, a rejection filter, graphic-info
// collections that scene population fills, a debug drawer and an optional
// storage it is kept in, which saves itself into a storage and loads itself
// back. Everything a population put in the scene can be read back, so tests
// check what would be drawn and the tool draws it.
//
// Stream "Scene" (little-endian): u32 version (1), u32 and u32 the two words
// the caller passed to Save, f64 x 6 the range (low x, y, z, high x, y, z).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "quorra/host/display.h"
#include "quorra/host/geometry.h"
#include "quorra/host/identity.h"
#include "quorra/host/scene_items.h"
#include "quorra/host/storage.h"
#include "quorra/host/styles.h"
#include "quorra/host/types.h"

class OccurrenceNode;

// Scene flag words.
constexpr DWORD GSCENE_CULLING = 0x1;       // word 1: culling on
constexpr DWORD GSCENE_NO_REJECTION = 0x2;  // word 1: no range or small-object rejection
constexpr DWORD GSCENE_POPULATING = 0x400;  // word 1: cleared when a population starts
constexpr DWORD GSCENE_ADAPTIVE = 0x40;     // word 2: adaptive level of detail
// Scene setting ids.
constexpr DWORD GSCENE_SETTING_QUALITY = 0x24;  // level-of-detail quality (1.0 by default)

// Packed style word bits (GSimpleStyle).
constexpr DWORD GSIMPLESTYLE_PACKED = 0x40000000u;

// One item for the scene: a geometry cache (not owned: the site keeps it)
// drawn for an occurrence with a matrix, a style word and the style made from
// it, at a level of detail. `colour` is RGBA (byte 0 red .. byte 3 alpha).
class GGraphicInfo : public GraphicInfo {
 public:
  IJGeometryCache* cache = nullptr;
  OccurrenceNode* occurrence = nullptr;
  tagG4x4 matrix;
  DWORD kind = GRAPHIC_TYPE_GEOMETRY_CACHE;
  DWORD styleWord = 0;
  GGlobalStyle3D* style = nullptr;
  DWORD colour = 0;
  int lodIndex = 0;
  bool excludedFromSectionView = false;
};

// An ordered list of items.
class GGraphicInfoCollection {
 public:
  void AddTail(const GGraphicInfo& item) { items_.push_back(item); }
  void AddTail(GGraphicInfo&& item) { items_.push_back(std::move(item)); }
  void AddHead(const GGraphicInfo& item) { items_.insert(items_.begin(), item); }
  // Stable reordering by the rank `order` gives each item kind (kinds it
  // does not name keep rank 0).
  void Shuffle(const std::map<DWORD, int>& order);
  void Clear() { items_.clear(); }
  void Reserve(size_t count) { items_.reserve(count); }
  const std::vector<GGraphicInfo>& Items() const { return items_; }
  size_t Size() const { return items_.size(); }

 private:
  std::vector<GGraphicInfo> items_;
};

// Why the rejection filter turned a box down (0: it did not).
enum GRejectionReason { GREJECT_NONE = 0, GREJECT_OUTSIDE = 1, GREJECT_TOO_SMALL = 2, GREJECT_EMPTY = 3 };

// The filter the host's renderer culls with: a clip volume, a minimum size
// and the ratio of culled to drawn work it last saw.
class GRejectionFilter {
 public:
  double GetCullingRatio() const { return cullingRatio_; }
  void SetCullingRatio(double ratio) { cullingRatio_ = ratio; }
  tagGClipVolume& ClipVolume() { return clipVolume_; }
  void SetMinimumSize(double size) { minimumSize_ = size; }
  // The box against the filter (the two words are the host's and unused).
  GRejectionReason CheckState(const tagGBox* box, int, int);
  // Counts a rejection the caller acted on.
  void Status() { ++rejections_; }
  DWORD GetRejectionCount() const { return rejections_; }

 private:
  double cullingRatio_ = 0.0;
  double minimumSize_ = 0.0;
  tagGClipVolume clipVolume_;
  DWORD rejections_ = 0;
};

// A host object of a scene that answers level-of-detail questions: asked
// with the mask of a level (1 << index; 0 for a cache with one level), a
// non-zero answer asks for the scene-flag form of RenderCacheInfo::GetLOD and
// GSCENE_DROP_ITEM drops the item.
class GSceneSettingsProvider {
 public:
  virtual HRESULT AskLevel(DWORD levelMask) = 0;

 protected:
  ~GSceneSettingsProvider() = default;
};
constexpr HRESULT GSCENE_DROP_ITEM = static_cast<HRESULT>(0x80040502u);

// Population events a scene's observer is told about: (0, event, object,
// graphic context).
constexpr DWORD GSCENE_EVENT_BEGIN = 26;            // object: the tree
constexpr DWORD GSCENE_EVENT_OCCURRENCE = 27;       // object: a part occurrence about to add items
constexpr DWORD GSCENE_EVENT_OCCURRENCE_DONE = 28;  // object: the previous part occurrence
constexpr DWORD GSCENE_EVENT_END = 29;              // object: the tree
class GScenePopulationObserver {
 public:
  virtual void OnPopulationEvent(DWORD reserved, DWORD event, void* object, JGraphicContext* context) = 0;

 protected:
  ~GScenePopulationObserver() = default;
};

// The item kind of the host's point cloud.
constexpr DWORD GRAPHIC_TYPE_POINT_CLOUD = 255;

// The interface kinds of GScene::SetInterface.
enum GSceneInterface { GSCENE_INTERFACE_SIMPLIFY = 16 };

class GScene {
 public:
  static constexpr int kCollectionCount = 2;
  static constexpr int kOpaqueCollection = 0;       // everything drawn solid
  static constexpr int kTransparentCollection = 1;  // drawn after, blended

  // (flags, storage object or null, host data, camera), as the host builds
  // scenes; the reference scene keeps the storage (a counted IUnknown) and a
  // copy of the camera.
  explicit GScene(DWORD flags = 0, void* storage = nullptr, void* data = nullptr, tagGCamera* camera = nullptr);
  ~GScene();
  GScene(const GScene&) = delete;
  GScene& operator=(const GScene&) = delete;

  DWORD GetFlags() const { return flags_; }
  void SetFlags(DWORD flags) { flags_ = flags; }
  DWORD GetFlags2() const { return flags2_; }
  void SetFlags2(DWORD flags) { flags2_ = flags; }
  // The object the scene is kept in (no reference added), or null.
  IUnknown* GetStorage() const { return storage_; }
  void SetStorage(IUnknown* storage);

  HRESULT SetRange(const tagGBox* box);
  const tagGBox& GetRange() const { return range_; }
  // The two words of the last Save or Load.
  DWORD GetSavedA() const { return a_; }
  DWORD GetSavedB() const { return b_; }

  tagGCamera& Camera() { return camera_; }
  // The view's clip volume (the first planes are the view's clip planes).
  tagGClipVolume& ClipVolume() { return clipVolume_; }
  // The filter, or null when the scene has none.
  GRejectionFilter* GetRejectionFilter() { return hasFilter_ ? &filter_ : nullptr; }
  void EnableRejectionFilter(bool on) { hasFilter_ = on; }
  // Settings by id; `fallback` when the scene has none.
  double GetSetting(DWORD id, double fallback) const;
  void SetSetting(DWORD id, double value) { settings_[id] = value; }
  DWORD GetRenderMode() const { return renderMode_; }
  void SetRenderMode(DWORD mode) { renderMode_ = mode; }

  GGraphicInfoCollection& Collection(int index) { return collections_[index]; }
  const GGraphicInfoCollection& Collection(int index) const { return collections_[index]; }
  // Every item of every collection, in collection order.
  std::vector<const GGraphicInfo*> AllItems() const;
  // The item map: display overrides by roadmap the host applies.
  std::multimap<JRoadmap, GOverrideItem>& ItemMap() { return itemMap_; }
  // The display context's render phase, set by InitializeDisplayContext.
  void InitializeDisplayContext(int phase) { displayPhase_ = phase; }
  HRESULT SetInterface(GSceneInterface kind, void* object);
  void* GetInterface(GSceneInterface kind) const;
  // Debug drawing: boxes in packed styles.
  void DrawDebugBox(const tagGBox& box, DWORD styleWord) { debugBoxes_.emplace_back(box, styleWord); }
  const std::vector<std::pair<tagGBox, DWORD>>& DebugBoxes() const { return debugBoxes_; }
  // Empties what `mask` names: 0x1 the collections, 0x2 the debug boxes,
  // 0x4 the item map; a null scene purges nothing.
  static void Purge(GScene* scene, DWORD mask);
  // SceneGraphAdviseSink calls seen by this scene.
  DWORD GetAdviseCount() const { return adviseCount_; }
  void Advise() { ++adviseCount_; }
  // Host objects of the scene (not owned; null: none).
  GSceneSettingsProvider* GetSettingsProvider() const { return settingsProvider_; }
  void SetSettingsProvider(GSceneSettingsProvider* provider) { settingsProvider_ = provider; }
  GScenePopulationObserver* GetPopulationObserver() const { return observer_; }
  void SetPopulationObserver(GScenePopulationObserver* observer) { observer_ = observer; }
  // Reserves room for `count` more items in the opaque collection.
  void ReserveItems(size_t count);

  // Writes or reads the "Scene" stream of `storage`. E_INVALIDARG for a
  // null storage; a stream that is short or of another version gives
  // STG_E_READFAULT or E_UNEXPECTED and leaves the scene unchanged.
  HRESULT Save(IStorage* storage, DWORD a, DWORD b);
  HRESULT Load(IStorage* storage, DWORD a, DWORD b);

 private:
  DWORD flags_;
  DWORD flags2_ = 0;
  IUnknown* storage_ = nullptr;
  tagGBox range_;
  DWORD a_ = 0;
  DWORD b_ = 0;
  tagGCamera camera_;
  tagGClipVolume clipVolume_;
  GRejectionFilter filter_;
  bool hasFilter_ = false;
  std::map<DWORD, double> settings_;
  DWORD renderMode_ = 0;
  int displayPhase_ = 0;
  GGraphicInfoCollection collections_[kCollectionCount];
  std::multimap<JRoadmap, GOverrideItem> itemMap_;
  void* simplifyInterface_ = nullptr;
  std::vector<std::pair<tagGBox, DWORD>> debugBoxes_;
  DWORD adviseCount_ = 0;
  GSceneSettingsProvider* settingsProvider_ = nullptr;
  GScenePopulationObserver* observer_ = nullptr;
};

// Level-of-detail facts of a geometry cache (IJGeometryCache query
// GEOMETRY_CACHE_QUERY_RENDER_INFO): the tolerance of each level, finest
// first, the body's common colour (RGBA, 0: none) and flags.
struct RenderCacheInfo {
  static constexpr int kMaxLevels = 8;
  static constexpr DWORD kFlagPreferCoarse = 0x1;  // draw with level 2
  static constexpr DWORD kKindCoarseLOD = 0x3000;  // kind-word bits that halve the adaptive tolerance
  DWORD levelCount = 0;
  DWORD kindWord = 0;
  double tolerances[kMaxLevels] = {};
  DWORD commonColor = 0;
  DWORD flags = 0;
  bool locked = false;

  // Reads the facts of `cache`; false when it has none.
  static bool Read(IJGeometryCache* cache, RenderCacheInfo* out);
  // The coarsest level whose tolerance is within tolerance / quality (the
  // finest when none is).
  int GetIndex(double tolerance, double quality) const;
  // The single-level form: the level for (tolerance, quality).
  int GetLOD(double tolerance, double quality) const { return GetIndex(tolerance, quality); }
  // The second form: a level of `levelKind` (unused here) for a scene flag.
  int GetLOD(double tolerance, DWORD /*sceneFlag*/, int /*levelKind*/) const { return GetIndex(tolerance, 1.0); }
  int GetMaxIndex() const { return static_cast<int>(levelCount); }
  DWORD GetCommonColor(IJStyleLibrary*) const { return commonColor; }
  DWORD GetCommonStyle() const { return 0; }
  bool IsHomogeneousFaceStyle() const { return commonColor != 0; }
  bool IsLocked() const { return locked; }
};

// The query of IJGeometryCache::Query that answers a RenderCacheInfo.
constexpr DWORD GEOMETRY_CACHE_QUERY_RENDER_INFO = 16;

extern "C" {
// Told (scene, 1) when a population of `scene` ends.
void SceneGraphAdviseSink(GScene* scene, int phase);
// The host's point cloud with a new reference, or S_FALSE and null when
// there is none.
HRESULT JGetPointCloud(IUnknown** out);
}

// Display-tracking texts of an item and of a geometry cache; `mask` is the
// tracking mask (bit 0x4 adds the item's matrix translation).
std::wstring JDescription(GGraphicInfo& item, DWORD mask);
std::wstring JDescription(IJGeometryCache* cache, DWORD mask);

namespace quorra::host {
// Registers (or, with null, removes) the point cloud JGetPointCloud answers.
void SetPointCloud(IUnknown* cloud);
}  // namespace quorra::host
