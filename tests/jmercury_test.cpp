// JMercury as a COM object: the class factory entry point, object creation
// with a single caller reference, the module lock count, QueryInterface and
// reference counting, and the interface's methods in their slots, each
// reaching the Mercury member of the same name.
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdint>
#include <cstring>

#include "mercury/jmercury_module.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;

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

TEST(JMercuryClassObject, HostClassRegistryCreatesThroughTheEntryPoint) {
  ASSERT_EQ(quorra::host::RegisterClassFromModule(CLSID_JMercury, DllGetClassObject), S_OK);
  ComPtr<IJMercury> mercury;
  EXPECT_EQ(CoCreateInstance(CLSID_JMercury, nullptr, CLSCTX_INPROC_SERVER, IID_IJMercury,
                             reinterpret_cast<void**>(mercury.Put())),
            S_OK);
  EXPECT_NE(mercury.Get(), nullptr);
  EXPECT_EQ(quorra::host::RegisterClassFactory(CLSID_JMercury, nullptr), S_OK);
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

}  // namespace
