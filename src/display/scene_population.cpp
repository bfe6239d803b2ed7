// Scene population: turns the occurrence tree into the scene's graphic-info
// items. Most of the work is deciding what not to draw (hidden occurrences,
// occurrences outside the view or too small to see) and how to dim what is
// not being edited.
#include "quorra/scene_population.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>

#include "display/scene_population_internal.h"
#include "quorra/graphic_context.h"
#include "quorra/host/switches.h"
#include "quorra/host/trace.h"
#include "quorra/lifecycle.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "quorra/symbology.h"
#include "quorra/tree.h"
#include "quorra/user_data.h"

namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/dev/tree";
constexpr double kSingleEpsilon = 1.1920928955078125e-7;
constexpr DWORD kNoColor = 0xFFFFFFFEu;
constexpr DWORD kOccAnimatedBit = 0x4;  // flags-ex: an animated matrix is stored
constexpr DWORD kItemKindNeverDimmed = 12;
constexpr DWORD kPrefetchDistance = 8;

// Brings an occurrence's hot part (flags, world matrix, range) into cache.
inline void PrefetchNode(const OccurrenceNode* node) {
  const char* bytes = reinterpret_cast<const char*>(node);
  for (size_t offset = 0; offset < sizeof(OccurrenceNode); offset += 64) __builtin_prefetch(bytes + offset);
  __builtin_prefetch(bytes + sizeof(OccurrenceNode) - 1);  // a node need not start a cache line
}

// Process-wide switches, read on the first population.
struct PopulationSwitches {
  bool displayRange = false;
  bool disableRangeRejection = false;
  bool disableSmallObjectRejection = false;
  bool legacyCulling = false;
  DWORD debugSimpleStyle = 0;
};

const PopulationSwitches& Switches() {
  static const PopulationSwitches switches = [] {
    PopulationSwitches s;
    s.displayRange = JRenderRegistryBOOL(L"IDSDisplayRange", FALSE) || JGetRuntimePreference(3, 0x400, 0) != 0;
    s.disableRangeRejection = JRenderRegistryBOOL(L"IDSDisableRangeRejection", FALSE);
    s.disableSmallObjectRejection = JRenderRegistryBOOL(L"IDSDisableSmallObjectRejection", FALSE);
    // Read with the others; they change nothing here.
    JRenderRegistryBOOL(L"IDSInvertCulling", FALSE);
    JRenderRegistryBOOL(L"IDSValidateRange", FALSE);
    JRenderRegistryBOOL(L"IDSEnableGraphicInfo", FALSE);
    JRenderRegistryBOOL(L"IDSEnableCullRangeBox", FALSE);
    s.legacyCulling = JGetDebugBOOL(L"ENABLE_LEGACY_CULLING", FALSE);
    s.debugSimpleStyle = JGetDebugDWORD(L"DEBUG_SIMPLE_STYLE", 0);
    // This host has no cache-load debugging object to hand the text to.
    JGetDebugLPCWSTR(L"CACHE_LOAD_OVERRIDE", L"");
    return s;
  }();
  return switches;
}

// Scene-graph status and display tracking text, process-wide.
struct StatusState {
  std::mutex mutex;
  std::wstring statusText;
  DWORD statusFlag = 0;
  std::wstring trackingText;
};

StatusState& Status() {
  static StatusState* state = new StatusState();
  return *state;
}

// The packed form of a style word: a plain word reads as an RGB colour.
DWORD AsPacked(DWORD word) { return (word & SYMBOLOGY_PACKED) ? word : quorra::PackColorSymbology(word & 0xFFFFFF); }

DWORD WidthBits(DWORD word) { return word & (7u << 25); }

DWORD PackedRGB(DWORD rgb, DWORD alphaLevel, DWORD widthBits) {
  return SYMBOLOGY_PACKED | quorra::QuantizeLevel4((rgb & 0xFF) / 255.0) |
         (quorra::QuantizeLevel4(((rgb >> 8) & 0xFF) / 255.0) << 4) |
         (quorra::QuantizeLevel4(((rgb >> 16) & 0xFF) / 255.0) << 8) | (alphaLevel << 12) | (6u << 16) | widthBits;
}

// The RGBA colour of a packed word: each channel expanded to 8 bits.
DWORD ColourOfPacked(DWORD word) {
  return quorra::ExpandLevel4(word & 0xF) | (quorra::ExpandLevel4((word >> 4) & 0xF) << 8) |
         (quorra::ExpandLevel4((word >> 8) & 0xF) << 16) | (quorra::ExpandLevel4((word >> 12) & 0xF) << 24);
}

// Per-occurrence display attributes (step b).
struct OccurrenceAttributes {
  bool consideredActive = false;
  bool transparent = false;
  DWORD transparentColor = 0;
  bool userColored = false;
  DWORD userColor = 0;
  bool useIPAStyle = false;
};

DWORD UserDataWord(OccurrenceNode* occurrence, DWORD type) {
  int found = 0;
  void* value = occurrence->GetUserData(type, &found);
  return found ? static_cast<DWORD>(reinterpret_cast<uintptr_t>(value)) : 0;
}

OccurrenceAttributes AttributesOf(AsmTree* tree, OccurrenceNode* occurrence,
                                  const quorra::SceneDisplayParameters& parameters) {
  OccurrenceAttributes a;
  a.consideredActive = (occurrence->GetFlags() & OCC_PARENT_IPA) || occurrence->IsConsideredActive() ||
                       (occurrence == tree->GetRootAssembly() && tree->IsIPAInSAP());
  const DWORD properties = tree->GetProperties();
  if (properties & ASMTREE_CHECK_TRANSPARENT_DISPLAY) {
    a.transparentColor = UserDataWord(occurrence, UD_TRANSPARENT_DISPLAY);
    a.transparent = a.transparentColor != 0;
  }
  if (properties & ASMTREE_CHECK_USER_COLOR) {
    const DWORD user = UserDataWord(occurrence, UD_USER_COLOR);
    if (user) {
      a.userColor = user;
      a.userColored = true;
    }
  }
  a.useIPAStyle = occurrence->GetUseIPAStyle() || (parameters.ipaStyleOnPartSites && occurrence->IsPart());
  return a;
}

// The style word of one item (Item style).
DWORD ItemStyleWord(DWORD base, const OccurrenceAttributes& a, const quorra::SceneDisplayParameters& parameters,
                    bool dimmingMode, bool occurrenceIPA, DWORD kind) {
  const bool dim = parameters.ipaStyleEnabled && dimmingMode && !a.consideredActive && kind != kItemKindNeverDimmed;
  if (!a.transparent && !a.userColored && !a.useIPAStyle && !dim) return base;
  const DWORD alpha = quorra::QuantizeLevel4(parameters.dimPercentage / 100.0);
  if (a.userColored) return PackedRGB(a.userColor, 15, WidthBits(AsPacked(base)));
  const DWORD formBase = AsPacked(parameters.ipaColor != kNoColor ? parameters.ipaStyleWord : base);
  if (a.transparent) return PackedRGB(a.transparentColor, alpha, WidthBits(formBase));
  if (kind == GRAPHIC_TYPE_GEOMETRY_CACHE && occurrenceIPA) return base;
  return SYMBOLOGY_PACKED | (formBase & 0xFFF) | (alpha << 12) | (6u << 16) | WidthBits(formBase);
}

// The tolerance factor of adaptive level of detail.
double ToleranceFactor(bool adaptive, bool ipaOrSpecialKind, double cullingRatio) {
  if (!adaptive) return 1.0;
  if (ipaOrSpecialKind) return 0.5;
  double factor = std::min(1.0, 0.075 / (cullingRatio + 0.01));
  if (factor <= 0.05) factor = 0.05;
  return factor;
}

std::wstring Hex(DWORD value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%X", value);
  return text;
}

void DescribeOccurrence(std::wostringstream& out, OccurrenceNode* occurrence, DWORD mask) {
  wchar_t id[16];
  std::swprintf(id, 16, L"%6u", occurrence->GetAttachmentID());
  std::wstring name = occurrence->GetUserNameW() ? occurrence->GetUserNameW() : L"";
  if (!(mask & 0x8)) {
    const size_t slash = name.rfind(L'\\');
    if (slash != std::wstring::npos) name = name.substr(slash + 1);
  }
  out << id << L", " << name;
  if (!occurrence->IsDisplayable()) out << L", Hidden";
  SiteNode* site = occurrence->GetSite();
  const bool lite = site && site->IsLite();
  out << (lite ? L", Inactive" : L", Active");
  if (lite && occurrence->IsConsideredActive()) out << L", Considered Active";
  if (occurrence->IsIPA()) out << L", IPA";
  if (occurrence->IsFEA()) out << L", FEA";
}

// State shared by the steps of one population.
struct Population {
  AsmTree* tree = nullptr;
  GScene* scene = nullptr;
  JGraphicContext* context = nullptr;
  quorra::SceneDisplayParameters parameters;
  bool culling = false;
  bool noRejection = false;
  bool adaptive = false;
  double cullingRatio = 0.0;
  double tolerance = 0.0;
  double quality = 1.0;
  double smallObjectSize = 0.0;
  bool dimmingMode = false;
  bool animated = false;
  DWORD trackingMask = 0;
  std::wostringstream tracking;
  size_t itemCount = 0;
  OccurrenceNode* lastPart = nullptr;  // for the observer's event 28
  // The last style made, by library and word.
  IJStyleLibrary* lastLibrary = nullptr;
  DWORD lastStyleWord = 0;
  GGlobalStyle3D* lastStyle = nullptr;
};

// The range tests (step c): true when the occurrence is rejected.
bool Rejected(Population& p, OccurrenceNode* occurrence) {
  if (occurrence->IsPossiblyDirty()) return false;
  const tagGBox* range = occurrence->GetRange();
  if (!range || range->IsEmpty() || range->IsNull()) return false;
  const double dx = range->high[0] - range->low[0], dy = range->high[1] - range->low[1],
               dz = range->high[2] - range->low[2];
  const double size = std::sqrt(dx * dx + dy * dy + dz * dz);
  if (size <= kSingleEpsilon) return false;
  const PopulationSwitches& s = Switches();
  if (!s.disableRangeRejection && !p.noRejection && !(p.scene->ClipVolume() && *range)) return true;
  if (!s.disableSmallObjectRejection && !p.noRejection && size < p.smallObjectSize) return true;
  if (s.legacyCulling && p.culling && !p.noRejection && !occurrence->IsIPA() && !occurrence->IsFEA()) {
    if (GRejectionFilter* filter = p.scene->GetRejectionFilter()) {
      const GRejectionReason reason = filter->CheckState(range, 0, 0);
      if (reason >= GREJECT_OUTSIDE && reason <= GREJECT_EMPTY) {
        filter->Status();
        return true;
      }
    }
  }
  return false;
}

// The level of a cache to draw; -1 drops the item or finds no geometry.
int ChooseLevel(const Population& p, const RenderCacheInfo& info, bool occurrenceIPA) {
  GSceneSettingsProvider* provider = p.scene->GetSettingsProvider();
  int index = 0;
  if (info.levelCount > 1) {
    const bool halve = occurrenceIPA || (info.kindWord & RenderCacheInfo::kKindCoarseLOD);
    const double t = ToleranceFactor(p.culling && p.adaptive, halve, p.cullingRatio) * p.tolerance;
    index = info.GetIndex(t, p.quality);
    if (provider) {
      const HRESULT answer = provider->AskLevel(1u << index);
      if (answer == GSCENE_DROP_ITEM) return -1;
      if (answer) index = info.GetLOD(t, p.scene->GetFlags(), 9);
    }
    if (info.flags & RenderCacheInfo::kFlagPreferCoarse) index = 2;
  } else {
    // One level: no adaptive factor.
    if (provider && provider->AskLevel(0) == GSCENE_DROP_ITEM) return -1;
    index = info.GetLOD(p.tolerance, p.quality);
  }
  return index >= 0 && index < info.GetMaxIndex() ? index : -1;
}

// The matrix an occurrence's items are drawn with (step d).
tagG4x4 ItemMatrix(const Population& p, OccurrenceNode* occurrence) {
  if (p.animated) {
    // An animated matrix already settled for this frame is kept.
    if (occurrence->IsAnimated()) return occurrence->GetAnimatedMatrix();
    const tagG4x4* animated =
        occurrence->GetAnimatedMatrixChain(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0xFFFFFFFFu);
    return animated ? *animated : occurrence->GetCurrentToWorld();
  }
  if (occurrence->GetFlagsEx() & kOccAnimatedBit) occurrence->ClearAnimatedMatrix();
  return occurrence->GetCurrentToWorld();
}

// The geometry cache a part site hands every one of its occurrences (a
// common cache and no graphic info object), fetched on the site's first
// drawn occurrence and held, with its level facts, until the site is done.
struct SiteCache {
  bool prepared = false;
  bool shared = false;  // the site hands out its common cache
  IJGeometryCache* cache = nullptr;
  bool hasInfo = false;
  RenderCacheInfo info;

  void Prepare(SiteNode* site, JGraphicContext* context) {
    prepared = true;
    shared = !site->IsAssembly() && site->GetCommonCache() && !site->GetGraphicInfo(0);
    if (!shared || !(cache = site->GetCache(context))) return;
    cache->AddRef();  // held while the site's items are built
    hasInfo = RenderCacheInfo::Read(cache, &info);
  }
  ~SiteCache() {
    if (cache) cache->Release();
  }
};

// Builds the item of one graphic record and adds it to the scene (step f).
// For a cache record, `known` holds the cache's level facts when the caller
// already read them and keeps the cache alive.
void AddItem(Population& p, OccurrenceNode* occurrence, const OccurrenceAttributes& a, const tagG4x4& matrix,
             const GraphicInfo& record, bool firstOfOccurrence, const SiteCache* known = nullptr) {
  GGraphicInfo item;
  item.kind = record.GetType();
  item.SetGraphicInfo(item.kind, record.GetGraphic());
  item.occurrence = occurrence;
  item.matrix = matrix;
  item.excludedFromSectionView = occurrence->IsExcludedFromDynamicSectionView();
  IJStyleLibrary* library = occurrence->GetStyleLibrary();
  DWORD base = occurrence->GetSymbology();
  std::wstring cacheText;
  if (item.kind == GRAPHIC_TYPE_GEOMETRY_CACHE) {
    auto* cache = static_cast<IJGeometryCache*>(record.GetGraphic());
    if (!cache) return;
    RenderCacheInfo read;
    bool hasInfo;
    if (known) {
      hasInfo = known->hasInfo;
    } else {
      cache->AddRef();  // held while its item is built
      hasInfo = RenderCacheInfo::Read(cache, &read);
    }
    const RenderCacheInfo& info = known ? known->info : read;
    const int level = hasInfo ? ChooseLevel(p, info, occurrence->IsIPA()) : -1;
    // An overridden colour wins over the body's own colour.
    const DWORD common = info.GetCommonColor(library);
    if (common && occurrence->GetOverrideColor() == OCC_NO_OVERRIDE_COLOR)
      base = quorra::PackColorSymbology(common & 0xFFFFFF);
    if (p.trackingMask & 0x4) cacheText = JDescription(cache, p.trackingMask);
    if (!known) cache->Release();
    if (level < 0) return;
    item.cache = cache;
    item.lodIndex = level;
  }
  item.styleWord = ItemStyleWord(base, a, p.parameters, p.dimmingMode, occurrence->IsIPA(), item.kind);
  const DWORD simple = Switches().debugSimpleStyle;
  if ((item.styleWord & SYMBOLOGY_PACKED) && (simple & 0x60000000u) == 0x60000000u)
    item.styleWord = SYMBOLOGY_PACKED | (simple & 0x0FFFFFFFu);
  // Neighbouring occurrences mostly share their style.
  if (library != p.lastLibrary || item.styleWord != p.lastStyleWord) {
    p.lastLibrary = library;
    p.lastStyleWord = item.styleWord;
    p.lastStyle = quorra::FindOrCreateSymbologyStyle(library, item.styleWord);
  }
  item.style = p.lastStyle;
  // The drawn colour: a packed word's channels, or a plain word's RGB, opaque.
  item.colour = (item.styleWord & SYMBOLOGY_PACKED) ? ColourOfPacked(item.styleWord)
                                                    : (0xFF000000u | (item.styleWord & 0xFFFFFF));
  if (p.trackingMask & 0x6) {
    p.tracking << (firstOfOccurrence && (p.trackingMask & 0xFF) <= 254 ? L", " : L"\n        ") << L"GIA["
               << p.itemCount << L"] " << JDescription(item, p.trackingMask);
    if (!cacheText.empty()) p.tracking << L", " << cacheText;
  }
  ++p.itemCount;
  // See-through items are drawn after the solid ones.
  const bool translucent = (item.colour >> 24) < 0xFF;
  p.scene->Collection(translucent ? GScene::kTransparentCollection : GScene::kOpaqueCollection)
      .AddTail(std::move(item));
}

// Steps d to f for one displayable, unrejected occurrence. Failures skip the
// occurrence (the access traces them).
void AddOccurrenceItems(Population& p, OccurrenceNode* occurrence, const OccurrenceAttributes& a,
                        SiteCache& siteCache) {
  SiteNode* site = occurrence->GetSite();
  if (!site) return;
  const tagG4x4 matrix = ItemMatrix(p, occurrence);
  if (GScenePopulationObserver* observer = p.scene->GetPopulationObserver(); observer && occurrence->IsPart()) {
    if (p.lastPart) observer->OnPopulationEvent(0, GSCENE_EVENT_OCCURRENCE_DONE, p.lastPart, p.context);
    observer->OnPopulationEvent(0, GSCENE_EVENT_OCCURRENCE, occurrence, p.context);
    p.lastPart = occurrence;
  }
  if (!siteCache.prepared) siteCache.Prepare(site, p.context);
  // A site that hands out its common cache needs no record array.
  if (siteCache.shared) {
    if (siteCache.cache)
      AddItem(p, occurrence, a, matrix, GraphicInfo(GRAPHIC_TYPE_GEOMETRY_CACHE, siteCache.cache), true, &siteCache);
    return;
  }
  int count = 0;
  GraphicInfo* records = nullptr;
  HRESULT hr = occurrence->IsPart() ? static_cast<PartSite*>(site)->BeginAccess(p.context, &count, &records)
                                    : static_cast<AssemblySite*>(site)->BeginAccess(p.context, &count, &records);
  if (FAILED(hr) || !records) return;
  for (int i = 0; i < count; ++i) AddItem(p, occurrence, a, matrix, records[i], i == 0);
  if (occurrence->IsPart())
    static_cast<PartSite*>(site)->EndAccess(p.context, count, records);
  else
    static_cast<AssemblySite*>(site)->EndAccess(p.context, count, records);
}

// Adds the host's point cloud at the head of the opaque collection. Answers
// the failure of asking it for its display interface (E_NOINTERFACE: the
// cloud has nothing to show, which is no failure).
HRESULT AddPointCloud(GScene* scene) {
  IUnknown* cloud = nullptr;
  if (JGetPointCloud(&cloud) != S_OK || !cloud) return S_OK;
  IJGraphicInfo* display = nullptr;
  HRESULT hr = cloud->QueryInterface(IID_IJGraphicInfo, reinterpret_cast<void**>(&display));
  cloud->Release();
  if (hr == E_NOINTERFACE) return S_OK;
  if (FAILED(hr) || !display) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_POINTER, "AsmTree::PopulateScene");
  GGraphicInfo item;
  item.kind = GRAPHIC_TYPE_POINT_CLOUD;
  item.SetGraphicInfo(GRAPHIC_TYPE_POINT_CLOUD, display);
  item.colour = 0xFFFFFFFFu;
  scene->Collection(GScene::kOpaqueCollection).AddHead(item);
  display->Release();  // the host keeps the cloud registered
  return S_OK;
}

}  // namespace

namespace quorra {

SceneDisplayParameters GetSceneDisplayParameters(const AsmTree* tree, const JGraphicContext* context) {
  SceneDisplayParameters p;
  if (context) {
    const bool useContext =
        (context->GetFlags() & GC_IPA_SETTINGS) || (tree && (tree->GetProperties() & ASMTREE_USEIPASTYLE_ON_OCC));
    if (useContext) {
      p.dimPercentage = std::clamp<DWORD>(context->GetDimPercentage(), 7, 33);
      p.ipaStyleEnabled = true;
      p.ipaStyleOnPartSites = context->GetOptions() & GC_OPTION_IPA_STYLE_ON_PART_SITES;
    }
    if (context->GetIPAColor() != kNoColor) p.ipaColor = context->GetIPAColor() & 0xFFFFFF;
  }
  const DWORD color = p.ipaColor == kNoColor ? 0 : p.ipaColor;
  p.ipaStyleWord = PackSymbology((color & 0xFF) / 255.0, ((color >> 8) & 0xFF) / 255.0, ((color >> 16) & 0xFF) / 255.0,
                                 p.dimPercentage / 100.0, 0.85, 0.0, 0.0, 1.0);
  return p;
}

GScene* DefaultScene() {
  static GScene* scene = new GScene(0, nullptr, nullptr, nullptr);
  return scene;
}

namespace {
// The tree whose occurrences the default scene's items name, if any.
std::atomic<const AsmTree*> gDefaultSceneTree{nullptr};
}  // namespace

void ForgetDefaultSceneTree(const AsmTree* tree) {
  const AsmTree* expected = tree;
  if (gDefaultSceneTree.compare_exchange_strong(expected, nullptr)) GScene::Purge(DefaultScene(), 0x7);
}

std::wstring GetDisplayTrackingText() {
  StatusState& state = Status();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.trackingText;
}

}  // namespace quorra

HRESULT AsmTree::PopulateScene(GScene* given) {
  const PopulationSwitches& switches = Switches();
  HRESULT hr = AsmTreeValidate(this);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::PopulateScene");

  Population p;
  p.tree = this;
  p.scene = given ? given : quorra::DefaultScene();
  // Its items will name this tree's occurrences: the tree empties the
  // default scene when it goes first.
  if (!given) quorra::gDefaultSceneTree.store(this);
  GScene* scene = p.scene;
  GScene::Purge(scene, 0x3);
  scene->InitializeDisplayContext(0);
  scene->SetFlags(scene->GetFlags() & ~GSCENE_POPULATING);
  p.culling = scene->GetFlags() & GSCENE_CULLING;
  p.noRejection = scene->GetFlags() & GSCENE_NO_REJECTION;
  p.adaptive = scene->GetFlags2() & GSCENE_ADAPTIVE;
  GRejectionFilter* filter = scene->GetRejectionFilter();
  p.cullingRatio = (p.culling && filter) ? filter->GetCullingRatio() : 0.0;
  p.tolerance = scene->Camera().GetTolerance(nullptr);
  p.smallObjectSize = 2.0 * scene->Camera().GetVoxelSize();
  p.quality = scene->GetSetting(GSCENE_SETTING_QUALITY, 1.0);
  if (p.culling && p.adaptive) p.quality = std::min(p.quality, 1.0);

  if (given) GetOverrideItemMap(scene->ItemMap());
  CutawayContext* cutaway = nullptr;
  p.context = BeginGraphicContext(&cutaway);

  const DWORD savedAnimation = GetAnimationState();
  // 0xFFFFFFFF is the state left behind by ending an animation.
  p.animated = IsValidAnimationState(savedAnimation) && savedAnimation != 0xFFFFFFFFu;
  p.parameters = quorra::GetSceneDisplayParameters(this, p.context);
  scene->SetInterface(GSCENE_INTERFACE_SIMPLIFY, (GetProperties() & (ASMTREE_SIMPLIFYASM_EXCLUDEOCC_DISPLAY |
                                                                     ASMTREE_SIMPLIFYASM_VISIBLEFACE_DISPLAY))
                                                     ? static_cast<void*>(GetSimplifyAsmExcludeOccs())
                                                     : nullptr);
  AssemblyOccurrence* root = GetRootAssembly();
  if (root) {
    const tagGBox* range = root->GetRange();
    scene->SetRange(range);
  }

  if (root && IsDisplayTrackingEnabled()) {
    int found = 0;
    const auto count =
        static_cast<DWORD>(reinterpret_cast<uintptr_t>(root->GetUserData(UD_TRACK_DISPLAY_CALLS, &found)));
    if (found) root->RemoveUserData(UD_TRACK_DISPLAY_CALLS);
    root->AddUserData(UD_TRACK_DISPLAY_CALLS, reinterpret_cast<void*>(static_cast<uintptr_t>(count + 1)));
  }
  p.dimmingMode = IsIPA() || IsFEA();

  p.trackingMask = JGetRuntimePreference(6, 0x1FFFF, 0);
  if (p.trackingMask) p.tracking << L"Populate Scene Graph (" << Hex(p.trackingMask) << L")";

  GScenePopulationObserver* observer = scene->GetPopulationObserver();
  if (observer) observer->OnPopulationEvent(0, GSCENE_EVENT_BEGIN, this, p.context);
  if (SiteManager* parts = GetPartSiteManager()) {
    size_t occurrences = 0;
    for (SiteNode* site : parts->Nodes())
      if (site) occurrences += site->GetOccurrencesList()->GetCount();
    scene->ReserveItems(occurrences);
  }

  SiteManager* managers[2] = {p.context ? GetAssemblySiteManager() : nullptr, GetPartSiteManager()};
  for (SiteManager* manager : managers) {
    if (!manager) continue;
    for (SiteNode* site : manager->Nodes()) {
      if (!site) continue;
      const NodeList<OccurrenceNode>* list = site->GetOccurrencesList();
      const DWORD count = list->GetCount();
      SiteCache siteCache;
      for (DWORD i = 0; i < count; ++i) {
        // A site's occurrences lie far apart in memory: ask for the ones
        // a few steps ahead while this one is handled.
        if (i + kPrefetchDistance < count) PrefetchNode(list->GetAt(i + kPrefetchDistance));
        OccurrenceNode* occurrence = list->GetAt(i);
        if (!occurrence) continue;
        if (!occurrence->IsDisplayable() && !occurrence->IsGhostMode()) {
          if (p.trackingMask & 0x8) {
            p.tracking << L"\n";
            DescribeOccurrence(p.tracking, occurrence, p.trackingMask);
          }
          continue;
        }
        const OccurrenceAttributes attributes = AttributesOf(this, occurrence, p.parameters);
        if (p.context) {
          DWORD flags = p.context->GetFlags() & ~(GC_SIMPLIFIED_OCC | GC_IPA_OCC);
          if (occurrence->IsSimplified()) flags |= GC_SIMPLIFIED_OCC;
          if (occurrence->IsIPA()) flags |= GC_IPA_OCC;
          p.context->SetFlags(flags);
        }
        if (Rejected(p, occurrence)) continue;
        if (switches.displayRange && occurrence->IsPart())
          if (const tagGBox* range = occurrence->GetRange(); range && !range->IsEmpty())
            scene->DrawDebugBox(*range, quorra::PackSymbology(0, 1, 0, 1, 0.85, 0, 0, 1));
        if (p.trackingMask & 0x6) {
          p.tracking << L"\n";
          DescribeOccurrence(p.tracking, occurrence, p.trackingMask);
        }
        AddOccurrenceItems(p, occurrence, attributes, siteCache);
      }
    }
  }

  if (observer) {
    if (p.lastPart) observer->OnPopulationEvent(0, GSCENE_EVENT_OCCURRENCE_DONE, p.lastPart, p.context);
    observer->OnPopulationEvent(0, GSCENE_EVENT_END, this, p.context);
  }
  if (p.context) p.context->SetFlags(p.context->GetFlags() & ~(GC_SIMPLIFIED_OCC | GC_IPA_OCC));
  if (GetAnimationState() != savedAnimation) SetAnimationState(savedAnimation);
  EndGraphicContext(p.context, cutaway);
  const HRESULT result = AddPointCloud(scene);

  if (p.trackingMask) {
    p.tracking << L"\n";
    StatusState& state = Status();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.trackingText = p.tracking.str();
    if (!(p.trackingMask & 0x200)) OutputDebugStringW(state.trackingText.c_str());
  } else {
    StatusState& state = Status();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.trackingText.clear();
  }
  SceneGraphAdviseSink(scene, 1);
  return result;
}

GScene* AsmTree::GetScene(DWORD flags) {
  if (!scene_) {
    scene_ = new (std::nothrow) GScene(0, nullptr, nullptr, nullptr);
    if (!scene_) {
      QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AsmTree::GetScene");
      return nullptr;
    }
  }
  if (flags & 0x2) GScene::Purge(scene_, 127);
  if (flags & 0x1) PopulateScene(scene_);
  return scene_;
}

HRESULT AsmTree::InvalidateScene() {
  if (!scene_) GScene::Purge(nullptr, 127);
  return S_OK;
}

extern "C" HRESULT PopulateSceneFromIDS(GScene* scene, AsmTree* tree) {
  if (!tree) return QUORRA_TRACE_FAIL(E_POINTER, "PopulateSceneFromIDS");
  if (!scene) {
    scene = tree->GetScene(3);
    if (!scene) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "PopulateSceneFromIDS");
  }
  return tree->PopulateScene(scene);
}

extern "C" DWORD SetDebugSceneGraphStatus(const wchar_t* text) {
  StatusState& state = Status();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.statusText = text ? text : L"";
  state.statusFlag = JGetRuntimePreference(6, 0x1FFFF, 0);
  return state.statusFlag;
}

extern "C" const wchar_t* GetDebugSceneGraphStatus() {
  StatusState& state = Status();
  std::lock_guard<std::mutex> lock(state.mutex);
  return (state.statusFlag && !state.statusText.empty()) ? state.statusText.c_str() : nullptr;
}
