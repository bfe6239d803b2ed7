// The IDS streams: the site file map and its "Sites" stream, the "IDS"
// stream written by SaveIDS and read by LoadIDS (byte layout, versions,
// damaged streams), the round trip of real sample assemblies loaded from
// their documents, and scene persistence.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>
#include <quorra/refhost/sample.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/assembly_builder.h"
#include "support/byte_stream.h"
#include "support/run_command.h"
#include "support/storage_support.h"

using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;
using quorra::test::AssemblyBuilder;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

struct LoadedTreeDeleter {
  void operator()(AsmTree* tree) const { AsmTreeUnloadAndDelete(tree); }
};
using Tree = std::unique_ptr<AsmTree, LoadedTreeDeleter>;

Tree NewEmptyTree() {
  AsmTree* tree = nullptr;
  EXPECT_EQ(CreateAsmTree(&tree, nullptr), S_OK);
  return Tree(tree);
}

ComPtr<IStorage> MemoryStorage() {
  ComPtr<IStorage> storage;
  EXPECT_EQ(quorra::host::CreateMemoryStorage(storage.Put()), S_OK);
  return storage;
}

std::vector<BYTE> StreamBytes(IStorage* storage, const wchar_t* name) {
  ComPtr<IStream> stream;
  std::vector<BYTE> bytes;
  if (SUCCEEDED(storage->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put())))
    quorra::host::ReadStreamBytes(stream.Get(), &bytes);
  return bytes;
}

void PutBytes(IStorage* storage, const wchar_t* name, const std::vector<BYTE>& bytes) {
  ASSERT_EQ(quorra::test::PutStream(storage, name, std::string(bytes.begin(), bytes.end())), S_OK);
}

// Builds expected stream bytes field by field.
class Bytes {
 public:
  Bytes& U32(DWORD v) { return Raw(&v, 4); }
  Bytes& U64(uint64_t v) { return Raw(&v, 8); }
  Bytes& F64(double v) { return Raw(&v, 8); }
  Bytes& Text(const std::wstring& text) {
    U32(static_cast<DWORD>(text.size()));
    for (wchar_t c : text) {
      bytes_.push_back(static_cast<BYTE>(c));
      bytes_.push_back(static_cast<BYTE>(c >> 8));
    }
    return *this;
  }
  Bytes& Box(const tagGBox& box) { return Raw(&box, sizeof box); }
  Bytes& Matrix(const tagG4x4& m) { return Raw(&m, sizeof m); }
  Bytes& Raw(const void* p, size_t n) {
    bytes_.insert(bytes_.end(), static_cast<const BYTE*>(p), static_cast<const BYTE*>(p) + n);
    return *this;
  }
  const std::vector<BYTE>& Get() const { return bytes_; }

 private:
  std::vector<BYTE> bytes_;
};

const tagGBox kEmptyBox(1e30, 1e30, 1e30, -1e30, -1e30, -1e30);

// ---- The site file map -------------------------------------------------------

TEST(SiteFileMap, AddFindAndBaseNameFallback) {
  SiteFileToUniversalIdentifierMap map;
  EXPECT_EQ(map.AddFile(L"c:/work/top.asm"), S_OK);
  EXPECT_EQ(map.AddFile(L"c:/work/parts/bolt.par"), S_OK);
  EXPECT_EQ(map.AddFile(nullptr), E_INVALIDARG);  // uses up id 3
  EXPECT_EQ(map.GetSiteCount(), 2u);
  EXPECT_EQ(map.Find(L"c:/work/top.asm"), 1u);
  EXPECT_EQ(map.Find(L"C:/WORK/Top.ASM"), 1u);      // the path is lower-cased
  EXPECT_EQ(map.Find(L"/elsewhere/bolt.par"), 2u);  // moved: found by base name
  EXPECT_EQ(map.Find(L"/elsewhere/Bolt.par"), 0u);  // the base name is taken as given
  EXPECT_EQ(map.Find(L"/elsewhere/nut.par"), 0u);
  EXPECT_STREQ(map.Find(uint64_t{2}), L"c:/work/parts/bolt.par");
  EXPECT_EQ(map.Find(uint64_t{3}), nullptr);
  EXPECT_EQ(map.AddFile(L"next.par"), S_OK);
  EXPECT_EQ(map.Find(L"next.par"), 4u);

  map.Clear();
  EXPECT_EQ(map.GetSiteCount(), 0u);
  EXPECT_EQ(map.Find(L"c:/work/top.asm"), 0u);
  EXPECT_EQ(map.AddFile(L"again.par"), S_OK);
  EXPECT_EQ(map.Find(L"again.par"), 1u);  // ids start over
}

TEST(SiteFileMap, CopiesAndMovesAreIndependent) {
  SiteFileToUniversalIdentifierMap map;
  map.AddFile(L"a.asm");
  map.AddFile(L"dir/b.par");
  SiteFileToUniversalIdentifierMap copy(map);
  SiteFileToUniversalIdentifierMap assigned;
  assigned = copy;
  map.Clear();
  map.AddFile(L"other.par");
  for (SiteFileToUniversalIdentifierMap* m : {&copy, &assigned}) {
    EXPECT_EQ(m->GetSiteCount(), 2u);
    EXPECT_STREQ(m->Find(uint64_t{2}), L"dir/b.par");  // its own key text, not the cleared map's
    EXPECT_EQ(m->Find(L"x/b.par"), 2u);
  }
  SiteFileToUniversalIdentifierMap moved(std::move(copy));
  EXPECT_STREQ(moved.Find(uint64_t{1}), L"a.asm");
  EXPECT_EQ(copy.GetSiteCount(), 0u);  // NOLINT(bugprone-use-after-move): a moved-from map is empty
  moved.AddFile(L"c.par");
  EXPECT_EQ(moved.Find(L"c.par"), 3u);  // the next id moved along
}

// A path that moved directory keeps its id through Update; an unknown one
// gets a new id; removed ids are forgotten.
TEST(SiteFileMap, UpdateRepointsMovedFilesAndRemovesIds) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"/new/top");
  PartSite* bolt = b.Part(L"/new/place/Bolt");
  PartSite* nut = b.Part(L"/new/place/nut");
  b.Place(top, bolt);
  b.Place(top, nut);
  b.Build(top);

  SiteFileToUniversalIdentifierMap map;
  map.AddFile(L"/old/top.asm");
  map.AddFile(L"/old/dir/bolt.par");
  map.AddFile(L"/old/gone.par");
  std::set<DisplayRoadmap> roadmaps;
  for (DWORD id : {1u, 2u, 7u}) {  // 7 binds nothing and is skipped
    DisplayRoadmap roadmap;
    roadmap.AddLink(id);
    roadmaps.insert(roadmap);
  }
  EXPECT_EQ(map.Update(b.Tree(), roadmaps, {3}), S_OK);
  EXPECT_STREQ(map.Find(uint64_t{2}), L"/new/place/bolt.par");  // same id, new path
  EXPECT_EQ(map.Find(L"/new/place/bolt.par"), 2u);
  EXPECT_EQ(map.Find(L"/new/place/nut.par"), 4u);  // new id
  EXPECT_EQ(map.Find(uint64_t{3}), nullptr);
  EXPECT_EQ(map.Find(L"/old/gone.par"), 0u);
  EXPECT_STREQ(map.Find(uint64_t{1}), L"/old/top.asm");  // the root was not asked for
  EXPECT_EQ(map.GetSiteCount(), 3u);
}

TEST(SiteFileMap, BuildMapsEverySiteLowerCasedAssembliesFirst) {
  AssemblyBuilder b;
  PartSite* part = b.Part(L"/D/Part");
  AssemblySite* top = b.Assembly(L"/D/Top");
  b.Place(top, part);
  SiteFileToUniversalIdentifierMap map;
  map.AddFile(L"stale.par");
  EXPECT_EQ(map.Build(b.Tree()), S_OK);
  EXPECT_EQ(map.GetSiteCount(), 2u);
  EXPECT_STREQ(map.Find(uint64_t{1}), L"/d/top.asm");
  EXPECT_STREQ(map.Find(uint64_t{2}), L"/d/part.par");
  EXPECT_EQ(map.Find(L"stale.par"), 0u);
}

// ---- The "Sites" stream --------------------------------------------------------

TEST(SitesStream, LayoutAndRoundTrip) {
  SiteFileToUniversalIdentifierMap map;
  map.AddFile(L"z.asm");
  map.AddFile(L"a.par");
  ComPtr<IStorage> storage = MemoryStorage();
  ASSERT_EQ(map.Save(storage.Get()), S_OK);
  // Entries in path order.
  Bytes expected;
  expected.U32(1).U64(3).U32(2).U64(2).Text(L"a.par").U64(1).Text(L"z.asm");
  EXPECT_EQ(StreamBytes(storage.Get(), L"Sites"), expected.Get());

  SiteFileToUniversalIdentifierMap loaded;
  loaded.AddFile(L"leftover.par");
  ASSERT_EQ(loaded.Load(storage.Get()), S_OK);
  EXPECT_EQ(loaded.GetSiteCount(), 2u);
  EXPECT_STREQ(loaded.Find(uint64_t{1}), L"z.asm");
  EXPECT_EQ(loaded.Find(L"leftover.par"), 0u);
  loaded.AddFile(L"new.par");
  EXPECT_EQ(loaded.Find(L"new.par"), 3u);  // the stored next id
}

TEST(SitesStream, MissingWrongVersionAndTruncated) {
  SiteFileToUniversalIdentifierMap map;
  map.AddFile(L"x.par");
  EXPECT_EQ(map.Load(MemoryStorage().Get()), S_OK);  // no stream: empty
  EXPECT_EQ(map.GetSiteCount(), 0u);
  EXPECT_EQ(map.Save(nullptr), E_INVALIDARG);

  ComPtr<IStorage> storage = MemoryStorage();
  PutBytes(storage.Get(), L"Sites", Bytes().U32(2).U64(2).U32(1).U64(1).Text(L"x.par").Get());
  map.AddFile(L"x.par");
  {
    ScopedTraceCapture traces;
    EXPECT_EQ(map.Load(storage.Get()), E_UNEXPECTED);
    EXPECT_TRUE(traces.Saw("SiteFileToUniversalIdentifierMap::Load", E_UNEXPECTED));
  }
  EXPECT_EQ(map.GetSiteCount(), 0u);

  // Every truncation loads silently what it holds whole.
  const std::vector<BYTE> full = Bytes().U32(1).U64(3).U32(2).U64(1).Text(L"a.par").U64(2).Text(L"b.par").Get();
  for (size_t length = 0; length <= full.size(); ++length) {
    PutBytes(storage.Get(), L"Sites", std::vector<BYTE>(full.begin(), full.begin() + length));
    EXPECT_EQ(map.Load(storage.Get()), S_OK) << length;
    const uint64_t whole = length >= full.size() ? 2 : length >= 16 + 8 + 4 + 10 ? 1 : 0;
    EXPECT_EQ(map.GetSiteCount(), whole) << length;
  }
}

// ---- The "IDS" stream ----------------------------------------------------------

// The small tree of the layout tests: top.asm places sub.asm (id 1) and
// p.par (id 2, named "Bolt 1"); sub.asm places p.par (id 1).
struct SmallTree {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"top");
  AssemblySite* sub = b.Assembly(L"sub");
  tagGBox partRange{-1, -2, -3, 1, 2, 3};
  PartSite* part = b.Part(L"p", &partRange);
  AttachmentNode* toSub = b.Place(top, sub, tagG4x4::Translation(10, 0, 0));
  AttachmentNode* toPart = b.Place(top, part, tagG4x4::Translation(0, 5, 0));
  AttachmentNode* subPart = b.Place(sub, part);
  SiteFileToUniversalIdentifierMap map;

  SmallTree() {
    toPart->SetSymbology(0x4000F00F);
    toPart->AddUserData(UD_OCC_NAME, new GUserText(L"Bolt 1"));
    part->AddUserData(UD_GEOMETRIC_VERSION_STAMP, reinterpret_cast<void*>(uintptr_t{77}));
    sub->AddUserData(quorra::kSiteValueSetUserData, new quorra::SiteValueSet{9, 4});
    EXPECT_EQ(part->SetFlags(part->GetFlags() | SITE_HIDDEN), S_OK);
    b.Build(top);
    EXPECT_EQ(map.Build(b.Tree()), S_OK);
  }
};

std::vector<BYTE> ExpectedSmallStream() {
  Bytes b;
  b.U32(1).U32(3).U32(2).U32(1).Text(L"Sites").U32(3).U32(2).U32(1);
  b.Text(L"Site").U32(1).U32(SITE_ASSEMBLY).Box(kEmptyBox).U32(0).U32(0xFFFFFFFF);
  b.Text(L"Site").U32(2).U32(SITE_ASSEMBLY).Box(kEmptyBox).U32(0).U32(133).U32(2).U32(4).U32(9).U32(0xFFFFFFFF);
  b.Text(L"Site").U32(3).U32(SITE_PART | SITE_HIDDEN).Box(tagGBox(-1, -2, -3, 1, 2, 3)).U32(77).U32(0xFFFFFFFF);
  b.Text(L"Atts");
  b.U32(1).U32(2);
  b.Text(L"Att").U32(2).U32(1).U32(0).Matrix(tagG4x4::Translation(10, 0, 0)).Text(L"sub.asm");
  b.Text(L"Att").U32(3).U32(2).U32(0x4000F00F).Matrix(tagG4x4::Translation(0, 5, 0)).Text(L"Bolt 1");
  b.U32(2).U32(1);
  b.Text(L"Att").U32(3).U32(1).U32(0).Matrix(tagG4x4()).Text(L"p.par");
  return b.Get();
}

TEST(IDSStream, SmallTreeByteLayout) {
  SmallTree small;
  ComPtr<IStorage> storage = MemoryStorage();
  ASSERT_EQ(small.b.Tree()->SaveIDS(storage.Get(), small.map), S_OK);
  EXPECT_EQ(StreamBytes(storage.Get(), L"IDS"), ExpectedSmallStream());
}

// Loads `ids` (and the map in `sites`) into a fresh tree.
HRESULT LoadInto(AsmTree* tree, const std::vector<BYTE>& ids, SiteFileToUniversalIdentifierMap map) {
  ComPtr<IStorage> storage = MemoryStorage();
  PutBytes(storage.Get(), L"IDS", ids);
  return tree->LoadIDS(storage.Get(), map);
}

SiteFileToUniversalIdentifierMap SmallMap() {
  SiteFileToUniversalIdentifierMap map;
  for (const wchar_t* path : {L"top.asm", L"sub.asm", L"p.par"}) map.AddFile(path);
  return map;
}

TEST(IDSStream, SmallTreeLoadsBack) {
  Tree tree = NewEmptyTree();
  ASSERT_EQ(LoadInto(tree.get(), ExpectedSmallStream(), SmallMap()), S_OK);
  SiteNode* part = nullptr;
  SiteNode* sub = nullptr;
  ASSERT_EQ(tree->FindSite(L"p.par", &part), S_OK);
  ASSERT_EQ(tree->FindSite(L"sub.asm", &sub), S_OK);
  EXPECT_EQ(part->GetFlags(), SITE_PART | SITE_HIDDEN);
  EXPECT_TRUE(quorra::test::SameBox(*static_cast<PartSite*>(part)->GetRange(), tagGBox(-1, -2, -3, 1, 2, 3)));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(part->GetUserData(UD_GEOMETRIC_VERSION_STAMP, nullptr)), 77u);
  int found = 1;
  sub->GetUserData(UD_GEOMETRIC_VERSION_STAMP, &found);
  EXPECT_EQ(found, 0);  // a stamp of 0 is not stored
  auto* values = static_cast<quorra::SiteValueSet*>(sub->GetUserData(quorra::kSiteValueSetUserData, nullptr));
  ASSERT_NE(values, nullptr);
  EXPECT_EQ(*values, (quorra::SiteValueSet{4, 9}));

  AssemblyOccurrence* root = tree->GetRootAssembly();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->GetSite()->GetFilePath(), L"top.asm");
  // The next attachment of top.asm gets a new id, not a stored one.
  EXPECT_EQ(static_cast<AssemblySite*>(root->GetSite())->GetLastAttachmentID(), 2u);
  OccurrenceNode* bolt = quorra::test::At(root, {2});
  ASSERT_NE(bolt, nullptr);
  EXPECT_EQ(bolt->GetAttachment()->GetSymbology(), 0x4000F00Fu);
  auto* name = static_cast<GUserText*>(bolt->GetAttachment()->GetUserData(UD_OCC_NAME, nullptr));
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(*name, L"Bolt 1");
  OccurrenceNode* deep = quorra::test::At(root, {1, 1});
  ASSERT_NE(deep, nullptr);
  EXPECT_TRUE(deep->GetCurrentToWorld().IsEqual(tagG4x4::Translation(10, 0, 0), 1e-12));
  tagGBox range;
  ASSERT_EQ(AsmTreeGetRange(tree.get(), &range), S_OK);
  EXPECT_TRUE(quorra::test::SameBox(range, tagGBox(-1, -2, -3, 11, 7, 3)));
}

// Site version 1 carries neither stamp nor user-data list; attachment
// version 1 no name. An assembly record's range is not restored.
TEST(IDSStream, OldVersionsLoad) {
  Bytes b;
  b.U32(1).U32(1).U32(1).U32(1).Text(L"Sites").U32(2).U32(1).U32(1);
  b.Text(L"Site").U32(1).U32(SITE_ASSEMBLY).Box(tagGBox(0, 0, 0, 500, 500, 500));
  b.Text(L"Site").U32(2).U32(SITE_PART).Box(tagGBox(0, 0, 0, 1, 1, 1));
  b.Text(L"Atts").U32(1).U32(1);
  b.Text(L"Att").U32(2).U32(4).U32(0).Matrix(tagG4x4());
  SiteFileToUniversalIdentifierMap map;
  map.AddFile(L"top.asm");
  map.AddFile(L"p.par");
  Tree tree = NewEmptyTree();
  ASSERT_EQ(LoadInto(tree.get(), b.Get(), map), S_OK);
  OccurrenceNode* part = quorra::test::At(tree->GetRootAssembly(), {4});
  ASSERT_NE(part, nullptr);
  int found = 1;
  part->GetAttachment()->GetUserData(UD_OCC_NAME, &found);
  EXPECT_EQ(found, 0);
  tagGBox range;
  AsmTreeGetRange(tree.get(), &range);
  EXPECT_TRUE(quorra::test::SameBox(range, tagGBox(0, 0, 0, 1, 1, 1)));  // not the stored 500 box
}

TEST(IDSStream, EveryTruncationIsAReadFault) {
  const std::vector<BYTE> full = ExpectedSmallStream();
  for (size_t length = 0; length < full.size(); ++length) {
    Tree tree = NewEmptyTree();
    ScopedTraceCapture traces;
    EXPECT_EQ(LoadInto(tree.get(), std::vector<BYTE>(full.begin(), full.begin() + length), SmallMap()), STG_E_READFAULT)
        << length;
    EXPECT_TRUE(traces.Saw("AsmTree::LoadIDS", STG_E_READFAULT)) << length;
    EXPECT_EQ(tree->GetRootAssembly(), nullptr);
  }
}

// Damaged fields stop the load at once; what was made stays.
TEST(IDSStream, BadIdsAndPathsFail) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> build;
    HRESULT expected;
    DWORD sitesMade;
  };
  auto header = [](Bytes& b, DWORD a, DWORD p) {
    b.U32(1).U32(3).U32(2).U32(1).Text(L"Sites").U32(a + p).U32(a).U32(p);
  };
  auto site = [](Bytes& b, DWORD id, DWORD flags) {
    b.Text(L"Site").U32(id).U32(flags).Box(kEmptyBox).U32(0).U32(~0u);
  };
  const std::vector<Case> cases = {
      {"unknown site id", [&](Bytes& b) { header(b, 1, 0), site(b, 9, SITE_ASSEMBLY); }, E_UNEXPECTED, 0},
      {"part flags on an assembly record", [&](Bytes& b) { header(b, 1, 0), site(b, 1, SITE_PART); }, E_UNEXPECTED, 0},
      {"no kind flag on a part record",
       [&](Bytes& b) { header(b, 1, 1), site(b, 1, SITE_ASSEMBLY), site(b, 3, SITE_HIDDEN); }, E_UNEXPECTED, 1},
      {"zero block id", [&](Bytes& b) { header(b, 1, 0), site(b, 1, SITE_ASSEMBLY), b.Text(L"Atts").U32(0).U32(0); },
       E_UNEXPECTED, 1},
      {"block id without path",
       [&](Bytes& b) { header(b, 1, 0), site(b, 1, SITE_ASSEMBLY), b.Text(L"Atts").U32(8).U32(0); }, E_POINTER, 1},
      {"block of a site never made",
       [&](Bytes& b) { header(b, 1, 0), site(b, 1, SITE_ASSEMBLY), b.Text(L"Atts").U32(2).U32(0); }, E_POINTER, 1},
      {"block of a part site",
       [&](Bytes& b) {
         header(b, 1, 1), site(b, 1, SITE_ASSEMBLY), site(b, 3, SITE_PART), b.Text(L"Atts").U32(3).U32(0);
       },
       E_UNEXPECTED, 2},
      {"zero child id",
       [&](Bytes& b) {
         header(b, 1, 0), site(b, 1, SITE_ASSEMBLY);
         b.Text(L"Atts").U32(1).U32(1).Text(L"Att").U32(0).U32(1).U32(0).Matrix(tagG4x4()).Text(L"");
       },
       E_UNEXPECTED, 1},
      {"cycle",
       [&](Bytes& b) {
         header(b, 1, 0), site(b, 1, SITE_ASSEMBLY);
         b.Text(L"Atts").U32(1).U32(1).Text(L"Att").U32(1).U32(1).U32(0).Matrix(tagG4x4()).Text(L"");
       },
       E_INVALIDARG, 1},
  };
  for (const Case& c : cases) {
    Bytes b;
    c.build(b);
    Tree tree = NewEmptyTree();
    ScopedTraceCapture traces;
    EXPECT_EQ(LoadInto(tree.get(), b.Get(), SmallMap()), c.expected) << c.what;
    EXPECT_TRUE(traces.Saw("AsmTree::LoadIDS", c.expected)) << c.what;
    EXPECT_EQ(tree->GetAssemblySiteManager()->GetCount() + tree->GetPartSiteManager()->GetCount(), c.sitesMade)
        << c.what;
  }
}

TEST(IDSStream, ArgumentAndStateChecks) {
  SmallTree small;
  ComPtr<IStorage> storage = MemoryStorage();
  ScopedTraceCapture traces;
  EXPECT_EQ(small.b.Tree()->SaveIDS(nullptr, small.map), E_INVALIDARG);
  EXPECT_EQ(small.b.Tree()->LoadIDS(nullptr, small.map), E_INVALIDARG);
  EXPECT_EQ(small.b.Tree()->LoadIDS(storage.Get(), small.map), E_UNEXPECTED);  // not empty
  EXPECT_TRUE(traces.Saw("AsmTree::LoadIDS", E_UNEXPECTED));
  Tree empty = NewEmptyTree();
  EXPECT_TRUE(FAILED(empty->LoadIDS(storage.Get(), small.map)));  // no "IDS" stream

  // A site the map does not know stops the save.
  SiteFileToUniversalIdentifierMap partial;
  partial.AddFile(L"top.asm");
  EXPECT_EQ(small.b.Tree()->SaveIDS(storage.Get(), partial), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("AsmTree::SaveIDS", E_UNEXPECTED));
}

// ---- Round trips of documents -------------------------------------------------

// What both trees must agree on, site by site and occurrence by occurrence.
void ExpectSameSites(AsmTree* a, AsmTree* b) {
  for (auto manager : {&AsmTree::GetAssemblySiteManager, &AsmTree::GetPartSiteManager}) {
    const auto& sa = (a->*manager)()->Nodes();
    const auto& sb = (b->*manager)()->Nodes();
    ASSERT_EQ(sa.size(), sb.size());
    for (size_t i = 0; i < sa.size(); ++i) {
      SCOPED_TRACE(sa[i]->GetFilePath().GetUtf8());
      EXPECT_EQ(sa[i]->GetFilePathLowerCase(), sb[i]->GetFilePath());
      EXPECT_EQ(sa[i]->GetFlags(), sb[i]->GetFlags());
      tagGBox ra, rb;
      EXPECT_EQ(sa[i]->GetSiteRange(&ra), sb[i]->GetSiteRange(&rb));
      EXPECT_TRUE(ra.IsEqual(rb, 1e-9));
      if (!sa[i]->IsAssembly()) continue;
      EXPECT_EQ(static_cast<AssemblySite*>(sa[i])->GetLastAttachmentID(),
                static_cast<AssemblySite*>(sb[i])->GetLastAttachmentID());
      DWORD na = 0, nb = 0;
      AttachmentNode* const* la = nullptr;
      AttachmentNode* const* lb = nullptr;
      static_cast<AssemblySite*>(sa[i])->GetAttachments(&na, &la);
      static_cast<AssemblySite*>(sb[i])->GetAttachments(&nb, &lb);
      ASSERT_EQ(na, nb);
      for (DWORD k = 0; k < na; ++k) {
        EXPECT_EQ(la[k]->GetAttachmentID(), lb[k]->GetAttachmentID());
        EXPECT_EQ(la[k]->GetSymbology(), lb[k]->GetSymbology());
        EXPECT_TRUE(la[k]->GetXFormFromParent()->GiveAsG4x4().IsEqual(lb[k]->GetXFormFromParent()->GiveAsG4x4(), 0));
        EXPECT_EQ(la[k]->GetAttachmentSite()->GetFilePathLowerCase(), lb[k]->GetAttachmentSite()->GetFilePath());
        auto* stored = static_cast<GUserText*>(la[k]->GetUserData(UD_OCC_NAME, nullptr));
        auto* name = static_cast<GUserText*>(lb[k]->GetUserData(UD_OCC_NAME, nullptr));
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(*name, stored ? *stored : la[k]->GetAttachmentSite()->GetBaseName());
      }
    }
  }
}

void ExpectSameOccurrences(OccurrenceNode* a, OccurrenceNode* b, size_t* count) {
  ++*count;
  ASSERT_EQ(a->IsAssembly(), b->IsAssembly());
  EXPECT_EQ(a->GetAttachment()->GetAttachmentID(), b->GetAttachment()->GetAttachmentID());
  EXPECT_TRUE(a->GetCurrentToWorld().IsEqual(b->GetCurrentToWorld(), 1e-9));
  tagGBox ra, rb;
  EXPECT_EQ(a->GetRange(&ra), b->GetRange(&rb));
  EXPECT_TRUE(ra.IsEqual(rb, 1e-6));
  if (!a->IsAssembly()) return;
  auto* aa = static_cast<AssemblyOccurrence*>(a);
  auto* ab = static_cast<AssemblyOccurrence*>(b);
  ASSERT_EQ(aa->GetChildCount(), ab->GetChildCount());
  for (DWORD i = 0; i < aa->GetChildCount(); ++i)
    ExpectSameOccurrences(aa->GetChildByIndex(i), ab->GetChildByIndex(i), count);
}

class IDSRoundTrip : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { quorra::refhost::Install(); }

  // Loads `top` from its documents, saves both streams into a compound file,
  // rebuilds a fresh tree from the file alone and compares the two.
  void RoundTrip(const std::wstring& top, size_t expectedOccurrences = 0) {
    AsmTree* loaded = nullptr;
    ASSERT_EQ(AsmTreeCreateAndLoad(top.c_str(), &loaded, nullptr), S_OK);
    Tree original(loaded);
    SiteFileToUniversalIdentifierMap map;
    ASSERT_EQ(map.Build(original.get()), S_OK);
    const std::wstring file = Widen(dir_.File("saved.ids"));
    {
      ComPtr<IStorage> storage;
      ASSERT_EQ(StgCreateDocfile(file.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put()),
                S_OK);
      ASSERT_EQ(original->SaveIDS(storage.Get(), map), S_OK);
      ASSERT_EQ(map.Save(storage.Get()), S_OK);
      ASSERT_EQ(storage->Commit(0), S_OK);
    }
    ComPtr<IStorage> storage;
    ASSERT_EQ(StgOpenStorage(file.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put()),
              S_OK);
    SiteFileToUniversalIdentifierMap reloaded;
    ASSERT_EQ(reloaded.Load(storage.Get()), S_OK);
    EXPECT_EQ(reloaded.GetSiteCount(), map.GetSiteCount());
    Tree rebuilt = NewEmptyTree();
    ASSERT_EQ(rebuilt->LoadIDS(storage.Get(), reloaded), S_OK);

    ExpectSameSites(original.get(), rebuilt.get());
    EXPECT_EQ(original->GetAttachmentManager()->GetCount(), rebuilt->GetAttachmentManager()->GetCount());
    size_t count = 0;
    ExpectSameOccurrences(original->GetRootAssembly(), rebuilt->GetRootAssembly(), &count);
    if (expectedOccurrences) {
      EXPECT_EQ(count, expectedOccurrences);
    }
    tagGBox ra, rb;
    EXPECT_EQ(AsmTreeGetRange(original.get(), &ra), AsmTreeGetRange(rebuilt.get(), &rb));
    EXPECT_TRUE(ra.IsEqual(rb, 1e-6));
    EXPECT_FALSE(ra.IsEmpty());
  }

  TempDir dir_;
};

TEST_F(IDSRoundTrip, Gearbox) {
  quorra::refhost::SampleSummary summary;
  ASSERT_EQ(quorra::refhost::WriteGearboxSample(Widen(dir_.Path()).c_str(), &summary), S_OK);
  ASSERT_GT(summary.weldments, 0u);
  RoundTrip(summary.topDocument, summary.expectedOccurrences);
}

TEST_F(IDSRoundTrip, DeepAndWideSamples) {
  for (auto [depth, fanout, parts] : {std::tuple{6u, 3u, 4u}, {2u, 300u, 120u}}) {
    SCOPED_TRACE(depth);
    quorra::refhost::SampleOptions options;
    options.depth = depth;
    options.fanout = fanout;
    options.parts = parts;
    quorra::refhost::SampleSummary summary;
    const std::string sub = dir_.File("sample" + std::to_string(depth));
    ASSERT_EQ(quorra::refhost::WriteSample(Widen(sub).c_str(), options, &summary), S_OK);
    RoundTrip(summary.topDocument, summary.expectedOccurrences);
  }
}

TEST_F(IDSRoundTrip, FamilyMembersAndWeldments) {
  using namespace quorra::refhost;
  auto path = [&](const char* name) { return Widen(dir_.File(name)); };
  ASSERT_EQ(WritePartDocument(path("a.par").c_str(), PartDocument{.display = MakeBoxDisplay(2, 2, 2)}), S_OK);
  PartFamilyDocument sizes;
  sizes.seed = L"Small";
  sizes.members = {{L"Small", PartDocument{.display = MakeBoxDisplay(2, 2, 2)}},
                   {L"Large", PartDocument{.display = MakeBoxDisplay(8, 8, 8)}}};
  ASSERT_EQ(WriteFamilyDocument(path("sizes.par").c_str(), sizes), S_OK);
  AssemblyFamilyDocument family;
  family.seed = L"Two";
  family.members.resize(2);
  family.members[0].name = L"One";
  family.members[0].document.AddPlacement(L"a.par", tagG4x4::Translation(1, 0, 0));
  family.members[1].name = L"Two";
  family.members[1].document.AddPlacement(L"sizes.par|Large", tagG4x4::Translation(0, 1, 0));
  ASSERT_EQ(WriteFamilyDocument(path("family.asm").c_str(), family), S_OK);
  WeldmentDocument weldment;
  weldment.members = {{1, MakeBoxDisplay(2, 2, 2)}, {12, MakeBoxDisplay(4, 4, 4)}};
  ASSERT_EQ(WriteWeldmentDocument(path("frame.pwd").c_str(), weldment), S_OK);
  AssemblyDocument top;
  top.AddPlacement(L"family.asm", tagG4x4::Translation(0, 0, 10));
  top.AddPlacement(L"family.asm|One", tagG4x4::Translation(0, 0, 20));
  top.AddPlacement(L"sizes.par|Small", tagG4x4::Translation(5, 0, 0));
  top.AddPlacement(L"frame.pwd", tagG4x4::Translation(0, 7, 0));
  top.AddPlacement(L"frame.pwd", tagG4x4::Translation(0, -7, 0));
  ASSERT_EQ(WriteAssemblyDocument(path("top.asm").c_str(), top), S_OK);
  RoundTrip(path("top.asm"));
}

// The written file is a compound file an independent reader lists with both
// streams, holding the bytes our own reader sees.
TEST_F(IDSRoundTrip, OlefileReadsTheWrittenFile) {
  if (quorra::test::RunCommand("/usr/bin/python3 -c 'import olefile' 2>/dev/null").exitCode != 0)
    GTEST_SKIP() << "python3-olefile is not installed";
  SmallTree small;
  const std::string file = dir_.File("small.ids");
  {
    ComPtr<IStorage> storage;
    ASSERT_EQ(
        StgCreateDocfile(Widen(file).c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put()),
        S_OK);
    ASSERT_EQ(small.b.Tree()->SaveIDS(storage.Get(), small.map), S_OK);
    ASSERT_EQ(small.map.Save(storage.Get()), S_OK);
    ASSERT_EQ(storage->Commit(0), S_OK);
  }
  const std::string script =
      "import sys, olefile\n"
      "ole = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_POTENTIAL)\n"
      "for name in sorted('/'.join(e) for e in ole.listdir()):\n"
      "    print(name, ole.openstream(name).read().hex())\n";
  const auto result = quorra::test::RunCommand("/usr/bin/python3 -c \"" + script + "\" " + file + " 2>&1");
  ASSERT_EQ(result.exitCode, 0) << result.output;
  auto hex = [](const std::vector<BYTE>& bytes) {
    std::string out;
    char buffer[3];
    for (BYTE byte : bytes) {
      std::snprintf(buffer, sizeof buffer, "%02x", byte);
      out += buffer;
    }
    return out;
  };
  ComPtr<IStorage> memory = MemoryStorage();
  small.map.Save(memory.Get());
  EXPECT_EQ(result.output,
            "IDS " + hex(ExpectedSmallStream()) + "\nSites " + hex(StreamBytes(memory.Get(), L"Sites")) + "\n");
}

// ---- Scene persistence ----------------------------------------------------------

TEST(ScenePersistence, SavesThroughTheGivenOrTheScenesStorage) {
  Tree tree = NewEmptyTree();
  ComPtr<IStorage> given = MemoryStorage();
  ComPtr<IStorage> held = MemoryStorage();
  GScene scene(0, held.Get(), nullptr, nullptr);
  tagGBox box(1, 2, 3, 4, 5, 6);
  scene.SetRange(&box);
  EXPECT_EQ(tree->Save(given.Get(), 7, 8, &scene), S_OK);
  EXPECT_EQ(StreamBytes(given.Get(), L"Scene").size(), 60u);
  EXPECT_TRUE(StreamBytes(held.Get(), L"Scene").empty());
  EXPECT_EQ(tree->Save(nullptr, 7, 8, &scene), S_OK);  // into the scene's own storage
  EXPECT_EQ(StreamBytes(held.Get(), L"Scene").size(), 60u);

  GScene other(0, held.Get(), nullptr, nullptr);
  EXPECT_EQ(tree->Load(nullptr, 1, 2, &other), S_OK);
  EXPECT_TRUE(other.GetRange().IsEqual(box, 0));

  // An object that is no storage counts as none.
  auto notStorage = quorra::test::ByteStream::Create();
  GScene noStorage(0, static_cast<IStream*>(notStorage.Get()), nullptr, nullptr);
  ScopedTraceCapture traces;
  EXPECT_EQ(tree->Save(nullptr, 0, 0, &noStorage), E_UNEXPECTED);
  EXPECT_EQ(tree->Load(nullptr, 0, 0, nullptr), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("AsmTree::Load", E_UNEXPECTED));
}

}  // namespace
