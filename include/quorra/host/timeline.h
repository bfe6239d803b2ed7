// The host's animation timeline, as occurrence animation reads it: a
// provider that answers the current timeline and frame, the timeline's two
// categories of tracks (placements in the world, and placements relative to
// a reference ancestor), the frame source of a category, and the tracks,
// which evaluate to a matrix at a frame.
//
// A provider is found by asking the host's display object of the tree's
// graphic context for IJTimelineProvider, else the tree's data server. The
// timeline object answers the two category ids through QueryInterface.
// Every host interface is held only for the duration of one call.
#pragma once

#include <vector>

#include "quorra/host/com.h"
#include "quorra/host/geometry.h"
#include "quorra/host/identity.h"
#include "quorra/host/types.h"

// {19600806-ABCD-1234-1001-080036B4D602}
constexpr IID IID_IJTimelineProvider = {0x19600806, 0xABCD, 0x1234, {0x10, 0x01, 0x08, 0x00, 0x36, 0xB4, 0xD6, 0x02}};
// {19600806-ABCD-1234-1101-080036B4D602}
constexpr IID IID_IJTimelineFrameSource = {
    0x19600806, 0xABCD, 0x1234, {0x11, 0x01, 0x08, 0x00, 0x36, 0xB4, 0xD6, 0x02}};
// {19600806-ABCD-1234-1204-080036B4D602}: the category whose tracks give an
// occurrence's placement in the world.
constexpr IID IID_IJTimelineCategory = {0x19600806, 0xABCD, 0x1234, {0x12, 0x04, 0x08, 0x00, 0x36, 0xB4, 0xD6, 0x02}};
// {19600806-ABCD-1234-1207-080036B4D602}: the category whose tracks place an
// occurrence relative to a reference ancestor (same interface).
constexpr IID IID_IJTimelineRelativeCategory = {
    0x19600806, 0xABCD, 0x1234, {0x12, 0x07, 0x08, 0x00, 0x36, 0xB4, 0xD6, 0x02}};
// {6E0F4C21-3B7A-4E55-9D18-2C4A7B90E311}
constexpr IID IID_IJTimelineObject = {0x6E0F4C21, 0x3B7A, 0x4E55, {0x9D, 0x18, 0x2C, 0x4A, 0x7B, 0x90, 0xE3, 0x11}};
// {6E0F4C22-3B7A-4E55-9D18-2C4A7B90E311}
constexpr IID IID_IJTimelineTrack = {0x6E0F4C22, 0x3B7A, 0x4E55, {0x9D, 0x18, 0x2C, 0x4A, 0x7B, 0x90, 0xE3, 0x11}};

// The flag the library tests on a timeline and its categories: an object
// that answers 0 for it is usable.
constexpr DWORD TIMELINE_FLAG_DISABLED = 0x40000000;
// What a frame source is asked for.
constexpr DWORD TIMELINE_VALUE_FRAME = 8;
// No frame: "the current one" when passed in, "none" when answered.
constexpr DWORD TIMELINE_NO_FRAME = 0xFFFFFFFF;

struct IJTimelineTrack;

// A timeline or a category.
struct IJTimelineObject : IUnknown {
  // Slots 3 and 4 are not used.
  // The bits of `flags` the object has set; 0 for none.
  virtual DWORD TestFlags(DWORD flags) = 0;  // slot 5

 protected:
  ~IJTimelineObject() = default;
};
QUORRA_INTERFACE_ID(IJTimelineObject, IID_IJTimelineObject);

struct IJTimelineCategory : IJTimelineObject {
  // Appends the tracks that move the occurrence `roadmap` names, in order,
  // each with a reference the caller releases.
  virtual HRESULT GetTracks(const JRoadmap& roadmap, std::vector<IJTimelineTrack*>* tracks) = 0;  // slot 30

 protected:
  ~IJTimelineCategory() = default;
};
QUORRA_INTERFACE_ID_DERIVED(IJTimelineCategory, IID_IJTimelineCategory, IJTimelineObject);

struct IJTimelineTrack : IUnknown {
  // The roadmaps of the occurrences a relative track's motion is expressed
  // in, in the order they are to be tried.
  virtual HRESULT GetReferenceRoadmaps(std::vector<JRoadmap>* roadmaps) = 0;  // slot 17
  // The placement at `frame` of an occurrence that stands at `position`
  // without the track (in the world for a world track, in the reference
  // occurrence's frame for a relative one).
  virtual HRESULT Evaluate(DWORD frame, const tagG4x4& position, tagG4x4* out) = 0;  // slot 44

 protected:
  ~IJTimelineTrack() = default;
};
QUORRA_INTERFACE_ID(IJTimelineTrack, IID_IJTimelineTrack);

struct IJTimelineFrameSource : IUnknown {
  // Asked with TIMELINE_VALUE_FRAME, answers the current frame.
  virtual HRESULT GetValue(DWORD what, DWORD* value) = 0;  // slot 3

 protected:
  ~IJTimelineFrameSource() = default;
};
QUORRA_INTERFACE_ID(IJTimelineFrameSource, IID_IJTimelineFrameSource);

struct IJTimelineProvider : IUnknown {
  // The current timeline (with a reference, null when none) and its current
  // frame (TIMELINE_NO_FRAME when none).
  virtual HRESULT GetCurrentTimeline(IJTimelineObject** timeline, DWORD* frame) = 0;  // slot 20

 protected:
  ~IJTimelineProvider() = default;
};
QUORRA_INTERFACE_ID(IJTimelineProvider, IID_IJTimelineProvider);
