// refhost's side of applying override tables: the functions of "brenik.dex"
// the library calls while it applies a table, and the re-apply that follows
// a change notification.
//
// - "JAsmNotifyIDS": a change recorded in a document's override table
//   (JNotifyIDS, as Mercury's UpdateIDS sends it) is brought onto the live
//   occurrences: the table of every document whose live tree is the given
//   tree (or the given document's; with neither, every document with a live
//   tree) is applied to that tree's root with kReapplyKinds.
// - "JAsmApplyConfigSettings": refhost's documents hold no layouts, so a
//   setting of type 5 (layout or reference plane) is a reference plane
//   (type 4). Each call is recorded.
// - "JAsmUpdateAttachmentIDs": a route-identified override child takes the
//   attachment id of the child occurrence whose member name (IJComponent::
//   GetName, "bolt.par:1") its route holds, as UTF-16 text or as bytes.
// - "JAsmGetPartStyleLib": one reference style library per placed document,
//   made on first request.
// - "JAsmApplyIOTForPMI", "JAsmPopulateIOTForPMI": recorded, S_OK.
#pragma once

#include <string>
#include <vector>

#include "quorra/host/styles.h"
#include "quorra/host/types.h"
#include "quorra/override_tree.h"

namespace quorra::refhost {

// The kinds a notification re-applies: style, matrix, solver status, body,
// display settings, variables, adaptable, in-place-active occurrences
// skipped, adjustable part, constraints, occurrence-property extensions and
// colour.
constexpr DWORD kReapplyKinds = 0x2D1BF;

struct ConfigSettingsCall {
  std::wstring document;                 // the path of the document handed over ("" for none)
  std::vector<JConfigSetting> settings;  // as handed over, before refhost's answer
  DWORD flags = 0;
};
// The calls of "JAsmApplyConfigSettings" since the last Take, oldest first.
std::vector<ConfigSettingsCall> TakeConfigSettingsCalls();

struct PmiCall {
  bool populate = false;  // "JAsmPopulateIOTForPMI" rather than "JAsmApplyIOTForPMI"
  void* a = nullptr;
  void* b = nullptr;
};
std::vector<PmiCall> TakePmiCalls();

// The style library "JAsmGetPartStyleLib" answers for the document at
// `path` (made on first request; AddRef'd).
HRESULT GetPartStyleLibrary(const wchar_t* path, IJStyleLibrary** out);
// Drops the recorded calls and the part style libraries.
void ResetApplyHost();

}  // namespace quorra::refhost
