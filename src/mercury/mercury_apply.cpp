// Mercury's application and clearing of overrides on live occurrences: the
// choice of trees and starting sites, the walks below each start, and the
// step for one occurrence, which hands the document's override table to
// the host (or applies a site's own table).
#include <algorithm>
#include <new>
#include <vector>

#include "core/tree_registry.h"
#include "mercury/mercury_apply_internal.h"
#include "quorra/host/mercury_services.h"
#include "quorra/host/modules.h"
#include "quorra/host/override_services.h"
#include "quorra/host/styles.h"
#include "quorra/host/trace.h"
#include "quorra/mercury.h"
#include "quorra/occurrence.h"
#include "quorra/override_tree.h"
#include "quorra/site.h"
#include "quorra/tree.h"
#include "quorra/user_data.h"
#include "quorra/walk.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";

quorra::host::LateBoundFunction<JAsmGetIDSAsmTreeSignature> gGetIDSAsmTree(L"brenik.dex", "JAsmGetIDSAsmTree");
quorra::host::LateBoundFunction<JAsmGetFileNameSignature> gGetFileName(L"brenik.dex", "JAsmGetFileName");

// A site whose overrides are never applied (a true-type part).
constexpr DWORD kSkippedSiteFlags = SITE_TRUE_TYPE_PART;
// A site whose style library goes with its table (a true-type assembly).
constexpr DWORD kStyledSiteFlags = SITE_TRUE_TYPE_ASSEMBLY;
// A tree whose root site has this flag belongs to a drawing.
constexpr DWORD kDrawingSiteFlags = SITE_TRUE_TYPE_DRAFT;

// Applies overrides to every assembly below the walk's start, after its
// children (EndAssembly comes after the subtree).
class ApplyBelowCallback final : public TreeWalkCallback {
 public:
  ApplyBelowCallback(AssemblyOccurrence* start, DWORD flags) : start_(start), flags_(flags) {}
  HRESULT EndAssembly(AssemblyOccurrence* assembly, TreeWalkContext*) override {
    if (assembly != start_) quorra::ApplyOverridesToOccurrence(assembly, flags_);
    return WALK_CONTINUE;
  }

 private:
  AssemblyOccurrence* start_;
  DWORD flags_;
};

// Clears the overrides of every occurrence the walk visits.
class ClearBelowCallback final : public TreeWalkCallback {
 public:
  explicit ClearBelowCallback(DWORD flags) : flags_(flags) {}
  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext*) override {
    quorra::ClearOccurrenceOverrides(node, flags_);
    return WALK_CONTINUE;
  }

 private:
  DWORD flags_;
};

// Stops at the first in-place active occurrence.
class FindIPACallback final : public TreeWalkCallback {
 public:
  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext*) override {
    if (!node->IsIPA()) return WALK_CONTINUE;
    found_ = node;
    return WALK_ABORT;
  }
  OccurrenceNode* Found() const { return found_; }

 private:
  OccurrenceNode* found_ = nullptr;
};

// The document of a tree's root site (its IUnknown identity, not held).
IUnknown* RootDocument(AsmTree* tree) {
  AssemblyOccurrence* root = tree->GetRootAssembly();
  SiteNode* site = root ? root->GetSite() : nullptr;
  IUnknown* document = nullptr;
  if (!site || FAILED(site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(&document))) || !document)
    return nullptr;
  document->Release();
  return document;
}

// Where a run starts in a whole tree: the root, or with 0x400 in an IPA
// tree the first in-place active occurrence.
OccurrenceNode* WholeTreeStart(AsmTree* tree, DWORD flags) {
  AssemblyOccurrence* root = tree->GetRootAssembly();
  if (!root || !(flags & MERCURY_OVERRIDES_TOP_LEVEL_IPA) || !tree->IsIPA()) return root;
  if (root->IsIPA()) return root;
  FindIPACallback finder;
  root->Walk(&finder, nullptr, 0);
  return finder.Found() ? finder.Found() : root;
}
}  // namespace

HRESULT MyKVGetTopLevelDocsFromUpdateManager(std::set<IUnknown*>* documents) {
  if (!documents) return E_INVALIDARG;
  quorra::host::ComPtr<IJUpdateManager> manager;
  HRESULT hr = JCoCreateInstance(CLSID_JUpdateManager, nullptr, 1, IID_IJUpdateManager,
                                 reinterpret_cast<void**>(manager.Put()), 1);
  if (FAILED(hr) || !manager) return E_FAIL;
  return manager->GetTopLevelDocuments(documents);
}

namespace quorra {

DWORD MapMercuryApplyFlags(DWORD flags) {
  static constexpr struct {
    DWORD mercury;
    DWORD apply;
  } kMapping[] = {
      {MERCURY_OVERRIDES_STYLE, 0x1},
      {MERCURY_OVERRIDES_MATRIX, 0x2},
      {MERCURY_OVERRIDES_SOLVER_STATUS, 0x4},
      {MERCURY_OVERRIDES_BODY, 0x8},
      {MERCURY_OVERRIDES_DISPLAY, 0x10},
      {MERCURY_OVERRIDES_VARIABLES, 0x20},
      {MERCURY_OVERRIDES_ADAPTABLE, 0x80},
      {MERCURY_OVERRIDES_SKIP_IPA, 0x100},
      {MERCURY_OVERRIDES_ADJUSTABLE_PART, 0x1000},
      {MERCURY_OVERRIDES_BODY_ONE_STEP, 0x2000},
      {MERCURY_OVERRIDES_CONSTRAINTS, 0x4000},
  };
  DWORD mapped = 0;
  for (const auto& entry : kMapping)
    if (flags & entry.mercury) mapped |= entry.apply;
  return mapped;
}

HRESULT ApplyOverridesToOccurrence(OccurrenceNode* occurrence, DWORD flags) {
  if (!occurrence) return E_INVALIDARG;
  SiteNode* site = occurrence->GetSite();
  if (!site || (site->GetFlags() & kSkippedSiteFlags)) return S_OK;
  const DWORD applyFlags = MapMercuryApplyFlags(flags);

  host::ComPtr<IUnknown> document;
  if (SUCCEEDED(site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document.Put()))) && document) {
    host::ComPtr<IJOverrideTreeHolder> holder;
    HRESULT hr = JGetIOT(document.Get(), IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put()));
    if (SUCCEEDED(hr) && holder) hr = holder->ApplyOverrides(occurrence, applyFlags);
    if (FAILED(hr)) QUORRA_TRACE_FAIL(hr, "ApplyOverride");
    return S_OK;
  }

  // A site without a document keeps its table itself, or reaches it through
  // its graphic support object.
  auto* iot = static_cast<JIDSOverrideTree*>(site->GetUserData(UD_IOT, nullptr));
  if (!iot) {
    auto* support = static_cast<IJGraphicSupport*>(site->GetUserData(UD_GRAPHIC_SUPPORT, nullptr));
    host::ComPtr<IJOverrideTreeHolder> holder;
    if (support && SUCCEEDED(support->GetService(IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put()))) &&
        holder)
      holder->GetOverrideTree(&iot, 0);
  }
  if (!iot || !occurrence->IsAssembly()) return S_OK;
  auto* styleLibrary = (site->GetFlags() & kStyledSiteFlags)
                           ? static_cast<IJStyleLibrary*>(site->GetUserData(UD_STYLE_LIBRARY, nullptr))
                           : nullptr;
  HRESULT hr = iot->Apply(styleLibrary, static_cast<AssemblyOccurrence*>(occurrence), applyFlags);
  if (FAILED(hr)) QUORRA_TRACE_FAIL(hr, "ApplyOverride");
  return S_OK;
}

HRESULT ClearOccurrenceOverrides(OccurrenceNode* occurrence, DWORD flags) {
  if (!occurrence) return E_INVALIDARG;
  HRESULT result = S_OK;
  auto keep = [&result](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  };
  if (flags & MERCURY_OVERRIDES_MATRIX) {
    keep(occurrence->SetOverrideMatrix(nullptr));
    keep(occurrence->SetOverrideSolverStatus(0));
  }
  if (flags & MERCURY_OVERRIDES_VARIABLES) keep(occurrence->ClearOverrideVariables());
  if (flags & MERCURY_OVERRIDES_BODY) keep(occurrence->SetOverrideBodyData(nullptr));
  if (flags & MERCURY_OVERRIDES_ADAPTABLE) keep(occurrence->ClearAdaptable());
  if (flags & MERCURY_OVERRIDES_ADJUSTABLE_PART) keep(occurrence->ClearAdjustablePart());
  return result;
}

}  // namespace quorra

// ---- Mercury ----

HRESULT Mercury::ApplyOverrides(DWORD flags) { return RunOverrides(flags, true, "Mercury::ApplyOverrides"); }

HRESULT Mercury::ClearOverrides(DWORD flags) { return RunOverrides(flags, false, "Mercury::ClearOverrides"); }

HRESULT Mercury::ApplyOverrides(IUnknown* document, DWORD flags) {
  SetDocument(document);
  if (!document_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::ApplyOverrides");
  return ApplyOverrides(flags);
}

HRESULT Mercury::ClearOverrides(IUnknown* document, DWORD flags) {
  SetDocument(document);
  if (!document_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::ClearOverrides");
  return ClearOverrides(flags);
}

HRESULT Mercury::RunOverrides(DWORD flags, bool apply, const char* operation) {
  const bool haveDocument = (flags & MERCURY_OVERRIDES_TOP_LEVEL) || document_;
  const bool haveOccurrence = (flags & MERCURY_OVERRIDES_OWN_TREE) && occurrence_;
  if (!haveDocument && !haveOccurrence) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);

  // The trees, and either whole-tree mode or the name of the site to find.
  std::vector<AsmTree*> trees;
  bool wholeTree = true;
  GUserText siteName;
  try {
    if (apply && (flags & MERCURY_OVERRIDES_DOCUMENT_TREE)) {
      AsmTree* tree = nullptr;
      auto* getTree = gGetIDSAsmTree.Get();
      if (document_ && getTree) getTree(document_, &tree, 1);
      if (!tree) return QUORRA_TRACE_FAIL(E_POINTER, operation);
      trees.push_back(tree);
    } else if (flags & (MERCURY_OVERRIDES_TOP_LEVEL | MERCURY_OVERRIDES_TOP_LEVEL_IPA)) {
      std::set<IUnknown*> documents;
      HRESULT hr = MyKVGetTopLevelDocsFromUpdateManager(&documents);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
      if (documents.empty()) {
        hr = ResolveContext(RC_TOP_LEVEL);
        if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
        trees = topLevelTrees_;
      } else {
        for (AsmTree* tree : quorra::LiveTrees()) {
          if (tree->IsStructureCache()) continue;
          AssemblyOccurrence* root = tree->GetRootAssembly();
          SiteNode* rootSite = root ? root->GetSite() : nullptr;
          if (!rootSite || (rootSite->GetFlags() & kDrawingSiteFlags)) continue;
          if (documents.count(RootDocument(tree))) trees.push_back(tree);
        }
      }
    } else if (flags & MERCURY_OVERRIDES_OWN_TREE) {
      AsmTree* tree = occurrence_ ? occurrence_->GetAsmTree() : nullptr;
      AssemblyOccurrence* root = tree ? tree->GetRootAssembly() : nullptr;
      SiteNode* rootSite = root ? root->GetSite() : nullptr;
      SiteNode* site = occurrence_ ? occurrence_->GetSite() : nullptr;
      if (!rootSite || !(rootSite->GetFlags() & kDrawingSiteFlags) || !site)
        return QUORRA_TRACE_FAIL(E_POINTER, operation);
      trees.push_back(tree);
      wholeTree = false;
      siteName = site->GetFilePath(true);
    } else {
      HRESULT hr = ResolveContext(RC_TOP_LEVEL);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
      trees = topLevelTrees_;
      wholeTree = false;
      auto* getFileName = gGetFileName.Get();
      hr = getFileName ? getFileName(document_, &siteName) : E_FAIL;
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
    }
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, operation);
  }

  HRESULT result = S_OK;
  for (AsmTree* tree : trees) {
    SiteNode* site = nullptr;
    if (wholeTree) {
      OccurrenceNode* start = WholeTreeStart(tree, flags);
      site = start ? start->GetSite() : nullptr;
    } else {
      result = tree->FindSite(siteName.GetText(), &site);
    }
    if (site) result = apply ? ApplyOverridesHelper(flags, site) : ClearOverridesHelper(flags, site);
  }
  return result;
}

HRESULT Mercury::ApplyOverridesHelper(DWORD flags, SiteNode* site) {
  if (!site) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::ApplyOverridesHelper");
  const NodeList<OccurrenceNode>* occurrences = site->GetOccurrencesList();
  for (DWORD i = 0; i < occurrences->GetCount(); ++i) {
    OccurrenceNode* occurrence = occurrences->GetAt(i);
    if (!occurrence || !occurrence->IsAssembly()) continue;
    auto* assembly = static_cast<AssemblyOccurrence*>(occurrence);
    if (flags & MERCURY_OVERRIDES_WALK) {
      ApplyBelowCallback below(assembly, flags);
      HRESULT hr = assembly->Walk(&below, nullptr, 0);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::ApplyOverridesHelper");
    }
    if (!(flags & MERCURY_OVERRIDES_SKIP_START)) {
      HRESULT hr = quorra::ApplyOverridesToOccurrence(assembly, flags);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::ApplyOverridesHelper");
    }
  }
  return S_OK;
}

HRESULT Mercury::ClearOverridesHelper(DWORD flags, SiteNode* site) {
  if (!site) return QUORRA_TRACE_FAIL(E_INVALIDARG, "Mercury::ClearOverridesHelper");
  const NodeList<OccurrenceNode>* occurrences = site->GetOccurrencesList();
  for (DWORD i = 0; i < occurrences->GetCount(); ++i) {
    OccurrenceNode* occurrence = occurrences->GetAt(i);
    if (!occurrence) continue;
    if (!(flags & MERCURY_OVERRIDES_SKIP_START)) {
      HRESULT hr = quorra::ClearOccurrenceOverrides(occurrence, flags);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::ClearOverridesHelper");
    }
    if ((flags & MERCURY_OVERRIDES_WALK) && occurrence->IsAssembly()) {
      ClearBelowCallback below(flags);
      HRESULT hr = static_cast<AssemblyOccurrence*>(occurrence)->Walk(&below, nullptr, 0);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::ClearOverridesHelper");
    }
  }
  return S_OK;
}
