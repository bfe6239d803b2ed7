// Storage and stream semantics, exercised on memory storages (compound files
// share the same element objects; compound_file_test covers the disk side).
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/storage_support.h"

using quorra::host::ComPtr;
using quorra::test::ElementInfo;
using quorra::test::GetStream;
using quorra::test::ListElements;

namespace {

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kOpenRead = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kOpenWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr CLSID kSomeClass = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};

ComPtr<IStorage> NewStorage() {
  ComPtr<IStorage> storage;
  EXPECT_EQ(quorra::host::CreateMemoryStorage(storage.Put()), S_OK);
  return storage;
}

ComPtr<IStream> AddStream(IStorage* storage, const wchar_t* name, const std::string& bytes) {
  ComPtr<IStream> stream;
  EXPECT_EQ(storage->CreateStream(name, kCreate, 0, 0, stream.Put()), S_OK);
  if (!bytes.empty()) {
    EXPECT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
  }
  return stream;
}

std::string ReadAll(IStream* stream) {
  std::vector<BYTE> bytes;
  EXPECT_EQ(quorra::host::ReadStreamBytes(stream, &bytes), S_OK);
  return std::string(bytes.begin(), bytes.end());
}

LARGE_INTEGER Offset(LONGLONG value) {
  LARGE_INTEGER li;
  li.QuadPart = value;
  return li;
}

ULARGE_INTEGER Size(ULONGLONG value) {
  ULARGE_INTEGER ui;
  ui.QuadPart = value;
  return ui;
}

TEST(Storage, CreateAndOpenFollowExistenceTypeAndCase) {
  ComPtr<IStorage> root = NewStorage();
  AddStream(root.Get(), L"Attachments", "abc");
  ComPtr<IStorage> sub;
  ASSERT_EQ(root->CreateStorage(L"IOT", kCreate, 0, 0, sub.Put()), S_OK);

  ComPtr<IStream> stream;
  ComPtr<IStorage> storage;
  // Names compare without regard to case.
  EXPECT_EQ(GetStream(root.Get(), L"ATTACHMENTS"), "abc");
  EXPECT_EQ(root->OpenStorage(L"iot", nullptr, kOpenRead, nullptr, 0, storage.Put()), S_OK);
  // A stream is not a storage and the other way round.
  EXPECT_EQ(root->OpenStream(L"IOT", nullptr, kOpenRead, 0, stream.Put()), STG_E_FILENOTFOUND);
  EXPECT_EQ(root->OpenStorage(L"Attachments", nullptr, kOpenRead, nullptr, 0, storage.Put()), STG_E_FILENOTFOUND);
  EXPECT_EQ(root->OpenStream(L"Missing", nullptr, kOpenRead, 0, stream.Put()), STG_E_FILENOTFOUND);
  EXPECT_EQ(stream.Get(), nullptr);
  // Without STGM_CREATE an existing name is refused, whatever its case or type.
  EXPECT_EQ(root->CreateStream(L"attachments", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.Put()),
            STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(root->CreateStorage(L"Attachments", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, storage.Put()),
            STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(GetStream(root.Get(), L"Attachments"), "abc");
  // With it the old element is replaced, and objects still open on it are dead.
  ComPtr<IStream> old;
  ASSERT_EQ(root->OpenStream(L"Attachments", nullptr, kOpenWrite, 0, old.Put()), S_OK);
  ASSERT_EQ(root->CreateStorage(L"Attachments", kCreate, 0, 0, storage.Put()), S_OK);
  char byte;
  EXPECT_EQ(old->Read(&byte, 1, nullptr), STG_E_REVERTED);
  EXPECT_EQ(ListElements(root.Get()).size(), 2u);
}

TEST(Storage, ElementNamesAreCheckedOnCreation) {
  ComPtr<IStorage> root = NewStorage();
  std::wstring longest(31, L'n');
  std::wstring astral = std::wstring(30, L'a') + L"\U0001F600";  // 32 UTF-16 units
  struct Case {
    std::wstring name;
    HRESULT expected;
  } cases[] = {
      {longest, S_OK},
      {longest + L"n", STG_E_INVALIDNAME},
      {astral, STG_E_INVALIDNAME},
      {std::wstring(29, L'a') + L"\U0001F600", S_OK},
      {L"", STG_E_INVALIDNAME},
      {L"a/b", STG_E_INVALIDNAME},
      {L"a\\b", STG_E_INVALIDNAME},
      {L"a:b", STG_E_INVALIDNAME},
      {L"a!b", STG_E_INVALIDNAME},
      {L"\x05SummaryInformation", S_OK},
  };
  for (const Case& c : cases) {
    ComPtr<IStream> stream;
    EXPECT_EQ(root->CreateStream(c.name.c_str(), kCreate, 0, 0, stream.Put()), c.expected) << c.name.size();
  }
  ComPtr<IStream> stream;
  EXPECT_EQ(root->CreateStream(nullptr, kCreate, 0, 0, stream.Put()), STG_E_INVALIDPOINTER);
  EXPECT_EQ(root->OpenStream((longest + L"n").c_str(), nullptr, kOpenRead, 0, stream.Put()), STG_E_INVALIDNAME);
}

TEST(Storage, ModesAndReservedArgumentsAreChecked) {
  ComPtr<IStorage> root = NewStorage();
  AddStream(root.Get(), L"S", "x");
  ComPtr<IStream> stream;
  ComPtr<IStorage> storage;
  EXPECT_EQ(root->OpenStream(L"S", nullptr, STGM_READWRITE | STGM_WRITE, 0, stream.Put()), STG_E_INVALIDFLAG);
  EXPECT_EQ(root->OpenStream(L"S", nullptr, STGM_READ | 0x50, 0, stream.Put()), STG_E_INVALIDFLAG);
  EXPECT_EQ(root->OpenStream(L"S", nullptr, STGM_READ | STGM_CREATE, 0, stream.Put()), STG_E_INVALIDFLAG);
  EXPECT_EQ(root->OpenStream(L"S", nullptr, STGM_READ | 0x80000000u, 0, stream.Put()), STG_E_INVALIDFLAG);
  int dummy;
  EXPECT_EQ(root->OpenStream(L"S", &dummy, kOpenRead, 0, stream.Put()), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(root->CreateStorage(L"T", kCreate, 1, 0, storage.Put()), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(root->OpenStream(L"S", nullptr, kOpenRead, 0, nullptr), STG_E_INVALIDPOINTER);
}

TEST(Storage, AccessIsEnforcedDownTheTree) {
  ComPtr<IStorage> root = NewStorage();
  ComPtr<IStorage> sub;
  ASSERT_EQ(root->CreateStorage(L"Sub", kCreate, 0, 0, sub.Put()), S_OK);
  AddStream(sub.Get(), L"Data", "12345");
  sub.Reset();

  ComPtr<IStorage> readOnly;
  ASSERT_EQ(root->OpenStorage(L"Sub", nullptr, kOpenRead, nullptr, 0, readOnly.Put()), S_OK);
  ComPtr<IStream> stream;
  ComPtr<IStorage> storage;
  EXPECT_EQ(readOnly->CreateStream(L"New", kCreate, 0, 0, stream.Put()), STG_E_ACCESSDENIED);
  EXPECT_EQ(readOnly->CreateStorage(L"New", kCreate, 0, 0, storage.Put()), STG_E_ACCESSDENIED);
  EXPECT_EQ(readOnly->OpenStream(L"Data", nullptr, kOpenWrite, 0, stream.Put()), STG_E_ACCESSDENIED);
  EXPECT_EQ(readOnly->DestroyElement(L"Data"), STG_E_ACCESSDENIED);
  EXPECT_EQ(readOnly->RenameElement(L"Data", L"Other"), STG_E_ACCESSDENIED);
  EXPECT_EQ(readOnly->SetClass(kSomeClass), STG_E_ACCESSDENIED);

  ASSERT_EQ(readOnly->OpenStream(L"Data", nullptr, kOpenRead, 0, stream.Put()), S_OK);
  ULONG written = 7;
  EXPECT_EQ(stream->Write("zz", 2, &written), STG_E_ACCESSDENIED);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(stream->SetSize(Size(1)), STG_E_ACCESSDENIED);
  EXPECT_EQ(ReadAll(stream.Get()), "12345");

  ComPtr<IStream> writeOnly;
  ASSERT_EQ(root->OpenStorage(L"Sub", nullptr, kOpenWrite, nullptr, 0, storage.Put()), S_OK);
  ASSERT_EQ(storage->OpenStream(L"Data", nullptr, STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, writeOnly.Put()), S_OK);
  char buffer[4];
  EXPECT_EQ(writeOnly->Read(buffer, 4, nullptr), STG_E_ACCESSDENIED);
}

TEST(Storage, EnumerationIsInDirectoryOrderWithStatFields) {
  ComPtr<IStorage> root = NewStorage();
  AddStream(root.Get(), L"bb", "12");
  AddStream(root.Get(), L"a", "");
  AddStream(root.Get(), L"AC", std::string(5000, 'x'));
  ComPtr<IStorage> sub;
  ASSERT_EQ(root->CreateStorage(L"Ab", kCreate, 0, 0, sub.Put()), S_OK);
  ASSERT_EQ(sub->SetClass(kSomeClass), S_OK);
  // Shorter names first, then by upper-cased units: "a" < "Ab" < "AC" < "bb".
  std::vector<ElementInfo> listed = ListElements(root.Get());
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0].name, L"a");
  EXPECT_EQ(listed[1].name, L"Ab");
  EXPECT_EQ(listed[1].type, STGTY_STORAGE);
  EXPECT_EQ(listed[2].name, L"AC");
  EXPECT_EQ(listed[2].size, 5000u);
  EXPECT_EQ(listed[3].name, L"bb");

  ComPtr<IEnumSTATSTG> elements;
  ASSERT_EQ(root->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
  STATSTG batch[3];
  ULONG fetched = 0;
  EXPECT_EQ(elements->Skip(1), S_OK);
  EXPECT_EQ(elements->Next(3, batch, &fetched), S_OK);
  EXPECT_EQ(fetched, 3u);
  EXPECT_EQ(batch[0].clsid, kSomeClass);
  EXPECT_NE(batch[0].ctime.dwHighDateTime, 0u);
  for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(batch[i].pwcsName);
  EXPECT_EQ(elements->Next(3, batch, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(elements->Skip(1), S_FALSE);

  ComPtr<IEnumSTATSTG> clone;
  ASSERT_EQ(elements->Reset(), S_OK);
  ASSERT_EQ(elements->Skip(3), S_OK);
  ASSERT_EQ(elements->Clone(clone.Put()), S_OK);
  EXPECT_EQ(clone->Next(2, batch, nullptr), STG_E_INVALIDPOINTER);  // a count above 1 needs `fetched`
  // The enumerator is a snapshot: later changes do not disturb it.
  ASSERT_EQ(root->DestroyElement(L"a"), S_OK);
  ASSERT_EQ(elements->Reset(), S_OK);
  ASSERT_EQ(elements->Next(1, batch, nullptr), S_OK);
  EXPECT_STREQ(batch[0].pwcsName, L"a");
  CoTaskMemFree(batch[0].pwcsName);
}

TEST(Storage, StreamSeekReadWriteAndSize) {
  ComPtr<IStorage> root = NewStorage();
  ComPtr<IStream> stream = AddStream(root.Get(), L"S", "hello");
  ULARGE_INTEGER position;
  // Writing past the end fills the gap with zeros.
  ASSERT_EQ(stream->Seek(Offset(3), STREAM_SEEK_END, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 8u);
  ASSERT_EQ(stream->Write("!", 1, nullptr), S_OK);
  EXPECT_EQ(ReadAll(stream.Get()), std::string("hello\0\0\0!", 9));
  // Reading at or past the end succeeds with nothing.
  char buffer[16];
  ULONG read = 99;
  ASSERT_EQ(stream->Seek(Offset(100), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(stream->Read(buffer, sizeof(buffer), &read), S_OK);
  EXPECT_EQ(read, 0u);
  // Relative seeks; a position before the start is refused and leaves it.
  ASSERT_EQ(stream->Seek(Offset(1), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream->Seek(Offset(2), STREAM_SEEK_CUR, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 3u);
  EXPECT_EQ(stream->Seek(Offset(-4), STREAM_SEEK_CUR, &position), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Offset(0), 7, &position), STG_E_INVALIDFUNCTION);
  ASSERT_EQ(stream->Read(buffer, 2, &read), S_OK);
  EXPECT_EQ(std::string(buffer, read), "lo");
  // Shrinking then growing again must not bring old bytes back.
  ASSERT_EQ(stream->SetSize(Size(2)), S_OK);
  ASSERT_EQ(stream->SetSize(Size(6)), S_OK);
  EXPECT_EQ(ReadAll(stream.Get()), std::string("he\0\0\0\0", 6));
  STATSTG stat;
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 6u);
  EXPECT_EQ(stat.pwcsName, nullptr);
  EXPECT_EQ(stream->Stat(&stat, 5), STG_E_INVALIDFLAG);
}

TEST(Storage, ClonesShareBytesButNotPosition) {
  ComPtr<IStorage> root = NewStorage();
  ComPtr<IStream> stream = AddStream(root.Get(), L"S", "abcdef");
  ASSERT_EQ(stream->Seek(Offset(2), STREAM_SEEK_SET, nullptr), S_OK);
  ComPtr<IStream> clone;
  ASSERT_EQ(stream->Clone(clone.Put()), S_OK);
  char buffer[2];
  ASSERT_EQ(clone->Read(buffer, 2, nullptr), S_OK);
  EXPECT_EQ(std::string(buffer, 2), "cd");
  ASSERT_EQ(clone->Write("XY", 2, nullptr), S_OK);
  ASSERT_EQ(stream->Read(buffer, 2, nullptr), S_OK);
  EXPECT_EQ(std::string(buffer, 2), "cd");
  EXPECT_EQ(GetStream(root.Get(), L"S"), "abcdXY");
}

TEST(Storage, StreamCopyToMovesTheRequestedCount) {
  ComPtr<IStream> from, to;
  const std::string text(3000000, 'q');
  ASSERT_EQ(quorra::host::CreateMemoryStreamOnBytes(text.data(), text.size(), from.Put()), S_OK);
  ASSERT_EQ(quorra::host::CreateMemoryStream(to.Put()), S_OK);
  ASSERT_EQ(from->Seek(Offset(10), STREAM_SEEK_SET, nullptr), S_OK);
  ULARGE_INTEGER read, written;
  ASSERT_EQ(from->CopyTo(to.Get(), Size(2500000), &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, 2500000u);
  EXPECT_EQ(written.QuadPart, 2500000u);
  ASSERT_EQ(from->CopyTo(to.Get(), Size(~0ull), &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, text.size() - 2500010);
  EXPECT_EQ(ReadAll(to.Get()), text.substr(10));
}

TEST(Storage, DestroyAndRenameKeepOtherObjectsConsistent) {
  ComPtr<IStorage> root = NewStorage();
  ComPtr<IStream> kept = AddStream(root.Get(), L"Kept", "k");
  AddStream(root.Get(), L"Other", "o");
  ComPtr<IStorage> sub;
  ASSERT_EQ(root->CreateStorage(L"Sub", kCreate, 0, 0, sub.Put()), S_OK);
  ComPtr<IStream> inner = AddStream(sub.Get(), L"Inner", "i");

  EXPECT_EQ(root->RenameElement(L"Kept", L"Other"), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(root->RenameElement(L"Nope", L"New"), STG_E_FILENOTFOUND);
  EXPECT_EQ(root->RenameElement(L"Kept", L"a/b"), STG_E_INVALIDNAME);
  ASSERT_EQ(root->RenameElement(L"Kept", L"Renamed"), S_OK);
  ASSERT_EQ(root->RenameElement(L"renamed", L"RENAMED"), S_OK);  // a change of case only
  EXPECT_EQ(GetStream(root.Get(), L"Renamed"), "k");
  // The open stream follows its element through renames.
  ASSERT_EQ(kept->Write("2", 1, nullptr), S_OK);
  EXPECT_EQ(GetStream(root.Get(), L"RENAMED"), "k2");
  STATSTG stat;
  ASSERT_EQ(kept->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_STREQ(stat.pwcsName, L"RENAMED");
  CoTaskMemFree(stat.pwcsName);

  // Destroying a storage kills every object below it, and only those.
  EXPECT_EQ(root->DestroyElement(L"Missing"), STG_E_FILENOTFOUND);
  ASSERT_EQ(root->DestroyElement(L"SUB"), S_OK);
  EXPECT_EQ(inner->Write("x", 1, nullptr), STG_E_REVERTED);
  ComPtr<IEnumSTATSTG> elements;
  EXPECT_EQ(sub->EnumElements(0, nullptr, 0, elements.Put()), STG_E_REVERTED);
  EXPECT_EQ(kept->Write("x", 1, nullptr), S_OK);
  EXPECT_EQ(ListElements(root.Get()).size(), 2u);
}

TEST(Storage, CopyToIsDeepMergesAndHonoursExclusions) {
  ComPtr<IStorage> source = NewStorage();
  AddStream(source.Get(), L"One", "1");
  AddStream(source.Get(), L"Skip", "s");
  ComPtr<IStorage> sub;
  ASSERT_EQ(source->CreateStorage(L"Sub", kCreate, 0, 0, sub.Put()), S_OK);
  ASSERT_EQ(sub->SetClass(kSomeClass), S_OK);
  ASSERT_EQ(sub->SetStateBits(0xF0F0, 0xFFFF), S_OK);
  AddStream(sub.Get(), L"Deep", std::string(70000, 'd'));
  ASSERT_EQ(source->SetClass(kSomeClass), S_OK);

  ComPtr<IStorage> target = NewStorage();
  AddStream(target.Get(), L"One", "old");
  ComPtr<IStorage> targetSub;
  ASSERT_EQ(target->CreateStorage(L"Sub", kCreate, 0, 0, targetSub.Put()), S_OK);
  AddStream(targetSub.Get(), L"Local", "l");

  wchar_t skip[] = L"skip";
  wchar_t* exclude[] = {skip, nullptr};
  ASSERT_EQ(source->CopyTo(0, nullptr, exclude, target.Get()), S_OK);
  EXPECT_EQ(GetStream(target.Get(), L"One"), "1");
  EXPECT_EQ(GetStream(target.Get(), L"Skip"), "<missing>");
  EXPECT_EQ(GetStream(targetSub.Get(), L"Deep"), std::string(70000, 'd'));
  EXPECT_EQ(GetStream(targetSub.Get(), L"Local"), "l");  // storages merge
  STATSTG stat;
  ASSERT_EQ(targetSub->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.clsid, kSomeClass);
  EXPECT_EQ(stat.grfStateBits, 0xF0F0u);
  ASSERT_EQ(target->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.clsid, kSomeClass);

  // Excluding by interface leaves out every storage.
  ComPtr<IStorage> streamsOnly = NewStorage();
  ASSERT_EQ(source->CopyTo(1, &IID_IStorage, nullptr, streamsOnly.Get()), S_OK);
  EXPECT_EQ(ListElements(streamsOnly.Get()).size(), 2u);
  // A storage cannot be copied into itself or below itself.
  EXPECT_EQ(source->CopyTo(0, nullptr, nullptr, sub.Get()), STG_E_ACCESSDENIED);
  EXPECT_EQ(source->CopyTo(0, nullptr, nullptr, source.Get()), STG_E_ACCESSDENIED);
}

TEST(Storage, MoveElementToCopiesOrMoves) {
  ComPtr<IStorage> root = NewStorage();
  ComPtr<IStorage> sub;
  ASSERT_EQ(root->CreateStorage(L"Sub", kCreate, 0, 0, sub.Put()), S_OK);
  AddStream(sub.Get(), L"Inner", "inner");
  AddStream(root.Get(), L"Top", "top");
  ComPtr<IStorage> other = NewStorage();

  ASSERT_EQ(root->MoveElementTo(L"Top", other.Get(), L"Copied", STGMOVE_COPY), S_OK);
  EXPECT_EQ(GetStream(root.Get(), L"Top"), "top");
  EXPECT_EQ(GetStream(other.Get(), L"Copied"), "top");
  ASSERT_EQ(root->MoveElementTo(L"Sub", other.Get(), L"Moved", STGMOVE_MOVE), S_OK);
  EXPECT_EQ(ListElements(root.Get()).size(), 1u);
  ComPtr<IStorage> moved;
  ASSERT_EQ(other->OpenStorage(L"Moved", nullptr, kOpenRead, nullptr, 0, moved.Put()), S_OK);
  EXPECT_EQ(GetStream(moved.Get(), L"Inner"), "inner");
  EXPECT_EQ(root->MoveElementTo(L"Top", other.Get(), L"X", 7), STG_E_INVALIDFLAG);
  EXPECT_EQ(root->MoveElementTo(L"Gone", other.Get(), L"X", STGMOVE_COPY), STG_E_FILENOTFOUND);
  // Moving a storage below itself is refused before anything changes.
  ComPtr<IStorage> inner;
  ASSERT_EQ(other->CreateStorage(L"Outer", kCreate, 0, 0, inner.Put()), S_OK);
  EXPECT_EQ(other->MoveElementTo(L"Outer", inner.Get(), L"Loop", STGMOVE_MOVE), STG_E_ACCESSDENIED);
  EXPECT_TRUE(ListElements(inner.Get()).empty());
}

TEST(Storage, StateBitsFollowTheMask) {
  ComPtr<IStorage> root = NewStorage();
  ASSERT_EQ(root->SetStateBits(0xFF00FF00, 0xFFFFFFFF), S_OK);
  // Only the low half changes: the high half keeps FF00, the low takes 00FF.
  ASSERT_EQ(root->SetStateBits(0x00FF00FF, 0x0000FFFF), S_OK);
  STATSTG stat;
  ASSERT_EQ(root->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(stat.grfStateBits, 0xFF0000FFu);
  EXPECT_STREQ(stat.pwcsName, L"Root Entry");
  CoTaskMemFree(stat.pwcsName);
}

TEST(Storage, ReleasingTheRootEndsEveryElement) {
  ComPtr<IStorage> root = NewStorage();
  ComPtr<IStream> stream = AddStream(root.Get(), L"S", "abc");
  ComPtr<IStorage> sub;
  ASSERT_EQ(root->CreateStorage(L"Sub", kCreate, 0, 0, sub.Put()), S_OK);
  root.Reset();
  char c;
  EXPECT_EQ(stream->Read(&c, 1, nullptr), STG_E_REVERTED);
  ComPtr<IStream> created;
  EXPECT_EQ(sub->CreateStream(L"X", kCreate, 0, 0, created.Put()), STG_E_REVERTED);
}

TEST(Storage, MemoryStreamsStandAlone) {
  const char bytes[] = "persisted";
  ComPtr<IStream> stream;
  ASSERT_EQ(quorra::host::CreateMemoryStreamOnBytes(bytes, 9, stream.Put()), S_OK);
  ASSERT_EQ(stream->Seek(Offset(4), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(ReadAll(stream.Get()), "persisted");
  // Reading everything leaves the position where it was.
  char c;
  ASSERT_EQ(stream->Read(&c, 1, nullptr), S_OK);
  EXPECT_EQ(c, 'i');
  STATSTG stat;
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(stat.pwcsName, nullptr);
  EXPECT_EQ(stat.type, STGTY_STREAM);
  EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(stream->LockRegion(Size(0), Size(1), 0), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(quorra::host::CreateMemoryStreamOnBytes(nullptr, 3, stream.Put()), STG_E_INVALIDPOINTER);
}

}  // namespace
