#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdint>
#include <cstring>
#include <thread>

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::host::ScopedTraceCapture;

namespace {

constexpr IID kIidWidget = {0x1ad128ad, 0xadff, 0x4c7a, {0xa5, 0x24, 0x3a, 0x75, 0x9c, 0xc9, 0x3b, 0xd1}};
constexpr IID kIidFancyWidget = {0x1ad128ad, 0xadff, 0x4c7a, {0xa5, 0x24, 0x3a, 0x75, 0x9c, 0xc9, 0x3b, 0xd2}};
constexpr IID kIidGadget = {0x1ad128ad, 0xadff, 0x4c7a, {0xa5, 0x24, 0x3a, 0x75, 0x9c, 0xc9, 0x3b, 0xd3}};
constexpr CLSID kClsidWidget = {0x1ad128ad, 0xadff, 0x4c7a, {0xa5, 0x24, 0x3a, 0x75, 0x9c, 0xc9, 0x3b, 0xe1}};
constexpr CLSID kClsidNobody = {0x1ad128ad, 0xadff, 0x4c7a, {0xa5, 0x24, 0x3a, 0x75, 0x9c, 0xc9, 0x3b, 0xe2}};

struct IWidget : IUnknown {
  virtual int Value() = 0;
};
struct IFancyWidget : IWidget {};
struct IGadget : IUnknown {};

}  // namespace

QUORRA_INTERFACE_ID(IWidget, kIidWidget);
QUORRA_INTERFACE_ID_DERIVED(IFancyWidget, kIidFancyWidget, IWidget);
QUORRA_INTERFACE_ID(IGadget, kIidGadget);

namespace {

class Widget : public ComObject<IFancyWidget, IGadget> {
 public:
  static inline int live = 0;
  Widget() { ++live; }
  ~Widget() override { --live; }
  int Value() override { return 7; }
};

int gLocks = 0;

class WidgetFactory : public JClassFactory {
 public:
  static inline int live = 0;
  int creations = 0;
  HRESULT failWith = S_OK;
  WidgetFactory() : JClassFactory([] { ++gLocks; }, [] { --gLocks; }, 1, 0, 0) { ++live; }
  ~WidgetFactory() override { --live; }
  HRESULT OnCreateInstance(IUnknown* outer, void** out) override {
    EXPECT_EQ(outer, nullptr);
    ++creations;
    if (FAILED(failWith)) return failWith;
    auto* widget = new Widget;
    widget->AddRef();
    *out = widget->GetIdentityUnknown();
    return S_OK;
  }
};

struct ScopedRegistration {
  ScopedRegistration(REFCLSID clsid, IClassFactory* factory) : clsid(clsid) {
    EXPECT_EQ(quorra::host::RegisterClassFactory(clsid, factory), S_OK);
  }
  ~ScopedRegistration() { quorra::host::RegisterClassFactory(clsid, nullptr); }
  CLSID clsid;
};

// An object that is not a ComObject.
struct Foreign : IUnknown {
  HRESULT QueryInterface(REFIID, void** out) override {
    *out = this;
    return S_OK;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
};

void* const kGarbage = reinterpret_cast<void*>(uintptr_t{0x1234});

TEST(CoInitialize, CountsPerThreadAndRefusesAChangedModel) {
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
  std::thread([] { EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }).join();
  CoUninitialize();
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);  // one still open
  CoUninitialize();
  CoUninitialize();  // one too many: ignored
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();
  int reserved = 0;
  EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
}

TEST(ComObject, AnswersItsInterfacesTheirBasesAndOneIdentity) {
  ComPtr<Widget> widget(new Widget);
  IWidget* plain = nullptr;  // the declared base of a listed interface
  ASSERT_EQ(widget->QueryInterface(kIidWidget, reinterpret_cast<void**>(&plain)), S_OK);
  EXPECT_EQ(plain->Value(), 7);
  IGadget* gadget = nullptr;
  ASSERT_EQ(widget->QueryInterface(kIidGadget, reinterpret_cast<void**>(&gadget)), S_OK);
  IUnknown* identity = nullptr;
  gadget->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
  EXPECT_EQ(identity, widget->GetIdentityUnknown());
  EXPECT_EQ(widget->GetRefCount(), 4u);
  for (IUnknown* p : {static_cast<IUnknown*>(plain), static_cast<IUnknown*>(gadget), identity}) p->Release();
  void* none = kGarbage;
  EXPECT_EQ(widget->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  widget.Reset();
  EXPECT_EQ(Widget::live, 0);
}

TEST(JIsValidInterface, TellsLiveFromDestroyedObjects) {
  auto* widget = new Widget;
  widget->AddRef();
  IUnknown* fancy = static_cast<IFancyWidget*>(widget);
  IUnknown* gadget = static_cast<IGadget*>(widget);
  EXPECT_TRUE(JIsValidInterface(fancy));
  EXPECT_TRUE(JIsValidInterface(gadget));
  widget->Release();
  EXPECT_FALSE(JIsValidInterface(fancy));
  EXPECT_FALSE(JIsValidInterface(gadget));
  EXPECT_FALSE(JIsValidInterface(nullptr));
  Foreign foreign;  // cannot be inspected: non-null counts as valid
  EXPECT_TRUE(JIsValidInterface(&foreign));
}

TEST(ClassRegistry, CreatesThroughTheRegisteredFactoryAndHoldsAReference) {
  ComPtr<WidgetFactory> factory(new WidgetFactory);
  {
    ScopedRegistration registration(kClsidWidget, factory.Get());
    EXPECT_EQ(factory->GetRefCount(), 2u);
    void* out = nullptr;
    ASSERT_EQ(CoCreateInstance(kClsidWidget, nullptr, CLSCTX_INPROC_SERVER, kIidGadget, &out), S_OK);
    static_cast<IGadget*>(out)->Release();
    ASSERT_EQ(JCoCreateInstance(kClsidWidget, nullptr, CLSCTX_INPROC_SERVER, kIidWidget, &out, 1), S_OK);
    EXPECT_EQ(static_cast<IWidget*>(out)->Value(), 7);
    static_cast<IWidget*>(out)->Release();
    EXPECT_EQ(factory->creations, 2);
    EXPECT_EQ(Widget::live, 0);  // the caller held the only reference
    ASSERT_EQ(CoGetClassObject(kClsidWidget, CLSCTX_ALL, nullptr, IID_IClassFactory, &out), S_OK);
    EXPECT_EQ(out, static_cast<IClassFactory*>(factory.Get()));
    static_cast<IClassFactory*>(out)->Release();
  }
  EXPECT_EQ(factory->GetRefCount(), 1u);  // unregistering released it
  EXPECT_EQ(quorra::host::RegisterClassFactory(kClsidWidget, nullptr), S_FALSE);
}

TEST(ClassRegistry, FailuresLeaveTheOutPointerNullAndAreTraced) {
  ScopedTraceCapture traces;
  ComPtr<WidgetFactory> factory(new WidgetFactory);
  ScopedRegistration registration(kClsidWidget, factory.Get());
  Foreign outer;
  struct Case {
    const char* name;
    CLSID clsid;
    IUnknown* outer;
    IID iid;
    HRESULT expected;
  };
  const Case cases[] = {
      {"unknown class", kClsidNobody, nullptr, IID_IUnknown, REGDB_E_CLASSNOTREG},
      {"aggregation", kClsidWidget, &outer, IID_IUnknown, CLASS_E_NOAGGREGATION},
      {"interface the object lacks", kClsidWidget, nullptr, IID_IClassFactory, E_NOINTERFACE},
  };
  for (const Case& c : cases) {
    void* out = kGarbage;
    EXPECT_EQ(CoCreateInstance(c.clsid, c.outer, CLSCTX_ALL, c.iid, &out), c.expected) << c.name;
    EXPECT_EQ(out, nullptr) << c.name;
    out = kGarbage;
    EXPECT_EQ(JCoCreateInstance(c.clsid, c.outer, CLSCTX_ALL, c.iid, &out, 0), c.expected) << c.name;
    EXPECT_EQ(out, nullptr) << c.name;
  }
  EXPECT_EQ(factory->creations, 2);  // aggregation is refused before the hook
  EXPECT_EQ(Widget::live, 0);        // the object without the interface is not leaked
  EXPECT_EQ(CoCreateInstance(kClsidWidget, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);
  void* out = kGarbage;
  EXPECT_EQ(CoGetClassObject(kClsidNobody, CLSCTX_ALL, nullptr, IID_IClassFactory, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  factory->failWith = E_OUTOFMEMORY;  // the hook's failure comes back unchanged
  EXPECT_EQ(CoCreateInstance(kClsidWidget, nullptr, CLSCTX_ALL, IID_IUnknown, &out), E_OUTOFMEMORY);
  EXPECT_TRUE(traces.Saw("CoCreateInstance", REGDB_E_CLASSNOTREG));
  EXPECT_TRUE(traces.Saw("JCoCreateInstance", CLASS_E_NOAGGREGATION));
  EXPECT_TRUE(traces.Saw("CoCreateInstance", E_POINTER));
}

TEST(ClassRegistry, RegistersAModulesClassObject) {
  LPFNGETCLASSOBJECT entry = [](REFCLSID clsid, REFIID iid, void** out) -> HRESULT {
    if (clsid != kClsidWidget) return E_FAIL;
    ComPtr<WidgetFactory> factory(new WidgetFactory);
    return factory->QueryInterface(iid, out);
  };
  EXPECT_EQ(quorra::host::RegisterClassFromModule(kClsidNobody, entry), E_FAIL);
  ASSERT_EQ(quorra::host::RegisterClassFromModule(kClsidWidget, entry), S_OK);
  ASSERT_EQ(quorra::host::RegisterClassFromModule(kClsidWidget, entry), S_OK);  // replaces the first
  EXPECT_EQ(WidgetFactory::live, 1);
  void* out = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidWidget, nullptr, CLSCTX_ALL, IID_IUnknown, &out), S_OK);
  static_cast<IUnknown*>(out)->Release();
  EXPECT_EQ(quorra::host::RegisterClassFactory(kClsidWidget, nullptr), S_OK);
  EXPECT_EQ(WidgetFactory::live, 0);
}

TEST(JClassFactory, LockServerCallsTheCallbacksAndEachRequestReachesTheHook) {
  int before = gLocks;
  auto* factory = new WidgetFactory;
  factory->AddRef();
  factory->LockServer(TRUE);
  factory->LockServer(TRUE);
  EXPECT_EQ(gLocks, before + 2);
  factory->LockServer(FALSE);
  EXPECT_EQ(gLocks, before + 1);
  factory->LockServer(FALSE);
  for (int i = 0; i < 3; ++i) {
    void* out = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, kIidFancyWidget, &out), S_OK);
    static_cast<IFancyWidget*>(out)->Release();
  }
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(factory->creations, 3);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(WidgetFactory::live, 0);
}

TEST(JPlex, ChainsBlocksNewestFirstAndFreesThemAll) {
  JPlex* head = nullptr;
  JPlex* first = JPlex::Create(head, 4, sizeof(double));
  JPlex* second = JPlex::Create(head, 100, 3);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(head, second);
  EXPECT_EQ(second->pNext, first);
  // Element areas are aligned, writable in full and apart.
  auto* numbers = static_cast<double*>(first->data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(numbers) % alignof(std::max_align_t), 0u);
  numbers[3] = 3;
  std::memset(second->data(), 0xAB, 300);
  EXPECT_EQ(numbers[3], 3);
  EXPECT_EQ(JPlex::Create(head, 0, 8), nullptr);
  EXPECT_EQ(JPlex::Create(head, 8, 0), nullptr);
  EXPECT_EQ(head, second);
  head->FreeDataChain();  // the sanitizer build checks that both blocks go
}

}  // namespace
