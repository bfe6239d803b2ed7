// Override body data: finding its assembly document again through the
// cached identity or by name under the two caching switches, and the
// exported lookup from a membassy to the body data of its occurrence in a
// refhost document's override table.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>

#include <string>
#include <vector>

#include "mercury/override_body_data_internal.h"
#include "support/assembly_builder.h"
#include "support/top_sub_bolt.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;

class Document final : public ComObject<IUnknown> {};

// The host's open documents by name, served as "dulcet.dll".
struct OpenDocuments {
  ComPtr<IUnknown> byName;        // JGetDocumentIfOpen's answer
  ComPtr<IUnknown> ignoringName;  // JGetDocumentIfOpenIgnoreMemberName's
  std::vector<std::string> calls;
};
OpenDocuments* gOpen = nullptr;

HRESULT Answer(const char* which, IUnknown* document, void** out) {
  gOpen->calls.push_back(which);
  *out = document;
  if (!document) return S_FALSE;
  document->AddRef();
  return S_OK;
}
HRESULT GetIfOpen(const wchar_t*, REFIID, void** out) { return Answer("open", gOpen->byName.Get(), out); }
HRESULT GetIfOpenEx(const wchar_t*, REFIID, void** out) { return Answer("ex", gOpen->byName.Get(), out); }
HRESULT GetIgnoringName(const wchar_t*, REFIID, void** out) {
  return Answer("ignore", gOpen->ignoringName.Get(), out);
}

class BodyDataDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    gOpen = &open_;
    quorra::host::RegisterModule(L"dulcet.dll",
                                 {{"JGetDocumentIfOpen", reinterpret_cast<void*>(&GetIfOpen)},
                                  {"JGetDocumentIfOpenEx", reinterpret_cast<void*>(&GetIfOpenEx)},
                                  {"JGetDocumentIfOpenIgnoreMemberName", reinterpret_cast<void*>(&GetIgnoringName)}});
    quorra::ReloadOverrideDocumentCachingSwitches();
  }
  void TearDown() override {
    quorra::host::RemoveSetting(L"Override Document Caching Disable");
    quorra::host::RemoveSetting(L"Override Document Caching Validate");
    quorra::ReloadOverrideDocumentCachingSwitches();
    quorra::host::UnregisterModule(L"dulcet.dll");
    gOpen = nullptr;
  }
  IUnknown* Get(JOverrideBodyData& data, HRESULT expected = S_OK) {
    IUnknown* out = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(JGetAssemblyDocumentOfOverrideBodyData(&data, IID_IUnknown, reinterpret_cast<void**>(&out)), expected);
    if (out) out->Release();  // the test documents outlive the call
    return out;
  }
  OpenDocuments open_;
};

TEST_F(BodyDataDocument, CachedIdentityThenNameLookup) {
  ComPtr<IUnknown> cached(new Document), named(new Document);
  JOverrideBodyData data;
  ASSERT_EQ(data.SetAsmDoc(L"a.asm", cached.Get()), S_OK);
  open_.byName = named;
  // The cached document is answered without a name lookup.
  EXPECT_EQ(Get(data), cached.Get());
  EXPECT_TRUE(open_.calls.empty());

  // Once it is closed, the name lookup finds the open one and caches it.
  cached = nullptr;
  EXPECT_EQ(Get(data), named.Get());
  EXPECT_EQ(open_.calls, (std::vector<std::string>{"open"}));
  open_.calls.clear();
  EXPECT_EQ(Get(data), named.Get());
  EXPECT_TRUE(open_.calls.empty());

  // Without an identity: the member-name-blind lookup follows a miss, and a
  // miss of both is success with nothing.
  JOverrideBodyData fresh;
  fresh.SetAsmDoc(L"b.asm", nullptr);
  open_.byName = nullptr;
  ComPtr<IUnknown> other(new Document);
  open_.ignoringName = other;
  EXPECT_EQ(Get(fresh), other.Get());
  EXPECT_EQ(open_.calls, (std::vector<std::string>{"open", "ignore"}));
  JOverrideBodyData none;
  open_.ignoringName = nullptr;
  EXPECT_EQ(Get(none, S_FALSE), nullptr);

  ScopedTraceCapture traces;
  void* out = nullptr;
  EXPECT_EQ(JGetAssemblyDocumentOfOverrideBodyData(nullptr, IID_IUnknown, &out), E_INVALIDARG);
  EXPECT_EQ(JGetAssemblyDocumentOfOverrideBodyData(&data, IID_IUnknown, nullptr), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("JGetAssemblyDocumentOfOverrideBodyData", E_INVALIDARG));
  EXPECT_EQ(data.GetAsmDoc(IID_IUnknown, nullptr), E_INVALIDARG);
}

TEST_F(BodyDataDocument, CachingSwitches) {
  ComPtr<IUnknown> cached(new Document), named(new Document);
  open_.byName = named;
  JOverrideBodyData data;
  data.SetAsmDoc(L"a.asm", cached.Get());

  // Disabled: always by name, and what was found is still stored.
  quorra::host::SetSetting(L"Override Document Caching Disable", L"1");
  quorra::ReloadOverrideDocumentCachingSwitches();
  EXPECT_EQ(Get(data), named.Get());
  EXPECT_EQ(Get(data), named.Get());
  EXPECT_EQ(open_.calls, (std::vector<std::string>{"open", "open"}));
  quorra::host::RemoveSetting(L"Override Document Caching Disable");
  quorra::ReloadOverrideDocumentCachingSwitches();
  open_.calls.clear();
  open_.byName = nullptr;
  EXPECT_EQ(Get(data), named.Get());  // the stored identity
  EXPECT_TRUE(open_.calls.empty());

  // Validating: the cached answer stands, checked against the name lookup.
  quorra::host::SetSetting(L"Override Document Caching Validate", L"1");
  quorra::ReloadOverrideDocumentCachingSwitches();
  open_.byName = cached;
  EXPECT_EQ(Get(data), named.Get());
  EXPECT_EQ(open_.calls, (std::vector<std::string>{"ex"}));
}

// ---- the lookup from a membassy ----

std::vector<DWORD> gFullRoadmap;
BOOL IsReverse(IUnknown*) { return TRUE; }
HRESULT GetFullRoadmap(IUnknown*, JMemberRoadmap* roadmap) {
  *roadmap = JMemberRoadmap("document");
  for (DWORD id : gFullRoadmap) roadmap->Append(JMemberRoute(id));
  return S_OK;
}

// The membassy functions of "inkle.dll" name the occurrence {1, 2}.
class OverrideBodyDataLookup : public quorra::test::TopSubBoltTest {
 protected:
  void SetUp() override {
    OpenTopSubBolt();
    quorra::host::RegisterModule(L"inkle.dll",
                                 {{"JIsReverseMembassy", reinterpret_cast<void*>(&IsReverse)},
                                  {"JGetFullRoadmapFromMembassy", reinterpret_cast<void*>(&GetFullRoadmap)}});
  }
  void TearDown() override {
    quorra::host::UnregisterModule(L"inkle.dll");
    CloseTopSubBolt();
  }
};

TEST_F(OverrideBodyDataLookup, MembassyFindsTheBodyOfItsOccurrence) {
  const std::vector<DWORD> path{1, 2};
  ASSERT_EQ(iot_->SetStyleID(2, path.data(), 7, IOT_PART, 0), S_OK);
  JIDSOverride* node = nullptr;
  iot_->GetOverride(2, path.data(), &node);
  ASSERT_NE(node, nullptr);
  auto* body = new JOverrideBodyData();
  tagG4x4 matrix;
  matrix(0, 3) = 4;
  body->Populate(L"other.asm", {{3, 9}}, matrix);
  ASSERT_EQ(node->SetBodyData(body), S_OK);

  ComPtr<IUnknown> membassy(new Document);
  JOverrideBodyData* found = nullptr;
  gFullRoadmap = path;
  ASSERT_EQ(JGetOverrideBodyData(document_.Get(), membassy.Get(), &found), S_OK);
  ASSERT_NE(found, nullptr);
  EXPECT_NE(found, body);  // a copy in the shared object
  EXPECT_EQ(found->GetVersionMap(), body->GetVersionMap());
  EXPECT_EQ(found->GetMatrix()(0, 3), 4.0);
  // It names the table's own document.
  EXPECT_EQ(found->GetAssemblyName(), L"top.asm");
  ComPtr<IUnknown> asmDocument;
  EXPECT_EQ(found->GetAsmDoc(IID_IUnknown, reinterpret_cast<void**>(asmDocument.Put())), S_OK);
  EXPECT_EQ(asmDocument.Get(), document_.Get());
  asmDocument = nullptr;
  JOverrideBodyData* again = nullptr;
  ASSERT_EQ(JGetOverrideBodyData(document_.Get(), membassy.Get(), &again), S_OK);
  EXPECT_EQ(again, found);

  // A node without a body, a path with no node, the root: nothing.
  for (std::vector<DWORD> other : {std::vector<DWORD>{1}, std::vector<DWORD>{2}, std::vector<DWORD>{}}) {
    gFullRoadmap = other;
    JOverrideBodyData* none = reinterpret_cast<JOverrideBodyData*>(1);
    EXPECT_EQ(JGetOverrideBodyData(document_.Get(), membassy.Get(), &none), E_FAIL);
    EXPECT_EQ(none, nullptr);
  }
  EXPECT_EQ(JGetOverrideBodyData(nullptr, membassy.Get(), &found), E_INVALIDARG);
  EXPECT_EQ(JGetOverrideBodyData(document_.Get(), nullptr, &found), E_INVALIDARG);
}

// ---- the lookup in a document's table, and in a local component's ----

// A document with a path (no file behind it, so its table starts empty) and
// members: member 5 is a component whose own container is `local`.
class MemberDocument final : public ComObject<IJOccurrenceContainer, quorra::refhost::IRefhostDocument> {
 public:
  explicit MemberDocument(std::wstring path) : path_(std::move(path)) {}
  HRESULT GetMember(DWORD id, REFIID iid, void** out) override {
    *out = nullptr;
    if (id != 5 || !component) return E_INVALIDARG;
    return component->QueryInterface(iid, out);
  }
  const wchar_t* GetPath() override { return path_.c_str(); }
  ComPtr<IUnknown> component;

 private:
  std::wstring path_;
};

class LocalComponent final : public ComObject<IJComponent> {
 public:
  LocalComponent(DWORD flags, MemberDocument* document) : flags_(flags), document_(document) {}
  HRESULT GetOccurrenceContainer(IJOccurrenceContainer** out) override {
    return document_->QueryInterface(IID_IJOccurrenceContainer, reinterpret_cast<void**>(out));
  }
  HRESULT GetComponentFlags(DWORD* flags) override {
    *flags = flags_;
    return S_OK;
  }
  BOOL IsLeaf() override { return FALSE; }
  HRESULT GetName(GUserText*) override { return E_NOTIMPL; }

 private:
  DWORD flags_;
  ComPtr<MemberDocument> document_;
};

JIDSOverrideTree* TableOf(IUnknown* document) {
  ComPtr<IJOverrideTreeHolder> holder;
  EXPECT_EQ(JGetIOT(document, IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put())), S_OK);
  JIDSOverrideTree* iot = nullptr;
  if (holder) {
    EXPECT_EQ(holder->GetOverrideTree(&iot, 0), S_OK);
  }
  return iot;
}

void PutBody(JIDSOverrideTree* iot, std::vector<DWORD> path, double x) {
  JIDSOverride* node = nullptr;
  ASSERT_EQ(iot->AddOverride(static_cast<DWORD>(path.size()), path.data(), IOT_PART, &node), S_OK);
  auto* body = new JOverrideBodyData();
  tagG4x4 matrix;
  matrix(0, 3) = x;
  body->Populate(L"other.asm", {}, matrix);
  ASSERT_EQ(node->SetBodyData(body), S_OK);
}

DisplayRoadmap Path(std::vector<DWORD> ids) {
  DisplayRoadmap rm;
  for (DWORD id : ids) rm.AddLink(id);
  return rm;
}

class BodyDataLookupInTables : public ::testing::Test {
 protected:
  void SetUp() override {
    quorra::refhost::Install();
    top_ = ComPtr<MemberDocument>(new MemberDocument(L"/nonexistent/quorra/top.asm"));
    local_ = ComPtr<MemberDocument>(new MemberDocument(L"/nonexistent/quorra/local.asm"));
    topTable_ = TableOf(Unknown(top_));
    localTable_ = TableOf(Unknown(local_));
    ASSERT_TRUE(topTable_ && localTable_);
  }
  void TearDown() override {
    top_->component = nullptr;
    quorra::refhost::ReleasePersistManager(Unknown(top_));
    quorra::refhost::ReleasePersistManager(Unknown(local_));
    quorra::refhost::Uninstall();
  }
  static IUnknown* Unknown(const ComPtr<MemberDocument>& document) {
    return static_cast<IJOccurrenceContainer*>(document.Get());
  }
  // The matrix x of the body found for `path` in the top document (or
  // `in`); -1 for none.
  double Lookup(std::vector<DWORD> path, HRESULT expected, const ComPtr<MemberDocument>& in = nullptr) {
    DisplayRoadmap rm = Path(std::move(path));
    JOverrideBodyData* found = reinterpret_cast<JOverrideBodyData*>(1);
    EXPECT_EQ(quorra::GetOverrideBodyDataHelper(Unknown(in ? in : top_), &rm, &found), expected);
    return found ? found->GetMatrix()(0, 3) : -1;
  }

  ComPtr<MemberDocument> top_, local_;
  JIDSOverrideTree* topTable_ = nullptr;
  JIDSOverrideTree* localTable_ = nullptr;
};

TEST_F(BodyDataLookupInTables, TableWithoutAssemblyNameGivesNoBody) {
  // The table's name is its document's file name: a document without one.
  ComPtr<MemberDocument> unnamed(new MemberDocument(L""));
  JIDSOverrideTree* table = TableOf(Unknown(unnamed));
  ASSERT_NE(table, nullptr);
  PutBody(table, {1}, 3);
  PutBody(topTable_, {1}, 4);
  EXPECT_EQ(Lookup({1}, S_OK), 4.0);
  EXPECT_EQ(Lookup({1}, E_FAIL, unnamed), -1.0);

  // Nor through a local component whose document has no name.
  PutBody(table, {2, 7}, 8);
  top_->component = ComPtr<IUnknown>(new LocalComponent(COMPONENT_LOCAL_PART, unnamed.Get()));
  EXPECT_EQ(Lookup({5, 2, 7}, E_FAIL), -1.0);
  top_->component = nullptr;
  quorra::refhost::ReleasePersistManager(Unknown(unnamed));
}

TEST_F(BodyDataLookupInTables, LocalComponentAssemblyHoldsTheRestOfThePath) {
  PutBody(localTable_, {2, 7}, 8);
  struct {
    const char* what;
    DWORD flags;
    std::vector<DWORD> path;
    double x;
  } cases[] = {{"local component part", COMPONENT_LOCAL_PART, {5, 2, 7}, 8},
               {"ordinary component", 0, {5, 2, 7}, -1},
               {"one link only", COMPONENT_LOCAL_PART, {5}, -1},
               {"no such path below it", COMPONENT_LOCAL_PART, {5, 2, 8}, -1},
               {"no such member", COMPONENT_LOCAL_PART, {6, 2, 7}, -1}};
  for (auto& c : cases) {
    top_->component = ComPtr<IUnknown>(new LocalComponent(c.flags, local_.Get()));
    EXPECT_EQ(Lookup(c.path, c.x < 0 ? E_FAIL : S_OK), c.x) << c.what;
  }
  // The body names the local component's document, not the top one.
  top_->component = ComPtr<IUnknown>(new LocalComponent(COMPONENT_LOCAL_PART, local_.Get()));
  DisplayRoadmap rm = Path({5, 2, 7});
  JOverrideBodyData* found = nullptr;
  ASSERT_EQ(quorra::GetOverrideBodyDataHelper(Unknown(top_), &rm, &found), S_OK);
  EXPECT_EQ(found->GetAssemblyName(), L"/nonexistent/quorra/local.asm");
}

}  // namespace
