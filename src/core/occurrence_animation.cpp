// Occurrence animation: the placement of an occurrence at a frame of the
// host's timeline. World tracks give the occurrence's placement in the
// world; relative tracks move it in the frame of a reference ancestor; with
// neither, the occurrence stands where its placements and explode matrix put
// it. The host objects are held only for the call and every one of them is
// optional: a missing piece leaves its contribution out, silently.
#include <vector>

#include "core/occurrence_internal.h"
#include "quorra/host/display.h"
#include "quorra/host/kv_data.h"
#include "quorra/host/timeline.h"

using quorra::host::ComPtr;
using quorra::occ::Inverse;
using quorra::occ::Multiply;

namespace {

tagG4x4 Product(const tagG4x4& a, const tagG4x4& b) {
  tagG4x4 out{tagG4x4::NoInit{}};
  Multiply(a, b, out);
  return out;
}

bool Usable(IJTimelineObject* object) { return object && object->TestFlags(TIMELINE_FLAG_DISABLED) == 0; }

template <class Interface>
ComPtr<Interface> Query(IUnknown* object, REFIID iid) {
  ComPtr<Interface> result;
  if (object && FAILED(object->QueryInterface(iid, reinterpret_cast<void**>(result.Put())))) result.Reset();
  return result;
}

// The provider of the view's display object, else of the tree's data server.
ComPtr<IJTimelineProvider> FindProvider(const OccurrenceNode* occurrence) {
  if (JGraphicContext* context = occurrence->GetGraphicContext()) {
    auto provider = Query<IJTimelineProvider>(context->GetDisplayObject(), IID_IJTimelineProvider);
    if (provider) return provider;
  }
  ComPtr<IKVDataServer> server;
  occurrence->GetKVDataServer(server.Put());
  return Query<IJTimelineProvider>(server.Get(), IID_IJTimelineProvider);
}

// The categories to read and the frame to read them at.
struct TimelineState {
  ComPtr<IJTimelineCategory> world;
  ComPtr<IJTimelineCategory> relative;
  DWORD frame = TIMELINE_NO_FRAME;
};

TimelineState SettleTimeline(const OccurrenceNode* occurrence, IJTimelineCategory* world, IJTimelineCategory* relative,
                             DWORD frame) {
  TimelineState state;
  if (!world && !relative) {
    ComPtr<IJTimelineProvider> provider = FindProvider(occurrence);
    ComPtr<IJTimelineObject> timeline;
    DWORD current = TIMELINE_NO_FRAME;
    if (!provider || FAILED(provider->GetCurrentTimeline(timeline.Put(), &current))) return state;
    if (current == TIMELINE_NO_FRAME || !Usable(timeline.Get())) return state;
    state.frame = current;
    state.world = Query<IJTimelineCategory>(timeline.Get(), IID_IJTimelineCategory);
    state.relative = Query<IJTimelineCategory>(timeline.Get(), IID_IJTimelineRelativeCategory);
    if (!Usable(state.world.Get())) state.world.Reset();
    if (!Usable(state.relative.Get())) state.relative.Reset();
    return state;
  }
  if (world) world->AddRef();
  if (relative) relative->AddRef();
  state.world = ComPtr<IJTimelineCategory>::Adopt(world);
  state.relative = ComPtr<IJTimelineCategory>::Adopt(relative);
  state.frame = frame;
  if (frame == TIMELINE_NO_FRAME) {
    auto source = Query<IJTimelineFrameSource>(world ? world : relative, IID_IJTimelineFrameSource);
    DWORD current = TIMELINE_NO_FRAME;
    if (source && SUCCEEDED(source->GetValue(TIMELINE_VALUE_FRAME, &current))) state.frame = current;
  }
  // Without a frame there is nothing to evaluate.
  if (state.frame == TIMELINE_NO_FRAME) {
    state.world.Reset();
    state.relative.Reset();
  }
  return state;
}

// The tracks of `category` for `roadmap`, each adopted.
std::vector<ComPtr<IJTimelineTrack>> TracksOf(IJTimelineCategory* category, const JRoadmap& roadmap) {
  std::vector<IJTimelineTrack*> raw;
  if (category) category->GetTracks(roadmap, &raw);
  std::vector<ComPtr<IJTimelineTrack>> tracks;
  tracks.reserve(raw.size());
  for (IJTimelineTrack* track : raw) tracks.push_back(ComPtr<IJTimelineTrack>::Adopt(track));
  return tracks;
}

}  // namespace

tagG4x4* OccurrenceNode::GetAnimatedMatrixChain(tagG4x4* out1, tagG4x4* out2, tagG4x4* out3, tagG4x4* out4,
                                                tagG4x4* out5, IJTimelineCategory* worldCategory,
                                                IJTimelineCategory* relativeCategory, DWORD frame) {
  const TimelineState timeline = SettleTimeline(this, worldCategory, relativeCategory, frame);
  const JRoadmap roadmap = GetRoadmap();
  const tagG4x4 undecorated = GetUndecoratedMatrix(0);
  const tagG4x4 embedded = GetEmbeddedMatrix();
  const tagG4x4 exploded = GetUndecoratedMatrix(0x2);

  // World tracks replace the explode matrix: each moves the placement the
  // previous one gave, starting from the undecorated one.
  tagG4x4 world = exploded;
  bool exploding = true;
  if (timeline.world) {
    const auto tracks = TracksOf(timeline.world.Get(), roadmap);
    if (!tracks.empty()) {
      world = undecorated;
      exploding = false;
      for (const auto& track : tracks) {
        tagG4x4 moved;
        if (track && SUCCEEDED(track->Evaluate(timeline.frame, world, &moved))) world = moved;
      }
    }
  }
  // Relative tracks move the occurrence in the frame of the first of their
  // reference roadmaps that names one of its ancestors.
  if (timeline.relative) {
    for (const auto& track : TracksOf(timeline.relative.Get(), roadmap)) {
      std::vector<JRoadmap> references;
      if (!track || FAILED(track->GetReferenceRoadmaps(&references))) continue;
      for (const JRoadmap& reference : references) {
        OccurrenceNode* ancestor = GetAncestor(reference);
        if (ancestor == this) continue;
        const tagG4x4 frameOfAncestor = ancestor->GetUndecoratedMatrix(0x1);
        tagG4x4 moved;
        if (SUCCEEDED(track->Evaluate(timeline.frame, Product(Inverse(frameOfAncestor), world), &moved)))
          world = Product(frameOfAncestor, moved);
        break;
      }
    }
  }

  const tagG4x4 parentWorld = parent_ ? parent_->GetUndecoratedMatrix(0x2) : tagG4x4();
  SetAnimatedMatrix(Product(world, embedded), parentWorld);
  if (out1) *out1 = undecorated;
  if (out2) *out2 = embedded;
  if (out3) *out3 = world;
  // world = P x E x W0: E the explode contribution at the frame (none under
  // world tracks), P the motion beyond it.
  const tagG4x4 explode = exploding ? Product(exploded, Inverse(undecorated)) : tagG4x4();
  if (out4) *out4 = explode;
  if (out5) *out5 = Product(world, Inverse(Product(explode, undecorated)));
  return const_cast<tagG4x4*>(&GetAnimatedMatrix());
}
