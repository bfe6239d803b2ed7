// Override extensions: which occurrence properties an overriding document
// overrides for an occurrence.
//
// An occurrence keeps one JOverrideExtensions record per overriding
// document (user data 100, a vector of records). A record is identified by
// the document's identity or by its file name (kept in lower case), never
// both: setting one clears the other. It lists the property types
// (JOverrideExtensionsType) that document overrides, in insertion order.
//
// Custom occurrence-property overrides (user data 104) are kept beside the
// records: for each overriding document, by name, its (property, value)
// pairs.
#pragma once

#include <utility>
#include <vector>

#include "quorra/host/identity.h"
#include "quorra/host/text.h"
#include "quorra/host/types.h"

// The occurrence properties an assembly can override for the occurrences
// below it.
enum JOverrideExtensionsType : DWORD {
  JOET_UNKNOWN = 0,
  JOET_HIDE_IN_DRAWING = 1,
  JOET_HIDE_IN_SUBASSEMBLY = 2,
  JOET_NOT_SELECTABLE = 3,
  JOET_DISPLAY_AS_DRAFTREF = 4,
  JOET_EXCLUDE_FROM_PHYPROPS = 5,
  JOET_EXCLUDE_FROM_REPORTS = 6,
  JOET_EXCLUDE_FROM_INTERFERENCE = 7,
  JOET_CUSTOM = 8,  // custom occurrence properties
};

class JOverrideExtensions {
 public:
  JOverrideExtensions() = default;
  JOverrideExtensions(const JOverrideExtensions&) = default;
  JOverrideExtensions& operator=(const JOverrideExtensions&) = default;
  virtual ~JOverrideExtensions() = default;

  // Keys the record by document identity (the name is emptied).
  // E_INVALIDARG for an unset identity, E_FAIL when the record already has
  // another document.
  HRESULT SetOverrideDocument(const JDocIdentity& document);
  // Keys the record by lower-cased name (the identity is cleared).
  // E_INVALIDARG for an empty name, E_FAIL when the record already has
  // another name.
  HRESULT SetOverrideDocument(const GUserText& name);
  // Keys the record and appends `type`. An unset identity, an empty name, or
  // a record keyed by another document or name: E_INVALIDARG.
  HRESULT SetOverride(const JDocIdentity& document, DWORD type);
  // Keys the record and replaces its types by `types`.
  HRESULT SetOverride(const JDocIdentity& document, const std::vector<DWORD>& types);
  HRESULT SetOverride(const GUserText& name, DWORD type);
  // Each needs a keyed record (E_INVALIDARG otherwise). AddOverride appends
  // (duplicates allowed); RemoveOverride removes the first equal entry (S_OK
  // also when there is none); RemoveAllOverrides empties the list.
  HRESULT AddOverride(DWORD type);
  HRESULT RemoveOverride(DWORD type);
  HRESULT RemoveAllOverrides();

  JDocIdentity GetStoredDocumentID() const { return document_; }
  GUserText GetStoredDocumentName() const { return name_; }
  HRESULT GetStoredOverrides(std::vector<DWORD>& out) const;
  // Appends the printed name of each stored type.
  HRESULT GetStoredOverridesInStringForm(std::vector<GUserText>& out) const;

  // Whether the record is keyed by this document (an unset identity matches
  // nothing) or by this lower-case name (an empty name matches nothing).
  bool IsForDocument(const JDocIdentity& document) const;
  bool IsForDocument(const GUserText& lowerCaseName) const;
  bool HasOverride(DWORD type) const;
  const std::vector<DWORD>& StoredOverrides() const { return overrides_; }

 private:
  bool IsKeyed() const { return document_.DocumentSet() || name_.IsNotEmpty(); }
  // The checks of SetOverride; on success the record is keyed by the
  // document or name.
  HRESULT KeyByDocument(const JDocIdentity& document, HRESULT conflict, const char* operation);
  HRESULT KeyByName(const GUserText& name, HRESULT conflict, const char* operation);

  JDocIdentity document_;
  GUserText name_;  // lower case
  std::vector<DWORD> overrides_;
};

namespace quorra {

// The printed name of an override-extension type ("JOET_HIDE_IN_DRAWING",
// ...); types without one (JOET_CUSTOM among them) print as "I do not know
// what this entry is!".
const wchar_t* OverrideExtensionsTypeName(DWORD type);

// User data 100 of an occurrence: its override-extension records (owned).
using OverrideExtensionsList = std::vector<JOverrideExtensions*>;

// User data 104 of an occurrence: per overriding document (by name), its
// custom occurrence-property overrides as (property, value) pairs.
using CustomOccPropertyOverrides = std::vector<std::pair<GUserText, std::vector<std::pair<GUserText, GUserText>>>>;

}  // namespace quorra

class OccurrenceNode;

extern "C" {
// For property `type`, the documents that define it for `occurrence`, with
// their level: candidates are ordered from the outermost overriding document
// to the innermost; counted from the innermost (k = 1 ... n), a matching one
// has level 1 when k = n, 3 when k = 1 < n, else 2. Type JOET_CUSTOM takes
// the custom-property overrides (documents by name), types 1 to 7 the
// occurrence's extension records. `levels` is emptied first. E_INVALIDARG
// for a null occurrence or type 0; E_FAIL when the occurrence has no records.
HRESULT JGetOverrideExtensionDefinitionLevels(OccurrenceNode* occurrence, DWORD type,
                                              std::vector<std::pair<JDocIdentity, int>>* levels);
}
