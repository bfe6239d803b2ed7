// The node dump: DumpTree, the occurrences' Dump members, and the tree
// summary (AsmTree::Dump).
#include <cstdio>
#include <string>

#include "core/dump_lines.h"
#include "quorra/dump.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/node_manager.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/quorra";
constexpr const char* kTreeSource = "SERVICES/quorra/dev/tree";

using quorra::host::FormatNarrow;

const wchar_t* SitePathOf(const OccurrenceNode* node) {
  const SiteNode* site = node->GetSite();
  return site ? site->GetFilePath(true).GetText() : nullptr;
}

FILE* OpenForWriting(const wchar_t* path, const char* mode) {
  if (!path) return nullptr;
  return std::fopen(quorra::host::ToUtf8(path).c_str(), mode);
}
}  // namespace

void OccurrenceNode::Dump(FILE* file) {
  if (!file) return;
  std::string text = FormatNarrow("OccurrenceNode %#.8p  Parent %#.8p  Attachment %#.8p.  flags %x user name %S.\n",
                                  this, parent_, attachment_, flags_, GetUserNameW());
  text += FormatNarrow("Range: %f %f %f %f %f %f\n", range_.low[0], range_.low[1], range_.low[2], range_.high[0],
                       range_.high[1], range_.high[2]);
  text += "Attachment follows\n";
  quorra::WriteDumpLines(file, text);
  if (attachment_) attachment_->Dump(file);
}

void AssemblyOccurrence::Dump(FILE* file, DWORD brief) {
  if (!file) return;
  if (brief) {
    quorra::WriteDumpLines(file, FormatNarrow("[ASM] %S\n", SitePathOf(this)));
    return;
  }
  quorra::WriteDumpLines(file, FormatNarrow("\nAssemblyOccurrence %#.8p.  Occurrence info follows\n", this));
  OccurrenceNode::Dump(file);
  std::string text = FormatNarrow("AssemblyOccurrence %#.8p continues.  Children follow.\n", this);
  text += quorra::NodeListLines(children_);
  quorra::WriteDumpLines(file, text);
}

void PartOccurrence::Dump(FILE* file, DWORD brief) {
  if (!file) return;
  if (brief) {
    quorra::WriteDumpLines(file, FormatNarrow("[PAR] %S\n", SitePathOf(this)));
    return;
  }
  quorra::WriteDumpLines(file, FormatNarrow("\nPartOccurrence %#.8p.  Occurrence info follows\n", this));
  OccurrenceNode::Dump(file);
  quorra::WriteDumpLines(file, FormatNarrow("PartOccurrence %#.8p continues.\n", this));
}

HRESULT DumpCallback::VisitPart(PartOccurrence* part, TreeWalkContext* context) {
  quorra::SetDumpDepth(static_cast<int>(context->depth));
  part->Dump(static_cast<FILE*>(context->value), brief_);
  return S_OK;
}

HRESULT DumpCallback::VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) {
  quorra::SetDumpDepth(static_cast<int>(context->depth));
  assembly->Dump(static_cast<FILE*>(context->value), brief_);
  return S_OK;
}

HRESULT DumpTree(const wchar_t* path, AsmTree* tree, DWORD brief) {
  AssemblyOccurrence* root = tree ? tree->GetRootAssembly() : nullptr;
  if (!root) return S_OK;
  FILE* file = OpenForWriting(path, "w");
  if (!file) return S_OK;
  quorra::SetDumpDepth(-1);
  root->Dump(file, brief);
  // The root is dumped above at no indentation; the walk visits its
  // descendants only, each at its own level.
  DumpCallback callback(brief);
  HRESULT hr = root->Walk(&callback, file, FALSE);
  quorra::SetDumpDepth(-1);
  std::fclose(file);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "DumpTree");
  return S_OK;
}

void AsmTree::Dump(const wchar_t* path) {
  DWORD uniqueAssemblies = 1;
  DWORD totalAssemblies = 1;
  DWORD uniqueParts = 0;
  DWORD totalParts = 0;
  DWORD visibleParts = 0;
  if (assemblySites_) {
    for (SiteNode* site : assemblySites_->Nodes()) {
      if (!site) continue;
      ++uniqueAssemblies;
      totalAssemblies += site->GetOccurrencesList()->GetCount();
    }
  }
  if (partSites_) {
    for (SiteNode* site : partSites_->Nodes()) {
      if (!site) continue;
      ++uniqueParts;
      for (OccurrenceNode* occurrence : *site->GetOccurrencesList()) {
        ++totalParts;
        if (occurrence && occurrence->IsDisplayable()) ++visibleParts;
      }
    }
  }
  FILE* file = OpenForWriting(path, "wt");
  TreeCounter counter(file);
  if (AssemblyOccurrence* root = GetRootAssembly()) root->Walk(&counter, nullptr, TRUE);
  const std::string line =
      FormatNarrow("%s (%d) : IDS info: Assemblies=[%d(u),%d(t)], Parts=[%d(u),%d(t),%d(v)], Walk=[%d(a),%d(p)]\n",
                   kTreeSource, __LINE__, uniqueAssemblies, totalAssemblies, uniqueParts, totalParts, visibleParts,
                   counter.GetAssemblyCount(), counter.GetPartCount());
  OutputDebugStringA(line.c_str());
  if (file) std::fclose(file);
}
