// Documents on disk: the writer's layouts read back through the storage
// engine, the display data format, the host's document services and the
// document functions of refhost's host modules.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#include "support/attachments_reader.h"
#include "support/run_command.h"
#include "support/storage_support.h"

using namespace quorra::refhost;
using quorra::host::ComPtr;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

constexpr DWORD kRead = STGM_READ | STGM_SHARE_EXCLUSIVE;

ComPtr<IStorage> OpenFile(const std::string& path) {
  ComPtr<IStorage> root;
  EXPECT_EQ(StgOpenStorage(Widen(path).c_str(), nullptr, kRead, nullptr, 0, root.Put()), S_OK) << path;
  return root;
}

ComPtr<IStorage> Sub(IStorage* parent, const wchar_t* name) {
  ComPtr<IStorage> child;
  if (parent) parent->OpenStorage(name, nullptr, kRead, nullptr, 0, child.Put());
  return child;
}

// Element names of a storage, in the engine's order.
std::vector<std::wstring> Names(IStorage* storage) {
  std::vector<std::wstring> names;
  for (const auto& element : quorra::test::ListElements(storage)) names.push_back(element.name);
  return names;
}

bool SameDisplay(const DisplayData& a, const DisplayData& b) {
  if (!a.box.IsEqual(b.box, 0) || a.levels.size() != b.levels.size()) return false;
  for (size_t i = 0; i < a.levels.size(); ++i)
    if (a.levels[i].tolerance != b.levels[i].tolerance || a.levels[i].positions != b.levels[i].positions ||
        a.levels[i].indices != b.levels[i].indices)
      return false;
  return true;
}

// gimbal.dll's function, looked up as the library looks it up.
JMGetPreviewBodyCacheIdFunction PreviewBodyCacheId() {
  static quorra::host::LateBoundFunction<JMGetPreviewBodyCacheIdSignature> late(L"gimbal.dll",
                                                                                "JMGetPreviewBodyCacheId");
  return late.Get();
}

tagG4x4 Placement(double x, double y, double z, double turn) {
  return tagG4x4::Translation(x, y, z) * tagG4x4::RotationZ(turn);
}

class Documents : public testing::Test {
 protected:
  void SetUp() override { quorra::refhost::Install(); }
  void TearDown() override { quorra::refhost::Uninstall(); }
  TempDir dir_;
};

// --- Assembly documents -------------------------------------------------------

TEST_F(Documents, AttachmentsStreamHoldsEveryFieldInOrder) {
  for (DWORD version : {4u, 5u}) {
    SCOPED_TRACE(version);
    AssemblyDocument doc;
    doc.version = version;
    doc.reserved = {7, 8, 9};
    doc.extended = {0xA1, 0xA2, 0xA3};
    PlacementRecord& first = doc.AddPlacement(L"C:\\parts\\a.par", Placement(1, 2, 3, 0.5));
    first.extra[0] = 0x11;
    first.extra[47] = 0x22;
    first.blockTail = {0xE1, 0xE2, 0xE3};
    doc.AddPlacement(L"C:\\parts\\a.par", Placement(-4, 5, -6, 1.5));
    doc.AddPlacement(L"sub.asm", tagG4x4());
    doc.components[1].secondLink = L"..\\other\\sub.asm";
    doc.components[1].skipLength = 5;
    doc.components[1].filler = 0x5A;
    PlacementRecord unnamed;
    unnamed.named = false;
    unnamed.matrix = Placement(9, 9, 9, 0);
    doc.components[1].placements.push_back(unnamed);

    const std::string path = dir_.File("top.asm");
    ASSERT_EQ(WriteAssemblyDocument(Widen(path).c_str(), doc), S_OK);
    std::vector<BYTE> bytes = quorra::test::ReadRootStream(Widen(path), L"Attachments");
    quorra::test::ReadAttachments read;
    ASSERT_EQ(quorra::test::ParseAttachments(bytes, &read), "");

    EXPECT_EQ(std::memcmp(read.header.data(), "QuorraAttachment", 16), 0);
    EXPECT_EQ(read.version, version);
    EXPECT_EQ(read.count, 2u);
    EXPECT_EQ(read.reserved, (std::array<DWORD, 3>{7, 8, 9}));
    // The extended words exist only from version 5 on: with version 4 the
    // reader would have taken them for the first moniker and failed.
    if (version >= 5) {
      EXPECT_EQ(read.extended, (std::array<DWORD, 3>{0xA1, 0xA2, 0xA3}));
    }
    EXPECT_EQ(bytes[36] == 0xA1, version >= 5);

    ASSERT_EQ(read.components.size(), 2u);
    const auto& a = read.components[0];
    EXPECT_EQ(a.link, L"C:\\parts\\a.par");
    EXPECT_EQ(a.secondFlag, 0u);
    EXPECT_EQ(a.skipLength, 0u);
    ASSERT_EQ(a.placements.size(), 2u);
    EXPECT_EQ(a.placements[0].name, L"C:\\parts\\a.par:1");
    EXPECT_EQ(a.placements[1].name, L"C:\\parts\\a.par:2");
    EXPECT_EQ(a.placements[0].nameLength, (std::wcslen(L"C:\\parts\\a.par:1") + 1) * 2);
    EXPECT_EQ(a.placements[0].blockLength, 4 + a.placements[0].nameLength + 3);
    EXPECT_EQ(a.placements[0].tail, (std::vector<BYTE>{0xE1, 0xE2, 0xE3}));
    EXPECT_EQ(a.placements[0].extra[0], 0x11);
    EXPECT_EQ(a.placements[0].extra[47], 0x22);
    EXPECT_EQ(std::memcmp(a.placements[0].matrix.m, Placement(1, 2, 3, 0.5).m, 128), 0);
    EXPECT_EQ(std::memcmp(a.placements[1].matrix.m, Placement(-4, 5, -6, 1.5).m, 128), 0);
    EXPECT_EQ(a.placements[1].blockLength, 4 + a.placements[1].nameLength);

    const auto& b = read.components[1];
    EXPECT_EQ(b.link, L"sub.asm");
    EXPECT_EQ(b.secondFlag, 1u);
    EXPECT_EQ(b.second, L"..\\other\\sub.asm");
    EXPECT_EQ(b.skipped, std::vector<BYTE>(5, 0x5A));
    ASSERT_EQ(b.placements.size(), 2u);
    EXPECT_EQ(b.placements[0].name, L"sub.asm:1");
    EXPECT_EQ(b.placements[1].blockLength, 0u);
    EXPECT_EQ(b.placements[1].matrix.m[3], 9.0);  // the translation sits in elements 3, 7, 11
  }
}

TEST_F(Documents, MalformedAttachmentsOnlyOnRequest) {
  AssemblyDocument doc;
  const std::wstring longName(300, L'x');  // "xxx...:1", 606 bytes with the terminator
  doc.AddPlacement(longName, tagG4x4());
  std::vector<BYTE> bytes;
  EXPECT_EQ(BuildAttachmentsStream(doc, &bytes), E_INVALIDARG);
  EXPECT_EQ(WriteAssemblyDocument(Widen(dir_.File("long.asm")).c_str(), doc), E_INVALIDARG);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("long.asm")));  // a failed document leaves no file

  doc.allowLongNames = true;
  ASSERT_EQ(BuildAttachmentsStream(doc, &bytes), S_OK);
  quorra::test::ReadAttachments read;
  ASSERT_EQ(quorra::test::ParseAttachments(bytes, &read), "");
  EXPECT_EQ(read.components[0].placements[0].nameLength, 606u);

  // Wrong lengths are written as given, the true name after them.
  AssemblyDocument wrong;
  PlacementRecord& record = wrong.AddPlacement(L"a.par", tagG4x4());
  record.nameLength = 1000;
  record.blockLength = 6;
  ASSERT_EQ(BuildAttachmentsStream(wrong, &bytes), S_OK);
  const size_t recordAt = bytes.size() - (128 + 48 + 4 + 4 + 16);
  DWORD block, name;
  std::memcpy(&block, &bytes[recordAt + 176], 4);
  std::memcpy(&name, &bytes[recordAt + 180], 4);
  EXPECT_EQ(block, 6u);
  EXPECT_EQ(name, 1000u);
  EXPECT_EQ(bytes[recordAt + 184], 'a');

  // A count that disagrees with the entries, and a truncated stream.
  wrong.componentCount = 3;
  wrong.truncateAt = 30;
  ASSERT_EQ(BuildAttachmentsStream(wrong, &bytes), S_OK);
  ASSERT_EQ(bytes.size(), 30u);
  EXPECT_EQ(bytes[20], 3);
}

// --- Part, weldment and family documents ----------------------------------------

TEST_F(Documents, PartLayoutMarksKernelGeometryAndHoldsDisplayData) {
  struct Case {
    bool kernel;
    bool display;
    DWORD preview;
  };
  for (Case c : {Case{true, true, 0}, Case{false, true, 0}, Case{true, false, 0}, Case{true, true, 42}}) {
    SCOPED_TRACE(testing::Message() << c.kernel << c.display << c.preview);
    PartDocument part;
    part.kernelGeometry = c.kernel;
    part.writeDisplay = c.display;
    part.previewBodyId = c.preview;
    part.display = MakeCylinderDisplay(5, 40);
    const std::string path = dir_.File("p.par");
    ASSERT_EQ(WritePartDocument(Widen(path).c_str(), part), S_OK);
    ComPtr<IStorage> root = OpenFile(path);
    std::vector<std::wstring> kernel = Names(Sub(root.Get(), L"TARVEX").Get());
    ASSERT_EQ(kernel.size(), 1u);
    // The loaders' test: "P" third from the end of a stream name.
    EXPECT_EQ(kernel[0][kernel[0].size() - 3] == L'P', c.kernel);

    ComPtr<IStorage> display = Sub(root.Get(), L"Display");
    ASSERT_EQ(display.Get() != nullptr, c.display);
    if (!c.display) continue;
    DisplayData read;
    ASSERT_EQ(ReadDisplayData(display.Get(), &read), S_OK);
    EXPECT_TRUE(SameDisplay(read, part.display));

    JMGetPreviewBodyCacheIdFunction previewId = PreviewBodyCacheId();
    ASSERT_NE(previewId, nullptr);
    EXPECT_EQ(previewId(Widen(path).c_str()), c.preview);
    // The preview body is the coarsest level, under its cache id.
    DisplayData preview;
    ASSERT_EQ(ReadDisplayDataForCache(display.Get(), c.preview, &preview), S_OK);
    EXPECT_EQ(preview.levels.size(), c.preview ? 1u : 3u);
    EXPECT_EQ(preview.levels.back().indices, part.display.levels.back().indices);
  }
  JMGetPreviewBodyCacheIdFunction previewId = PreviewBodyCacheId();
  EXPECT_EQ(previewId(Widen(dir_.File("absent.par")).c_str()), 0u);
  EXPECT_EQ(previewId(nullptr), 0u);
}

TEST_F(Documents, WeldmentMembersCarryTheNumbersTheLoaderReads) {
  WeldmentDocument weldment;
  for (DWORD number : {1u, 2u, 17u, 123456u}) weldment.members.push_back({number, MakeBoxDisplay(number, 2, 3)});
  const std::string path = dir_.File("frame.pwd");
  ASSERT_EQ(WriteWeldmentDocument(Widen(path).c_str(), weldment), S_OK);
  ComPtr<IStorage> root = OpenFile(path);
  EXPECT_FALSE(Names(Sub(root.Get(), L"TARVEX").Get()).empty());
  ComPtr<IStorage> display = Sub(root.Get(), L"DISPLAY");
  std::vector<DWORD> numbers;
  for (const std::wstring& name : Names(display.Get())) {
    // The loader's rule, spelled out: a name beginning with "C", cut by four
    // characters, holds the number from its sixth character.
    ASSERT_TRUE(name[0] == L'C' || name[0] == L'c');
    numbers.push_back(static_cast<DWORD>(std::wcstoul(name.substr(0, name.size() - 4).c_str() + 5, nullptr, 10)));
    EXPECT_EQ(DisplayMemberNumber(name), numbers.back());
  }
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers, (std::vector<DWORD>{1, 2, 17, 123456}));
  DisplayData member;
  ASSERT_EQ(ReadDisplayDataForCache(display.Get(), 17, &member), S_OK);
  EXPECT_DOUBLE_EQ(member.box.high[0] - member.box.low[0], 17);
  EXPECT_EQ(ReadDisplayDataForCache(display.Get(), 5, &member), STG_E_FILENOTFOUND);

  weldment.members.push_back({2, MakeBoxDisplay(1, 1, 1)});
  EXPECT_EQ(WriteWeldmentDocument(Widen(path).c_str(), weldment), E_INVALIDARG);
  EXPECT_EQ(Names(Sub(OpenFile(path).Get(), L"DISPLAY").Get()).size(), 4u);  // the old file stays
}

TEST_F(Documents, MemberNumbersFollowTheLoadersRule) {
  struct Case {
    const wchar_t* name;
    DWORD number;
  } cases[] = {{L"CBody12.dsp", 12}, {L"cBody7_xyz", 7}, {L"CBody.dsp", 0}, {L"Body12.dsp", 0},
               {L"C1234567890", 56}, {L"CBody", 0},      {L"", 0},          {L"CBodyX1.dsp", 0}};
  for (const Case& c : cases) EXPECT_EQ(DisplayMemberNumber(c.name), c.number) << c.name;
  EXPECT_EQ(DisplayMemberNumber(DisplayMemberStorageName(4000000000u)), 4000000000u);
  EXPECT_EQ(DisplayMemberNumber(L"CBody4294967296.dsp"), 0u);
}

TEST_F(Documents, FamiliesNameTheirSeedAndHandOutMembers) {
  AssemblyFamilyDocument family;
  family.seed = L"Long";
  for (const wchar_t* name : {L"Short", L"Long"}) {
    FamilyMember<AssemblyDocument> member;
    member.name = name;
    member.document.AddPlacement(std::wstring(name) + L".par", tagG4x4());
    family.members.push_back(member);
  }
  const std::string path = dir_.File("family.asm");
  ASSERT_EQ(WriteFamilyDocument(Widen(path).c_str(), family), S_OK);
  ComPtr<IStorage> root = OpenFile(path);
  EXPECT_TRUE(IsFileFamilyByStorage(root.Get()));
  wchar_t seed[32];
  ASSERT_EQ(GetFamilySeedNameByStorage(root.Get(), seed, 32), S_OK);
  EXPECT_STREQ(seed, L"Long");
  EXPECT_EQ(GetFamilySeedNameByStorage(root.Get(), seed, 4), E_INVALIDARG);

  // Through hawser.dll as the loader reaches it: loaded for the call.
  HMODULE hawser = JLoadLibrary(L"hawser.dll", 0);
  ASSERT_NE(hawser, nullptr);
  static quorra::host::LateBoundFunction<GetFamilyMemberStorageSignature> late(L"hawser.dll", "GetFamilyMemberStorage");
  GetFamilyMemberStorageFunction getMember = late.Get();
  ASSERT_NE(getMember, nullptr);
  ComPtr<IStorage> member;
  ASSERT_EQ(getMember(root.Get(), L"Long", STGM_PRIORITY, member.Put()), S_OK);
  quorra::test::ReadAttachments read;
  const std::string bytes = quorra::test::GetStream(member.Get(), L"Attachments");
  ASSERT_EQ(quorra::test::ParseAttachments(std::vector<BYTE>(bytes.begin(), bytes.end()), &read), "");
  EXPECT_EQ(read.components[0].placements[0].name, L"Long.par:1");
  EXPECT_EQ(getMember(root.Get(), L"Medium", STGM_PRIORITY, member.Put()), E_INVALIDARG);
  EXPECT_EQ(getMember(root.Get(), L"FamilyInfo", STGM_PRIORITY, member.Put()), E_INVALIDARG);
  JFreeLibrary(hawser);

  // A plain assembly is no family.
  AssemblyDocument plain;
  ASSERT_EQ(WriteAssemblyDocument(Widen(dir_.File("plain.asm")).c_str(), plain), S_OK);
  EXPECT_FALSE(IsFileFamilyByStorage(OpenFile(dir_.File("plain.asm")).Get()));
  EXPECT_EQ(GetFamilySeedNameByStorage(OpenFile(dir_.File("plain.asm")).Get(), seed, 32), STG_E_FILENOTFOUND);
}

TEST_F(Documents, PartFamilyMasterShowsItsSeed) {
  PartFamilyDocument family;
  family.seed = L"M8";
  family.members = {{L"M6", PartDocument{}}, {L"M8", PartDocument{}}};
  family.members[0].document.display = MakeBoltDisplay(3, 20, 10, 4);
  family.members[1].document.display = MakeBoltDisplay(4, 30, 13, 5);
  const std::string path = dir_.File("bolt.par");
  ASSERT_EQ(WriteFamilyDocument(Widen(path).c_str(), family), S_OK);
  DisplayData master, m6;
  ASSERT_EQ(ReadDisplayData(Sub(OpenFile(path).Get(), L"Display").Get(), &master), S_OK);
  EXPECT_TRUE(SameDisplay(master, family.members[1].document.display));
  ASSERT_EQ(ReadDisplayData(Sub(Sub(OpenFile(path).Get(), L"M6").Get(), L"Display").Get(), &m6), S_OK);
  EXPECT_TRUE(SameDisplay(m6, family.members[0].document.display));

  // Names the family cannot hold.
  for (auto [name, seedName] :
       {std::pair{L"Display", L"Display"}, {L"m8", L"M8"}, {L"A|B", L"M8"}, {L"", L"M8"}, {L"M7", L"M9"}}) {
    PartFamilyDocument bad = family;
    bad.members[0].name = name;
    bad.seed = seedName;
    EXPECT_EQ(WriteFamilyDocument(Widen(dir_.File("bad.par")).c_str(), bad), E_INVALIDARG) << name;
  }
}

TEST_F(Documents, DamagedFamilyInfoIsRejected) {
  std::vector<BYTE> good;
  ASSERT_EQ(BuildFamilyInfoStream({L"A", L"Bee"}, L"Bee", &good), S_OK);
  auto with = [&](size_t at, BYTE value) {
    std::vector<BYTE> bytes = good;
    bytes[at] = value;
    return bytes;
  };
  std::vector<BYTE> truncated(good.begin(), good.end() - 1), longer = good;
  longer.push_back(0);
  const std::vector<std::vector<BYTE>> damaged = {with(0, 'X'),  // signature
                                                  with(4, 2),    // version
                                                  with(8, 0),    // no members
                                                  with(12, 2),   // seed past the members
                                                  with(16, 0),   // empty name
                                                  with(16, 32),  // name longer than an element name
                                                  truncated,    longer};
  for (size_t i = 0; i < damaged.size(); ++i) {
    ComPtr<IStorage> storage;
    ASSERT_EQ(quorra::host::CreateMemoryStorage(storage.Put()), S_OK);
    ASSERT_EQ(quorra::test::PutStream(storage.Get(), L"FamilyInfo", std::string(damaged[i].begin(), damaged[i].end())),
              S_OK);
    EXPECT_FALSE(IsFileFamilyByStorage(storage.Get())) << i;
    wchar_t seed[32];
    EXPECT_EQ(GetFamilySeedNameByStorage(storage.Get(), seed, 32), STG_E_DOCFILECORRUPT) << i;
    EXPECT_STREQ(seed, L"");
  }
}

// --- Sub-storage components and the storage open -----------------------------

TEST(SubstorageComponents, SplitAndRemove) {
  const wchar_t master[] = {L'f', L'.', L'a', L's', L'm', L'|', L'M', L'a', L's', L't', L'e', L'r', 1, 0};
  struct Case {
    const wchar_t* name;
    HRESULT hr;
    const wchar_t* component;
    const wchar_t* file;
  } cases[] = {
      {L"C:\\dir\\family.par|Member1", S_OK, L"Member1", L"C:\\dir\\family.par"},
      {L"/d/a.asm|A|B", S_OK, L"A|B", L"/d/a.asm"},
      {L"/d/a.asm", S_FALSE, L"", L"/d/a.asm"},
      {L"/d/a.asm|", S_FALSE, L"", L"/d/a.asm"},
      {master, S_OK, master + 6, L"f.asm"},
  };
  for (const Case& c : cases) {
    wchar_t component[32] = L"junk";
    EXPECT_EQ(GetSubstorageComponentFromFileName(c.name, component, 32), c.hr) << c.name;
    EXPECT_STREQ(component, c.component);
    std::wstring file = c.name;
    EXPECT_EQ(RemoveSubstorageComponentFromFileName(file.data()), std::wstring(c.name) == c.file ? S_FALSE : S_OK);
    EXPECT_STREQ(file.c_str(), c.file);
  }
  // The loader's test for the master component: eight units.
  wchar_t component[32];
  ASSERT_EQ(GetSubstorageComponentFromFileName(master, component, 32), S_OK);
  const wchar_t expected[8] = {L'M', L'a', L's', L't', L'e', L'r', 1, 0};
  EXPECT_EQ(std::wmemcmp(component, expected, 8), 0);

  EXPECT_EQ(GetSubstorageComponentFromFileName(L"a.par|Member1", component, 7), E_INVALIDARG);
  EXPECT_STREQ(component, L"");
  EXPECT_EQ(GetSubstorageComponentFromFileName(nullptr, component, 7), E_POINTER);
  EXPECT_EQ(RemoveSubstorageComponentFromFileName(nullptr), E_POINTER);
}

TEST_F(Documents, StorageOpenWithAComponentOpensTheMember) {
  PartFamilyDocument family;
  family.seed = L"Big";
  family.members = {{L"Small", PartDocument{}}, {L"Big", PartDocument{}}};
  family.members[0].document.display = MakeBoxDisplay(1, 1, 1);
  family.members[1].document.display = MakeBoxDisplay(9, 9, 9);
  family.members[0].document.previewBodyId = 5;
  const std::wstring path = Widen(dir_.File("fam.par"));
  ASSERT_EQ(WriteFamilyDocument(path.c_str(), family), S_OK);

  ComPtr<IStorage> small;
  ASSERT_EQ(JStgOpenStorage((path + L"|Small").c_str(), nullptr, STGM_PRIORITY, nullptr, 0, small.Put(), 1), S_OK);
  // The member outlives every other reference to its document.
  DisplayData data;
  ASSERT_EQ(ReadDisplayData(Sub(small.Get(), L"Display").Get(), &data), S_OK);
  EXPECT_DOUBLE_EQ(data.box.high[0], 0.5);
  std::vector<BYTE> image;
  EXPECT_EQ(quorra::host::SaveStorageToBytes(small.Get(), &image), S_OK);  // the engine sees the member itself
  EXPECT_GT(image.size(), 512u);

  // Every read mode the loaders use works; writing is refused.
  for (DWORD mode : {0x40u, 0x10u, 0x10040u}) {
    ComPtr<IStorage> member;
    EXPECT_EQ(JStgOpenStorage((path + L"|big").c_str(), nullptr, mode, nullptr, 0, member.Put(), 1), S_OK) << mode;
  }
  ComPtr<IStorage> other;
  EXPECT_EQ(JStgOpenStorage((path + L"|Big").c_str(), nullptr, STGM_READWRITE, nullptr, 0, other.Put(), 1),
            STG_E_INVALIDFLAG);
  EXPECT_EQ(JStgOpenStorage((path + L"|Medium").c_str(), nullptr, 0x40, nullptr, 0, other.Put(), 1),
            STG_E_FILENOTFOUND);
  EXPECT_EQ(other.Get(), nullptr);
  // "Master" U+0001 and an empty component name the document itself.
  const std::wstring masterName = path + L"|Master\x01";
  for (const std::wstring& name : {masterName, path + L"|"}) {
    ASSERT_EQ(JStgOpenStorage(name.c_str(), nullptr, 0x40, nullptr, 0, other.Put(), 1), S_OK);
    EXPECT_TRUE(IsFileFamilyByStorage(other.Get()));
  }
  // The preview body of a member, through the component.
  JMGetPreviewBodyCacheIdFunction previewId = PreviewBodyCacheId();
  EXPECT_EQ(previewId((path + L"|Small").c_str()), 5u);
  EXPECT_EQ(previewId((path + L"|Big").c_str()), 0u);
}

// --- Path search ----------------------------------------------------------------

// Runs with the current directory in a fresh temporary directory.
class PathSearch : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(saved_, sizeof(saved_)), nullptr);
    std::filesystem::create_directories(dir_.File("asm/sub"));
    std::filesystem::create_directories(dir_.File("cwd"));
    std::filesystem::create_directories(dir_.File("asm/folder.par"));
    for (const char* file : {"asm/a.par", "asm/b.psm", "cwd/a.par", "cwd/c.par", "asm/sub/d.par", "asm/fam.par"})
      quorra::test::WriteFileBytes(dir_.File(file), {1});
    ASSERT_EQ(chdir(dir_.File("cwd").c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(saved_), 0); }

  // The search's answer, "" when it finds nothing.
  std::string Search(const std::wstring& path, const std::wstring& name, const wchar_t* extension) {
    wchar_t buffer[2048];
    wchar_t* filePart = nullptr;
    DWORD n = SearchPathW(path.empty() ? nullptr : path.c_str(), name.c_str(), extension, 2048, buffer, &filePart);
    if (n == 0) {
      EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
      return "";
    }
    EXPECT_EQ(n, std::wcslen(buffer));
    EXPECT_EQ(std::wstring(filePart).find(L'/'), std::wstring::npos);
    return quorra::host::ToUtf8(buffer);
  }

  std::string Real(const char* file) { return std::filesystem::canonical(dir_.File(file)).string(); }

  TempDir dir_;
  char saved_[4096];
};

TEST_F(PathSearch, FindsNamesInOrderOfDirectories) {
  const std::wstring assembly = Widen(dir_.File("asm"));
  const std::string asmDir = std::filesystem::canonical(dir_.File("asm")).string();
  struct Case {
    std::wstring path;
    std::wstring name;
    const wchar_t* extension;
    std::string found;
  } cases[] = {
      {assembly, L"a.par", L".par", Real("asm/a.par")},          // the assembly's directory
      {L".", L"a.par", L".par", Real("cwd/a.par")},              // then the current one
      {L"", L"c.par", nullptr, Real("cwd/c.par")},               // no path: the current directory
      {assembly, L"c.par", L".par", ""},                         // only the directories given
      {assembly + L";.", L"c.par", nullptr, Real("cwd/c.par")},  // a list
      {assembly, L"a", L".par", Real("asm/a.par")},              // the default extension
      {assembly, L"b", L".par", ""},                             // .par first: b.par is not there
      {assembly, L"b", L".psm", Real("asm/b.psm")},
      {assembly, L"b.psm", L".par", Real("asm/b.psm")},  // a name with one keeps its own
      {assembly, L"folder.par", nullptr, ""},            // directories are not files
      {assembly, L"sub/d.par", nullptr, Real("asm/sub/d.par")},
      {L".", Widen(dir_.File("asm/b.psm")), nullptr, Real("asm/b.psm")},  // absolute: as given
      // Windows names that do not exist here: found by base name.
      {assembly, L"C:\\parts\\a.par", L".par", Real("asm/a.par")},
      {L".", L"C:\\parts\\a.par", L".par", Real("cwd/a.par")},
      {assembly, L"sub\\d.par", nullptr, Real("asm/sub/d.par")},  // as given first
      {assembly, L"D:\\x\\y\\d.par", nullptr, ""},
      {assembly, L"\\\\server\\share\\b.psm", nullptr, Real("asm/b.psm")},
  };
  for (const Case& c : cases) EXPECT_EQ(Search(c.path, c.name, c.extension), c.found) << quorra::host::ToUtf8(c.name);
  EXPECT_EQ(asmDir + "/fam.par|Member2", Search(assembly, L"C:\\lib\\fam.par|Member2", L".par"));
}

TEST_F(PathSearch, ExtraDirectoriesComeAfterTheCurrentDirectory) {
  std::filesystem::create_directories(dir_.File("lib/sub"));
  for (const char* file : {"lib/a.par", "lib/e.par", "lib/sub/f.par", "lib/g.psm"})
    quorra::test::WriteFileBytes(dir_.File(file), {1});
  quorra::host::SetExtraSearchDirectories({dir_.File("lib")});
  const std::wstring assembly = Widen(dir_.File("asm"));
  struct Case {
    std::wstring path;
    std::wstring name;
    const wchar_t* extension;
    std::string found;
  } cases[] = {
      {L".", L"a.par", L".par", Real("cwd/a.par")},          // the current directory first
      {assembly, L"e.par", L".par", ""},                     // not after a list without "."
      {L".", L"e.par", L".par", Real("lib/e.par")},          // after it
      {assembly + L";.", L"e", L".par", Real("lib/e.par")},  // with the default extension
      {L".", L"g", L".par", ""},
      {L".", L"sub/f.par", nullptr, Real("lib/sub/f.par")},   // relative: as given
      {L".", L"C:\\old\\e.par", L".par", Real("lib/e.par")},  // a Windows name by its base name
      {L".", L"C:\\old\\f.par", L".par", ""},
      {L".", Widen("/nowhere/e.par"), nullptr, Real("lib/e.par")},  // a moved absolute name
  };
  for (const Case& c : cases) EXPECT_EQ(Search(c.path, c.name, c.extension), c.found) << quorra::host::ToUtf8(c.name);
  quorra::host::SetExtraSearchDirectories({});
  EXPECT_EQ(Search(L".", L"e.par", L".par"), "");
}

TEST_F(PathSearch, ReportsTheBufferSizeNeeded) {
  const std::wstring assembly = Widen(dir_.File("asm"));
  const size_t length = Real("asm/a.par").size();
  wchar_t small[8] = L"keep";
  EXPECT_EQ(SearchPathW(assembly.c_str(), L"a.par", nullptr, 8, small, nullptr), length + 1);
  EXPECT_STREQ(small, L"keep");
  std::vector<wchar_t> exact(length + 1);
  wchar_t* filePart = nullptr;
  EXPECT_EQ(SearchPathW(assembly.c_str(), L"a.par", nullptr, static_cast<DWORD>(exact.size()), exact.data(), &filePart),
            length);
  EXPECT_STREQ(filePart, L"a.par");
  EXPECT_EQ(SearchPathW(assembly.c_str(), nullptr, nullptr, 8, small, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// --- Display data -------------------------------------------------------------------

TEST(DisplayDataFormat, SolidsRoundTrip) {
  const DisplayData solids[] = {MakeBoxDisplay(10, 20, 30), MakeCylinderDisplay(5, 40), MakeTubeDisplay(4, 8, 10),
                                MakeGearDisplay(50, 6, 31, 12), MakeBoltDisplay(4, 30, 13, 5)};
  for (const DisplayData& solid : solids) {
    ASSERT_EQ(ValidateDisplayData(solid), S_OK);
    EXPECT_GE(solid.levels.size(), 2u);
    EXPECT_GT(solid.levels.front().TriangleCount(), solid.levels.back().TriangleCount());
    std::vector<BYTE> bytes;
    ASSERT_EQ(EncodeDisplayData(solid, &bytes), S_OK);
    DisplayData read;
    ASSERT_EQ(DecodeDisplayData(bytes.data(), bytes.size(), &read), S_OK);
    EXPECT_TRUE(SameDisplay(read, solid));
  }
  DisplayData box = MakeBoxDisplay(10, 20, 30);
  EXPECT_TRUE(box.box.IsEqual(tagGBox(-5, -10, -15, 5, 10, 15)));
}

TEST(DisplayDataFormat, EveryTruncationIsRejected) {
  std::vector<BYTE> bytes;
  ASSERT_EQ(EncodeDisplayData(MakeGearDisplay(10, 2, 5, 3), &bytes), S_OK);
  quorra::host::ScopedTraceCapture traces;
  for (size_t size = 0; size < bytes.size(); ++size) {
    DisplayData read = MakeBoxDisplay(1, 1, 1);
    ASSERT_EQ(DecodeDisplayData(bytes.data(), size, &read), STG_E_DOCFILECORRUPT) << size;
    ASSERT_TRUE(read.levels.empty());
  }
}

TEST(DisplayDataFormat, DamagedFieldsAreRejected) {
  std::vector<BYTE> good;
  const DisplayData cube = MakeBoxDisplay(2, 2, 2);  // levels of 4 x 4 and 1 x 1 cells per face
  ASSERT_EQ(EncodeDisplayData(cube, &good), S_OK);
  const size_t level0 = 64, positions0 = level0 + 16;
  const size_t indices0 = positions0 + cube.levels[0].positions.size() * 4;
  auto patch = [&](size_t at, auto value) {
    std::vector<BYTE> bytes = good;
    std::memcpy(&bytes[at], &value, sizeof(value));
    return bytes;
  };
  std::vector<BYTE> longer = good;
  longer.push_back(0);
  const std::vector<std::pair<const char*, std::vector<BYTE>>> damaged = {
      {"signature", patch(0, 'X')},
      {"version", patch(4, DWORD{2})},
      {"no levels", patch(8, DWORD{0})},
      {"too many levels", patch(8, DWORD{9})},
      {"reserved", patch(12, DWORD{1})},
      {"inverted box", patch(16, 5.0)},
      {"infinite box", patch(40, std::numeric_limits<double>::infinity())},
      {"negative tolerance", patch(level0, -1.0)},
      {"no vertices", patch(level0 + 8, DWORD{0})},
      {"huge vertex count", patch(level0 + 8, DWORD{0xFFFFFFFF})},
      {"vertex count past the data", patch(level0 + 8, DWORD{1u << 22})},
      {"huge triangle count", patch(level0 + 12, DWORD{0x40000000})},
      {"vertex outside the box", patch(positions0, 7.0f)},
      {"vertex not a number", patch(positions0 + 4, std::numeric_limits<float>::quiet_NaN())},
      {"index past the vertices", patch(indices0, DWORD{100000})},
      {"levels out of order", patch(level0, 5.0)},  // finer level less exact than the coarser
      {"bytes after the end", longer},
  };
  for (const auto& [what, bytes] : damaged) {
    DisplayData read;
    EXPECT_EQ(DecodeDisplayData(bytes.data(), bytes.size(), &read), STG_E_DOCFILECORRUPT) << what;
  }

  // The writer refuses what the reader would.
  DisplayData bad = cube;
  bad.levels[1].indices[0] = 1000;
  std::vector<BYTE> bytes;
  EXPECT_EQ(EncodeDisplayData(bad, &bytes), E_INVALIDARG);
  bad = cube;
  std::swap(bad.levels[0], bad.levels[1]);
  EXPECT_EQ(EncodeDisplayData(bad, &bytes), E_INVALIDARG);
  bad = cube;
  bad.levels[0].positions.pop_back();
  EXPECT_EQ(EncodeDisplayData(bad, &bytes), E_INVALIDARG);
  EXPECT_EQ(EncodeDisplayData(DisplayData(), &bytes), E_INVALIDARG);
}

// --- An independent reader ---------------------------------------------------------

TEST_F(Documents, OlefileListsTheWrittenStreams) {
  if (quorra::test::RunCommand("/usr/bin/python3 -c 'import olefile' 2>/dev/null").exitCode != 0)
    GTEST_SKIP() << "python3-olefile is not installed";
  AssemblyDocument assembly;
  assembly.AddPlacement(L"p.par", tagG4x4());
  ASSERT_EQ(WriteAssemblyDocument(Widen(dir_.File("a.asm")).c_str(), assembly), S_OK);
  PartDocument part;
  part.previewBodyId = 3;
  ASSERT_EQ(WritePartDocument(Widen(dir_.File("p.par")).c_str(), part), S_OK);
  const std::string script =
      "import olefile,sys\n"
      "for f in sys.argv[1:]:\n"
      "  o=olefile.OleFileIO(f)\n"
      "  print(';'.join(sorted('/'.join(e)+'='+str(o.get_size('/'.join(e))) for e in o.listdir())))\n";
  const quorra::test::CommandResult listing = quorra::test::RunCommand("/usr/bin/python3 -c \"" + script + "\" " +
                                                                       dir_.File("a.asm") + " " + dir_.File("p.par"));
  ASSERT_EQ(listing.exitCode, 0) << listing.output;
  std::vector<BYTE> attachments = quorra::test::ReadRootStream(Widen(dir_.File("a.asm")), L"Attachments");
  std::vector<BYTE> display;
  ASSERT_EQ(EncodeDisplayData(part.display, &display), S_OK);
  const std::string expected =
      "Attachments=" + std::to_string(attachments.size()) + "\n" + "Display/CBody3.dsp/DisplayData=" +
      std::to_string(64 + 16 + part.display.levels.back().positions.size() * 4 +
                     part.display.levels.back().indices.size() * 4) +
      ";Display/DisplayData=" + std::to_string(display.size()) + ";Display/PreviewBody=4;TARVEX/BodyP01=52\n";
  EXPECT_EQ(listing.output, expected);
}

}  // namespace
