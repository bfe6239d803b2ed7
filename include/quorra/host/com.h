// COM host services: per-thread COM initialisation, the process-wide class
// registry behind CoCreateInstance, live-interface checks, a base for writing
// COM objects briefly, the host's class-factory base, its chained block
// allocator and its progress interface. Task memory (CoTaskMemAlloc,
// CoTaskMemFree) is declared with the storage interfaces and implemented here.
#pragma once

#include <atomic>
#include <cstddef>
#include <tuple>

#include "quorra/host/types.h"

// CoInitializeEx concurrency models and options.
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
constexpr DWORD COINIT_SPEED_OVER_MEMORY = 0x8;

// Class contexts. Every registered class is in-process here; the context is
// accepted and not checked.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// The thread was initialised before with the other concurrency model.
constexpr HRESULT RPC_E_CHANGED_MODE = MakeHResult(0x80010106u);
// The object an identity refers to has been destroyed.
constexpr HRESULT CO_E_OBJNOTCONNECTED = MakeHResult(0x800401FDu);

// A module's class-object entry point (the shape of DllGetClassObject).
using LPFNGETCLASSOBJECT = HRESULT (*)(REFCLSID clsid, REFIID iid, void** out);

extern "C" {

// Per-thread initialisation count: S_OK for the first call on a thread (and
// the first after the count went back to 0), S_FALSE for later ones,
// RPC_E_CHANGED_MODE when a later call asks for the other concurrency model
// (not counted). `reserved` must be null (E_INVALIDARG).
HRESULT CoInitializeEx(void* reserved, DWORD coInit);
// Undoes one successful CoInitializeEx of this thread; extra calls do nothing.
void CoUninitialize();

// The registered class factory of `clsid`, queried for `iid`.
// REGDB_E_CLASSNOTREG when none is registered; E_POINTER for a null `out`.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo, REFIID iid, void** out);
// A new object of a registered class, through its factory's CreateInstance.
// `*out` is null on every failure; REGDB_E_CLASSNOTREG for an unknown class.
// COM need not be initialised on the calling thread.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** out);
// The host's creator: CoCreateInstance with a trailing flag, which this host
// accepts and does not interpret.
HRESULT JCoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** out, DWORD flag);

// Non-zero when `object` is a live interface: false for null and for an
// interface of a destroyed quorra::host::ComObject; true for every interface
// of a live ComObject and for any other non-null pointer, which this host
// cannot inspect. The memory of recently destroyed ComObjects is remembered
// (the last 65536 interface addresses); an address reused by a new ComObject
// is live again.
BOOL JIsValidInterface(IUnknown* object);

}  // extern "C"

namespace quorra::host {

// Class registry ------------------------------------------------------------

// Registers `factory` (AddRef'd) as the class object of `clsid`, replacing
// and releasing an earlier one. A null factory removes the registration:
// S_OK when one was removed, S_FALSE when there was none.
HRESULT RegisterClassFactory(REFCLSID clsid, IClassFactory* factory);
// Asks a module entry point for its class factory of `clsid` and registers
// it; the entry point's failure is returned.
HRESULT RegisterClassFromModule(REFCLSID clsid, LPFNGETCLASSOBJECT getClassObject);

// Interface ids of C++ interface types --------------------------------------

// InterfaceId<I>::value is the id of interface I. Declare one per interface
// with QUORRA_INTERFACE_ID (at global scope); an interface that derives from
// another interface than IUnknown names it with QUORRA_INTERFACE_ID_DERIVED so
// that ComObject also answers the base interface's id.
template <class Interface>
struct InterfaceId;

template <>
struct InterfaceId<IUnknown> {
  static constexpr GUID value = IID_IUnknown;
};
template <>
struct InterfaceId<IClassFactory> {
  static constexpr GUID value = IID_IClassFactory;
};

}  // namespace quorra::host

#define QUORRA_INTERFACE_ID(Interface, iid)     \
  template <>                                   \
  struct quorra::host::InterfaceId<Interface> { \
    static constexpr GUID value = iid;          \
  }
#define QUORRA_INTERFACE_ID_DERIVED(Interface, iid, BaseInterface) \
  template <>                                                      \
  struct quorra::host::InterfaceId<Interface> {                    \
    static constexpr GUID value = iid;                             \
    using Base = BaseInterface;                                    \
  }

namespace quorra::host {

// COM object base ------------------------------------------------------------

// The non-template part of ComObject: the reference count, the registration
// of the object's interface addresses in the process-wide live table (which
// JIsValidInterface and weak identities consult) and the object's identity
// serial (identity.h).
class ComObjectBase {
 public:
  ComObjectBase(const ComObjectBase&) = delete;
  ComObjectBase& operator=(const ComObjectBase&) = delete;

  ULONG AddRefObject() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  // Deletes the object when the count reaches 0.
  ULONG ReleaseObject();
  // Adds a reference only while the count is above 0, so that an object on
  // its way to destruction is never revived.
  bool TryAddRefObject();
  ULONG GetRefCount() const { return refs_.load(std::memory_order_relaxed); }

  // The object's canonical IUnknown (what QueryInterface(IID_IUnknown) gives).
  virtual IUnknown* GetIdentityUnknown() = 0;

  // The serial that weak identities know this object by; 0 until assigned.
  DWORD GetIdentitySerial() const { return identitySerial_.load(std::memory_order_acquire); }
  // Stores `proposed` when no serial is assigned yet; returns the serial in
  // force afterwards.
  DWORD AssignIdentitySerial(DWORD proposed);

 protected:
  ComObjectBase() = default;
  virtual ~ComObjectBase() = default;
  void RegisterInterfaces(const void* const* addresses, size_t count);
  void UnregisterInterfaces(const void* const* addresses, size_t count);

 private:
  std::atomic<ULONG> refs_{0};
  std::atomic<DWORD> identitySerial_{0};
};

// The live ComObject whose interface lies at `address`, with a new reference
// (release it with ReleaseObject); null when no live object is there or the
// one there is being destroyed.
ComObjectBase* AcquireComObject(const void* address);

// Implements IUnknown for a class deriving from the listed interfaces:
//
//   class Sink : public quorra::host::ComObject<JProgress> { ... };
//   quorra::host::ComPtr<Sink> sink(new Sink);  // count 0 -> 1
//
// The count starts at 0 (the creator takes the first reference) and the
// object deletes itself when it drops back to 0. QueryInterface answers
// IID_IUnknown, each listed interface's id and the ids of their declared
// bases; override FindInterface to answer more. The count is atomic, so
// references may be taken and dropped on any thread.
template <class... Interfaces>
class ComObject : public Interfaces..., public ComObjectBase {
  static_assert(sizeof...(Interfaces) > 0, "ComObject needs at least one interface");

 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    void* found = FindInterface(iid);
    *out = found;
    if (!found) return E_NOINTERFACE;
    AddRefObject();
    return S_OK;
  }
  ULONG AddRef() override { return AddRefObject(); }
  ULONG Release() override { return ReleaseObject(); }
  IUnknown* GetIdentityUnknown() override { return static_cast<IUnknown*>(static_cast<First*>(this)); }

 protected:
  ComObject() {
    const void* addresses[] = {static_cast<const void*>(static_cast<Interfaces*>(this))...};
    RegisterInterfaces(addresses, sizeof...(Interfaces));
  }
  ~ComObject() override {
    const void* addresses[] = {static_cast<const void*>(static_cast<Interfaces*>(this))...};
    UnregisterInterfaces(addresses, sizeof...(Interfaces));
  }

  // The interface pointer for `iid` (no reference added), or null.
  virtual void* FindInterface(REFIID iid) {
    if (iid == IID_IUnknown) return GetIdentityUnknown();
    void* found = nullptr;
    ((found = found ? found : Match<Interfaces>(static_cast<Interfaces*>(this), iid)), ...);
    return found;
  }

 private:
  using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;

  template <class I>
  static void* Match(I* self, REFIID iid) {
    if (iid == InterfaceId<I>::value) return self;
    if constexpr (requires { typename InterfaceId<I>::Base; }) {
      using Base = typename InterfaceId<I>::Base;
      return Match<Base>(static_cast<Base*>(self), iid);
    }
    return nullptr;
  }
};

}  // namespace quorra::host

// Class-factory base ----------------------------------------------------------

// The host's class-factory base. A module derives its factory from it and
// implements OnCreateInstance; CreateInstance refuses aggregation
// (CLASS_E_NOAGGREGATION), asks OnCreateInstance for a new object's IUnknown
// and hands out the requested interface of it. LockServer(TRUE) calls the
// lock callback and LockServer(FALSE) the unlock callback. The factory is
// reference counted from 0 (the creator AddRefs it) and deletes itself when
// the count returns to 0.
//
// The three integer arguments are recorded for the module (GetArgument) and
// change nothing in this host's behaviour.
class JClassFactory : public quorra::host::ComObject<IClassFactory> {
 public:
  using LockCallback = void (*)();

  JClassFactory(LockCallback lock, LockCallback unlock, int argument1, int argument2, int argument3);

  // Slots 0-2: QueryInterface, AddRef, Release (IUnknown).
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override;  // slot 3
  HRESULT LockServer(BOOL lock) override;                                    // slot 4
  // Slot 5: creates one object and stores its IUnknown in *out, holding one
  // reference for the caller. `outer` is always null here (aggregation is
  // refused before).
  virtual HRESULT OnCreateInstance(IUnknown* outer, void** out) = 0;
  ~JClassFactory() override;  // slot 6

  // The construction argument 1, 2 or 3; 0 for any other index.
  int GetArgument(int index) const;

 private:
  LockCallback lock_;
  LockCallback unlock_;
  int arguments_[3];
};

// Chained block allocator ------------------------------------------------------

// One block of a chain of blocks, each able to hold a fixed number of
// elements. The block header is followed by the element area (data()),
// aligned for any type. Blocks are plain memory: Create does not construct
// elements and FreeDataChain does not destroy them.
struct alignas(std::max_align_t) JPlex {
  JPlex* pNext;

  void* data() { return this + 1; }

  // Allocates a block for `maxElements` elements of `elementSize` bytes,
  // links it in front of `head` and returns it (head then points at it).
  // Null for a zero count or size (E_INVALIDARG, traced) or when memory runs
  // out (E_OUTOFMEMORY, traced); `head` is then unchanged.
  static JPlex* Create(JPlex*& head, UINT maxElements, UINT elementSize);
  // Frees this block and every block after it in the chain.
  void FreeDataChain();
};

// Progress interface -------------------------------------------------------------

// {19F97EB4-685E-4186-9A52-8C01B6C03434}
constexpr IID IID_JProgress = {0x19f97eb4, 0x685e, 0x4186, {0x9a, 0x52, 0x8c, 0x01, 0xb6, 0xc0, 0x34, 0x34}};

// ReportProgress's answer "continue"; any other answer asks the caller to
// stop and is handed back by it.
constexpr HRESULT JPROGRESS_CONTINUE = 0x00040231;

// The host's progress and abort sink. The library calls only slot 5.
struct JProgress : IUnknown {
  // Slots 0-2: QueryInterface, AddRef, Release (IUnknown).
  virtual HRESULT SetRange(DWORD total) = 0;                // slot 3
  virtual HRESULT Step(DWORD amount) = 0;                   // slot 4
  virtual HRESULT ReportProgress(const wchar_t* text) = 0;  // slot 5

 protected:
  ~JProgress() = default;
};
QUORRA_INTERFACE_ID(JProgress, IID_JProgress);
