// Graphic contexts opened and closed by a tree, and cutaway buffers.
#include "quorra/graphic_context.h"

#include <algorithm>
#include <memory>
#include <new>

#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/tree";
constexpr DWORD kContextInUse = 0x4;
}  // namespace

CutawayContext::CutawayContext(int size) {
  if (size > 0) SetSize(size);
}

CutawayContext::~CutawayContext() { FreeArrays(); }

void CutawayContext::FreeArrays() {
  delete[] ids_;
  delete[] infos_;
  delete[] typedGraphics_;
  ids_ = nullptr;
  infos_ = nullptr;
  typedGraphics_ = nullptr;
}

int CutawayContext::SetSize(int n) {
  if (n > size_) {
    FreeArrays();
    ids_ = new (std::nothrow) DWORD[n]();
    infos_ = new (std::nothrow) GraphicInfo[n];
    typedGraphics_ = new (std::nothrow) IJTypedGraphic*[n]();
    if (!ids_ || !infos_ || !typedGraphics_) {
      FreeArrays();
      size_ = 0;
      return 0;
    }
    size_ = n;
  }
  for (int i = 0; i < size_; ++i) {
    typedGraphics_[i] = nullptr;
    infos_[i].FreeBuffers();
    ids_[i] = 0;
  }
  return size_;
}

HRESULT CutawayContext::BeginAccess(int count, const GraphicInfo* records) {
  SetSize(count);
  if (records)
    for (int i = 0; i < std::min(count, size_); ++i) infos_[i] = records[i];
  return S_OK;
}

HRESULT CutawayContext::EndAccess(int first, int count) {
  if (count < 1) count = size_;
  for (int i = std::max(first, 0); i < first + count && i < size_; ++i) {
    if (typedGraphics_[i]) {
      typedGraphics_[i]->EndAccess();
      typedGraphics_[i] = nullptr;
    }
  }
  return S_OK;
}

JGraphicContext* AsmTree::BeginGraphicContext(CutawayContext** out) {
  if (out) *out = nullptr;
  JGraphicContext* context = graphicContext_;
  if (!context) return nullptr;
  context->SetFlags(context->GetFlags() | kContextInUse);
  if (context->HasCutaway() && context->GetRoadmap()) {
    // The context draws with the tree's own roadmap while it is open; its
    // roadmap waits in the IPA slot.
    ipaRoadmap_ = context->GetRoadmap();
    contextRoadmapSaved_ = true;
    context->SetRoadmap(treeRoadmap_);
    if (out) *out = new (std::nothrow) CutawayContext(1);
  }
  return context;
}

HRESULT AsmTree::EndGraphicContext(JGraphicContext* context, CutawayContext*) {
  if (!graphicContext_) return E_UNEXPECTED;
  if (!context) context = graphicContext_;
  context->SetFlags(context->GetFlags() & ~kContextInUse);
  if (contextRoadmapSaved_) {
    context->SetRoadmap(ipaRoadmap_);
    ipaRoadmap_ = nullptr;
    contextRoadmapSaved_ = false;
  }
  return S_OK;
}

HRESULT AsmTree::ApplyCutaway(JGraphicContext* context, CutawayContext* cutaway) {
  if (!context || !context->HasCutaway()) return E_FAIL;
  if (!partSites_ || partSites_->GetCount() == 0) return E_NOTIMPL;
  std::unique_ptr<CutawayContext> owned;
  if (!cutaway) {
    owned.reset(new (std::nothrow) CutawayContext(1));
    if (!owned) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AsmTree::ApplyCutaway");
    cutaway = owned.get();
  }
  for (SiteNode* node : partSites_->Nodes()) {
    auto* site = static_cast<PartSite*>(node);
    NodeList<OccurrenceNode>* occurrences = site->GetOccurrencesList();
    if (!site->IsLite() || occurrences->IsEmpty()) continue;
    int count = 0;
    GraphicInfo* items = nullptr;
    if (FAILED(site->BeginAccess(context, &count, &items)) || count <= 0) continue;
    cutaway->BeginAccess(count, items);
    for (OccurrenceNode* occurrence : *occurrences) {
      if (!occurrence->IsDisplayable()) continue;
      const tagGBox* range = occurrence->GetRange();
      if (!(context->GetClipVolume() && *range)) continue;
      SiteNode::GetCaches(site, occurrence->GetGraphicContext(), count, items, cutaway);
    }
    cutaway->EndAccess(0, 0);
    site->EndAccess(context, count, items);
  }
  return E_NOTIMPL;
}

tagGBox AsmTree::GetAnimatedRange(JGraphicContext* context) {
  bool wasFlushing = IsRangeCacheFlushInProgress();
  properties_ |= ASMTREE_FLUSHING_RANGE_CACHE;
  JGraphicContext* previous = graphicContext_;
  graphicContext_ = context;
  // Scene population fills the default scene here once display exists; the
  // range below depends only on the occurrences' animated placements.
  if (context) context->SetFlags(context->GetFlags() | kContextInUse);
  if (AssemblyOccurrence* root = GetRootAssembly()) root->RefreshRange(REFRESH_RANGE_FULL);
  if (context) context->SetFlags(context->GetFlags() & ~kContextInUse);
  graphicContext_ = previous;
  if (!wasFlushing) properties_ &= ~ASMTREE_FLUSHING_RANGE_CACHE;
  return GetRange(1);
}
