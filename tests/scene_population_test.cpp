// Scene population on small in-memory assemblies: what reaches the
// reference scene, with which matrix, style and level of detail.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>
#include <quorra/refhost/sample.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "support/assembly_builder.h"
#include "support/storage_support.h"

namespace quorra::test {
namespace {

// A cache that reports fixed levels of detail.
class LevelCache final : public host::ComObject<IJGeometryCache> {
 public:
  explicit LevelCache(std::vector<double> tolerances, DWORD commonColor = 0)
      : tolerances_(std::move(tolerances)), commonColor_(commonColor) {}
  HRESULT GetTypedGraphic(DWORD*, void**, DWORD) override { return E_FAIL; }
  HRESULT SetTypedGraphic(DWORD, void*, DWORD) override { return S_OK; }
  HRESULT Query(DWORD query, void* result) override {
    if (query != GEOMETRY_CACHE_QUERY_RENDER_INFO) return E_INVALIDARG;
    auto* info = static_cast<RenderCacheInfo*>(result);
    for (double t : tolerances_) info->tolerances[info->levelCount++] = t;
    info->commonColor = commonColor_;
    return S_OK;
  }

 private:
  ~LevelCache() override = default;
  std::vector<double> tolerances_;
  DWORD commonColor_;
};

// Population reads its switches once per process: turn on the range boxes
// and legacy culling before the first test populates anything. Neither
// changes what the other tests check (legacy culling needs scene culling
// and a rejection filter that turns a box down).
class PopulationSwitchesOn : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(host::SetSetting(L"IDSDisplayRange", L"1"), S_OK);
    ASSERT_EQ(host::SetSetting(L"ENABLE_LEGACY_CULLING", L"1"), S_OK);
  }
};
[[maybe_unused]] ::testing::Environment* const kSwitches =
    ::testing::AddGlobalTestEnvironment(new PopulationSwitchesOn);

constexpr DWORD kRed = 0x0000FF;
constexpr DWORD kBlue = 0xFF0000;

// top.asm with parts a (id 1, at x = 0), b (id 2, at x = 5) and a tiny part
// c (id 3, at x = 2): each part 1 unit wide unless tiny.
struct Scene {
  AssemblyBuilder builder;
  AssemblyOccurrence* root = nullptr;
  OccurrenceNode* a = nullptr;
  OccurrenceNode* b = nullptr;
  OccurrenceNode* c = nullptr;
  GScene scene;

  explicit Scene(bool pointC = false) {
    const std::vector<double> levels = {0.001, 0.01, 0.1};
    const tagGBox unit = Box(0, 0, 0, 1, 1, 1);
    const tagGBox tiny = pointC ? Box(0, 0, 0, 0, 0, 0) : Box(0, 0, 0, 1e-4, 1e-4, 1e-4);
    AssemblySite* top = builder.Assembly(L"top");
    PartSite* pa = builder.Part(L"a", &unit);
    PartSite* pb = builder.Part(L"b", &unit);
    PartSite* pc = builder.Part(L"c", &tiny);
    for (PartSite* site : {pa, pb, pc}) {
      // The count starts at 0: the site takes the only reference.
      site->SetCommonCache(static_cast<IJGeometryCache*>(new LevelCache(levels)));
    }
    builder.Place(top, pa, tagG4x4::Translation(0, 0, 0), 1);
    builder.Place(top, pb, tagG4x4::Translation(5, 0, 0), 2);
    builder.Place(top, pc, tagG4x4::Translation(2, 0, 0), 3);
    root = builder.Build(top);
    a = At(root, {1});
    b = At(root, {2});
    c = At(root, {3});
    a->SetSymbology(PackColorSymbology(kRed));
    b->SetSymbology(PackColorSymbology(kRed));
  }
  AsmTree* Tree() { return builder.Tree(); }
  HRESULT Populate() { return Tree()->PopulateScene(&scene); }
  // The items drawn for an occurrence.
  std::vector<const GGraphicInfo*> ItemsOf(const OccurrenceNode* occurrence) const {
    std::vector<const GGraphicInfo*> found;
    for (const GGraphicInfo* item : scene.AllItems())
      if (item->occurrence == occurrence) found.push_back(item);
    return found;
  }
  std::set<const OccurrenceNode*> Drawn() const {
    std::set<const OccurrenceNode*> drawn;
    for (const GGraphicInfo* item : scene.AllItems()) drawn.insert(item->occurrence);
    return drawn;
  }
};

TEST(ScenePopulation, HiddenAndCulledOccurrencesAreLeftOut) {
  Scene s;
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_EQ(s.Drawn(), (std::set<const OccurrenceNode*>{s.a, s.b}));  // c is too small to see
  EXPECT_EQ(s.scene.GetAdviseCount(), 1u);

  ASSERT_EQ(s.b->Hide(TRUE), S_OK);
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_EQ(s.Drawn(), (std::set<const OccurrenceNode*>{s.a}));  // and the earlier items are gone

  // Only x <= 3 is in view: a part at x = 5 lies outside the clip volume.
  ASSERT_EQ(s.b->Show(TRUE), S_OK);
  s.scene.ClipVolume().AddPlane(-1, 0, 0, 3);
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_EQ(s.Drawn(), (std::set<const OccurrenceNode*>{s.a}));
}

TEST(ScenePopulation, NoRejectionFlagKeepsCulledAndSmallOccurrences) {
  Scene s;
  s.scene.ClipVolume().AddPlane(-1, 0, 0, 3);
  s.scene.SetFlags(GSCENE_NO_REJECTION);
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_EQ(s.Drawn(), (std::set<const OccurrenceNode*>{s.a, s.b, s.c}));
}

TEST(ScenePopulation, SmallObjectRejectionFollowsTheVoxelSize) {
  Scene s;
  // A camera far away makes a unit part smaller than two pixels...
  s.scene.Camera().eye = tagGPosition{0, 0, 1e6};
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_TRUE(s.Drawn().empty());
  // ...and a close one makes the tiny part big enough.
  s.scene.Camera().eye = tagGPosition{0, 0, 1e-2};
  s.scene.Camera().viewportHeight = 100000;
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_EQ(s.Drawn().count(s.c), 1u);
}

TEST(ScenePopulation, ZeroSizeRangeIsNeverRejected) {
  Scene s(true);                                  // c is a single point
  s.scene.ClipVolume().AddPlane(-1, 0, 0, -100);  // nothing with x > -100 is in view
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_EQ(s.Drawn(), (std::set<const OccurrenceNode*>{s.c}));
}

TEST(ScenePopulation, LegacyCullingAsksTheRejectionFilterWhenCulling) {
  struct Case {
    DWORD flags;
    bool filter;
    bool bDrawn;
  };
  // The filter sees only x <= 3 (b lies at x = 5); the scene's own view is
  // unbounded.
  const Case cases[] = {{GSCENE_CULLING, true, false},
                        {GSCENE_CULLING | GSCENE_NO_REJECTION, true, true},
                        {0, true, true},
                        {GSCENE_CULLING, false, true}};
  for (const Case& c : cases) {
    Scene s;
    s.scene.SetFlags(c.flags);
    s.scene.EnableRejectionFilter(c.filter);
    if (GRejectionFilter* filter = s.scene.GetRejectionFilter()) filter->ClipVolume().AddPlane(-1, 0, 0, 3);
    ASSERT_EQ(s.Populate(), S_OK);
    EXPECT_EQ(s.Drawn().count(s.b), c.bDrawn ? 1u : 0u) << c.flags << " " << c.filter;
    if (c.filter) {
      EXPECT_EQ(s.scene.GetRejectionFilter()->GetRejectionCount(), c.bDrawn ? 0u : 1u);
    }
  }
}

TEST(ScenePopulation, RangeBoxesAreDrawnForDrawnParts) {
  Scene s;
  ASSERT_EQ(s.Populate(), S_OK);  // c is too small: no box
  const DWORD green = PackSymbology(0, 1, 0, 1, 0.85, 0, 0, 1);
  ASSERT_EQ(s.scene.DebugBoxes().size(), 2u);
  EXPECT_TRUE(SameBox(s.scene.DebugBoxes()[0].first, *s.a->GetRange()));
  EXPECT_TRUE(SameBox(s.scene.DebugBoxes()[1].first, *s.b->GetRange()));
  for (const auto& [box, style] : s.scene.DebugBoxes()) EXPECT_EQ(style, green);
  ASSERT_EQ(s.Populate(), S_OK);  // the earlier boxes are gone
  EXPECT_EQ(s.scene.DebugBoxes().size(), 2u);
}

TEST(ScenePopulation, ItemsCarryTheWorldMatrixAndTheOverrideColour) {
  Scene s;
  ASSERT_EQ(s.b->SetOverrideColor(0xFF000000u | kBlue), S_OK);  // RGBA
  ASSERT_EQ(s.Populate(), S_OK);
  auto a = s.ItemsOf(s.a);
  auto b = s.ItemsOf(s.b);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_TRUE(b[0]->matrix.IsEqual(tagG4x4::Translation(5, 0, 0)));
  EXPECT_EQ(a[0]->colour, 0xFF0000FFu);  // red, opaque
  EXPECT_EQ(b[0]->colour, 0xFFFF0000u);  // the override's blue
  ASSERT_NE(b[0]->style, nullptr);
}

TEST(ScenePopulation, LevelOfDetailFollowsTheCameraTolerance) {
  struct Case {
    double pixels;  // tolerance in pixels
    int level;
  };
  // One pixel at the default camera is about 0.0108 units.
  const Case cases[] = {{0.05, 0}, {1.0, 1}, {20.0, 2}};
  for (const Case& c : cases) {
    Scene s;
    s.scene.Camera().tolerancePixels = c.pixels;
    ASSERT_EQ(s.Populate(), S_OK);
    auto items = s.ItemsOf(s.a);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->lodIndex, c.level) << c.pixels;
  }
}

TEST(ScenePopulation, AdaptiveCullingCoarsensUpToFactorOneTwentieth) {
  // Tolerance factor 0.05 at a culling ratio of 1.49 or more: a level of
  // tolerance 0.01 needs a base tolerance of 0.2.
  for (double ratio : {1.49, 5.0}) {
    Scene s;
    s.scene.SetFlags(GSCENE_CULLING);
    s.scene.SetFlags2(GSCENE_ADAPTIVE);
    s.scene.EnableRejectionFilter(true);
    s.scene.GetRejectionFilter()->SetCullingRatio(ratio);
    s.scene.Camera().tolerancePixels = 0.2 / s.scene.Camera().GetVoxelSize();
    ASSERT_EQ(s.Populate(), S_OK);
    auto items = s.ItemsOf(s.a);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->lodIndex, 1) << ratio;
  }
}

TEST(ScenePopulation, DimmingPercentageIsClampedFromTheContext) {
  struct Case {
    DWORD contextFlags;
    DWORD percentage;
    DWORD expected;
  };
  const Case cases[] = {{GC_IPA_SETTINGS, 50, 33}, {GC_IPA_SETTINGS, 3, 7}, {GC_IPA_SETTINGS, 20, 20}, {0, 50, 15}};
  for (const Case& c : cases) {
    AssemblyBuilder builder;
    JGraphicContext context;
    context.SetFlags(c.contextFlags);
    context.SetDimPercentage(c.percentage);
    const SceneDisplayParameters p = GetSceneDisplayParameters(builder.Tree(), &context);
    EXPECT_EQ(p.dimPercentage, c.expected) << c.percentage;
    EXPECT_EQ(p.ipaStyleEnabled, c.contextFlags != 0);
  }
}

TEST(ScenePopulation, IPADimsOnlyInactiveOccurrences) {
  Scene s;
  JGraphicContext context;
  context.SetFlags(GC_IPA_SETTINGS);
  context.SetDimPercentage(20);
  s.Tree()->SetGraphicContext(&context);
  s.Tree()->SetIPA();
  s.a->SetConsideredActive();
  ASSERT_EQ(s.Populate(), S_OK);
  s.Tree()->SetGraphicContext(nullptr);
  auto a = s.ItemsOf(s.a);
  auto b = s.ItemsOf(s.b);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(a[0]->styleWord, PackColorSymbology(kRed));  // active: untouched
  // Inactive: red kept, alpha 0.2 quantised (3), material level 6.
  EXPECT_EQ(b[0]->styleWord & 0xFFF, PackColorSymbology(kRed) & 0xFFF);
  EXPECT_EQ((b[0]->styleWord >> 12) & 0xF, 3u);
  EXPECT_EQ((b[0]->styleWord >> 16) & 0x7, 6u);
  EXPECT_LT(b[0]->colour >> 24, 0xFFu);
}

TEST(ScenePopulation, UserColourWinsOverTransparentDisplay) {
  Scene s;
  s.Tree()->SetCheckTransparentDisplayUserData(1);
  s.Tree()->SetCheckUserColorUserData(1);
  s.a->AddUserData(UD_TRANSPARENT_DISPLAY, reinterpret_cast<void*>(uintptr_t{0x00FF00}));
  s.a->AddUserData(UD_USER_COLOR, reinterpret_cast<void*>(uintptr_t{kBlue}));
  s.b->AddUserData(UD_TRANSPARENT_DISPLAY, reinterpret_cast<void*>(uintptr_t{0x00FF00}));
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_EQ(s.ItemsOf(s.a)[0]->colour, 0xFFFF0000u);           // opaque blue
  EXPECT_EQ(s.ItemsOf(s.b)[0]->colour & 0xFFFFFF, 0x00FF00u);  // green, see-through
  EXPECT_LT(s.ItemsOf(s.b)[0]->colour >> 24, 0xFFu);
}

TEST(ScenePopulation, AnimatedMatricesAreUsedWhileTheStateIsValid) {
  Scene s;
  const tagG4x4 moved = tagG4x4::Translation(0, 7, 0);
  // No animation running: a stored animated matrix is dropped.
  s.a->SetAnimatedMatrix(moved, tagG4x4());
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_TRUE(s.ItemsOf(s.a)[0]->matrix.IsEqual(tagG4x4()));
  EXPECT_FALSE(s.a->IsAnimated());

  s.Tree()->SetAnimationState(5);
  s.a->SetAnimatedMatrix(moved, tagG4x4());
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_TRUE(s.ItemsOf(s.a)[0]->matrix.IsEqual(moved));
  EXPECT_TRUE(s.ItemsOf(s.b)[0]->matrix.IsEqual(tagG4x4::Translation(5, 0, 0)));
  EXPECT_EQ(s.Tree()->GetAnimationState(), 5u);
}

TEST(ScenePopulation, DisplayTrackingCountsCallsOnTheRoot) {
  Scene s;
  s.Tree()->EnableDisplayTracking();
  for (uintptr_t expected = 1; expected <= 3; ++expected) {
    ASSERT_EQ(s.Populate(), S_OK);
    int found = 0;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s.root->GetUserData(UD_TRACK_DISPLAY_CALLS, &found)), expected);
  }
}

TEST(ScenePopulation, GetSceneAndPopulateFromIDS) {
  Scene s;
  GScene* own = s.Tree()->GetScene(0);
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->AllItems().size(), 0u);
  ASSERT_EQ(PopulateSceneFromIDS(nullptr, s.Tree()), S_OK);
  EXPECT_EQ(s.Tree()->GetScene(0), own);
  EXPECT_EQ(own->GetAdviseCount(), 2u);  // once in GetScene(3), once more
  EXPECT_EQ(own->AllItems().size(), 2u);
  EXPECT_EQ(PopulateSceneFromIDS(nullptr, nullptr), E_POINTER);
  // Without a scene, PopulateScene fills the process-wide default scene.
  ASSERT_EQ(s.Tree()->PopulateScene(nullptr), S_OK);
  EXPECT_EQ(DefaultScene()->AllItems().size(), 2u);
  EXPECT_NE(DefaultScene(), own);
}

TEST(ScenePopulation, TheDefaultSceneForgetsTheItemsOfADeletedTree) {
  auto other = std::make_unique<Scene>();
  {
    Scene s;
    ASSERT_EQ(s.Tree()->PopulateScene(nullptr), S_OK);
    ASSERT_EQ(DefaultScene()->AllItems().size(), 2u);
    // Another tree's own scene leaves the default one alone.
    ASSERT_EQ(other->Populate(), S_OK);
    other.reset();
    EXPECT_EQ(DefaultScene()->AllItems().size(), 2u);
  }
  // Its items named the occurrences of the tree that went.
  EXPECT_EQ(DefaultScene()->AllItems().size(), 0u);
}

TEST(ScenePopulation, DebugStatusTextNeedsTheFlagAndText) {
  ASSERT_EQ(host::SetSetting(L"RuntimePreference\\6", L"0x20200"), S_OK);
  EXPECT_EQ(SetDebugSceneGraphStatus(L"busy"), 0x200u);  // masked with 0x1FFFF
  ASSERT_NE(GetDebugSceneGraphStatus(), nullptr);
  EXPECT_STREQ(GetDebugSceneGraphStatus(), L"busy");
  EXPECT_EQ(SetDebugSceneGraphStatus(L""), 0x200u);
  EXPECT_EQ(GetDebugSceneGraphStatus(), nullptr);

  ASSERT_EQ(host::SetSetting(L"RuntimePreference\\6", L"0"), S_OK);
  EXPECT_EQ(SetDebugSceneGraphStatus(L"busy"), 0u);
  EXPECT_EQ(GetDebugSceneGraphStatus(), nullptr);
}

TEST(ScenePopulation, IPAColourReplacesTheColourOfDimmedOccurrences) {
  Scene s;
  JGraphicContext context;
  context.SetFlags(GC_IPA_SETTINGS);
  context.SetDimPercentage(50);      // clamped to 33
  context.SetIPAColor(0xAB00FF00u);  // green; byte 3 is not part of the colour
  s.Tree()->SetGraphicContext(&context);
  s.Tree()->SetIPA();
  s.a->SetConsideredActive();
  ASSERT_EQ(s.Populate(), S_OK);
  s.Tree()->SetGraphicContext(nullptr);
  // Green at 33 % (quantised to 5), material level 6, width code of width 1.
  const DWORD expected = PackSymbology(0, 1, 0, 0.33, 0.85, 0, 0, 1);
  EXPECT_EQ(s.ItemsOf(s.b)[0]->styleWord, expected);
  EXPECT_EQ(s.ItemsOf(s.a)[0]->styleWord, PackColorSymbology(kRed));
  // Outside IPA and FEA nothing is dimmed, whatever the context says.
  s.Tree()->ClearIPA();
  s.Tree()->SetGraphicContext(&context);
  ASSERT_EQ(s.Populate(), S_OK);
  s.Tree()->SetGraphicContext(nullptr);
  EXPECT_EQ(s.ItemsOf(s.b)[0]->styleWord, PackColorSymbology(kRed));
}

TEST(ScenePopulation, FailedValidationLeavesTheSceneAlone) {
  Scene s;
  ASSERT_EQ(s.Populate(), S_OK);
  const size_t items = s.scene.AllItems().size();
  AsmTree notLive;
  notLive.ObjectLeaked();  // no longer a live tree of the library
  host::ScopedTraceCapture traces;
  EXPECT_EQ(notLive.PopulateScene(&s.scene), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("AsmTree::PopulateScene", E_UNEXPECTED));
  EXPECT_EQ(s.scene.AllItems().size(), items);
  EXPECT_EQ(s.scene.GetAdviseCount(), 1u);
}

// Records the population events a scene's observer is told.
class EventLog final : public GScenePopulationObserver {
 public:
  void OnPopulationEvent(DWORD, DWORD event, void* object, JGraphicContext*) override {
    events.emplace_back(event, object);
  }
  std::vector<std::pair<DWORD, void*>> events;
};

TEST(ScenePopulation, ObserverHearsTheTreeAndEachDrawnPart) {
  Scene s;
  EventLog log;
  s.scene.SetPopulationObserver(&log);
  ASSERT_EQ(s.Populate(), S_OK);
  AsmTree* tree = s.Tree();
  // c is rejected (too small) before its items, so it is never announced.
  const std::vector<std::pair<DWORD, void*>> expected = {
      {GSCENE_EVENT_BEGIN, tree},     {GSCENE_EVENT_OCCURRENCE, s.a},      {GSCENE_EVENT_OCCURRENCE_DONE, s.a},
      {GSCENE_EVENT_OCCURRENCE, s.b}, {GSCENE_EVENT_OCCURRENCE_DONE, s.b}, {GSCENE_EVENT_END, tree}};
  EXPECT_EQ(log.events, expected);
}

// Answers level questions from a table of masks.
class LevelAnswers final : public GSceneSettingsProvider {
 public:
  HRESULT AskLevel(DWORD mask) override {
    asked.push_back(mask);
    auto found = answers.find(mask);
    return found == answers.end() ? S_OK : found->second;
  }
  std::map<DWORD, HRESULT> answers;
  std::vector<DWORD> asked;
};

TEST(ScenePopulation, SettingsProviderIsAskedAboutTheChosenLevel) {
  Scene s;
  LevelAnswers provider;
  s.scene.SetSettingsProvider(&provider);
  s.scene.Camera().tolerancePixels = 1.0;  // level 1 of the three
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_EQ(provider.asked, (std::vector<DWORD>{0x2, 0x2}));  // a and b
  EXPECT_EQ(s.Drawn(), (std::set<const OccurrenceNode*>{s.a, s.b}));

  provider.answers[0x2] = GSCENE_DROP_ITEM;
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_TRUE(s.scene.AllItems().empty());
}

// A point cloud that shows itself (or not) through IJGraphicInfo.
class Cloud final : public host::ComObject<IJGraphicInfo> {
 public:
  explicit Cloud(bool displayable) : displayable_(displayable) {}
  HRESULT BeginAccess(JGraphicContext*, int* count, GraphicInfo** records) override {
    *count = 0;
    *records = nullptr;
    return S_OK;
  }
  HRESULT EndAccess(JGraphicContext*, int, GraphicInfo*) override { return S_OK; }
  void* FindInterface(REFIID iid) override {
    return displayable_ || iid == IID_IUnknown ? host::ComObject<IJGraphicInfo>::FindInterface(iid) : nullptr;
  }

 private:
  ~Cloud() override = default;
  bool displayable_;
};

TEST(ScenePopulation, PointCloudGoesFirstWhenItCanBeDisplayed) {
  Scene s;
  host::ComPtr<Cloud> cloud(new Cloud(true));
  host::SetPointCloud(cloud.Get());
  ASSERT_EQ(s.Populate(), S_OK);
  const auto& solid = s.scene.Collection(GScene::kOpaqueCollection).Items();
  ASSERT_EQ(solid.size(), 3u);
  EXPECT_EQ(solid[0].kind, GRAPHIC_TYPE_POINT_CLOUD);
  EXPECT_EQ(solid[0].GetGraphic(), static_cast<IJGraphicInfo*>(cloud.Get()));

  host::ComPtr<Cloud> hidden(new Cloud(false));
  host::SetPointCloud(hidden.Get());
  ASSERT_EQ(s.Populate(), S_OK);
  EXPECT_EQ(s.scene.Collection(GScene::kOpaqueCollection).Size(), 2u);
  host::SetPointCloud(nullptr);
}

TEST(ScenePopulation, TrackingDescribesSkippedAndDrawnOccurrences) {
  // Bit 0x200 keeps the text from the debugger output.
  for (const wchar_t* mask : {L"0xA", L"0x20A"}) {
    const bool toDebugger = std::wstring(mask) == L"0xA";
    ASSERT_EQ(host::SetSetting(L"RuntimePreference\\6", mask), S_OK);
    Scene s;
    ASSERT_EQ(s.b->Hide(TRUE), S_OK);
    host::ScopedDebugOutputCapture debugger;
    ASSERT_EQ(s.Populate(), S_OK);
    ASSERT_EQ(host::SetSetting(L"RuntimePreference\\6", L"0"), S_OK);
    const std::wstring text = GetDisplayTrackingText();
    EXPECT_EQ(debugger.Text(), toDebugger ? text : L"");
    std::wistringstream lines(text);
    std::vector<std::wstring> got;
    for (std::wstring line; std::getline(lines, line);) got.push_back(line);
    ASSERT_EQ(got.size(), 3u) << std::string(text.begin(), text.end());
    EXPECT_EQ(got[0], L"Populate Scene Graph (" + std::wstring(mask) + L")");
    // Sites in manager order: a is drawn (its item on the same line), b is
    // skipped, c is rejected as too small and not described.
    EXPECT_EQ(got[1].rfind(L"     1, a.par, Active, GIA[0] ", 0), 0u) << std::string(got[1].begin(), got[1].end());
    EXPECT_EQ(got[2], L"     2, b.par, Hidden, Active");
  }
}

// ---- on the gearbox sample, loaded from its documents through refhost ----

constexpr DWORD kApplyAll = MERCURY_OVERRIDES_DOCUMENT_TREE | MERCURY_OVERRIDES_WALK | MERCURY_OVERRIDES_STYLE |
                            MERCURY_OVERRIDES_DISPLAY | MERCURY_OVERRIDES_MATRIX;

class GearboxScene : public ::testing::Test {
 protected:
  void SetUp() override {
    refhost::Install();
    refhost::SampleSummary summary;
    ASSERT_EQ(refhost::WriteGearboxSample(Widen(dir_.Path()).c_str(), &summary), S_OK);
    ASSERT_EQ(AsmTreeCreateAndLoad(summary.topDocument.c_str(), &tree_, nullptr), S_OK);
    ASSERT_EQ(refhost::BindDocuments(tree_), S_OK);
    ASSERT_EQ(tree_->GetRootAssembly()->GetSite()->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document_.Put())),
              S_OK);
    ASSERT_EQ(refhost::SetDocumentTree(document_.Get(), tree_), S_OK);
    scene_.SetFlags(GSCENE_NO_REJECTION);
  }
  void TearDown() override {
    if (document_) refhost::SetDocumentTree(document_.Get(), nullptr);
    refhost::ReleasePersistManagers();
    document_ = nullptr;
    if (tree_) AsmTreeDelete(tree_);
    refhost::Uninstall();
  }

  // Every part occurrence below `from`, `from` included.
  static void Parts(OccurrenceNode* from, std::vector<OccurrenceNode*>* out) {
    if (from->IsPart()) out->push_back(from);
    if (!from->IsAssembly()) return;
    auto* assembly = static_cast<AssemblyOccurrence*>(from);
    for (DWORD i = 0; i < assembly->GetChildCount(); ++i) Parts(assembly->GetChildByIndex(i), out);
  }
  std::set<const OccurrenceNode*> Drawn() const {
    std::set<const OccurrenceNode*> drawn;
    for (const GGraphicInfo* item : scene_.AllItems()) drawn.insert(item->occurrence);
    return drawn;
  }
  // Records a property through Mercury for the occurrence at `ids` and
  // applies the document's table, as the host does after UpdateIDS.
  template <class Write>
  void Override(std::vector<DWORD> ids, Write write) {
    Mercury m;
    DisplayRoadmap rm;
    for (DWORD id : ids) rm.AddLink(id);
    ASSERT_EQ(m.SetContext(document_.Get(), &rm), S_OK);
    ASSERT_EQ(write(m), S_OK);
    ASSERT_EQ(m.ApplyOverrides(document_.Get(), kApplyAll), S_OK);
  }

  TempDir dir_;
  AsmTree* tree_ = nullptr;
  host::ComPtr<IUnknown> document_;
  GScene scene_;
};

TEST_F(GearboxScene, EveryPartOccurrenceIsDrawnWithItsDocumentsGeometry) {
  ASSERT_EQ(tree_->PopulateScene(&scene_), S_OK);
  std::vector<OccurrenceNode*> parts;
  Parts(tree_->GetRootAssembly(), &parts);
  ASSERT_GT(parts.size(), 10u);
  std::set<const OccurrenceNode*> expected(parts.begin(), parts.end());
  EXPECT_EQ(Drawn(), expected);
  for (const GGraphicInfo* item : scene_.AllItems()) {
    EXPECT_EQ(item->kind, GRAPHIC_TYPE_GEOMETRY_CACHE);
    EXPECT_EQ(item->cache, item->occurrence->GetSite()->GetCommonCache());
    EXPECT_TRUE(item->matrix.IsEqual(item->occurrence->GetCurrentToWorld()));
  }
  EXPECT_TRUE(scene_.GetRange().IsEqual(*tree_->GetRootAssembly()->GetRange(), 1e-12));
}

TEST_F(GearboxScene, OverriddenHidingAndColourReachTheScene) {
  // The first placement of the top document that is an assembly, and a
  // part placed directly in the top document.
  AssemblyOccurrence* root = tree_->GetRootAssembly();
  OccurrenceNode* assembly = nullptr;
  OccurrenceNode* part = nullptr;
  for (DWORD i = 0; i < root->GetChildCount(); ++i) {
    OccurrenceNode* child = root->GetChildByIndex(i);
    if (!assembly && child->IsAssembly()) assembly = child;
    if (!part && child->IsPart()) part = child;
  }
  ASSERT_NE(assembly, nullptr);
  ASSERT_NE(part, nullptr);
  std::vector<OccurrenceNode*> hidden;
  Parts(assembly, &hidden);
  ASSERT_FALSE(hidden.empty());

  Override({assembly->GetAttachmentID()}, [](Mercury& m) { return m.SetHidden(1); });
  Override({part->GetAttachmentID()}, [](Mercury& m) { return m.SetStyle(PackColorSymbology(0x00FF00)); });
  ASSERT_EQ(tree_->PopulateScene(&scene_), S_OK);

  const std::set<const OccurrenceNode*> drawn = Drawn();
  for (OccurrenceNode* occurrence : hidden) EXPECT_EQ(drawn.count(occurrence), 0u);
  ASSERT_EQ(drawn.count(part), 1u);
  for (const GGraphicInfo* item : scene_.AllItems()) {
    if (item->occurrence == part)
      EXPECT_EQ(item->colour, 0xFF00FF00u);  // opaque green
    else
      EXPECT_NE(item->colour, 0xFF00FF00u);
  }
}

}  // namespace
}  // namespace quorra::test
