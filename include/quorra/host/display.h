// Display-cache interfaces of the host's display library that sites and
// occurrences hold: graphic records (GraphicInfo), the graphic info object
// of a site (IJGraphicInfo), geometry caches (IJGeometryCache) and their
// managers, typed graphics (IJTypedGraphic), the record-access interface of
// override tables and typed graphics (IJGraphicAccess), and the graphic
// context (JGraphicContext) within which display work happens.
#pragma once

#include <cstdint>
#include <vector>

#include "quorra/host/com.h"
#include "quorra/host/geometry.h"
#include "quorra/host/types.h"

class DisplayRoadmap;
class JGraphicContext;
struct IStorage;
class OccurrenceNode;

// Record types the library hands out itself.
constexpr DWORD GRAPHIC_TYPE_GEOMETRY_CACHE = 77;  // the record holds an IJGeometryCache*
constexpr DWORD GRAPHIC_TYPE_TYPED_GRAPHIC = 78;   // the record holds an IJTypedGraphic*

// One graphic record: a type and the graphic it names, with two owned
// buffers (element ids and values) of `count` entries each. Copies duplicate
// the buffers.
class GraphicInfo {
 public:
  GraphicInfo() = default;
  GraphicInfo(DWORD type, void* graphic) : type_(type), graphic_(graphic) {}

  DWORD GetType() const { return type_; }
  void* GetGraphic() const { return graphic_; }
  void SetGraphicInfo(DWORD type, void* graphic) {
    type_ = type;
    graphic_ = graphic;
  }

  DWORD GetCount() const { return static_cast<DWORD>(ids_.size()); }
  const std::vector<DWORD>& GetIds() const { return ids_; }
  const std::vector<double>& GetValues() const { return values_; }
  // Replaces both buffers with `count` entries each (values may be null: 0s).
  void SetBuffers(DWORD count, const DWORD* ids, const double* values);
  // Frees both buffers; the count becomes 0.
  void FreeBuffers();

 private:
  DWORD type_ = 0;
  void* graphic_ = nullptr;
  std::vector<DWORD> ids_;
  std::vector<double> values_;
};

// A list of graphic records: a site's cached geometry (user data 127) and an
// occurrence's cached geometry.
using GraphicInfoList = std::vector<GraphicInfo>;

// {D2CFDEC4-0CA5-11D4-A424-009027317C55}: record access of a document's
// override table and of typed graphics.
constexpr IID IID_IJGraphicAccess = {0xd2cfdec4, 0x0ca5, 0x11d4, {0xa4, 0x24, 0x00, 0x90, 0x27, 0x31, 0x7c, 0x55}};
// {4C6B9E12-7D3A-4F08-B1C5-93E2A07D5F61}
constexpr IID IID_IJGraphicInfo = {0x4c6b9e12, 0x7d3a, 0x4f08, {0xb1, 0xc5, 0x93, 0xe2, 0xa0, 0x7d, 0x5f, 0x61}};
// {4C6B9E13-7D3A-4F08-B1C5-93E2A07D5F61}
constexpr IID IID_IJGeometryCache = {0x4c6b9e13, 0x7d3a, 0x4f08, {0xb1, 0xc5, 0x93, 0xe2, 0xa0, 0x7d, 0x5f, 0x61}};
// {4C6B9E14-7D3A-4F08-B1C5-93E2A07D5F61}
constexpr IID IID_IJGeometryCacheManager = {0x4c6b9e14, 0x7d3a, 0x4f08, {0xb1, 0xc5, 0x93, 0xe2, 0xa0, 0x7d, 0x5f, 0x61}};
// {4C6B9E15-7D3A-4F08-B1C5-93E2A07D5F61}
constexpr IID IID_IJCutawayGeometryCacheManager = {
    0x4c6b9e15, 0x7d3a, 0x4f08, {0xb1, 0xc5, 0x93, 0xe2, 0xa0, 0x7d, 0x5f, 0x61}};
// {4C6B9E16-7D3A-4F08-B1C5-93E2A07D5F61}
constexpr IID IID_IJTypedGraphic = {0x4c6b9e16, 0x7d3a, 0x4f08, {0xb1, 0xc5, 0x93, 0xe2, 0xa0, 0x7d, 0x5f, 0x61}};

// Hands out graphic records for a context and takes them back.
struct IJGraphicAccess : IUnknown {
  virtual HRESULT BeginAccess(JGraphicContext* context, int* count, GraphicInfo** records) = 0;  // slot 3
  virtual HRESULT EndAccess(JGraphicContext* context, int count, GraphicInfo* records) = 0;       // slot 4

 protected:
  ~IJGraphicAccess() = default;
};

// The graphic info object a site may carry: it fills the site's records.
struct IJGraphicInfo : IUnknown {
  virtual HRESULT BeginAccess(JGraphicContext* context, int* count, GraphicInfo** records) = 0;  // slot 3
  virtual HRESULT EndAccess(JGraphicContext* context, int count, GraphicInfo* records) = 0;       // slot 4

 protected:
  ~IJGraphicInfo() = default;
};

// A host graphic of a given type.
struct IJTypedGraphic : IUnknown {
  virtual DWORD GetGraphicType() = 0;  // slot 3
  // Ends the access the graphic was handed out for.
  virtual HRESULT EndAccess() = 0;  // slot 4

 protected:
  ~IJTypedGraphic() = default;
};

// The display geometry shared by the occurrences of a site. Slots 5 to 7
// fill the cache from a document's display storage (geometry_cache.h names
// the load kinds and queries); a cache that cannot load answers E_NOTIMPL.
struct IJGeometryCache : IUnknown {
  // The graphic stored under `key` and its type; E_FAIL when none.
  virtual HRESULT GetTypedGraphic(DWORD* type, void** graphic, DWORD key) = 0;  // slot 3
  virtual HRESULT SetTypedGraphic(DWORD type, void* graphic, DWORD key) = 0;    // slot 4
  // Prepares an empty cache for loading.
  virtual HRESULT Initialize() { return E_NOTIMPL; }  // slot 5
  // Loads body `cacheId` (0: the storage's own display data) from a display
  // storage; `kind` says how much, `parameter` is handed on by the loader.
  virtual HRESULT LoadFromStorage(IStorage* /*storage*/, DWORD /*cacheId*/, DWORD /*kind*/, DWORD /*parameter*/) {
    return E_NOTIMPL;
  }  // slot 6
  // Answers query number `query` into `result` (its type depends on the query).
  virtual HRESULT Query(DWORD /*query*/, void* /*result*/) { return E_NOTIMPL; }  // slot 7

 protected:
  ~IJGeometryCache() = default;
};

// The host's registry of geometry caches ("GetIJGeometryCacheManager").
struct IJGeometryCacheManager : IUnknown {
  virtual HRESULT RemoveCache(IJGeometryCache* cache) = 0;  // slot 3

 protected:
  ~IJGeometryCacheManager() = default;
};

// Per-site geometry caches by key, one per cutaway ("CreateCutawayGeometryCacheManager").
struct IJCutawayGeometryCacheManager : IUnknown {
  // The key of the site's own (uncut) cache.
  static constexpr DWORD kDefaultKey = 0;

  virtual BOOL HasCache(DWORD key) = 0;                                   // slot 3
  virtual HRESULT RegisterCache(DWORD key, IJGeometryCache* cache) = 0;  // slot 4
  // The cache to draw with in `context` (no reference added), or null.
  virtual IJGeometryCache* GetCache(JGraphicContext* context) = 0;  // slot 5
  // Fills up to `count` records with the caches of `context`.
  virtual HRESULT GetCaches(JGraphicContext* context, int count, GraphicInfo* records) = 0;  // slot 6
  virtual HRESULT Invalidate(DWORD mode, const DisplayRoadmap* roadmap) = 0;                // slot 7
  // Drops every cache; the manager is released afterwards.
  virtual HRESULT Shutdown() = 0;  // slot 8

 protected:
  ~IJCutawayGeometryCacheManager() = default;
};

QUORRA_INTERFACE_ID(IJGraphicAccess, IID_IJGraphicAccess);
QUORRA_INTERFACE_ID(IJGraphicInfo, IID_IJGraphicInfo);
QUORRA_INTERFACE_ID(IJTypedGraphic, IID_IJTypedGraphic);
QUORRA_INTERFACE_ID(IJGeometryCache, IID_IJGeometryCache);
QUORRA_INTERFACE_ID(IJGeometryCacheManager, IID_IJGeometryCacheManager);
QUORRA_INTERFACE_ID(IJCutawayGeometryCacheManager, IID_IJCutawayGeometryCacheManager);

// {5C3E7A12-94B0-4D6F-8A21-3F0B9C7D2E64}
constexpr IID IID_IJDisplaySettings = {0x5c3e7a12, 0x94b0, 0x4d6f, {0x8a, 0x21, 0x3f, 0x0b, 0x9c, 0x7d, 0x2e, 0x64}};

// The display settings of a view, read by setting id. Colour settings are
// packed colours: byte 0 red, byte 1 green, byte 2 blue, byte 3 alpha.
struct IJDisplaySettings : IUnknown {
  // Slots 0-2: QueryInterface, AddRef, Release (IUnknown).
  virtual HRESULT GetSetting(DWORD id, DWORD* value) = 0;  // slot 3

 protected:
  ~IJDisplaySettings() = default;
};
QUORRA_INTERFACE_ID(IJDisplaySettings, IID_IJDisplaySettings);

// Graphic context flags word.
constexpr DWORD GC_IN_USE = 0x4;          // set while a tree works in the context
constexpr DWORD GC_SIMPLIFIED_OCC = 0x10;  // the occurrence being drawn is simplified
constexpr DWORD GC_IPA_OCC = 0x20;         // the occurrence being drawn is in place activated
constexpr DWORD GC_IPA_SETTINGS = 0x1000;  // the context's IPA display values apply
// Option word.
constexpr DWORD GC_OPTION_IPA_STYLE_ON_PART_SITES = 0x100;
// Drawing-state word.
constexpr DWORD GC_STATE_OCCURRENCE_SCOPE = 0x1000;  // drawing one occurrence (not the whole assembly)

// The host's graphic context: the view's clip volume and cutaway, the
// occurrence being drawn and its roadmap. A plain value the host fills; the
// library reads and sets the fields named here and nothing else.
class JGraphicContext {
 public:
  DWORD GetFlags() const { return flags_; }
  void SetFlags(DWORD flags) { flags_ = flags; }
  DWORD GetDrawingState() const { return drawingState_; }
  void SetDrawingState(DWORD state) { drawingState_ = state; }

  OccurrenceNode* GetCurrentOccurrence() const { return currentOccurrence_; }
  void SetCurrentOccurrence(OccurrenceNode* occurrence) { currentOccurrence_ = occurrence; }
  // The roadmap of the occurrence being drawn (not owned; may be null). A
  // tree that opens the context for a cutaway swaps its own roadmap in.
  DisplayRoadmap* GetRoadmap() const { return roadmap_; }
  void SetRoadmap(DisplayRoadmap* roadmap) { roadmap_ = roadmap; }

  // The cutaway: both fields zero means none.
  void SetCutaway(const void* planes, DWORD planeCount) {
    cutawayPlanes_ = planes;
    cutawayPlaneCount_ = planeCount;
  }
  const void* GetCutawayPlanes() const { return cutawayPlanes_; }
  DWORD GetCutawayPlaneCount() const { return cutawayPlaneCount_; }
  bool HasCutaway() const { return cutawayPlanes_ != nullptr || cutawayPlaneCount_ != 0; }

  // The view's display settings (not owned; may be null).
  IJDisplaySettings* GetDisplaySettings() const { return displaySettings_; }
  void SetDisplaySettings(IJDisplaySettings* settings) { displaySettings_ = settings; }

  const tagGClipVolume& GetClipVolume() const { return clipVolume_; }
  tagGClipVolume& GetClipVolume() { return clipVolume_; }

  // In-place activation display: the dimming percentage, the IPA colour
  // (RGB bytes 0-2; 0xFFFFFFFE: none) and the option word (0x100: the IPA
  // style applies to every occurrence of a part site). Flag GC_IPA_SETTINGS
  // says the context's values are to be used.
  DWORD GetDimPercentage() const { return dimPercentage_; }
  void SetDimPercentage(DWORD percentage) { dimPercentage_ = percentage; }
  DWORD GetIPAColor() const { return ipaColor_; }
  void SetIPAColor(DWORD color) { ipaColor_ = color; }
  DWORD GetOptions() const { return options_; }
  void SetOptions(DWORD options) { options_ = options; }

  // The host's display object of the view (not owned; may be null): asked
  // for the animation timeline (IJTimelineProvider, timeline.h).
  IUnknown* GetDisplayObject() const { return displayObject_; }
  void SetDisplayObject(IUnknown* object) { displayObject_ = object; }

 private:
  DWORD flags_ = 0;
  DWORD drawingState_ = 0;
  OccurrenceNode* currentOccurrence_ = nullptr;
  DisplayRoadmap* roadmap_ = nullptr;
  const void* cutawayPlanes_ = nullptr;
  DWORD cutawayPlaneCount_ = 0;
  tagGClipVolume clipVolume_;
  IJDisplaySettings* displaySettings_ = nullptr;
  DWORD dimPercentage_ = 15;
  DWORD ipaColor_ = 0xFFFFFFFEu;
  DWORD options_ = 0;
  IUnknown* displayObject_ = nullptr;
};
