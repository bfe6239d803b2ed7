// Finding body data's assembly document again (cached identity, then a name
// lookup), and the exported lookup from a membassy to the body data of the
// occurrence it stands for.
#include <atomic>
#include <memory>
#include <new>

#include "mercury/override_body_data_internal.h"
#include "quorra/host/container.h"
#include "quorra/host/mercury_services.h"
#include "quorra/host/modules.h"
#include "quorra/host/override_services.h"
#include "quorra/host/switches.h"
#include "quorra/host/trace.h"
#include "quorra/member_roadmap.h"
#include "quorra/mercury.h"
#include "quorra/override_body_data.h"
#include "quorra/override_tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";

using quorra::host::ComPtr;
using quorra::host::LateBoundFunction;
using GetDocumentByNameSignature = JGetDocumentIfOpenSignature;

LateBoundFunction<GetDocumentByNameSignature> gGetDocumentIfOpen(L"dulcet.dll", "JGetDocumentIfOpen");
LateBoundFunction<GetDocumentByNameSignature> gGetDocumentIfOpenEx(L"dulcet.dll", "JGetDocumentIfOpenEx");
LateBoundFunction<GetDocumentByNameSignature> gGetDocumentIfOpenIgnoreMemberName(
    L"dulcet.dll", "JGetDocumentIfOpenIgnoreMemberName");
LateBoundFunction<JIsReverseMembassySignature> gIsReverseMembassy(L"inkle.dll", "JIsReverseMembassy");
LateBoundFunction<JGetFirstOccurrenceSignature> gGetFirstOccurrence(L"inkle.dll", "JGetFirstOccurrence");
LateBoundFunction<JGetFullRoadmapFromMembassySignature> gGetFullRoadmap(L"inkle.dll", "JGetFullRoadmapFromMembassy");

// {01D71780-00CB-11CE-BA48-080036250302}: an occurrence object that does not
// carry the roadmap itself.
constexpr IID IID_IJOccurrenceProxy = {0x01d71780, 0x00cb, 0x11ce, {0xba, 0x48, 0x08, 0x00, 0x36, 0x25, 0x03, 0x02}};

struct CachingSwitches {
  std::atomic<bool> read{false};
  std::atomic<bool> disable{false};
  std::atomic<bool> validate{false};
};
CachingSwitches gSwitches;

void ReadSwitches() {
  gSwitches.disable = JGetDebugDWORD(L"Override Document Caching Disable", 0) != 0;
  gSwitches.validate = JGetDebugDWORD(L"Override Document Caching Validate", 0) != 0;
  gSwitches.read = true;
}

HRESULT CallByName(LateBoundFunction<GetDocumentByNameSignature>& fn, const wchar_t* name, REFIID iid, void** out) {
  auto* call = fn.Get();
  return call ? call(name, iid, out) : E_FAIL;
}

// The process-wide body data JGetOverrideBodyData hands out.
JOverrideBodyData* SharedBodyData() {
  static std::unique_ptr<JOverrideBodyData> shared(new (std::nothrow) JOverrideBodyData());
  return shared.get();
}

}  // namespace

namespace quorra {
void ReloadOverrideDocumentCachingSwitches() { ReadSwitches(); }
}  // namespace quorra

HRESULT JOverrideBodyData::GetAsmDoc(REFIID iid, void** out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JOverrideBodyData::GetAsmDoc");
  if (!gSwitches.read) ReadSwitches();
  *out = nullptr;
  HRESULT hr = S_OK;
  if (!gSwitches.disable && document_.DocumentSet()) {
    hr = document_.GetDocument(iid, out);
    if (SUCCEEDED(hr) && *out) {
      if (gSwitches.validate) {
        void* byName = nullptr;
        if (SUCCEEDED(CallByName(gGetDocumentIfOpenEx, name_.GetText(), iid, &byName)) && byName != *out)
          OutputDebugStringW(
              L"JOverrideBodyData::GetAsmDoc: Cached document different from document obtained by name lookup!\n");
        if (byName) static_cast<IUnknown*>(byName)->Release();
      }
      return hr;
    }
    if (*out) {
      static_cast<IUnknown*>(*out)->Release();
      *out = nullptr;
    }
  }
  if (hr == E_NOINTERFACE) return hr;
  hr = CallByName(gGetDocumentIfOpen, name_.GetText(), iid, out);
  if (FAILED(hr) || !*out) {
    *out = nullptr;
    hr = CallByName(gGetDocumentIfOpenIgnoreMemberName, name_.GetText(), iid, out);
  }
  if (SUCCEEDED(hr) && *out) {
    // The identity is set through IUnknown so that the same document is
    // recognised whatever interface it was asked in.
    ComPtr<IUnknown> identity;
    if (SUCCEEDED(static_cast<IUnknown*>(*out)->QueryInterface(IID_IUnknown,
                                                               reinterpret_cast<void**>(identity.Put()))))
      document_.SetObject(identity.Get());
  } else if (FAILED(hr)) {
    *out = nullptr;
  }
  return hr;
}

extern "C" HRESULT JGetAssemblyDocumentOfOverrideBodyData(JOverrideBodyData* bodyData, REFIID iid, void** out) {
  if (!bodyData || !out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetAssemblyDocumentOfOverrideBodyData");
  *out = nullptr;
  return bodyData->GetAsmDoc(iid, out);
}

namespace {

constexpr const char* kHelperOperation = "JGetOverrideBodyDataHelper";

// The document of the local component the first link of a roadmap names,
// when that component is a local component part that is itself an assembly;
// S_FALSE (no document) when the first link names an ordinary member.
// Failing steps are traced.
HRESULT LocalComponentDocument(IUnknown* document, DWORD firstLink, ComPtr<IUnknown>* out) {
  ComPtr<IJOccurrenceContainer> container;
  HRESULT hr = document->QueryInterface(IID_IJOccurrenceContainer, reinterpret_cast<void**>(container.Put()));
  if (FAILED(hr) || !container) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_NOINTERFACE, kHelperOperation);
  ComPtr<IUnknown> member;
  hr = container->GetMember(firstLink, IID_IUnknown, reinterpret_cast<void**>(member.Put()));
  if (FAILED(hr) || !member) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_POINTER, kHelperOperation);
  ComPtr<IJComponent> component;
  hr = member->QueryInterface(IID_IJComponent, reinterpret_cast<void**>(component.Put()));
  if (FAILED(hr) || !component) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_NOINTERFACE, kHelperOperation);
  DWORD flags = 0;
  hr = component->GetComponentFlags(&flags);
  if (hr == E_NOTIMPL) return S_FALSE;  // a member that keeps no flags
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kHelperOperation);
  if (!(flags & COMPONENT_LOCAL_PART)) return S_FALSE;
  // The component's own container is the document it places.
  ComPtr<IJOccurrenceContainer> own;
  hr = component->GetOccurrenceContainer(own.Put());
  if (FAILED(hr) || !own) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_POINTER, kHelperOperation);
  hr = own->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(out->Put()));
  if (FAILED(hr) || !*out) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_POINTER, kHelperOperation);
  return S_OK;
}

}  // namespace

namespace quorra {

HRESULT GetOverrideBodyDataHelper(IUnknown* document, const DisplayRoadmap* roadmap, JOverrideBodyData** out) {
  if (!document || !roadmap || !out) return QUORRA_TRACE_FAIL(E_INVALIDARG, kHelperOperation);
  *out = nullptr;
  ComPtr<IJOverrideTreeHolder> holder;
  HRESULT hr = JGetIOT(document, IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put()));
  if (FAILED(hr) || !holder) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_POINTER, kHelperOperation);
  JIDSOverrideTree* iot = nullptr;
  hr = holder->GetOverrideTree(&iot, 0);
  if (FAILED(hr) || !iot) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_POINTER, kHelperOperation);
  JIDSOverride* node = nullptr;
  iot->GetOverride(roadmap->GetEntryCount(), roadmap->GetData(), &node);
  const JOverrideBodyData* bodyData = node ? node->GetBodyData() : nullptr;
  GUserText name;
  if (bodyData && SUCCEEDED(iot->GetAssemblyName(&name)) && !name.IsEmpty()) {
    JOverrideBodyData* shared = SharedBodyData();
    if (!shared) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, kHelperOperation);
    try {
      *shared = *bodyData;
    } catch (const std::bad_alloc&) {
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, kHelperOperation);
    }
    hr = shared->SetAsmDoc(name.GetText(), document);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kHelperOperation);
    *out = shared;
    return S_OK;
  }

  // The first link may name a local component that is itself an assembly:
  // its own table holds the rest of the path.
  if (roadmap->GetEntryCount() > 1) {
    ComPtr<IUnknown> local;
    if (LocalComponentDocument(document, roadmap->GetData(0), &local) == S_OK) {
      DisplayRoadmap rest;
      hr = rest.AddLinks(roadmap->GetEntryCount() - 1, roadmap->GetData() + 1);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kHelperOperation);
      GetOverrideBodyDataHelper(local.Get(), &rest, out);
    }
  }
  return *out ? S_OK : E_FAIL;
}

}  // namespace quorra

extern "C" HRESULT JGetOverrideBodyData(IUnknown* assemblyDocument, IUnknown* membassy, JOverrideBodyData** out) {
  if (!assemblyDocument || !membassy || !out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetOverrideBodyData");
  *out = nullptr;
  DisplayRoadmap roadmap;
  bool valid = false;
  HRESULT hr = S_OK;
  auto* isReverse = gIsReverseMembassy.Get();
  if (isReverse && isReverse(membassy)) {
    // The roadmap is read from the membassy when it is a plain occurrence,
    // else from its first occurrence.
    ComPtr<IUnknown> source;
    ComPtr<IUnknown> occurrence;
    if (SUCCEEDED(membassy->QueryInterface(IID_IJHostOccurrence, reinterpret_cast<void**>(occurrence.Put()))) &&
        occurrence) {
      ComPtr<IUnknown> proxy;
      if (FAILED(occurrence->QueryInterface(IID_IJOccurrenceProxy, reinterpret_cast<void**>(proxy.Put()))) || !proxy)
        source = ComPtr<IUnknown>(membassy);
    }
    if (!source) {
      auto* getFirst = gGetFirstOccurrence.Get();
      if (!getFirst || FAILED(getFirst(membassy, IID_IUnknown, reinterpret_cast<void**>(source.Put()))) || !source)
        source = ComPtr<IUnknown>(membassy);
    }
    JMemberRoadmap member;
    auto* getFull = gGetFullRoadmap.Get();
    hr = getFull ? getFull(source.Get(), &member) : E_FAIL;
    if (SUCCEEDED(hr) && !member.IsEmpty()) {
      ComPtr<IJOverrideTreeHolder> holder;
      hr = JGetIOT(assemblyDocument, IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put()));
      if (SUCCEEDED(hr) && holder) hr = holder->ConvertMemberRoadmap(&member, &roadmap);
      else if (SUCCEEDED(hr)) hr = E_POINTER;
    }
    valid = true;
  } else {
    hr = JGetRoadmapsFromMembassy(membassy, nullptr, &roadmap, &valid);
  }
  if (SUCCEEDED(hr) && roadmap.GetEntryCount() != 0 && valid)
    quorra::GetOverrideBodyDataHelper(assemblyDocument, &roadmap, out);
  return *out ? S_OK : E_FAIL;
}
