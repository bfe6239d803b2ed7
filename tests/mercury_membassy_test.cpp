// Mercury contexts named by host objects: a membassy chain walked up to its
// document gives the member and display roadmaps; a level without a usable
// attachment id leaves only the member roadmap; host context objects go
// through "JGetContextInformation".
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <string>
#include <vector>

#include "mercury/local_component.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::IPersistIdentity;
using quorra::host::ScopedTraceCapture;

class TestMercury : public Mercury {
 public:
  IUnknown* Document() const { return document_; }
  const DisplayRoadmap& Roadmap() const { return roadmap_; }
};

// The member a membassy stands for: its persist id is the attachment id.
class Member final : public ComObject<IPersistIdentity> {
 public:
  explicit Member(DWORD id) : id_(id) {}
  DWORD GetPersistID() override { return id_; }

 private:
  DWORD id_;
};

// A member whose persist id must not be used as a link.
class DisqualifiedMember final : public ComObject<IPersistIdentity> {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IJNotARoadmapLink) {
      AddRef();
      *out = static_cast<IUnknown*>(this);
      return S_OK;
    }
    return ComObject<IPersistIdentity>::QueryInterface(iid, out);
  }
  DWORD GetPersistID() override { return 9; }
};

// How the test host's GetOwnerOrGroup finds an object's owner.
constexpr IID IID_ITestOwned = {0x5d0f3a11, 0x2b6c, 0x4e8d, {0x9a, 0x47, 0x10, 0x3c, 0x55, 0x6e, 0x7f, 0x80}};
struct ITestOwned : IUnknown {
  virtual IUnknown* Owner() = 0;  // not AddRef'd

 protected:
  ~ITestOwned() = default;
};

}  // namespace
QUORRA_INTERFACE_ID(ITestOwned, IID_ITestOwned);
namespace {

class Membassy final : public ComObject<IJMembassy, IJHostOccurrence, IJRouteLink, ITestOwned> {
 public:
  Membassy(IUnknown* member, const char* route, IUnknown* owner) : member_(member), route_(route), owner_(owner) {}
  HRESULT GetMemberIdentity(JIdentity* identity) override {
    return member_ ? identity->SetObject(member_.Get()) : E_FAIL;
  }
  HRESULT GetLevelMemberRoadmap(IUnknown*, JMemberRoadmap* roadmap) override {
    *roadmap = JMemberRoadmap(route_.c_str());
    return S_OK;
  }
  IUnknown* Owner() override { return ownsItself ? Unknown() : owner_.Get(); }
  IUnknown* Unknown() { return static_cast<IJMembassy*>(this); }
  bool ownsItself = false;  // a broken host's chain that loops

 private:
  ComPtr<IUnknown> member_;
  std::string route_;
  ComPtr<IUnknown> owner_;
};

// A component that places a local component part (a membassy that is also a
// component).
class PlacingComponent final : public ComObject<IJComponent, IJMembassy, IJHostOccurrence, IJRouteLink, ITestOwned> {
 public:
  PlacingComponent(DWORD id, IUnknown* owner) : member_(new Member(id)), owner_(owner) {}
  HRESULT GetOccurrenceContainer(IJOccurrenceContainer**) override { return E_NOTIMPL; }
  BOOL IsLeaf() override { return FALSE; }
  HRESULT GetName(GUserText*) override { return E_NOTIMPL; }
  HRESULT GetMemberIdentity(JIdentity* identity) override { return identity->SetObject(member_.Get()); }
  HRESULT GetLevelMemberRoadmap(IUnknown*, JMemberRoadmap* roadmap) override {
    *roadmap = JMemberRoadmap("c");
    return S_OK;
  }
  IUnknown* Owner() override { return owner_.Get(); }

 private:
  ComPtr<IUnknown> member_;
  ComPtr<IUnknown> owner_;
};

// An element that is no component.
class Plain final : public ComObject<IUnknown> {};

class Elements final : public ComObject<IJElementEnumerator> {
 public:
  explicit Elements(std::vector<ComPtr<IUnknown>> elements, HRESULT fails = S_OK)
      : elements_(std::move(elements)), fails_(fails) {}
  HRESULT Next(ULONG count, IUnknown** out, ULONG* fetched) override {
    if (FAILED(fails_)) return fails_;
    ULONG n = 0;
    for (; n < count && next_ < elements_.size(); ++n) {
      out[n] = elements_[next_++].Get();
      out[n]->AddRef();
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }

 private:
  std::vector<ComPtr<IUnknown>> elements_;
  size_t next_ = 0;
  HRESULT fails_;
};

// The owner of local component parts. `collection` false: it does not
// answer the element collection at all.
class LocalOwner final : public ComObject<IJElementCollection> {
 public:
  LocalOwner(std::vector<ComPtr<IUnknown>> elements, bool collection, HRESULT enumFails)
      : elements_(std::move(elements)), collection_(collection), enumFails_(enumFails) {}
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IJLocalComponentOwner) {
      AddRef();
      *out = static_cast<IUnknown*>(static_cast<IJElementCollection*>(this));
      return S_OK;
    }
    if (iid == IID_IJElementCollection && !collection_) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return ComObject<IJElementCollection>::QueryInterface(iid, out);
  }
  HRESULT EnumElements(IJElementEnumerator** out) override {
    if (FAILED(enumFails_)) return enumFails_;
    *out = new Elements(elements_);
    (*out)->AddRef();
    return S_OK;
  }

 private:
  std::vector<ComPtr<IUnknown>> elements_;
  bool collection_;
  HRESULT enumFails_;
};

// A local component part: flagged, owned by the local owner.
class LocalPart final : public ComObject<IJComponent, IJRouteLink, ITestOwned> {
 public:
  explicit LocalPart(IUnknown* owner) : owner_(owner) {}
  HRESULT GetOccurrenceContainer(IJOccurrenceContainer**) override { return E_NOTIMPL; }
  HRESULT GetComponentFlags(DWORD* flags) override {
    *flags = COMPONENT_LOCAL_PART;
    return S_OK;
  }
  BOOL IsLeaf() override { return TRUE; }
  HRESULT GetName(GUserText*) override { return E_NOTIMPL; }
  HRESULT GetLevelMemberRoadmap(IUnknown*, JMemberRoadmap* roadmap) override {
    *roadmap = JMemberRoadmap("p");
    return S_OK;
  }
  IUnknown* Owner() override { return owner_.Get(); }

 private:
  ComPtr<IUnknown> owner_;
};

// The document's override-table holder: converts member roadmaps by their
// routes' decimal text.
class Holder final : public ComObject<IJOverrideTreeHolder> {
 public:
  HRESULT GetOverrideTree(JIDSOverrideTree** out, DWORD) override {
    *out = nullptr;
    return E_FAIL;
  }
  HRESULT ConvertMemberRoadmap(JMemberRoadmap* member, DisplayRoadmap* display) override {
    ++conversions;
    display->Clear();
    for (DWORD i = 1; i < member->GetRouteCount(); ++i) display->AddLink(static_cast<DWORD>(i * 10));
    return S_OK;
  }
  int conversions = 0;
};

class Document final : public ComObject<IUnknown> {};

struct Host {
  ComPtr<IUnknown> document{new Document};
  ComPtr<IUnknown> top{new Document};
  ComPtr<Holder> holder{new Holder};
  JMemberRoadmap contextRoadmap{"document"};
  std::vector<bool> informationFlags;
};
Host* gHost = nullptr;

HRESULT GetPersistManager(IUnknown*, IUnknown** out) {
  *out = gHost->document.Get();
  (*out)->AddRef();
  return S_OK;
}
HRESULT GetSupport(IUnknown*, REFIID iid, void** out) {
  IUnknown* object = iid == IID_IJOverrideTreeHolder ? static_cast<IUnknown*>(gHost->holder.Get()) : gHost->top.Get();
  object->AddRef();
  *out = object;
  return S_OK;
}
HRESULT GetOwnerOrGroup(IUnknown* object, DWORD which, REFIID, void** out) {
  *out = nullptr;
  if (which != 0) return E_FAIL;
  ComPtr<ITestOwned> owned;
  if (FAILED(object->QueryInterface(IID_ITestOwned, reinterpret_cast<void**>(owned.Put())))) return E_FAIL;
  IUnknown* owner = owned->Owner();
  owner->AddRef();
  *out = owner;
  return S_OK;
}
HRESULT GetContextDocument(IUnknown*, IUnknown** document) {
  *document = gHost->document.Get();
  (*document)->AddRef();
  return S_OK;
}
HRESULT GetContextInformation(IUnknown*, bool flag, IUnknown** document, JMemberRoadmap* roadmap) {
  gHost->informationFlags.push_back(flag);
  *document = gHost->document.Get();
  (*document)->AddRef();
  *roadmap = gHost->contextRoadmap;
  return S_OK;
}

class MercuryMembassy : public ::testing::Test {
 protected:
  void SetUp() override {
    gHost = &host_;
    quorra::host::RegisterModule(L"dulcet.dll",
                                 {{"GetPersistManager", reinterpret_cast<void*>(&GetPersistManager)},
                                  {"JGetGraphicSupportObject", reinterpret_cast<void*>(&GetSupport)},
                                  {"GetOwnerOrGroup", reinterpret_cast<void*>(&GetOwnerOrGroup)}});
    quorra::host::RegisterModule(
        L"inkle.dll", {{"JGetContextDocumentFromMembassy", reinterpret_cast<void*>(&GetContextDocument)},
                       {"JGetContextInformation", reinterpret_cast<void*>(&GetContextInformation)}});
  }
  void TearDown() override {
    quorra::host::UnregisterModule(L"dulcet.dll");
    quorra::host::UnregisterModule(L"inkle.dll");
    gHost = nullptr;
  }
  // leaf (member id leafId, route "b") below mid (member id 1, route "a")
  // below the document's top object.
  ComPtr<Membassy> Chain(IUnknown* leafMember) {
    ComPtr<Membassy> mid(new Membassy(ComPtr<IUnknown>(new Member(1)).Get(), "a", host_.top.Get()));
    return ComPtr<Membassy>(new Membassy(leafMember, "b", mid->Unknown()));
  }
  Host host_;
};

DisplayRoadmap Display(std::vector<DWORD> ids) {
  DisplayRoadmap rm;
  for (DWORD id : ids) rm.AddLink(id);
  return rm;
}

TEST_F(MercuryMembassy, ChainGivesBothRoadmapsRootFirst) {
  ComPtr<Membassy> leaf = Chain(ComPtr<IUnknown>(new Member(2)).Get());
  JMemberRoadmap member;
  DisplayRoadmap display;
  bool valid = false;
  ASSERT_EQ(JGetRoadmapsFromMembassy(leaf->Unknown(), &member, &display, &valid), S_OK);
  EXPECT_TRUE(valid);
  DisplayRoadmap expected = Display({1, 2});
  EXPECT_EQ(display.Compare(&expected), 0);
  JMemberRoadmap expectedMember("a");
  expectedMember.Append(JMemberRoute("b"));
  EXPECT_EQ(member, expectedMember);

  // Only the display roadmap.
  ASSERT_EQ(JGetRoadmapsFromMembassy(leaf->Unknown(), nullptr, &display, &valid), S_OK);
  EXPECT_EQ(display.Compare(&expected), 0);

  // Mercury takes the document and the display roadmap; no conversion.
  TestMercury m;
  ASSERT_EQ(m.SetContext(leaf->Unknown()), S_OK);
  EXPECT_EQ(m.Document(), host_.document.Get());
  EXPECT_EQ(m.Roadmap().Compare(&expected), 0);
  EXPECT_EQ(host_.holder->conversions, 0);
}

TEST_F(MercuryMembassy, LevelWithoutAUsableIdLeavesOnlyTheMemberRoadmap) {
  struct {
    const char* what;
    ComPtr<IUnknown> member;
  } cases[] = {{"no member", ComPtr<IUnknown>()},
               {"persist id 0", ComPtr<IUnknown>(new Member(0))},
               {"disqualified", ComPtr<IUnknown>(new DisqualifiedMember)}};
  for (auto& c : cases) {
    ComPtr<Membassy> leaf = Chain(c.member.Get());
    JMemberRoadmap member;
    DisplayRoadmap display = Display({5});
    bool valid = true;
    ASSERT_EQ(JGetRoadmapsFromMembassy(leaf->Unknown(), &member, &display, &valid), S_OK) << c.what;
    EXPECT_FALSE(valid) << c.what;
    EXPECT_EQ(display.GetEntryCount(), 0u) << c.what;
    EXPECT_EQ(member.GetRouteCount(), 2u) << c.what;

    // Mercury falls back on the member roadmap, converted by the holder.
    TestMercury m;
    host_.holder->conversions = 0;
    ASSERT_EQ(m.SetContext(leaf->Unknown()), S_OK) << c.what;
    EXPECT_EQ(host_.holder->conversions, 1) << c.what;
    DisplayRoadmap converted = Display({10});
    EXPECT_EQ(m.Roadmap().Compare(&converted), 0) << c.what;
  }
}

TEST_F(MercuryMembassy, ArgumentsAndHostContexts) {
  ScopedTraceCapture traces;
  DisplayRoadmap display;
  JMemberRoadmap member;
  EXPECT_EQ(JGetRoadmapsFromMembassy(nullptr, &member, &display, nullptr), E_INVALIDARG);
  EXPECT_EQ(JGetRoadmapsFromMembassy(host_.top.Get(), nullptr, nullptr, nullptr), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("JGetRoadmapsFromMembassy", E_INVALIDARG));
  TestMercury m;
  EXPECT_EQ(m.SetContext(static_cast<IUnknown*>(nullptr)), E_INVALIDARG);
  EXPECT_EQ(m.SetContext(static_cast<IUnknown*>(nullptr), SetContextFlags(1)), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("Mercury::SetContext", E_INVALIDARG));

  // Flags 1 and 2 ask the host with true and false.
  host_.contextRoadmap.Append(JMemberRoute("x"));
  host_.contextRoadmap.Append(JMemberRoute("y"));
  ASSERT_EQ(m.SetContext(host_.top.Get(), SetContextFlags(1)), S_OK);
  DisplayRoadmap expected = Display({10, 20});
  EXPECT_EQ(m.Roadmap().Compare(&expected), 0);
  EXPECT_EQ(m.Document(), host_.document.Get());
  ASSERT_EQ(m.SetContext(host_.top.Get(), SetContextFlags(2)), S_OK);
  EXPECT_EQ(host_.informationFlags, (std::vector<bool>{true, false}));
  // Any other value leaves the context as it was.
  EXPECT_EQ(m.SetContext(host_.top.Get(), SetContextFlags(3)), S_OK);
  EXPECT_EQ(host_.informationFlags.size(), 2u);
  EXPECT_EQ(m.Document(), host_.document.Get());
  EXPECT_EQ(m.Roadmap().Compare(&expected), 0);
}

// ---- local component parts ----

JMemberRoadmap Routes(std::vector<const char*> routes) {
  JMemberRoadmap rm;
  for (const char* route : routes) rm.Append(JMemberRoute(route));
  return rm;
}

TEST_F(MercuryMembassy, LocalComponentPartIsWalkedThroughTheComponentThatPlacesIt) {
  ScopedTraceCapture traces;
  ComPtr<PlacingComponent> placing(new PlacingComponent(3, host_.top.Get()));
  ComPtr<IUnknown> owner(static_cast<IJElementCollection*>(new LocalOwner(
      {ComPtr<IUnknown>(new Plain), ComPtr<IUnknown>(static_cast<IJComponent*>(placing.Get()))}, true, S_OK)));
  ComPtr<LocalPart> part(new LocalPart(owner.Get()));
  IUnknown* start = static_cast<IJComponent*>(part.Get());

  // Handed over by JGetRoadmapsFromMembassy, or called directly.
  for (bool direct : {false, true}) {
    JMemberRoadmap member;
    DisplayRoadmap display;
    bool valid = false;
    HRESULT hr = direct ? JGetRoadmapsFromLocalComponentPart(start, &member, &display, &valid)
                        : JGetRoadmapsFromMembassy(start, &member, &display, &valid);
    ASSERT_EQ(hr, S_OK) << direct;
    EXPECT_EQ(member, Routes({"c", "p"})) << direct;  // the owner itself adds no level
    EXPECT_TRUE(valid) << direct;
    DisplayRoadmap expected = Display({3});
    EXPECT_EQ(display.Compare(&expected), 0) << direct;
  }

  // A membassy is no local component part.
  ComPtr<Membassy> leaf = Chain(ComPtr<IUnknown>(new Member(2)).Get());
  JMemberRoadmap member;
  EXPECT_EQ(JGetRoadmapsFromLocalComponentPart(leaf->Unknown(), &member, nullptr, nullptr), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("JGetRoadmapsFromLocalComponentPart", E_INVALIDARG));
}

TEST_F(MercuryMembassy, LocalOwnerThatCannotHandTheWalkOnEndsIt) {
  ComPtr<PlacingComponent> placing(new PlacingComponent(3, host_.top.Get()));
  ComPtr<IUnknown> component(static_cast<IJComponent*>(placing.Get()));
  struct {
    const char* what;
    std::vector<ComPtr<IUnknown>> elements;
    bool collection;
    HRESULT enumFails;
    HRESULT expected;
  } cases[] = {{"no element collection", {component}, false, S_OK, E_NOINTERFACE},
               {"enumeration refused", {component}, true, E_ACCESSDENIED, E_ACCESSDENIED},
               {"no component among the elements", {ComPtr<IUnknown>(new Plain)}, true, S_OK, E_FAIL}};
  for (auto& c : cases) {
    ScopedTraceCapture traces;
    ComPtr<IUnknown> owner(
        static_cast<IJElementCollection*>(new LocalOwner(c.elements, c.collection, c.enumFails)));
    ComPtr<LocalPart> part(new LocalPart(owner.Get()));
    JMemberRoadmap member("stale");
    DisplayRoadmap display = Display({9});
    bool valid = true;
    EXPECT_EQ(JGetRoadmapsFromMembassy(static_cast<IJComponent*>(part.Get()), &member, &display, &valid), c.expected)
        << c.what;
    EXPECT_TRUE(member.IsEmpty()) << c.what;
    EXPECT_EQ(display.GetEntryCount(), 0u) << c.what;
    EXPECT_TRUE(traces.Saw("JGetRoadmapsFromLocalComponentPart", c.expected)) << c.what;
  }
}

TEST_F(MercuryMembassy, OwnerChainThatLoopsEndsWithAFailure) {
  ScopedTraceCapture traces;
  ComPtr<Membassy> looping(new Membassy(ComPtr<IUnknown>(new Member(1)).Get(), "a", host_.top.Get()));
  looping->ownsItself = true;
  DisplayRoadmap display;
  EXPECT_EQ(JGetRoadmapsFromMembassy(looping->Unknown(), nullptr, &display, nullptr), E_FAIL);
  EXPECT_TRUE(traces.Saw("JGetRoadmapsFromMembassy", E_FAIL));
}

TEST_F(MercuryMembassy, MissingHostFunctionsFailTheCall) {
  ScopedTraceCapture traces;
  ComPtr<Membassy> leaf = Chain(ComPtr<IUnknown>(new Member(2)).Get());
  quorra::host::RegisterModule(L"dulcet.dll", {{"GetPersistManager", reinterpret_cast<void*>(&GetPersistManager)},
                                               {"JGetGraphicSupportObject", reinterpret_cast<void*>(&GetSupport)}});
  DisplayRoadmap display;
  EXPECT_EQ(JGetRoadmapsFromMembassy(leaf->Unknown(), nullptr, &display, nullptr), E_FAIL);
  EXPECT_TRUE(traces.Saw("JGetRoadmapsFromMembassy", E_FAIL));

  quorra::host::UnregisterModule(L"inkle.dll");
  TestMercury m;
  EXPECT_EQ(m.SetContext(host_.top.Get(), SetContextFlags(1)), E_FAIL);
  EXPECT_TRUE(traces.Saw("Mercury::SetContext", E_FAIL));
}

}  // namespace
