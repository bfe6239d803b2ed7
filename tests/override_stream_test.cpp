// The override table's stream: the record layout and its conditional fields,
// the bits the writer drops, versions 0 and 1 (with the display-bit upgrade
// decided by the document's filed version), refused versions, round trips,
// damaged streams, the "IOT"/"Default" storage and site-file naming of
// replacement bodies.
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstring>
#include <functional>
#include <vector>

#include "support/byte_stream.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;
using quorra::test::ByteStream;
using Bytes = std::vector<BYTE>;

class FakeDocument final : public ComObject<IUnknown> {};

// Little-endian stream builder for hand-made records.
struct StreamBuilder {
  Bytes bytes;
  StreamBuilder& Word(DWORD value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<BYTE>(value >> (8 * i)));
    return *this;
  }
  StreamBuilder& Words(std::initializer_list<DWORD> values) {
    for (DWORD v : values) Word(v);
    return *this;
  }
  StreamBuilder& Matrix(double translation) {
    tagG4x4 m;
    m(0, 3) = translation;
    const BYTE* raw = reinterpret_cast<const BYTE*>(&m);
    bytes.insert(bytes.end(), raw, raw + 128);
    return *this;
  }
};

DWORD WordAt(const Bytes& bytes, size_t offset) {
  DWORD value = 0;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

Bytes SaveBytes(JIDSOverrideTree& tree) {
  auto stream = ByteStream::Create();
  JIOStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
  EXPECT_EQ(tree.SaveToStream(context), S_OK);
  return stream->Bytes();
}

HRESULT LoadBytes(JIDSOverrideTree& tree, const Bytes& bytes, OverrideTreeType type = OVERRIDE_TREE_DEFAULT,
                  SiteFileToUniversalIdentifierMap* map = nullptr) {
  auto stream = ByteStream::Create(bytes);
  JIOStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
  return tree.LoadFromStreamEx(context, nullptr, type, map);
}

JIDSOverride* Add(JIDSOverrideTree& tree, std::vector<DWORD> path, DWORD type) {
  JIDSOverride* node = nullptr;
  EXPECT_EQ(tree.AddOverride(static_cast<DWORD>(path.size()), path.data(), type, &node), S_OK);
  return node;
}

JIDSOverride* Find(JIDSOverrideTree& tree, std::vector<DWORD> path) {
  JIDSOverride* node = nullptr;
  tree.GetOverride(static_cast<DWORD>(path.size()), path.data(), &node);
  return node;
}

DWORD CountNodes(const JIDSOverride* node) {
  DWORD count = 1;
  if (node->IsAssembly()) {
    auto* assembly = static_cast<const JAsmOverride*>(node);
    for (DWORD i = 0; i < assembly->GetChildCount(); ++i) count += CountNodes(assembly->GetChildByIndex(i));
  }
  return count;
}

JOverrideBodyData* MakeBody(std::initializer_list<std::pair<const DWORD, DWORD>> pairs, double translation,
                            DWORD extra) {
  auto* body = new JOverrideBodyData();
  tagG4x4 m;
  m(0, 3) = translation;
  body->PopulateEx(nullptr, JOverrideBodyData::VersionMap(pairs), m, extra);
  return body;
}

// A tree that sets every stored field somewhere: an assembly child with a
// part below it, a route-keyed part and a plain part.
void FillEveryField(JIDSOverrideTree& tree) {
  JIDSOverride* sub = Add(tree, {7}, IOT_ASSEMBLY);
  sub->SetStyle(11, 0);
  sub->SetAltStyle(12, 0);
  sub->SetCoordSysDisplay(1);
  sub->SetHidden(1);
  sub->AddConfigSetting(3, 2, 0x1234);
  sub->AddConfigSetting(1, 1, 0x5);
  tagG4x4 m;
  m(0, 3) = 4.5;
  sub->SetMatrix(&m);
  sub->SetSolverStatus(9);
  sub->SetVariable(1, 2, 3.25);
  sub->SetVariable(1, 1, -1.0);
  sub->SetAdaptable();
  sub->SetGeometricVersion(77);
  sub->SetOwningCADSaveTime(FILETIME{0x11111111u, 0x22222222u});
  JMemberRoute alt("alt");
  sub->SetAltRoute(&alt);
  sub->AddConstraint(4, 40);
  sub->AddConstraint(2, 20);
  sub->AddOccurrencePropertyOverride(JOET_HIDE_IN_DRAWING, 1);
  sub->AddOccurrencePropertyOverride(JOET_HIDE_IN_SUBASSEMBLY, 0);

  JIDSOverride* part = Add(tree, {7, 3}, IOT_PART);
  part->SetDocID(5);
  part->SetBodyOverrideDocID(6);
  part->SetBodyOverrideVersionData({{1, 10}, {2, 20}});
  part->SetBodyData(MakeBody({{8, 80}, {9, 90}}, 1.5, 0xABCD));
  part->SetCurrentDocPreviousOverrideBodyData(MakeBody({{3, 30}}, 2.5, 0x77));
  part->SetAdjustablePart();
  part->SetSurfacesDisplay(1);

  JMemberRoute route("member-A");
  tree.GetAsmOverride()->AddChild(route, IOT_PART)->SetSolverStatus(3);
  Add(tree, {2}, IOT_PART)->SetCurvesDisplay(1);
}

// ---- layout ----

TEST(OverrideStreamLayout, EmptyTreeIsTwentyBytes) {
  JIDSOverrideTree tree;
  tree.GetAsmOverride()->SetHidden(1);
  const Bytes bytes = SaveBytes(tree);
  ASSERT_EQ(bytes.size(), 20u);
  EXPECT_EQ(WordAt(bytes, 0), 2u);
  EXPECT_EQ(WordAt(bytes, 4) & IOT_ASSEMBLY, IOT_ASSEMBLY);
  EXPECT_EQ(WordAt(bytes, 4) & IOT_HIDDEN, 0u) << "a hidden root is written without the hidden bit";
  EXPECT_EQ(WordAt(bytes, 12), 0u);  // attachment id
  EXPECT_EQ(WordAt(bytes, 16), 0u);  // child count
}

// One part below the root; each case sets one field and says how many bytes
// it adds and which bit announces it.
TEST(OverrideStreamLayout, EachFieldIsWrittenOnlyUnderItsBit) {
  struct Case {
    const char* name;
    std::function<void(JIDSOverride*)> set;
    DWORD p, x;
    size_t extra;
  };
  const Case cases[] = {
      {"style", [](JIDSOverride* n) { n->SetStyle(4, 0); }, IOT_STYLE, 0, 4},
      {"alt style", [](JIDSOverride* n) { n->SetAltStyle(4, 0); }, IOT_ALT_STYLE, 0, 4},
      {"doc id", [](JIDSOverride* n) { n->SetDocID(4); }, 0, IOTX_DOC_ID, 4},
      {"body doc id", [](JIDSOverride* n) { n->SetBodyOverrideDocID(4); }, 0, IOTX_BODY_OVERRIDE_DOC_ID, 4},
      {"version data", [](JIDSOverride* n) { n->SetBodyOverrideVersionData({{1, 2}}); }, 0,
       IOTX_BODY_OVERRIDE_VERSION_DATA, 12},
      {"route",
       [](JIDSOverride* n) {
         JMemberRoute r("ab");  // 3 bytes with the terminator
         n->SetRoute(&r);
       },
       IOT_HAVE_ROUTE, 0, 7},
      {"config", [](JIDSOverride* n) { n->AddConfigSetting(1, 2, 3); }, IOT_HAVE_CONFIG_INFO, 0, 16},
      {"matrix",
       [](JIDSOverride* n) {
         tagG4x4 m;
         n->SetMatrix(&m);
       },
       IOT_OVERRIDE_MATRIX, 0, 128},
      {"solver status", [](JIDSOverride* n) { n->SetSolverStatus(2); }, IOT_OVERRIDE_STATUS, 0, 4},
      {"body", [](JIDSOverride* n) { n->SetBodyData(MakeBody({{1, 1}}, 0, 0)); }, IOT_OVERRIDE_BODY,
       IOTX_OVERRIDEBODY_PROPS_ON, 4 + 8 + 128 + 4},
      {"variables", [](JIDSOverride* n) { n->SetVariable(1, 1, 1.0); }, IOT_OVERRIDE_VARIABLES, 0, 20},
      {"adaptable", [](JIDSOverride* n) { n->SetAdaptable(); }, IOT_ADAPTABLE, 0, 4},
      {"adjustable", [](JIDSOverride* n) { n->SetAdjustablePart(); }, IOT_ADJUSTABLE_PART, 0, 4},
      {"geometric version", [](JIDSOverride* n) { n->SetGeometricVersion(3); }, 0, IOTX_GEOM_VERSION, 4},
      {"save time", [](JIDSOverride* n) { n->SetOwningCADSaveTime(FILETIME{1, 2}); }, 0, IOTX_OWNING_CAD_SAVE_TIME,
       8},
      {"alt route",
       [](JIDSOverride* n) {
         JMemberRoute r("ab");
         n->SetAltRoute(&r);
       },
       0, IOTX_ALT_ROUTE, 7},
      {"constraints", [](JIDSOverride* n) { n->AddConstraint(1, 2); }, 0, IOTX_OVERRIDE_CONSTRAINTS, 12},
      {"occurrence properties", [](JIDSOverride* n) { n->AddOccurrencePropertyOverride(JOET_HIDE_IN_DRAWING, 1); },
       0, IOTX_OCC_PROPERTIES, 12},
  };
  JIDSOverrideTree baseTree;
  Add(baseTree, {5}, IOT_PART);
  const Bytes base = SaveBytes(baseTree);
  ASSERT_EQ(base.size(), 20u + 12u);
  const DWORD baseP = WordAt(base, 20), baseX = WordAt(base, 24);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JIDSOverrideTree tree;
    c.set(Add(tree, {5}, IOT_PART));
    const Bytes bytes = SaveBytes(tree);
    EXPECT_EQ(bytes.size(), base.size() + c.extra);
    EXPECT_EQ(WordAt(bytes, 20) & ~baseP, c.p);
    EXPECT_EQ(WordAt(bytes, 24) & ~baseX, c.x);
    EXPECT_EQ(WordAt(bytes, 28), 5u);
    // What was written reads back to the same bytes.
    JIDSOverrideTree again;
    ASSERT_EQ(LoadBytes(again, bytes), S_OK);
    EXPECT_EQ(SaveBytes(again), bytes);
  }
}

TEST(OverrideStreamLayout, BitsWithoutDataAreDropped) {
  JIDSOverrideTree tree;
  JIDSOverride* node = Add(tree, {5}, IOT_PART);
  node->GetConfigSettingMap(true);  // present but empty
  node->GetConstraints(true);
  node->GetOccurrencePropertyOverrides(true);
  node->SetBodyData(new JOverrideBodyData());  // empty body map
  node->SetCurrentDocPreviousOverrideBodyData(MakeBody({{1, 1}}, 0, 0));
  node->SetColorOverride(0x123456);
  node->SetProps(node->GetProps() | IOT_HAVE_CONFIG_INFO | IOT_OVERRIDE_VARIABLES |
                 IOT_HAVE_ROUTE | IOT_OVERRIDE_MATRIX | IOT_ADAPTABLE);
  node->SetPropsEx(node->GetPropsEx() | IOTX_OVERRIDE_CONSTRAINTS | IOTX_OCC_PROPERTIES | IOTX_ALT_ROUTE |
                   IOTX_OWNING_CAD_SAVE_TIME);
  const Bytes bytes = SaveBytes(tree);
  ASSERT_EQ(bytes.size(), 32u) << "no field follows the dropped bits";
  const DWORD p = WordAt(bytes, 20), x = WordAt(bytes, 24);
  EXPECT_EQ(p & (IOT_HAVE_CONFIG_INFO | IOT_OVERRIDE_VARIABLES | IOT_OVERRIDE_BODY | IOT_HAVE_ROUTE |
                 IOT_OVERRIDE_MATRIX | IOT_ADAPTABLE),
            0u);
  EXPECT_EQ(x & (IOTX_OVERRIDE_CONSTRAINTS | IOTX_OCC_PROPERTIES | IOTX_OVERRIDEBODY_PROPS_ON | IOTX_COLOR_OVERRIDE |
                 IOTX_ALT_ROUTE | IOTX_OWNING_CAD_SAVE_TIME),
            0u);
  // The previous body's bit is only looked at under the body bit: it may stay
  // in the word, but without the body bit its data is neither written nor read.
  JIDSOverrideTree again;
  ASSERT_EQ(LoadBytes(again, bytes), S_OK);
  EXPECT_EQ(Find(again, {5})->GetCurrentDocPreviousOverrideBodyData(), nullptr);
  EXPECT_NE(node->GetPropsEx() & IOTX_COLOR_OVERRIDE, 0u) << "the node itself keeps its bits";
}

// ---- reading ----

TEST(OverrideStreamRead, HiddenBitOnTheRootIsDroppedAndTypeIsInferred) {
  JIDSOverrideTree tree;
  // Root record without either type bit, with the hidden bit.
  const Bytes bytes = StreamBuilder().Words({2, IOT_HIDDEN | IOT_COORDSYS_ON, 0, 0, 0}).bytes;
  ASSERT_EQ(LoadBytes(tree, bytes), S_OK);
  const DWORD props = tree.GetAsmOverride()->GetProps();
  EXPECT_EQ(props & IOT_HIDDEN, 0u);
  EXPECT_EQ(props & (IOT_ASSEMBLY | IOT_COORDSYS_ON), IOT_ASSEMBLY | IOT_COORDSYS_ON);
  EXPECT_FALSE(tree.IsLoading());
}

TEST(OverrideStreamRead, PreviousBodyKeepsItsOwnCount) {
  StreamBuilder b;
  b.Words({2, IOT_ASSEMBLY, 0, 0, 1});
  b.Words({IOT_PART | IOT_OVERRIDE_BODY, IOTX_OVERRIDEBODY_PROPS_ON | IOTX_PREVIOUS_OVERRIDE_BODY, 4});
  b.Words({2, 1, 10, 2, 20}).Matrix(1.0).Word(0x99);       // body: 2 pairs, matrix, word
  b.Words({3, 5, 50, 6, 60, 7, 70}).Matrix(2.0).Word(0x5);  // previous: 3 pairs
  JIDSOverrideTree tree;
  ASSERT_EQ(LoadBytes(tree, b.bytes), S_OK);
  JIDSOverride* node = Find(tree, {4});
  ASSERT_NE(node, nullptr);
  ASSERT_NE(node->GetBodyData(), nullptr);
  EXPECT_EQ(node->GetBodyData()->GetVersionMap().size(), 2u);
  EXPECT_EQ(node->GetBodyData()->GetExtra(), 0x99u);
  ASSERT_NE(node->GetCurrentDocPreviousOverrideBodyData(), nullptr);
  EXPECT_EQ(node->GetCurrentDocPreviousOverrideBodyData()->GetVersionMap().size(), 3u);
  EXPECT_EQ(node->GetCurrentDocPreviousOverrideBodyData()->GetMatrix()(0, 3), 2.0);
  EXPECT_EQ(SaveBytes(tree), b.bytes);
}

// A version-1 stream: no dwPropsEx; the older body form's word that is not a
// count is read again as the next field.
Bytes VersionOneStream(DWORD version) {
  StreamBuilder b;
  b.Words({version, IOT_ASSEMBLY, 0, 2});
  b.Words({IOT_PART | IOT_STYLE | IOT_SURFACES_ON, 3, 21});
  b.Words({IOT_PART | IOT_OVERRIDE_BODY_OB | IOT_ADAPTABLE | IOT_CURVES_ON, 8, 0x80000001u});
  return b.bytes;
}

TEST(OverrideStreamRead, VersionOneRecords) {
  JIDSOverrideTree tree;
  ASSERT_EQ(LoadBytes(tree, VersionOneStream(1)), S_OK);
  JIDSOverride* styled = Find(tree, {3});
  ASSERT_NE(styled, nullptr);
  EXPECT_TRUE(styled->IsPart());
  EXPECT_EQ(styled->GetStyle(), 21u);
  EXPECT_TRUE(styled->GetSurfacesDisplay());
  JIDSOverride* old = Find(tree, {8});
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->GetBodyData(), nullptr);
  DWORD adaptable = 0;
  EXPECT_EQ(old->GetAdaptable(&adaptable), S_OK);
  EXPECT_EQ(adaptable, 1u);
  EXPECT_TRUE(old->GetCurvesDisplay());

  // Written as version 2 without the older body bit, so that it reads back.
  const Bytes saved = SaveBytes(tree);
  JIDSOverrideTree again;
  ASSERT_EQ(LoadBytes(again, saved), S_OK);
  EXPECT_EQ(SaveBytes(again), saved);
  EXPECT_EQ(Find(again, {8})->GetProps() & IOT_OVERRIDE_BODY_OB, 0u);
}

// "dulcet.dll"'s filed-version answer for the version-0 upgrade.
HRESULT gFiledResult = S_OK;
WORD gMajor = 14, gMinor = 17;
HRESULT FiledVersion(IUnknown*, WORD* major, WORD* minor) {
  *major = gMajor;
  *minor = gMinor;
  return gFiledResult;
}

TEST(OverrideStreamRead, VersionZeroUpgradeFollowsTheFiledVersion) {
  quorra::host::RegisterModule(L"dulcet.dll", {{"JGetDocFiledVersion", reinterpret_cast<void*>(&FiledVersion)}});
  struct Case {
    const char* name;
    bool document;
    HRESULT answer;
    WORD major, minor;
    bool inverted;
  };
  const Case cases[] = {
      {"14.16", true, S_OK, 14, 16, false}, {"13.99", true, S_OK, 13, 99, false},
      {"14.17", true, S_OK, 14, 17, true},  {"15.0", true, S_OK, 15, 0, true},
      {"unanswered", true, E_FAIL, 1, 1, true}, {"no document", false, S_OK, 1, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gFiledResult = c.answer;
    gMajor = c.major;
    gMinor = c.minor;
    ComPtr<FakeDocument> document(new FakeDocument);
    JIDSOverrideTree tree;
    if (c.document) tree.SetAssembly(document.Get());
    ASSERT_EQ(LoadBytes(tree, VersionOneStream(0)), S_OK);
    EXPECT_EQ(Find(tree, {3})->GetSurfacesDisplay() == 0, c.inverted);
    EXPECT_EQ(Find(tree, {8})->GetCurvesDisplay() == 0, c.inverted);
    EXPECT_EQ(Find(tree, {8})->GetSurfacesDisplay() != 0, c.inverted);
  }
  quorra::host::UnregisterModule(L"dulcet.dll");
}

TEST(OverrideStreamRead, UnknownVersionLeavesTheTreeAlone) {
  JIDSOverrideTree tree;
  FillEveryField(tree);
  const Bytes before = SaveBytes(tree);
  ScopedTraceCapture traces;
  Bytes bytes = before;
  bytes[0] = 3;
  EXPECT_EQ(LoadBytes(tree, bytes), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("JIDSOverrideTree::LoadFromStreamEx", E_UNEXPECTED));
  EXPECT_EQ(SaveBytes(tree), before);
  EXPECT_FALSE(tree.IsLoading());
}

TEST(OverrideStreamRead, RoundTripKeepsEveryField) {
  JIDSOverrideTree tree;
  FillEveryField(tree);
  const Bytes first = SaveBytes(tree);
  JIDSOverrideTree loaded;
  ASSERT_EQ(LoadBytes(loaded, first), S_OK);
  EXPECT_EQ(SaveBytes(loaded), first);
  EXPECT_EQ(CountNodes(loaded.GetAsmOverride()), CountNodes(tree.GetAsmOverride()));

  JIDSOverride* sub = Find(loaded, {7});
  ASSERT_NE(sub, nullptr);
  EXPECT_TRUE(sub->IsAssembly());
  EXPECT_TRUE(sub->GetHidden());
  EXPECT_EQ(sub->GetAltStyle(), 12u);
  double value = 0;
  EXPECT_EQ(sub->GetVariable(1, 2, &value), S_OK);
  EXPECT_EQ(value, 3.25);
  FILETIME time{};
  EXPECT_EQ(sub->GetOwningCADSaveTime(&time), S_OK);
  EXPECT_EQ(time.dwHighDateTime, 0x22222222u);
  JIDSOverride* part = Find(loaded, {7, 3});
  ASSERT_NE(part, nullptr);
  ASSERT_NE(part->GetBodyData(), nullptr);
  EXPECT_EQ(part->GetBodyData()->GetExtra(), 0xABCDu);
  EXPECT_EQ(part->GetBodyOverrideDocID(), 6u);
  JIDSOverride* routed = loaded.GetAsmOverride()->GetChild(JMemberRoute("member-A"));
  ASSERT_NE(routed, nullptr);
  EXPECT_EQ(routed->GetAttachmentID(), 0u);

  // Loading again adds to the same nodes: nothing changes.
  ASSERT_EQ(LoadBytes(loaded, first), S_OK);
  EXPECT_EQ(SaveBytes(loaded), first);
}

TEST(OverrideStreamRead, DamagedStreamsKeepWhatWasRead) {
  JIDSOverrideTree tree;
  FillEveryField(tree);
  const Bytes whole = SaveBytes(tree);
  DWORD previousCount = 0;
  for (size_t length = 0; length < whole.size(); ++length) {
    JIDSOverrideTree cut;
    const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(LoadBytes(cut, prefix), STG_E_READFAULT) << length;
    const DWORD count = CountNodes(cut.GetAsmOverride());
    EXPECT_GE(count, previousCount) << "a longer prefix never keeps fewer nodes";
    previousCount = count;
    EXPECT_FALSE(cut.IsLoading());
  }
  EXPECT_EQ(previousCount, CountNodes(tree.GetAsmOverride())) << "the last record is cut inside its data";

  // Assemblies nested far deeper than any product: refused at a depth limit,
  // keeping the levels read.
  StreamBuilder deep;
  deep.Words({2, IOT_ASSEMBLY, 0, 0, 1});
  for (DWORD level = 0; level < 100000; ++level) deep.Words({IOT_ASSEMBLY, 0, 1, 1});
  JIDSOverrideTree nested;
  EXPECT_EQ(LoadBytes(nested, deep.bytes), STG_E_DOCFILECORRUPT);
  EXPECT_GT(CountNodes(nested.GetAsmOverride()), 1000u);

  // A child count far beyond the data ends at the data.
  ScopedTraceCapture traces;
  JIDSOverrideTree corrupt;
  EXPECT_EQ(LoadBytes(corrupt, StreamBuilder().Words({2, IOT_ASSEMBLY, 0, 0, 0xFFFFFFFFu}).bytes), STG_E_READFAULT);
  EXPECT_TRUE(traces.Saw("JIDSOverrideTree::LoadOverrideEx", STG_E_READFAULT));
}

// ---- storage and site-file naming ----

TEST(OverrideStreamStorage, SaveAndLoadThroughIotDefault) {
  ComPtr<IStorage> storage;
  ASSERT_EQ(quorra::host::CreateMemoryStorage(storage.Put()), S_OK);
  JIDSOverrideTree tree;
  FillEveryField(tree);
  ASSERT_EQ(tree.Save(storage.Get()), S_OK);
  ComPtr<IStorage> sub;
  ASSERT_EQ(storage->OpenStorage(L"IOT", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, sub.Put()), S_OK);
  sub.Reset();
  JIDSOverrideTree loaded;
  ASSERT_EQ(loaded.Load(storage.Get()), S_OK);
  EXPECT_EQ(SaveBytes(loaded), SaveBytes(tree));

  ComPtr<IStorage> empty;
  ASSERT_EQ(quorra::host::CreateMemoryStorage(empty.Put()), S_OK);
  EXPECT_TRUE(FAILED(loaded.Load(empty.Get())));
  EXPECT_EQ(loaded.LoadFoaMemberIot(nullptr, L"m"), E_INVALIDARG);
  EXPECT_EQ(loaded.LoadFoaMemberIot(empty.Get(), L"m"), E_NOINTERFACE);
}

TEST(OverrideStreamStorage, SiteFileMapNamesTheBodyDocument) {
  SiteFileToUniversalIdentifierMap map;
  map.AddFile(L"/parts/first.asm");
  map.AddFile(L"/parts/second.asm");
  JIDSOverrideTree source;
  JIDSOverride* part = Add(source, {4}, IOT_PART);
  part->SetBodyOverrideDocID(2);
  part->SetBodyData(MakeBody({{1, 1}}, 0, 0));
  const Bytes bytes = SaveBytes(source);

  JIDSOverrideTree named;
  ASSERT_EQ(LoadBytes(named, bytes, OVERRIDE_TREE_SITE_FILE_MAP, &map), S_OK);
  EXPECT_EQ(Find(named, {4})->GetBodyData()->GetAssemblyName(), GUserText(L"/parts/second.asm"));
  JIDSOverrideTree plain;
  ASSERT_EQ(LoadBytes(plain, bytes, OVERRIDE_TREE_DEFAULT, &map), S_OK);
  EXPECT_TRUE(Find(plain, {4})->GetBodyData()->GetAssemblyName().IsEmpty());
}

}  // namespace
