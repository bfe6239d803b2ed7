// The loaders' contracts with the host: the geometry cache protocol of the
// part display load, the host's display cache for documents that do not
// open, cache creation without a factory, argument checks and cycles.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>

#include <memory>
#include <string>
#include <vector>

#include "support/storage_support.h"

using namespace quorra::refhost;
using quorra::host::ComPtr;
using quorra::host::GeometryCacheFactory;
using quorra::host::SetGeometryCacheFactory;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

struct TreeDeleter {
  void operator()(AsmTree* tree) const { AsmTreeDelete(tree); }
};
using Tree = std::unique_ptr<AsmTree, TreeDeleter>;

// A cache that records what the loader asks of it.
struct RecordingCache : quorra::host::ComObject<IJGeometryCache> {
  std::vector<std::string>* log;
  DWORD state = 0;
  HRESULT loadResult = S_OK;
  tagGBox range{1, 2, 3, 4, 5, 6};

  explicit RecordingCache(std::vector<std::string>* calls) : log(calls) {}
  HRESULT GetTypedGraphic(DWORD*, void**, DWORD) override { return E_FAIL; }
  HRESULT SetTypedGraphic(DWORD, void*, DWORD) override { return S_OK; }
  HRESULT Initialize() override {
    log->push_back("init");
    return S_OK;
  }
  HRESULT LoadFromStorage(IStorage* storage, DWORD id, DWORD kind, DWORD parameter) override {
    log->push_back("load " + std::to_string(kind) + " " + std::to_string(parameter) + " id " + std::to_string(id) +
                   (storage ? "" : " no storage"));
    return loadResult;
  }
  HRESULT Query(DWORD query, void* result) override {
    log->push_back("query " + std::to_string(query));
    if (query == GEOMETRY_CACHE_QUERY_STATE) *static_cast<DWORD*>(result) = state;
    if (query == GEOMETRY_CACHE_QUERY_RANGE) *static_cast<tagGBox*>(result) = range;
    return S_OK;
  }
};

class Load : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Install(); }
  void TearDown() override { Install(); }  // puts refhost's factory and modules back

  std::wstring Path(const std::string& name) const { return Widen(dir_.File(name)); }

  // Installs a factory making RecordingCaches with the given state and load
  // result; `display` also answers JCreateDisplayCache.
  void RecordCaches(DWORD state, HRESULT loadResult = S_OK, bool display = false) {
    GeometryCacheFactory factory;
    factory.createGeometryCache = [=, this](DWORD, JGraphicContext*, IJGeometryCache** out) {
      auto* cache = new RecordingCache(&calls_);
      cache->state = state;
      cache->loadResult = loadResult;
      cache->AddRef();
      *out = cache;
      return S_OK;
    };
    if (display)
      factory.createDisplayCache = [this](const wchar_t* name) -> IJGeometryCache* {
        calls_.push_back("display " + quorra::host::ToUtf8(name));
        auto* cache = new RecordingCache(&calls_);
        cache->AddRef();
        return cache;
      };
    SetGeometryCacheFactory(std::move(factory));
  }

  // Loads `name` as the top document; the part placed below "ROOT".
  PartSite* LoadPart(const std::string& name, HRESULT* hr) {
    AsmTree* tree = nullptr;
    *hr = AsmTreeCreateAndLoad(Path(name).c_str(), &tree, nullptr);
    tree_.reset(tree);
    SiteNode* site = nullptr;
    tree->FindSite(Path(name).c_str(), &site);
    return static_cast<PartSite*>(site);
  }

  TempDir dir_;
  Tree tree_;
  std::vector<std::string> calls_;
};

TEST_F(Load, PartDisplayLoadAsksForDetailUnlessTheCacheIsComplete) {
  PartDocument preview;
  preview.previewBodyId = 7;
  ASSERT_EQ(WritePartDocument(Path("plain.par").c_str(), PartDocument()), S_OK);
  ASSERT_EQ(WritePartDocument(Path("preview.par").c_str(), preview), S_OK);
  struct Case {
    const char* part;
    DWORD state;
    bool gimbal;
    std::vector<std::string> calls;
  } cases[] = {
      {"plain.par", 0, true, {"init", "load 2 48 id 0", "query 8", "load 128 48 id 0", "query 1"}},
      {"plain.par", GEOMETRY_CACHE_STATE_COMPLETE, true, {"init", "load 2 48 id 0", "query 8", "query 1"}},
      {"preview.par", 0, true, {"init", "load 2 48 id 7", "query 8", "load 128 48 id 7", "query 1"}},
      // Without the preview-body service the cache id stays 0.
      {"preview.par", GEOMETRY_CACHE_STATE_COMPLETE, false, {"init", "load 2 48 id 0", "query 8", "query 1"}},
  };
  for (const Case& k : cases) {
    if (!k.gimbal) quorra::host::UnregisterModule(L"gimbal.dll");
    RecordCaches(k.state);
    calls_.clear();
    HRESULT hr;
    PartSite* site = LoadPart(k.part, &hr);
    EXPECT_EQ(hr, S_OK) << k.part;
    EXPECT_EQ(calls_, k.calls) << k.part << " state " << k.state;
    ASSERT_NE(site, nullptr);
    EXPECT_NE(site->GetCommonCache(), nullptr);
    EXPECT_TRUE(site->GetRange()->IsEqual(tagGBox(1, 2, 3, 4, 5, 6)));
    Install();
  }
}

TEST_F(Load, PartDisplayFailuresLeaveTheSiteAsItWas) {
  PartDocument noDisplay;
  noDisplay.writeDisplay = false;
  ASSERT_EQ(WritePartDocument(Path("bare.par").c_str(), noDisplay), S_OK);
  ASSERT_EQ(WritePartDocument(Path("plain.par").c_str(), PartDocument()), S_OK);

  HRESULT hr;
  quorra::host::ScopedTraceCapture traces;
  PartSite* site = LoadPart("bare.par", &hr);
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_TRUE(traces.Saw("LoadPartDisplay", E_FAIL));
  EXPECT_EQ(site->GetCommonCache(), nullptr);
  EXPECT_FALSE(site->IsRangeSet());

  RecordCaches(0, STG_E_DOCFILECORRUPT);
  site = LoadPart("plain.par", &hr);
  EXPECT_EQ(hr, STG_E_DOCFILECORRUPT);
  EXPECT_EQ(site->GetCommonCache(), nullptr);
  EXPECT_FALSE(site->IsRangeSet());
}

TEST_F(Load, DocumentThatDoesNotOpenFallsBackToTheHostDisplayCache) {
  quorra::test::WriteFileBytes(dir_.File("junk.par"), std::vector<BYTE>(600, 0x5A));
  HRESULT hr;
  PartSite* site = LoadPart("junk.par", &hr);  // refhost keeps no display caches
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(site->GetCommonCache(), nullptr);

  RecordCaches(0, S_OK, true);
  site = LoadPart("junk.par", &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(calls_, (std::vector<std::string>{"display " + dir_.File("junk.par"), "query 1"}));
  EXPECT_NE(site->GetCommonCache(), nullptr);
  EXPECT_TRUE(site->GetRange()->IsEqual(tagGBox(1, 2, 3, 4, 5, 6)));
}

TEST_F(Load, CacheCreationNeedsAFactory) {
  IJGeometryCache* cache = reinterpret_cast<IJGeometryCache*>(1);
  EXPECT_EQ(JCreateGeometryCache(GEOMETRY_CACHE_KIND_DOCUMENT, nullptr, nullptr), E_POINTER);
  SetGeometryCacheFactory({});
  quorra::host::ScopedTraceCapture traces;
  EXPECT_EQ(JCreateGeometryCache(GEOMETRY_CACHE_KIND_DOCUMENT, nullptr, &cache), E_NOTIMPL);
  EXPECT_EQ(cache, nullptr);
  EXPECT_TRUE(traces.Saw("JCreateGeometryCache", E_NOTIMPL));
  EXPECT_EQ(JCreateDisplayCache(L"x.par"), nullptr);

  // A factory that answers success without a cache is not believed.
  GeometryCacheFactory empty;
  empty.createGeometryCache = [](DWORD, JGraphicContext*, IJGeometryCache**) { return S_OK; };
  SetGeometryCacheFactory(std::move(empty));
  EXPECT_EQ(JCreateGeometryCache(GEOMETRY_CACHE_KIND_DOCUMENT, nullptr, &cache), E_FAIL);
}

TEST_F(Load, RefhostCachesAreCompleteAtOnceOnlyForSingleLevelBodies) {
  PartDocument part;
  part.previewBodyId = 3;  // a preview member holding the coarsest level alone
  ASSERT_EQ(WritePartDocument(Path("p.par").c_str(), part), S_OK);
  ComPtr<IStorage> document, display;
  ASSERT_EQ(JStgOpenStorage(Path("p.par").c_str(), nullptr, STGM_SHARE_DENY_NONE, nullptr, 0, document.Put(), 1), S_OK);
  ASSERT_EQ(document->OpenStorage(L"Display", nullptr, STGM_SHARE_EXCLUSIVE, nullptr, 0, display.Put()), S_OK);
  for (auto [id, completeAtOnce] : {std::pair{0u, false}, {3u, true}}) {
    ComPtr<IJGeometryCache> cache;
    ASSERT_EQ(JCreateGeometryCache(GEOMETRY_CACHE_KIND_DOCUMENT, nullptr, cache.Put()), S_OK);
    tagGBox range;
    EXPECT_EQ(cache->Query(GEOMETRY_CACHE_QUERY_RANGE, &range), E_FAIL);  // nothing loaded yet
    ASSERT_EQ(cache->Initialize(), S_OK);
    ASSERT_EQ(cache->LoadFromStorage(display.Get(), id, GEOMETRY_CACHE_LOAD_RANGE, GEOMETRY_CACHE_LOAD_PARAMETER),
              S_OK);
    DWORD state = 0;
    ASSERT_EQ(cache->Query(GEOMETRY_CACHE_QUERY_STATE, &state), S_OK);
    EXPECT_EQ((state & GEOMETRY_CACHE_STATE_COMPLETE) != 0, completeAtOnce) << id;
    ASSERT_EQ(cache->LoadFromStorage(display.Get(), id, GEOMETRY_CACHE_LOAD_DETAIL, GEOMETRY_CACHE_LOAD_PARAMETER),
              S_OK);
    cache->Query(GEOMETRY_CACHE_QUERY_STATE, &state);
    EXPECT_EQ(state, GEOMETRY_CACHE_STATE_RANGE | GEOMETRY_CACHE_STATE_COMPLETE);
    ASSERT_EQ(cache->Query(GEOMETRY_CACHE_QUERY_RANGE, &range), S_OK);
    EXPECT_TRUE(range.IsEqual(part.display.box)) << id;
  }
}

TEST_F(Load, ArgumentsAndUnknownDocumentKinds) {
  EXPECT_EQ(LoadFile(L"a.asm", nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  AsmTree* tree = nullptr;
  ASSERT_EQ(CreateAsmTree(&tree, nullptr), S_OK);
  Tree owner(tree);
  EXPECT_EQ(LoadFile(nullptr, tree, nullptr, nullptr, nullptr), E_INVALIDARG);
  quorra::test::WriteFileBytes(dir_.File("notes.txt"), {'x'});
  EXPECT_EQ(LoadFile(Path("notes.txt").c_str(), tree, nullptr, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(tree->GetRootAssembly(), nullptr);  // nothing made for it
  EXPECT_EQ(LoadAssembly(nullptr, tree, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(LoadWeldment(Path("w.pwd").c_str(), tree, nullptr, nullptr), E_INVALIDARG);
}

TEST_F(Load, AssembliesThatPlaceEachOtherEndTheRecursion) {
  ASSERT_EQ(WritePartDocument(Path("p.par").c_str(), PartDocument()), S_OK);
  AssemblyDocument a, b;
  a.AddPlacement(Path("b.asm"), tagG4x4());
  a.AddPlacement(Path("a.asm"), tagG4x4());  // itself
  b.AddPlacement(Path("a.asm"), tagG4x4());  // its parent
  b.AddPlacement(Path("p.par"), tagG4x4());
  ASSERT_EQ(WriteAssemblyDocument(Path("a.asm").c_str(), a), S_OK);
  ASSERT_EQ(WriteAssemblyDocument(Path("b.asm").c_str(), b), S_OK);

  AsmTree* loaded = nullptr;
  EXPECT_EQ(AsmTreeCreateAndLoad(Path("a.asm").c_str(), &loaded, nullptr), S_OK);
  Tree owner(loaded);
  AssemblyOccurrence* root = loaded->GetRootAssembly();
  ASSERT_EQ(root->GetChildCount(), 1u);                                                     // b only
  EXPECT_EQ(static_cast<AssemblyOccurrence*>(root->GetChildByID(1))->GetChildCount(), 1u);  // p only

  AsmTree* read = nullptr;
  ASSERT_EQ(CreateAsmTree(&read, nullptr), S_OK);
  Tree readOwner(read);
  EXPECT_EQ(read->PopulateFullTree(Path("a.asm").c_str(), 0), E_INVALIDARG);  // the cycle is refused
  EXPECT_EQ(read->GetRootAssembly(), nullptr);
}

}  // namespace
