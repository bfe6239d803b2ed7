// Host objects and functions that Mercury's context resolution talks to: the
// membassy (the host's object for one member of an assembly), the host
// occurrence marker, the route link that gives one level's member roadmap,
// the component flags, the persist manager's attachment ids, and the
// late-bound functions of "inkle.dll" and "dulcet.dll" that walk them.
// Slot numbers count IUnknown's three methods as slots 0-2.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/container.h"
#include "quorra/host/identity.h"
#include "quorra/host/types.h"

#include <set>

class JMemberRoadmap;

// {72805FB0-0B80-11CE-9877-08003601CAB2}: a membassy.
constexpr IID IID_IJMembassy = {0x72805fb0, 0x0b80, 0x11ce, {0x98, 0x77, 0x08, 0x00, 0x36, 0x01, 0xca, 0xb2}};
struct IJMembassy : IUnknown {
  // The member's identity.
  virtual HRESULT GetMemberIdentity(JIdentity* identity) = 0;  // slot 27

 protected:
  ~IJMembassy() = default;
};
QUORRA_INTERFACE_ID(IJMembassy, IID_IJMembassy);

// {76F127D0-CF32-11CD-9F2A-08003601D493}: an object that stands for one
// occurrence level. Only its presence is asked for.
constexpr IID IID_IJHostOccurrence = {0x76f127d0, 0xcf32, 0x11cd, {0x9f, 0x2a, 0x08, 0x00, 0x36, 0x01, 0xd4, 0x93}};
struct IJHostOccurrence : IUnknown {
 protected:
  ~IJHostOccurrence() = default;
};
QUORRA_INTERFACE_ID(IJHostOccurrence, IID_IJHostOccurrence);

// {22A0C900-C016-11CD-BF29-08003601B1FE}: a route link.
constexpr IID IID_IJRouteLink = {0x22a0c900, 0xc016, 0x11cd, {0xbf, 0x29, 0x08, 0x00, 0x36, 0x01, 0xb1, 0xfe}};
struct IJRouteLink : IUnknown {
  // The member roadmap of `object`'s level.
  virtual HRESULT GetLevelMemberRoadmap(IUnknown* object, JMemberRoadmap* roadmap) = 0;  // slot 4

 protected:
  ~IJRouteLink() = default;
};
QUORRA_INTERFACE_ID(IJRouteLink, IID_IJRouteLink);

// Component flags (IJComponent::GetComponentFlags, host/container.h): a
// local component part.
constexpr DWORD COMPONENT_LOCAL_PART = 0x20;

// {783BE876-F675-413C-B0CC-857DE00B2A42}: answered by an object whose
// persist id is not an attachment id.
constexpr IID IID_IJNotARoadmapLink = {0x783be876, 0xf675, 0x413c, {0xb0, 0xcc, 0x85, 0x7d, 0xe0, 0x0b, 0x2a, 0x42}};

// {4C1E7A52-9D3B-4F60-8A21-5E0B7C9D3F14}: the persist manager's attachment
// ids for objects that are not membassies.
constexpr IID IID_IJPersistIdServer = {0x4c1e7a52, 0x9d3b, 0x4f60, {0x8a, 0x21, 0x5e, 0x0b, 0x7c, 0x9d, 0x3f, 0x14}};
struct IJPersistIdServer : IUnknown {
  virtual HRESULT GetObjectPersistID(IUnknown* object, DWORD* id, DWORD reserved) = 0;  // slot 14
  virtual HRESULT ConfirmPersistID(DWORD id, DWORD reserved) = 0;                         // slot 15

 protected:
  ~IJPersistIdServer() = default;
};
QUORRA_INTERFACE_ID(IJPersistIdServer, IID_IJPersistIdServer);

// "GetOwnerOrGroup" of "dulcet.dll": the owner (which 0) or group (which 1)
// of an object, in interface `iid`.
using GetOwnerOrGroupSignature = HRESULT(IUnknown* object, DWORD which, REFIID iid, void** out);
// "JGetFirstOccurrence" of "inkle.dll": the first occurrence object of a
// context, in interface `iid`.
using JGetFirstOccurrenceSignature = HRESULT(IUnknown* context, REFIID iid, void** out);
// "JGetContextDocumentFromMembassy" of "inkle.dll".
using JGetContextDocumentFromMembassySignature = HRESULT(IUnknown* context, IUnknown** document);
// "JGetContextInformation" of "inkle.dll": a context's document and member
// roadmap; the flag is the host's.
using JGetContextInformationSignature = HRESULT(IUnknown* context, bool flag, IUnknown** document,
                                                JMemberRoadmap* roadmap);

// ---- the property service ----

// {9C8E4F9D-CB62-4913-A555-C2C42F004D25} / {83408E98-4530-45B4-9945-BE70766747D7}:
// the host's update manager, made with JCoCreateInstance.
constexpr CLSID CLSID_JUpdateManager = {0x9c8e4f9d, 0xcb62, 0x4913, {0xa5, 0x55, 0xc2, 0xc4, 0x2f, 0x00, 0x4d, 0x25}};
constexpr IID IID_IJUpdateManager = {0x83408e98, 0x4530, 0x45b4, {0x99, 0x45, 0xbe, 0x70, 0x76, 0x67, 0x47, 0xd7}};
struct IJUpdateManager : IUnknown {
  // Adds the documents that are open at the top level (not as a part of
  // another open document) to `documents`; no references are taken.
  virtual HRESULT GetTopLevelDocuments(std::set<IUnknown*>* documents) = 0;  // slot 22

 protected:
  ~IJUpdateManager() = default;
};
QUORRA_INTERFACE_ID(IJUpdateManager, IID_IJUpdateManager);

// {5E2D9A41-7C3B-4E85-B1F6-0A4D8C2E9B73}: the persist manager's document
// ids, the keys of the per-document display settings.
constexpr IID IID_IJDocumentIdServer = {0x5e2d9a41, 0x7c3b, 0x4e85, {0xb1, 0xf6, 0x0a, 0x4d, 0x8c, 0x2e, 0x9b, 0x73}};
struct IJDocumentIdServer : IUnknown {
  virtual HRESULT GetDocumentID(IUnknown* document, DWORD* id) = 0;  // slot 42

 protected:
  ~IJDocumentIdServer() = default;
};
QUORRA_INTERFACE_ID(IJDocumentIdServer, IID_IJDocumentIdServer);

// The object a site keeps as its graphic support (user data 53): it hands
// out the document's services by interface id, the override-table holder
// among them.
struct IJGraphicSupport : IUnknown {
  virtual HRESULT GetService(REFIID iid, void** out) = 0;  // slot 3

 protected:
  ~IJGraphicSupport() = default;
};
