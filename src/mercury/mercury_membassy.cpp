// Mercury contexts named by host objects: membassies (walked up through
// their owners to the document, collecting member routes and attachment
// ids) and host context objects.
#include "quorra/host/mercury_services.h"
#include "quorra/host/modules.h"
#include "quorra/host/override_services.h"
#include "quorra/host/trace.h"
#include "quorra/member_roadmap.h"
#include "quorra/mercury.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";

using quorra::host::ComPtr;
using quorra::host::LateBoundFunction;

LateBoundFunction<GetPersistManagerSignature> gGetPersistManager(L"dulcet.dll", "GetPersistManager");
LateBoundFunction<JGetGraphicSupportObjectSignature> gGetGraphicSupportObject(L"dulcet.dll",
                                                                              "JGetGraphicSupportObject");
LateBoundFunction<GetOwnerOrGroupSignature> gGetOwnerOrGroup(L"dulcet.dll", "GetOwnerOrGroup");
LateBoundFunction<JGetFirstOccurrenceSignature> gGetFirstOccurrence(L"inkle.dll", "JGetFirstOccurrence");
LateBoundFunction<JGetContextDocumentFromMembassySignature> gGetContextDocument(L"inkle.dll",
                                                                                 "JGetContextDocumentFromMembassy");
LateBoundFunction<JGetContextInformationSignature> gGetContextInformation(L"inkle.dll", "JGetContextInformation");

template <class Interface>
bool Has(IUnknown* object) {
  ComPtr<Interface> probe;
  return SUCCEEDED(object->QueryInterface(quorra::host::InterfaceId<Interface>::value,
                                          reinterpret_cast<void**>(probe.Put()))) &&
         probe;
}

// The owner of `object`, else its group; null ends the walk.
IUnknown* OwnerOf(IUnknown* object) {
  auto* getOwner = gGetOwnerOrGroup.Get();
  if (!getOwner) return nullptr;
  IUnknown* owner = nullptr;
  if (getOwner(object, 0, IID_IUnknown, reinterpret_cast<void**>(&owner)) != S_OK) {
    if (owner) owner->Release();
    owner = nullptr;
    if (FAILED(getOwner(object, 1, IID_IUnknown, reinterpret_cast<void**>(&owner)))) {
      if (owner) owner->Release();
      return nullptr;
    }
  }
  return owner;
}

// The attachment id of one membassy level: 0 when it has none that can be
// used as a link.
DWORD MembassyLink(IUnknown* level) {
  ComPtr<IJMembassy> membassy;
  if (FAILED(level->QueryInterface(IID_IJMembassy, reinterpret_cast<void**>(membassy.Put()))) || !membassy) return 0;
  JIdentity identity;
  if (FAILED(membassy->GetMemberIdentity(&identity)) || !identity.ObjectSet()) return 0;
  ComPtr<IUnknown> disqualifier;
  if (SUCCEEDED(identity.GetObjectW(IID_IJNotARoadmapLink, reinterpret_cast<void**>(disqualifier.Put()))) &&
      disqualifier)
    return 0;
  return identity.GetPersistID();
}

// The attachment id the persist manager knows for a level that is not a
// membassy; 0 when it has none.
DWORD PersistManagerLink(IUnknown* persistManager, IUnknown* level) {
  ComPtr<IJPersistIdServer> ids;
  if (FAILED(persistManager->QueryInterface(IID_IJPersistIdServer, reinterpret_cast<void**>(ids.Put()))) || !ids)
    return 0;
  DWORD id = 0;
  if (FAILED(ids->GetObjectPersistID(level, &id, 0)) || FAILED(ids->ConfirmPersistID(id, 0))) return 0;
  return id;
}

}  // namespace

extern "C" HRESULT JGetRoadmapsFromMembassy(IUnknown* membassy, JMemberRoadmap* memberRoadmap,
                                            DisplayRoadmap* displayRoadmap, bool* displayRoadmapValid) {
  if (!membassy || (!memberRoadmap && !displayRoadmap))
    return QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetRoadmapsFromMembassy");
  if (displayRoadmapValid && !displayRoadmap) *displayRoadmapValid = false;
  if (memberRoadmap) memberRoadmap->Reset();
  if (displayRoadmap) displayRoadmap->Clear();

  ComPtr<IJComponent> component;
  if (SUCCEEDED(membassy->QueryInterface(IID_IJComponent, reinterpret_cast<void**>(component.Put()))) && component) {
    DWORD flags = 0;
    if (SUCCEEDED(component->GetComponentFlags(&flags)) && (flags & COMPONENT_LOCAL_PART))
      return QUORRA_TRACE_FAIL(E_NOTIMPL, "JGetRoadmapsFromLocalComponentPart");
  }

  auto* getPersistManager = gGetPersistManager.Get();
  auto* getSupport = gGetGraphicSupportObject.Get();
  if (!getPersistManager || !getSupport) return QUORRA_TRACE_FAIL(E_FAIL, "JGetRoadmapsFromMembassy");
  ComPtr<IUnknown> persistManager;
  HRESULT hr = getPersistManager(membassy, persistManager.Put());
  if (FAILED(hr) || !persistManager) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_FAIL, "JGetRoadmapsFromMembassy");
  ComPtr<IUnknown> top;
  hr = getSupport(persistManager.Get(), IID_IUnknown, reinterpret_cast<void**>(top.Put()));
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JGetRoadmapsFromMembassy");

  bool allLinks = true;
  ComPtr<IUnknown> current(membassy);
  for (;;) {
    ComPtr<IUnknown> owner = ComPtr<IUnknown>::Adopt(OwnerOf(current.Get()));
    if (!owner) break;
    ComPtr<IJRouteLink> routeLink;
    hr = current->QueryInterface(IID_IJRouteLink, reinterpret_cast<void**>(routeLink.Put()));
    if (FAILED(hr) || !routeLink) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_NOINTERFACE, "JGetRoadmapsFromMembassy");
    JMemberRoadmap level;
    hr = routeLink->GetLevelMemberRoadmap(current.Get(), &level);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JGetRoadmapsFromMembassy");
    if (memberRoadmap) {
      hr = level.Append(*memberRoadmap);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JGetRoadmapsFromMembassy");
      *memberRoadmap = level;
    }
    if (displayRoadmap && Has<IJHostOccurrence>(current.Get())) {
      DWORD id = Has<IJMembassy>(current.Get()) ? MembassyLink(current.Get())
                                                : PersistManagerLink(persistManager.Get(), current.Get());
      if (id != 0)
        displayRoadmap->AddLink(id);
      else
        allLinks = false;
    }
    if (owner.Get() == top.Get()) break;
    current = std::move(owner);
  }

  if (displayRoadmap) {
    const bool valid = allLinks && displayRoadmap->IsNullRoadmap() == S_FALSE;
    if (valid)
      displayRoadmap->InvertPath();
    else
      displayRoadmap->Clear();
    if (displayRoadmapValid) *displayRoadmapValid = valid;
  }
  return S_OK;
}

HRESULT Mercury::SetContext(IUnknown* context) {
  Clear();
  if (!context) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::SetContext");
  JMemberRoadmap memberRoadmap;
  DisplayRoadmap displayRoadmap;
  bool displayRoadmapValid = false;
  ComPtr<IUnknown> document;
  HRESULT hr = S_OK;
  if (Has<IJMembassy>(context)) {
    ComPtr<IUnknown> occurrence;
    context->QueryInterface(IID_IJHostOccurrence, reinterpret_cast<void**>(occurrence.Put()));
    if (!occurrence) {
      auto* getFirst = gGetFirstOccurrence.Get();
      if (getFirst) getFirst(context, IID_IJHostOccurrence, reinterpret_cast<void**>(occurrence.Put()));
    }
    if (occurrence) {
      hr = JGetRoadmapsFromMembassy(occurrence.Get(), &memberRoadmap, &displayRoadmap, &displayRoadmapValid);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetContext");
    }
    auto* getDocument = gGetContextDocument.Get();
    hr = getDocument ? getDocument(context, document.Put()) : E_FAIL;
  } else {
    auto* getPersistManager = gGetPersistManager.Get();
    ComPtr<IUnknown> persistManager;
    hr = getPersistManager ? getPersistManager(context, persistManager.Put()) : E_FAIL;
    if (SUCCEEDED(hr) && persistManager) {
      hr = persistManager->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(document.Put()));
      if (SUCCEEDED(hr) && document) {
        hr = JGetRoadmapsFromMembassy(context, &memberRoadmap, &displayRoadmap, &displayRoadmapValid);
        if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetContext");
      }
    }
  }
  if (!document) return hr;
  if (displayRoadmapValid) return SetContext(document.Get(), &displayRoadmap);
  if (!memberRoadmap.IsEmpty()) return SetContext(document.Get(), &memberRoadmap);
  return hr;
}

HRESULT Mercury::SetContext(IUnknown* context, SetContextFlags flags) {
  if (!context) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::SetContext");
  if (flags != 1 && flags != 2) return S_OK;
  auto* getInformation = gGetContextInformation.Get();
  if (!getInformation) return E_FAIL;
  ComPtr<IUnknown> document;
  JMemberRoadmap roadmap;
  HRESULT hr = getInformation(context, flags == 1, document.Put(), &roadmap);
  if (SUCCEEDED(hr) && document) return SetContext(document.Get(), &roadmap);
  return hr;
}
