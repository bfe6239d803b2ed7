// Roadmaps of local component parts (parts that live inside an assembly
// document), which JGetRoadmapsFromMembassy hands over to this walk. Not
// exported: tests reach it here.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/types.h"

class DisplayRoadmap;
class JMemberRoadmap;

// The member and display roadmaps of a local component part, walked like
// JGetRoadmapsFromMembassy's owner chain, except that a local-component owner
// hands the walk on to its first element with the component interface. A
// start object with the membassy interface is refused (E_INVALIDARG).
HRESULT JGetRoadmapsFromLocalComponentPart(IUnknown* part, JMemberRoadmap* memberRoadmap,
                                           DisplayRoadmap* displayRoadmap, bool* displayRoadmapValid);
