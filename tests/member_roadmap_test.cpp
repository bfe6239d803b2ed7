#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <string>
#include <vector>

#include "support/byte_stream.h"

namespace {

using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;
using quorra::test::ByteStream;
using Bytes = std::vector<BYTE>;

// The routes of a roadmap as strings of bytes.
std::vector<std::string> Routes(const JMemberRoadmap& rm) {
  std::vector<std::string> out;
  for (const JMemberRouteLink* link = rm.GetFirst(); link; link = link->next)
    out.emplace_back(reinterpret_cast<const char*>(link->GetByteArray()), link->GetLength());
  return out;
}

// A roadmap of routes given as byte strings.
JMemberRoadmap Roadmap(std::initializer_list<std::string> routes) {
  JMemberRoadmap rm;
  for (const std::string& r : routes) EXPECT_EQ(rm.Append(r.data(), static_cast<DWORD>(r.size())), S_OK);
  return rm;
}

Bytes Save(const JMemberRoadmap& rm, WORD version) {
  ComPtr<ByteStream> stream = ByteStream::Create();
  EXPECT_EQ(rm.Save(stream.Get(), version), S_OK);
  return stream->Bytes();
}

Bytes EncodeCount(DWORD value) {
  ComPtr<ByteStream> stream = ByteStream::Create();
  JIOStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
  EXPECT_EQ(JSerializeCount(context, &value), S_OK);
  return stream->Bytes();
}

}  // namespace

TEST(JSerializeCount, WritesTheDocumentedBytesAndReadsThemBack) {
  struct {
    DWORD value;
    Bytes bytes;
  } cases[] = {
      {0, {0x00}},
      {63, {0xFC}},
      {64, {0x01, 0x01}},
      {16383, {0xFD, 0xFF}},
      {16384, {0x02, 0x00, 0x01}},
      {4194303, {0xFE, 0xFF, 0xFF}},
      {4194304, {0x03, 0x00, 0x00, 0x40, 0x00}},
      {0xFFFFFFFF, {0x03, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeCount(c.value), c.bytes) << c.value;
    ComPtr<ByteStream> stream = ByteStream::Create(c.bytes);
    JIOStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
    DWORD read = 12345;
    EXPECT_EQ(JSerializeCount(context, &read), S_OK);
    EXPECT_EQ(read, c.value);
  }
}

TEST(JSerializeCount, FailuresAreTraced) {
  ScopedTraceCapture traces;
  DWORD value = 0;
  // The tag says three more bytes follow; only one does.
  ComPtr<ByteStream> shortStream = ByteStream::Create({0x02, 0x00});
  JIOStreamContext reader(shortStream.Get(), JIOStreamContext::kReadContext);
  EXPECT_EQ(JSerializeCount(reader, &value), STG_E_READFAULT);
  JIOStreamContext noStream(nullptr, JIOStreamContext::kReadContext);
  EXPECT_EQ(JSerializeCount(noStream, &value), E_UNEXPECTED);
  EXPECT_EQ(JSerializeCount(reader, nullptr), E_POINTER);
  EXPECT_TRUE(traces.Saw("JSerializeCount", STG_E_READFAULT));
  EXPECT_TRUE(traces.Saw("JSerializeCount", E_UNEXPECTED));
  EXPECT_TRUE(traces.Saw("JSerializeCount", E_POINTER));
}

TEST(JMemberRoute, ConstructionForms) {
  const JMemberRoute text("12");
  EXPECT_EQ(text.GetLength(), 3u);
  EXPECT_TRUE(text == "12");
  EXPECT_TRUE("12" == text);
  EXPECT_TRUE(text != "123");

  const JMemberRoute value(DWORD{0x04030201});
  ASSERT_EQ(value.GetLength(), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(value.GetByteArray()), 4), std::string("\x01\x02\x03\x04", 4));

  EXPECT_TRUE(JMemberRoute(static_cast<const char*>(nullptr)).IsEmpty());
  EXPECT_TRUE(JMemberRoute() == JMemberRoute(static_cast<const char*>(nullptr)));

  BYTE out[2] = {};
  EXPECT_EQ(value.GetBytes(out, 2), 2u);
  EXPECT_EQ(out[1], 2);
  EXPECT_EQ(value.GetBytes(out, 0), 0u);
}

TEST(JMemberRoute, AppendMovesToAnExactHeapBlockPastTwentyFourBytes) {
  const std::string first(20, 'a'), second = "0123456789";
  JMemberRoute route(first.data(), 20);
  const BYTE* inlineBytes = route.GetByteArray();
  EXPECT_EQ(route.Append(second.data(), 4), S_OK);  // 24: still inline
  EXPECT_EQ(route.GetByteArray(), inlineBytes);
  EXPECT_EQ(route.Append(second.data() + 4, 6), S_OK);  // 30: heap
  EXPECT_NE(route.GetByteArray(), inlineBytes);
  ASSERT_EQ(route.GetLength(), 30u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(route.GetByteArray()), 30), first + second);

  // Appending a route to itself doubles it.
  EXPECT_EQ(route.Append(route), S_OK);
  EXPECT_EQ(route.GetLength(), 60u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(route.GetByteArray()), 60), first + second + first + second);

  // Assigning a short route from a long one goes back inline.
  route = "x";
  EXPECT_EQ(route.GetLength(), 2u);
  route.Reset();
  EXPECT_TRUE(route.IsEmpty());
}

TEST(JMemberRoute, OrderIsLengthThenUnsignedBytes) {
  const JMemberRoute a("\x01", 1), b("\xFF", 1), ab("\x00\x00", 2);
  EXPECT_TRUE(a < b);
  EXPECT_FALSE(b < a);  // 0xFF is large as an unsigned byte
  EXPECT_TRUE(b < ab);  // shorter first, whatever the bytes
  EXPECT_FALSE(a < a);
  EXPECT_FALSE(JMemberRoute() < JMemberRoute());
}

TEST(JMemberRoadmap, StoredLayoutsOfVersionZeroAndOne) {
  const std::string longRoute(300, 'r');
  JMemberRoadmap rm = Roadmap({"ab", "", longRoute});

  Bytes v0 = {3, 0, 0, 0, 2, 0, 0, 0, 'a', 'b', 0, 0, 0, 0, 0x2C, 0x01, 0, 0};
  v0.insert(v0.end(), longRoute.begin(), longRoute.end());
  EXPECT_EQ(Save(rm, 0), v0);

  // 300 = 0x12C: 300 * 4 + 1 = 0x04B1.
  Bytes v1 = {3 << 2, 2 << 2, 'a', 'b', 0, 0xB1, 0x04};
  v1.insert(v1.end(), longRoute.begin(), longRoute.end());
  EXPECT_EQ(Save(rm, 1), v1);
  EXPECT_EQ(Save(rm, 7), v1);  // later versions read like version 1

  for (WORD version : {0, 1}) {
    ComPtr<ByteStream> stream = ByteStream::Create(version == 0 ? v0 : v1);
    JMemberRoadmap back("old content");
    EXPECT_EQ(back.Load(stream.Get(), version), S_OK);
    EXPECT_EQ(back, rm);
    EXPECT_EQ(stream->Position(), stream->Bytes().size());
  }
}

TEST(JMemberRoadmap, TruncatedStreamsFailWithTheReadFaultAndKeepWhatWasRead) {
  const Bytes v0 = {2, 0, 0, 0, 1, 0, 0, 0, 'a', 5, 0, 0, 0, 'b', 'c'};
  for (size_t cut = 0; cut < v0.size(); ++cut) {
    ScopedTraceCapture traces;
    ComPtr<ByteStream> stream = ByteStream::Create(Bytes(v0.begin(), v0.begin() + cut));
    JMemberRoadmap rm;
    EXPECT_EQ(rm.Load(stream.Get(), 0), STG_E_READFAULT) << cut;
    if (cut < 4) {
      EXPECT_TRUE(traces.Saw("JMemberRoadmap::Serialize", STG_E_READFAULT));
      EXPECT_EQ(rm.GetRouteCount(), 0u);
    } else {
      EXPECT_TRUE(traces.Saw("JMemberRoute::Serialize", STG_E_READFAULT)) << cut;
      EXPECT_EQ(rm.GetRouteCount(), 2u);  // the count as read
    }
    if (cut >= 9) {
      EXPECT_EQ(Routes(rm).front(), "a");
    }
    // The count as read over fewer links stays safe to cut and copy.
    JMemberRoadmap right;
    rm.Right(rm.GetRouteCount(), &right);
    EXPECT_EQ(rm.Truncate(1), rm.GetRouteCount() ? S_OK : E_UNEXPECTED);
  }
  ScopedTraceCapture traces;
  JMemberRoadmap rm;
  EXPECT_EQ(rm.Load(nullptr, 1), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("JMemberRoadmap::Serialize", E_UNEXPECTED));

  // A length far beyond the stream reads no further than the stream.
  ComPtr<ByteStream> huge = ByteStream::Create({1, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 'x'});
  EXPECT_EQ(rm.Load(huge.Get(), 0), STG_E_READFAULT);
}

TEST(JMemberRoadmap, MemoryFormAndItsBoundedReader) {
  Bytes buffer = {2, 0, 0, 0, 2, 0, 0, 0, 'h', 'i', 0, 0, 0, 0, 0xEE};
  JMemberRoadmap rm;
  EXPECT_EQ(rm.Load(buffer.data()), S_OK);
  EXPECT_EQ(Routes(rm), (std::vector<std::string>{"hi", ""}));

  BYTE* cursor = buffer.data() + 4;
  JMemberRoute route;
  EXPECT_EQ(route.Load(&cursor), S_OK);
  EXPECT_EQ(cursor, buffer.data() + 10);

  size_t used = 0;
  EXPECT_EQ(rm.LoadBounded(buffer.data(), buffer.size(), &used), S_OK);
  EXPECT_EQ(used, 14u);
  for (size_t cut = 0; cut < 14; ++cut) {
    JMemberRoadmap partial;
    EXPECT_EQ(partial.LoadBounded(buffer.data(), cut, &used), STG_E_READFAULT) << cut;
    EXPECT_LE(used, cut);
    EXPECT_EQ(partial.GetRouteCount(), cut >= 10 ? 1u : 0u) << cut;
  }
  const BYTE* at = buffer.data() + 4;
  EXPECT_EQ(route.LoadBounded(&at, buffer.data() + 9), STG_E_READFAULT);
  EXPECT_EQ(at, buffer.data() + 4);  // unchanged on failure
}

TEST(JMemberRoadmap, TruncateAndRight) {
  JMemberRoadmap rm = Roadmap({"a", "b", "c"});
  EXPECT_EQ(rm.Truncate(4), E_UNEXPECTED);
  EXPECT_EQ(Routes(rm), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(rm.Truncate(1), S_OK);
  EXPECT_EQ(Routes(rm), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(rm.Append("x"), S_OK);  // the end was moved with the cut
  EXPECT_EQ(rm.GetRouteCount(), 3u);
  EXPECT_EQ(rm.Truncate(3), S_OK);
  EXPECT_TRUE(rm.IsEmpty());
  EXPECT_EQ(rm.GetRouteCount(), 0u);

  JMemberRoadmap source = Roadmap({"a", "b", "c"});
  JMemberRoadmap out = Roadmap({"old", "older"});
  EXPECT_EQ(source.Right(3, &out), S_OK);
  EXPECT_EQ(out, source);
  EXPECT_EQ(source.Right(2, &out), S_OK);
  EXPECT_EQ(Routes(out), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(source.Right(4, &out), E_UNEXPECTED);
  EXPECT_EQ(source.Right(1, nullptr), E_UNEXPECTED);
  EXPECT_EQ(source.Right(1, &source), S_OK);  // into itself
  EXPECT_EQ(Routes(source), (std::vector<std::string>{"c"}));
}

TEST(JMemberRoadmap, SplitHonoursEveryAliasing) {
  const std::vector<std::string> abc = {"a", "b", "c"};
  {  // distinct outputs get copies
    const JMemberRoadmap rm = Roadmap({"a", "b", "c"});
    JMemberRoadmap first = Roadmap({"z"}), rest = Roadmap({"y", "x"});
    EXPECT_EQ(rm.Split(&first, &rest), S_OK);
    EXPECT_EQ(Routes(first), (std::vector<std::string>{"a"}));
    EXPECT_EQ(Routes(rest), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(Routes(rm), abc);
  }
  {  // rest is this roadmap: the first link moves out
    JMemberRoadmap rm = Roadmap({"a", "b", "c"});
    JMemberRoadmap first = Roadmap({"z"});
    EXPECT_EQ(rm.Split(&first, &rm), S_OK);
    EXPECT_EQ(Routes(first), (std::vector<std::string>{"a"}));
    EXPECT_EQ(Routes(rm), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(rm.GetRouteCount(), 2u);
  }
  {  // first is this roadmap: the others move out
    JMemberRoadmap rm = Roadmap({"a", "b", "c"});
    JMemberRoadmap rest = Roadmap({"z"});
    EXPECT_EQ(rm.Split(&rm, &rest), S_OK);
    EXPECT_EQ(Routes(rm), (std::vector<std::string>{"a"}));
    EXPECT_EQ(Routes(rest), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(rest.GetRouteCount(), 2u);
  }
  {  // the same object for both is emptied
    const JMemberRoadmap rm = Roadmap({"a", "b"});
    JMemberRoadmap both = Roadmap({"z"});
    EXPECT_EQ(rm.Split(&both, &both), S_OK);
    EXPECT_TRUE(both.IsEmpty());
  }
  {  // an empty roadmap leaves both empty
    const JMemberRoadmap rm;
    JMemberRoadmap first = Roadmap({"z"}), rest = Roadmap({"y"});
    EXPECT_EQ(rm.Split(&first, &rest), S_OK);
    EXPECT_TRUE(first.IsEmpty());
    EXPECT_TRUE(rest.IsEmpty());
  }
  {  // the route form, with rest this roadmap and not
    JMemberRoadmap rm = Roadmap({"a", "b", "c"});
    JMemberRoute first("zz");
    JMemberRoadmap rest;
    EXPECT_EQ(rm.Split(&first, &rest), S_OK);
    EXPECT_EQ(first, JMemberRoute("a", 1));
    EXPECT_EQ(Routes(rest), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(rm.Split(&first, &rm), S_OK);
    EXPECT_EQ(first, JMemberRoute("a", 1));
    EXPECT_EQ(Routes(rm), (std::vector<std::string>{"b", "c"}));
  }
}

TEST(JMemberRoadmap, ComparisonsAndPartialCompare) {
  const JMemberRoadmap empty1, empty2;
  EXPECT_TRUE(empty1 == empty2);
  const JMemberRoadmap ab = Roadmap({"a", "b"}), abc = Roadmap({"a", "b", "c"}), ax = Roadmap({"a", "x"});
  EXPECT_FALSE(empty1.PartialCompare(&ab));
  EXPECT_FALSE(ab.PartialCompare(&empty1));
  EXPECT_TRUE(ab.PartialCompare(&abc));
  EXPECT_TRUE(abc.PartialCompare(&ab));
  EXPECT_TRUE(ab.PartialCompare(&ab));
  EXPECT_FALSE(ax.PartialCompare(&abc));

  EXPECT_TRUE(ab < abc);   // fewer routes
  EXPECT_TRUE(ab < ax);    // first unequal pair decides
  EXPECT_FALSE(ax < ab);
  EXPECT_FALSE(ab < ab);
  EXPECT_TRUE(ab != ax);

  const JMemberRoadmap one("name");
  EXPECT_TRUE(one == "name");
  EXPECT_TRUE("name" == one);
  EXPECT_TRUE(one == JMemberRoute("name"));
  EXPECT_TRUE(JMemberRoute("name") == one);
  EXPECT_TRUE(ab != JMemberRoute("a", 1));  // two routes never equal one

  JMemberRoadmap assigned;
  assigned = DWORD{7};
  EXPECT_EQ(assigned, JMemberRoute(DWORD{7}));
  assigned = ab;
  EXPECT_EQ(assigned, ab);
  EXPECT_EQ(assigned.Append(assigned), S_OK);
  EXPECT_EQ(Routes(assigned), (std::vector<std::string>{"a", "b", "a", "b"}));
  JMemberRoute first("a", 1);
  assigned = static_cast<const JMemberRoute&>(*assigned.GetFirst());  // from one of its own routes
  EXPECT_EQ(assigned, first);
}

TEST(JMemberRoadmap, ClassCachesHandBackTheLastFreedObject) {
  auto* roadmap = new JMemberRoadmap("x");
  delete roadmap;
  auto* again = new JMemberRoadmap();
  EXPECT_EQ(again, roadmap);
  EXPECT_TRUE(again->IsEmpty());
  delete again;

  auto* route = new JMemberRoute(DWORD{1});
  delete route;
  auto* route2 = new JMemberRoute();
  EXPECT_EQ(route2, route);
  delete route2;

  // Placement and source-position forms.
  alignas(JMemberRoadmap) unsigned char storage[sizeof(JMemberRoadmap)];
  auto* placed = new (storage) JMemberRoadmap("p");
  EXPECT_EQ(static_cast<void*>(placed), static_cast<void*>(storage));
  placed->~JMemberRoadmap();
  auto* tracked = new (__FILE__, __LINE__) JMemberRoadmap("t");
  EXPECT_EQ(tracked->GetRouteCount(), 1u);
  delete tracked;

  alignas(JMemberRoadmap) unsigned char array[3 * sizeof(JMemberRoadmap)];
  auto* elements = reinterpret_cast<JMemberRoadmap*>(array);
  ConstructElements(elements, 3);
  EXPECT_EQ(elements[2].Append("q"), S_OK);
  DestructElements(elements, 3);
}

namespace {

// The bytes of a "FamilyMembers" stream.
Bytes FamilyMembers(DWORD format, const std::vector<std::pair<std::string, DWORD>>& members) {
  Bytes out;
  auto word = [&](DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
  };
  word(format);
  word(static_cast<DWORD>(members.size()));
  for (const auto& [name, version] : members) {
    const Bytes roadmap = Save(JMemberRoadmap(name.c_str()), 0);
    out.insert(out.end(), roadmap.begin(), roadmap.end());
    word(static_cast<DWORD>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    word(version);
  }
  return out;
}

ComPtr<IStorage> StorageWith(const Bytes& bytes) {
  ComPtr<IStorage> storage;
  EXPECT_EQ(quorra::host::CreateMemoryStorage(storage.Put()), S_OK);
  ComPtr<IStream> stream;
  EXPECT_EQ(storage->CreateStream(FAMILY_MEMBERS_STREAM, STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0, 0,
                                  stream.Put()),
            S_OK);
  ULONG written = 0;
  if (!bytes.empty()) {
    EXPECT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written), S_OK);
  }
  return storage;
}

}  // namespace

TEST(JMConfigurations, ReadsMembersAndAnswersVersions) {
  ComPtr<IStorage> storage = StorageWith(FamilyMembers(1, {{"Small", 3}, {"Large", 7}}));
  JMConfigurations configurations;
  ASSERT_EQ(configurations.Load(storage.Get()), S_OK);
  ASSERT_EQ(configurations.Count(), 2u);
  EXPECT_EQ(configurations[1].GetVersion(), 7u);
  EXPECT_EQ(SysStringByteLen(configurations[1].GetName()), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(configurations[1].GetName()), 5), "Large");
  EXPECT_EQ(configurations.VerifyMemberAndVersion(JMemberRoadmap("Small"), 3), S_OK);
  EXPECT_EQ(configurations.VerifyMemberAndVersion(JMemberRoadmap("Small"), 4), S_FALSE);
  EXPECT_EQ(configurations.VerifyMemberAndVersion(JMemberRoadmap("Medium"), 3), DISP_E_MEMBERNOTFOUND);
  try {
    configurations[2];
    FAIL() << "no exception";
  } catch (const JMConfigurationIndexError& error) {
    EXPECT_EQ(error.GetIndex(), 2u);
  }
}

TEST(JMConfigurations, OtherFormatsAndDamagedStreams) {
  {
    ComPtr<IStorage> storage = StorageWith(FamilyMembers(2, {{"Small", 3}}));
    JMConfigurations configurations;
    EXPECT_EQ(configurations.Load(storage.Get()), S_OK);
    EXPECT_EQ(configurations.GetFormatVersion(), 2u);
    EXPECT_EQ(configurations.Count(), 0u);
    EXPECT_EQ(configurations.VerifyMemberAndVersion(JMemberRoadmap("Small"), 3), DISP_E_MEMBERNOTFOUND);
  }
  {
    ScopedTraceCapture traces;
    ComPtr<IStorage> storage;
    ASSERT_EQ(quorra::host::CreateMemoryStorage(storage.Put()), S_OK);
    JMConfigurations configurations;
    EXPECT_TRUE(FAILED(configurations.Load(storage.Get())));
    EXPECT_TRUE(traces.Saw("JMConfigurations::Load"));
  }
  const Bytes whole = FamilyMembers(1, {{"Small", 3}});
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    ScopedTraceCapture traces;
    ComPtr<IStorage> storage = StorageWith(Bytes(whole.begin(), whole.begin() + cut));
    JMConfigurations configurations;
    EXPECT_EQ(configurations.Load(storage.Get()), STG_E_READFAULT) << cut;
    const char* operation = cut < 4    ? "JMConfigurations::Load"
                            : cut < 12 ? "JMConfigurations::LoadVersion1"
                                       : "JMConfigurationEntry::LoadVersion1";
    EXPECT_TRUE(traces.Saw(operation, STG_E_READFAULT)) << cut;
  }
}

TEST(UserData, MemberRoutesAreReleasedWithTheirNode) {
  // Released by the library's cleanup: the route goes back to its cache, so
  // the next route made takes its address.
  JMemberRoute* route = new JMemberRoute("stored");
  {
    UserDataMap* map = nullptr;
    ASSERT_EQ(AddUserData(&map, UD_OCC_ROADMAP, route), S_OK);
    quorra::DeleteUserDataMap(&map);
  }
  auto* next = new JMemberRoute();
  EXPECT_EQ(next, route);
  delete next;
}
