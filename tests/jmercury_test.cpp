// JMercury as a COM object: the class factory entry point, object creation
// with a single caller reference, the module lock count, QueryInterface and
// reference counting, and the interface's methods in their slots, each
// reaching the Mercury member of the same name.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "mercury/jmercury_module.h"
#include "support/assembly_builder.h"
#include "support/storage_support.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;
using quorra::test::At;

constexpr CLSID kOtherClass = {0x4a368a45, 0x0559, 0x4009, {0x9a, 0x75, 0xff, 0x78, 0x9a, 0x30, 0x3d, 0x37}};
constexpr IID kOtherInterface = {0xf1153b00, 0x3746, 0x442c, {0xb9, 0x0e, 0x7f, 0x05, 0xc9, 0xe7, 0x9e, 0x18}};
void* const kUntouched = reinterpret_cast<void*>(uintptr_t{0x5a5a});

// A document stand-in whose reference count the tests watch.
class CountedDocument final : public ComObject<IUnknown> {};

ComPtr<IClassFactory> GetFactory() {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(DllGetClassObject(CLSID_JMercury, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())), S_OK);
  return factory;
}

ComPtr<IJMercury> NewMercury() {
  ComPtr<IJMercury> mercury;
  EXPECT_EQ(GetFactory()->CreateInstance(nullptr, IID_IJMercury, reinterpret_cast<void**>(mercury.Put())), S_OK);
  return mercury;
}

TEST(JMercuryClassObject, EntryPointChecksTheInterfaceThenTheClass) {
  struct Case {
    const char* what;
    const CLSID& clsid;
    const IID& iid;
    HRESULT expected;
    bool outNulled;  // for failures: *out set to null rather than left alone
  } cases[] = {
      {"class factory", CLSID_JMercury, IID_IClassFactory, S_OK, false},
      {"IUnknown", CLSID_JMercury, IID_IUnknown, S_OK, false},
      {"other interface", CLSID_JMercury, IID_IJMercury, E_NOINTERFACE, false},
      {"other interface before other class", kOtherClass, kOtherInterface, E_NOINTERFACE, false},
      {"other class", kOtherClass, IID_IClassFactory, E_FAIL, true},
      {"other class through IUnknown", kOtherClass, IID_IUnknown, E_FAIL, true},
  };
  for (const Case& c : cases) {
    ScopedTraceCapture traces;
    void* out = kUntouched;
    EXPECT_EQ(DllGetClassObject(c.clsid, c.iid, &out), c.expected) << c.what;
    if (SUCCEEDED(c.expected)) {
      ASSERT_NE(out, nullptr) << c.what;
      ASSERT_NE(out, kUntouched) << c.what;
      // One reference, held by the caller.
      auto* factory = static_cast<IClassFactory*>(out);
      EXPECT_EQ(factory->AddRef(), 2u) << c.what;
      EXPECT_EQ(factory->Release(), 1u) << c.what;
      EXPECT_EQ(factory->Release(), 0u) << c.what;
    } else {
      EXPECT_EQ(out, c.outNulled ? nullptr : kUntouched) << c.what;
      EXPECT_TRUE(traces.Saw("DllGetClassObject", c.expected)) << c.what;
    }
  }
  EXPECT_EQ(DllGetClassObject(CLSID_JMercury, IID_IClassFactory, nullptr), E_POINTER);
}

TEST(JMercuryClassObject, CreatesObjectsWithOneCallerReference) {
  ComPtr<IClassFactory> factory = GetFactory();
  IUnknown* unknown = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(unknown->AddRef(), 2u);
  EXPECT_EQ(unknown->Release(), 1u);
  IJMercury* mercury = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_IJMercury, reinterpret_cast<void**>(&mercury)), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(mercury), unknown);
  EXPECT_EQ(mercury->Release(), 1u);
  EXPECT_EQ(unknown->Release(), 0u);

  // A class the object does not implement: nothing handed out.
  void* out = kUntouched;
  EXPECT_EQ(factory->CreateInstance(nullptr, kOtherInterface, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

TEST(JMercuryClassObject, CreationHookRefusesANullOutPointerWithItsTrace) {
  ComPtr<IClassFactory> factory = GetFactory();
  auto* base = static_cast<JClassFactory*>(factory.Get());
  ScopedTraceCapture traces;
  EXPECT_EQ(base->OnCreateInstance(nullptr, nullptr), E_INVALIDARG);
  ASSERT_EQ(traces.Entries().size(), 1u);
  EXPECT_EQ(traces.Entries()[0].operation, "ClassFactory<class JMercury>::OnCreateInstance");
  EXPECT_EQ(traces.Entries()[0].source, "include/uclsfact");
  // The factory was made with the arguments 1, 0, 0.
  EXPECT_EQ(base->GetArgument(1), 1);
  EXPECT_EQ(base->GetArgument(2), 0);
  EXPECT_EQ(base->GetArgument(3), 0);
}

TEST(JMercuryClassObject, LockServerMovesTheModuleLockCountAcrossFactories) {
  DWORD before = quorra::GetModuleLockCount();
  ComPtr<IClassFactory> first = GetFactory();
  ComPtr<IClassFactory> second = GetFactory();
  EXPECT_EQ(quorra::GetModuleLockCount(), before) << "making a factory does not lock the module";
  EXPECT_EQ(first->LockServer(TRUE), S_OK);
  EXPECT_EQ(second->LockServer(TRUE), S_OK);
  EXPECT_EQ(quorra::GetModuleLockCount(), before + 2);
  EXPECT_EQ(first->LockServer(FALSE), S_OK);
  first = nullptr;  // releasing a factory does not unlock either
  EXPECT_EQ(quorra::GetModuleLockCount(), before + 1);
  EXPECT_EQ(second->LockServer(FALSE), S_OK);
  EXPECT_EQ(quorra::GetModuleLockCount(), before);
}

TEST(JMercuryObject, QueryInterfaceAnswersItsTwoIdsOnly) {
  ComPtr<IJMercury> mercury = NewMercury();
  IJMercury* self = mercury.Get();
  for (const IID* iid : {&IID_IUnknown, &IID_IJMercury}) {
    void* out = nullptr;
    ASSERT_EQ(self->QueryInterface(*iid, &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(self));
    EXPECT_EQ(self->Release(), 1u) << "the query added one reference";
  }
  for (const IID* iid : {&IID_IClassFactory, &kOtherInterface}) {
    void* out = kUntouched;
    EXPECT_EQ(self->QueryInterface(*iid, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(self->AddRef(), 2u) << "refused queries added no reference";
  EXPECT_EQ(self->Release(), 1u);
  EXPECT_EQ(self->QueryInterface(IID_IJMercury, nullptr), E_POINTER);
}

TEST(JMercuryObject, LastReleaseLetsGoOfTheContextDocument) {
  ComPtr<CountedDocument> document(new CountedDocument);
  ULONG alone = document->GetRefCount();
  IJMercury* mercury = NewMercury().Detach();
  DisplayRoadmap roadmap;
  roadmap.AddLink(1);
  ASSERT_EQ(mercury->SetContext(document.Get(), &roadmap), S_OK);
  EXPECT_GT(document->GetRefCount(), alone);
  mercury->AddRef();
  EXPECT_EQ(mercury->Release(), 1u);
  EXPECT_GT(document->GetRefCount(), alone) << "the object still holds its context";
  EXPECT_EQ(mercury->Release(), 0u);
  EXPECT_EQ(document->GetRefCount(), alone);
}

// Calls the method in `slot` of the interface's virtual table, as a COM
// client compiled against the slot list would.
template <class... Args>
HRESULT CallSlot(IJMercury* object, int slot, Args... args) {
  using Method = HRESULT (*)(IJMercury*, Args...);
  void** table = *reinterpret_cast<void***>(object);
  return reinterpret_cast<Method>(table[slot])(object, args...);
}

// top: sub (1) holding two bolts (1, 2), and a bolt (2), bound to refhost's
// documents with the top document's live tree known to its persist manager.
class JMercuryOverRefhost : public ::testing::Test {
 protected:
  void SetUp() override {
    quorra::refhost::Install();
    builder_ = std::make_unique<quorra::test::AssemblyBuilder>();
    auto& b = *builder_;
    AssemblySite* top = b.Assembly(L"top");
    AssemblySite* sub = b.Assembly(L"sub");
    PartSite* part = b.Part(L"bolt");
    b.Place(sub, part);
    b.Place(sub, part);
    b.Place(top, sub);
    b.Place(top, part);
    root_ = b.Build(top);
    ASSERT_EQ(quorra::refhost::BindDocuments(b.Tree()), S_OK);
    ASSERT_EQ(top->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document_.Put())), S_OK);
    ASSERT_EQ(quorra::refhost::SetDocumentTree(document_.Get(), b.Tree()), S_OK);
    ComPtr<IJOverrideTreeHolder> holder;
    ASSERT_EQ(JGetIOT(document_.Get(), IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put())), S_OK);
    ASSERT_EQ(holder->GetOverrideTree(&iot_, 0), S_OK);
    mercury_ = NewMercury();
  }
  void TearDown() override {
    mercury_ = nullptr;
    quorra::refhost::SetDocumentTree(document_.Get(), nullptr);
    quorra::refhost::ReleasePersistManager(document_.Get());
    document_ = nullptr;
    builder_.reset();
    quorra::refhost::Uninstall();
  }

  // Points the object at the occurrence of `path` below the top document.
  void Aim(std::vector<DWORD> path) {
    DisplayRoadmap roadmap;
    for (DWORD id : path) roadmap.AddLink(id);
    ASSERT_EQ(mercury_->SetContext(document_.Get(), &roadmap), S_OK);
  }

  JIDSOverride* Node(std::vector<DWORD> path) {
    JIDSOverride* node = nullptr;
    iot_->GetOverride(static_cast<DWORD>(path.size()), path.data(), &node);
    return node;
  }

  std::unique_ptr<quorra::test::AssemblyBuilder> builder_;
  AssemblyOccurrence* root_ = nullptr;
  ComPtr<IUnknown> document_;
  JIDSOverrideTree* iot_ = nullptr;
  ComPtr<IJMercury> mercury_;
};

TEST_F(JMercuryOverRefhost, WriterSlotsChangeTheirOwnBitsOfTheOverrideNode) {
  std::vector<DWORD> path = {2};
  JIDSOverride* node = nullptr;
  ASSERT_EQ(iot_->AddOverride(1, path.data(), IOT_PART, &node), S_OK);
  struct Case {
    int slot;
    const char* what;
    int value;
    DWORD props;    // the bits of the node's props word that change
    DWORD propsEx;  // and of its propsEx word
  } cases[] = {
      {43, "SetHidden", 1, 0x2, 0},
      {44, "SetActive", 1, 0x4, 0},
      {45, "SetSimplified", 1, 0x8, 0},
      {46, "SetCoordSysDisplay", 1, 0x10, 0},
      {47, "SetSketchesDisplay", 1, 0x20, 0},
      {48, "SetConstructionsDisplay", 1, 0xC0, 0},
      {49, "SetRefPlanesDisplay", 1, 0x100, 0},
      {50, "SetRefAxesDisplay", 1, 0x200, 0},
      {51, "SetAsLastSavedDisplay", 1, 0x10000, 0},
      {82, "SetDecalsDisplay", 0, 0, 0x80000},
      {84, "SetPointCloudsDisplay", 0, 0, 0x200000},
      {89, "SetSurfacesDisplay", 1, 0x40, 0},
      {90, "SetCurvesDisplay", 1, 0x80, 0},
      {95, "SetLiveSectionsDisplay", 1, 0, 0x1},
      {97, "SetDesignBodiesDisplay", 0, 0, 0x2},
      {101, "SetCenterLineDisplay", 1, 0, 0x20},
  };
  for (const Case& c : cases) {
    Aim(path);
    const DWORD props = node->GetProps();
    const DWORD propsEx = node->GetPropsEx();
    EXPECT_EQ(CallSlot(mercury_.Get(), c.slot, c.value), S_OK) << c.what;
    EXPECT_EQ(Node(path), node) << c.what;
    EXPECT_EQ(node->GetProps() ^ props, c.props) << c.what;
    EXPECT_EQ(node->GetPropsEx() ^ propsEx, c.propsEx) << c.what;
    node->SetProps(props);
    node->SetPropsEx(propsEx);
  }

  Aim(path);
  EXPECT_EQ(CallSlot(mercury_.Get(), 71, DWORD{77}), S_OK) << "SetStyle";
  EXPECT_EQ(node->GetStyle(), 77u);
}

TEST_F(JMercuryOverRefhost, ReaderSlotsAnswerTheirOwnFlagOfTheOccurrence) {
  OccurrenceNode* occurrence = At(root_, {2});
  const struct {
    int slot;
    const char* what;
    void (OccurrenceNode::*set)(bool);
    bool (OccurrenceNode::*get)() const;
  } readers[] = {
      {22, "GetCoordSysDisplay", &OccurrenceNode::SetCoordSysDisplay, &OccurrenceNode::GetCoordSysDisplay},
      {23, "GetSketchesDisplay", &OccurrenceNode::SetSketchesDisplay, &OccurrenceNode::GetSketchesDisplay},
      {24, "GetConstructionsDisplay", &OccurrenceNode::SetConstructionsDisplay,
       &OccurrenceNode::GetConstructionsDisplay},
      {25, "GetRefPlanesDisplay", &OccurrenceNode::SetRefPlanesDisplay, &OccurrenceNode::GetRefPlanesDisplay},
      {26, "GetRefAxesDisplay", &OccurrenceNode::SetRefAxesDisplay, &OccurrenceNode::GetRefAxesDisplay},
      {27, "GetAsLastSavedDisplay", &OccurrenceNode::SetAsLastSavedDisplay, &OccurrenceNode::GetAsLastSavedDisplay},
      {87, "GetSurfacesDisplay", &OccurrenceNode::SetSurfacesDisplay, &OccurrenceNode::GetSurfacesDisplay},
      {88, "GetCurvesDisplay", &OccurrenceNode::SetCurvesDisplay, &OccurrenceNode::GetCurvesDisplay},
  };
  Aim({2});
  // One flag on at a time: every reader slot answers its own flag only.
  for (const auto& on : readers) {
    for (const auto& r : readers) (occurrence->*r.set)(false);
    (occurrence->*on.set)(true);
    for (const auto& r : readers) {
      int value = -1;
      EXPECT_EQ(CallSlot(mercury_.Get(), r.slot, &value), S_OK) << r.what << " with " << on.what << " on";
      EXPECT_EQ(value, (occurrence->*r.get)() ? 1 : 0) << r.what << " with " << on.what << " on";
      if (r.slot == on.slot) {
        EXPECT_EQ(value, 1) << on.what;
      }
    }
  }
}

TEST_F(JMercuryOverRefhost, Slot8AnswersThroughItsOutArgumentAndAlwaysSucceeds) {
  BOOL overridden = 7;
  EXPECT_EQ(CallSlot(mercury_.Get(), 8, &overridden), S_OK) << "no context";
  EXPECT_EQ(overridden, 0);

  DisplayRoadmap nowhere;
  nowhere.AddLink(99);
  ASSERT_EQ(mercury_->SetContext(document_.Get(), &nowhere), S_OK);
  overridden = 7;
  EXPECT_EQ(CallSlot(mercury_.Get(), 8, &overridden), S_OK) << "a roadmap that does not resolve";
  EXPECT_EQ(overridden, 0);

  tagG4x4 moved;
  moved(0, 3) = 5;
  tagGTransf transform(moved);
  ASSERT_EQ(At(root_, {2})->SetOverrideMatrix(&transform), S_OK);
  Aim({2});
  EXPECT_EQ(CallSlot(mercury_.Get(), 8, &overridden), S_OK);
  EXPECT_EQ(overridden, 1);

  EXPECT_EQ(CallSlot(mercury_.Get(), 8, static_cast<BOOL*>(nullptr)), E_INVALIDARG);
}

TEST_F(JMercuryOverRefhost, FailuresComeBackUnchangedThroughTheSlots) {
  Aim({1});  // an assembly
  EXPECT_EQ(CallSlot(mercury_.Get(), 44, 1), E_UNEXPECTED) << "SetActive on an assembly";
  EXPECT_EQ(Node({1}), nullptr) << "SetActive refused before the table was touched";
  EXPECT_EQ(CallSlot(mercury_.Get(), 53), E_NOTIMPL) << "RemoveAdaptable";
  EXPECT_EQ(CallSlot(mercury_.Get(), 93), E_NOTIMPL) << "RemoveAdjustablePart";
  DWORD status = 0;
  EXPECT_EQ(CallSlot(mercury_.Get(), 15, &status), E_FAIL) << "GetOverrideSolverStatus, not overridden";
  EXPECT_EQ(CallSlot(mercury_.Get(), 18, static_cast<int*>(nullptr)), E_INVALIDARG) << "GetHidden";
  OccurrenceNode* occurrence = nullptr;
  EXPECT_EQ(CallSlot(mercury_.Get(), 34, &occurrence), S_OK) << "GetOccurrenceNode";
  EXPECT_EQ(occurrence, At(root_, {1}));
}

// The host's typical request, end to end over documents on disk: hide one
// occurrence through a JMercury made by the class factory, see it and its
// subtree hidden in the live tree, save, reopen and see it hidden again.
class TypicalRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    quorra::refhost::Install();
    using quorra::refhost::AssemblyDocument;
    using quorra::test::Widen;
    AssemblyDocument top, sub;
    sub.AddPlacement(L"bolt.par", tagG4x4());
    sub.AddPlacement(L"bolt.par", tagG4x4());
    top.AddPlacement(L"sub.asm", tagG4x4());
    top.AddPlacement(L"bolt.par", tagG4x4());
    ASSERT_EQ(quorra::refhost::WritePartDocument(Widen(dir_.File("bolt.par")).c_str(), {}), S_OK);
    ASSERT_EQ(quorra::refhost::WriteAssemblyDocument(Widen(dir_.File("sub.asm")).c_str(), sub), S_OK);
    ASSERT_EQ(quorra::refhost::WriteAssemblyDocument(Widen(dir_.File("top.asm")).c_str(), top), S_OK);
  }
  void TearDown() override {
    Close();
    quorra::refhost::Uninstall();
  }

  // Loads top.asm and makes its document the one whose live tree it is, as
  // the host's assembly module does when it opens a document.
  void Open() {
    ASSERT_EQ(AsmTreeCreateAndLoad(quorra::test::Widen(dir_.File("top.asm")).c_str(), &tree_, nullptr), S_OK);
    ASSERT_EQ(quorra::refhost::BindDocuments(tree_), S_OK);
    root_ = tree_->GetRootAssembly();
    ASSERT_NE(root_, nullptr);
    ASSERT_EQ(root_->GetSite()->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document_.Put())), S_OK);
    ASSERT_EQ(quorra::refhost::SetDocumentTree(document_.Get(), tree_), S_OK);
  }
  void Close() {
    if (document_) {
      quorra::refhost::SetDocumentTree(document_.Get(), nullptr);
      quorra::refhost::ReleasePersistManager(document_.Get());
      document_ = nullptr;
    }
    if (tree_) AsmTreeDelete(tree_);
    tree_ = nullptr;
  }

  quorra::test::TempDir dir_;
  AsmTree* tree_ = nullptr;
  AssemblyOccurrence* root_ = nullptr;
  ComPtr<IUnknown> document_;
};

TEST_F(TypicalRequest, HidingThroughJMercuryReachesTheTreeAndSurvivesASave) {
  Open();
  DisplayRoadmap roadmap;
  roadmap.AddLink(1);  // sub.asm below top.asm
  ComPtr<IJMercury> mercury = NewMercury();
  ASSERT_EQ(mercury->SetContext(document_.Get(), &roadmap), S_OK);
  ASSERT_EQ(mercury->SetHidden(TRUE), S_OK);

  OccurrenceNode* sub = At(root_, {1});
  EXPECT_TRUE(sub->IsHidden());
  for (std::vector<DWORD> below : {std::vector<DWORD>{1, 1}, std::vector<DWORD>{1, 2}}) {
    EXPECT_TRUE(At(root_, below)->IsHiddenByParent()) << below[1];
    EXPECT_FALSE(At(root_, below)->IsHidden()) << below[1];
  }
  EXPECT_FALSE(At(root_, {2})->IsHidden() || At(root_, {2})->IsHiddenByParent()) << "the sibling stays shown";
  int hidden = 0;
  EXPECT_EQ(mercury->GetHidden(&hidden), S_OK);
  EXPECT_EQ(hidden, 1);
  sub->Show(TRUE);  // the reader answers from the live occurrence, not the table
  EXPECT_EQ(mercury->GetHidden(&hidden), S_OK);
  EXPECT_EQ(hidden, 0);

  ASSERT_EQ(quorra::refhost::SaveDocumentOverrides(document_.Get()), S_OK);
  mercury = nullptr;
  Close();

  JIDSOverrideTree stored;
  ASSERT_EQ(quorra::refhost::LoadDocumentOverrideTable(quorra::test::Widen(dir_.File("top.asm")).c_str(), &stored),
            S_OK);
  JIDSOverride* node = nullptr;
  DWORD path[] = {1};
  ASSERT_EQ(stored.GetOverride(1, path, &node), S_OK);
  EXPECT_TRUE(node->GetProps() & 0x2) << "the override node carries the hidden bit";

  Open();
  EXPECT_FALSE(At(root_, {1})->IsHidden()) << "a fresh load shows the documents as placed";
  mercury = NewMercury();
  ASSERT_EQ(mercury->SetContext(document_.Get(), &roadmap), S_OK);
  ASSERT_EQ(mercury->ApplyOverrides(
                document_.Get(), MERCURY_OVERRIDES_DOCUMENT_TREE | MERCURY_OVERRIDES_WALK | MERCURY_OVERRIDES_DISPLAY),
            S_OK);
  EXPECT_EQ(mercury->GetHidden(&hidden), S_OK);
  EXPECT_EQ(hidden, 1);
  EXPECT_TRUE(At(root_, {1, 2})->IsHiddenByParent());
  mercury = nullptr;
}

}  // namespace
