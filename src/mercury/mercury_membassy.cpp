// Mercury contexts named by host objects: membassies and local component
// parts (walked up through their owners to the document, collecting member
// routes and attachment ids) and host context objects.
#include "mercury/local_component.h"
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

bool HasInterface(IUnknown* object, REFIID iid) {
  ComPtr<IUnknown> probe;
  return SUCCEEDED(object->QueryInterface(iid, reinterpret_cast<void**>(probe.Put()))) && probe;
}

template <class Interface>
bool Has(IUnknown* object) {
  return HasInterface(object, quorra::host::InterfaceId<Interface>::value);
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

// A walk longer than this has met an owner chain that loops back on itself.
constexpr int kMaxWalkLevels = 1024;
// An enumeration longer than this has met an enumerator that never ends.
constexpr int kMaxOwnerElements = 1 << 20;

// The first element of a local-component owner that has the component
// interface (AddRef'd into *out). Failures are traced and end the walk.
HRESULT FirstComponentElement(IUnknown* owner, const char* operation, ComPtr<IUnknown>* out) {
  ComPtr<IJElementCollection> collection;
  HRESULT hr = owner->QueryInterface(IID_IJElementCollection, reinterpret_cast<void**>(collection.Put()));
  if (FAILED(hr) || !collection) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_NOINTERFACE, operation);
  ComPtr<IJElementEnumerator> elements;
  hr = collection->EnumElements(elements.Put());
  if (FAILED(hr) || !elements) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_POINTER, operation);
  for (int n = 0; n < kMaxOwnerElements; ++n) {
    IUnknown* element = nullptr;
    ULONG fetched = 0;
    hr = elements->Next(1, &element, &fetched);
    ComPtr<IUnknown> held = ComPtr<IUnknown>::Adopt(fetched == 1 ? element : nullptr);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
    if (!held) break;
    if (Has<IJComponent>(held.Get())) {
      *out = std::move(held);
      return S_OK;
    }
  }
  return QUORRA_TRACE_FAIL_MSG(E_FAIL, L"no component among the owner's elements", operation);
}

// The owner walk shared by membassies and local component parts: from
// `start` up to the document's top object, each level adding its member
// route (the path grows towards the root) and, for host occurrences, its
// attachment id (gathered leaf first, reversed at the end).
HRESULT WalkOwners(IUnknown* start, bool localComponent, JMemberRoadmap* memberRoadmap,
                   DisplayRoadmap* displayRoadmap, bool* displayRoadmapValid, const char* operation) {
  auto* getPersistManager = gGetPersistManager.Get();
  auto* getSupport = gGetGraphicSupportObject.Get();
  if (!getPersistManager || !getSupport || !gGetOwnerOrGroup.Get()) return QUORRA_TRACE_FAIL(E_FAIL, operation);
  ComPtr<IUnknown> persistManager;
  HRESULT hr = getPersistManager(start, persistManager.Put());
  if (FAILED(hr) || !persistManager) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_FAIL, operation);
  ComPtr<IUnknown> top;
  hr = getSupport(persistManager.Get(), IID_IUnknown, reinterpret_cast<void**>(top.Put()));
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);

  bool allLinks = true;
  ComPtr<IUnknown> current(start);
  for (int level = 0;; ++level) {
    if (level == kMaxWalkLevels) return QUORRA_TRACE_FAIL_MSG(E_FAIL, L"the owner chain does not end", operation);
    ComPtr<IUnknown> owner = ComPtr<IUnknown>::Adopt(OwnerOf(current.Get()));
    if (!owner) break;
    ComPtr<IJRouteLink> routeLink;
    hr = current->QueryInterface(IID_IJRouteLink, reinterpret_cast<void**>(routeLink.Put()));
    if (FAILED(hr) || !routeLink) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_NOINTERFACE, operation);
    JMemberRoadmap levelRoadmap;
    hr = routeLink->GetLevelMemberRoadmap(current.Get(), &levelRoadmap);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
    if (memberRoadmap) {
      hr = levelRoadmap.Append(*memberRoadmap);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
      *memberRoadmap = levelRoadmap;
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
    if (localComponent && HasInterface(owner.Get(), IID_IJLocalComponentOwner)) {
      ComPtr<IUnknown> element;
      hr = FirstComponentElement(owner.Get(), operation, &element);
      if (FAILED(hr)) {
        if (memberRoadmap) memberRoadmap->Reset();
        if (displayRoadmap) displayRoadmap->Clear();
        return hr;
      }
      current = std::move(element);
    } else {
      current = std::move(owner);
    }
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

// The arguments' checks and resets both walks start with.
HRESULT StartWalk(IUnknown* start, JMemberRoadmap* memberRoadmap, DisplayRoadmap* displayRoadmap,
                  bool* displayRoadmapValid, const char* operation) {
  if (!start || (!memberRoadmap && !displayRoadmap)) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
  if (displayRoadmapValid && !displayRoadmap) *displayRoadmapValid = false;
  if (memberRoadmap) memberRoadmap->Reset();
  if (displayRoadmap) displayRoadmap->Clear();
  return S_OK;
}

}  // namespace

extern "C" HRESULT JGetRoadmapsFromMembassy(IUnknown* membassy, JMemberRoadmap* memberRoadmap,
                                            DisplayRoadmap* displayRoadmap, bool* displayRoadmapValid) {
  constexpr const char* kOperation = "JGetRoadmapsFromMembassy";
  HRESULT hr = StartWalk(membassy, memberRoadmap, displayRoadmap, displayRoadmapValid, kOperation);
  if (FAILED(hr)) return hr;
  ComPtr<IJComponent> component;
  if (SUCCEEDED(membassy->QueryInterface(IID_IJComponent, reinterpret_cast<void**>(component.Put()))) && component) {
    DWORD flags = 0;
    if (SUCCEEDED(component->GetComponentFlags(&flags)) && (flags & COMPONENT_LOCAL_PART))
      return JGetRoadmapsFromLocalComponentPart(membassy, memberRoadmap, displayRoadmap, displayRoadmapValid);
  }
  return WalkOwners(membassy, false, memberRoadmap, displayRoadmap, displayRoadmapValid, kOperation);
}

HRESULT JGetRoadmapsFromLocalComponentPart(IUnknown* part, JMemberRoadmap* memberRoadmap,
                                           DisplayRoadmap* displayRoadmap, bool* displayRoadmapValid) {
  constexpr const char* kOperation = "JGetRoadmapsFromLocalComponentPart";
  HRESULT hr = StartWalk(part, memberRoadmap, displayRoadmap, displayRoadmapValid, kOperation);
  if (FAILED(hr)) return hr;
  if (Has<IJMembassy>(part)) return QUORRA_TRACE_FAIL(E_INVALIDARG, kOperation);
  ComPtr<IUnknown> start;
  hr = part->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(start.Put()));
  if (FAILED(hr) || !start) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_NOINTERFACE, kOperation);
  return WalkOwners(start.Get(), true, memberRoadmap, displayRoadmap, displayRoadmapValid, kOperation);
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
  if (!getInformation) return QUORRA_TRACE_FAIL(E_FAIL, "Mercury::SetContext");
  ComPtr<IUnknown> document;
  JMemberRoadmap roadmap;
  HRESULT hr = getInformation(context, flags == 1, document.Put(), &roadmap);
  if (SUCCEEDED(hr) && document) return SetContext(document.Get(), &roadmap);
  return hr;
}
