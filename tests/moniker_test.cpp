// Persisted monikers: exact bytes of the standard forms, round trips through
// OleSaveToStream/OleLoadFromStream, and damaged data.
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <string>
#include <vector>

using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;

namespace {

using Bytes = std::vector<BYTE>;

void Append(Bytes* out, std::initializer_list<int> bytes) {
  for (int b : bytes) out->push_back(static_cast<BYTE>(b));
}
void Append32(Bytes* out, uint32_t v) {
  Append(out, {int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF), int(v >> 24)});
}
void AppendText(Bytes* out, const std::string& text) { out->insert(out->end(), text.begin(), text.end()); }
void AppendClass(Bytes* out, uint8_t kind) { Append(out, {kind, 0x03, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}); }

// The persisted file moniker for an ASCII path, written out by hand.
Bytes FileMonikerBytes(const std::string& path, uint16_t antiCount = 0) {
  Bytes out;
  AppendClass(&out, 0x03);
  Append(&out, {antiCount & 0xFF, antiCount >> 8});
  Append32(&out, static_cast<uint32_t>(path.size() + 1));
  AppendText(&out, path);
  Append(&out, {0, 0xFF, 0xFF, 0xAD, 0xDE});
  out.insert(out.end(), 20, 0);
  Append32(&out, 0);
  return out;
}

Bytes Saved(IMoniker* moniker) {
  ComPtr<IStream> stream;
  EXPECT_EQ(quorra::host::CreateMemoryStream(stream.Put()), S_OK);
  EXPECT_EQ(OleSaveToStream(moniker, stream.Get()), S_OK);
  Bytes bytes;
  EXPECT_EQ(quorra::host::ReadStreamBytes(stream.Get(), &bytes), S_OK);
  return bytes;
}

// Loads from `bytes`; also reports how many bytes the load consumed.
HRESULT Load(const Bytes& bytes, ComPtr<IMoniker>* out, uint64_t* consumed = nullptr) {
  ComPtr<IStream> stream;
  EXPECT_EQ(quorra::host::CreateMemoryStreamOnBytes(bytes.data(), bytes.size(), stream.Put()), S_OK);
  HRESULT hr = OleLoadFromStream(stream.Get(), IID_IMoniker, reinterpret_cast<void**>(out->Put()));
  LARGE_INTEGER zero{};
  ULARGE_INTEGER position;
  stream->Seek(zero, STREAM_SEEK_CUR, &position);
  if (consumed) *consumed = position.QuadPart;
  return hr;
}

std::wstring DisplayName(IMoniker* moniker) {
  wchar_t* name = nullptr;
  EXPECT_EQ(moniker->GetDisplayName(nullptr, nullptr, &name), S_OK);
  std::wstring out = name ? name : L"";
  CoTaskMemFree(name);
  return out;
}

TEST(Moniker, FileMonikerHasTheStandardPersistedForm) {
  ComPtr<IMoniker> moniker;
  ASSERT_EQ(CreateFileMoniker(L"C:\\parts\\a.par", moniker.Put()), S_OK);
  EXPECT_EQ(Saved(moniker.Get()), FileMonikerBytes("C:\\parts\\a.par"));
  ULARGE_INTEGER size;
  ASSERT_EQ(moniker->GetSizeMax(&size), S_OK);
  EXPECT_EQ(size.QuadPart + 16, FileMonikerBytes("C:\\parts\\a.par").size());
  DWORD kind;
  ASSERT_EQ(moniker->IsSystemMoniker(&kind), S_OK);
  EXPECT_EQ(kind, MKSYS_FILEMONIKER);
}

TEST(Moniker, FileMonikerLoadsAndStopsAtItsEnd) {
  Bytes bytes = FileMonikerBytes("parts\\b.psm", 2);
  size_t monikerSize = bytes.size();
  AppendText(&bytes, "next field");
  ComPtr<IMoniker> moniker;
  uint64_t consumed = 0;
  ASSERT_EQ(Load(bytes, &moniker, &consumed), S_OK);
  EXPECT_EQ(consumed, monikerSize);
  EXPECT_EQ(DisplayName(moniker.Get()), L"..\\..\\parts\\b.psm");
}

TEST(Moniker, NonAsciiPathsCarryTheirUnicodeForm) {
  const std::wstring path = L"C:\\pi\x00e8" L"ces\\\x4e2d.par";
  ComPtr<IMoniker> moniker;
  ASSERT_EQ(CreateFileMoniker(path.c_str(), moniker.Put()), S_OK);
  Bytes bytes = Saved(moniker.Get());
  // The ANSI path replaces what it cannot hold; the UTF-16 path follows.
  Bytes expected = FileMonikerBytes("C:\\pi?ces\\?.par");
  expected.resize(expected.size() - 4);
  const uint32_t unicodeBytes = static_cast<uint32_t>(path.size() * 2);
  Append32(&expected, unicodeBytes + 6);
  Append32(&expected, unicodeBytes);
  Append(&expected, {3, 0});
  for (wchar_t c : path) Append(&expected, {int(c & 0xFF), int(c >> 8)});
  EXPECT_EQ(bytes, expected);
  ComPtr<IMoniker> loaded;
  ASSERT_EQ(Load(bytes, &loaded), S_OK);
  EXPECT_EQ(DisplayName(loaded.Get()), path);
}

TEST(Moniker, ItemAndCompositeMonikersRoundTrip) {
  ComPtr<IMoniker> file, item, second, composite, longer;
  ASSERT_EQ(CreateFileMoniker(L"C:\\asm\\top.asm", file.Put()), S_OK);
  ASSERT_EQ(CreateItemMoniker(L"!", L"Member 1", item.Put()), S_OK);
  ASSERT_EQ(CreateItemMoniker(L"!", L"\x00c9l\x00e9ment", second.Put()), S_OK);
  ASSERT_EQ(CreateGenericComposite(file.Get(), item.Get(), composite.Put()), S_OK);
  // Composing with a composite flattens it.
  ASSERT_EQ(CreateGenericComposite(composite.Get(), second.Get(), longer.Put()), S_OK);
  EXPECT_EQ(DisplayName(longer.Get()), L"C:\\asm\\top.asm!Member 1!\x00c9l\x00e9ment");

  Bytes bytes = Saved(longer.Get());
  // Class, count 3, then each part with its class id.
  Bytes head;
  AppendClass(&head, 0x09);
  Append32(&head, 3);
  AppendClass(&head, 0x03);
  ASSERT_GT(bytes.size(), head.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
  // The item part: byte count, "!" and its zero; then the item's ANSI text,
  // its zero and its UTF-16 text.
  Bytes itemPart;
  AppendClass(&itemPart, 0x04);
  Append32(&itemPart, 2);
  AppendText(&itemPart, std::string("!\0", 2));
  Append32(&itemPart, 9);
  AppendText(&itemPart, std::string("Member 1\0", 9));
  EXPECT_NE(std::search(bytes.begin(), bytes.end(), itemPart.begin(), itemPart.end()), bytes.end());

  ComPtr<IMoniker> loaded;
  uint64_t consumed = 0;
  ASSERT_EQ(Load(bytes, &loaded, &consumed), S_OK);
  EXPECT_EQ(consumed, bytes.size());
  EXPECT_EQ(DisplayName(loaded.Get()), DisplayName(longer.Get()));
  DWORD kind;
  ASSERT_EQ(loaded->IsSystemMoniker(&kind), S_OK);
  EXPECT_EQ(kind, MKSYS_GENERICCOMPOSITE);
  EXPECT_EQ(Saved(loaded.Get()), bytes);

  ComPtr<IMoniker> same;
  ASSERT_EQ(CreateGenericComposite(nullptr, item.Get(), same.Put()), S_OK);
  EXPECT_EQ(same.Get(), item.Get());
}

TEST(Moniker, DamagedOrForeignDataFailsCleanly) {
  Bytes good = FileMonikerBytes("C:\\a.par");
  struct Case {
    const char* what;
    Bytes bytes;
    HRESULT expected;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}, STG_E_READFAULT});
  cases.push_back({"class id only", Bytes(good.begin(), good.begin() + 16), STG_E_READFAULT});
  for (size_t cut : {size_t{20}, size_t{30}, good.size() - 1})
    cases.push_back({"truncated", Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut)), STG_E_READFAULT});
  Bytes foreign = good;
  foreign[0] = 0x05;  // the anti moniker, which documents never hold
  cases.push_back({"unknown class", foreign, REGDB_E_CLASSNOTREG});
  Bytes huge = good;
  huge[18] = 0xFF, huge[19] = 0xFF, huge[20] = 0xFF, huge[21] = 0x7F;
  cases.push_back({"huge path length", huge, STG_E_DOCFILECORRUPT});
  Bytes version = good;
  version[16 + 2 + 4 + 9 + 2] = 0;
  cases.push_back({"wrong version number", version, STG_E_DOCFILECORRUPT});
  Bytes unicode = good;
  unicode[unicode.size() - 4] = 9;  // announces a UTF-16 path that is not there
  cases.push_back({"missing unicode path", unicode, STG_E_READFAULT});
  Bytes manyParts;
  AppendClass(&manyParts, 0x09);
  Append32(&manyParts, 0xFFFFFFFF);
  cases.push_back({"composite of four billion parts", manyParts, STG_E_DOCFILECORRUPT});
  Bytes nested;
  for (int i = 0; i < 20; ++i) {
    AppendClass(&nested, 0x09);
    Append32(&nested, 1);
  }
  cases.push_back({"composites nested too deeply", nested, STG_E_DOCFILECORRUPT});

  ScopedTraceCapture traces;
  for (const Case& c : cases) {
    ComPtr<IMoniker> moniker;
    EXPECT_EQ(Load(c.bytes, &moniker), c.expected) << c.what;
    EXPECT_EQ(moniker.Get(), nullptr) << c.what;
  }
  EXPECT_TRUE(traces.Saw("OleLoadFromStream", REGDB_E_CLASSNOTREG));
  ComPtr<IMoniker> moniker;
  EXPECT_EQ(Load(good, &moniker), S_OK);
  EXPECT_EQ(OleLoadFromStream(nullptr, IID_IMoniker, reinterpret_cast<void**>(moniker.Put())), E_POINTER);
}

TEST(Moniker, NullObjectSavesTheNullClass) { EXPECT_EQ(Saved(nullptr), Bytes(16, 0)); }

}  // namespace
