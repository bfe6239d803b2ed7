// The test-log dump of an override table (JIDSOverrideTree::DumpForATP and
// DumpForATPW) and the configuration-setting formatter it shares with the
// other dumps. Like the tree's test-log dump, its text holds no addresses,
// so the logs of two runs compare equal.
#include <cstdio>
#include <sstream>
#include <string>

#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/iot_walkers.h"
#include "quorra/member_roadmap.h"
#include "quorra/override_body_data.h"
#include "quorra/override_tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/atpW";

using quorra::host::FormatNarrow;

constexpr const char* kCategoryNames[] = {
    "unknown",
    "references",
    "layouts",
    "layout",
    "reference_plane",
    "layout_or_refplane",
    "pattern",
    "pattern_occurrence",
    "references",
    "coordsys",
    "dimension",
    "annotation",
    "reference_axis",
    "part_contour_curve",
    "part_cross_curve",
    "part_derived_curve",
    "part_intersection_curve",
    "part_project_curve",
    "part_bspline_surface",
    "part_copy_surface",
    "part_extruded_surface",
    "part_lofted_surface",
    "part_mid_surface",
    "part_mirror_surface",
    "part_offset_surface",
    "part_parting_surface",
    "part_pattern_surface",
    "part_revovled_surface",
    "part_stiched_surface",
    "part_swept_surface",
    "part_copy_construction",
    "part_interpart_construction",
    "part_kepoint_curve",
    "part_body",
    "part_construction",
    "reference_planes",
    "coordinate_systems",
};

std::string Narrow(const std::wstring& text) { return quorra::host::ToUtf8(text.c_str()); }

// A route as text when it is printable (its terminator dropped), else as
// hex bytes.
std::string RouteText(const JMemberRoute& route) {
  const BYTE* bytes = route.GetByteArray();
  DWORD length = route.GetLength();
  if (length > 0 && bytes[length - 1] == 0) --length;
  bool printable = length > 0;
  for (DWORD i = 0; i < length && printable; ++i) printable = bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != ']';
  std::string text = "[";
  for (DWORD i = 0; i < route.GetLength(); ++i) {
    if (printable && i < length)
      text += static_cast<char>(bytes[i]);
    else if (!printable)
      text += FormatNarrow("%02x", bytes[i]);
  }
  return text + "]";
}

std::string MatrixText(const tagG4x4& m, const std::string& indent) {
  std::string text;
  for (int row = 0; row < 4; ++row)
    text += indent + FormatNarrow("      [%.4f %.4f %.4f %.4f]\n", m.m[row * 4], m.m[row * 4 + 1], m.m[row * 4 + 2],
                                  m.m[row * 4 + 3]);
  return text;
}

void AppendBody(std::string& text, const std::string& indent, const char* label, const JOverrideBodyData& body) {
  text += indent + label + quorra::host::ToUtf8(body.GetAssemblyName().GetText()) + "\n";
  for (const auto& [item, version] : body.GetVersionMap())
    text += indent + FormatNarrow("   bodymap: %u -> %u\n", item, version);
  text += indent + "   bodymx:\n" + MatrixText(body.GetMatrix(), indent);
}
}  // namespace

namespace quorra {

const char* ConfigCategoryName(BYTE type) { return type < std::size(kCategoryNames) ? kCategoryNames[type] : "????"; }

std::string FormatConfigSetting(const JConfigSetting& setting) {
  std::string text = FormatNarrow("o%u t%u 0x%06x [", setting.GetID(), setting.GetType(), setting.GetFlags());
  text += ConfigCategoryName(setting.GetType());
  text += ": ";
  if (setting.GetFlags() & 0x1) text += " hidden";
  return text + "]";
}

std::string OverrideDumpBlock(JIDSOverride* node, const std::string& indent) {
  const DWORD props = node->GetProps();
  const DWORD propsEx = node->GetPropsEx();
  std::string text = indent + (node->IsAssembly() ? "Assembly " : "Part ") + std::to_string(node->GetAttachmentID());
  text += "\n";
  const std::string in = indent + "   ";
  std::wstring words;
  AppendOverridePropsWords(props, &words);
  text += in + "dwProps:" + Narrow(words) + "\n";
  words.clear();
  AppendOverridePropsExWords(propsEx, &words);
  text += in + "dwPropsEx:" + Narrow(words) + "\n";

  if (const ConfigSettingMap* config = node->GetConfigSettingMap(false); config && !config->empty()) {
    if (!(props & IOT_HAVE_CONFIG_INFO))
      text += in + "!!! config setting map is present but override is not flagged as having one !!!\n";
    for (const auto& entry : *config) text += in + "config: " + FormatConfigSetting(entry.second) + "\n";
  }
  if (props & IOT_STYLE) text += in + FormatNarrow("style: %u\n", node->GetStyle());
  if (props & IOT_ALT_STYLE) text += in + FormatNarrow("alt style: %u\n", node->GetAltStyle());
  if (const tagG4x4* matrix = node->GetMatrix()) text += in + "matrix:\n" + MatrixText(*matrix, in);
  DWORD value = 0;
  if (node->GetSolverStatus(&value) == S_OK)
    text += in + FormatNarrow("status: %u", value) + Narrow(SolverStatusName(value)) + "\n";
  if (const JOverrideBodyData* body = node->GetBodyData()) AppendBody(text, in, "bodydoc: ", *body);
  if (const JOverrideBodyData* body = node->GetCurrentDocPreviousOverrideBodyData())
    AppendBody(text, in, "previous bodydoc: ", *body);
  IOTVariableMap variables;
  if (SUCCEEDED(node->GetVariables(&variables)))
    for (const auto& [kind, entry] : variables)
      text += in + FormatNarrow("variable: %u %u %.6f\n", kind, entry.first, entry.second);
  if ((props & IOT_ADAPTABLE) && node->GetAdaptable(&value) == S_OK)
    text += in + FormatNarrow("adaptable: %u\n", value);
  if (const JMemberRoute* route = node->GetRoute()) text += in + "route: " + RouteText(*route) + "\n";
  if ((props & IOT_ADJUSTABLE_PART) && node->GetAdjustablePart(&value) == S_OK)
    text += in + FormatNarrow("adjustable: %u\n", value);
  if (propsEx & IOTX_GEOM_VERSION) text += in + FormatNarrow("geometric version: %u\n", node->GetGeometricVersion());
  FILETIME time{};
  if (SUCCEEDED(node->GetOwningCADSaveTime(&time)))
    text += in + FormatNarrow("owning CAD save time: %08x%08x\n", time.dwHighDateTime, time.dwLowDateTime);
  JMemberRoute altRoute;
  if (SUCCEEDED(node->GetAltRoute(&altRoute))) text += in + "alt route: " + RouteText(altRoute) + "\n";
  return text;
}

}  // namespace quorra

namespace {
std::string BlockAt(JIDSOverride* node, const JIOTWalkContext* context) {
  return quorra::OverrideDumpBlock(node, std::string(3 * context->depth, ' '));
}

std::string DumpText(JIDSOverrideTree* tree, DWORD version) {
  JAsmOverride* root = tree->GetAsmOverride();
  IOTNodeCounter counter;
  if (root) root->Walk(&counter, 0, FALSE);
  std::ostringstream out;
  out << "IOT Dump -- Version " << version << "\n";
  out << counter.GetAssemblyCount() << " AsmOverrides, " << counter.GetPartCount() << " PartOverrides\n";
  out << "Root:\n";
  if (root) {
    out << quorra::OverrideDumpBlock(root, "");
    DumpIOTForATP walker(&out);
    root->Walk(&walker, 0, FALSE);
  }
  return out.str();
}
}  // namespace

HRESULT DumpIOTForATP::VisitPart(JIDSOverride* node, JIOTWalkContext* context) {
  if (out_) *out_ << BlockAt(node, context);
  return 0;
}

HRESULT DumpIOTForATP::VisitAssemblyChild(JAsmOverride* node, JIOTWalkContext* context) {
  if (out_) *out_ << BlockAt(node, context);
  return 0;
}

HRESULT DumpIOTForATPW::VisitPart(JIDSOverride* node, JIOTWalkContext* context) {
  if (out_) *out_ << quorra::host::FromUtf8(BlockAt(node, context));
  return 0;
}

HRESULT DumpIOTForATPW::VisitAssemblyChild(JAsmOverride* node, JIOTWalkContext* context) {
  if (out_) *out_ << quorra::host::FromUtf8(BlockAt(node, context));
  return 0;
}

HRESULT JIDSOverrideTree::DumpForATP(DWORD, DWORD version, std::ostringstream* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::DumpForATP");
  *out << DumpText(this, version);
  return S_OK;
}

HRESULT JIDSOverrideTree::DumpForATPW(DWORD, DWORD version, std::wostringstream* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::DumpForATPW");
  *out << quorra::host::FromUtf8(DumpText(this, version));
  return S_OK;
}
