// What refhost's membassies and context objects tell refhost's own module
// functions (the owner walk, the persist manager's attachment ids, the
// "inkle.dll" context functions) about themselves.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/types.h"

class DisplayRoadmap;
class JMemberRoadmap;

namespace quorra::refhost {

// {3D8C2F61-7A4E-4B19-9E07-C45A1B2D6E83}
constexpr IID IID_IRefhostHostObject = {0x3d8c2f61, 0x7a4e, 0x4b19, {0x9e, 0x07, 0xc4, 0x5a, 0x1b, 0x2d, 0x6e, 0x83}};

struct IRefhostHostObject : IUnknown {
  // The document the object belongs to (not AddRef'd).
  virtual IUnknown* GetDocument() = 0;
  // The next object up the chain (not AddRef'd); null for the document's
  // root object, whose owner is the document's top object.
  virtual IUnknown* GetChainOwner() = 0;
  // The attachment id of the object's level; 0 for the root object.
  virtual DWORD GetAttachmentID() = 0;
  // The attachment ids from the document's root down to this level.
  virtual const DisplayRoadmap& GetPath() = 0;
  // The member roadmap from the document down to this level, the document's
  // own route first.
  virtual const JMemberRoadmap& GetFullRoadmap() = 0;
  // True for a membassy made as a reverse membassy.
  virtual bool IsReverse() = 0;
  // True for a membassy; false for a context object or the root object.
  virtual bool IsMembassy() = 0;

 protected:
  ~IRefhostHostObject() = default;
};

// The refhost host object behind `object`, or null (not AddRef'd: `object`
// holds it).
IRefhostHostObject* AsHostObject(IUnknown* object);

}  // namespace quorra::refhost

QUORRA_INTERFACE_ID(quorra::refhost::IRefhostHostObject, quorra::refhost::IID_IRefhostHostObject);
