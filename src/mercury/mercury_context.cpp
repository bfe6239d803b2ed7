// Mercury's context: the setters, the lazy resolution of the occurrence and
// of the override table, and the change notification.
#include "quorra/mercury.h"

#include <new>

#include "core/tree_registry.h"
#include "quorra/host/modules.h"
#include "quorra/host/override_services.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/override_tree.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";

quorra::host::LateBoundFunction<JAsmGetIDSAsmTreeSignature> gGetIDSAsmTree(L"brenik.dex", "JAsmGetIDSAsmTree");
quorra::host::LateBoundFunction<JAsmGetFileNameSignature> gGetFileName(L"brenik.dex", "JAsmGetFileName");

constexpr DWORD kRequestKinds = RC_IOT | RC_OCCURRENCE | RC_TOP_LEVEL | RC_BY_DOCUMENT;
constexpr DWORD kAllStateBits = 0xF;

// Replaces a counted reference by the IUnknown identity of `object`.
HRESULT StoreIdentity(IUnknown*& slot, IUnknown* object) {
  if (slot) {
    slot->Release();
    slot = nullptr;
  }
  if (!object) return S_OK;
  return object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&slot));
}

HRESULT GetOverrideHolder(IUnknown* document, quorra::host::ComPtr<IJOverrideTreeHolder>* holder) {
  HRESULT hr = JGetIOT(document, IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder->Put()));
  if (FAILED(hr)) return hr;
  return holder->Get() ? S_OK : E_POINTER;
}

}  // namespace

// ---- lifecycle ----

Mercury::Mercury(const Mercury& other)
    : state_(other.state_),
      document_(other.document_),
      roadmap_(other.roadmap_),
      tree_(other.tree_),
      occurrence_(other.occurrence_),
      topLevelTrees_(other.topLevelTrees_),
      iot_(other.iot_),
      override_(other.override_),
      favouredDocument_(other.favouredDocument_) {
  if (document_) document_->AddRef();
  if (favouredDocument_) favouredDocument_->AddRef();
}

Mercury& Mercury::operator=(const Mercury& other) {
  if (this == &other) return *this;
  if (other.document_) other.document_->AddRef();
  if (other.favouredDocument_) other.favouredDocument_->AddRef();
  Clear();
  state_ = other.state_;
  document_ = other.document_;
  roadmap_ = other.roadmap_;
  tree_ = other.tree_;
  occurrence_ = other.occurrence_;
  topLevelTrees_ = other.topLevelTrees_;
  iot_ = other.iot_;
  override_ = other.override_;
  favouredDocument_ = other.favouredDocument_;
  return *this;
}

Mercury::~Mercury() { Clear(); }

void Mercury::Clear() {
  state_ &= ~kAllStateBits;
  StoreIdentity(document_, nullptr);
  StoreIdentity(favouredDocument_, nullptr);
  tree_ = nullptr;
  occurrence_ = nullptr;
  iot_ = nullptr;
  override_ = nullptr;
}

// ---- setters ----

HRESULT Mercury::SetDocument(IUnknown* document) { return StoreIdentity(document_, document); }

HRESULT Mercury::SetDocumentToFavourForResolveContext(IUnknown* document) {
  return StoreIdentity(favouredDocument_, document);
}

HRESULT Mercury::SetRoadmap(JMemberRoadmap* roadmap) {
  if (roadmap && !document_) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "Mercury::SetRoadmap");
  roadmap_.Clear();
  if (!roadmap) return S_OK;
  quorra::host::ComPtr<IJOverrideTreeHolder> holder;
  HRESULT hr = GetOverrideHolder(document_, &holder);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetRoadmap");
  hr = holder->ConvertMemberRoadmap(roadmap, &roadmap_);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetRoadmap");
  return hr;
}

HRESULT Mercury::SetRoadmap(DisplayRoadmap* roadmap) {
  if (roadmap && !document_) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "Mercury::SetRoadmap");
  roadmap_.Clear();
  if (!roadmap) return S_OK;
  HRESULT hr = roadmap_.AddLinks(roadmap->GetEntryCount(), roadmap->GetData());
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetRoadmap");
  return S_OK;
}

// The document-and-roadmap contexts take either kind of roadmap the same way.
template <typename Roadmap>
HRESULT Mercury::SetDocumentContext(IUnknown* document, Roadmap* roadmap) {
  Clear();
  HRESULT hr = SetDocument(document);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetContext");
  hr = SetRoadmap(roadmap);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetContext");
  return hr;
}

template <typename Roadmap>
HRESULT Mercury::SetFavouredDocumentContext(IUnknown* document, Roadmap* roadmap, IUnknown* favoured) {
  HRESULT hr = SetContext(document, roadmap);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetContextEx");
  hr = SetDocumentToFavourForResolveContext(favoured);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetContextEx");
  return hr;
}

HRESULT Mercury::SetContext(IUnknown* document, JMemberRoadmap* roadmap) {
  return SetDocumentContext(document, roadmap);
}

HRESULT Mercury::SetContext(IUnknown* document, DisplayRoadmap* roadmap) {
  return SetDocumentContext(document, roadmap);
}

HRESULT Mercury::SetContextEx(IUnknown* document, JMemberRoadmap* roadmap, IUnknown* favoured) {
  return SetFavouredDocumentContext(document, roadmap, favoured);
}

HRESULT Mercury::SetContextEx(IUnknown* document, DisplayRoadmap* roadmap, IUnknown* favoured) {
  return SetFavouredDocumentContext(document, roadmap, favoured);
}

HRESULT Mercury::SetContext(OccurrenceNode* occurrence) {
  Clear();
  occurrence_ = occurrence;
  SetDocument(nullptr);
  return SetRoadmap(static_cast<JMemberRoadmap*>(nullptr));
}

// ---- resolution ----

HRESULT Mercury::ResolveContext(DWORD flags) {
  if (flags == 0) return E_INVALIDARG;
  if (!document_ && !occurrence_) return E_UNEXPECTED;
  DWORD kinds = flags & kRequestKinds;
  if (kinds & (kinds - 1)) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "Mercury::ResolveContext");

  if (flags & RC_IOT) {
    if (state_ & kIOTResolved) return S_OK;
    iot_ = nullptr;
    override_ = nullptr;
    HRESULT hr = ResolveIOT();
    if (FAILED(hr)) return hr;
    if (!iot_) return E_POINTER;
    state_ |= kIOTResolved;
    iot_->GetOverride(roadmap_.GetEntryCount(), roadmap_.GetData(), &override_);  // null when no node yet
    return S_OK;
  }

  if (flags & RC_OCCURRENCE) {
    if (state_ & kOccurrenceResolved) return S_OK;
    if (document_) {
      tree_ = nullptr;
      occurrence_ = nullptr;
      state_ &= ~(kFoundByDocument | kTopLevelBuilt);
      auto* getTree = gGetIDSAsmTree.Get();
      HRESULT hr = getTree ? getTree(document_, &tree_, (flags & RC_FOR_UPDATE) ? 0 : 1) : E_FAIL;
      if (SUCCEEDED(hr) && tree_) {
        hr = ResolveOccurrence(nullptr);
        if (FAILED(hr)) return hr;
        state_ |= kOccurrenceResolved;
        return hr;
      }
      tree_ = nullptr;
      flags |= RC_BY_DOCUMENT;
    } else {
      tree_ = occurrence_->GetAsmTree();
      if (!tree_) return E_FAIL;
      ResolveOccurrenceDocument();
      state_ |= kOccurrenceResolved;
      return S_OK;
    }
  }

  if (flags & (RC_TOP_LEVEL | RC_BY_DOCUMENT)) {
    if (state_ & (kFoundByDocument | kTopLevelBuilt)) return S_OK;
    topLevelTrees_.clear();
    HRESULT hr = BuildTopLevelTrees();
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::ResolveContext");
    if (topLevelTrees_.empty()) return E_UNEXPECTED;
    state_ |= kTopLevelBuilt;
    if (!(flags & RC_BY_DOCUMENT)) return S_OK;
    if (!document_) {
      tree_ = topLevelTrees_.front();
      return tree_ ? S_OK : E_FAIL;
    }
    return FindOccurrenceByDocument();
  }
  return S_OK;
}

HRESULT Mercury::ResolveOccurrence(AssemblyOccurrence* start) {
  occurrence_ = nullptr;
  if (roadmap_.GetEntryCount() != 0) {
    if (!start && tree_) start = tree_->GetRootAssembly();
    if (!start) return E_FAIL;
    occurrence_ = start->Bind(roadmap_.GetEntryCount(), roadmap_.GetData());
    return occurrence_ ? S_OK : E_FAIL;
  }
  if (start)
    occurrence_ = start;
  else if (tree_)
    occurrence_ = tree_->GetRootAssembly();
  return S_OK;
}

HRESULT Mercury::ResolveOccurrenceDocument() {
  if (!occurrence_) return E_INVALIDARG;
  SetDocument(nullptr);
  AssemblyOccurrence* root = occurrence_->GetRootAssembly();
  SiteNode* site = root ? root->GetSite() : nullptr;
  if (!site) return E_FAIL;
  IUnknown* document = nullptr;
  if (FAILED(site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(&document))) || !document) return S_OK;
  document_ = document;  // the reference GetDocument gave
  DisplayRoadmap roadmap;
  occurrence_->GetDisplayRoadmap(&roadmap);  // the root's roadmap is empty
  HRESULT hr = SetRoadmap(&roadmap);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::ResolveOccurrenceDocument");
  return hr;
}

HRESULT Mercury::ResolveIOT() {
  if (state_ & kIOTResolved) return S_OK;
  if (!(document_ && roadmap_.GetEntryCount() != 0)) {
    if (occurrence_) {
      HRESULT hr = ResolveOccurrenceDocument();
      if (FAILED(hr)) return hr;
      if (!document_) return E_POINTER;
    } else if (!document_) {
      return QUORRA_TRACE_FAIL(E_UNEXPECTED, "Mercury::ResolveIOT");
    }
  }
  quorra::host::ComPtr<IJOverrideTreeHolder> holder;
  HRESULT hr = GetOverrideHolder(document_, &holder);
  if (FAILED(hr)) return hr;
  hr = holder->GetOverrideTree(&iot_, 0);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::ResolveIOT");
  if (!iot_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::ResolveIOT");
  return S_OK;
}

// Every live tree whose root site is not a drawing's, in the order of the
// live-tree set.
HRESULT Mercury::BuildTopLevelTrees() {
  try {
    for (AsmTree* tree : quorra::LiveTrees()) {
      AssemblyOccurrence* root = tree->GetRootAssembly();
      SiteNode* site = root ? root->GetSite() : nullptr;
      if (site && (site->GetFlags() & SITE_TRUE_TYPE_DRAFT)) continue;
      topLevelTrees_.push_back(tree);
    }
  } catch (const std::bad_alloc&) {
    topLevelTrees_.clear();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

// Looks for the document's file among the top-level trees' sites. Of the
// site's occurrences an IPA one wins outright; otherwise the first shown
// one (or a hidden one directly below its root), else the last seen.
HRESULT Mercury::FindOccurrenceByDocument() {
  auto* getFileName = gGetFileName.Get();
  GUserText name;
  HRESULT hr = getFileName ? getFileName(document_, &name) : E_FAIL;
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::ResolveContext");
  OccurrenceNode* ipa = nullptr;
  OccurrenceNode* candidate = nullptr;
  OccurrenceNode* last = nullptr;
  HRESULT found = E_FAIL;
  for (AsmTree* tree : topLevelTrees_) {
    if (ipa) break;
    SiteNode* site = nullptr;
    found = tree->FindSite(name.GetText(), &site);
    if (FAILED(found) || !site) continue;
    tree_ = tree;
    state_ |= kFoundByDocument;
    const NodeList<OccurrenceNode>* occurrences = site->GetOccurrencesList();
    for (DWORD i = 0; i < occurrences->GetCount(); ++i) {
      OccurrenceNode* occurrence = occurrences->GetAt(i);
      if (!occurrence) continue;
      last = occurrence;
      if (occurrence->IsIPA()) {
        ipa = occurrence;
        break;
      }
      if (!candidate && (!occurrence->IsHiddenInSubassembly() ||
                         occurrence->GetParent() == occurrence->GetRootAssembly()))
        candidate = occurrence;
    }
  }
  OccurrenceNode* start = ipa ? ipa : candidate ? candidate : last;
  if (!start) return found;
  if (roadmap_.GetEntryCount() == 0) {
    occurrence_ = start;
    return S_OK;
  }
  if (!start->IsAssembly()) return E_FAIL;  // a part has nothing below it
  return ResolveOccurrence(static_cast<AssemblyOccurrence*>(start));
}

// ---- access ----

HRESULT Mercury::GetOccurrenceNode(OccurrenceNode** out) {
  HRESULT hr = ResolveContext(RC_OCCURRENCE);
  if (!occurrence_) return E_POINTER;
  if (out) *out = occurrence_;
  return hr;
}

HRESULT Mercury::GetOverride(JIDSOverride** out) {
  if (!out) return E_INVALIDARG;
  HRESULT hr = ResolveContext(RC_IOT);
  if (SUCCEEDED(hr) && iot_ && override_) {
    *out = override_;
    return S_OK;
  }
  *out = nullptr;
  return E_FAIL;
}

HRESULT Mercury::UpdateIDS(DWORD flags) {
  if (!(flags & 0x3) || !(flags & 0xC)) return E_INVALIDARG;
  void* flagWord = reinterpret_cast<void*>(static_cast<uintptr_t>(flags));
  if (flags & 0x1) return JNotifyIDS(nullptr, nullptr, 28, flagWord);
  HRESULT hr = ResolveContext(RC_OCCURRENCE);
  if (SUCCEEDED(hr) && tree_) return JNotifyIDS(tree_, nullptr, 28, flagWord);
  if ((flags & 0x20) && document_) return JNotifyIDS(nullptr, document_, 31, flagWord);
  return hr;
}
