// From roadmaps to occurrences and names: the walk callbacks behind
// AsmTree::Lookup (OccLookup) and JBindRoadmapToOccLite
// (BindRoadmapToOccLite), the readable name of a roadmap through the host's
// occurrence containers, and occurrence names through the host reference.
#pragma once

#include "quorra/host/container.h"
#include "quorra/host/text.h"
#include "quorra/host/types.h"
#include "quorra/member_roadmap.h"
#include "quorra/roadmap.h"
#include "quorra/walk.h"

class AssemblyOccurrence;
class AttachmentNode;
class OccurrenceNode;

// Finds the occurrence a DisplayRoadmap names by walking from the root (root
// visited): every assembly replaces the working roadmap's last link by its
// attachment id, matches (result, abort) or descends while its path is a
// prefix of the target (else prunes); a part whose path equals the target is
// recorded and the walk goes on. AsmTree::Lookup gives the same answers
// without visiting every sibling.
class OccLookup : public TreeWalkCallback {
 public:
  explicit OccLookup(const DisplayRoadmap* target) : working_(0, 5), target_(target) {}

  HRESULT BeginAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) override;
  HRESULT VisitPart(PartOccurrence* part, TreeWalkContext* context) override;
  HRESULT VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) override;
  HRESULT EndAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) override;

  const OccurrenceNode* GetFound() const { return found_; }

 private:
  DisplayRoadmap working_;
  const DisplayRoadmap* target_;
  const OccurrenceNode* found_ = nullptr;
};

// Binds a member roadmap below an assembly: every part and assembly reached
// tests its attachment against the current route; a mismatch prunes, a match
// moves to the next route (continuing) or, on the last, is the result
// (abort). The first route of the roadmap is never matched, and routes equal
// to the UTF-16 text "References" are passed over.
class BindRoadmapToOccLite : public TreeWalkCallback {
 public:
  BindRoadmapToOccLite(AssemblyOccurrence* root, const JMemberRoadmap* roadmap);

  HRESULT VisitPart(PartOccurrence* part, TreeWalkContext* context) override;
  HRESULT VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext* context) override;

  OccurrenceNode* GetFound() const { return found_; }
  AssemblyOccurrence* GetRoot() const { return root_; }
  const JMemberRoadmap* GetRoadmap() const { return roadmap_; }
  // Moves to the next route that is not "References".
  void Advance();
  // True when the attachment matches `route` (its UD_OCC_ROADMAP route, its
  // id in binary, or its id as decimal text).
  static bool Matches(const AttachmentNode* attachment, const JMemberRoute& route);

 private:
  HRESULT Visit(OccurrenceNode* node);

  AssemblyOccurrence* root_;
  const JMemberRoadmap* roadmap_;
  const JMemberRouteLink* current_;
  OccurrenceNode* found_ = nullptr;
};

extern "C" {
// The readable path of the roadmap's members ("a.asm:1/b.par:2") through the
// host's occurrence containers, starting with the container `context`
// answers. The text lies in one process-wide buffer of 1024 characters,
// overwritten by the next call; "" when context or rm is null.
const char* JDisplayRoadmapToOccNameString(IUnknown* context, DisplayRoadmap* rm);
// Binds a member roadmap to an occurrence below `root`: 5 with *occ set when
// found, 0 with *occ null when not; E_INVALIDARG (traced) for a null root,
// roadmap or out-pointer; a failing walk's error.
HRESULT JBindRoadmapToOccLite(AssemblyOccurrence* root, JMemberRoadmap* rm, OccurrenceNode** occ);
}

namespace quorra {
// The host's name of an attachment (its Helix reference's name), or
// "NoOccurrenceName".
GUserText GetAttachmentName(const AttachmentNode* attachment);
}  // namespace quorra
