// Occurrence animation: the animated placement composed from the host's
// timeline (refhost's keyframed tracks), the fallback to placements and
// explode matrices, and the parent-relative matrix of an animated
// occurrence.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost/timeline.h>

#include <cmath>
#include <vector>

#include "support/assembly_builder.h"

using namespace quorra::test;
using quorra::refhost::Timeline;
using quorra::refhost::TimelineTrack;

namespace {

const double kQuarterTurn = std::acos(0.0);

JRoadmap Roadmap(std::vector<DWORD> ids) {
  JRoadmap roadmap;
  for (DWORD id : ids) EXPECT_EQ(roadmap.AddRoute(id, 0), S_OK);
  return roadmap;
}

void ExpectOrigin(const tagG4x4& m, double x, double y, double z) {
  EXPECT_NEAR(m.m[3], x, 1e-9);
  EXPECT_NEAR(m.m[7], y, 1e-9);
  EXPECT_NEAR(m.m[11], z, 1e-9);
}

// root.asm: 1 sub.asm (a quarter turn about z, then 10 along x) placing
// 1 q.par at x 1; 2 p.par at y 5. The timeline is the display object of the
// tree's graphic context.
struct AnimatedTree {
  quorra::host::ComPtr<Timeline> timeline = Timeline::Create();
  JGraphicContext context;
  AssemblyBuilder b;
  AssemblyOccurrence* root = nullptr;
  OccurrenceNode* sub = nullptr;
  OccurrenceNode* q = nullptr;
  OccurrenceNode* p = nullptr;
  const tagG4x4 subPlacement = tagG4x4::Translation(10, 0, 0) * tagG4x4::RotationZ(kQuarterTurn);

  AnimatedTree() {
    AssemblySite* top = b.Assembly(L"root");
    AssemblySite* subSite = b.Assembly(L"sub");
    b.Place(top, subSite, subPlacement);
    b.Place(top, b.Part(L"p"), tagG4x4::Translation(0, 5, 0));
    b.Place(subSite, b.Part(L"q"), tagG4x4::Translation(1, 0, 0));
    root = b.Build(top);
    const DWORD subPath[] = {1}, qPath[] = {1, 1}, pPath[] = {2};
    sub = root->Bind(1, subPath);
    q = root->Bind(2, qPath);
    p = root->Bind(1, pPath);
    context.SetDisplayObject(static_cast<IJTimelineProvider*>(timeline.Get()));
    b.Tree()->SetGraphicContext(&context);
  }
  ~AnimatedTree() { b.Tree()->SetGraphicContext(nullptr); }
};

TEST(Animation, WithoutATimelineTheOccurrenceStandsOnItsPlacementsAndExplode) {
  for (bool explode : {false, true}) {
    SCOPED_TRACE(explode);
    AnimatedTree t;
    t.context.SetDisplayObject(nullptr);
    const tagG4x4 lift = tagG4x4::Translation(0, 0, 7);
    const tagGTransf liftTransf(lift);
    if (explode) {
      ASSERT_EQ(t.sub->SetExplodeMatrix(&liftTransf), S_OK);
    }
    tagG4x4 chain[5];
    const tagG4x4* animated = t.q->GetAnimatedMatrixChain(&chain[0], &chain[1], &chain[2], &chain[3], &chain[4],
                                                          nullptr, nullptr, TIMELINE_NO_FRAME);
    EXPECT_TRUE(t.q->IsAnimated());
    // sub's quarter turn takes q's x 1 to y 1.
    ExpectOrigin(*animated, 10, 1, explode ? 7 : 0);
    ExpectOrigin(chain[0], 10, 1, 0);
    EXPECT_TRUE(chain[3].IsEqual(explode ? lift : tagG4x4()));
    EXPECT_TRUE(chain[4].IsIdentity());
    EXPECT_TRUE((chain[4] * chain[3] * chain[0]).IsEqual(chain[2]));
  }
}

TEST(Animation, WorldTracksMoveTheOccurrenceInListOrderAndReplaceItsExplode) {
  AnimatedTree t;
  t.timeline->SetFrame(10);
  auto slide = TimelineTrack::Create({{0, tagG4x4()}, {20, tagG4x4::Translation(20, 0, 0)}});
  auto turn = TimelineTrack::Create({{0, tagG4x4::RotationZ(kQuarterTurn)}});
  t.timeline->World().AddTrack(Roadmap({2}), slide.Get());
  t.timeline->World().AddTrack(Roadmap({2}), turn.Get());
  const tagGTransf lift(tagG4x4::Translation(0, 0, 7));
  ASSERT_EQ(t.p->SetExplodeMatrix(&lift), S_OK);
  const ULONG timelineRefs = t.timeline->GetRefCount();

  const tagG4x4* animated =
      t.p->GetAnimatedMatrixChain(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, TIMELINE_NO_FRAME);
  // p at y 5, slid halfway (x 10), then turned: (-5, 10, 0); the explode
  // lift is not applied under a world track.
  ExpectOrigin(*animated, -5, 10, 0);
  EXPECT_EQ(slide->Evaluations(), 1u);
  EXPECT_EQ(turn->Evaluations(), 1u);
  // Every host object was given back.
  EXPECT_EQ(t.timeline->GetRefCount(), timelineRefs);
  EXPECT_EQ(slide->GetRefCount(), 2u);  // ours and the category's

  // While the tree's animation state is valid the parent-relative matrix is
  // the animated one (the root's world is the identity).
  t.b.Tree()->SetAnimationState(3);
  tagG4x4 relative;
  ASSERT_EQ(t.p->GetOccurrenceMatrix(&relative, TRUE), S_OK);
  ExpectOrigin(relative, -5, 10, 0);
  // Without the explode matrix asked for, the motion stays.
  ASSERT_EQ(t.p->GetOccurrenceMatrix(&relative, FALSE), S_OK);
  ExpectOrigin(relative, -5, 10, 0);
  // Clearing the animation state ends it.
  t.b.Tree()->SetAnimationState(0);
  EXPECT_FALSE(t.p->IsAnimated());
}

// A host data server that also provides the timeline.
class TimelineDataServer final : public quorra::host::ComObject<IKVDataServer, IJTimelineProvider> {
 public:
  explicit TimelineDataServer(Timeline* timeline) : timeline_(timeline) {}
  HRESULT GetBaseData(const wchar_t*, DWORD, OccurrenceNode*, KVBaseData**) override { return E_NOTIMPL; }
  HRESULT ReleaseData(KVBaseData*) override { return E_NOTIMPL; }
  HRESULT GetPartData(const wchar_t*, DWORD, OccurrenceNode*, KVBaseData**, DWORD) override { return E_NOTIMPL; }
  HRESULT GetAssemblyBaseData(const wchar_t*, DWORD, OccurrenceNode*, KVBaseData**) override { return E_NOTIMPL; }
  HRESULT GetAssemblyData(const wchar_t*, DWORD, OccurrenceNode*, KVAssemblyData**) override { return E_NOTIMPL; }
  HRESULT GetLiteAssemblyData(const wchar_t*, DWORD, OccurrenceNode*, KVLiteAssemblyData**, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT GetCurrentTimeline(IJTimelineObject** timeline, DWORD* frame) override {
    return timeline_->GetCurrentTimeline(timeline, frame);
  }

 private:
  quorra::host::ComPtr<Timeline> timeline_;
};

TEST(Animation, WithoutADisplayObjectTheDataServersTimelineServes) {
  AnimatedTree t;
  t.context.SetDisplayObject(nullptr);
  auto other = Timeline::Create();
  other->SetFrame(0);
  other->World().AddTrack(Roadmap({2}), TimelineTrack::Create({{0, tagG4x4::Translation(0, 0, 4)}}).Get());
  quorra::host::ComPtr<TimelineDataServer> server(new TimelineDataServer(other.Get()));
  ASSERT_EQ(t.b.Tree()->SetKVDataServer(static_cast<IKVDataServer*>(server.Get())), S_OK);
  ExpectOrigin(
      *t.p->GetAnimatedMatrixChain(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, TIMELINE_NO_FRAME), 0,
      5, 4);
  // The view's display object comes first.
  t.context.SetDisplayObject(static_cast<IJTimelineProvider*>(t.timeline.Get()));
  ExpectOrigin(
      *t.p->GetAnimatedMatrixChain(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, TIMELINE_NO_FRAME), 0,
      5, 0);
  t.b.Tree()->SetKVDataServer(nullptr);
}

TEST(Animation, DisabledTimelineOrCategoryOrNoFrameLeavesTheTracksOut) {
  const struct {
    const char* name;
    DWORD timelineFlags;
    DWORD worldFlags;
    DWORD frame;
  } cases[] = {
      {"timeline disabled", TIMELINE_FLAG_DISABLED, 0, 10},
      {"category disabled", 0, TIMELINE_FLAG_DISABLED, 10},
      {"no frame", 0, 0, TIMELINE_NO_FRAME},
      {"other flags only", 0x1, 0x2, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AnimatedTree t;
    auto slide = TimelineTrack::Create({{0, tagG4x4::Translation(3, 0, 0)}});
    t.timeline->World().AddTrack(Roadmap({2}), slide.Get());
    t.timeline->SetFlags(c.timelineFlags);
    t.timeline->World().SetFlags(c.worldFlags);
    t.timeline->SetFrame(c.frame);
    const tagG4x4* animated =
        t.p->GetAnimatedMatrixChain(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, TIMELINE_NO_FRAME);
    const bool used = (c.timelineFlags | c.worldFlags) == 0x3;  // only the unrelated flags
    ExpectOrigin(*animated, used ? 3 : 0, 5, 0);
    EXPECT_EQ(slide->Evaluations(), used ? 1u : 0u);
  }
}

TEST(Animation, RelativeTracksMoveInTheFrameOfTheFirstReferencedAncestor) {
  AnimatedTree t;
  t.timeline->SetFrame(1);
  // The first reference names p, which is no ancestor of q; the second names
  // sub. The motion, 5 along x in sub's frame, is 5 along y in the world.
  auto push = TimelineTrack::Create({{0, tagG4x4::Translation(5, 0, 0)}}, {Roadmap({2}), Roadmap({1})});
  t.timeline->Relative().AddTrack(Roadmap({1, 1}), push.Get());
  tagG4x4 chain[5];
  const tagG4x4* animated = t.q->GetAnimatedMatrixChain(&chain[0], &chain[1], &chain[2], &chain[3], &chain[4], nullptr,
                                                        nullptr, TIMELINE_NO_FRAME);
  ExpectOrigin(*animated, 10, 6, 0);
  ExpectOrigin(chain[4], 0, 5, 0);
  EXPECT_TRUE((chain[4] * chain[3] * chain[0]).IsEqual(*animated));

  // A track whose references name no ancestor moves nothing.
  AnimatedTree other;
  other.timeline->SetFrame(1);
  auto stray = TimelineTrack::Create({{0, tagG4x4::Translation(5, 0, 0)}}, {Roadmap({2}), Roadmap({7})});
  other.timeline->Relative().AddTrack(Roadmap({1, 1}), stray.Get());
  ExpectOrigin(*other.q->GetAnimatedMatrixChain(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                TIMELINE_NO_FRAME),
               10, 1, 0);
  EXPECT_EQ(stray->Evaluations(), 0u);
}

TEST(Animation, GivenCategoriesUseTheGivenFrameOrTheirFrameSource) {
  AnimatedTree t;
  t.context.SetDisplayObject(nullptr);  // the categories come from the caller
  t.timeline->SetFrame(20);
  auto slide = TimelineTrack::Create({{0, tagG4x4()}, {20, tagG4x4::Translation(20, 0, 0)}});
  t.timeline->World().AddTrack(Roadmap({2}), slide.Get());
  IJTimelineCategory* world = &t.timeline->World();
  const struct {
    DWORD frame;
    double x;
  } cases[] = {{TIMELINE_NO_FRAME, 20}, {5, 5}, {0, 0}, {40, 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame);
    ExpectOrigin(*t.p->GetAnimatedMatrixChain(nullptr, nullptr, nullptr, nullptr, nullptr, world, nullptr, c.frame),
                 c.x, 5, 0);
  }
  // A category without a frame to give leaves the occurrence where it stands.
  t.timeline->SetFrame(TIMELINE_NO_FRAME);
  ExpectOrigin(
      *t.p->GetAnimatedMatrixChain(nullptr, nullptr, nullptr, nullptr, nullptr, world, nullptr, TIMELINE_NO_FRAME), 0,
      5, 0);
}

}  // namespace
