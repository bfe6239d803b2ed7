#include "diag/user_data_names.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "quorra/host/text.h"
#include "quorra/user_data.h"

namespace quorra {
namespace {
struct TypeName {
  DWORD type;
  const char* name;
};
// Ordered by type id.
constexpr TypeName kTypeNames[] = {{0, "UD_NULL_TYPE"},
                                   {1, "UD_ASMTREE_BACK_POINTER"},
                                   {2, "UD_QUERY_SUMMARY_INFO"},
                                   {3, "UD_EXPLODE_MATRIX"},
                                   {4, "UD_STYLE"},
                                   {5, "UD_GEOMETRIC_VERSION_STAMP"},
                                   {6, "UD_CHECK_SUM"},
                                   {7, "UD_TIME_STAMP"},
                                   {8, "UD_REF_PROPERTIES"},
                                   {9, "UD_REF_EXT_PROPERTIES"},
                                   {10, "UD_DRAWING_VIEW_VERSION"},
                                   {11, "UD_PARTS_LIST_VERSION"},
                                   {12, "UD_LAST_SAVED_VERSION"},
                                   {13, "UD_TUBE_FILE"},
                                   {14, "UD_FILE_CLSID"},
                                   {15, "UD_FILE_PROPERTIES"},
                                   {16, "UD_DRAFT_INFO"},
                                   {17, "UD_OCC_OUT_OF_DATE"},
                                   {18, "UD_OCC_ROADMAP"},
                                   {19, "UD_AP_ASSEMBLY"},
                                   {20, "UD_STYLE_LIBRARY"},
                                   {21, "UD_OCC_QUANTITY"},
                                   {22, "UD_OCC_DBL_QUANTITY"},
                                   {23, "UD_FOP_ROADMAP"},
                                   {24, "UD_FOP_VERSION"},
                                   {25, "UD_FOP_DATA_FROM_MASTER"},
                                   {26, "UD_OCC_NAME"},
                                   {27, "UD_eXT_PART"},
                                   {28, "UD_FILE_CREATED"},
                                   {29, "UD_STYLE_ID"},
                                   {30, "UD_WIRE_FILE"},
                                   {31, "UD_IN_MEMORY"},
                                   {32, "UD_eXT_DOC"},
                                   {33, "UD_MASTER_FILE_PROPERTIES"},
                                   {34, "UD_ATTACHSTREAM_VERSION"},
                                   {35, "UD_eXT_INSTANCE"},
                                   {36, "UD_IOT_ROUTE"},
                                   {37, "UD_IOT_CONFIG_INFO"},
                                   {38, "UD_BASEDATA_BACK_POINTER"},
                                   {39, "UD_OVERRIDE_MATRIX"},
                                   {40, "UD_OVERRIDE_SOLVE_STATUS"},
                                   {41, "UD_OVERRIDE_BODY"},
                                   {42, "UD_OVERRIDE_VARIABLES"},
                                   {43, "UD_GANDS_PARTSUPDATA"},
                                   {44, "UD_DRAFT_SHADING_DATA"},
                                   {45, "UD_IOT"},
                                   {46, "UD_ADAPTABLE"},
                                   {47, "UD_KVDATA"},
                                   {48, "UD_KVLITEPARTDATA"},
                                   {49, "UD_PREVIOUS_OVERRIDE_BODY"},
                                   {50, "UD_ATTACHMENT_SITE_ID"},
                                   {51, "UD_ADAPTABLE_SYNC"},
                                   {52, "UD_MATRIX_SYNC"},
                                   {53, "UD_GRAPHIC_SUPPORT"},
                                   {54, "UD_PIPEROUTE_OID"},
                                   {55, "UD_FRAMEFEATURE_OID"},
                                   {56, "UD_eXT_OCCURRENCE"},
                                   {57, "UD_ALT_STYLE"},
                                   {58, "UD_VIRTUAL_COMPONENT"},
                                   {59, "UD_OVERRIDE_BODY_SYNC"},
                                   {60, "UD_TRANSPARENT_DISPLAY"},
                                   {61, "UD_ASMORDERINFO"},
                                   {62, "UD_HARDWARE_FILE"},
                                   {63, "UD_VARIABLE_SYNC"},
                                   {64, "UD_KVLITEASMPARTDATA"},
                                   {65, "UD_STYLE_SYNC"},
                                   {66, "UD_SIMPLIFIED_ASM_VERSION"},
                                   {67, "UD_BODY_OVERRIDE_SOURCE"},
                                   {68, "UD_XFORM_OVERRIDE_SOURCE"},
                                   {69, "UD_HAVE_OVERRIDDEN_CHILD"},
                                   {70, "UD_OVERRIDE_BODY_MATRIX"},
                                   {71, "UD_DRAFT_SNAPSHOT_DISPLAY_ROADMAP"},
                                   {72, "UD_DRAFT_MODEL_CHANGE_FLAG"},
                                   {73, "UD_ADJUSTABLE_PART"},
                                   {74, "UD_ADJUSTABLE_PART_SYNC"},
                                   {75, "UD_ADJUSTABLE_PART_BASEBODY"},
                                   {76, "UD_DRAFT_MODEL_FILE_DATA"},
                                   {77, "UD_ISVRC_COMPONENT"},
                                   {78, "UD_IS_ASSEMBLY_WELDMENT"},
                                   {79, "UD_eXT_PART_URI"},
                                   {80, "UD_USER_COLOR"},
                                   {81, "UD_STRUCTURE_CACHE_RANGE"},
                                   {83, "UD_DISPLAY_SETTING_MAP"},
                                   {84, "UD_ITEM_NUMBER"},
                                   {93, "UD_TRACK_DISPLAY_CALLS"},
                                   {94, "UD_TRACK_DISPLAY"},
                                   {98, "UD_OVERRIDE_Constraints"},
                                   {100, "UD_OVERRIDE_EXTENSIONS"},
                                   {101, "UD_OCC_PROPERTIES_OVERRIDE"},
                                   {102, "UD_SITE_CUSTOMOCCPROPS_FILEDEFN"},
                                   {103, "UD_SITE_CUSTOMOCCPROPS_OVERRIDE"},
                                   {104, "UD_CUSTOMOCCPROP_OVERRIDE"},
                                   {107, "UD_SITE_CUSTOMOCCPROPS_DEFAULT"},
                                   {116, "UD_REF_EXT2_PROPERTIES"}};

struct BitName {
  DWORD bit;
  const char* name;
};

constexpr BitName kRefPropertyBits[] = {
    {0x1, "ExcludeFromBOM"},
    {0x10, "IsPart"},
    {0x20, "IsAssembly"},
    {0x40, "IsReferenceOnly"},
    {0x80, "LocateControl"},
    {0x100, "HasAlteredMatrix"},
    {0x200, "IsBeingPlaced"},
    {0x400, "IsMarked"},
    {0x800, "IsForeign"},
    {0x1000, "HasDeletedConstraint"},
    {0x8000, "HasUserDefinedName"},
    {0x10000, "ConstrainedSequentially"},
    {0x20000, "HideInDrawing"},
    {0x40000, "HideInSubAssembly"},
    {0x80000, "ExcludeFromPhysProps"},
    {0x100000, "ExplodeAsSingleEntity"},
    {0x200000, "IsMasterPart"},
    {0x400000, "IsSlavePart"},
    {0x800000, "IsLite"},
    {0x1000000, "UseSimplified"},
    {0x2000000, "IgnoreViewFilter"},
    {0x4000000, "IsTransparentInDraft"},
};

// Bit 0 upwards.
constexpr const char* kRefExtPropertyNames[32] = {
    "IsTubePart",
    "IsDirectedPart",
    "TubePathIsSick",
    "IsEditPlacement",
    "DoNotUnload",
    "IsLocalComponentPart",
    "ExExcludeReference",
    "SuppressConstructions",
    "IsWirePart",
    "WireIsSick",
    "UseDisplayInComponent",
    "IsPipeFitting",
    "IsFlexiblePipe",
    "IsFlexibleAssembly",
    "IsFramePart",
    "IsAdjustPart",
    "IsBoltedConnection",
    "IsSlaveBoltedConnPart",
    "UseSolvingBias",
    "ExcludeFromInterference",
    "IsGenericAssemblyBody",
    "IsWeldBead",
    "IsHarnessWire",
    "IsHarnessCable",
    "IsHarnessBundle",
    "IsAsmSurfacing",
    "IsZeroLengthPipe",
    "IgnoreBodyOverride",
    "IsTranslatedFromVaultline",
    "IsAssemblyCopyReference",
    "IsMirrorAsmCopyReference",
    "IsHarnessSplice",
};

// The type the dumps leave out without a word.
constexpr DWORD kSilentType = 113;

DWORD AsWord(const void* value) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(value)); }
}  // namespace

const char* UserDataTypeName(DWORD type) {
  auto it = std::lower_bound(std::begin(kTypeNames), std::end(kTypeNames), type,
                             [](const TypeName& entry, DWORD key) { return entry.type < key; });
  return it != std::end(kTypeNames) && it->type == type ? it->name : nullptr;
}

std::string ReferencePropertyNames(DWORD type, DWORD word) {
  std::string text;
  if (type == UD_REF_PROPERTIES) {
    for (const BitName& bit : kRefPropertyBits)
      if (word & bit.bit) text.append(bit.name).append(" ");
  } else if (type == UD_REF_EXT_PROPERTIES) {
    for (DWORD i = 0; i < 32; ++i)
      if (word & (1u << i)) text.append(kRefExtPropertyNames[i]).append(" ");
  } else if (type == UD_REF_EXT2_PROPERTIES) {
    if (word & 0x1) text += "IsEndCap ";
  }
  return text;
}

std::string UserDataLines(const std::map<DWORD, void*>* map, const std::string& indent) {
  std::string text;
  if (!map) return text;
  for (const auto& [type, value] : *map) {
    if (type == kSilentType) continue;
    text += indent;
    const char* name = UserDataTypeName(type);
    if (!name) {
      text += "Unknown User Data Type: " + std::to_string(type) + "\n";
      continue;
    }
    text += name;
    switch (type) {
      case UD_REF_PROPERTIES:
      case UD_REF_EXT_PROPERTIES:
      case UD_REF_EXT2_PROPERTIES:
        text += ": " + ReferencePropertyNames(type, AsWord(value));
        break;
      case UD_OCC_NAME:
      case UD_eXT_PART_URI:
        // Both hold a heap GUserText.
        if (value) text += ": " + host::ToUtf8(static_cast<const GUserText*>(value)->GetText());
        break;
      default:
        break;
    }
    text += "\n";
  }
  return text;
}

}  // namespace quorra
