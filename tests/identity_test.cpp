#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdint>
#include <set>
#include <vector>

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::IdentityKey;
using quorra::host::IPersistIdentity;

namespace {

constexpr IID kIidPart = {0x5c0ffee0, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01}};

struct IPart : IUnknown {
  virtual int Number() = 0;
};

}  // namespace

QUORRA_INTERFACE_ID(IPart, kIidPart);

namespace {

// A member object that reports its number as persist id.
class Member : public ComObject<IPart, IPersistIdentity> {
 public:
  static inline int live = 0;
  explicit Member(DWORD id) : id_(id) { ++live; }
  ~Member() override { --live; }
  int Number() override { return static_cast<int>(id_); }
  DWORD GetPersistID() override { return id_; }

 private:
  DWORD id_;
};

// An object that is not a ComObject: counts its references by hand.
struct Foreign : IUnknown {
  ULONG refs = 1;
  HRESULT QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown ? this : nullptr;
    if (!*out) return E_NOINTERFACE;
    ++refs;
    return S_OK;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
};

int NumberOf(const JIdentity& identity) {
  IPart* part = nullptr;
  if (FAILED(identity.GetObjectW(kIidPart, reinterpret_cast<void**>(&part)))) return -1;
  int n = part->Number();
  part->Release();
  return n;
}

TEST(JIdentity, KeysAreStablePerObjectAndDistinctBetweenObjects) {
  ComPtr<Member> a(new Member(5));
  ComPtr<Member> b(new Member(5));
  JIdentity viaPart(static_cast<IPart*>(a.Get()));
  JIdentity viaPersist(static_cast<IPersistIdentity*>(a.Get()));  // another interface, same object
  EXPECT_EQ(IdentityKey(viaPart), IdentityKey(viaPersist));
  EXPECT_EQ(IdentityKey(viaPart).second, 5u);
  EXPECT_NE(IdentityKey(viaPart), IdentityKey(JIdentity(b->GetIdentityUnknown())));  // same persist id

  // Keys outlive the identities that made them, as a set of keys needs.
  std::set<std::pair<DWORD, DWORD>> seen;
  EXPECT_TRUE(seen.insert(IdentityKey(JIdentity(a->GetIdentityUnknown()))).second);
  EXPECT_FALSE(seen.insert(IdentityKey(JIdentity(a->GetIdentityUnknown()))).second);
  EXPECT_TRUE(seen.insert(IdentityKey(JIdentity(b->GetIdentityUnknown()))).second);
  EXPECT_EQ(IdentityKey(JIdentity()), std::make_pair(DWORD{0}, DWORD{0}));
}

TEST(JIdentity, IsWeakAndNeverHandsBackADestroyedObject) {
  auto* member = new Member(42);
  member->AddRef();
  JDocIdentity identity;
  identity.SetObject(member->GetIdentityUnknown());
  JDocIdentity copy = identity;
  EXPECT_EQ(member->GetRefCount(), 1u);  // identities hold no reference
  EXPECT_EQ(NumberOf(identity), 42);
  void* out = nullptr;
  EXPECT_EQ(identity.GetDocument(IID_IClassFactory, &out), E_NOINTERFACE);  // alive, but no such interface
  member->Release();

  out = reinterpret_cast<void*>(uintptr_t{1});
  EXPECT_EQ(identity.GetDocument(kIidPart, &out), CO_E_OBJNOTCONNECTED);
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(copy.IsAlive());
  EXPECT_TRUE(identity.DocumentSet());  // still set: the key stays usable
  // New objects of the same size tend to reuse the memory; none of them is
  // mistaken for the destroyed one.
  std::vector<ComPtr<Member>> newcomers;
  for (DWORD i = 0; i < 64; ++i) {
    newcomers.emplace_back(new Member(i));
    JIdentity known(newcomers.back()->GetIdentityUnknown());  // gives the newcomer a serial too
    EXPECT_EQ(NumberOf(identity), -1);
  }
}

TEST(JIdentity, HoldsForeignObjectsByAReference) {
  Foreign foreign, other;
  {
    JIdentity identity(&foreign);
    JIdentity copy = identity;
    JIdentity again(&foreign);  // a new identity of the same object while others exist
    EXPECT_EQ(foreign.refs, 4u);
    EXPECT_EQ(IdentityKey(again), IdentityKey(identity));
    EXPECT_NE(IdentityKey(JIdentity(&other)), IdentityKey(identity));
    JIdentity moved = std::move(copy);
    again.SetObject(&foreign);  // setting the same object again keeps one reference
    again = identity;
    EXPECT_EQ(foreign.refs, 4u);
    identity.SetObject(&other);
    EXPECT_EQ(foreign.refs, 3u);
  }
  EXPECT_EQ(foreign.refs, 1u);  // every identity let go
  EXPECT_EQ(other.refs, 1u);
  // Once let go, a serial is not inherited by the next object at the address.
  std::set<std::pair<DWORD, DWORD>> keys;
  for (int i = 0; i < 3; ++i) {
    Foreign local;
    keys.insert(IdentityKey(JIdentity(&local)));
  }
  EXPECT_EQ(keys.size(), 3u);
}

TEST(JIdentity, RejectsBadArguments) {
  quorra::host::ScopedTraceCapture traces;
  JIdentity identity;
  void* out = reinterpret_cast<void*>(uintptr_t{1});
  EXPECT_EQ(identity.GetObjectW(IID_IUnknown, &out), E_FAIL);  // nothing set
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(identity.GetObjectW(IID_IUnknown, nullptr), E_POINTER);

  struct Mute : Foreign {
    HRESULT QueryInterface(REFIID, void** out) override {
      *out = nullptr;
      return E_NOINTERFACE;
    }
  } mute;
  Foreign foreign;
  identity.SetObject(&foreign);
  EXPECT_EQ(identity.SetObject(&mute), E_NOINTERFACE);
  EXPECT_FALSE(identity.ObjectSet());  // a failed set leaves the identity cleared
  EXPECT_EQ(foreign.refs, 1u);
  EXPECT_TRUE(traces.Saw("JIdentity::GetObjectW", E_POINTER));
  EXPECT_TRUE(traces.Saw("JIdentity::SetObject", E_NOINTERFACE));
}

TEST(JIdentityEx, KeepsItsObjectAliveOnlyWhenAsked) {
  auto* member = new Member(1);
  member->AddRef();
  JIdentityEx strong(member->GetIdentityUnknown(), TRUE);
  JIdentityEx weak(member->GetIdentityUnknown());
  EXPECT_EQ(IdentityKey(strong), IdentityKey(weak));
  member->Release();
  EXPECT_EQ(NumberOf(weak), 1);  // the strong identity holds it
  JIdentityEx copy = strong;
  strong.Clear();
  EXPECT_EQ(Member::live, 1);  // the copy holds it too
  copy.SetObject(nullptr);
  EXPECT_EQ(Member::live, 0);
  EXPECT_EQ(NumberOf(weak), -1);
}

TEST(JRoadmap, AppendsRoutesInOrderWithTheirMarkers) {
  JRoadmap roadmap, marked;
  for (DWORD id : {7u, 3u, 12u}) ASSERT_EQ(roadmap.AddRoute(id, 0), S_OK);
  ASSERT_EQ(roadmap.GetCount(), 3u);
  EXPECT_EQ(roadmap.GetAt(0), 7u);
  EXPECT_EQ(roadmap.GetData()[2], 12u);
  EXPECT_EQ(roadmap.GetAt(3), 0xFFFFFFFFu);
  marked.AddRoute(7, 0);
  marked.AddRoute(3, 99);
  marked.AddRoute(12, 0);
  EXPECT_EQ(marked.GetMarkerAt(1), 99u);
  EXPECT_EQ(marked, roadmap);  // markers take no part in equality
  marked.Reverse();
  EXPECT_EQ(marked.GetAt(0), 12u);
  EXPECT_EQ(marked.GetMarkerAt(1), 99u);
}

TEST(JRoadmap, OrdersByLengthThenIdByIdAsNumbers) {
  auto make = [](std::initializer_list<DWORD> ids) {
    JRoadmap r;
    for (DWORD id : ids) r.AddRoute(id, 0);
    return r;
  };
  EXPECT_EQ(make({1, 2}).Compare(make({1, 2})), 0);
  EXPECT_LT(make({9, 9}).Compare(make({1, 1, 1})), 0);  // shorter first, whatever the ids
  EXPECT_LT(make({1, 2}).Compare(make({1, 3})), 0);
  EXPECT_TRUE(make({0x2}) < make({0x100}));  // numeric, not byte-wise
  EXPECT_FALSE(make({0x100}) < make({0x2}));
}

}  // namespace
