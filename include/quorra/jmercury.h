// JMercury: the occurrence-property service (Mercury) as a COM object for
// the host's COM clients, behind the interface IJMercury. Every interface
// method forwards to the Mercury member of the same name with the same
// arguments and returns its result unchanged. Objects are made by the
// library's class factory, which the exported DllGetClassObject hands out.
//
//   IClassFactory* factory = nullptr;
//   DllGetClassObject(CLSID_JMercury, IID_IClassFactory, (void**)&factory);
//   IJMercury* mercury = nullptr;
//   factory->CreateInstance(nullptr, IID_IJMercury, (void**)&mercury);
//   factory->Release();
//   mercury->SetContext(document, &roadmap);
//   mercury->SetHidden(TRUE);
//   mercury->Release();
#pragma once

#include "quorra/host/class_factory.h"
#include "quorra/host/com.h"
#include "quorra/host/types.h"
#include "quorra/mercury.h"

// {4A368A45-0559-4009-9A75-FF789A303D36}
constexpr CLSID CLSID_JMercury = {0x4a368a45, 0x0559, 0x4009, {0x9a, 0x75, 0xff, 0x78, 0x9a, 0x30, 0x3d, 0x36}};
// {F1153B00-3746-442C-B90E-7F05C9E79E17}
constexpr IID IID_IJMercury = {0xf1153b00, 0x3746, 0x442c, {0xb9, 0x0e, 0x7f, 0x05, 0xc9, 0xe7, 0x9e, 0x17}};

// The methods lie in the virtual table in declaration order; the slot of
// each is noted beside it.
struct IJMercury : IUnknown {
  // Slots 0-2: QueryInterface, AddRef, Release (IUnknown).
  virtual HRESULT SetContext(IUnknown* context, SetContextFlags flags) = 0;     // slot 3
  virtual HRESULT SetContext(IUnknown* context) = 0;                            // slot 4
  virtual HRESULT SetContext(OccurrenceNode* occurrence) = 0;                   // slot 5
  virtual HRESULT SetContext(IUnknown* document, DisplayRoadmap* roadmap) = 0;  // slot 6
  virtual HRESULT SetContext(IUnknown* document, JMemberRoadmap* roadmap) = 0;  // slot 7

 protected:
  ~IJMercury() = default;
};
QUORRA_INTERFACE_ID(IJMercury, IID_IJMercury);

// The COM object: its virtual table, its reference count and its Mercury.
// A new object has count 0 and an empty Mercury; the last Release destroys
// the Mercury (releasing the documents it holds) and frees the object. The
// count is not interlocked: an object is used from one thread.
class JMercury final : public IJMercury {
 public:
  JMercury() = default;
  JMercury(const JMercury&) = delete;
  JMercury& operator=(const JMercury&) = delete;

  // The class factory's initialisation step after the first AddRef.
  HRESULT Initialize() { return S_OK; }

  // IUnknown: IID_IUnknown and IID_IJMercury answer this object; any other
  // id gives E_NOINTERFACE with *out null.
  HRESULT QueryInterface(REFIID iid, void** out) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT SetContext(IUnknown* context, SetContextFlags flags) override;
  HRESULT SetContext(IUnknown* context) override;
  HRESULT SetContext(OccurrenceNode* occurrence) override;
  HRESULT SetContext(IUnknown* document, DisplayRoadmap* roadmap) override;
  HRESULT SetContext(IUnknown* document, JMemberRoadmap* roadmap) override;

 private:
  ~JMercury() = default;  // only the last Release destroys the object

  DWORD refs_ = 0;
  Mercury mercury_;
};

template <>
struct quorra::host::ClassFactoryTraits<JMercury> {
  static constexpr const char* kOnCreateInstance = "ClassFactory<class JMercury>::OnCreateInstance";
};

extern "C" {
// The library's class factory. `iid` must be IID_IUnknown or
// IID_IClassFactory (else E_NOINTERFACE, *out untouched); *out is then set
// to null, and a class id other than CLSID_JMercury gives E_FAIL. On S_OK
// *out holds a new ClassFactory<JMercury> with one reference for the caller.
HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out);
}
