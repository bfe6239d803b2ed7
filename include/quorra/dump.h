// Text dumps of the IDS: the node dump to a file, the table dump to a string
// or the debugger output, and the versioned test-log dumps meant for
// comparing test runs.
#pragma once

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "quorra/host/types.h"
#include "quorra/walk.h"

class AsmTree;
class AttachmentNode;

// DumpIDS flags.
constexpr DWORD DUMPIDS_VERBOSE = 0x2;

// Test-log dump flags.
constexpr DWORD DUMPATP_UPDATE_RANGES = 0x1000;

// Writes the node dump of the tree's root occurrence and all its
// descendants to `path` (one "[ASM]"/"[PAR]" line per occurrence when
// `brief` is non-zero). A tree without a root, or a file that cannot be
// opened, writes nothing and answers S_OK.
extern "C" HRESULT DumpTree(const wchar_t* path, AsmTree* tree, DWORD brief);

// The table dump: appended to `out` when given, else sent to the debugger
// output. DUMPIDS_VERBOSE adds user data, ranges and matrices.
HRESULT DumpIDS(AsmTree* tree, DWORD flags, std::string* out = nullptr);

// The test-log dump of the tree, in the text of dump version `version`;
// replaces the content of `out`.
extern "C" {
HRESULT JDumpIDSForATP(AsmTree* tree, DWORD flags, DWORD version, std::string* out);
HRESULT JDumpIDSForATPW(AsmTree* tree, DWORD flags, DWORD version, std::wstring* out);
}

// Node-dump walker: the walk value is the open FILE*.
class DumpCallback : public TreeWalkCallback {
 public:
  explicit DumpCallback(DWORD brief) : brief_(brief) {}
  HRESULT VisitPart(PartOccurrence* part, TreeWalkContext* context) override;
  HRESULT VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) override;

 private:
  DWORD brief_;
};

// Table-dump walker: one line per occurrence, remembering the attachments
// it met so the orphans can be listed afterwards.
class IDSDumper : public TreeWalkCallback {
 public:
  IDSDumper(std::string* text, bool verbose) : text_(text), verbose_(verbose) {}
  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext* context) override;
  const std::set<const AttachmentNode*>& AttachmentsMet() const { return met_; }

 private:
  std::string* text_;
  bool verbose_;
  std::set<const AttachmentNode*> met_;
};

// Test-log walkers (narrow and wide text).
class IDSATPDumper : public TreeWalkCallback {
 public:
  IDSATPDumper(DWORD flags, DWORD version) : flags_(flags), version_(version) {}
  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext* context) override;
  std::ostringstream& Stream() { return stream_; }
  const std::set<const AttachmentNode*>& AttachmentsMet() const { return met_; }

 private:
  std::ostringstream stream_;
  DWORD flags_;
  DWORD version_;
  std::set<const AttachmentNode*> met_;
};

class IDSATPDumperW : public TreeWalkCallback {
 public:
  IDSATPDumperW(DWORD flags, DWORD version) : narrow_(flags, version) {}
  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext* context) override {
    return narrow_.VisitNode(node, context);
  }
  std::wstring Text() const;
  IDSATPDumper& Narrow() { return narrow_; }

 private:
  IDSATPDumper narrow_;
};
