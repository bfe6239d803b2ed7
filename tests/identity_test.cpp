#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdint>
#include <memory>
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

 protected:
  ~IPart() = default;
};

}  // namespace

QUORRA_INTERFACE_ID(IPart, kIidPart);

namespace {

class Part : public ComObject<IPart> {
 public:
  explicit Part(int number = 0) : number_(number) {}
  int Number() override { return number_; }

 private:
  int number_;
};

// A member object that reports its attachment id as persist id.
class Member : public ComObject<IPart, IPersistIdentity> {
 public:
  explicit Member(DWORD id) : id_(id) {}
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

// Refuses even IUnknown.
struct Mute : IUnknown {
  HRESULT QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
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
  JIdentity viaPersist(static_cast<IPersistIdentity*>(a.Get()));  // another interface of the same object
  JIdentity other(static_cast<IPart*>(b.Get()));

  EXPECT_EQ(IdentityKey(viaPart), IdentityKey(viaPersist));
  EXPECT_EQ(viaPart, viaPersist);
  EXPECT_NE(IdentityKey(viaPart), IdentityKey(other));  // same persist id, different objects
  EXPECT_NE(viaPart.GetSerial(), 0u);
  EXPECT_EQ(viaPart.GetPersistID(), 5u);
  EXPECT_EQ(IdentityKey(viaPart).second, 5u);

  // The key does not change with later identities or copies.
  auto key = IdentityKey(viaPart);
  viaPart.Clear();
  viaPart.SetObject(a->GetIdentityUnknown());
  EXPECT_EQ(IdentityKey(viaPart), key);
  JIdentity copy = other;
  EXPECT_EQ(IdentityKey(copy), IdentityKey(other));

  // Keys serve an ordered set, as the record of displayed weldments uses them.
  std::set<std::pair<DWORD, DWORD>> seen;
  EXPECT_TRUE(seen.insert(IdentityKey(JIdentity(a->GetIdentityUnknown()))).second);
  EXPECT_FALSE(seen.insert(IdentityKey(JIdentity(a->GetIdentityUnknown()))).second);
  EXPECT_TRUE(seen.insert(IdentityKey(JIdentity(b->GetIdentityUnknown()))).second);

  JIdentity unset;
  EXPECT_EQ(IdentityKey(unset), std::make_pair(DWORD{0}, DWORD{0}));
  EXPECT_FALSE(unset.ObjectSet());
}

TEST(JIdentity, IsWeakAndNeverHandsBackADestroyedObject) {
  auto* part = new Part(42);
  part->AddRef();
  JIdentity identity(part->GetIdentityUnknown());
  JIdentity copy = identity;
  EXPECT_EQ(part->GetRefCount(), 1u);  // identities hold no reference
  EXPECT_EQ(NumberOf(identity), 42);
  EXPECT_TRUE(identity.IsAlive());
  part->Release();

  void* out = reinterpret_cast<void*>(uintptr_t{1});
  EXPECT_EQ(identity.GetObjectW(kIidPart, &out), CO_E_OBJNOTCONNECTED);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(copy.GetObjectW(IID_IUnknown, &out), CO_E_OBJNOTCONNECTED);
  EXPECT_FALSE(identity.IsAlive());
  EXPECT_TRUE(identity.ObjectSet());  // still set: the key stays usable

  // New objects of the same size tend to reuse the memory; none of them is
  // mistaken for the destroyed one.
  std::vector<ComPtr<Part>> newcomers;
  for (int i = 0; i < 64; ++i) {
    newcomers.emplace_back(new Part(i));
    JIdentity known(newcomers.back()->GetIdentityUnknown());  // give the newcomer a serial too
    EXPECT_EQ(NumberOf(identity), -1);
    EXPECT_EQ(NumberOf(copy), -1);
  }
}

TEST(JIdentity, HoldsForeignObjectsByAReference) {
  Foreign foreign;
  {
    JIdentity identity(&foreign);
    EXPECT_EQ(foreign.refs, 2u);
    JIdentity copy = identity;
    EXPECT_EQ(foreign.refs, 3u);
    EXPECT_EQ(IdentityKey(copy), IdentityKey(identity));
    JIdentity again(&foreign);  // a new identity of the same object while others exist
    EXPECT_EQ(IdentityKey(again), IdentityKey(identity));
    void* out = nullptr;
    ASSERT_EQ(identity.GetObjectW(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, &foreign);
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(identity.GetObjectW(kIidPart, &out), E_NOINTERFACE);  // the object's own answer
    EXPECT_EQ(out, nullptr);
    JIdentity moved = std::move(copy);
    EXPECT_EQ(foreign.refs, 4u);
    EXPECT_FALSE(copy.ObjectSet());  // NOLINT(bugprone-use-after-move): moved-from is cleared
  }
  EXPECT_EQ(foreign.refs, 1u);  // every identity let go
}

TEST(JIdentity, SettingAndClearingAdjustReferences) {
  Foreign first, second;
  JIdentity identity(&first);
  identity.SetObject(&second);
  EXPECT_EQ(first.refs, 1u);
  EXPECT_EQ(second.refs, 2u);
  identity.SetObject(&second);  // the same object again keeps exactly one reference
  EXPECT_EQ(second.refs, 2u);
  JIdentity assigned;
  assigned = identity;
  assigned = assigned;  // self-assignment changes nothing
  EXPECT_EQ(second.refs, 3u);
  identity.SetObject(nullptr);
  EXPECT_FALSE(identity.ObjectSet());
  assigned.Clear();
  EXPECT_EQ(second.refs, 1u);
}

TEST(JIdentity, RejectsBadArguments) {
  quorra::host::ScopedTraceCapture traces;
  JIdentity identity;
  void* out = reinterpret_cast<void*>(uintptr_t{1});
  EXPECT_EQ(identity.GetObjectW(IID_IUnknown, &out), E_FAIL);  // nothing set
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(identity.GetObjectW(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_TRUE(traces.Saw("JIdentity::GetObjectW", E_POINTER));

  Foreign foreign;
  identity.SetObject(&foreign);
  Mute mute;
  EXPECT_EQ(identity.SetObject(&mute), E_NOINTERFACE);
  EXPECT_FALSE(identity.ObjectSet());  // a failed set leaves the identity cleared
  EXPECT_EQ(foreign.refs, 1u);
  EXPECT_TRUE(traces.Saw("JIdentity::SetObject", E_NOINTERFACE));
}

TEST(JDocIdentity, NamesTheDocumentOperations) {
  ComPtr<Part> document(new Part(3));
  JDocIdentity identity;
  EXPECT_FALSE(identity.DocumentSet());
  EXPECT_EQ(identity.GetDocumentIndex(), 0u);
  identity.SetObject(document->GetIdentityUnknown());
  EXPECT_TRUE(identity.DocumentSet());
  EXPECT_EQ(identity.GetDocumentIndex(), identity.GetSerial());
  IPart* part = nullptr;
  ASSERT_EQ(identity.GetDocument(kIidPart, reinterpret_cast<void**>(&part)), S_OK);
  EXPECT_EQ(part->Number(), 3);
  part->Release();
  void* out = nullptr;
  EXPECT_EQ(identity.GetDocument(IID_IClassFactory, &out), E_NOINTERFACE);  // distinct from "gone"
  JDocIdentity copy = identity;
  EXPECT_EQ(copy, identity);
}

TEST(JIdentityEx, KeepsItsObjectAliveOnlyWhenAsked) {
  std::weak_ptr<int> probe;
  struct Tracked : ComObject<IPart> {
    std::shared_ptr<int> token = std::make_shared<int>(1);
    int Number() override { return 1; }
  };
  auto* object = new Tracked;
  probe = object->token;
  object->AddRef();
  JIdentityEx strong(object->GetIdentityUnknown(), TRUE);
  JIdentityEx weak(object->GetIdentityUnknown());
  EXPECT_TRUE(strong.KeepsObjectAlive());
  EXPECT_FALSE(weak.KeepsObjectAlive());
  EXPECT_EQ(IdentityKey(strong), IdentityKey(weak));
  object->Release();
  EXPECT_FALSE(probe.expired());  // the strong identity holds it
  EXPECT_EQ(NumberOf(weak), 1);
  JIdentityEx copy = strong;
  strong.Clear();
  EXPECT_FALSE(probe.expired());  // the copy holds it too
  copy.SetObject(nullptr);
  EXPECT_TRUE(probe.expired());
  EXPECT_EQ(NumberOf(weak), -1);
}

TEST(JRoadmap, AppendsRoutesInOrder) {
  JRoadmap roadmap;
  EXPECT_TRUE(roadmap.IsEmpty());
  EXPECT_EQ(roadmap.GetData(), nullptr);
  for (DWORD id : {7u, 3u, 12u}) ASSERT_EQ(roadmap.AddRoute(id, 0), S_OK);
  ASSERT_EQ(roadmap.GetCount(), 3u);
  EXPECT_EQ(roadmap.GetAt(0), 7u);
  EXPECT_EQ(roadmap.GetAt(1), 3u);
  EXPECT_EQ(roadmap.GetAt(2), 12u);
  EXPECT_EQ(roadmap.GetAt(3), 0xFFFFFFFFu);
  EXPECT_EQ(roadmap.GetData()[2], 12u);

  // Markers ride along with their ids and do not affect equality.
  JRoadmap marked;
  marked.AddRoute(7, 0);
  marked.AddRoute(3, 99);
  marked.AddRoute(12, 0);
  EXPECT_EQ(marked.GetMarkerAt(0), 0u);
  EXPECT_EQ(marked.GetMarkerAt(1), 99u);
  EXPECT_EQ(marked.GetMarkerAt(5), 0u);
  EXPECT_EQ(marked, roadmap);
  marked.Reverse();
  EXPECT_EQ(marked.GetAt(0), 12u);
  EXPECT_EQ(marked.GetMarkerAt(1), 99u);
  EXPECT_EQ(marked.GetAt(2), 7u);
  marked.Clear();
  EXPECT_EQ(marked.GetCount(), 0u);
  EXPECT_EQ(marked.GetMarkerAt(0), 0u);
}

TEST(JRoadmap, OrdersByLengthThenIdByIdAsNumbers) {
  auto make = [](std::initializer_list<DWORD> ids) {
    JRoadmap r;
    for (DWORD id : ids) r.AddRoute(id, 0);
    return r;
  };
  struct Case {
    JRoadmap a, b;
    int sign;
  };
  const Case cases[] = {
      {make({}), make({}), 0},
      {make({1, 2}), make({1, 2}), 0},
      {make({9, 9}), make({1, 1, 1}), -1},  // shorter first, whatever the ids
      {make({1, 2}), make({1, 3}), -1},
      {make({0x100}), make({0x2}), 1},  // numeric, not byte-wise
  };
  for (const Case& c : cases) {
    int result = c.a.Compare(c.b);
    EXPECT_EQ((result > 0) - (result < 0), c.sign);
    EXPECT_EQ(c.a < c.b, c.sign < 0);
    EXPECT_EQ(c.a == c.b, c.sign == 0);
  }
  std::set<JRoadmap> set{make({1, 2}), make({1}), make({1, 2})};
  EXPECT_EQ(set.size(), 2u);
}

}  // namespace
