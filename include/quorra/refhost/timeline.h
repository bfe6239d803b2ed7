// refhost's animation timeline: a provider (to be set as the display object
// of a graphic context) that is also the timeline, with a world and a
// relative category of keyframed tracks.
//
// A track holds motions at keyframes (frame, matrix); at a frame between two
// keyframes each element of the motion is interpolated linearly (exact for
// translations), before the first and after the last the nearest keyframe's
// motion holds. Evaluating a track applies its motion on the left of the
// position it is given: motion x position.
#pragma once

#include <map>
#include <utility>
#include <vector>

#include "quorra/host/com.h"
#include "quorra/host/timeline.h"

namespace quorra::refhost {

class TimelineTrack final : public host::ComObject<IJTimelineTrack> {
 public:
  using Keyframes = std::vector<std::pair<DWORD, tagG4x4>>;  // frame order

  static host::ComPtr<TimelineTrack> Create(Keyframes keyframes, std::vector<JRoadmap> references = {});

  HRESULT GetReferenceRoadmaps(std::vector<JRoadmap>* roadmaps) override;         // slot 17
  HRESULT Evaluate(DWORD frame, const tagG4x4& position, tagG4x4* out) override;  // slot 44

  // The motion at `frame` (identity without keyframes).
  tagG4x4 MotionAt(DWORD frame) const;
  // How often Evaluate ran.
  DWORD Evaluations() const { return evaluations_; }

 private:
  TimelineTrack(Keyframes keyframes, std::vector<JRoadmap> references)
      : keyframes_(std::move(keyframes)), references_(std::move(references)) {}
  ~TimelineTrack() override = default;

  Keyframes keyframes_;
  std::vector<JRoadmap> references_;
  DWORD evaluations_ = 0;
};

class TimelineCategory final : public host::ComObject<IJTimelineCategory, IJTimelineFrameSource> {
 public:
  static host::ComPtr<TimelineCategory> Create();

  DWORD TestFlags(DWORD flags) override { return flags_ & flags; }                             // slot 5
  HRESULT GetTracks(const JRoadmap& roadmap, std::vector<IJTimelineTrack*>* tracks) override;  // slot 30
  HRESULT GetValue(DWORD what, DWORD* value) override;  // slot 3 of the frame source

  // Adds `track` (after those already there) to the occurrence `roadmap`
  // names.
  void AddTrack(const JRoadmap& roadmap, TimelineTrack* track);
  void SetFlags(DWORD flags) { flags_ = flags; }
  // The frame the frame source answers (TIMELINE_NO_FRAME: it fails).
  void SetFrame(DWORD frame) { frame_ = frame; }

 private:
  TimelineCategory() = default;
  ~TimelineCategory() override = default;

  std::multimap<JRoadmap, host::ComPtr<TimelineTrack>> tracks_;
  DWORD flags_ = 0;
  DWORD frame_ = TIMELINE_NO_FRAME;
};

// The provider and its timeline in one object.
class Timeline final : public host::ComObject<IJTimelineProvider, IJTimelineObject> {
 public:
  static host::ComPtr<Timeline> Create();

  // Also answers the two category ids, with the categories.
  HRESULT QueryInterface(REFIID iid, void** out) override;
  HRESULT GetCurrentTimeline(IJTimelineObject** timeline, DWORD* frame) override;  // slot 20
  DWORD TestFlags(DWORD flags) override { return flags_ & flags; }                 // slot 5

  TimelineCategory& World() { return *world_.Get(); }
  TimelineCategory& Relative() { return *relative_.Get(); }
  // The current frame; both categories' frame sources answer it too.
  void SetFrame(DWORD frame);
  void SetFlags(DWORD flags) { flags_ = flags; }

 private:
  Timeline();
  ~Timeline() override = default;

  host::ComPtr<TimelineCategory> world_;
  host::ComPtr<TimelineCategory> relative_;
  DWORD frame_ = TIMELINE_NO_FRAME;
  DWORD flags_ = 0;
};

}  // namespace quorra::refhost
