// The table dump (DumpIDS): counts, the site and attachment lists, one line
// per occurrence in walk order, and the attachments no occurrence uses.
#include <exception>
#include <string>

#include "quorra/dump.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/iot_walkers.h"
#include "quorra/node_manager.h"
#include "quorra/occurrence.h"
#include "quorra/override_body_data.h"
#include "quorra/site.h"
#include "quorra/tree.h"
#include "quorra/user_data.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/quorra";
// The user-data type ids the verbose form looks for.
constexpr DWORD kDumpedUserDataTypes = 150;
// The column that the A/P marker of deeper occurrences stays in.
constexpr DWORD kMaxMarkerColumn = 6;

using quorra::host::FormatNarrow;

const wchar_t* PathOf(const SiteNode* site) { return site ? site->GetFilePath(true).GetText() : nullptr; }

void AppendUserData(std::string& text, const UserDataMap* map) {
  text += "          UserData: ";
  if (map) {
    for (const auto& [type, value] : *map) {
      if (type >= kDumpedUserDataTypes) break;
      text += FormatNarrow("%4d  %p   ", type, value);
    }
  }
  text += "\r\n";
}

void AppendRange(std::string& text, const tagGBox& box) {
  text += FormatNarrow(" [%8.4f %8.4f %8.4f] [%8.4f %8.4f %8.4f]", box.low[0], box.low[1], box.low[2], box.high[0],
                       box.high[1], box.high[2]);
}

void AppendSiteOccurrences(std::string& text, SiteNode* site, bool verbose) {
  for (OccurrenceNode* occurrence : *site->GetOccurrencesList()) {
    text += FormatNarrow("    Occurrence: %#010p", occurrence);
    if (verbose && occurrence) {
      tagGBox box;
      occurrence->GetRange(&box);
      AppendRange(text, box);
    }
    text += "\r\n";
  }
}

void AppendSites(std::string& text, AsmTree* tree, bool verbose) {
  if (SiteManager* manager = tree->GetAssemblySiteManager()) {
    for (SiteNode* node : manager->Nodes()) {
      if (!node) continue;
      auto* site = static_cast<AssemblySite*>(node);
      IUnknown* document = nullptr;
      site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(&document));
      text +=
          FormatNarrow("AssemblySite:   %#010p %#010p %#010x %S\r\n", site, document, site->GetFlags(), PathOf(site));
      if (document) document->Release();
      if (verbose) AppendUserData(text, site->GetUserDataMap());
      AppendSiteOccurrences(text, site, verbose);
      DWORD count = 0;
      AttachmentNode* const* attachments = nullptr;
      site->GetAttachments(&count, &attachments);
      for (DWORD i = 0; i < count; ++i) {
        AttachmentNode* attachment = attachments[i];
        if (!attachment) continue;
        text += FormatNarrow("    Attachment: %#010p %#010p %#010p %S\r\n", attachment, attachment->GetAttachmentSite(),
                             attachment->GetStyleLibrary(), PathOf(attachment->GetAttachmentSite()));
        if (verbose) AppendUserData(text, attachment->GetUserDataMap());
      }
    }
  }
  if (SiteManager* manager = tree->GetPartSiteManager()) {
    for (SiteNode* node : manager->Nodes()) {
      if (!node) continue;
      auto* site = static_cast<PartSite*>(node);
      IUnknown* document = nullptr;
      site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(&document));
      text +=
          FormatNarrow("PartSite:       %#010p %#010p %#010x %S\r\n", site, document, site->GetFlags(), PathOf(site));
      if (document) document->Release();
      if (verbose) {
        const tagGBox& box = *site->GetRange();
        text += FormatNarrow("                [%8.4f %8.4f %8.4f] [%8.4f %8.4f %8.4f]\r\n", box.low[0], box.low[1],
                             box.low[2], box.high[0], box.high[1], box.high[2]);
        AppendUserData(text, site->GetUserDataMap());
      }
      AppendSiteOccurrences(text, site, verbose);
    }
  }
}

// Four matrices side by side, one row each line.
void AppendMatrices(std::string& text, OccurrenceNode* node) {
  const AttachmentMatrix* attachmentMatrix = node->GetAttachmentXForm();
  tagG4x4 attachment = attachmentMatrix ? attachmentMatrix->GiveAsG4x4() : tagG4x4();
  const tagG4x4* matrices[4] = {attachmentMatrix ? &attachment : nullptr, &node->GetCurrentToWorld(),
                                node->GetOverrideMatrix(), node->GetExplodeMatrix()};
  const char* labels[4] = {"A", "C", "O", "E"};
  text += "         ";
  for (int row = 0; row < 4; ++row) {
    if (row) text += "\r\n         ";
    for (int which = 0; which < 4; ++which) {
      const char* label = row == 0 ? labels[which] : "";
      const tagG4x4* matrix = matrices[which];
      if (!matrix) {
        text += FormatNarrow("%2s[]", label);
        continue;
      }
      const double* m = &matrix->m[row * 4];
      text += FormatNarrow("%2s[%7.4f %7.4f %7.4f %7.4f]", label, m[0], m[1], m[2], m[3]);
    }
  }
  text += "\r\n";
}

// The occurrence's override body (its document, item versions and matrix)
// and its display-setting map, when it has them.
void AppendOverrideData(std::string& text, OccurrenceNode* node) {
  JOverrideBodyData* body = nullptr;
  if (SUCCEEDED(node->GetOverrideBodyData(&body)) && body) {
    text += FormatNarrow("bodydoc:\t%s\r\n", quorra::host::ToUtf8(body->GetAssemblyName().GetText()).c_str());
    for (const auto& [item, version] : body->GetVersionMap())
      text += FormatNarrow("bodymap:\t%d -> %d\r\n", item, version);
    text += "          bodymx:\t";
    const tagG4x4& m = body->GetMatrix();
    for (int row = 0; row < 4; ++row)
      text +=
          FormatNarrow("[%7.4f %7.4f %7.4f %7.4f]", m.m[row * 4], m.m[row * 4 + 1], m.m[row * 4 + 2], m.m[row * 4 + 3]);
    text += "\r\n";
  }
  int found = 0;
  auto* settings = static_cast<const quorra::ConfigSettingMap*>(node->GetUserData(UD_DISPLAY_SETTING_MAP, &found));
  if (found && settings) {
    text += "            UD_DISPLAY_SETTING_MAP\r\n";
    for (const auto& entry : *settings)
      text += FormatNarrow("            %s\r\n", quorra::FormatConfigSetting(entry.second).c_str());
  }
}
}  // namespace

HRESULT IDSDumper::VisitNode(OccurrenceNode* node, TreeWalkContext* context) {
  std::string& text = *text_;
  char marker[9] = "        ";
  const DWORD column = context->depth < kMaxMarkerColumn ? context->depth : kMaxMarkerColumn;
  marker[column] = node->IsAssembly() ? 'A' : 'P';
  const AttachmentNode* attachment = node->GetAttachment();
  if (attachment) met_.insert(attachment);
  text += FormatNarrow("%-8s %016p %016p %5d %08x %08x %08x %016p %S\r\n", marker, node, attachment,
                       node->GetAttachmentID(), node->GetFlags(), node->GetFlagsEx(), node->GetSymbology(),
                       node->GetStyleLibrary(), PathOf(node->GetSite()));
  if (verbose_) {
    AppendMatrices(text, node);
    AppendOverrideData(text, node);
  }
  return WALK_CONTINUE;
}

HRESULT DumpIDS(AsmTree* tree, DWORD flags, std::string* out) {
  std::string text;
  try {
    const bool verbose = flags & DUMPIDS_VERBOSE;
    text = FormatNarrow("===== IDS Dump =====\r\npAsmTree: %#p\r\n", tree);
    if (tree) {
      SiteManager* assemblySites = tree->GetAssemblySiteManager();
      SiteManager* partSites = tree->GetPartSiteManager();
      IDSCounter counter;
      if (AssemblyOccurrence* root = tree->GetRootAssembly()) root->Walk(&counter, nullptr, TRUE);
      text += FormatNarrow("Counts: %lu asm sites, %lu part sites, %lu asm occs, %lu part occs\r\n",
                           assemblySites ? assemblySites->GetCount() : 0, partSites ? partSites->GetCount() : 0,
                           counter.GetAssemblyCount(), counter.GetPartCount());
      text += FormatNarrow("IDS size: %d\r\n", 0);
      AppendSites(text, tree, verbose);
      // Without a root there is no occurrence table: the header, counts
      // and site lists are the whole dump.
      if (AssemblyOccurrence* root = tree->GetRootAssembly()) {
        text +=
            "Par/Asm  Occurrence       Attachment          ID Flags    FlagsEx  Symbology Library          "
            "FileName\r\n";
        IDSDumper dumper(&text, verbose);
        root->Walk(&dumper, nullptr, TRUE);
        if (AttachmentManager* attachments = tree->GetAttachmentManager()) {
          for (AttachmentNode* attachment : attachments->Nodes()) {
            if (!attachment || dumper.AttachmentsMet().count(attachment)) continue;
            text += FormatNarrow("Orphan Attachment:  %#010p  %#010p  %S\r\n", attachment,
                                 attachment->GetAttachmentSite(), PathOf(attachment->GetAttachmentSite()));
          }
        }
      }
    }
  } catch (...) {
    static const char kCaught[] = "Exception caught in DumpIDS.\r\n";
    OutputDebugStringA(kCaught);
    if (out) *out += kCaught;
    return QUORRA_TRACE_FAIL(E_FAIL, "DumpIDS");
  }
  if (out)
    *out += text;
  else
    OutputDebugStringA(text.c_str());
  return S_OK;
}
