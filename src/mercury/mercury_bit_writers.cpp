// Mercury's writers of the override node's property bits and of the
// occurrence-property overrides. None of them touches the live occurrence:
// the occurrence is resolved only to learn its kind; the change goes to the
// override node of the roadmap in the context document's override table,
// and the tree is told (UpdateIDS), which applies the table again.
#include "quorra/host/modules.h"
#include "quorra/host/override_services.h"
#include "quorra/host/trace.h"
#include "quorra/mercury.h"
#include "quorra/occurrence.h"
#include "quorra/override_tree.h"
#include "quorra/site.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/Mercury";

quorra::host::LateBoundFunction<JAsmCheckFoaMasterAndEditModeSignature> gCheckMasterAndEditMode(
    L"ferrule.dll", "JAsmCheckFoaMasterAndEditMode");

// The change notification every writer of this file sends: this tree, a
// property change.
constexpr DWORD kNotifyPropertyChange = 10;
// Site flags that make an occurrence-property override an assembly's.
constexpr DWORD kAssemblySiteFlags = SITE_ASSEMBLY | SITE_TRUE_TYPE_ASSEMBLY;
}  // namespace

// ---- the steps shared by the writers ----

HRESULT Mercury::ResolveOverrideForWrite(KindRule rule, const char* operation, DWORD* kind, JIDSOverride** node) {
  *node = nullptr;
  HRESULT hr = ResolveContext(RC_OCCURRENCE | RC_FOR_UPDATE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, operation);
  switch (rule) {
    case KindRule::kOccurrence:
      *kind = occurrence_->IsAssembly() ? MERCURY_KIND_ASSEMBLY : MERCURY_KIND_PART;
      break;
    case KindRule::kSite: {
      SiteNode* site = occurrence_->GetSite();
      if (!site) return E_FAIL;
      *kind = (site->GetFlags() & kAssemblySiteFlags) ? MERCURY_KIND_ASSEMBLY : MERCURY_KIND_PART;
      break;
    }
    case KindRule::kPart:
      *kind = MERCURY_KIND_PART;
      break;
    case KindRule::kAssembly:
      *kind = MERCURY_KIND_ASSEMBLY;
      break;
  }
  hr = ResolveContext(RC_IOT);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  if (!iot_) return QUORRA_TRACE_FAIL(E_POINTER, operation);
  hr = iot_->AddOverride(roadmap_.GetEntryCount(), roadmap_.GetData(), *kind, node);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  if (!*node) return QUORRA_TRACE_FAIL(E_POINTER, operation);
  override_ = *node;  // the resolved node is this one from now on
  return S_OK;
}

HRESULT Mercury::ResolveExistingOverride(const char* operation, JIDSOverride** node) {
  *node = nullptr;
  HRESULT hr = ResolveContext(RC_IOT);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  if (!iot_) return QUORRA_TRACE_FAIL(E_POINTER, operation);
  // Asked afresh: the node may have been made since the IOT was resolved.
  iot_->GetOverride(roadmap_.GetEntryCount(), roadmap_.GetData(), node);
  if (*node) override_ = *node;
  return S_OK;
}

HRESULT Mercury::CheckMasterAndEditMode(const char* operation, BOOL* master, BOOL* editMode) {
  *master = 0;
  *editMode = 0;
  auto* check = gCheckMasterAndEditMode.Get();
  HRESULT hr = check ? check(document_, master, editMode) : E_FAIL;
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  return hr;
}

HRESULT Mercury::WriteNodeBit(const char* operation, KindRule rule, bool extended, DWORD bit, bool set) {
  DWORD kind = 0;
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveOverrideForWrite(rule, operation, &kind, &node);
  if (FAILED(hr)) return hr;
  if (extended)
    node->SetPropsEx(set ? (node->GetPropsEx() | bit) : (node->GetPropsEx() & ~bit));
  else
    node->SetProps(set ? (node->GetProps() | bit) : (node->GetProps() & ~bit));
  UpdateIDS(kNotifyPropertyChange);
  return S_OK;
}

// ---- the bit writers ----

#define QUORRA_MERCURY_BIT_WRITER(Operation, extended, bit, setWhen)                                            \
  HRESULT Mercury::Operation(int value) {                                                                       \
    return WriteNodeBit("Mercury::" #Operation, KindRule::kOccurrence, extended, bit, (value != 0) == setWhen); \
  }

QUORRA_MERCURY_BIT_WRITER(SetHidden, false, IOT_HIDDEN, true)
QUORRA_MERCURY_BIT_WRITER(SetCoordSysDisplay, false, IOT_COORDSYS_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetSketchesDisplay, false, IOT_SKETCHES_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetSurfacesDisplay, false, IOT_SURFACES_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetCurvesDisplay, false, IOT_CURVES_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetConstructionsDisplay, false, IOT_SURFACES_ON | IOT_CURVES_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetRefPlanesDisplay, false, IOT_REFPLANES_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetRefAxesDisplay, false, IOT_REFAXES_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetAsLastSavedDisplay, false, IOT_AS_LASTSAVED, true)
QUORRA_MERCURY_BIT_WRITER(SetDimensionsDisplay, false, IOT_DIMENSIONS_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetAnnotationsDisplay, false, IOT_ANNOTATIONS_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetLiveSectionsDisplay, true, IOTX_LIVESECTIONS_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetDesignBodiesDisplay, true, IOTX_DESIGNBODIES_OFF, false)
QUORRA_MERCURY_BIT_WRITER(SetCenterLineDisplay, true, IOTX_CENTERLINES_ON, true)
QUORRA_MERCURY_BIT_WRITER(SetDecalsDisplay, true, IOTX_DECALS_OFF, false)
QUORRA_MERCURY_BIT_WRITER(SetPointCloudsDisplay, true, IOTX_POINTCLOUDS_OFF, false)

#undef QUORRA_MERCURY_BIT_WRITER

// Only a part can be made the active one; the override is a part's even
// when the table had an assembly node there.
HRESULT Mercury::SetActive(int value) {
  HRESULT hr = ResolveContext(RC_OCCURRENCE | RC_FOR_UPDATE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetActive");
  if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::SetActive");
  if (occurrence_->IsAssembly()) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "Mercury::SetActive");
  return WriteNodeBit("Mercury::SetActive", KindRule::kPart, false, IOT_ACTIVE, value != 0);
}

// A part showing an override body is simplified already; an in-place
// active assembly is never simplified.
HRESULT Mercury::SetSimplified(int value) {
  HRESULT hr = ResolveContext(RC_OCCURRENCE | RC_FOR_UPDATE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Mercury::SetSimplified");
  if (!occurrence_) return QUORRA_TRACE_FAIL(E_POINTER, "Mercury::SetSimplified");
  if (occurrence_->IsAssembly()) {
    if (occurrence_->IsIPA()) return S_OK;
  } else if (occurrence_->IsBodyOverridden() && value) {
    return S_OK;
  }
  return WriteNodeBit("Mercury::SetSimplified", KindRule::kOccurrence, false, IOT_SIMPLIFIED, value != 0);
}

// ---- the occurrence-property overrides ----

HRESULT Mercury::WriteOccurrenceProperty(const char* operation, DWORD type, int value) {
  DWORD kind = 0;
  JIDSOverride* node = nullptr;
  HRESULT hr = ResolveOverrideForWrite(KindRule::kSite, operation, &kind, &node);
  if (FAILED(hr)) return hr;
  // Shown in subassemblies again: a hiding of the node goes with it.
  if (type == JOET_HIDE_IN_SUBASSEMBLY && !value && (node->GetProps() & IOT_HIDDEN))
    node->SetProps(node->GetProps() & ~IOT_HIDDEN);
  hr = node->AddOccurrencePropertyOverride(static_cast<JOverrideExtensionsType>(type), value);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, operation);
  UpdateIDS(kNotifyPropertyChange);
  return hr;
}

#define QUORRA_MERCURY_PROPERTY_WRITER(Operation, type) \
  HRESULT Mercury::Operation(int value) { return WriteOccurrenceProperty("Mercury::" #Operation, type, value); }

QUORRA_MERCURY_PROPERTY_WRITER(SetHideInDrawing, JOET_HIDE_IN_DRAWING)
QUORRA_MERCURY_PROPERTY_WRITER(SetHideInSubassembly, JOET_HIDE_IN_SUBASSEMBLY)
QUORRA_MERCURY_PROPERTY_WRITER(SetNotSelectable, JOET_NOT_SELECTABLE)
QUORRA_MERCURY_PROPERTY_WRITER(SetDisplayAsDraftReference, JOET_DISPLAY_AS_DRAFTREF)
QUORRA_MERCURY_PROPERTY_WRITER(SetExcludeFromPhysicalProperties, JOET_EXCLUDE_FROM_PHYPROPS)
QUORRA_MERCURY_PROPERTY_WRITER(SetExcludeFromReports, JOET_EXCLUDE_FROM_REPORTS)
QUORRA_MERCURY_PROPERTY_WRITER(SetExcludeFromInterference, JOET_EXCLUDE_FROM_INTERFERENCE)

#undef QUORRA_MERCURY_PROPERTY_WRITER
