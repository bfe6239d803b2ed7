// Mercury contexts named by host objects: a membassy chain walked up to its
// document gives the member and display roadmaps; a level without a usable
// attachment id leaves only the member roadmap; host context objects go
// through "JGetContextInformation".
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <string>
#include <vector>

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

class Membassy final : public ComObject<IJMembassy, IJHostOccurrence, IJRouteLink> {
 public:
  Membassy(IUnknown* member, const char* route, IUnknown* owner) : member_(member), route_(route), owner_(owner) {}
  HRESULT GetMemberIdentity(JIdentity* identity) override {
    return member_ ? identity->SetObject(member_.Get()) : E_FAIL;
  }
  HRESULT GetLevelMemberRoadmap(IUnknown*, JMemberRoadmap* roadmap) override {
    *roadmap = JMemberRoadmap(route_.c_str());
    return S_OK;
  }
  IUnknown* Owner() const { return owner_.Get(); }
  IUnknown* Unknown() { return static_cast<IJMembassy*>(this); }

 private:
  ComPtr<IUnknown> member_;
  std::string route_;
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
  IJMembassy* membassy = nullptr;
  if (FAILED(object->QueryInterface(IID_IJMembassy, reinterpret_cast<void**>(&membassy)))) return E_FAIL;
  IUnknown* owner = static_cast<Membassy*>(membassy)->Owner();
  membassy->Release();
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

}  // namespace
