// The host's occurrence container: the document interface through which the
// members (placed components) of an assembly document are reached by their
// attachment id; the member (component) interface that names a member and
// leads to its own container; and the occurrence-document interface through
// which a member hands out the document it places.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/text.h"
#include "quorra/host/types.h"

// {1FC155A0-6BE3-101B-97A9-08003601CDC9}
constexpr IID IID_IJOccurrenceContainer = {
    0x1fc155a0, 0x6be3, 0x101b, {0x97, 0xa9, 0x08, 0x00, 0x36, 0x01, 0xcd, 0xc9}};
// {5BED5050-0BB7-11CE-91D1-080036661F02}: the host component interface of a member.
constexpr IID IID_IJComponent = {0x5bed5050, 0x0bb7, 0x11ce, {0x91, 0xd1, 0x08, 0x00, 0x36, 0x66, 0x1f, 0x02}};

// {6A3E1C20-4B7D-4F0E-9C51-2D8E7F304A61}: a member's occurrence document.
constexpr IID IID_IJOccurrenceDocument = {0x6a3e1c20, 0x4b7d, 0x4f0e, {0x9c, 0x51, 0x2d, 0x8e, 0x7f, 0x30, 0x4a, 0x61}};

struct IJComponent;

struct IJOccurrenceContainer : IUnknown {
  // The member placed with `attachmentId`, in interface `iid`.
  virtual HRESULT GetMember(DWORD attachmentId, REFIID iid, void** out) = 0;  // slot 16

 protected:
  ~IJOccurrenceContainer() = default;
};
QUORRA_INTERFACE_ID(IJOccurrenceContainer, IID_IJOccurrenceContainer);

// A member of an occurrence container. Only the slots the library calls are
// declared; the others are the host's.
//
// The member is also the referenced-document service of the occurrence it
// places: its reference property word (the layout of the attachment user
// datum UD_REF_PROPERTIES), which the host lets the library write back, its
// extended word (the component flags, the layout of UD_REF_EXT_PROPERTIES)
// and whether the placed document shows its simplified form. Members that
// keep none of these answer E_NOTIMPL.
struct IJComponent : IUnknown {
  // The reference property word.
  virtual HRESULT GetReferenceProperties(DWORD* properties) {  // slot 9
    if (properties) *properties = 0;
    return E_NOTIMPL;
  }
  // Replaces the reference property word.
  virtual HRESULT SetReferenceProperties(DWORD /*properties*/) { return E_NOTIMPL; }  // slot 10
  // The container of the member's own document (an assembly's); fails for a
  // leaf.
  virtual HRESULT GetOccurrenceContainer(IJOccurrenceContainer** container) = 0;  // slot 13
  // The component's flags, the extended reference word (0x20: a local
  // component part). Members that keep no flags answer E_NOTIMPL with none.
  virtual HRESULT GetComponentFlags(DWORD* flags) {  // slot 18
    if (flags) *flags = 0;
    return E_NOTIMPL;
  }
  // TRUE in `simplified` when the placed document shows its simplified form.
  virtual HRESULT GetSimplifiedForm(BOOL* simplified) {  // slot 28
    if (simplified) *simplified = 0;
    return E_NOTIMPL;
  }
  // TRUE when the member places a document without members (a part).
  virtual BOOL IsLeaf() = 0;  // slot 35
  // Writes the member's name; S_OK with the name, a failure without one.
  virtual HRESULT GetName(GUserText* name) = 0;  // slot 36

 protected:
  ~IJComponent() = default;
};
QUORRA_INTERFACE_ID(IJComponent, IID_IJComponent);

// Asked of a member (its Helix reference): the document the member places.
struct IJOccurrenceDocument : IUnknown {
  // Slots 0-2: QueryInterface, AddRef, Release (IUnknown).
  virtual HRESULT GetSourceDocument(REFIID iid, void** out) = 0;  // slot 3

 protected:
  ~IJOccurrenceDocument() = default;
};
QUORRA_INTERFACE_ID(IJOccurrenceDocument, IID_IJOccurrenceDocument);
