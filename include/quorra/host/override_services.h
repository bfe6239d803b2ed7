// Host services the override table calls: the document's style manager (one
// call that adds a use of a style id, one that drops it), and the late-bound
// functions of the host's document modules that find a document's persist
// manager, its live tree, its file name, its override-table holder and its
// family-of-assemblies state.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/storage.h"
#include "quorra/host/text.h"
#include "quorra/host/types.h"

class AsmTree;
class DisplayRoadmap;
class JIDSOverrideTree;
class JMemberRoadmap;
class OccurrenceNode;

// {DE1273F0-E059-11D1-A2C9-080036B4D602}: a document's style manager.
constexpr IID IID_IJStyleManager = {0xde1273f0, 0xe059, 0x11d1, {0xa2, 0xc9, 0x08, 0x00, 0x36, 0xb4, 0xd6, 0x02}};

// Counts the uses of style ids. Only the two slots the override table calls
// are declared; the others are the host's.
struct IJStyleManager : IUnknown {
  // One more use of `styleId`.
  virtual HRESULT AddStyleUse(DWORD styleId) = 0;  // slot 19
  // One use of `styleId` less.
  virtual HRESULT ReleaseStyleUse(DWORD styleId) = 0;  // slot 20

 protected:
  ~IJStyleManager() = default;
};
QUORRA_INTERFACE_ID(IJStyleManager, IID_IJStyleManager);

// {13A1D22A-2CA8-4856-A89C-6C73D87F6572}: a document's override-table holder,
// reached with JGetIOT.
constexpr IID IID_IJOverrideTreeHolder = {0x13a1d22a, 0x2ca8, 0x4856, {0xa8, 0x9c, 0x6c, 0x73, 0xd8, 0x7f, 0x65, 0x72}};

struct IJOverrideTreeHolder : IUnknown {
  // Applies the document's overrides to `occurrence` with the override
  // table's apply selection word `flags`. A holder that cannot apply answers
  // E_NOTIMPL.
  virtual HRESULT ApplyOverrides(OccurrenceNode* occurrence, DWORD flags) {  // slot 5
    (void)occurrence;
    (void)flags;
    return E_NOTIMPL;
  }
  // The document's override table (not reference counted: the holder owns
  // it). `reserved` is 0.
  virtual HRESULT GetOverrideTree(JIDSOverrideTree** out, DWORD reserved) = 0;  // slot 11
  // Converts a member roadmap of this document into the display roadmap of
  // the same occurrence (attachment ids from the root assembly down).
  virtual HRESULT ConvertMemberRoadmap(JMemberRoadmap* memberRoadmap, DisplayRoadmap* displayRoadmap) = 0;  // slot 13

 protected:
  ~IJOverrideTreeHolder() = default;
};
QUORRA_INTERFACE_ID(IJOverrideTreeHolder, IID_IJOverrideTreeHolder);

// {FF6E46C2-0995-11D4-B87F-00C04F79B2C2}: offered by the storage of a family
// document; yields the storage that holds one sub-storage per member.
constexpr IID IID_IJFamilyMemberStorage = {0xff6e46c2, 0x0995, 0x11d4, {0xb8, 0x7f, 0x00, 0xc0, 0x4f, 0x79, 0xb2, 0xc2}};

struct IJFamilyMemberStorage : IUnknown {
  // The members' storage, AddRef'd.
  virtual HRESULT GetMemberStorage(IStorage** out) = 0;  // slot 18

 protected:
  ~IJFamilyMemberStorage() = default;
};
QUORRA_INTERFACE_ID(IJFamilyMemberStorage, IID_IJFamilyMemberStorage);

// "GetPersistManager" of "dulcet.dll": the persist manager of a document (or
// of any object of it), AddRef'd.
using GetPersistManagerSignature = HRESULT(IUnknown* object, IUnknown** persistManager);
// "JGetGraphicSupportObject" of "dulcet.dll": the persist manager's support
// object of interface `iid`.
using JGetGraphicSupportObjectSignature = HRESULT(IUnknown* persistManager, REFIID iid, void** out);
// "JAsmGetIDSAsmTree" of "brenik.dex": the live tree of a document (or of
// its persist manager). The flag is the host's (the library passes 1 for a
// read, 0 for an update).
using JAsmGetIDSAsmTreeSignature = HRESULT(IUnknown* document, AsmTree** tree, BOOL flag);
// "JAsmGetFileName" of "brenik.dex": the document's file name.
using JAsmGetFileNameSignature = HRESULT(IUnknown* document, GUserText* fileName);
// "JGetDocFiledVersion" of "dulcet.dll": the program version (major, minor)
// that last filed the document.
using JGetDocFiledVersionSignature = HRESULT(IUnknown* document, WORD* major, WORD* minor);
// "JAsmCheckFoaMasterAndEditMode2" of "ferrule.dll": whether the document is
// a master that records overrides, and whether it is in edit mode.
using JAsmCheckFoaMasterAndEditMode2Signature = HRESULT(IUnknown* document, BOOL* master, BOOL* editMode);
// "JAsmCheckFoaMasterAndEditMode" of "ferrule.dll": the same answers, asked
// by the property writers before they keep a sync record.
using JAsmCheckFoaMasterAndEditModeSignature = HRESULT(IUnknown* document, BOOL* master, BOOL* editMode);
