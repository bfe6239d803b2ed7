#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
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

 protected:
  ~IWidget() = default;
};
struct IFancyWidget : IWidget {
  virtual int Fancy() = 0;

 protected:
  ~IFancyWidget() = default;
};
struct IGadget : IUnknown {
  virtual int Gadget() = 0;

 protected:
  ~IGadget() = default;
};

}  // namespace

QUORRA_INTERFACE_ID(IWidget, kIidWidget);
QUORRA_INTERFACE_ID_DERIVED(IFancyWidget, kIidFancyWidget, IWidget);
QUORRA_INTERFACE_ID(IGadget, kIidGadget);

namespace {

// Counts live instances so that tests can see destruction.
class Widget : public ComObject<IFancyWidget, IGadget> {
 public:
  static int live;
  Widget() { ++live; }
  ~Widget() override { --live; }
  int Value() override { return 7; }
  int Fancy() override { return 8; }
  int Gadget() override { return 9; }
};
int Widget::live = 0;

int gLocks = 0;
void Lock() { ++gLocks; }
void Unlock() { --gLocks; }

class WidgetFactory : public JClassFactory {
 public:
  static int live;
  int creations = 0;
  HRESULT failWith = S_OK;
  WidgetFactory() : JClassFactory(&Lock, &Unlock, 1, 0, 0) { ++live; }
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
int WidgetFactory::live = 0;

// Registers a factory for the test's duration.
struct ScopedRegistration {
  ScopedRegistration(REFCLSID clsid, IClassFactory* factory) : clsid(clsid) {
    EXPECT_EQ(quorra::host::RegisterClassFactory(clsid, factory), S_OK);
  }
  ~ScopedRegistration() { quorra::host::RegisterClassFactory(clsid, nullptr); }
  CLSID clsid;
};

// An object that is not a ComObject.
struct ForeignObject : IUnknown {
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

void* const kGarbage = reinterpret_cast<void*>(uintptr_t{0x1234});

TEST(TaskMemory, AllocatesEvenZeroBytesAndFrees) {
  void* p = CoTaskMemAlloc(0);
  EXPECT_NE(p, nullptr);
  CoTaskMemFree(p);
  auto* text = static_cast<wchar_t*>(CoTaskMemAlloc(6 * sizeof(wchar_t)));
  ASSERT_NE(text, nullptr);
  wcscpy(text, L"hello");
  CoTaskMemFree(text);
  CoTaskMemFree(nullptr);
}

TEST(CoInitialize, CountsPerThreadAndRefusesAChangedModel) {
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
  std::thread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);  // a fresh thread starts at 0
    CoUninitialize();
  }).join();
  CoUninitialize();
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);  // one still open
  CoUninitialize();
  CoUninitialize();  // one too many: ignored
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();

  ScopedTraceCapture traces;
  int reserved = 0;
  EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("CoInitializeEx", E_INVALIDARG));
}

TEST(ComObject, AnswersItsInterfacesTheirBasesAndOneIdentity) {
  ComPtr<Widget> widget(new Widget);
  EXPECT_EQ(widget->GetRefCount(), 1u);

  IWidget* plain = nullptr;
  ASSERT_EQ(widget->QueryInterface(kIidWidget, reinterpret_cast<void**>(&plain)), S_OK);  // declared base
  EXPECT_EQ(plain->Value(), 7);
  IGadget* gadget = nullptr;
  ASSERT_EQ(widget->QueryInterface(kIidGadget, reinterpret_cast<void**>(&gadget)), S_OK);
  EXPECT_EQ(gadget->Gadget(), 9);
  EXPECT_EQ(widget->GetRefCount(), 3u);

  // Every interface leads back to the same IUnknown.
  IUnknown* fromPlain = nullptr;
  IUnknown* fromGadget = nullptr;
  plain->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromPlain));
  gadget->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromGadget));
  EXPECT_EQ(fromPlain, fromGadget);
  EXPECT_EQ(fromPlain, widget->GetIdentityUnknown());

  void* none = kGarbage;
  EXPECT_EQ(widget->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(widget->QueryInterface(kIidGadget, nullptr), E_POINTER);

  for (IUnknown* p : {static_cast<IUnknown*>(plain), static_cast<IUnknown*>(gadget), fromPlain, fromGadget}) {
    p->Release();
  }
  EXPECT_EQ(widget->GetRefCount(), 1u);
  widget.Reset();
  EXPECT_EQ(Widget::live, 0);
}

TEST(JIsValidInterface, TellsLiveFromDestroyedObjects) {
  auto* widget = new Widget;
  widget->AddRef();
  IGadget* gadget = widget;
  IUnknown* fancy = static_cast<IFancyWidget*>(widget);
  EXPECT_TRUE(JIsValidInterface(fancy));
  EXPECT_TRUE(JIsValidInterface(gadget));
  widget->Release();
  EXPECT_FALSE(JIsValidInterface(fancy));
  EXPECT_FALSE(JIsValidInterface(gadget));
  EXPECT_FALSE(JIsValidInterface(nullptr));

  ForeignObject foreign;  // cannot be inspected: non-null counts as valid
  EXPECT_TRUE(JIsValidInterface(&foreign));
}

TEST(ClassRegistry, CreatesThroughTheRegisteredFactory) {
  ComPtr<WidgetFactory> factory(new WidgetFactory);
  {
    ScopedRegistration registration(kClsidWidget, factory.Get());
    EXPECT_EQ(factory->GetRefCount(), 2u);  // the registry holds one

    IGadget* gadget = nullptr;
    ASSERT_EQ(
        CoCreateInstance(kClsidWidget, nullptr, CLSCTX_INPROC_SERVER, kIidGadget, reinterpret_cast<void**>(&gadget)),
        S_OK);
    EXPECT_EQ(gadget->Gadget(), 9);
    EXPECT_EQ(factory->creations, 1);
    IWidget* widget = nullptr;
    ASSERT_EQ(JCoCreateInstance(kClsidWidget, nullptr, CLSCTX_INPROC_SERVER, kIidWidget,
                                reinterpret_cast<void**>(&widget), 1),
              S_OK);
    EXPECT_EQ(Widget::live, 2);
    gadget->Release();
    widget->Release();
    EXPECT_EQ(Widget::live, 0);  // the caller held the only reference

    IClassFactory* classObject = nullptr;
    ASSERT_EQ(
        CoGetClassObject(kClsidWidget, CLSCTX_ALL, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&classObject)),
        S_OK);
    EXPECT_EQ(classObject, static_cast<IClassFactory*>(factory.Get()));
    classObject->Release();
  }
  EXPECT_EQ(factory->GetRefCount(), 1u);  // unregistering released it
  EXPECT_EQ(quorra::host::RegisterClassFactory(kClsidWidget, nullptr), S_FALSE);
}

TEST(ClassRegistry, FailuresLeaveTheOutPointerNull) {
  ScopedTraceCapture traces;
  void* out = kGarbage;
  EXPECT_EQ(CoCreateInstance(kClsidNobody, nullptr, CLSCTX_ALL, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  out = kGarbage;
  EXPECT_EQ(JCoCreateInstance(kClsidNobody, nullptr, CLSCTX_ALL, IID_IUnknown, &out, 0), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  out = kGarbage;
  EXPECT_EQ(CoGetClassObject(kClsidNobody, CLSCTX_ALL, nullptr, IID_IClassFactory, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CoCreateInstance(kClsidNobody, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_TRUE(traces.Saw("CoCreateInstance", REGDB_E_CLASSNOTREG));
  EXPECT_TRUE(traces.Saw("JCoCreateInstance", REGDB_E_CLASSNOTREG));
  EXPECT_TRUE(traces.Saw("CoCreateInstance", E_POINTER));

  ComPtr<WidgetFactory> factory(new WidgetFactory);
  ScopedRegistration registration(kClsidWidget, factory.Get());
  ForeignObject outer;
  out = kGarbage;
  EXPECT_EQ(CoCreateInstance(kClsidWidget, &outer, CLSCTX_ALL, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->creations, 0);  // refused before the hook
  // An interface the new object lacks: the object is not leaked.
  out = kGarbage;
  EXPECT_EQ(CoCreateInstance(kClsidWidget, nullptr, CLSCTX_ALL, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(Widget::live, 0);
  // The hook's failure comes back unchanged.
  factory->failWith = E_OUTOFMEMORY;
  EXPECT_EQ(CoCreateInstance(kClsidWidget, nullptr, CLSCTX_ALL, IID_IUnknown, &out), E_OUTOFMEMORY);
  EXPECT_EQ(out, nullptr);
}

TEST(ClassRegistry, RegistersAModulesClassObject) {
  static WidgetFactory* handedOut = nullptr;
  LPFNGETCLASSOBJECT entry = [](REFCLSID clsid, REFIID iid, void** out) -> HRESULT {
    if (clsid != kClsidWidget) return E_FAIL;
    auto* factory = new WidgetFactory;
    handedOut = factory;
    factory->AddRef();
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
  };
  EXPECT_EQ(quorra::host::RegisterClassFromModule(kClsidNobody, entry), E_FAIL);
  ASSERT_EQ(quorra::host::RegisterClassFromModule(kClsidWidget, entry), S_OK);
  ASSERT_NE(handedOut, nullptr);
  EXPECT_EQ(handedOut->GetRefCount(), 1u);  // only the registry holds it
  void* out = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidWidget, nullptr, CLSCTX_ALL, IID_IUnknown, &out), S_OK);
  static_cast<IUnknown*>(out)->Release();
  EXPECT_EQ(quorra::host::RegisterClassFactory(kClsidWidget, nullptr), S_OK);
  EXPECT_EQ(WidgetFactory::live, 0);  // replaced factories are released
}

TEST(JClassFactory, LockServerCallsTheCallbacksAndTheFactoryDeletesItself) {
  int before = gLocks;
  auto* factory = new WidgetFactory;
  factory->AddRef();
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(gLocks, before + 2);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(gLocks, before + 1);
  factory->LockServer(FALSE);
  EXPECT_EQ(factory->GetArgument(1), 1);
  EXPECT_EQ(factory->GetArgument(2), 0);
  EXPECT_EQ(factory->GetArgument(4), 0);

  // Each request reaches the hook once.
  for (int i = 0; i < 3; ++i) {
    void* out = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, kIidFancyWidget, &out), S_OK);
    EXPECT_EQ(static_cast<IFancyWidget*>(out)->Fancy(), 8);
    static_cast<IFancyWidget*>(out)->Release();
  }
  EXPECT_EQ(factory->creations, 3);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(factory->creations, 3);

  IUnknown* unknown = nullptr;
  ASSERT_EQ(factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  unknown->Release();
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(WidgetFactory::live, 0);
}

TEST(JPlex, ChainsBlocksNewestFirstAndFreesThemAll) {
  JPlex* head = nullptr;
  JPlex* first = JPlex::Create(head, 4, sizeof(double));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(head, first);
  EXPECT_EQ(first->pNext, nullptr);
  JPlex* second = JPlex::Create(head, 100, 3);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(head, second);
  EXPECT_EQ(second->pNext, first);

  // The element areas are aligned, writable in full and do not overlap.
  auto* numbers = static_cast<double*>(first->data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(numbers) % alignof(std::max_align_t), 0u);
  for (int i = 0; i < 4; ++i) numbers[i] = i;
  std::memset(second->data(), 0xAB, 300);
  EXPECT_EQ(numbers[3], 3);

  ScopedTraceCapture traces;
  EXPECT_EQ(JPlex::Create(head, 0, 8), nullptr);
  EXPECT_EQ(JPlex::Create(head, 8, 0), nullptr);
  EXPECT_EQ(head, second);
  EXPECT_TRUE(traces.Saw("JPlex::Create", E_INVALIDARG));

  head->FreeDataChain();  // the sanitizer build checks that both blocks go
}

TEST(JProgress, IsReachableAsAComInterface) {
  struct Sink : ComObject<JProgress> {
    std::wstring last;
    HRESULT SetRange(DWORD) override { return S_OK; }
    HRESULT Step(DWORD) override { return S_OK; }
    HRESULT ReportProgress(const wchar_t* text) override {
      last = text;
      return last == L"stop" ? E_ABORT : JPROGRESS_CONTINUE;
    }
  };
  EXPECT_EQ(JPROGRESS_CONTINUE, 0x40231);
  ComPtr<Sink> sink(new Sink);
  JProgress* progress = nullptr;
  ASSERT_EQ(sink->QueryInterface(IID_JProgress, reinterpret_cast<void**>(&progress)), S_OK);
  EXPECT_EQ(progress->ReportProgress(L"a.asm"), JPROGRESS_CONTINUE);
  EXPECT_EQ(progress->ReportProgress(L"stop"), E_ABORT);
  progress->Release();
}

}  // namespace
