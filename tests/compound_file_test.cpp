// Compound files on disk: round trips, commits, the open modes the library
// uses, and damaged files.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "support/storage_support.h"

using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;
using quorra::test::GetStream;
using quorra::test::PutStream;
using quorra::test::ReadFileBytes;
using quorra::test::TakeSnapshot;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kReadExclusive = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kWriteExclusive = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr CLSID kDocClass = {0x00020906, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr CLSID kSubClass = {0xA1B2C3D4, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

ComPtr<IStorage> Create(const std::string& path, DWORD mode = kCreate) {
  ComPtr<IStorage> root;
  EXPECT_EQ(StgCreateDocfile(Widen(path).c_str(), mode, 0, root.Put()), S_OK);
  return root;
}

ComPtr<IStorage> Open(const std::string& path, DWORD mode = kReadExclusive) {
  ComPtr<IStorage> root;
  EXPECT_EQ(StgOpenStorage(Widen(path).c_str(), nullptr, mode, nullptr, 0, root.Put()), S_OK);
  return root;
}

ComPtr<IStorage> Child(IStorage* parent, const wchar_t* name, DWORD mode = kWriteExclusive) {
  ComPtr<IStorage> child;
  if (parent->OpenStorage(name, nullptr, mode, nullptr, 0, child.Put()) != S_OK) {
    EXPECT_EQ(parent->CreateStorage(name, mode | STGM_CREATE, 0, 0, child.Put()), S_OK);
  }
  return child;
}

// Writes a compound file holding `streams` and closes it; answers its path.
std::string WriteFile(const TempDir& dir, const char* name,
                      std::initializer_list<std::pair<const wchar_t*, std::string>> streams) {
  const std::string path = dir.File(name);
  ComPtr<IStorage> root = Create(path);
  for (const auto& [stream, bytes] : streams) EXPECT_EQ(PutStream(root.Get(), stream, bytes), S_OK);
  return path;
}

// A document with streams on both sides of every size boundary, nested
// storages, class ids, state bits and times.
void FillSample(IStorage* root) {
  const size_t sizes[] = {0, 1, 63, 64, 65, 511, 512, 4095, 4096, 4097, 100000};
  for (size_t i = 0; i < std::size(sizes); ++i)
    ASSERT_EQ(PutStream(root, (L"Size" + std::to_wstring(sizes[i])).c_str(),
                        quorra::test::FixtureBytes(sizes[i], static_cast<unsigned>(i))),
              S_OK);
  ASSERT_EQ(root->SetClass(kDocClass), S_OK);
  ComPtr<IStorage> iot = Child(root, L"IOT");
  ASSERT_EQ(iot->SetClass(kSubClass), S_OK);
  ASSERT_EQ(iot->SetStateBits(0x12345678, 0xFFFFFFFF), S_OK);
  ASSERT_EQ(PutStream(iot.Get(), L"Default", std::string(20, '\x02')), S_OK);
  FILETIME when{0x89ABCDEF, 0x01D00000};
  ASSERT_EQ(root->SetElementTimes(L"IOT", nullptr, nullptr, &when), S_OK);
  ComPtr<IStorage> deep = Child(Child(iot.Get(), L"A").Get(), L"B");
  ASSERT_EQ(PutStream(deep.Get(), L"\x05Summary\x00e9", "deep"), S_OK);
}

TEST(CompoundFile, RoundTripKeepsTreeBytesAndMetadata) {
  TempDir dir;
  std::string path = dir.File("sample.asm");
  quorra::test::StorageSnapshot written;
  {
    ComPtr<IStorage> root = Create(path);
    FillSample(root.Get());
    written = TakeSnapshot(root.Get());
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  }
  EXPECT_EQ(StgIsStorageFile(Widen(path).c_str()), S_OK);
  ComPtr<IStorage> root = Open(path);
  EXPECT_EQ(TakeSnapshot(root.Get()), written);
  // The same tree through a memory image.
  std::vector<BYTE> image;
  ASSERT_EQ(quorra::host::SaveStorageToBytes(root.Get(), &image), S_OK);
  ComPtr<IStorage> fromImage;
  ASSERT_EQ(quorra::host::OpenStorageOnBytes(image.data(), image.size(), kReadExclusive, fromImage.Put()), S_OK);
  EXPECT_EQ(TakeSnapshot(fromImage.Get()), written);
  // The root reports the file's path.
  STATSTG stat;
  ASSERT_EQ(root->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(std::wstring(stat.pwcsName), Widen(path));
  CoTaskMemFree(stat.pwcsName);
}

TEST(CompoundFile, StreamsNeedingTheDifatRoundTrip) {
  // 8 MiB needs more FAT sectors than the header can list.
  TempDir dir;
  std::string big = quorra::test::FixtureBytes(8u << 20, 9);
  ComPtr<IStorage> root = Open(WriteFile(dir, "big.cfb", {{L"Big", big}, {L"Small", "after the big one"}}));
  EXPECT_TRUE(GetStream(root.Get(), L"Big") == big);
  EXPECT_EQ(GetStream(root.Get(), L"Small"), "after the big one");
}

TEST(CompoundFile, StreamCrossingTheMiniCutoffKeepsItsBytes) {
  TempDir dir;
  std::string small = quorra::test::FixtureBytes(100, 1);
  std::string grown = small + quorra::test::FixtureBytes(5000, 2);
  const std::string path = WriteFile(dir, "cutoff.cfb", {{L"Neighbour", "n"}, {L"S", small}});
  // Grow across the cutoff in a later session, then shrink back.
  {
    ComPtr<IStorage> root = Open(path, kWriteExclusive);
    ComPtr<IStream> stream;
    ASSERT_EQ(root->OpenStream(L"S", nullptr, kWriteExclusive, 0, stream.Put()), S_OK);
    ASSERT_EQ(stream->Seek({}, STREAM_SEEK_END, nullptr), S_OK);
    ASSERT_EQ(stream->Write(grown.data() + 100, 5000, nullptr), S_OK);
  }
  EXPECT_TRUE(GetStream(Open(path).Get(), L"S") == grown);
  {
    ComPtr<IStorage> root = Open(path, kWriteExclusive);
    ComPtr<IStream> stream;
    ASSERT_EQ(root->OpenStream(L"S", nullptr, kWriteExclusive, 0, stream.Put()), S_OK);
    ULARGE_INTEGER size;
    size.QuadPart = 100;
    ASSERT_EQ(stream->SetSize(size), S_OK);
  }
  ComPtr<IStorage> root = Open(path);
  EXPECT_EQ(GetStream(root.Get(), L"S"), small);
  EXPECT_EQ(GetStream(root.Get(), L"Neighbour"), "n");
}

TEST(CompoundFile, RewritingOneStreamKeepsEveryOtherElement) {
  TempDir dir;
  std::string path = dir.File("doc.asm");
  {
    ComPtr<IStorage> root = Create(path);
    FillSample(root.Get());
  }
  quorra::test::StorageSnapshot before = TakeSnapshot(Open(path).Get());
  {
    ComPtr<IStorage> root = Open(path, kWriteExclusive | STGM_TRANSACTED);
    ComPtr<IStorage> iot = Child(root.Get(), L"IOT");
    ASSERT_EQ(PutStream(iot.Get(), L"Default", "rewritten"), S_OK);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    // After the commit the document reads from the new file.
    EXPECT_EQ(GetStream(root.Get(), L"Size100000"), before[L"Size100000"].bytes);
  }
  quorra::test::StorageSnapshot after = TakeSnapshot(Open(path).Get());
  EXPECT_EQ(after[L"IOT/Default"].bytes, "rewritten");
  before.erase(L"IOT/Default");
  after.erase(L"IOT/Default");
  EXPECT_EQ(after, before);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"doc.asm"});  // nothing left beside it
}

TEST(CompoundFile, TransactedRootCommitsOnlyOnCommitAndRevertDrops) {
  TempDir dir;
  const std::string path = WriteFile(dir, "t.cfb", {{L"A", "original"}});
  ComPtr<IStorage> root = Open(path, kWriteExclusive | STGM_TRANSACTED);
  ComPtr<IStream> a;
  ASSERT_EQ(root->OpenStream(L"A", nullptr, kWriteExclusive, 0, a.Put()), S_OK);
  ASSERT_EQ(a->Write("CHANGED!", 8, nullptr), S_OK);
  ASSERT_EQ(PutStream(root.Get(), L"B", "new"), S_OK);
  EXPECT_EQ(GetStream(Open(path, STGM_READ | STGM_SHARE_DENY_NONE).Get(), L"A"), "original");

  ASSERT_EQ(root->Revert(), S_OK);
  EXPECT_EQ(GetStream(root.Get(), L"A"), "original");
  EXPECT_EQ(GetStream(root.Get(), L"B"), "<missing>");
  EXPECT_EQ(a->Write("x", 1, nullptr), STG_E_REVERTED);

  ASSERT_EQ(PutStream(root.Get(), L"C", "kept"), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(PutStream(root.Get(), L"D", "dropped at release"), S_OK);
  root.Reset();
  ComPtr<IStorage> reopened = Open(path);
  EXPECT_EQ(GetStream(reopened.Get(), L"C"), "kept");
  EXPECT_EQ(GetStream(reopened.Get(), L"D"), "<missing>");
}

TEST(CompoundFile, DirectRootCommitsOnReleaseAndReadOnlyNeverWrites) {
  TempDir dir;
  const std::string path = WriteFile(dir, "d.cfb", {{L"A", "one"}});  // released without Commit
  EXPECT_EQ(GetStream(Open(path).Get(), L"A"), "one");

  std::vector<BYTE> bytes = ReadFileBytes(path);
  {
    ComPtr<IStorage> root = Open(path, STGM_READ | STGM_SHARE_DENY_NONE);
    ComPtr<IStream> stream;
    EXPECT_EQ(root->CreateStream(L"B", kCreate, 0, 0, stream.Put()), STG_E_ACCESSDENIED);
    ASSERT_EQ(root->OpenStream(L"A", nullptr, kReadExclusive, 0, stream.Put()), S_OK);
    EXPECT_EQ(stream->Write("x", 1, nullptr), STG_E_ACCESSDENIED);
    EXPECT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  }
  EXPECT_EQ(ReadFileBytes(path), bytes);
}

TEST(CompoundFile, FailedCommitLeavesTheDocumentIntact) {
  TempDir dir;
  const std::string path = WriteFile(dir, "safe.cfb", {{L"A", "safe"}});
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  std::vector<BYTE> original = ReadFileBytes(path);

  ComPtr<IStorage> root = Open(path, kWriteExclusive | STGM_TRANSACTED);
  ASSERT_EQ(PutStream(root.Get(), L"Big", std::string(200000, 'b')), S_OK);
  // A file size limit makes the new file's writing fail half-way.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit tight = saved;
  tight.rlim_cur = 16384;
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  HRESULT failed = root->Commit(STGC_DEFAULT);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(failed, STG_E_MEDIUMFULL);
  EXPECT_EQ(ReadFileBytes(path), original);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"safe.cfb"});

  // The document still holds the change and commits once the disk allows.
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root.Reset();
  EXPECT_EQ(GetStream(Open(path).Get(), L"Big"), std::string(200000, 'b'));
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(CompoundFile, CreationRules) {
  TempDir dir;
  std::string path = dir.File("c.cfb");
  { Create(path); }
  std::vector<BYTE> bytes = ReadFileBytes(path);
  EXPECT_GE(bytes.size(), 512u + 512u);
  ComPtr<IStorage> root;
  EXPECT_EQ(StgCreateDocfile(Widen(path).c_str(), kWriteExclusive, 0, root.Put()), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(StgCreateDocfile(Widen(dir.File("r.cfb")).c_str(), STGM_CREATE | STGM_READ, 0, root.Put()),
            STG_E_INVALIDFLAG);
  EXPECT_EQ(StgCreateDocfile(Widen(dir.File("r.cfb")).c_str(), kCreate, 1, root.Put()), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(StgCreateDocfile(Widen(dir.File("no/such/dir.cfb")).c_str(), kCreate, 0, root.Put()),
            STG_E_PATHNOTFOUND);
  EXPECT_EQ(StgCreateDocfile(Widen(dir.Path()).c_str(), kCreate, 0, root.Put()), STG_E_ACCESSDENIED);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"c.cfb"});  // failures leave nothing behind
  // STGM_CREATE replaces the old document.
  {
    ComPtr<IStorage> first = Open(path, kWriteExclusive);
    ASSERT_EQ(PutStream(first.Get(), L"Old", "old"), S_OK);
  }
  ComPtr<IStorage> replaced = Create(path);
  EXPECT_TRUE(quorra::test::TakeSnapshot(replaced.Get()).size() == 1u);
  // Backslashes separate directories too.
  std::string windowsStyle = dir.Path() + "\\c.cfb";
  EXPECT_EQ(StgIsStorageFile(Widen(windowsStyle).c_str()), S_OK);
  quorra::test::WriteFileBytes(dir.File("text.txt"), std::vector<BYTE>(600, 'x'));
  EXPECT_EQ(StgIsStorageFile(Widen(dir.File("text.txt")).c_str()), S_FALSE);
  EXPECT_EQ(StgIsStorageFile(Widen(dir.File("missing")).c_str()), STG_E_FILENOTFOUND);
  EXPECT_EQ(StgOpenStorage(Widen(dir.File("text.txt")).c_str(), nullptr, kReadExclusive, nullptr, 0, root.Put()),
            STG_E_FILEALREADYEXISTS);
}

TEST(CompoundFile, HostOpenModes) {
  TempDir dir;
  const std::string path = WriteFile(dir, "part.par", {{L"Attachments", "att"}});
  std::wstring name = Widen(path);
  // The read-only modes the loaders use: every one reads and none writes.
  for (DWORD mode : {0x40u, 0x10000u, 0x10040u, 0x10u, 0x40000u}) {
    ComPtr<IStorage> root;
    ASSERT_EQ(JStgOpenStorage(name.c_str(), nullptr, mode, nullptr, 0, root.Put(), 1), S_OK) << mode;
    EXPECT_EQ(GetStream(root.Get(), L"Attachments"), "att") << mode;
    EXPECT_EQ(PutStream(root.Get(), L"X", "x"), STG_E_ACCESSDENIED) << mode;
  }
  ComPtr<IStorage> root;
  EXPECT_EQ(JStgOpenStorage(name.c_str(), nullptr, STGM_PRIORITY | STGM_READWRITE, nullptr, 0, root.Put(), 1),
            STG_E_INVALIDFLAG);
  EXPECT_EQ(JStgOpenStorage(Widen(dir.File("absent.asm")).c_str(), nullptr, 0x40, nullptr, 0, root.Put(), 1),
            STG_E_FILENOTFOUND);
  EXPECT_EQ(root.Get(), nullptr);
  EXPECT_EQ(JStgOpenStorage(Widen(dir.Path()).c_str(), nullptr, 0x40, nullptr, 0, root.Put(), 1),
            STG_E_ACCESSDENIED);
  EXPECT_EQ(StgOpenStorage(name.c_str(), nullptr, kCreate, nullptr, 0, root.Put()), STG_E_INVALIDFLAG);
  // 0x1012 (create, read-write, exclusive) makes a new, empty document.
  ASSERT_EQ(JStgOpenStorage(name.c_str(), nullptr, 0x1012, nullptr, 0, root.Put(), 1), S_OK);
  EXPECT_EQ(GetStream(root.Get(), L"Attachments"), "<missing>");
  ASSERT_EQ(PutStream(root.Get(), L"Fresh", "f"), S_OK);
  root.Reset();
  EXPECT_EQ(GetStream(Open(path).Get(), L"Fresh"), "f");
}

TEST(CompoundFile, ExcludedElementsOpenEmpty) {
  TempDir dir;
  const std::string path = WriteFile(dir, "x.cfb", {{L"Hidden", "secret"}, {L"Shown", "plain"}});
  wchar_t hidden[] = L"hidden";
  wchar_t* exclude[] = {hidden, nullptr};
  ComPtr<IStorage> root;
  ASSERT_EQ(StgOpenStorage(Widen(path).c_str(), nullptr, kReadExclusive, exclude, 0, root.Put()), S_OK);
  EXPECT_EQ(GetStream(root.Get(), L"Hidden"), "");
  EXPECT_EQ(GetStream(root.Get(), L"Shown"), "plain");
}

TEST(CompoundFile, ReadsVersion4FilesWith4096ByteSectors) {
  ComPtr<IStorage> root = Open(std::string(QUORRA_TEST_SOURCE_DIR) + "/tests/data/compound_file/gsf-v4-small.cfb");
  ASSERT_TRUE(root);
  EXPECT_EQ(GetStream(root.Get(), L"Small"), quorra::test::FixtureBytes(10, 1));
  EXPECT_EQ(GetStream(root.Get(), L"Edge4095"), quorra::test::FixtureBytes(4095, 2));
  EXPECT_EQ(GetStream(root.Get(), L"Edge4096"), quorra::test::FixtureBytes(4096, 3));
  EXPECT_EQ(GetStream(root.Get(), L"Empty"), "");
  ComPtr<IStorage> sub = Child(root.Get(), L"Sub", kReadExclusive);
  EXPECT_EQ(GetStream(sub.Get(), L"Inner"), quorra::test::FixtureBytes(3000, 5));
  STATSTG stat;
  ASSERT_EQ(sub->Stat(&stat, STATFLAG_NONAME), S_OK);
  CLSID expected;
  ASSERT_TRUE(quorra::host::ParseGuid("{12345678-9ABC-DEF0-1234-56789ABCDEF0}", &expected));
  EXPECT_EQ(stat.clsid, expected);
}

TEST(CompoundFile, NestingDepthIsBoundedOnRead) {
  for (int depth : {200, 300}) {
    ComPtr<IStorage> top;
    ASSERT_EQ(quorra::host::CreateMemoryStorage(top.Put()), S_OK);
    ComPtr<IStorage> at = top;
    for (int i = 0; i < depth; ++i) at = Child(at.Get(), L"S");
    std::vector<BYTE> image;
    ASSERT_EQ(quorra::host::SaveStorageToBytes(top.Get(), &image), S_OK);
    ComPtr<IStorage> read;
    EXPECT_EQ(quorra::host::OpenStorageOnBytes(image.data(), image.size(), kReadExclusive, read.Put()),
              depth <= 256 ? S_OK : STG_E_DOCFILECORRUPT);
  }
}

// A compound file image from our own writer, with accessors for its
// structures so tests can damage them precisely.
struct Image {
  std::vector<BYTE> bytes;

  uint32_t U32(size_t at) const { return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24; }
  void Set32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<BYTE>(v >> (8 * i));
  }
  void Set16(size_t at, uint16_t v) {
    bytes[at] = static_cast<BYTE>(v);
    bytes[at + 1] = static_cast<BYTE>(v >> 8);
  }
  static size_t SectorOffset(uint32_t sector) { return (sector + 1) * 512u; }
  size_t FatEntry(uint32_t sector) const { return SectorOffset(U32(76 + 4 * (sector / 128))) + 4 * (sector % 128); }
  uint32_t Next(uint32_t sector) const { return U32(FatEntry(sector)); }
  size_t MiniFatEntry(uint32_t mini) const { return SectorOffset(U32(60)) + 4 * mini; }
  size_t DirEntry(uint32_t index) const {
    uint32_t sector = U32(48);
    for (uint32_t k = 0; k < index / 4; ++k) sector = Next(sector);
    return SectorOffset(sector) + 128 * (index % 4);
  }
  std::u16string Name(size_t entryAt) const {
    std::u16string name;
    for (size_t k = 0; k + 2 < static_cast<size_t>(bytes[entryAt + 64] | bytes[entryAt + 65] << 8); k += 2)
      name.push_back(static_cast<char16_t>(bytes[entryAt + k] | bytes[entryAt + k + 1] << 8));
    return name;
  }
  uint32_t EntryIndex(const std::u16string& name) const {
    for (uint32_t i = 0; i < 16; ++i)
      if (Name(DirEntry(i)) == name) return i;
    ADD_FAILURE() << "no such entry";
    return 0;
  }
  size_t Entry(const std::u16string& name) const { return DirEntry(EntryIndex(name)); }
  uint32_t Start(const std::u16string& name) const { return U32(Entry(name) + 116); }
  HRESULT Open(ComPtr<IStorage>* root) const {
    return quorra::host::OpenStorageOnBytes(bytes.data(), bytes.size(), kReadExclusive, root->Put());
  }
};

Image SampleImage() {
  ComPtr<IStorage> root;
  EXPECT_EQ(quorra::host::CreateMemoryStorage(root.Put()), S_OK);
  EXPECT_EQ(PutStream(root.Get(), L"Big", std::string(5000, 'b')), S_OK);
  EXPECT_EQ(PutStream(root.Get(), L"Big2", std::string(5000, 'c')), S_OK);
  EXPECT_EQ(PutStream(root.Get(), L"Small", std::string(200, 's')), S_OK);
  ComPtr<IStorage> sub = Child(root.Get(), L"Sub");
  EXPECT_EQ(PutStream(sub.Get(), L"Inner", std::string(100, 'i')), S_OK);
  Image image;
  EXPECT_EQ(quorra::host::SaveStorageToBytes(root.Get(), &image.bytes), S_OK);
  return image;
}

TEST(CompoundFile, DamagedFilesAreRejectedWithAStorageError) {
  struct Case {
    const char* what;
    std::function<void(Image&)> damage;
    HRESULT expected;
  } cases[] = {
      {"empty file", [](Image& i) { i.bytes.clear(); }, STG_E_FILEALREADYEXISTS},
      {"bad signature", [](Image& i) { i.bytes[3] ^= 1; }, STG_E_FILEALREADYEXISTS},
      {"truncated header", [](Image& i) { i.bytes.resize(300); }, STG_E_INVALIDHEADER},
      {"major version 5", [](Image& i) { i.Set16(26, 5); }, STG_E_INVALIDHEADER},
      {"byte order", [](Image& i) { i.Set16(28, 0xFEFF); }, STG_E_INVALIDHEADER},
      {"sector size 1024", [](Image& i) { i.Set16(30, 10); }, STG_E_INVALIDHEADER},
      {"mini stream cutoff", [](Image& i) { i.Set32(56, 8192); }, STG_E_INVALIDHEADER},
      {"header only", [](Image& i) { i.bytes.resize(512); }, STG_E_DOCFILECORRUPT},
      {"truncated by one byte", [](Image& i) { i.bytes.pop_back(); }, STG_E_DOCFILECORRUPT},
      {"truncated in the middle", [](Image& i) { i.bytes.resize(i.bytes.size() / 2); }, STG_E_DOCFILECORRUPT},
      {"FAT larger than the file", [](Image& i) { i.Set32(44, 1000); }, STG_E_DOCFILECORRUPT},
      {"FAT sector out of range", [](Image& i) { i.Set32(76, 0x00FFFFFF); }, STG_E_DOCFILECORRUPT},
      {"cyclic stream chain",
       [](Image& i) { i.Set32(i.FatEntry(i.Start(u"Big") + 2), i.Start(u"Big")); }, STG_E_DOCFILECORRUPT},
      {"chain ending early", [](Image& i) { i.Set32(i.FatEntry(i.Start(u"Big") + 2), 0xFFFFFFFE); },
       STG_E_DOCFILECORRUPT},
      {"chain into a free sector", [](Image& i) { i.Set32(i.FatEntry(i.Start(u"Big") + 2), 0xFFFFFFFF); },
       STG_E_DOCFILECORRUPT},
      {"start sector out of range", [](Image& i) { i.Set32(i.Entry(u"Big") + 116, 0x00FFFFF0); },
       STG_E_DOCFILECORRUPT},
      {"cross-linked streams", [](Image& i) { i.Set32(i.Entry(u"Big2") + 116, i.Start(u"Big")); },
       STG_E_DOCFILECORRUPT},
      {"stream larger than the file", [](Image& i) { i.Set32(i.Entry(u"Big") + 120, 0x7FFFFFFF); },
       STG_E_DOCFILECORRUPT},
      {"cyclic directory chain", [](Image& i) { i.Set32(i.FatEntry(i.U32(48)), i.U32(48)); }, STG_E_DOCFILECORRUPT},
      {"cyclic mini chain",
       [](Image& i) { i.Set32(i.MiniFatEntry(i.Start(u"Small") + 1), i.Start(u"Small")); }, STG_E_DOCFILECORRUPT},
      {"mini sector out of range", [](Image& i) { i.Set32(i.Entry(u"Small") + 116, 5000); }, STG_E_DOCFILECORRUPT},
      {"sibling link back to the root", [](Image& i) { i.Set32(i.Entry(u"Small") + 68, 0); }, STG_E_DOCFILECORRUPT},
      {"sibling link to itself",
       [](Image& i) { i.Set32(i.Entry(u"Inner") + 72, i.EntryIndex(u"Inner")); }, STG_E_DOCFILECORRUPT},
      {"child link to its own storage",
       [](Image& i) { i.Set32(i.Entry(u"Inner") + 68, i.EntryIndex(u"Sub")); }, STG_E_DOCFILECORRUPT},
      {"link out of range", [](Image& i) { i.Set32(i.Entry(u"Sub") + 76, 4000); }, STG_E_DOCFILECORRUPT},
      {"link to an unused entry", [](Image& i) { i.Set32(i.Entry(u"Inner") + 72, 7); }, STG_E_DOCFILECORRUPT},
      {"two elements with one name",
       [](Image& i) {
         size_t at = i.Entry(u"Sub");
         i.bytes[at] = 'B', i.bytes[at + 2] = 'I', i.bytes[at + 4] = 'G';
       },
       STG_E_DOCFILECORRUPT},
      {"name length", [](Image& i) { i.Set16(i.Entry(u"Small") + 64, 70); }, STG_E_DOCFILECORRUPT},
      {"root of the wrong type", [](Image& i) { i.bytes[i.DirEntry(0) + 66] = 1; }, STG_E_DOCFILECORRUPT},
  };
  ScopedTraceCapture traces;
  for (const Case& c : cases) {
    Image image = SampleImage();
    c.damage(image);
    ComPtr<IStorage> root;
    EXPECT_EQ(image.Open(&root), c.expected) << c.what;
    EXPECT_EQ(root.Get(), nullptr) << c.what;
  }
  EXPECT_TRUE(traces.Saw("CompoundFile::Read", STG_E_DOCFILECORRUPT));
  // The untouched sample opens, so each case above failed for its damage.
  Image image = SampleImage();
  ComPtr<IStorage> root;
  ASSERT_EQ(image.Open(&root), S_OK);
  EXPECT_EQ(GetStream(root.Get(), L"Big2"), std::string(5000, 'c'));

  // The same through the file open.
  TempDir dir;
  image.Set32(image.FatEntry(image.Start(u"Big") + 2), image.Start(u"Big"));
  quorra::test::WriteFileBytes(dir.File("cyclic.cfb"), image.bytes);
  EXPECT_EQ(StgOpenStorage(Widen(dir.File("cyclic.cfb")).c_str(), nullptr, 0x40, nullptr, 0, root.Put()),
            STG_E_DOCFILECORRUPT);
  EXPECT_TRUE(traces.Saw("StgOpenStorage", STG_E_DOCFILECORRUPT));
}

// Walks a sibling tree in order; returns its black height, or -1 when a red
// node has a red child or two paths differ in black nodes.
int CheckSiblingTree(const Image& image, uint32_t index, std::vector<std::u16string>* names, bool parentRed) {
  if (index == 0xFFFFFFFF) return 0;
  size_t at = image.DirEntry(index);
  bool red = image.bytes[at + 67] == 0;
  if (red && parentRed) return -1;
  int left = CheckSiblingTree(image, image.U32(at + 68), names, red);
  names->push_back(image.Name(at));
  int right = CheckSiblingTree(image, image.U32(at + 72), names, red);
  if (left < 0 || right < 0 || left != right) return -1;
  return left + (red ? 0 : 1);
}

TEST(CompoundFile, DirectoryIsASortedRedBlackTree) {
  for (int count : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100}) {
    ComPtr<IStorage> root;
    ASSERT_EQ(quorra::host::CreateMemoryStorage(root.Put()), S_OK);
    for (int i = 0; i < count; ++i) {
      // Mixed lengths and cases, so both parts of the order matter.
      std::wstring name = std::wstring(1 + (i * 7) % 5, i % 2 ? L'a' : L'B') + std::to_wstring(i * 37 % 101);
      ASSERT_EQ(PutStream(root.Get(), name.c_str(), ""), S_OK);
    }
    Image image;
    ASSERT_EQ(quorra::host::SaveStorageToBytes(root.Get(), &image.bytes), S_OK);
    std::vector<std::u16string> names;
    EXPECT_GE(CheckSiblingTree(image, image.U32(image.DirEntry(0) + 76), &names, false), 0) << count;
    ASSERT_EQ(names.size(), static_cast<size_t>(count));
    auto upper = [](std::u16string s) {
      for (auto& c : s) c = (c >= u'a' && c <= u'z') ? c - 32 : c;
      return s;
    };
    for (size_t i = 1; i < names.size(); ++i) {
      bool ordered = names[i - 1].size() < names[i].size() ||
                     (names[i - 1].size() == names[i].size() && upper(names[i - 1]) < upper(names[i]));
      EXPECT_TRUE(ordered) << count << " at " << i;
    }
  }
}

TEST(CompoundFile, DamagedDifatIsRejected) {
  ComPtr<IStorage> root;
  ASSERT_EQ(quorra::host::CreateMemoryStorage(root.Put()), S_OK);
  ASSERT_EQ(PutStream(root.Get(), L"Big", std::string(8u << 20, 'd')), S_OK);
  Image image;
  ASSERT_EQ(quorra::host::SaveStorageToBytes(root.Get(), &image.bytes), S_OK);
  const uint32_t firstDifat = image.U32(68);
  ASSERT_EQ(image.U32(72), 1u);  // 128 FAT sectors: 109 in the header, 19 in one DIFAT sector
  ComPtr<IStorage> read;
  ASSERT_EQ(image.Open(&read), S_OK);
  struct Case {
    const char* what;
    std::function<void(Image&)> damage;
  } cases[] = {
      // Claim more FAT sectors so the chain is followed past its one sector.
      {"cyclic DIFAT chain", [&](Image& i) { i.Set32(44, 300), i.Set32(Image::SectorOffset(firstDifat) + 508, firstDifat); }},
      {"DIFAT chain ending early", [](Image& i) { i.Set32(44, 300); }},
      {"DIFAT sector out of range", [](Image& i) { i.Set32(68, 0x00FFFFFF); }},
      {"FAT sector from the DIFAT out of range", [&](Image& i) { i.Set32(Image::SectorOffset(firstDifat), 0x00FFFFFF); }},
  };
  for (const Case& c : cases) {
    Image damaged = image;
    c.damage(damaged);
    EXPECT_EQ(damaged.Open(&read), STG_E_DOCFILECORRUPT) << c.what;
  }
}

}  // namespace
