// The per-kind apply steps: each copies one kind of override value from an
// override node onto its live occurrence, and records the apply source on
// the occurrences it changes while override tracking is on.
#include <cstring>
#include <memory>
#include <new>

#include "iot/override_apply_internal.h"
#include "quorra/attachment.h"
#include "quorra/host/apply_services.h"
#include "quorra/host/modules.h"
#include "quorra/host/trace.h"
#include "quorra/override_body_data.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/iot";

inline void* AsValue(DWORD v) { return reinterpret_cast<void*>(static_cast<uintptr_t>(v)); }
inline DWORD AsDword(void* p) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p)); }

quorra::host::LateBoundFunction<JAsmGetPartStyleLibSignature> gGetPartStyleLib(L"brenik.dex", "JAsmGetPartStyleLib");

// The occurrence-display state that an occurrence-property override of
// `type` sets; false for the types that set none.
bool SetOccurrencePropertyState(OccurrenceNode* occurrence, DWORD type, bool on) {
  switch (type) {
    case JOET_HIDE_IN_DRAWING:
      occurrence->SetHideInDrawing(on);
      return true;
    case JOET_HIDE_IN_SUBASSEMBLY:
      occurrence->SetHideInSubassembly(on);
      return true;
    case JOET_NOT_SELECTABLE:
      occurrence->SetNotSelectable(on);
      return true;
    case JOET_DISPLAY_AS_DRAFTREF:
      occurrence->SetDisplayAsReferenceInDraft(on);
      return true;
    case JOET_EXCLUDE_FROM_PHYPROPS:
      occurrence->SetExcludeFromPhysicalProperties(on);
      return true;
    case JOET_EXCLUDE_FROM_REPORTS:
      occurrence->SetExcludeFromReports(on);
      return true;
    case JOET_EXCLUDE_FROM_INTERFERENCE:
      occurrence->SetExcludeFromInterference(on);
      return true;
    default:
      return false;
  }
}

bool RootIsDrawing(OccurrenceNode* occurrence) {
  AssemblyOccurrence* root = occurrence->GetRootAssembly();
  SiteNode* site = root ? root->GetSite() : nullptr;
  return site && (site->GetFlags() & SITE_TRUE_TYPE_DRAFT);
}

DWORD SiteFlags(const OccurrenceNode* occurrence) {
  SiteNode* site = occurrence->GetSite();
  return site ? site->GetFlags() : 0;
}

}  // namespace

namespace quorra::iot {

// ---- shared helpers ----

ReferencedDocument::ReferencedDocument(const OccurrenceNode* occurrence) : occurrence_(occurrence) {
  const AttachmentNode* attachment = occurrence ? occurrence->GetAttachment() : nullptr;
  if (!attachment) return;
  // Most occurrences of a tree without documents have none: ask for the
  // member only where a container can answer, so that the usual absence is
  // not reported as a failure.
  IJOccurrenceContainer* container = nullptr;
  if (AssemblySite* parent = attachment->GetParentSite())
    parent->GetDocument(IID_IJOccurrenceContainer, reinterpret_cast<void**>(&container));
  SiteNode* site = attachment->GetAttachmentSite();
  if (!container && !(site && site->IsLocal())) return;
  if (container) container->Release();
  if (FAILED(occurrence->GetHelixReference(IID_IJComponent, reinterpret_cast<void**>(&component_))))
    component_ = nullptr;
}

ReferencedDocument::~ReferencedDocument() {
  if (component_) component_->Release();
}

DWORD ReferencedDocument::PropertyWord() const {
  DWORD word = 0;
  if (component_ && SUCCEEDED(component_->GetReferenceProperties(&word))) return word;
  const AttachmentNode* attachment = occurrence_ ? occurrence_->GetAttachment() : nullptr;
  return attachment ? AsDword(attachment->GetUserData(UD_REF_PROPERTIES, nullptr)) : 0;
}

DWORD ReferencedDocument::ExtendedWord() const {
  DWORD word = 0;
  if (component_ && SUCCEEDED(component_->GetComponentFlags(&word))) return word;
  const AttachmentNode* attachment = occurrence_ ? occurrence_->GetAttachment() : nullptr;
  return attachment ? AsDword(attachment->GetUserData(UD_REF_EXT_PROPERTIES, nullptr)) : 0;
}

bool HasConfigSettings(JIDSOverride* node) {
  if (!(node->GetProps() & IOT_HAVE_CONFIG_INFO)) return false;
  const ConfigSettingMap* map = node->GetConfigSettingMap(false);
  return map && !map->empty();
}

void ApplyDisplaySwitches(OccurrenceNode* occurrence, DWORD props, DWORD propsEx) {
  occurrence->SetCoordSysDisplay(props & IOT_COORDSYS_ON);
  occurrence->SetSketchesDisplay(props & IOT_SKETCHES_ON);
  occurrence->SetSurfacesDisplay(props & IOT_SURFACES_ON);
  occurrence->SetCurvesDisplay(props & IOT_CURVES_ON);
  occurrence->SetRefPlanesDisplay(props & IOT_REFPLANES_ON);
  occurrence->SetRefAxesDisplay(props & IOT_REFAXES_ON);
  occurrence->SetAsLastSavedDisplay(props & IOT_AS_LASTSAVED);
  occurrence->SetDimensionsDisplay(props & IOT_DIMENSIONS_ON);
  occurrence->SetAnnotationsDisplay(props & IOT_ANNOTATIONS_ON);
  occurrence->SetLiveSectionsDisplay(propsEx & IOTX_LIVESECTIONS_ON);
  occurrence->SetDesignBodiesDisplay(!(propsEx & IOTX_DESIGNBODIES_OFF));
  occurrence->SetCenterLineDisplay(propsEx & IOTX_CENTERLINES_ON);
  occurrence->SetDecalsDisplay(!(propsEx & IOTX_DECALS_OFF));
  occurrence->SetPointCloudsDisplay(!(propsEx & IOTX_POINTCLOUDS_OFF));
}

void MarkOverriddenAncestors(OccurrenceNode* occurrence, const void* source, DWORD bit) {
  for (OccurrenceNode* ancestor = occurrence->GetParent(); ancestor && ancestor != source;
       ancestor = ancestor->GetParent()) {
    int found = 0;
    const DWORD word = AsDword(ancestor->GetUserData(UD_HAVE_OVERRIDDEN_CHILD, &found));
    if (found && (word & bit)) continue;
    if (found) ancestor->RemoveUserData(UD_HAVE_OVERRIDDEN_CHILD);
    ancestor->AddUserData(UD_HAVE_OVERRIDDEN_CHILD, AsValue(word | bit));
  }
}

void ReplaceUserData(OccurrenceNode* occurrence, DWORD type, void* value) {
  occurrence->RemoveUserData(type);
  occurrence->AddUserData(type, value);
}

void SetHidden(OccurrenceNode* occurrence, bool hidden) {
  // An occurrence in the state asked for already has its subtree marked:
  // walking it again would make re-applying a table cost the whole tree.
  if (hidden == occurrence->IsHidden()) return;
  if (hidden)
    occurrence->Hide(TRUE);
  else
    occurrence->Show(TRUE);
}

void SetSimplified(OccurrenceNode* occurrence, bool simplified) {
  if (simplified)
    occurrence->SetSimplified();
  else
    occurrence->ClearSimplified();
}

}  // namespace quorra::iot

using namespace quorra::iot;

// ---- style and colour ----

HRESULT JIDSOverrideTree::ApplyStyle(IJStyleLibrary* styleLibrary, OccurrenceNode* occurrence, JIDSOverride* override,
                                     BOOL alternate) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyStyle");
  // A part always takes its style (an in-place-active one too: only its
  // geometry is the editor's). Anything else only when it is drawn as one
  // body, and never while it is being edited in place.
  if (!occurrence->IsPart()) {
    const bool styled =
        (SiteFlags(occurrence) & SITE_TRUE_TYPE_PART) || (occurrence->IsAssembly() && occurrence->IsSimplified());
    if (!styled || occurrence->IsIPA()) return S_OK;
  }
  DWORD style = override->GetStyle();
  if (alternate) {
    if (DWORD alt = override->GetAltStyle()) style = alt;
  }
  if (style == 0) return S_OK;
  if (style == 0xFFFFFFFFu) {
    // The part's own look: no symbology, and the style library of the part
    // document itself.
    occurrence->SetSymbology(0);
    IJStyleLibrary* own = nullptr;
    const ReferencedDocument reference(occurrence);
    auto fn = gGetPartStyleLib.Get();
    if (fn && reference && FAILED(fn(reference.Get(), &own))) own = nullptr;
    HRESULT hr = occurrence->SetStyleLibrary(own);
    if (own) own->Release();
    return hr;
  }
  occurrence->SetSymbology(style);
  if (override->GetPropsEx() & IOTX_DOC_ID) {
    ReplaceUserData(occurrence, UD_IOT_DOC_ID, AsValue(override->GetDocID()));
    return S_OK;
  }
  return occurrence->SetStyleLibrary(styleLibrary);
}

HRESULT JIDSOverrideTree::ApplyColorOverride(OccurrenceNode* occurrence, JIDSOverride* override) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyColorOverride");
  if (!occurrence->IsPart() && !occurrence->IsAssembly()) return S_OK;
  const DWORD color = override->GetColorOverride();
  return color ? occurrence->SetOverrideColor(color) : occurrence->ClearOverrideColor();
}

// ---- geometric kinds ----

HRESULT JIDSOverrideTree::ApplyMatrix(OccurrenceNode* occurrence, JIDSOverride* override) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyMatrix");
  if (!(override->GetProps() & IOT_OVERRIDE_MATRIX)) return S_OK;
  const tagG4x4* stored = override->GetMatrix();
  if (!stored) return S_OK;
  const tagGTransf transform(*stored);
  HRESULT hr = occurrence->SetOverrideMatrix(&transform);
  if (void* source = applySource_) {
    ReplaceUserData(occurrence, UD_XFORM_OVERRIDE_SOURCE, source);
    MarkOverriddenAncestors(occurrence, source, OVERRIDDEN_CHILD_MATRIX);
  }
  return hr;
}

HRESULT JIDSOverrideTree::ApplyStatus(OccurrenceNode* occurrence, JIDSOverride* override) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyStatus");
  if (!(override->GetProps() & IOT_OVERRIDE_STATUS)) return S_OK;
  DWORD status = 0;
  HRESULT hr = override->GetSolverStatus(&status);
  if (FAILED(hr)) return hr;
  return occurrence->SetOverrideSolverStatus(status);
}

HRESULT JIDSOverrideTree::ApplyVariables(OccurrenceNode* occurrence, JIDSOverride* override) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyVariables");
  if (!(override->GetProps() & IOT_OVERRIDE_VARIABLES)) return S_OK;
  auto* variables = static_cast<quorra::IOTVariableMap*>(override->GetUserData(UD_OVERRIDE_VARIABLES, nullptr));
  if (!variables) return S_OK;
  return occurrence->SetOverrideVariables(variables, 0);  // the occurrence keeps a copy
}

HRESULT JIDSOverrideTree::ApplyConstraints(OccurrenceNode* occurrence, JIDSOverride* override) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyConstraints");
  if (!(override->GetPropsEx() & IOTX_OVERRIDE_CONSTRAINTS)) return S_OK;
  quorra::IOTDwordMap* constraints = override->GetConstraints(false);
  if (!constraints) return S_OK;
  return occurrence->SetOverrideConstraints(constraints);
}

HRESULT JIDSOverrideTree::ApplyAdaptable(OccurrenceNode* occurrence, JIDSOverride* override) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyAdaptable");
  DWORD value = 0;
  if (override->GetAdaptable(&value) != S_OK || !(override->GetProps() & IOT_ADAPTABLE)) return S_OK;
  if (value == 0) return occurrence->ClearAdaptable();
  if (value == 1 && !occurrence->IsAdaptable()) return occurrence->SetAdaptable();
  return S_OK;
}

HRESULT JIDSOverrideTree::ApplyAdjustablePart(OccurrenceNode* occurrence, JIDSOverride* override) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyAdjustablePart");
  DWORD value = 0;
  if (override->GetAdjustablePart(&value) != S_OK || !(override->GetProps() & IOT_ADJUSTABLE_PART)) return S_OK;
  if (value == 1) return occurrence->SetAdjustablePart();
  if (value == 0) return occurrence->ClearAdjustablePart();
  return S_OK;
}

// ---- body ----

HRESULT JIDSOverrideTree::ApplyBody(OccurrenceNode* occurrence, JIDSOverride* override) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyBody");
  if (!occurrence->IsPart() && !(SiteFlags(occurrence) & SITE_TRUE_TYPE_PART)) return S_OK;
  if (!override->IsPart() || !(override->GetProps() & IOT_OVERRIDE_BODY)) return S_OK;
  JOverrideBodyData* body = override->GetBodyData();
  if (!body) return QUORRA_TRACE_FAIL(E_POINTER, "JIDSOverrideTree::ApplyBody");

  // A body populated afresh from the stored one, named by its own document
  // or else by this table's assembly.
  DWORD props = override->GetProps();
  auto populate = [&](const JOverrideBodyData& from, std::unique_ptr<JOverrideBodyData>* out) -> HRESULT {
    GUserText name = from.GetAssemblyName();
    if (name.IsEmpty()) {
      HRESULT hr = GetAssemblyName(&name);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::ApplyBody");
    }
    out->reset(new (std::nothrow) JOverrideBodyData());
    if (!*out) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverrideTree::ApplyBody");
    HRESULT hr = (*out)->PopulateEx(name.GetText(), from.GetVersionMap(), from.GetMatrix(), props);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::ApplyBody");
    return S_OK;
  };

  std::unique_ptr<JOverrideBodyData> current;
  HRESULT hr = populate(*body, &current);
  if (FAILED(hr)) return hr;
  hr = occurrence->SetOverrideBodyData(current.get());
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::ApplyBody");
  current.reset();

  JOverrideBodyData* previous = override->GetCurrentDocPreviousOverrideBodyData();
  if ((override->GetPropsEx() & IOTX_PREVIOUS_OVERRIDE_BODY) && previous) {
    std::unique_ptr<JOverrideBodyData> copy;
    hr = populate(*previous, &copy);
    if (FAILED(hr)) return hr;
    occurrence->RemoveUserData(UD_IOT_PREVIOUS_OVERRIDE_BODY);
    if (FAILED(occurrence->AddUserData(UD_IOT_PREVIOUS_OVERRIDE_BODY, copy.get())))
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverrideTree::ApplyBody");
    copy.release();  // the occurrence's user data owns it now
  }

  occurrence->ClearSimplified();
  if (void* source = applySource_) {
    ReplaceUserData(occurrence, UD_BODY_OVERRIDE_SOURCE, source);
    MarkOverriddenAncestors(occurrence, source, OVERRIDDEN_CHILD_BODY);
  }
  return S_OK;
}

// ---- display settings ----

HRESULT JIDSOverrideTree::ApplyDisplaySettings(OccurrenceNode* occurrence, JIDSOverride* override, DWORD flags) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyDisplaySettings");
  const DWORD props = override->GetProps();
  const DWORD propsEx = override->GetPropsEx();
  const ReferencedDocument reference(occurrence);
  const DWORD refWord = reference.PropertyWord();
  const DWORD refExtWord = reference.ExtendedWord();

  // Occurrence-property state: the override's own pairs, or in a drawing the
  // placement's reference words.
  if (propsEx & IOTX_OCC_PROPERTIES) {
    if (const quorra::OccPropertyOverrides* pairs = override->GetOccurrencePropertyOverrides(false))
      for (const auto& [type, value] : *pairs) SetOccurrencePropertyState(occurrence, type, value != 0);
  } else if (RootIsDrawing(occurrence)) {
    occurrence->SetHideInDrawing(refWord & REF_HIDE_IN_DRAWING);
    occurrence->SetHideInSubassembly(refWord & REF_HIDE_IN_SUBASSEMBLY);
    occurrence->SetNotSelectable(!(refWord & REF_SELECTABLE));
    occurrence->SetDisplayAsReferenceInDraft(refWord & REF_TRANSPARENT_IN_DRAFT);
    occurrence->SetExcludeFromPhysicalProperties(refWord & REF_EXCLUDE_FROM_PHYSICAL_PROPERTIES);
    occurrence->SetExcludeFromReports(refWord & REF_EXCLUDE_FROM_BOM);
    occurrence->SetExcludeFromInterference(refExtWord & REFX_EXCLUDE_FROM_INTERFERENCE);
  }

  // Hidden in its subassembly: counts as hidden below the root's children,
  // except for an in-place-active editing context, where the occurrence is
  // hidden at once and the override's own bit decides in the end.
  AssemblyOccurrence* parent = occurrence->GetParent();
  bool hiddenInSubassembly = false;
  if (occurrence->IsHiddenInSubassembly() && parent && parent != occurrence->GetRootAssembly()) {
    AsmTree* tree = occurrence->GetAsmTree();
    if (tree && tree->IsIPA() && (occurrence->IsIPA() || parent->IsIPA())) {
      SetHidden(occurrence, true);
      if (applySource_) MarkOverriddenAncestors(occurrence, applySource_, OVERRIDDEN_CHILD_HIDDEN);
    } else {
      hiddenInSubassembly = true;
    }
  }
  if ((props & IOT_HIDDEN) || hiddenInSubassembly || (refExtWord & REFX_HIDDEN)) {
    SetHidden(occurrence, true);
    if (applySource_) MarkOverriddenAncestors(occurrence, applySource_, OVERRIDDEN_CHILD_HIDDEN);
  } else {
    SetHidden(occurrence, false);
  }

  // Simplified.
  bool simplified = false;
  if (props & IOT_SIMPLIFIED) {
    if (reference) {
      BOOL shows = 0;
      simplified = SUCCEEDED(reference.Get()->GetSimplifiedForm(&shows)) && shows;
    } else if (occurrence->IsAssembly() &&
               (!(SiteFlags(occurrence) &
                  (SITE_TRUE_TYPE_ASSEMBLY | SITE_TRUE_TYPE_PART | SITE_TRUE_TYPE_FOREIGN | SITE_TRUE_TYPE_DRAFT)) ||
                (SiteFlags(occurrence) & SITE_TRUE_TYPE_ASSEMBLY))) {
      SiteNode* site = occurrence->GetSite();
      simplified = site && site->GetUserData(UD_SIMPLIFIED_ASM_VERSION, nullptr) != nullptr;
    } else {
      simplified = occurrence->IsPart();
    }
  }
  if ((occurrence->IsAssembly() && occurrence->IsIPA()) || occurrence->IsAdjustablePart() ||
      (occurrence->IsPart() && occurrence->IsBodyOverridden()))
    simplified = false;
  if (occurrence->IsAssembly()) {
    auto* state = static_cast<IJSimplifiedDisplayState*>(occurrence->GetUserData(UD_SIMPLIFIED_DISPLAY_STATE, nullptr));
    if (state && state->IsShownSimplified()) simplified = true;
  }
  SetSimplified(occurrence, simplified);

  ApplyDisplaySwitches(occurrence, props, propsEx);
  if (flags & 0x8000) quorra::RebuildOverrideExtensions(occurrence, override, assembly_);
  if (occurrence->IsAssembly()) MapConfigOverrides(occurrence, override);
  return S_OK;
}
