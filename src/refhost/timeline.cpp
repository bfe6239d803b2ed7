// refhost's animation timeline: keyframed tracks in a world and a relative
// category, and the provider that hands out the timeline and its frame.
#include "quorra/refhost/timeline.h"

namespace quorra::refhost {

// ---- TimelineTrack ----

host::ComPtr<TimelineTrack> TimelineTrack::Create(Keyframes keyframes, std::vector<JRoadmap> references) {
  return host::ComPtr<TimelineTrack>(new TimelineTrack(std::move(keyframes), std::move(references)));
}

HRESULT TimelineTrack::GetReferenceRoadmaps(std::vector<JRoadmap>* roadmaps) {
  if (!roadmaps) return E_POINTER;
  roadmaps->insert(roadmaps->end(), references_.begin(), references_.end());
  return S_OK;
}

tagG4x4 TimelineTrack::MotionAt(DWORD frame) const {
  if (keyframes_.empty()) return tagG4x4();
  if (frame <= keyframes_.front().first) return keyframes_.front().second;
  for (size_t i = 1; i < keyframes_.size(); ++i) {
    const auto& [end, to] = keyframes_[i];
    if (frame > end) continue;
    const auto& [start, from] = keyframes_[i - 1];
    const double t = static_cast<double>(frame - start) / static_cast<double>(end - start);
    tagG4x4 motion;
    for (int k = 0; k < 16; ++k) motion.m[k] = from.m[k] + (to.m[k] - from.m[k]) * t;
    return motion;
  }
  return keyframes_.back().second;
}

HRESULT TimelineTrack::Evaluate(DWORD frame, const tagG4x4& position, tagG4x4* out) {
  if (!out) return E_POINTER;
  ++evaluations_;
  *out = MotionAt(frame) * position;
  return S_OK;
}

// ---- TimelineCategory ----

host::ComPtr<TimelineCategory> TimelineCategory::Create() {
  return host::ComPtr<TimelineCategory>(new TimelineCategory());
}

HRESULT TimelineCategory::GetTracks(const JRoadmap& roadmap, std::vector<IJTimelineTrack*>* tracks) {
  if (!tracks) return E_POINTER;
  auto [first, last] = tracks_.equal_range(roadmap);
  for (auto it = first; it != last; ++it) {
    it->second->AddRef();
    tracks->push_back(it->second.Get());
  }
  return S_OK;
}

HRESULT TimelineCategory::GetValue(DWORD what, DWORD* value) {
  if (!value) return E_POINTER;
  if (what != TIMELINE_VALUE_FRAME || frame_ == TIMELINE_NO_FRAME) return E_FAIL;
  *value = frame_;
  return S_OK;
}

void TimelineCategory::AddTrack(const JRoadmap& roadmap, TimelineTrack* track) {
  if (!track) return;
  track->AddRef();
  tracks_.emplace(roadmap, host::ComPtr<TimelineTrack>::Adopt(track));
}

// ---- Timeline ----

Timeline::Timeline() : world_(TimelineCategory::Create()), relative_(TimelineCategory::Create()) {}

host::ComPtr<Timeline> Timeline::Create() { return host::ComPtr<Timeline>(new Timeline()); }

HRESULT Timeline::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IJTimelineCategory || iid == IID_IJTimelineRelativeCategory) {
    IJTimelineCategory* category = iid == IID_IJTimelineCategory ? world_.Get() : relative_.Get();
    category->AddRef();
    *out = category;
    return S_OK;
  }
  return ComObject::QueryInterface(iid, out);
}

HRESULT Timeline::GetCurrentTimeline(IJTimelineObject** timeline, DWORD* frame) {
  if (!timeline || !frame) return E_POINTER;
  AddRef();
  *timeline = this;
  *frame = frame_;
  return S_OK;
}

void Timeline::SetFrame(DWORD frame) {
  frame_ = frame;
  world_->SetFrame(frame);
  relative_->SetFrame(frame);
}

}  // namespace quorra::refhost
