// The walkers of the override table, each driven by JAsmOverride::Walk:
// - DeleteTreeWalker: destroys parts (after releasing their style) and, at
//   the end of each assembly, the assembly; the walk's root survives when the
//   context is 0.
// - CheckAdjustable: sets the adjustable-part (0x10) and adaptable-assembly
//   (0x20) bits in the state word the context points at.
// - RemoveWalker: removes the override kinds of the mask given as context
//   from every part and, at its end, every assembly (the walk's root too).
// - UpgradeIOT: inverts the surfaces and curves display bits of every part
//   (stream upgrade).
// - IOTNodeCounter: counts parts and assembly children.
// - IOTProbe, DumpIOTForATP: one text description per node.
#pragma once

#include <sstream>
#include <string>

#include "quorra/override_tree.h"

class DeleteTreeWalker : public JIOTWalker {
 public:
  HRESULT VisitPart(JIDSOverride* node, JIOTWalkContext* context) override;
  HRESULT EndAssembly(JAsmOverride* node, JIOTWalkContext* context) override;
};

class CheckAdjustable : public JIOTWalker {
 public:
  HRESULT VisitPart(JIDSOverride* node, JIOTWalkContext* context) override;
  HRESULT VisitAssemblyChild(JAsmOverride* node, JIOTWalkContext* context) override;
};

class RemoveWalker : public JIOTWalker {
 public:
  HRESULT VisitPart(JIDSOverride* node, JIOTWalkContext* context) override;
  HRESULT EndAssembly(JAsmOverride* node, JIOTWalkContext* context) override;
  // Single-node removals that failed during the walk.
  DWORD GetFailureCount() const { return failures_; }

 private:
  DWORD failures_ = 0;
};

class UpgradeIOT : public JIOTWalker {
 public:
  HRESULT VisitPart(JIDSOverride* node, JIOTWalkContext* context) override;
};

class IOTNodeCounter : public JIOTWalker {
 public:
  HRESULT VisitPart(JIDSOverride* node, JIOTWalkContext* context) override;
  HRESULT VisitAssemblyChild(JAsmOverride* node, JIOTWalkContext* context) override;
  DWORD GetPartCount() const { return parts_; }
  DWORD GetAssemblyCount() const { return assemblies_; }

 private:
  DWORD parts_ = 0;
  DWORD assemblies_ = 0;
};

// Appends one line per node to `out`: its address, kind, attachment id,
// parent and property words. The two optional interfaces are held (AddRef'd)
// for the probe's life.
class IOTProbe : public JIOTWalker {
 public:
  explicit IOTProbe(std::wstring* out, IUnknown* first = nullptr, IUnknown* second = nullptr);
  ~IOTProbe() override;
  IOTProbe(const IOTProbe&) = delete;
  IOTProbe& operator=(const IOTProbe&) = delete;
  HRESULT VisitPart(JIDSOverride* node, JIOTWalkContext* context) override;
  HRESULT VisitAssemblyChild(JAsmOverride* node, JIOTWalkContext* context) override;

 private:
  void Describe(JIDSOverride* node, JIOTWalkContext* context);
  std::wstring* out_;
  IUnknown* first_;
  IUnknown* second_;
};

// The test-log walkers of the override-table dump (JIDSOverrideTree::
// DumpForATP and DumpForATPW): one block per node, indented by depth, with
// its attachment id, its property words and the values it sets. The text
// holds no addresses.
class DumpIOTForATP : public JIOTWalker {
 public:
  explicit DumpIOTForATP(std::ostringstream* out) : out_(out) {}
  HRESULT VisitPart(JIDSOverride* node, JIOTWalkContext* context) override;
  HRESULT VisitAssemblyChild(JAsmOverride* node, JIOTWalkContext* context) override;

 private:
  std::ostringstream* out_;
};

class DumpIOTForATPW : public JIOTWalker {
 public:
  explicit DumpIOTForATPW(std::wostringstream* out) : out_(out) {}
  HRESULT VisitPart(JIDSOverride* node, JIOTWalkContext* context) override;
  HRESULT VisitAssemblyChild(JAsmOverride* node, JIOTWalkContext* context) override;

 private:
  std::wostringstream* out_;
};

namespace quorra {
// The printed words of dwProps (" style hidden ...", " constructions_on" when
// 0x40 or 0x80 is set) and of dwPropsEx, appended to `out`.
void AppendOverridePropsWords(DWORD props, std::wstring* out);
void AppendOverridePropsExWords(DWORD propsEx, std::wstring* out);
// The printed name of a solver status (" (ASM_P_WELL_DEFINED)", ...).
const wchar_t* SolverStatusName(DWORD status);
// A configuration setting as the dumps print it: "o", the id, " t", the
// type, the flags in hex and " [", the category name and ": ", " hidden"
// when flag bit 0x1 is set, then "]".
std::string FormatConfigSetting(const JConfigSetting& setting);
// The printed name of a configuration category ("????" for an unknown one).
const char* ConfigCategoryName(BYTE type);
// The block of one node as the override-table dump writes it, every line
// preceded by `indent`.
std::string OverrideDumpBlock(JIDSOverride* node, const std::string& indent);
}  // namespace quorra
