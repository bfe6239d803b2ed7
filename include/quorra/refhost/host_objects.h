// refhost's membassies and host context objects: the host objects through
// which a CAD host names one occurrence of an assembly document to Mercury.
//
// A membassy stands for one member of an assembly document, reached from the
// document's root by a path of attachment ids. It comes with its owner
// chain: one membassy per level of the path, each owned by the level above,
// and at the top the document's root object, owned by the document's top
// object (the persist manager's support object, where JGetRoadmapsFromMembassy
// stops). Every level answers the route-link interface with its member route
// (the attachment id as decimal text; the root object's route is the
// document's file name), and the membassies answer the membassy interface
// with the identity of the document's member (whose persist id is the
// attachment id) and the host occurrence interface.
//
// A host context object names an occurrence the same way but is no
// membassy: its levels answer the host occurrence interface, and the
// document's persist manager tells their attachment ids. "JGetContextInformation"
// answers its document and its member roadmap (the document's route first);
// a context with an empty path names the document's root.
//
// The functions refhost exports for them: "GetOwnerOrGroup" of "dulcet.dll";
// "JGetFirstOccurrence", "JGetContextDocumentFromMembassy",
// "JGetContextInformation", "JIsReverseMembassy" and
// "JGetFullRoadmapFromMembassy" of "inkle.dll".
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/types.h"

class DisplayRoadmap;
class OccurrenceNode;

namespace quorra::refhost {

struct MembassyOptions {
  // "JIsReverseMembassy" answers TRUE for the membassy (not for the levels
  // above it), so the body-data lookup reads its roadmap through
  // "JGetFullRoadmapFromMembassy".
  bool reverse = false;
};

// The membassy of the member `roadmap` names below `document` (an assembly
// document bound with BindDocuments), AddRef'd. E_INVALIDARG (traced) for a
// null document, one without members, an empty roadmap or a link the
// document's members do not have; E_POINTER for a null out.
HRESULT CreateMembassy(IUnknown* document, const DisplayRoadmap& roadmap, IUnknown** membassy,
                       const MembassyOptions& options = MembassyOptions());
// The membassy of an occurrence of a tree bound with BindDocuments: its root
// site's document and its display roadmap. E_INVALIDARG for the root
// occurrence or an occurrence whose root site has no document.
HRESULT CreateOccurrenceMembassy(OccurrenceNode* occurrence, IUnknown** membassy);
// A host context object for the occurrence `roadmap` names below `document`
// (the empty roadmap: the document's root), AddRef'd. Failures as for
// CreateMembassy.
HRESULT CreateHostContext(IUnknown* document, const DisplayRoadmap& roadmap, IUnknown** context);

}  // namespace quorra::refhost
