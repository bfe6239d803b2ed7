// Compound files checked against independent implementations: files we
// write are read by python3-olefile and by libgsf's `gsf` tool, and files
// libgsf writes (version 3 and version 4) are read by us. Each check skips
// when its tool is not installed.
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <map>
#include <set>
#include <sstream>

#include "support/run_command.h"
#include "support/storage_support.h"

using quorra::host::ComPtr;
using quorra::test::FixtureBytes;
using quorra::test::GetStream;
using quorra::test::PutStream;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr CLSID kRootClass = {0x00020906, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr CLSID kSubClass = {0xA1B2C3D4, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

// Runs a shell command; false when it cannot run or exits non-zero.
bool RunCommand(const std::string& command, std::string* output) {
  quorra::test::CommandResult result = quorra::test::RunCommand(command);
  *output = std::move(result.output);
  return result.exitCode == 0;
}

bool HaveOlefile() {
  return quorra::test::RunCommand("/usr/bin/python3 -c 'import olefile' 2>/dev/null").exitCode == 0;
}
bool HaveGsfTool() { return quorra::test::RunCommand("command -v gsf >/dev/null 2>&1").exitCode == 0; }

uint32_t Crc32(const std::string& bytes) {
  static uint32_t table[256] = {};
  if (!table[1]) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
  }
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::string Utf8Hex(const std::wstring& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : quorra::host::ToUtf8(text)) hex += {kHex[b >> 4], kHex[b & 15]};
  return hex;
}

std::string OlefileClass(const CLSID& clsid) {
  if (clsid == GUID_NULL) return "-";
  char text[39];
  quorra::host::FormatGuid(clsid, text);
  return std::string(text + 1, 36);
}

// What olefile should report for a snapshot, one line per element, sorted by
// the text of each line as the script below sorts them.
std::string ExpectedOlefileListing(const quorra::test::StorageSnapshot& snapshot) {
  std::set<std::string> lines;
  for (const auto& [path, element] : snapshot) {
    if (path.empty()) {
      lines.insert("root " + OlefileClass(element.clsid));
    } else if (element.type == STGTY_STREAM) {
      lines.insert("stream " + Utf8Hex(path) + " " + std::to_string(element.bytes.size()) + " " +
                   std::to_string(Crc32(element.bytes)));
    } else {
      lines.insert("storage " + Utf8Hex(path) + " " + OlefileClass(element.clsid));
    }
  }
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

constexpr const char* kOlefileScript = R"(
import sys, zlib, olefile
ole = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_POTENTIAL)
lines = ['root ' + (ole.root.clsid or '-')]
for entry in ole.listdir(streams=True, storages=True):
    path = '/'.join(entry)
    key = path.encode('utf-8').hex()
    if ole.get_type(path) == olefile.STGTY_STREAM:
        data = ole.openstream(path).read()
        lines.append('stream %s %d %d' % (key, len(data), zlib.crc32(data)))
    else:
        lines.append('storage %s %s' % (key, ole.getclsid(path) or '-'))
print('\n'.join(sorted(lines)))
)";

// A document with streams of many sizes, nested storages, class ids, a
// non-ASCII name and enough siblings for a deep directory tree.
void FillDocument(IStorage* root, bool asciiNamesOnly) {
  ASSERT_EQ(root->SetClass(kRootClass), S_OK);
  const size_t sizes[] = {0, 1, 64, 4095, 4096, 4097, 300000};
  for (size_t i = 0; i < std::size(sizes); ++i)
    ASSERT_EQ(PutStream(root, (L"Size" + std::to_wstring(sizes[i])).c_str(),
                        FixtureBytes(sizes[i], static_cast<unsigned>(i))),
              S_OK);
  for (int i = 0; i < 60; ++i)
    ASSERT_EQ(PutStream(root, (L"Member" + std::to_wstring(i)).c_str(), FixtureBytes(10 + i, 40 + i)), S_OK);
  ComPtr<IStorage> iot;
  ASSERT_EQ(root->CreateStorage(L"IOT", kCreate, 0, 0, iot.Put()), S_OK);
  ASSERT_EQ(iot->SetClass(kSubClass), S_OK);
  ASSERT_EQ(PutStream(iot.Get(), L"Default", FixtureBytes(20, 3)), S_OK);
  ComPtr<IStorage> inner;
  ASSERT_EQ(iot->CreateStorage(L"Inner", kCreate, 0, 0, inner.Put()), S_OK);
  ASSERT_EQ(PutStream(inner.Get(), L"Leaf", FixtureBytes(9000, 4)), S_OK);
  if (!asciiNamesOnly) {
    ASSERT_EQ(PutStream(root, L"Pi\x00e8" L"ce \x00e9t\x00e9", "accents"), S_OK);
  }
}

// Writes the document to `path` and answers what was written.
quorra::test::StorageSnapshot WriteDocument(const std::string& path, bool asciiNamesOnly) {
  ComPtr<IStorage> root;
  EXPECT_EQ(StgCreateDocfile(Widen(path).c_str(), kCreate, 0, root.Put()), S_OK);
  if (!root) return {};
  FillDocument(root.Get(), asciiNamesOnly);
  return quorra::test::TakeSnapshot(root.Get());
}

TEST(Interop, FilesWeWriteReadBackWithOlefile) {
  if (!HaveOlefile()) GTEST_SKIP() << "python3-olefile is not installed";
  TempDir dir;
  std::string path = dir.File("ours.asm");
  const quorra::test::StorageSnapshot written = WriteDocument(path, false);
  quorra::test::WriteFileBytes(dir.File("list.py"),
                               std::vector<BYTE>(kOlefileScript, kOlefileScript + strlen(kOlefileScript)));
  std::string listing;
  ASSERT_TRUE(RunCommand("/usr/bin/python3 " + dir.File("list.py") + " " + path, &listing)) << listing;
  EXPECT_EQ(listing, ExpectedOlefileListing(written));
}

TEST(Interop, FilesWeWriteAreListedAndCatByGsf) {
  if (!HaveGsfTool()) GTEST_SKIP() << "libgsf-bin is not installed";
  TempDir dir;
  std::string path = dir.File("ours.par");
  quorra::test::StorageSnapshot written = WriteDocument(path, true);
  std::string listing;
  ASSERT_TRUE(RunCommand("gsf list " + path, &listing));
  // "f <size> <path>" for streams, "d ... <path>" for storages.
  std::map<std::string, std::string> listed;
  std::istringstream in(listing);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> parts;
    for (std::string word; words >> word;) parts.push_back(word);
    if (parts.size() < 3 || (parts[0] != "f" && parts[0] != "d")) continue;
    listed[parts.back()] = parts[0] == "f" ? parts[parts.size() - 2] : "dir";
  }
  listed.erase("*root*");
  std::map<std::string, std::string> expected;
  for (const auto& [wpath, element] : written) {
    if (wpath.empty()) continue;
    std::string name(wpath.begin(), wpath.end());
    expected[name] = element.type == STGTY_STREAM ? std::to_string(element.bytes.size()) : "dir";
  }
  EXPECT_EQ(listed, expected);
  for (const wchar_t* stream : {L"Size300000", L"Size4097", L"Member7", L"IOT/Inner/Leaf"}) {
    std::string bytes;
    std::string name(stream, stream + wcslen(stream));
    ASSERT_TRUE(RunCommand("gsf cat " + path + " " + name, &bytes)) << name;
    EXPECT_TRUE(bytes == written[stream].bytes) << name;
  }
}

#ifdef QUORRA_GSF_WRITER
class GsfWrittenFiles : public testing::TestWithParam<int> {};

TEST_P(GsfWrittenFiles, ReadBackExactly) {
  TempDir dir;
  std::string path = dir.File("gsf.cfb");
  std::string output;
  ASSERT_TRUE(RunCommand(std::string(QUORRA_GSF_WRITER) + " " + path + " " + std::to_string(GetParam()), &output));
  ComPtr<IStorage> root;
  ASSERT_EQ(StgOpenStorage(Widen(path).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_NONE, nullptr, 0, root.Put()),
            S_OK);
  std::map<std::wstring, std::string> expected = {
      {L"Small", FixtureBytes(10, 1)},       {L"Edge4095", FixtureBytes(4095, 2)},
      {L"Edge4096", FixtureBytes(4096, 3)},  {L"Large", FixtureBytes(70000, 4)},
      {L"Empty", ""},                        {L"Sub/Inner", FixtureBytes(3000, 5)},
      {L"Sub/Deeper/Leaf", FixtureBytes(100000, 6)},
  };
  for (unsigned i = 0; i < 40; ++i) {
    wchar_t name[8];
    swprintf(name, 8, L"N%02u", i);
    expected[name] = FixtureBytes(65, 10 + i);
  }
  quorra::test::StorageSnapshot read = quorra::test::TakeSnapshot(root.Get());
  for (const auto& [name, bytes] : expected) {
    ASSERT_TRUE(read.count(name)) << std::string(name.begin(), name.end());
    EXPECT_TRUE(read[name].bytes == bytes) << std::string(name.begin(), name.end());
  }
  // Nothing more than that: the root, two storages and the streams.
  EXPECT_EQ(read.size(), expected.size() + 3);
  CLSID subClass;
  ASSERT_TRUE(quorra::host::ParseGuid("{12345678-9ABC-DEF0-1234-56789ABCDEF0}", &subClass));
  EXPECT_EQ(read[L"Sub"].clsid, subClass);
  EXPECT_EQ(read[L"Sub"].type, static_cast<DWORD>(STGTY_STORAGE));

  // Rewriting one stream of their file keeps everything else.
  {
    ComPtr<IStorage> writable;
    ASSERT_EQ(StgOpenStorage(Widen(path).c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                             writable.Put()),
              S_OK);
    ASSERT_EQ(PutStream(writable.Get(), L"Small", "changed"), S_OK);
  }
  ComPtr<IStorage> reread;
  ASSERT_EQ(StgOpenStorage(Widen(path).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_NONE, nullptr, 0, reread.Put()),
            S_OK);
  quorra::test::StorageSnapshot after = quorra::test::TakeSnapshot(reread.Get());
  EXPECT_EQ(after[L"Small"].bytes, "changed");
  after.erase(L"Small");
  read.erase(L"Small");
  EXPECT_EQ(after, read);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, GsfWrittenFiles, testing::Values(512, 4096));
#else
TEST(Interop, GsfWrittenFiles) { GTEST_SKIP() << "built without the libgsf fixture writer"; }
#endif

}  // namespace
