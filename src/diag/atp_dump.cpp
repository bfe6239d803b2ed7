// The test-log dump of the IDS (JDumpIDSForATP, JDumpIDSForATPW). Its text
// holds no addresses and no directories, so the logs of two runs compare
// equal; the dump version decides which tree flag names may appear, so that
// older versions keep producing the text their stored logs hold.
#include <cstdio>
#include <string>

#include "diag/user_data_names.h"
#include "quorra/dump.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/node_manager.h"
#include "quorra/occurrence.h"
#include "quorra/roadmap.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/atpW";

using quorra::host::FormatNarrow;

struct FlagName {
  DWORD bit;
  const char* name;
  DWORD sinceVersion;  // printed only for dump versions at or above this
};

constexpr FlagName kTreeFlagNames[] = {
    {ASMTREE_IPA, "IPA ", 0},
    {ASMTREE_DIM_SIMPLE_STYLES, "DIM_SIMPLE_STYLES ", 0},
    {ASMTREE_BUSY, "BUSY ", 0},
    {ASMTREE_CONTAINS_ACTIVE_PARTS, "CONTAINS_ACTIVE_PARTS ", 0},
    {ASMTREE_CHECK_TRANSPARENT_DISPLAY, "CHECK_TRANSPARENT_DISPLAY ", 0},
    {ASMTREE_SIMPLIFYASM_EXCLUDEOCC_DISPLAY, "SIMPLIFYASM_EXCLUDEOCC_DISPLAY ", 0},
    {ASMTREE_SIMPLIFYASM_VISIBLEFACE_DISPLAY, "SIMPLIFYASM_VISIBLEFACE_DISPLAY ", 0},
    {ASMTREE_TRACK_OVERRIDES, "TRACK_OVERRIDES ", 0},
    {ASMTREE_CHECK_USER_COLOR, "CHECK_USER_COLOR ", 0},
    {ASMTREE_USEIPASTYLE_ON_OCC, "USEIPASTYLE_ON_OCC ", 6},
    {ASMTREE_FLUSHING_RANGE_CACHE, "FLUSHING_RANGE_CACHE ", 2},
    {ASMTREE_FEA_DISPLAY_CACHE, "FEA_DISPLAY_CACHE ", 6},
    {ASMTREE_TRACK_DISPLAY, "TRACK_DISPLAY ", 6},
};

constexpr FlagName kSiteFlagNames[] = {
    {SITE_PART, "PART ", 0},
    {SITE_ASSEMBLY, "ASSEMBLY ", 0},
    {SITE_HIDDEN, "HIDDEN ", 0},
    {SITE_LIGHT, "LIGHT ", 0},
    {SITE_LOCAL, "LOCAL ", 0},
    {SITE_BEING_DESTROYED, "BEING_DESTROYED ", 0},
    {SITE_CACHED_GEOMETRY, "CACHED_GEOMETRY ", 0},
    {SITE_EXPLORED, "EXPLORED ", 0},
    {SITE_MISSING, "MISSING ", 0},
    {SITE_TRUE_TYPE_ASSEMBLY, "TRUE_TYPE_ASSEMBLY ", 0},
    {SITE_TRUE_TYPE_PART, "TRUE_TYPE_PART ", 0},
    {SITE_TRUE_TYPE_FOREIGN, "TRUE_TYPE_FOREIGN ", 0},
    {SITE_UPDATE_UNIT, "UPDATE_UNIT ", 0},
    {SITE_TRUE_TYPE_DRAFT, "TRUE_TYPE_DRAFT ", 0},
    {SITE_IS_VIRTUAL_COMPONENT, "IS_VIRTUAL_COMPONENT ", 0},
    {SITE_EMB_WELD, "EMB_WELD ", 0},
};

template <size_t N>
std::string FlagNames(const FlagName (&names)[N], DWORD word, DWORD version) {
  std::string text;
  for (const FlagName& flag : names)
    if ((word & flag.bit) && version >= flag.sinceVersion) text += flag.name;
  return text;
}

// A site's file name without its directory, in UTF-8.
std::string NameOf(const SiteNode* site) {
  if (!site) return "(none)";
  const std::string path =
      quorra::host::ToUtf8(site->GetFilePath(true).GetText() ? site->GetFilePath(true).GetText() : L"");
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RangeText(const tagGBox& box) {
  return FormatNarrow("[%.4f %.4f %.4f] [%.4f %.4f %.4f]", box.low[0], box.low[1], box.low[2], box.high[0], box.high[1],
                      box.high[2]);
}

// The occurrence's attachment ids from the root down, dotted ("root" for
// the root).
std::string RoadmapText(OccurrenceNode* node) {
  DisplayRoadmap roadmap;
  if (FAILED(node->GetDisplayRoadmap(&roadmap)) || roadmap.GetEntryCount() == 0) return "root";
  std::string text;
  for (DWORD i = 0; i < roadmap.GetEntryCount(); ++i) {
    if (i) text += '.';
    text += std::to_string(roadmap.GetData(i));
  }
  return text;
}

void AppendUserData(std::ostringstream& out, const UserDataMap* map, const std::string& indent) {
  if (!map || map->empty()) return;
  out << indent << "UserData:\n" << quorra::UserDataLines(map, indent + "   ");
}

template <class Sites>
void AppendSiteList(std::ostringstream& out, const char* heading, const Sites& sites, bool assemblies) {
  out << heading << "\n";
  for (SiteNode* site : sites) {
    if (!site) continue;
    out << "Site: " << NameOf(site) << "\n";
    out << "    Flags: " << FlagNames(kSiteFlagNames, site->GetFlags(), 0) << "\n";
    AppendUserData(out, site->GetUserDataMap(), "    ");
    if (assemblies) {
      DWORD count = 0;
      AttachmentNode* const* attachments = nullptr;
      static_cast<AssemblySite*>(site)->GetAttachments(&count, &attachments);
      for (DWORD i = 0; i < count; ++i) {
        if (!attachments[i]) continue;
        out << "    Attachment: " << attachments[i]->GetAttachmentID() << " "
            << NameOf(attachments[i]->GetAttachmentSite()) << "\n";
        AppendUserData(out, attachments[i]->GetUserDataMap(), "        ");
      }
    } else {
      out << "    Range: " << RangeText(*static_cast<PartSite*>(site)->GetRange()) << "\n";
    }
  }
}

HRESULT DumpToText(AsmTree* tree, DWORD flags, DWORD version, std::string* text) {
  if (flags & DUMPATP_UPDATE_RANGES) {
    UpdateRanges update;
    tree->Walk(&update, nullptr, TRUE);
  }
  SiteManager* assemblySites = tree->GetAssemblySiteManager();
  SiteManager* partSites = tree->GetPartSiteManager();
  AttachmentManager* attachments = tree->GetAttachmentManager();
  AssemblyOccurrence* root = tree->GetRootAssembly();

  IDSOccurrenceCounter counter;
  if (root) root->Walk(&counter, nullptr, TRUE);
  IDSATPDumper dumper(flags, version);
  std::ostringstream& out = dumper.Stream();
  out << "========================================\n";
  out << "IDS Dump -- Version " << version << "\n";
  out << "====================\n";
  out << "AsmTree             " << (root ? NameOf(root->GetSite()) : std::string("(none)")) << "\n";
  out << "    Flags:          " << FlagNames(kTreeFlagNames, tree->GetProperties(), version) << "\n";
  out << "    Dirty Flags:    " << FormatNarrow("0x%x", tree->GetDirty()) << "\n";
  out << "    Part Sites:     " << (partSites ? partSites->GetCount() : 0) << "\n";
  out << "    Assembly Sites: " << (assemblySites ? assemblySites->GetCount() : 0) << "\n";
  out << "    Attachments:    " << (attachments ? attachments->GetCount() : 0) << "\n";
  out << "====================\n";
  out << "Occurrence Tree:    " << counter.GetAssemblyCount() << " assembly occurrences, " << counter.GetPartCount()
      << " part occurrences\n";
  if (root) {
    HRESULT hr = root->Walk(&dumper, nullptr, TRUE);
    if (FAILED(hr)) return hr;
  }
  if (assemblySites) AppendSiteList(out, "Assembly Site List:", assemblySites->Nodes(), true);
  if (partSites) AppendSiteList(out, "Part Site List:", partSites->Nodes(), false);
  if (attachments) {
    for (AttachmentNode* attachment : attachments->Nodes()) {
      if (!attachment || dumper.AttachmentsMet().count(attachment)) continue;
      out << "Orphan Attachment: " << attachment->GetAttachmentID() << " " << NameOf(attachment->GetAttachmentSite())
          << "\n";
    }
  }
  out << "IDS Dump -- complete\n";
  *text = out.str();
  return S_OK;
}
}  // namespace

HRESULT IDSATPDumper::VisitNode(OccurrenceNode* node, TreeWalkContext* context) {
  if (const AttachmentNode* attachment = node->GetAttachment()) met_.insert(attachment);
  const std::string indent(3 * context->depth, ' ');
  tagGBox range;
  node->GetRange(&range);
  stream_ << indent << (node->IsAssembly() ? "Assembly " : "Part ") << RoadmapText(node) << " "
          << NameOf(node->GetSite()) << "\n";
  stream_ << indent << "         Symbology: " << FormatNarrow("0x%08x", node->GetSymbology()) << "\n";
  stream_ << indent << "         Flags: " << FormatNarrow("0x%08x", node->GetFlags()) << "\n";
  stream_ << indent << "         FlagsEx: " << FormatNarrow("0x%08x", node->GetFlagsEx()) << "\n";
  stream_ << indent << "         Range: " << RangeText(range) << "\n";
  if (const UserDataMap* map = node->GetUserDataMap(); map && !map->empty())
    stream_ << indent << "         UserData:\n" << quorra::UserDataLines(map, indent + "            ");
  return WALK_CONTINUE;
}

std::wstring IDSATPDumperW::Text() const {
  const std::string narrow = const_cast<IDSATPDumper&>(narrow_).Stream().str();
  std::wstring text;
  quorra::host::AppendNarrow(text, narrow.data(), narrow.size(), CP_UTF8);
  return text;
}

HRESULT JDumpIDSForATP(AsmTree* tree, DWORD flags, DWORD version, std::string* out) {
  if (!tree || !out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JDumpIDSForATP");
  std::string text;
  HRESULT hr = DumpToText(tree, flags, version, &text);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JDumpIDSForATP");
  *out = std::move(text);
  return S_OK;
}

HRESULT JDumpIDSForATPW(AsmTree* tree, DWORD flags, DWORD version, std::wstring* out) {
  if (!tree || !out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JDumpIDSForATPW");
  std::string text;
  HRESULT hr = DumpToText(tree, flags, version, &text);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JDumpIDSForATPW");
  out->clear();
  quorra::host::AppendNarrow(*out, text.data(), text.size(), CP_UTF8);
  return S_OK;
}
