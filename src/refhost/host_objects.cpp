// refhost's membassies and host context objects, and the "dulcet.dll" and
// "inkle.dll" functions that answer for them.
#include "quorra/refhost/host_objects.h"

#include <new>
#include <string>
#include <utility>

#include "quorra/host/container.h"
#include "quorra/host/identity.h"
#include "quorra/host/mercury_services.h"
#include "quorra/host/override_services.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/member_roadmap.h"
#include "quorra/occurrence.h"
#include "quorra/refhost/occurrence_container.h"
#include "quorra/refhost/persist_manager.h"
#include "quorra/roadmap.h"
#include "quorra/site.h"
#include "refhost/host_modules.h"
#include "refhost/host_object_interface.h"

namespace quorra::refhost {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/refhost/membassy";

using host::ComObject;
using host::ComPtr;

// What every level of a chain knows.
struct LevelData {
  ComPtr<IUnknown> document;
  ComPtr<IUnknown> owner;  // null for the root object
  DWORD id = 0;
  JMemberRoute route;
  JMemberRoadmap full;
  DisplayRoadmap path;      // attachment ids from the root down to this level
  ComPtr<IUnknown> member;  // the document's member (membassies only)
  bool reverse = false;
};

// The host-object and route-link answers shared by the three kinds of level.
template <class... Extra>
class Level : public ComObject<IRefhostHostObject, IJRouteLink, Extra...> {
 public:
  explicit Level(LevelData data) : data_(std::move(data)) {}

  IUnknown* GetDocument() override { return data_.document.Get(); }
  IUnknown* GetChainOwner() override { return data_.owner.Get(); }
  DWORD GetAttachmentID() override { return data_.id; }
  const JMemberRoadmap& GetFullRoadmap() override { return data_.full; }
  bool IsReverse() override { return data_.reverse; }
  bool IsMembassy() override { return false; }
  const DisplayRoadmap& GetPath() override { return data_.path; }

  HRESULT GetLevelMemberRoadmap(IUnknown*, JMemberRoadmap* roadmap) override {
    if (!roadmap) return E_POINTER;
    roadmap->Reset();
    return roadmap->Append(data_.route);
  }

 protected:
  LevelData data_;
};

// The document's root object: no occurrence of its own.
class RootObject final : public Level<> {
 public:
  using Level::Level;
};

// A level of a host context.
class ContextLevel final : public Level<IJHostOccurrence> {
 public:
  using Level::Level;
};

// A level of a membassy chain.
class MembassyLevel final : public Level<IJHostOccurrence, IJMembassy> {
 public:
  using Level::Level;
  bool IsMembassy() override { return true; }
  HRESULT GetMemberIdentity(JIdentity* identity) override {
    if (!identity) return E_POINTER;
    return identity->SetObject(data_.member.Get());
  }
};

// The root object's route: the document's file name without directory.
JMemberRoute DocumentRoute(IUnknown* document) {
  ComPtr<IRefhostDocument> refDocument;
  if (SUCCEEDED(document->QueryInterface(IID_IRefhostDocument, reinterpret_cast<void**>(refDocument.Put()))) &&
      refDocument)
    return JMemberRoute(host::ToUtf8(std::wstring(host::PathBaseName(refDocument->GetPath(), true))).c_str());
  return JMemberRoute("document");
}

// The chain for `roadmap` below `document`; its last level in *out.
HRESULT CreateChain(IUnknown* document, const DisplayRoadmap& roadmap, bool membassies, const MembassyOptions& options,
                    IUnknown** out, const char* operation) {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, operation);
  *out = nullptr;
  if (!document) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
  const DWORD count = roadmap.GetEntryCount();
  if (membassies && count == 0)
    return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"a membassy stands for a member, not the root", operation);
  try {
    LevelData root;
    HRESULT hr = document->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(root.document.Put()));
    if (FAILED(hr) || !root.document) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
    root.route = DocumentRoute(document);
    hr = root.full.Append(root.route);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
    ComPtr<IUnknown> current(static_cast<IRefhostHostObject*>(new RootObject(root)));

    ComPtr<IJOccurrenceContainer> container;
    if (count != 0 &&
        (FAILED(document->QueryInterface(IID_IJOccurrenceContainer, reinterpret_cast<void**>(container.Put()))) ||
         !container))
      return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"the document has no members", operation);
    LevelData level = root;
    for (DWORD i = 0; i < count; ++i) {
      const DWORD id = roadmap.GetData(i);
      if (!container) return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"the path goes on below a part", operation);
      ComPtr<IUnknown> member;
      hr = container->GetMember(id, IID_IUnknown, reinterpret_cast<void**>(member.Put()));
      if (FAILED(hr) || !member) return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"no member with that id", operation);
      ComPtr<IJComponent> component;
      container.Reset();
      if (SUCCEEDED(member->QueryInterface(IID_IJComponent, reinterpret_cast<void**>(component.Put()))) && component &&
          !component->IsLeaf())
        component->GetOccurrenceContainer(container.Put());

      level.owner = current;
      level.id = id;
      level.route = JMemberRoute(std::to_string(id).c_str());
      hr = level.full.Append(level.route);
      if (SUCCEEDED(hr)) hr = level.path.AddLink(id);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
      level.member = membassies ? member : ComPtr<IUnknown>();
      level.reverse = membassies && options.reverse && i + 1 == count;
      if (membassies)
        current = ComPtr<IUnknown>(static_cast<IRefhostHostObject*>(new MembassyLevel(level)));
      else
        current = ComPtr<IUnknown>(static_cast<IRefhostHostObject*>(new ContextLevel(level)));
    }
    *out = current.Detach();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, operation);
  }
}

// The document's top object, where owner walks stop.
HRESULT TopObject(IUnknown* document, REFIID iid, void** out) {
  ComPtr<IUnknown> persistManager;
  HRESULT hr = GetPersistManager(document, persistManager.Put());
  if (FAILED(hr)) return hr;
  return GetGraphicSupportObject(persistManager.Get(), iid, out);
}

}  // namespace

IRefhostHostObject* AsHostObject(IUnknown* object) {
  if (!object) return nullptr;
  IRefhostHostObject* host = nullptr;
  if (FAILED(object->QueryInterface(IID_IRefhostHostObject, reinterpret_cast<void**>(&host))) || !host) return nullptr;
  host->Release();  // `object` keeps it alive
  return host;
}

HRESULT CreateMembassy(IUnknown* document, const DisplayRoadmap& roadmap, IUnknown** membassy,
                       const MembassyOptions& options) {
  return CreateChain(document, roadmap, true, options, membassy, "refhost::CreateMembassy");
}

HRESULT CreateHostContext(IUnknown* document, const DisplayRoadmap& roadmap, IUnknown** context) {
  return CreateChain(document, roadmap, false, MembassyOptions(), context, "refhost::CreateHostContext");
}

HRESULT CreateOccurrenceMembassy(OccurrenceNode* occurrence, IUnknown** membassy) {
  constexpr const char* kOperation = "refhost::CreateOccurrenceMembassy";
  if (!membassy) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
  *membassy = nullptr;
  AssemblyOccurrence* root = occurrence ? occurrence->GetRootAssembly() : nullptr;
  SiteNode* site = root ? root->GetSite() : nullptr;
  if (!site) return QUORRA_TRACE_FAIL(E_INVALIDARG, kOperation);
  ComPtr<IUnknown> document;
  HRESULT hr = site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document.Put()));
  if (FAILED(hr) || !document) return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"the root site has no document", kOperation);
  DisplayRoadmap roadmap;
  hr = occurrence->GetDisplayRoadmap(&roadmap);
  if (FAILED(hr) && occurrence != root) return QUORRA_TRACE_FAIL(hr, kOperation);
  return CreateMembassy(document.Get(), roadmap, membassy);
}

// ---- the module functions ----

HRESULT GetOwnerOrGroup(IUnknown* object, DWORD which, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  IRefhostHostObject* host = AsHostObject(object);
  if (!host) return E_NOINTERFACE;  // not one of refhost's objects: no owner known
  if (which != 0) return E_FAIL;    // refhost's objects belong to no group
  if (IUnknown* owner = host->GetChainOwner()) return owner->QueryInterface(iid, out);
  return TopObject(host->GetDocument(), iid, out);
}

HRESULT GetFirstOccurrence(IUnknown* context, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  IRefhostHostObject* host = AsHostObject(context);
  if (!host) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetFirstOccurrence");
  if (host->IsMembassy()) return context->QueryInterface(iid, out);
  if (host->GetAttachmentID() == 0) return E_FAIL;  // the root has no membassy
  // A context's first occurrence is the membassy of the same member.
  ComPtr<IUnknown> membassy;
  HRESULT hr = CreateMembassy(host->GetDocument(), host->GetPath(), membassy.Put());
  if (FAILED(hr)) return hr;
  return membassy->QueryInterface(iid, out);
}

HRESULT GetContextDocumentFromMembassy(IUnknown* context, IUnknown** document) {
  if (!document) return E_POINTER;
  *document = nullptr;
  IRefhostHostObject* host = AsHostObject(context);
  if (!host) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetContextDocumentFromMembassy");
  *document = host->GetDocument();
  (*document)->AddRef();
  return S_OK;
}

HRESULT GetContextInformation(IUnknown* context, bool, IUnknown** document, JMemberRoadmap* roadmap) {
  if (!document || !roadmap) return E_POINTER;
  *document = nullptr;
  IRefhostHostObject* host = AsHostObject(context);
  if (!host) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetContextInformation");
  *roadmap = host->GetFullRoadmap();
  *document = host->GetDocument();
  (*document)->AddRef();
  return S_OK;
}

BOOL IsReverseMembassy(IUnknown* membassy) {
  IRefhostHostObject* host = AsHostObject(membassy);
  return host && host->IsReverse() ? TRUE : FALSE;
}

HRESULT GetFullRoadmapFromMembassy(IUnknown* membassy, JMemberRoadmap* roadmap) {
  if (!roadmap) return E_POINTER;
  IRefhostHostObject* host = AsHostObject(membassy);
  if (!host) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetFullRoadmapFromMembassy");
  *roadmap = host->GetFullRoadmap();
  return S_OK;
}

}  // namespace quorra::refhost
