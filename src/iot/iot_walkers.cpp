// The override-table walkers and the printed words of the property bits.
#include "quorra/iot_walkers.h"

#include <cstdio>

namespace {

struct BitWord {
  DWORD bit;
  const wchar_t* word;
};

constexpr BitWord kPropsWords[] = {
    {0x1, L" style"},
    {0x2, L" hidden"},
    {0x4, L" active"},
    {0x8, L" simplified"},
    {0x10, L" coordsys_on"},
    {0x20, L" sketches_on"},
    {0x40, L" surfaces_on"},
    {0x80, L" curves_on"},
    {0x100, L" refplanes_on"},
    {0x200, L" refaxes_on"},
    {0x400, L" override_matrix"},
    {0x800, L" override_status"},
    {0x1000, L" override_body_ob"},
    {0x2000, L" override_variables"},
    {0x4000, L" adaptable"},
    {0x8000, L" override_body"},
    {0x10000, L" as_lastsaved"},
    {0x20000, L" adaptable_sync"},
    {0x40000, L" matrix_sync"},
    {0x80000, L" alt_style"},
    {0x100000, L" body_sync"},
    {0x200000, L" variable_sync"},
    {0x800000, L" adjustable_part"},
    {0x1000000, L" adjustable_part_sync"},
    {0x4000000, L" dimensions_on"},
    {0x8000000, L" annotations_on"},
    {0x10000000, L" have_config_info"},
    {0x20000000, L" have_route"},
    {0x40000000, L" part"},
    {0x80000000, L" assembly"},
};

constexpr BitWord kPropsExWords[] = {
    {0x1, L" livesections_on"},
    {0x2, L" designbodies_off"},
    {0x4, L" geom_version"},
    {0x8, L" owningcadsavetime"},
    {0x10, L" alt_route"},
    {0x20, L" centerlines_on"},
    {0x100, L"override constraints"},
    {0x20000, L" overridebody_props_on"},
    {0x80000, L" decals_off"},
    {0x100000, L" override_constraints_sync"},
    {0x200000, L" pointclouds_off"},
    {0x1000000, L"; override has a previous override body"},
};

// The single-node removal of the kinds in the walk's mask.
HRESULT RemoveKinds(JIDSOverride* node, JIOTWalkContext* context, DWORD* failures) {
  const DWORD kinds = static_cast<DWORD>(context->context) & 0xFFFF;
  if (kinds && FAILED(JIDSOverrideTree::Remove(kinds, node))) ++*failures;
  return 0;
}

}  // namespace

namespace quorra {

void AppendOverridePropsWords(DWORD props, std::wstring* out) {
  for (const BitWord& w : kPropsWords)
    if (props & w.bit) out->append(w.word);
  if (props & (IOT_SURFACES_ON | IOT_CURVES_ON)) out->append(L" constructions_on");
}

void AppendOverridePropsExWords(DWORD propsEx, std::wstring* out) {
  for (const BitWord& w : kPropsExWords)
    if (propsEx & w.bit) out->append(w.word);
}

const wchar_t* SolverStatusName(DWORD status) {
  switch (status) {
    case 1:
      return L" (ASM_P_WELL_DEFINED)";
    case 2:
      return L" (ASM_P_FIXED)";
    case 4:
      return L" (ASM_P_UNDER_DEFINED)";
    case 0x8008:
      return L" (ASM_P_OVER_DEFINED)";
    case 0x8010:
      return L" (ASM_P_NOT_CONSISTENT)";
    case 0x8020:
      return L" (ASM_P_NOT_CHANGED)";
    case 0x8040:
      return L" (ASM_P_NON_ALGEBRAIC)";
    case 0x8080:
      return L" (ASM_P_UNKNOWN)";
    default:
      return L" (unknown status value!!!)";
  }
}

}  // namespace quorra

// ---- DeleteTreeWalker ----

HRESULT DeleteTreeWalker::VisitPart(JIDSOverride* node, JIOTWalkContext*) {
  // The manager drops its use of the style before the node goes.
  node->SetStyle(0, 1);
  delete node;
  return 0;
}

HRESULT DeleteTreeWalker::EndAssembly(JAsmOverride* node, JIOTWalkContext* context) {
  // The children were destroyed by this walk: the node forgets them (a kept
  // root stays usable, and a destroyed one does not destroy them again).
  node->children_.Clear();
  if (context->depth == 0 && context->context == 0) return 0;
  delete node;
  return 0;
}

// ---- CheckAdjustable ----

HRESULT CheckAdjustable::VisitPart(JIDSOverride* node, JIOTWalkContext* context) {
  DWORD value = 0;
  node->GetAdjustablePart(&value);
  if (value == 1) *reinterpret_cast<DWORD*>(context->context) |= IOT_STATE_ADJUSTABLE_PART;
  return 0;
}

HRESULT CheckAdjustable::VisitAssemblyChild(JAsmOverride* node, JIOTWalkContext* context) {
  DWORD value = 0;
  node->GetAdaptable(&value);
  if (value == 1) *reinterpret_cast<DWORD*>(context->context) |= IOT_STATE_ADAPTABLE_ASSEMBLY;
  return 0;
}

// ---- RemoveWalker ----

HRESULT RemoveWalker::VisitPart(JIDSOverride* node, JIOTWalkContext* context) {
  return RemoveKinds(node, context, &failures_);
}

HRESULT RemoveWalker::EndAssembly(JAsmOverride* node, JIOTWalkContext* context) {
  return RemoveKinds(node, context, &failures_);
}

// ---- UpgradeIOT ----

HRESULT UpgradeIOT::VisitPart(JIDSOverride* node, JIOTWalkContext*) {
  node->SetProps(node->GetProps() ^ (IOT_SURFACES_ON | IOT_CURVES_ON));
  return 0;
}

// ---- IOTNodeCounter ----

HRESULT IOTNodeCounter::VisitPart(JIDSOverride*, JIOTWalkContext*) {
  ++parts_;
  return 0;
}

HRESULT IOTNodeCounter::VisitAssemblyChild(JAsmOverride*, JIOTWalkContext*) {
  ++assemblies_;
  return 0;
}

// ---- IOTProbe ----

IOTProbe::IOTProbe(std::wstring* out, IUnknown* first, IUnknown* second) : out_(out), first_(first), second_(second) {
  if (first_) first_->AddRef();
  if (second_) second_->AddRef();
}

IOTProbe::~IOTProbe() {
  if (first_) first_->Release();
  if (second_) second_->Release();
}

void IOTProbe::Describe(JIDSOverride* node, JIOTWalkContext* context) {
  if (!out_) return;
  wchar_t line[160];
  std::swprintf(line, sizeof(line) / sizeof(line[0]), L"%*ls%ls %p id %u parent %p dwProps %08x dwPropsEx %08x",
                static_cast<int>(2 * context->depth), L"", node->IsAssembly() ? L"JAsmOverride" : L"JPartOverride",
                static_cast<void*>(node), node->GetAttachmentID(), static_cast<void*>(node->GetParent()),
                node->GetProps(), node->GetPropsEx());
  out_->append(line);
  quorra::AppendOverridePropsWords(node->GetProps(), out_);
  out_->append(L"\r\n");
}

HRESULT IOTProbe::VisitPart(JIDSOverride* node, JIOTWalkContext* context) {
  Describe(node, context);
  return 0;
}

HRESULT IOTProbe::VisitAssemblyChild(JAsmOverride* node, JIOTWalkContext* context) {
  Describe(node, context);
  return 0;
}
