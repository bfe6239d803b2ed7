// refhost's persist managers and style managers: one persist manager per
// document, found with "GetPersistManager" ("dulcet.dll"). It keeps the
// document's live tree (as the host's assembly module would: set by whoever
// loaded the tree, cleared before the tree goes), the document's override
// table (made on first request, with the document, its path and the
// document's style manager), and the document's family-of-assemblies
// answers (a master, not in edit mode, unless told otherwise). It is the
// override-table holder JGetIOT reaches.
//
// A document's override table lives in its file as the storage "IOT" with
// the stream "Default". The table is read from the file when it is first
// made (a file without one gives an empty table); SaveDocumentOverrides
// writes it back into the same file, keeping every other element.
//
// The functions refhost exports for these: "GetPersistManager" and
// "JGetGraphicSupportObject" of "dulcet.dll", "JAsmGetIDSAsmTree" and
// "JAsmGetFileName" of "brenik.dex", "JGetDocFiledVersion" of "dulcet.dll", "JAsmCheckFoaMasterAndEditMode2" and
// "JAsmCheckFoaMasterAndEditMode" of "ferrule.dll" (the same answers). A persist manager also applies its
// document's table to an occurrence (the holder's ApplyOverrides) and gives every document an id
// (IJDocumentIdServer), in the order the managers are made.
#pragma once

#include <map>
#include <vector>

#include "quorra/host/com.h"
#include "quorra/host/override_services.h"
#include "quorra/host/types.h"

class AsmTree;
class JIDSOverrideTree;

namespace quorra::refhost {

// Counts the uses of each style id; a use count never goes below zero (a
// release of an unused id is refused with S_FALSE).
class StyleManager final : public host::ComObject<IJStyleManager> {
 public:
  HRESULT AddStyleUse(DWORD styleId) override;
  HRESULT ReleaseStyleUse(DWORD styleId) override;
  // Uses of `styleId` now.
  DWORD GetUseCount(DWORD styleId) const;
  // Ids with at least one use.
  DWORD GetStyleCount() const { return static_cast<DWORD>(uses_.size()); }

 private:
  std::map<DWORD, DWORD> uses_;
};

// The document's live tree (null clears it). The persist manager is made
// when the document has none. E_INVALIDARG for a null document.
HRESULT SetDocumentTree(IUnknown* document, AsmTree* tree);
// The documents whose live tree is `tree`; with a null tree, every document
// that has a live tree.
std::vector<host::ComPtr<IUnknown>> DocumentsWithTree(AsmTree* tree);
// The family-of-assemblies answers for the document.
HRESULT SetDocumentFoaState(IUnknown* document, BOOL master, BOOL editMode);
// The program version that filed the document, answered by
// "JGetDocFiledVersion" (unanswered until set).
HRESULT SetDocumentFiledVersion(IUnknown* document, WORD major, WORD minor);
// Writes the document's override table (made when it has none) into its file.
HRESULT SaveDocumentOverrides(IUnknown* document);
// Reads the override table stored in the document file at `path` (a name
// "file.asm|Member" reads that member) into `tree`. S_FALSE, nothing read,
// when the file holds no table.
HRESULT LoadDocumentOverrideTable(const wchar_t* path, JIDSOverrideTree* tree);
// Writes `tree` into the existing document file at `path`, replacing its
// table and keeping every other element.
HRESULT SaveDocumentOverrideTable(const wchar_t* path, JIDSOverrideTree* tree);
// Opens the family document at `path` read-only: its root storage, which
// also answers IJFamilyMemberStorage (the storage holding one sub-storage
// per member), as JIDSOverrideTree::LoadFoaMemberIot asks. E_INVALIDARG for
// a file that is no family document.
HRESULT OpenFamilyDocument(const wchar_t* path, IStorage** out);
// The document's style manager (AddRef'd), made with its persist manager.
HRESULT GetDocumentStyleManager(IUnknown* document, StyleManager** out);
// Drops the persist manager of one document (its override table goes with
// it), or of every document.
HRESULT ReleasePersistManager(IUnknown* document);
void ReleasePersistManagers();

// The exported functions, for the module tables.
HRESULT GetPersistManager(IUnknown* object, IUnknown** persistManager);
HRESULT GetGraphicSupportObject(IUnknown* persistManager, REFIID iid, void** out);
HRESULT GetIDSAsmTree(IUnknown* document, AsmTree** tree, BOOL flag);
HRESULT GetAssemblyFileName(IUnknown* document, GUserText* fileName);
HRESULT CheckFoaMasterAndEditMode2(IUnknown* document, BOOL* master, BOOL* editMode);
HRESULT GetDocFiledVersion(IUnknown* document, WORD* major, WORD* minor);

}  // namespace quorra::refhost
