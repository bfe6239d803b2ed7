// Helpers shared by the apply steps: the referenced document of an
// occurrence, its reference property words, the display switches an
// override sets, and the ancestor marks of override tracking.
#pragma once

#include "quorra/host/container.h"
#include "quorra/host/types.h"
#include "quorra/occurrence.h"
#include "quorra/override_tree.h"

namespace quorra::iot {

// Bits of the reference property word (the UD_REF_PROPERTIES layout).
constexpr DWORD REF_EXCLUDE_FROM_BOM = 0x1;
constexpr DWORD REF_SELECTABLE = 0x4;
constexpr DWORD REF_SHOW_REFERENCE_PLANES = 0x2000;
constexpr DWORD REF_HIDE_IN_DRAWING = 0x20000;
constexpr DWORD REF_HIDE_IN_SUBASSEMBLY = 0x40000;
constexpr DWORD REF_EXCLUDE_FROM_PHYSICAL_PROPERTIES = 0x80000;
constexpr DWORD REF_SHOW_AS_LAST_SAVED = 0x400;
constexpr DWORD REF_USE_SIMPLIFIED = 0x1000000;
constexpr DWORD REF_TRANSPARENT_IN_DRAFT = 0x4000000;
constexpr DWORD REF_SHOW_COORDINATE_SYSTEMS = 0x8000000;
constexpr DWORD REF_SHOW_SKETCHES = 0x10000000;
constexpr DWORD REF_HIDE_CONSTRUCTIONS = 0x20000000;
constexpr DWORD REF_SHOW_REFERENCE_AXES = 0x40000000;
// Bits of the extended reference word (the UD_REF_EXT_PROPERTIES layout).
constexpr DWORD REFX_EXCLUDE_FROM_INTERFERENCE = 0x80000;
constexpr DWORD REFX_HIDDEN = 0x4000000;

// Bits of the ancestors' UD_HAVE_OVERRIDDEN_CHILD word.
constexpr DWORD OVERRIDDEN_CHILD_HIDDEN = 0x4;
constexpr DWORD OVERRIDDEN_CHILD_MATRIX = 0x10000;
constexpr DWORD OVERRIDDEN_CHILD_BODY = 0x20000;

// The marker the root assembly occurrence carries during an in-place-active
// display pass.
constexpr DWORD UD_IPA_DISPLAY_PASS = 109;

// The referenced document of an occurrence: the host member that places it
// (IJComponent), reached through GetHelixReference. Holds a reference.
class ReferencedDocument {
 public:
  explicit ReferencedDocument(const OccurrenceNode* occurrence);
  ~ReferencedDocument();
  ReferencedDocument(const ReferencedDocument&) = delete;
  ReferencedDocument& operator=(const ReferencedDocument&) = delete;

  IJComponent* Get() const { return component_; }
  explicit operator bool() const { return component_ != nullptr; }
  // The reference property word and the extended word: the document's
  // answers, else the attachment's user data 8 and 9.
  DWORD PropertyWord() const;
  DWORD ExtendedWord() const;

 private:
  const OccurrenceNode* occurrence_;
  IJComponent* component_ = nullptr;
};

// True when the node carries configuration settings.
bool HasConfigSettings(JIDSOverride* node);

// Sets the occurrence's display switches from an override's words.
void ApplyDisplaySwitches(OccurrenceNode* occurrence, DWORD props, DWORD propsEx);

// Ors `bit` into UD_HAVE_OVERRIDDEN_CHILD of every ancestor of `occurrence`
// up to (not including) `source`.
void MarkOverriddenAncestors(OccurrenceNode* occurrence, const void* source, DWORD bit);

// Replaces the occurrence's user datum `type` by `value`.
void ReplaceUserData(OccurrenceNode* occurrence, DWORD type, void* value);

// Hides or shows the occurrence and its subtree; nothing is walked when the
// occurrence already is in that state.
void SetHidden(OccurrenceNode* occurrence, bool hidden);
void SetSimplified(OccurrenceNode* occurrence, bool simplified);

}  // namespace quorra::iot
