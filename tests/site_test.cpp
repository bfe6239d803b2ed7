#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cwctype>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/assembly_builder.h"
#include "core/testing_hooks.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;

using quorra::test::NewTree;
using quorra::test::TreePtr;

// Sets the process's site mapping mode for managers made in its lifetime.
class ScopedMappingMode {
 public:
  explicit ScopedMappingMode(DWORD mode) : previous_(quorra::SetSiteMappingMode(mode)) {}
  ~ScopedMappingMode() { quorra::SetSiteMappingMode(previous_); }

 private:
  DWORD previous_;
};

AssemblySite* NewAssembly(AsmTree* tree, const wchar_t* path) {
  AssemblySite* site = nullptr;
  EXPECT_EQ(tree->CreateAssemblySiteNoCheck(path, 0, &site), S_OK);
  return site;
}

PartSite* NewPart(AsmTree* tree, const wchar_t* path) {
  PartSite* site = nullptr;
  EXPECT_EQ(tree->CreatePartSiteNoCheck(path, 0, &site), S_OK);
  return site;
}

AttachmentNode* Place(AssemblySite* parent, SiteNode* child) {
  AttachmentNode* node = nullptr;
  EXPECT_EQ(parent->AddSingleAttachment(child, nullptr, 0, 0, &node), S_OK);
  return node;
}

SiteNode* Find(AsmTree* tree, const wchar_t* path) {
  SiteNode* site = nullptr;
  tree->FindSite(path, &site);
  return site;
}

// Counts how often values of one user-data type are released.
constexpr DWORD kCountedType = 200;
int gReleases = 0;
HRESULT CountingCleanup(DWORD type, void** value) {
  if (type != kCountedType) return S_FALSE;
  if (value && *value) {
    ++gReleases;
    *value = nullptr;
  }
  return S_OK;
}
struct ScopedReleaseCounter {
  ScopedReleaseCounter() {
    gReleases = 0;
    AddUserDataCleanupFunction(CountingCleanup);
  }
  ~ScopedReleaseCounter() { RemoveUserDataCleanupFunction(CountingCleanup); }
};

struct TestUnknown : ComObject<quorra::host::IPersistIdentity> {
  DWORD GetPersistID() override { return 42; }
};

struct TestCache : ComObject<IJGeometryCache> {
  HRESULT GetTypedGraphic(DWORD* type, void** graphic, DWORD key) override {
    if (key != 5) return E_FAIL;
    *type = 9;
    *graphic = this;
    return S_OK;
  }
  HRESULT SetTypedGraphic(DWORD, void*, DWORD key) override {
    lastSetKey = key;
    return S_OK;
  }
  DWORD lastSetKey = 0;
};

struct TestCacheManager : ComObject<IJCutawayGeometryCacheManager> {
  BOOL HasCache(DWORD key) override { return registered.count(key) != 0; }
  HRESULT RegisterCache(DWORD key, IJGeometryCache* cache) override {
    registered[key] = cache;
    return S_OK;
  }
  IJGeometryCache* GetCache(JGraphicContext*) override { return cutCache; }
  HRESULT GetCaches(JGraphicContext*, int, GraphicInfo*) override { return S_OK; }
  HRESULT Invalidate(DWORD mode, const DisplayRoadmap*) override {
    invalidations.push_back(mode);
    return S_OK;
  }
  HRESULT Shutdown() override {
    ++shutdowns;
    return S_OK;
  }
  std::map<DWORD, IJGeometryCache*> registered;
  IJGeometryCache* cutCache = nullptr;
  std::vector<DWORD> invalidations;
  int shutdowns = 0;
};

struct TestGraphicInfo : ComObject<IJGraphicInfo> {
  HRESULT BeginAccess(JGraphicContext* context, int* count, GraphicInfo** out) override {
    stateSeen = context->GetDrawingState();
    *count = static_cast<int>(records.size());
    *out = records.empty() ? nullptr : records.data();
    return S_OK;
  }
  HRESULT EndAccess(JGraphicContext*, int count, GraphicInfo*) override {
    returned = count;
    return S_OK;
  }
  std::vector<GraphicInfo> records;
  DWORD stateSeen = 0xFFFFFFFF;
  int returned = -1;
};

}  // namespace

TEST(SiteCreation, CreateSiteClassifiesByExtension) {
  struct Case {
    const wchar_t* path;
    HRESULT result;
    DWORD kind;
  };
  const Case cases[] = {
      {L"model.txt", E_INVALIDARG, 0},   {L"noextension", E_INVALIDARG, 0}, {L"Model.ASM", S_OK, SITE_ASSEMBLY},
      {L"x.asmx", S_OK, SITE_ASSEMBLY},  {L"C:\\d\\a.PWD", S_OK, SITE_PART}, {L"a.psm", S_OK, SITE_PART},
      {L"a.part", E_INVALIDARG, 0},
  };
  for (const Case& c : cases) {
    TreePtr tree = NewTree();
    SiteNode* site = reinterpret_cast<SiteNode*>(1);
    EXPECT_EQ(tree->CreateSite(c.path, 7, &site), c.result) << c.path;
    if (c.result != S_OK) {
      EXPECT_EQ(site, nullptr);
      EXPECT_EQ(tree->GetDirty() & ASMTREE_DIRTY_INVALID, 0u);
      continue;
    }
    ASSERT_NE(site, nullptr);
    EXPECT_EQ(site->GetFlags(), c.kind) << c.path;
    EXPECT_EQ(site->GetCreationWord(), 7u);
    EXPECT_EQ(site->GetAsmTree(), tree.get());
    EXPECT_NE(tree->GetDirty() & ASMTREE_DIRTY_INVALID, 0u);
    SiteManager* expected = c.kind == SITE_PART ? tree->GetPartSiteManager() : tree->GetAssemblySiteManager();
    EXPECT_EQ(site->GetSiteManager(), expected);
    EXPECT_EQ(expected->GetCount(), 1u);
  }
}

TEST(SiteCreation, CheckedFormsReuseAndNoCheckFormsDuplicate) {
  TreePtr tree = NewTree();
  AssemblySite* first = nullptr;
  AssemblySite* again = nullptr;
  EXPECT_EQ(tree->CreateAssemblySite(L"C:\\a\\Top.asm", 0, &first), S_OK);
  EXPECT_EQ(tree->CreateAssemblySite(L"c:\\A\\TOP.ASM", 0, &again), S_FALSE);
  EXPECT_EQ(again, first);
  AssemblySite* second = nullptr;
  EXPECT_EQ(tree->CreateAssemblySiteNoCheck(L"C:\\a\\Top.asm", 0, &second), S_OK);
  EXPECT_NE(second, first);
  EXPECT_EQ(tree->GetAssemblySiteManager()->GetCount(), 2u);

  PartSite* part = nullptr;
  PartSite* partAgain = nullptr;
  EXPECT_EQ(tree->CreatePartSite(L"p.par", 0, &part), S_OK);
  EXPECT_EQ(tree->CreatePartSite(L"P.PAR", 0, &partAgain), S_FALSE);
  EXPECT_EQ(partAgain, part);

  // A null path cannot be looked up.
  quorra::host::ScopedTraceCapture traces;
  AssemblySite* none = nullptr;
  EXPECT_EQ(tree->CreateAssemblySite(nullptr, 0, &none), E_INVALIDARG);
  EXPECT_EQ(none, nullptr);
  EXPECT_TRUE(traces.Saw("SiteManager::FindSite", E_INVALIDARG));
}

class SiteIndexModes : public ::testing::TestWithParam<DWORD> {};

TEST_P(SiteIndexModes, FindsPathsIgnoringCaseAndFollowsRenames) {
  const DWORD mode = GetParam();
  ScopedMappingMode scoped(mode);
  TreePtr tree = NewTree();
  SiteManager* parts = tree->GetPartSiteManager();
  EXPECT_EQ(parts->GetMappingMode(), mode);

  PartSite* plain = NewPart(tree.get(), L"C:\\Work\\Bracket.par");
  PartSite* accented = NewPart(tree.get(), L"C:\\Work\\\u00C4hre.PAR");
  PartSite* greek = NewPart(tree.get(), L"C:\\Work\\\u03A3\u03A4.par");

  EXPECT_EQ(Find(tree.get(), L"c:\\work\\bracket.PAR"), plain);
  EXPECT_EQ(Find(tree.get(), L"C:\\WORK\\\u00E4HRE.par"), accented);
  EXPECT_EQ(Find(tree.get(), L"c:\\work\\\u03C3\u03C4.PAR"), greek);
  SiteNode* missing = reinterpret_cast<SiteNode*>(1);
  EXPECT_EQ(parts->FindSite(L"C:\\Work\\Other.par", &missing), S_FALSE);
  EXPECT_EQ(missing, nullptr);

  // Which index holds the entries follows the mode.
  const bool indexA = mode & SITE_MAPPING_INDEX_A;
  const bool indexB = mode == 0 || (mode & SITE_MAPPING_INDEX_B);
  EXPECT_EQ(quorra::SiteIndexASize(parts), indexA ? 3u : 0u);
  EXPECT_EQ(parts->GetIndexBSize(), indexB ? 3u : 0u);

  // A new path moves the site in the index.
  EXPECT_EQ(plain->SetFilePath(L"D:\\Moved\\Bracket2.par"), S_OK);
  EXPECT_EQ(Find(tree.get(), L"C:\\Work\\Bracket.par"), nullptr);
  EXPECT_EQ(Find(tree.get(), L"d:\\moved\\BRACKET2.par"), plain);
  EXPECT_EQ(plain->GetBaseName(), L"Bracket2.par");
  EXPECT_EQ(plain->GetFilePathLowerCase(), L"d:\\moved\\bracket2.par");

  // A destroyed site leaves the index.
  EXPECT_EQ(greek->RemoveAndDestroy(), S_OK);
  EXPECT_EQ(Find(tree.get(), L"C:\\Work\\\u03A3\u03A4.par"), nullptr);
  EXPECT_EQ(quorra::SiteIndexASize(parts) + parts->GetIndexBSize(), (indexA ? 2u : 0u) + (indexB ? 2u : 0u));
}

INSTANTIATE_TEST_SUITE_P(Modes, SiteIndexModes, ::testing::Values(0u, 1u, 2u, 3u));

// Two sites made for one path (the second through a NoCheck form): index A
// keeps the later, index B the first. Removal answers from the index
// consulted last, and a miss in index B still passes out index A's site,
// which the checked creation then takes as found.
TEST(SiteIndex, SitesOfOnePathInEachMode) {
  enum Answer { kFirst, kSecond, kNone, kNew };
  struct Case {
    DWORD mode;
    Answer foundBefore;
    HRESULT removeFirst;
    HRESULT findAfter;
    Answer foundAfter;
    HRESULT create;
    Answer created;
    HRESULT removeSecond;
  };
  const Case cases[] = {
      {1, kSecond, E_FAIL, S_OK, kSecond, S_FALSE, kSecond, S_OK},
      {2, kFirst, S_OK, S_FALSE, kNone, S_OK, kNew, E_FAIL},
      {0, kFirst, S_OK, S_FALSE, kNone, S_OK, kNew, E_FAIL},
      {3, kFirst, S_OK, S_FALSE, kSecond, S_FALSE, kSecond, E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ScopedMappingMode scoped(c.mode);
    TreePtr tree = NewTree();
    SiteManager* parts = tree->GetPartSiteManager();
    PartSite* first = NewPart(tree.get(), L"C:\\w\\Same.par");
    PartSite* second = NewPart(tree.get(), L"c:\\W\\SAME.PAR");
    NewPart(tree.get(), L"other.par");  // keeps index B from being empty
    auto expected = [&](Answer answer, SiteNode* made) -> SiteNode* {
      switch (answer) {
        case kFirst: return first;
        case kSecond: return second;
        case kNone: return nullptr;
        case kNew: return made;
      }
      return nullptr;
    };

    SiteNode* site = nullptr;
    EXPECT_EQ(parts->FindSite(L"c:\\w\\same.par", &site), S_OK);
    EXPECT_EQ(site, expected(c.foundBefore, nullptr));

    EXPECT_EQ(parts->RemoveFromMap(first), c.removeFirst);
    site = reinterpret_cast<SiteNode*>(1);
    EXPECT_EQ(parts->FindSite(L"C:\\W\\Same.par", &site), c.findAfter);
    EXPECT_EQ(site, expected(c.foundAfter, nullptr));
    site = reinterpret_cast<SiteNode*>(1);
    EXPECT_EQ(tree->FindSite(L"C:\\W\\Same.par", &site), c.findAfter);
    EXPECT_EQ(site, expected(c.foundAfter, nullptr));

    PartSite* created = nullptr;
    EXPECT_EQ(tree->CreatePartSite(L"c:\\w\\same.PAR", 0, &created), c.create);
    EXPECT_NE(created, nullptr);
    if (c.created == kNew) {
      EXPECT_TRUE(created != first && created != second);
    }
    EXPECT_EQ(created, expected(c.created, created));
    EXPECT_EQ(parts->RemoveFromMap(second), c.removeSecond);
  }

  // A path of neither kind: the assembly manager's answer stands when it
  // passes out a site, though index B missed.
  ScopedMappingMode scoped(3);
  TreePtr tree = NewTree();
  AssemblySite* first = NewAssembly(tree.get(), L"C:\\w\\Bare");
  AssemblySite* second = NewAssembly(tree.get(), L"C:\\w\\BARE");
  NewAssembly(tree.get(), L"other.asm");
  NewPart(tree.get(), L"c:\\w\\bare");
  ASSERT_EQ(tree->GetAssemblySiteManager()->RemoveFromMap(first), S_OK);
  SiteNode* site = nullptr;
  EXPECT_EQ(tree->FindSite(L"c:\\w\\bare", &site), S_FALSE);
  EXPECT_EQ(site, second);
}

// Only A to Z are folded among ASCII units (the neighbours @ [ ` { are
// not), in long runs and short ones, before and after other characters.
TEST(SiteIndex, CaseFoldingOfPathUnits) {
  for (DWORD mode : {1u, 2u}) {
    SCOPED_TRACE(mode);
    ScopedMappingMode scoped(mode);
    TreePtr tree = NewTree();
    PartSite* ascii = NewPart(tree.get(), L"C:\\ABCDEFGHIJKLMNOPQRSTUVWXYZ\\@[Part].par");
    PartSite* mixed = NewPart(tree.get(), L"D:\\\u00C4\u03A3ABCDEFGH\U0001F600IJKL.par");
    struct Case {
      const wchar_t* path;
      SiteNode* expected;
    };
    const Case cases[] = {
        {L"c:\\abcdefghijklmnopqrstuvwxyz\\@[part].PAR", ascii},
        {L"C:\\AbCdEfGhIjKlMnOpQrStUvWxYz\\@[PART].par", ascii},
        {L"c:\\abcdefghijklmnopqrstuvwxyz\\`{part].par", nullptr},
        {L"c:\\abcdefghijklmnopqrstuvwxyz\\@[part}.par", nullptr},
        {L"d:\\\u00E4\u03C3abcdefgh\U0001F600ijkl.PAR", mixed},
        {L"d:\\\u00E4\u03C3abcdefgh\U0001F601ijkl.par", nullptr},
    };
    for (const Case& c : cases) EXPECT_EQ(Find(tree.get(), c.path), c.expected) << quorra::host::ToUtf8(c.path);
  }
}

// Random creations (some of a path already taken), renames and
// destructions over thousands of sites, so the index grows, shrinks and
// moves entries about: every path, in another letter case, still finds what
// a plain map of lower-case paths holds (the latest site of a path, and an
// entry stays while it names another site).
TEST(SiteIndex, IndexAAnswersAsAMapUnderManyEdits) {
  ScopedMappingMode scoped(SITE_MAPPING_INDEX_A);
  TreePtr tree = NewTree();
  std::map<std::wstring, SiteNode*> model;
  std::vector<PartSite*> live;
  std::mt19937 random(11);
  auto pathOf = [](unsigned i) { return L"C:\\Work\\Many\\Part" + std::to_wstring(i) + L".par"; };
  auto lower = [](std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
  };
  auto upper = [](std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
  };
  auto forget = [&](SiteNode* site) {
    auto it = model.find(lower(site->GetFilePath().GetText()));
    if (it != model.end() && it->second == site) model.erase(it);
  };
  for (int step = 0; step < 20000; ++step) {
    const unsigned what = random() % 10;
    if (what < 5 || live.empty()) {
      const std::wstring path = pathOf(random() % 6000);
      live.push_back(NewPart(tree.get(), path.c_str()));
      model[lower(path)] = live.back();
    } else if (what < 7) {
      PartSite* site = live[random() % live.size()];
      forget(site);
      const std::wstring path = pathOf(random() % 6000);
      ASSERT_EQ(site->SetFilePath(path.c_str()), S_OK);
      model[lower(path)] = site;
    } else {
      const size_t at = random() % live.size();
      forget(live[at]);
      ASSERT_EQ(live[at]->RemoveAndDestroy(), S_OK);
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }
  EXPECT_EQ(quorra::SiteIndexASize(tree->GetPartSiteManager()), model.size());
  for (unsigned i = 0; i < 6000; ++i) {
    auto it = model.find(lower(pathOf(i)));
    ASSERT_EQ(Find(tree.get(), upper(pathOf(i)).c_str()), it == model.end() ? nullptr : it->second) << i;
  }
  // The lower-case forms of a local site: its whole path, or its base name.
  PartSite* local = NewPart(tree.get(), L"C:\\Dir\\\u00C4Sub/Local\u03A3.PAR");
  local->SetLocal(nullptr);
  EXPECT_EQ(local->GetFilePathLowerCase(true), L"c:\\dir\\\u00E4sub/local\u03C3.par");
  EXPECT_EQ(local->GetFilePathLowerCase(false), L"local\u03C3.par");
}

TEST(SiteIndex, RegistryEntriesFollowManagersOfTreesDeletedInAnyOrder) {
  ScopedMappingMode scoped(SITE_MAPPING_INDEX_A);
  const size_t before = quorra::SiteIndexRegistrySize();
  TreePtr a = NewTree();
  TreePtr b = NewTree();
  TreePtr c = NewTree();
  for (AsmTree* tree : {a.get(), b.get(), c.get()}) {
    NewAssembly(tree, L"top.asm");
    NewPart(tree, L"p.par");
  }
  EXPECT_EQ(quorra::SiteIndexRegistrySize(), before + 6);
  b.reset();
  EXPECT_EQ(quorra::SiteIndexRegistrySize(), before + 4);
  // The same path in two trees names two sites.
  EXPECT_NE(Find(a.get(), L"TOP.asm"), Find(c.get(), L"top.ASM"));
  a.reset();
  c.reset();
  EXPECT_EQ(quorra::SiteIndexRegistrySize(), before);
}

TEST(SiteLookup, FindSiteRoutesByExtension) {
  TreePtr tree = NewTree();
  AssemblySite* assemblyNoExt = NewAssembly(tree.get(), L"shared");
  PartSite* partNoExt = NewPart(tree.get(), L"SHARED");
  AssemblySite* assemblyWithPartName = NewAssembly(tree.get(), L"odd.par");
  PartSite* partOnly = NewPart(tree.get(), L"only");
  PartSite* part = NewPart(tree.get(), L"p.par");

  struct Case {
    bool ex;
    bool anyType;
    const wchar_t* path;
    SiteNode* expected;
  };
  const Case cases[] = {
      {false, false, L"Shared", assemblyNoExt},  // neither kind: assemblies first
      {false, false, L"ONLY", partOnly},         // then parts
      {false, false, L"odd.PAR", nullptr},       // a part name is searched among parts only
      {false, false, L"P.par", part},
      {true, false, L"odd.par", nullptr},
      {true, true, L"odd.par", assemblyWithPartName},  // any type: assemblies, then parts
      {true, true, L"p.PAR", part},
      {true, true, L"nowhere", nullptr},
  };
  for (const Case& c : cases) {
    SiteNode* site = reinterpret_cast<SiteNode*>(1);
    HRESULT hr = c.ex ? tree->FindSiteEx(c.anyType, c.path, &site) : tree->FindSite(c.path, &site);
    EXPECT_EQ(hr, c.expected ? S_OK : S_FALSE) << c.path;
    EXPECT_EQ(site, c.expected) << c.path;
  }
  (void)partNoExt;
  SiteNode* site = nullptr;
  EXPECT_EQ(tree->FindSite(nullptr, &site), E_INVALIDARG);
}

TEST(SiteFlags, SetFlagsRefusesForbiddenBits) {
  TreePtr tree = NewTree();
  AssemblySite* site = NewAssembly(tree.get(), L"a.asm");
  struct Case {
    DWORD flags;
    HRESULT result;
  };
  const Case cases[] = {
      {0x100, E_INVALIDARG},
      {SITE_BEING_DESTROYED | SITE_ASSEMBLY, E_INVALIDARG},
      {0x200000, E_INVALIDARG},
      {SITE_EXPLORED | SITE_ASSEMBLY, S_OK},
      {SITE_ASSEMBLY | SITE_CACHED_GEOMETRY | SITE_TRUE_TYPE_DRAFT | SITE_EMB_WELD, S_OK},
      {SITE_ASSEMBLY | 0x40, S_OK},
  };
  for (const Case& c : cases) {
    const DWORD before = site->GetFlags();
    EXPECT_EQ(site->SetFlags(c.flags), c.result) << std::hex << c.flags;
    EXPECT_EQ(site->GetFlags(), c.result == S_OK ? c.flags : before) << std::hex << c.flags;
  }
}

// The PART flag, not the kind of object, decides the manager a site names,
// its descent and its range. A site then lacking what the flag asks for (a
// part object read as an assembly has no attachments, an assembly object
// read as a part has no range of its own) answers as an empty one. Whatever
// the flag, the site stays in the manager that holds it.
TEST(SiteKind, ThePartFlagDecides) {
  TreePtr tree = NewTree();
  const tagGBox unit(0, 0, 0, 1, 1, 1);
  struct Case {
    bool partObject;
    DWORD flags;
    bool namesPartManager;
    bool descendsToPart;
    int rangeAnswer;
  };
  const Case cases[] = {
      {true, SITE_PART, true, false, 0},                    // a part with its range
      {true, SITE_ASSEMBLY, false, false, 1},               // read as an assembly without attachments
      {true, 0, false, false, 1},                           // no PART flag: an assembly
      {false, SITE_ASSEMBLY, false, true, 0},               // an assembly placing the part
      {false, SITE_PART | SITE_ASSEMBLY, true, false, 1},   // read as a part without a range
      {false, SITE_PART, true, false, 1},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(index);
    const std::wstring name = L"site" + std::to_wstring(index++);
    PartSite* placed = NewPart(tree.get(), (name + L"placed.par").c_str());
    placed->SetRange(&unit);
    SiteNode* site = nullptr;
    if (c.partObject) {
      PartSite* part = NewPart(tree.get(), (name + L".par").c_str());
      part->SetRange(&unit);
      site = part;
    } else {
      AssemblySite* assembly = NewAssembly(tree.get(), (name + L".asm").c_str());
      Place(assembly, placed);
      site = assembly;
    }
    SiteManager* holder = c.partObject ? tree->GetPartSiteManager() : tree->GetAssemblySiteManager();
    ASSERT_EQ(site->SetFlags(c.flags), S_OK);
    EXPECT_EQ(site->GetSiteManager(),
              c.namesPartManager ? tree->GetPartSiteManager() : tree->GetAssemblySiteManager());
    EXPECT_EQ(site->IsSiteDescendent(placed), c.descendsToPart);
    EXPECT_TRUE(site->IsSiteDescendent(site));
    tagGBox box;
    EXPECT_EQ(site->GetSiteRange(&box), c.rangeAnswer);
    EXPECT_TRUE(c.rangeAnswer == 0 ? box.IsEqual(unit) : box.IsEmpty());
    // Destruction leaves the holding manager, whatever the flag says.
    const DWORD before = holder->GetCount();
    ASSERT_EQ(site->RemoveAndDestroy(), S_OK);
    EXPECT_EQ(holder->GetCount(), before - 1);
    EXPECT_EQ(Find(tree.get(), (name + (c.partObject ? L".par" : L".asm")).c_str()), nullptr);
  }

  // Cycles are judged on the attachments, whatever the flags say.
  AssemblySite* outer = NewAssembly(tree.get(), L"outer.asm");
  AssemblySite* inner = NewAssembly(tree.get(), L"inner.asm");
  Place(outer, inner);
  ASSERT_EQ(outer->SetFlags(SITE_PART), S_OK);
  EXPECT_FALSE(outer->IsSiteDescendent(inner));
  EXPECT_FALSE(inner->IsAttachmentCompatible(outer));
}

TEST(SiteUse, DeleteUnusedSitesRunsOverAssembliesThenParts) {
  ScopedReleaseCounter counter;
  TreePtr tree = NewTree();
  AssemblySite* top = NewAssembly(tree.get(), L"top.asm");
  AssemblySite* sub = NewAssembly(tree.get(), L"sub.asm");
  AssemblySite* lone = NewAssembly(tree.get(), L"lone.asm");
  PartSite* inSub = NewPart(tree.get(), L"insub.par");
  PartSite* inTop = NewPart(tree.get(), L"intop.par");
  PartSite* loose = NewPart(tree.get(), L"loose.par");
  for (SiteNode* site : std::initializer_list<SiteNode*>{top, sub, lone, inSub, inTop, loose})
    ASSERT_EQ(site->AddUserData(kCountedType, site), S_OK);
  Place(top, sub);
  Place(top, inTop);
  Place(sub, inSub);
  EXPECT_FALSE(sub->IsUnused());
  EXPECT_EQ(sub->RemoveAndDestroy(), E_FAIL);

  // top goes first and takes its placements along, so sub and the parts
  // placed below become unused in the same call.
  EXPECT_EQ(tree->DeleteUnusedSites(), S_OK);
  EXPECT_EQ(tree->GetAssemblySiteManager()->GetCount(), 0u);
  EXPECT_EQ(tree->GetPartSiteManager()->GetCount(), 0u);
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), 0u);
  EXPECT_EQ(gReleases, 6);
  (void)lone;
  (void)loose;
}

TEST(SiteUse, DeleteUnusedSitesJudgesEachSiteWhenExamined) {
  TreePtr tree = NewTree();
  AssemblySite* sub = NewAssembly(tree.get(), L"sub.asm");  // examined before the one placing it
  AssemblySite* top = NewAssembly(tree.get(), L"top.asm");
  PartSite* part = NewPart(tree.get(), L"p.par");
  Place(top, sub);
  Place(sub, part);
  EXPECT_EQ(tree->DeleteUnusedSites(), S_OK);
  EXPECT_EQ(Find(tree.get(), L"top.asm"), nullptr);
  EXPECT_EQ(Find(tree.get(), L"sub.asm"), sub);
  EXPECT_EQ(Find(tree.get(), L"p.par"), part);
  EXPECT_EQ(tree->DeleteUnusedSites(), S_OK);
  EXPECT_EQ(tree->GetAssemblySiteManager()->GetCount() + tree->GetPartSiteManager()->GetCount(), 0u);
}

// A site counts as placed by every attachment of the tree that names it,
// listed by its parent or not; an assembly site that goes takes the
// attachments it lists along.
TEST(SiteUse, DeleteUnusedSitesCountsEveryPlacement) {
  TreePtr tree = NewTree();
  AssemblySite* twice = NewAssembly(tree.get(), L"twice.asm");
  AssemblySite* holder = NewAssembly(tree.get(), L"holder.asm");
  PartSite* doubled = NewPart(tree.get(), L"doubled.par");
  PartSite* kept = NewPart(tree.get(), L"kept.par");
  Place(twice, doubled);
  Place(twice, doubled);
  AttachmentNode* unlisted = Place(holder, kept);
  ASSERT_EQ(holder->RemoveAttachment(unlisted), S_OK);

  EXPECT_EQ(tree->DeleteUnusedSites(), S_OK);
  EXPECT_EQ(Find(tree.get(), L"twice.asm"), nullptr);
  EXPECT_EQ(Find(tree.get(), L"holder.asm"), nullptr);
  EXPECT_EQ(Find(tree.get(), L"doubled.par"), nullptr);
  EXPECT_EQ(Find(tree.get(), L"kept.par"), kept);  // its placement outlived its parent
  EXPECT_FALSE(kept->IsUnused());
  EXPECT_EQ(DeleteAttachmentNode(unlisted), S_OK);
  EXPECT_EQ(tree->DeleteUnusedSites(), S_OK);
  EXPECT_EQ(Find(tree.get(), L"kept.par"), nullptr);
}

TEST(SiteGraph, CompatibilityRefusesCyclesAndOtherTrees) {
  TreePtr tree = NewTree();
  TreePtr other = NewTree();
  AssemblySite* a = NewAssembly(tree.get(), L"a.asm");
  AssemblySite* b = NewAssembly(tree.get(), L"b.asm");
  AssemblySite* c = NewAssembly(tree.get(), L"c.asm");
  PartSite* p = NewPart(tree.get(), L"p.par");
  PartSite* foreign = NewPart(other.get(), L"p.par");
  Place(a, b);
  Place(b, c);
  Place(c, p);

  EXPECT_FALSE(a->IsAttachmentCompatible(a));
  EXPECT_FALSE(c->IsAttachmentCompatible(a));  // a -> b -> c -> a
  EXPECT_FALSE(c->IsAttachmentCompatible(b));
  EXPECT_FALSE(a->IsAttachmentCompatible(foreign));
  EXPECT_FALSE(a->IsAttachmentCompatible(nullptr));
  EXPECT_TRUE(a->IsAttachmentCompatible(c));  // sharing is no cycle
  EXPECT_TRUE(c->IsAttachmentCompatible(p));

  EXPECT_TRUE(a->IsSiteDescendent(p));
  EXPECT_TRUE(p->IsSiteDescendent(p));
  EXPECT_FALSE(p->IsSiteDescendent(a));
  EXPECT_FALSE(c->IsSiteDescendent(b));

  const DWORD attachments = tree->GetAttachmentManager()->GetCount();
  AttachmentBundle bundles[2];
  bundles[0].site = p;
  bundles[1].site = a;  // the second bundle closes a cycle: nothing is made
  EXPECT_EQ(c->AddAttachments(2, bundles, nullptr), E_INVALIDARG);
  EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), attachments);
  EXPECT_EQ(c->GetAttachmentList().GetCount(), 1u);
}

TEST(SiteRange, PartRangeAndAssemblyRangeThroughPlacements) {
  TreePtr tree = NewTree();
  PartSite* part = NewPart(tree.get(), L"p.par");
  tagGBox box;
  EXPECT_EQ(part->GetSiteRange(&box), 1);
  EXPECT_TRUE(box.IsEmpty());

  const tagGBox unit(0, 0, 0, 1, 1, 1);
  part->SetRange(&unit);
  EXPECT_EQ(part->GetSiteRange(&box), 0);
  EXPECT_TRUE(box.IsEqual(unit));

  AssemblySite* sub = NewAssembly(tree.get(), L"sub.asm");
  EXPECT_EQ(sub->GetSiteRange(&box), 1);
  tagG4x4 shift = tagG4x4::Translation(10, 0, 0);
  ASSERT_EQ(sub->AddSingleAttachment(part, nullptr, 0, 0, nullptr), S_OK);
  ASSERT_EQ(sub->AddSingleAttachment(part, &shift, 0, 0, nullptr), S_OK);
  EXPECT_EQ(sub->GetSiteRange(&box), 0);
  EXPECT_TRUE(box.IsEqual(tagGBox(0, 0, 0, 11, 1, 1)));

  // Nested: the sub-assembly placed rotated a quarter turn about z.
  AssemblySite* top = NewAssembly(tree.get(), L"top.asm");
  tagG4x4 turn = tagG4x4::RotationZ(1.5707963267948966);
  ASSERT_EQ(top->AddSingleAttachment(sub, &turn, 0, 0, nullptr), S_OK);
  EXPECT_EQ(top->GetAssemblyRange(&box), 0);
  EXPECT_TRUE(box.IsEqual(tagGBox(-1, 0, 0, 0, 11, 1), 1e-9));

  // A last child that contributes nothing makes the answer 1.
  AssemblySite* empty = NewAssembly(tree.get(), L"empty.asm");
  ASSERT_EQ(top->AddSingleAttachment(empty, nullptr, 0, 0, nullptr), S_OK);
  EXPECT_EQ(top->GetAssemblyRange(&box), 1);
  EXPECT_TRUE(box.IsEqual(tagGBox(-1, 0, 0, 0, 11, 1), 1e-9));
}

TEST(SiteObjects, VirtualComponentLocalComponentAndDocument) {
  TreePtr tree = NewTree();
  PartSite* site = NewPart(tree.get(), L"C:\\dir\\p.par");
  ComPtr<TestUnknown> component(new TestUnknown());

  EXPECT_EQ(site->SetVirtualComponent(component.Get()), S_OK);
  EXPECT_TRUE(site->IsVirtualComponent());
  EXPECT_EQ(component->GetRefCount(), 2u);
  IUnknown* back = nullptr;
  EXPECT_EQ(site->GetVirtualComponent(IID_IUnknown, reinterpret_cast<void**>(&back)), S_OK);
  EXPECT_EQ(back, static_cast<IUnknown*>(component.Get()));
  back->Release();
  EXPECT_EQ(site->ClearVirtualComponent(), S_OK);
  EXPECT_FALSE(site->IsVirtualComponent());
  EXPECT_EQ(component->GetRefCount(), 1u);
  EXPECT_EQ(site->GetVirtualComponent(IID_IUnknown, reinterpret_cast<void**>(&back)), E_FAIL);

  // Local: the short path answers the base name, the object its persist id.
  DWORD oid = 0;
  EXPECT_EQ(site->GetLocalComponentOid(oid), E_FAIL);
  EXPECT_EQ(site->SetLocal(component.Get()), S_OK);
  EXPECT_TRUE(site->IsLocal());
  EXPECT_EQ(site->GetFilePath(false), L"p.par");
  EXPECT_EQ(site->GetFilePath(true), L"C:\\dir\\p.par");
  EXPECT_EQ(site->GetLocalComponentOid(oid), S_OK);
  EXPECT_EQ(oid, 42u);

  IUnknown* document = nullptr;
  EXPECT_EQ(site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(&document)), E_FAIL);
  EXPECT_EQ(site->SetDocument(component.Get()), S_OK);
  EXPECT_EQ(site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(&document)), S_OK);
  EXPECT_EQ(document, static_cast<IUnknown*>(component.Get()));
  document->Release();

  // The site releases the virtual component it holds when it goes.
  EXPECT_EQ(site->SetVirtualComponent(component.Get()), S_OK);
  EXPECT_EQ(site->RemoveAndDestroy(), S_OK);
  EXPECT_EQ(component->GetRefCount(), 1u);
}

TEST(NodeLists, RemovalByValueTakesTheFirstEqualEntry) {
  int a = 0, b = 0, c = 0;
  NodeList<int> list;
  int* entries[] = {&a, &b, &a, &c, &a};
  ASSERT_EQ(list.AddNodes(5, entries), S_OK);
  EXPECT_EQ(list.Remove(&a), S_OK);
  EXPECT_EQ(std::vector<int*>(list.begin(), list.end()), (std::vector<int*>{&b, &a, &c, &a}));
  EXPECT_EQ(list.Remove(&c), S_OK);
  EXPECT_EQ(std::vector<int*>(list.begin(), list.end()), (std::vector<int*>{&b, &a, &a}));
  EXPECT_EQ(list.Remove(&c), S_FALSE);
  EXPECT_EQ(list.GetCount(), 3u);
}

TEST(SiteObjects, OccurrencesIteratorWalksTheList) {
  quorra::test::AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"top");
  PartSite* site = b.Part(L"p");
  b.Place(top, site);
  b.Place(top, site);
  b.Build(top);
  ListIterator* iterator = nullptr;
  ASSERT_EQ(site->GetOccurrencesIterator(&iterator), S_OK);
  const NodeList<OccurrenceNode>& list = *site->GetOccurrencesList();
  EXPECT_EQ(iterator->GetNextNode(), list[0]);
  EXPECT_EQ(iterator->GetNextNode(), list[1]);
  EXPECT_EQ(iterator->GetNextNode(), nullptr);
  iterator->Rewind();
  EXPECT_EQ(iterator->GetNextNode(), list[0]);
  EXPECT_TRUE(iterator->Release());
  EXPECT_EQ(site->RemoveOccurrence(nullptr), S_FALSE);
}

namespace {
// Host entries of the display library, registered per test.
ComPtr<TestCacheManager>* gCutawayManager = nullptr;
HRESULT CreateCutawayManager(IJCutawayGeometryCacheManager** out) {
  *out = gCutawayManager->Get();
  (*out)->AddRef();
  return S_OK;
}
struct RemovingManager : ComObject<IJGeometryCacheManager> {
  HRESULT RemoveCache(IJGeometryCache* cache) override {
    removed.push_back(cache);
    return S_OK;
  }
  std::vector<IJGeometryCache*> removed;
};
RemovingManager* gRemovingManager = nullptr;
HRESULT GetGeometryCacheManager(IJGeometryCacheManager** out) {
  *out = gRemovingManager;
  gRemovingManager->AddRef();
  return S_OK;
}
}  // namespace

TEST(SiteCaches, CommonCacheGraphicInfoAndCacheManagerOwnership) {
  TreePtr tree = NewTree();
  PartSite* site = NewPart(tree.get(), L"p.par");
  ComPtr<TestCache> cache(new TestCache());
  ComPtr<TestGraphicInfo> info(new TestGraphicInfo());

  EXPECT_EQ(site->SetGraphicInfo(info.Get()), S_OK);
  EXPECT_EQ(info->GetRefCount(), 2u);
  EXPECT_EQ(site->SetCommonCache(static_cast<IJGeometryCache*>(cache.Get())), S_OK);
  EXPECT_EQ(cache->GetRefCount(), 2u);
  EXPECT_EQ(site->GetGraphicInfo(), nullptr);  // a new cache drops the graphic info
  EXPECT_EQ(info->GetRefCount(), 1u);
  EXPECT_EQ(site->SetCommonCache(static_cast<IJGeometryCache*>(cache.Get())), S_OK);
  EXPECT_EQ(cache->GetRefCount(), 2u);  // the same cache again holds no second reference

  DWORD type = 0;
  void* graphic = nullptr;
  EXPECT_EQ(site->GetTypedGraphic(&type, &graphic, GRAPHIC_TYPE_GEOMETRY_CACHE), S_OK);
  EXPECT_EQ(type, GRAPHIC_TYPE_GEOMETRY_CACHE);
  EXPECT_EQ(graphic, static_cast<IJGeometryCache*>(cache.Get()));
  EXPECT_EQ(site->GetTypedGraphic(&type, &graphic, 5), S_OK);
  EXPECT_EQ(type, 9u);
  EXPECT_EQ(site->GetTypedGraphic(&type, &graphic, 6), E_FAIL);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(graphic, nullptr);
  EXPECT_EQ(site->SetTypedGraphic(1, nullptr, 33), S_OK);
  EXPECT_EQ(cache->lastSetKey, 33u);

  // Without the host's cache manager the cache is still let go.
  quorra::host::UnregisterModule(L"dulcet.dll");
  EXPECT_EQ(site->ClearCommonCache(), E_NOTIMPL);
  EXPECT_EQ(cache->GetRefCount(), 1u);
  EXPECT_EQ(site->GetTypedGraphic(&type, &graphic, 5), E_FAIL);

  // With it, the cache is handed over for removal.
  RemovingManager removing;
  removing.AddRef();
  gRemovingManager = &removing;
  quorra::host::RegisterModule(L"dulcet.dll",
                               {{"GetIJGeometryCacheManager", reinterpret_cast<void*>(&GetGeometryCacheManager)}});
  EXPECT_EQ(site->SetCommonCache(static_cast<IJGeometryCache*>(cache.Get())), S_OK);
  EXPECT_EQ(site->ClearCommonCache(), S_OK);
  ASSERT_EQ(removing.removed.size(), 1u);
  EXPECT_EQ(removing.removed[0], static_cast<IJGeometryCache*>(cache.Get()));
  EXPECT_EQ(cache->GetRefCount(), 1u);
  quorra::host::UnregisterModule(L"dulcet.dll");
  gRemovingManager = nullptr;

  // The cutaway cache manager: none without the host entry; made once with
  // it; the void* form registers the cache under the default key; lite
  // changes invalidate; the site shuts the manager down when it goes.
  EXPECT_EQ(site->GetCacheManager(), nullptr);
  ComPtr<TestCacheManager> manager(new TestCacheManager());
  gCutawayManager = &manager;
  quorra::host::RegisterModule(L"jolter.dll",
                               {{"CreateCutawayGeometryCacheManager", reinterpret_cast<void*>(&CreateCutawayManager)}});
  EXPECT_EQ(site->SetCommonCache(static_cast<void*>(static_cast<IJGeometryCache*>(cache.Get()))), S_OK);
  EXPECT_EQ(site->GetCacheManager(), manager.Get());
  EXPECT_EQ(manager->registered.at(IJCutawayGeometryCacheManager::kDefaultKey),
            static_cast<IJGeometryCache*>(cache.Get()));
  EXPECT_EQ(manager->GetRefCount(), 2u);
  site->SetIsLite();
  site->SetIsLite();
  site->ClearIsLite();
  EXPECT_EQ(manager->invalidations, (std::vector<DWORD>{1, 1}));
  EXPECT_EQ(site->RemoveAndDestroy(), S_OK);
  EXPECT_EQ(manager->shutdowns, 1);
  EXPECT_EQ(manager->GetRefCount(), 1u);
  EXPECT_EQ(cache->GetRefCount(), 1u);
  quorra::host::UnregisterModule(L"jolter.dll");
  gCutawayManager = nullptr;
}

TEST(SiteCaches, CachedGeometryListFollowsItsFlag) {
  TreePtr tree = NewTree();
  PartSite* site = NewPart(tree.get(), L"p.par");
  EXPECT_EQ(site->GetCachedGeometry(false), nullptr);
  GraphicInfoList* made = site->GetCachedGeometry(true);
  ASSERT_NE(made, nullptr);
  EXPECT_TRUE(site->HasCachedGeometry());
  EXPECT_EQ(site->GetCachedGeometry(true), made);

  auto* replacement = new GraphicInfoList(2);
  EXPECT_EQ(site->SetCachedGeometry(replacement), S_OK);
  EXPECT_EQ(site->GetCachedGeometry(false), replacement);
  EXPECT_EQ(site->SetCachedGeometry(replacement), S_OK);  // the same list is kept, not freed
  EXPECT_EQ(site->GetCachedGeometry(false)->size(), 2u);
  EXPECT_EQ(site->SetCachedGeometry(nullptr), S_OK);
  EXPECT_FALSE(site->HasCachedGeometry());
  EXPECT_EQ(site->GetCachedGeometry(false), nullptr);
  site->GetCachedGeometry(true)->resize(3);  // freed with the site
}

TEST(SiteAccess, PartSiteHandsOutRecordsAndTakesThemBack) {
  TreePtr tree = NewTree();
  PartSite* site = NewPart(tree.get(), L"p.par");
  JGraphicContext context;
  int count = -1;
  GraphicInfo* records = nullptr;
  EXPECT_EQ(site->BeginAccess(&context, nullptr, &records), E_OUTOFMEMORY);
  EXPECT_EQ(site->EndAccess(&context, 0, nullptr), E_OUTOFMEMORY);

  // Nothing to draw.
  EXPECT_EQ(site->BeginAccess(&context, &count, &records), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(records, nullptr);

  // The cached geometry list is handed out as it is and not freed.
  GraphicInfoList* list = site->GetCachedGeometry(true);
  list->resize(3);
  EXPECT_EQ(site->BeginAccess(&context, &count, &records), S_OK);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(records, list->data());
  EXPECT_EQ(site->EndAccess(&context, count, records), S_OK);
  EXPECT_EQ(site->GetCachedGeometry(false)->size(), 3u);

  // A common cache comes as one record of its own.
  ComPtr<TestCache> cache(new TestCache());
  site->SetCommonCache(static_cast<IJGeometryCache*>(cache.Get()));
  EXPECT_EQ(site->BeginAccess(&context, &count, &records), S_OK);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(records[0].GetType(), GRAPHIC_TYPE_GEOMETRY_CACHE);
  EXPECT_EQ(records[0].GetGraphic(), static_cast<IJGeometryCache*>(cache.Get()));
  EXPECT_EQ(site->EndAccess(&context, count, records), S_OK);  // frees the record (sanitizers watch)

  // A graphic info object fills the records with the drawing state cleared;
  // a lite site with two or more records extends the context's roadmap.
  ComPtr<TestGraphicInfo> info(new TestGraphicInfo());
  site->SetGraphicInfo(info.Get());
  DisplayRoadmap roadmap(5, 4);
  context.SetRoadmap(&roadmap);
  context.SetDrawingState(0x1000);
  site->SetIsLite();
  EXPECT_EQ(site->BeginAccess(&context, &count, &records), E_UNEXPECTED);  // an empty answer
  info->records.resize(2);
  EXPECT_EQ(site->BeginAccess(&context, &count, &records), S_OK);
  EXPECT_EQ(info->stateSeen, 0u);
  EXPECT_EQ(context.GetDrawingState(), 0x1000u);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(roadmap.GetEntryCount(), 2u);
  EXPECT_EQ(roadmap.GetData(1u), 0u);
  EXPECT_EQ(site->EndAccess(&context, count, records), S_OK);
  EXPECT_EQ(info->returned, 2);
  EXPECT_EQ(roadmap.GetEntryCount(), 1u);
}
