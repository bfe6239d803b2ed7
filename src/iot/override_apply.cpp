// Applying an override table to live occurrences: the selection word, the
// walk of override children against occurrence children, the apply source
// of override tracking, configuration mode and the display-setting maps, and
// the two product-manufacturing-information entry points.
#include <deque>
#include <new>
#include <utility>
#include <vector>

#include "iot/override_apply_internal.h"
#include "quorra/attachment.h"
#include "quorra/host/apply_services.h"
#include "quorra/host/modules.h"
#include "quorra/host/trace.h"
#include "quorra/member_roadmap.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/iot";

using quorra::ConfigSettingMap;
using namespace quorra::iot;

// ---- the apply selection word ----
constexpr DWORD APPLY_STYLE = 0x1;
constexpr DWORD APPLY_MATRIX = 0x2;
constexpr DWORD APPLY_STATUS = 0x4;
constexpr DWORD APPLY_BODY = 0x8;
constexpr DWORD APPLY_DISPLAY_SETTINGS = 0x10;
constexpr DWORD APPLY_VARIABLES = 0x20;
constexpr DWORD APPLY_CONFIGURATION = 0x40;
constexpr DWORD APPLY_ADAPTABLE = 0x80;
constexpr DWORD APPLY_SKIP_IPA_ACTIVE = 0x100;
constexpr DWORD APPLY_NO_IPA_SKIP = 0x200;
constexpr DWORD APPLY_PARENT_IPA_ONLY = 0x400;
constexpr DWORD APPLY_ALTERNATE_STYLE = 0x800;
constexpr DWORD APPLY_ADJUSTABLE_PART = 0x1000;
constexpr DWORD APPLY_TOP_LEVEL_BODY = 0x2000;
constexpr DWORD APPLY_CONSTRAINTS = 0x4000;
constexpr DWORD APPLY_COLOR = 0x20000;
constexpr DWORD APPLY_FROM_OCCURRENCE = 0x400000;

// An occurrence that is in place active and being edited: its geometry is
// the editor's, not the table's.
constexpr DWORD IPA_ACTIVE = OCC_IPA | OCC_IS_ACTIVE | OCC_CONSIDERED_ACTIVE;
inline bool IsIPAActive(const OccurrenceNode* occurrence) {
  return (occurrence->GetFlags() & IPA_ACTIVE) == IPA_ACTIVE;
}

// ---- configuration-mode flags of ApplyConfig ----
constexpr DWORD CONFIG_ROOT = 0x200000;
constexpr DWORD CONFIG_KEEP_UNLISTED = 0x100000;
constexpr DWORD CONFIG_SHOW_UNLISTED = 0x40000000;
constexpr DWORD CONFIG_HIDDEN = 0x10000000;
constexpr DWORD CONFIG_SIMPLIFIED = 0x80000000u;
constexpr DWORD CONFIG_PART_DESIGNED = 0x8000000;
constexpr DWORD CONFIG_ASSEMBLY_DESIGNED = 0x10000;
constexpr DWORD CONFIG_SIMPLIFIED_BY_OVERRIDE = 0x20000000;
constexpr DWORD CONFIG_PART_SIMPLIFIED = 0x4000000;
constexpr DWORD CONFIG_ASSEMBLY_SIMPLIFIED = 0x800000;

// The configuration-setting type the host resolves.
constexpr BYTE CONFIG_LAYOUT_OR_REFPLANE = 5;

quorra::host::LateBoundFunction<JAsmApplyConfigSettingsSignature> gApplyConfigSettings(L"brenik.dex",
                                                                                       "JAsmApplyConfigSettings");
quorra::host::LateBoundFunction<JAsmUpdateAttachmentIDsSignature> gUpdateAttachmentIDs(L"brenik.dex",
                                                                                       "JAsmUpdateAttachmentIDs");
quorra::host::LateBoundFunction<JAsmApplyIOTForPMISignature> gApplyIOTForPMI(L"brenik.dex", "JAsmApplyIOTForPMI");
quorra::host::LateBoundFunction<JAsmPopulateIOTForPMISignature> gPopulateIOTForPMI(L"brenik.dex",
                                                                                   "JAsmPopulateIOTForPMI");

// An assembly occurrence's display-setting map is released with it.
struct DisplaySettingMapRelease {
  DisplaySettingMapRelease() {
    quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, UD_DISPLAY_SETTING_MAP,
                                           [](void* value) { delete static_cast<ConfigSettingMap*>(value); });
  }
} gDisplaySettingMapRelease;

inline DWORD SiteFlags(const OccurrenceNode* occurrence) {
  SiteNode* site = occurrence->GetSite();
  return site ? site->GetFlags() : 0;
}

bool RootIsDrawing(OccurrenceNode* occurrence) {
  AssemblyOccurrence* root = occurrence->GetRootAssembly();
  return root && (SiteFlags(root) & SITE_TRUE_TYPE_DRAFT);
}

// True for an override directly below the table's root.
inline bool HasOneStep(const JIDSOverride* node) {
  const JAsmOverride* parent = node->GetParent();
  return parent && !parent->GetParent();
}

inline void SetBit(DWORD* word, DWORD bit, bool on) { *word = on ? (*word | bit) : (*word & ~bit); }

}  // namespace

// ---- Apply ----

HRESULT JIDSOverrideTree::Apply(IJStyleLibrary* styleLibrary, AssemblyOccurrence* assemblyOccurrence, DWORD flags) {
  JIDSOverride* start = root_;
  if ((flags & APPLY_FROM_OCCURRENCE) && assemblyOccurrence && assemblyOccurrence->GetParent()) {
    // The override standing for the occurrence itself: its path of
    // attachment ids from the root down.
    std::vector<DWORD> ids;
    for (const OccurrenceNode* node = assemblyOccurrence; node->GetParent(); node = node->GetParent())
      ids.push_back(node->GetAttachmentID());
    std::vector<DWORD> path(ids.rbegin(), ids.rend());
    start = Bind(static_cast<DWORD>(path.size()), path.data());
    if (start && !start->IsAssembly()) start = nullptr;
  }
  if (!start) return S_FALSE;
  try {
    return Apply(styleLibrary, assemblyOccurrence, static_cast<JAsmOverride*>(start), flags);
  } catch (const std::bad_alloc&) {
    SetApplySource(nullptr, nullptr);
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverrideTree::Apply");
  }
}

HRESULT JIDSOverrideTree::Apply(IJStyleLibrary* styleLibrary, AssemblyOccurrence* assemblyOccurrence,
                                JAsmOverride* asmOverride, DWORD flags) {
  if (!assemblyOccurrence || !asmOverride) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::Apply");
  AssemblyOccurrence* const occurrence = assemblyOccurrence;

  if (flags & APPLY_CONFIGURATION) {
    ApplyConfig(styleLibrary, occurrence, asmOverride, flags);
    // The configuration settings go to the display-setting maps level by
    // level.
    HRESULT hr = MapConfigOverrides(occurrence, asmOverride);
    std::deque<std::pair<AssemblyOccurrence*, JAsmOverride*>> queue;
    queue.emplace_back(occurrence, asmOverride);
    while (!queue.empty()) {
      auto [assembly, node] = queue.front();
      queue.pop_front();
      for (const auto& [id, child] : node->children_.Ordered()) {
        OccurrenceNode* childOccurrence = assembly->FindOccurrenceOfAttachmentID(id);
        if (!childOccurrence || !childOccurrence->IsAssembly() || !child->IsAssembly()) continue;
        hr = MapConfigOverrides(childOccurrence, child);
        queue.emplace_back(static_cast<AssemblyOccurrence*>(childOccurrence), static_cast<JAsmOverride*>(child));
      }
    }
    return hr;
  }

  AsmTree* tree = occurrence->GetAsmTree();
  const bool treeIPA = tree && tree->IsIPA();
  if ((flags & APPLY_SKIP_IPA_ACTIVE) && !(flags & APPLY_NO_IPA_SKIP) && treeIPA && IsIPAActive(occurrence))
    return S_OK;

  if (tree && tree->IsOverrideTrackingOn() && !applySource_) SetApplySource(occurrence, asmOverride);

  const bool parentIPAOnly = flags & APPLY_PARENT_IPA_ONLY;
  if ((flags & APPLY_DISPLAY_SETTINGS) && occurrence->IsAssembly() && (!parentIPAOnly || occurrence->IsParentIPA()) &&
      HasConfigSettings(asmOverride))
    ApplyDisplaySettings(occurrence, asmOverride, flags);

  AssemblyOccurrence* markedRoot = nullptr;  // carries the display-pass marker this call added
  HRESULT result = S_OK;
  for (const auto& [id, child] : asmOverride->children_.Ordered()) {
    OccurrenceNode* o = occurrence->FindOccurrenceOfAttachmentID(id);
    if (!o) continue;
    result = S_OK;
    const bool allowed = !parentIPAOnly || o->IsParentIPA();
    const bool geometric = allowed && !IsIPAActive(o);

    if ((flags & APPLY_DISPLAY_SETTINGS) && allowed) {
      if (treeIPA && !occurrence->IsParentIPA() && !markedRoot) {
        AssemblyOccurrence* root = tree->GetRootAssembly();
        int found = 0;
        if (root && (root->GetUserData(UD_IPA_DISPLAY_PASS, &found), !found) &&
            SUCCEEDED(root->AddUserData(UD_IPA_DISPLAY_PASS, reinterpret_cast<void*>(uintptr_t{1}))))
          markedRoot = root;
      }
      ApplyDisplaySettings(o, child, flags);
    }
    if ((flags & APPLY_STYLE) && allowed) ApplyStyle(styleLibrary, o, child, (flags & APPLY_ALTERNATE_STYLE) ? 1 : 0);
    if ((flags & APPLY_COLOR) && allowed) ApplyColorOverride(o, child);
    if (geometric) {
      if (flags & APPLY_MATRIX) ApplyMatrix(o, child);
      if (flags & APPLY_STATUS) ApplyStatus(o, child);
      if (flags & APPLY_BODY) ApplyBody(o, child);
      if ((flags & APPLY_TOP_LEVEL_BODY) && HasOneStep(child)) ApplyBody(o, child);
      if (flags & APPLY_VARIABLES) ApplyVariables(o, child);
      if (flags & APPLY_ADAPTABLE) ApplyAdaptable(o, child);
      if (flags & APPLY_CONSTRAINTS) ApplyConstraints(o, child);
    }
    if (child->IsAssembly() && o->IsAssembly())
      result = Apply(styleLibrary, static_cast<AssemblyOccurrence*>(o), static_cast<JAsmOverride*>(child),
                     flags & ~APPLY_NO_IPA_SKIP);
    if ((flags & APPLY_ADJUSTABLE_PART) && geometric) ApplyAdjustablePart(o, child);
  }

  if (applySource_ == occurrence) SetApplySource(nullptr, nullptr);
  if (markedRoot) markedRoot->RemoveUserData(UD_IPA_DISPLAY_PASS);
  return result;
}

// ---- configuration mode ----

HRESULT JIDSOverrideTree::MapConfigOverrides(OccurrenceNode* occurrence, JIDSOverride* override) {
  if (!occurrence || !override) return QUORRA_TRACE_FAIL(E_INVALIDARG, "MapConfigOverrides");
  if (!occurrence->IsAssembly() || !HasConfigSettings(override)) return S_OK;
  auto* map = static_cast<ConfigSettingMap*>(occurrence->GetUserData(UD_DISPLAY_SETTING_MAP, nullptr));
  if (!map) {
    map = new (std::nothrow) ConfigSettingMap();
    if (!map) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "MapConfigOverrides");
    if (FAILED(occurrence->AddUserData(UD_DISPLAY_SETTING_MAP, map))) {
      delete map;
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "MapConfigOverrides");
    }
  }
  HRESULT result = S_OK;
  for (const auto& [id, setting] : *override->GetConfigSettingMap(false)) {
    // Enabled with flag 1 when the setting is hidden.
    const DWORD flags = (setting.GetFlags() & 0x1) ? 1 : 0;
    try {
      (*map)[id] = JConfigSetting(id, setting.GetType(), flags);
    } catch (const std::bad_alloc&) {
      result = QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "MapConfigOverrides");
    }
  }
  return result;
}

HRESULT JIDSOverrideTree::ApplyConfig(IJStyleLibrary* styleLibrary, AssemblyOccurrence* assemblyOccurrence,
                                      JAsmOverride* asmOverride, DWORD flags) {
  if (!assemblyOccurrence || !asmOverride || flags == 0)
    return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::ApplyConfig");
  AssemblyOccurrence* const occurrence = assemblyOccurrence;
  HRESULT result = S_OK;

  // The settings of this level go to the host with the site's document.
  SiteNode* site = occurrence->GetSite();
  if (HasConfigSettings(asmOverride) && site && !RootIsDrawing(occurrence)) {
    if (auto fn = gApplyConfigSettings.Get()) {
      ConfigSettingMap* map = asmOverride->GetConfigSettingMap(false);
      std::vector<JConfigSetting> settings;
      try {
        settings.reserve(map->size());
        for (const auto& [id, setting] : *map) settings.push_back(setting);
      } catch (const std::bad_alloc&) {
        return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverrideTree::ApplyConfig");
      }
      IUnknown* document = nullptr;
      site->GetDocument(IID_IJOccurrenceContainer, reinterpret_cast<void**>(&document));
      result = fn(document, settings.data(), static_cast<DWORD>(settings.size()),
                  flags | (occurrence->GetParent() ? 0 : CONFIG_ROOT));
      if (document) document->Release();
      // The host tells which of layout and reference plane each such
      // setting is.
      size_t i = 0;
      for (auto& [id, setting] : *map) {
        if (setting.GetType() == CONFIG_LAYOUT_OR_REFPLANE) setting.SetType(settings[i].GetType());
        ++i;
      }
    } else {
      result = E_FAIL;
    }
  }

  // Route-identified overrides take their attachment ids.
  bool idsUpdated = false;
  if (auto fn = gUpdateAttachmentIDs.Get()) {
    result = fn(occurrence, asmOverride);
    idsUpdated = SUCCEEDED(result);
  } else {
    result = E_FAIL;
  }

  for (DWORD index = 0; index < occurrence->GetChildCount(); ++index) {
    OccurrenceNode* child = occurrence->GetChildByIndex(index);
    if (!child) continue;
    JIDSOverride* node = asmOverride->GetChild(child->GetAttachmentID());
    if (!node && !idsUpdated) {
      // The route the placement was made under names the override.
      const AttachmentNode* attachment = child->GetAttachment();
      if (auto* route =
              attachment ? static_cast<JMemberRoute*>(attachment->GetUserData(UD_OCC_ROADMAP, nullptr)) : nullptr)
        node = asmOverride->GetChild(*route);
    }
    if (!node) {
      // A child the configuration does not list.
      if (!(flags & CONFIG_KEEP_UNLISTED)) SetHidden(child, !(flags & CONFIG_SHOW_UNLISTED));
      continue;
    }
    if (flags & APPLY_STYLE) result = ApplyStyle(styleLibrary, child, node, 0);

    if (flags & APPLY_CONFIGURATION) {
      const DWORD props = node->GetProps();
      const DWORD propsEx = node->GetPropsEx();
      const DWORD childSiteFlags = SiteFlags(child);
      const bool trueType = childSiteFlags & (SITE_TRUE_TYPE_ASSEMBLY | SITE_TRUE_TYPE_PART);
      const ReferencedDocument reference(child);

      bool hiddenInSubassembly = false;
      if (reference) {
        OccurrenceNode* above = child->GetParent();
        if (above && trueType) above = above->GetParent();
        hiddenInSubassembly =
            above && above != child->GetRootAssembly() && (reference.PropertyWord() & REF_HIDE_IN_SUBASSEMBLY);
      }
      if (flags & CONFIG_HIDDEN) SetHidden(child, (props & IOT_HIDDEN) || hiddenInSubassembly);

      if (flags & CONFIG_SIMPLIFIED) {
        bool simplified = false;
        if ((child->IsPart() && (flags & CONFIG_PART_DESIGNED)) ||
            (child->IsAssembly() && (flags & CONFIG_ASSEMBLY_DESIGNED))) {
          simplified = false;
        } else if (!reference) {
          simplified = trueType && (props & IOT_SIMPLIFIED);
        } else {
          const bool candidate = ((flags & CONFIG_SIMPLIFIED_BY_OVERRIDE) && (props & IOT_SIMPLIFIED)) ||
                                 (child->IsPart() && (flags & CONFIG_PART_SIMPLIFIED)) ||
                                 (child->IsAssembly() && (flags & CONFIG_ASSEMBLY_SIMPLIFIED));
          BOOL shows = 0;
          simplified = candidate && (trueType || (SUCCEEDED(reference.Get()->GetSimplifiedForm(&shows)) && shows &&
                                                  !child->IsAdjustablePart()));
        }
        SetSimplified(child, simplified);
      }

      if ((child->IsPart() || (childSiteFlags & SITE_TRUE_TYPE_PART)) && (flags & CONFIG_HIDDEN))
        ApplyDisplaySwitches(child, props, propsEx);

      if (reference) {
        // The placement keeps the display the configuration gives it.
        DWORD word = reference.PropertyWord();
        SetBit(&word, REF_SHOW_COORDINATE_SYSTEMS, props & IOT_COORDSYS_ON);
        SetBit(&word, REF_SHOW_SKETCHES, props & IOT_SKETCHES_ON);
        SetBit(&word, REF_HIDE_CONSTRUCTIONS, !(props & (IOT_SURFACES_ON | IOT_CURVES_ON)));
        SetBit(&word, REF_SHOW_REFERENCE_PLANES, props & IOT_REFPLANES_ON);
        SetBit(&word, REF_SHOW_REFERENCE_AXES, props & IOT_REFAXES_ON);
        SetBit(&word, REF_SHOW_AS_LAST_SAVED, props & IOT_AS_LASTSAVED);
        SetBit(&word, REF_USE_SIMPLIFIED, child->IsSimplified());
        result = reference.Get()->SetReferenceProperties(word);
      }
    }

    if (child->IsAssembly() && node->IsAssembly())
      result =
          ApplyConfig(styleLibrary, static_cast<AssemblyOccurrence*>(child), static_cast<JAsmOverride*>(node), flags);
  }
  return result;
}

// ---- product-manufacturing information ----

extern "C" HRESULT JApplyIOTForPMI(void* a, void* b) {
  auto fn = gApplyIOTForPMI.Get();
  return fn ? fn(a, b) : E_FAIL;
}

extern "C" HRESULT JPopulateIOTForPMI(void* a, void* b) {
  auto fn = gPopulateIOTForPMI.Get();
  return fn ? fn(a, b) : E_FAIL;
}
