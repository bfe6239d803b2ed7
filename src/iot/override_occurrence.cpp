// Override nodes and the occurrences they stand for: finding the occurrence
// in the owning document's live tree, and seeding a new node's display bits
// from it.
#include <algorithm>
#include <vector>

#include "quorra/attachment.h"
#include "quorra/host/container.h"
#include "quorra/host/modules.h"
#include "quorra/host/override_services.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/override_tree.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/iot";

quorra::host::LateBoundFunction<GetPersistManagerSignature> gGetPersistManager(L"dulcet.dll", "GetPersistManager");
quorra::host::LateBoundFunction<JAsmGetIDSAsmTreeSignature> gGetIDSAsmTree(L"brenik.dex", "JAsmGetIDSAsmTree");

// The reference property bit that hides an occurrence in its subassembly.
constexpr DWORD kRefHideInSubassembly = 0x40000;

// The reference property word of the document the occurrence places. The
// host's component interface answers no property words here, so the word
// comes from what the attachment keeps of it (user data 8).
DWORD ReferencePropertyWord(const OccurrenceNode* occurrence) {
  const AttachmentNode* attachment = occurrence->GetAttachment();
  if (!attachment) return 0;
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(attachment->GetUserData(UD_REF_PROPERTIES, nullptr)));
}

}  // namespace

HRESULT JIDSOverride::GetOccurrenceNode(OccurrenceNode** out) const {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  JIDSOverrideTree* tree = GetTree();
  if (!tree) return E_FAIL;
  std::vector<DWORD> ids;
  for (const JIDSOverride* node = this; node->parent_; node = node->parent_) ids.push_back(node->attachmentId_);
  std::reverse(ids.begin(), ids.end());

  IUnknown* document = tree->GetAssembly(IID_IUnknown);
  if (!document) return E_FAIL;
  IUnknown* persistManager = nullptr;
  HRESULT hr = E_FAIL;
  if (auto* getPersistManager = gGetPersistManager.Get()) hr = getPersistManager(document, &persistManager);
  document->Release();
  if (FAILED(hr) || !persistManager) return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverride::GetOccurrenceNode");
  AsmTree* asmTree = nullptr;
  hr = E_FAIL;
  if (auto* getTree = gGetIDSAsmTree.Get()) hr = getTree(persistManager, &asmTree, 1);
  persistManager->Release();
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverride::GetOccurrenceNode");
  if (!asmTree) return E_POINTER;
  AssemblyOccurrence* root = asmTree->GetRootAssembly();
  if (!root) return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverride::GetOccurrenceNode");
  OccurrenceNode* found = ids.empty() ? root : root->Bind(static_cast<DWORD>(ids.size()), ids.data());
  if (!found) return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverride::GetOccurrenceNode");
  *out = found;
  return S_OK;
}

HRESULT JIDSOverride::CopyOccurrenceProps() {
  OccurrenceNode* occurrence = nullptr;
  if (FAILED(GetOccurrenceNode(&occurrence)) || !occurrence) return S_FALSE;
  DWORD props = dwProps_;
  DWORD propsEx = dwPropsEx_;
  if (occurrence->IsHidden()) {
    const bool inSubassembly =
        (ReferencePropertyWord(occurrence) & kRefHideInSubassembly) || occurrence->IsHiddenInSubassembly();
    AssemblyOccurrence* parent = occurrence->GetParent();
    if (!inSubassembly || !parent || parent == occurrence->GetRootAssembly()) props |= IOT_HIDDEN;
  }
  struct Shown {
    bool shown;
    DWORD bit;
  };
  const Shown shown[] = {
      {occurrence->IsSimplified(), IOT_SIMPLIFIED},
      {occurrence->GetRefPlanesDisplay(), IOT_REFPLANES_ON},
      {occurrence->GetRefAxesDisplay(), IOT_REFAXES_ON},
      {occurrence->GetCoordSysDisplay(), IOT_COORDSYS_ON},
      {occurrence->GetSketchesDisplay(), IOT_SKETCHES_ON},
      {occurrence->GetSurfacesDisplay(), IOT_SURFACES_ON},
      {occurrence->GetCurvesDisplay(), IOT_CURVES_ON},
      {occurrence->GetAsLastSavedDisplay(), IOT_AS_LASTSAVED},
      {occurrence->GetDimensionsDisplay(), IOT_DIMENSIONS_ON},
      {occurrence->GetAnnotationsDisplay(), IOT_ANNOTATIONS_ON},
  };
  for (const Shown& s : shown)
    if (s.shown) props |= s.bit;
  if (occurrence->GetLiveSectionsDisplay()) propsEx |= IOTX_LIVESECTIONS_ON;
  if (occurrence->GetCenterLineDisplay()) propsEx |= IOTX_CENTERLINES_ON;
  if (!occurrence->GetDesignBodiesDisplay()) propsEx |= IOTX_DESIGNBODIES_OFF;
  if (!occurrence->GetDecalsDisplay()) propsEx |= IOTX_DECALS_OFF;
  if (!occurrence->GetPointCloudsDisplay()) propsEx |= IOTX_POINTCLOUDS_OFF;
  dwProps_ = props;
  dwPropsEx_ = propsEx;
  return S_OK;
}
