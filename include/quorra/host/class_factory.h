// The class factory of one COM class, on the host's class-factory base
// JClassFactory. The class to create names the factory's trace operation
// through quorra::host::ClassFactoryTraits and offers
//
//   Object()                    a new object with reference count 0
//   HRESULT Initialize()        its initialisation step after the first AddRef
//
// beside its IUnknown methods.
#pragma once

#include <new>

#include "quorra/host/com.h"
#include "quorra/host/trace.h"
#include "quorra/host/types.h"

namespace quorra::host {

// Specialise for each class made by a ClassFactory:
//   template <> struct ClassFactoryTraits<JWidget> {
//     static constexpr const char* kOnCreateInstance = "ClassFactory<class JWidget>::OnCreateInstance";
//   };
template <class Object>
struct ClassFactoryTraits;

// The source name the factory's traces carry.
inline constexpr const char* kClassFactoryTraceSource = "include/uclsfact";

}  // namespace quorra::host

template <class Object>
class ClassFactory : public JClassFactory {
 public:
  using JClassFactory::JClassFactory;

  // Slots 0-4 are JClassFactory's (QueryInterface, AddRef, Release,
  // CreateInstance, LockServer).

  // Slot 5: a new object's IUnknown in *out, holding the caller's only
  // reference. `outer` is not used (the base refuses aggregation).
  HRESULT OnCreateInstance(IUnknown* /*outer*/, void** out) override {
    if (!out) return Trace(E_INVALIDARG, __LINE__);
    *out = nullptr;
    Object* object = new (std::nothrow) Object();
    if (!object) return Trace(E_OUTOFMEMORY, __LINE__);
    object->AddRef();
    HRESULT hr = object->Initialize();
    if (FAILED(hr)) {
      object->Release();
      return Trace(hr, __LINE__);
    }
    hr = object->QueryInterface(IID_IUnknown, out);
    // Drops the creation reference: the caller's reference from
    // QueryInterface is the only one left, or the object is gone.
    object->Release();
    if (FAILED(hr)) {
      *out = nullptr;
      return Trace(hr, __LINE__);
    }
    return hr;
  }

  ~ClassFactory() override = default;  // slot 6

 private:
  static HRESULT Trace(HRESULT hr, int line) {
    return ::HRerrEx(nullptr, nullptr, hr, nullptr, quorra::host::kClassFactoryTraceSource, line,
                     quorra::host::ClassFactoryTraits<Object>::kOnCreateInstance);
  }
};
