#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;

bool Near(const tagGPosition& p, double x, double y, double z) {
  return std::fabs(p.x - x) < 1e-12 && std::fabs(p.y - y) < 1e-12 && std::fabs(p.z - z) < 1e-12;
}

TEST(G4x4, TranslationLivesInTheLastColumnAndProductsApplyTheRightOperandFirst) {
  tagG4x4 translate = tagG4x4::Translation(10, 0, 0);
  EXPECT_EQ(translate.m[3], 10);
  EXPECT_EQ(translate(0, 3), 10);
  EXPECT_EQ((translate * BuildVector(1, 0, 0)).x, 1);  // vectors ignore the translation

  tagG4x4 rotate = tagG4x4::RotationZ(kPi / 2);  // x axis -> y axis
  tagGPosition p = BuildPosition(1, 0, 0);
  EXPECT_TRUE(Near((rotate * translate) * p, 0, 11, 0));  // translate, then rotate
  EXPECT_TRUE(Near((translate * rotate) * p, 10, 1, 0));  // rotate, then translate
  tagG4x4 composed = translate;
  composed *= rotate;
  EXPECT_TRUE(composed.IsEqual(translate * rotate));
}

TEST(G4x4, InverseUndoesAffineAndProjectiveMatrices) {
  const double projective[16] = {2, 0, 1, 0, 0, 3, 0, 1, 1, 0, 1, 0, 0, 0, -1, 4};
  const tagG4x4 cases[] = {
      tagG4x4::Translation(1e6, -2e5, 3),
      tagG4x4::Translation(-4, 0, 9) * tagG4x4::Rotation(BuildVector(1, 2, 3), 2.1) * tagG4x4::Scale(2, 3, 0.5),
      tagG4x4::Scale(1e-6, 1, 1e6),
      tagG4x4::RotationY(-1.3) * tagG4x4::Scale(-1, 1, 1),  // a mirror
      tagG4x4(projective),
  };
  for (const tagG4x4& m : cases) {
    tagG4x4 inv;
    ASSERT_TRUE(m.GetInverse(inv));
    EXPECT_TRUE((m * inv).IsIdentity(1e-9));
    EXPECT_TRUE((inv * m).IsIdentity(1e-9));
    tagG4x4 inPlace = m;
    ASSERT_TRUE(inPlace.Inverse());
    EXPECT_TRUE(inPlace.IsEqual(inv));
    EXPECT_TRUE(Near(inv * (m * BuildPosition(1, 2, 3)), 1, 2, 3));  // includes the divide by w
  }
}

TEST(G4x4, SingularMatricesAnswerFalseWithADefinedResult) {
  quorra::host::ScopedTraceCapture traces;
  const double dependentRows[16] = {1, 2, 3, 4, 2, 4, 6, 8, 0, 1, 0, 0, 0, 0, 1, 1};
  const double nearlyParallelRows[16] = {1, 1, 0, 0, 1, 1 + 1e-15, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  tagG4x4 withNan;
  withNan.m[5] = NAN;
  const tagG4x4 singulars[] = {tagG4x4::Translation(1, 2, 3) * tagG4x4::Scale(1, 1, 0), tagG4x4(dependentRows),
                               tagG4x4(nearlyParallelRows), withNan};
  for (const tagG4x4& m : singulars) {
    tagG4x4 inv = tagG4x4::Translation(9, 9, 9);
    EXPECT_FALSE(m.GetInverse(inv));
    EXPECT_TRUE(inv.IsIdentity());  // the out form writes the identity
    tagG4x4 inPlace = m;
    EXPECT_FALSE(inPlace.Inverse());
    EXPECT_EQ(std::memcmp(inPlace.m, m.m, sizeof m.m), 0);  // the in-place form leaves it alone
  }
  EXPECT_TRUE(traces.Saw("tagG4x4::Inverse", E_INVALIDARG));
}

TEST(G4x4, IsEqualIsRelativeAndTransfConversionDropsAProjection) {
  EXPECT_TRUE(tagG4x4::Translation(1e6, 0, 0).IsEqual(tagG4x4::Translation(1e6 + 1e-5, 0, 0)));
  EXPECT_FALSE(tagG4x4::Translation(1e6, 0, 0).IsEqual(tagG4x4::Translation(1e6 + 1e-5, 0, 0), 1e-12));
  EXPECT_FALSE(tagG4x4::Translation(0, 0, 1e-9).IsIdentity());

  tagG4x4 m = tagG4x4::Translation(1, 2, 3) * tagG4x4::RotationY(0.4);
  m.m[14] = 0.5;
  tagGTransf t;
  t = m;
  tagG4x4 back;
  back = t;
  EXPECT_TRUE(back.IsAffine());
  m.m[14] = 0;
  EXPECT_TRUE(back.IsEqual(m, 0));
}

TEST(GBox, EmptyAndNullAreDistinctAndAddWidens) {
  tagGBox box;
  EXPECT_TRUE(box.IsEmpty());
  EXPECT_FALSE(box.IsNull());
  EXPECT_EQ(box.low[0], 1e30);
  EXPECT_EQ(box.high[2], -1e30);
  EXPECT_TRUE(tagGBox::Null().IsNull());
  EXPECT_FALSE(tagGBox::Null().IsEmpty());
  EXPECT_FALSE(tagGBox(0, 0, 0, 0, 0, 1e-300).IsNull());
  EXPECT_TRUE(tagGBox(0, 5, 0, 1, 4, 1).IsEmpty());  // inverted on one axis

  box.Add(BuildPosition(0, 0, 0));  // points at the origin count like any other
  box.Add(BuildPosition(1, -1, 2));
  EXPECT_TRUE(box.IsEqual(tagGBox(0, -1, 0, 1, 0, 2), 0));
  box.Add(tagGBox());
  EXPECT_TRUE(box.IsEqual(tagGBox(0, -1, 0, 1, 0, 2), 0));
  box.Union(tagGBox(-3, 0, 0, 0, 4, 0));
  EXPECT_TRUE(box.IsEqual(tagGBox(-3, -1, 0, 1, 4, 2), 0));
  EXPECT_DOUBLE_EQ(tagGBox(0, 0, 0, 1, 1, 1).GetDiagonalLength(), std::sqrt(3.0));
}

TEST(GBox, TransformEnclosesTheTransformedBox) {
  // A box about the origin turned 45 degrees about z: its footprint becomes a
  // square of half-width sqrt(2)/2, its height does not change.
  double h = std::sqrt(2.0) / 2;
  EXPECT_TRUE((tagG4x4::RotationZ(kPi / 4) * tagGBox(-0.5, -0.5, 0, 0.5, 0.5, 2)).IsEqual(tagGBox(-h, -h, 0, h, h, 2)));

  // In general: the box of the eight transformed corners.
  tagG4x4 m = tagG4x4::Translation(10, 0, -3) * tagG4x4::Rotation(BuildVector(1, 1, 0), 0.9) * tagG4x4::Scale(2, 1, 1);
  tagGBox expected;
  for (int c = 0; c < 8; ++c) expected.Add(m * BuildPosition(c & 1 ? 4 : 1, c & 2 ? 7 : 2, c & 4 ? 5 : 3));
  EXPECT_TRUE((m * tagGBox(1, 2, 3, 4, 7, 5)).IsEqual(expected));

  // Projective: corners at z = 1 divide by 2, at z = 3 by 4.
  tagG4x4 perspective;
  perspective.m[14] = 1.0;
  EXPECT_TRUE((perspective * tagGBox(-1, -1, 1, 1, 1, 3)).IsEqual(tagGBox(-0.5, -0.5, 0.5, 0.5, 0.5, 0.75)));

  // "No range" stays what it is.
  EXPECT_TRUE((m * tagGBox()).IsEmpty());
  EXPECT_TRUE((m * tagGBox::Null()).IsNull());
}

TEST(GVectors, UnitVectorsAndPlaneTransforms) {
  EXPECT_DOUBLE_EQ(BuildPosition(1, 2, 3) % BuildVector(4, 5, 6), 32);
  EXPECT_NEAR(tagGVector(tagGUnitVector::FromVector(BuildVector(3, 4, 12))).z, 12.0 / 13, 1e-15);
  EXPECT_TRUE(tagG4x4::Rotation(BuildVector(0, 0, 0), 1).IsIdentity());  // a zero axis gives no NaNs

  tagGTransf2d rotate = BuildTransf2d(BuildMatrix2d(0, -1, 1, 0), BuildVector2d(0, 0));  // +90 degrees
  tagGTransf2d move = BuildTransf2d(BuildMatrix2d(1, 0, 0, 1), BuildVector2d(10, 0));
  tagGVector2d p = (rotate * move).Apply(BuildVector2d(1, 0));  // move first
  EXPECT_DOUBLE_EQ(p.x, 0);
  EXPECT_DOUBLE_EQ(p.y, 11);
}

TEST(GClipVolume, BoxesMeetUnlessWhollyOutsideOnePlaneOrTheLimit) {
  tagGClipVolume slab;  // 0 <= x <= 10
  ASSERT_TRUE(slab.AddPlane(BuildPosition(0, 0, 0), BuildVector(1, 0, 0)));
  ASSERT_TRUE(slab.AddPlane(BuildPosition(10, 0, 0), BuildVector(-1, 0, 0)));
  tagGClipVolume limited;
  limited.SetBox(tagGBox(0, 0, 0, 1, 1, 1));
  struct Case {
    const char* name;
    const tagGClipVolume& volume;
    tagGBox box;
    BOOL meets;
  };
  const Case cases[] = {
      {"inside", slab, tagGBox(1, -100, -100, 2, 100, 100), TRUE},
      {"straddles a plane", slab, tagGBox(-1, 0, 0, 1, 1, 1), TRUE},
      {"touches a plane", slab, tagGBox(-1, 0, 0, 0, 1, 1), TRUE},
      {"wholly below", slab, tagGBox(-3, 0, 0, -2, 1, 1), FALSE},
      {"wholly above", slab, tagGBox(11, 0, 0, 12, 1, 1), FALSE},
      {"wider than the slab", slab, tagGBox(-50, 0, 0, 50, 1, 1), TRUE},
      {"empty box", slab, tagGBox(), FALSE},
      {"overlaps the limit", limited, tagGBox(0.5, 0.5, 0.5, 3, 3, 3), TRUE},
      {"beside the limit", limited, tagGBox(2, 0, 0, 3, 1, 1), FALSE},
      {"whole space", tagGClipVolume(), tagGBox(1e9, 1e9, 1e9, 2e9, 2e9, 2e9), TRUE},
  };
  for (const Case& c : cases) EXPECT_EQ(c.volume && c.box, c.meets) << c.name;

  quorra::host::ScopedTraceCapture traces;
  EXPECT_FALSE(slab.AddPlane(0, 0, 0, 1));  // no normal
  for (int i = slab.planeCount; i < tagGClipVolume::kMaxPlanes; ++i) ASSERT_TRUE(slab.AddPlane(1, 0, 0, 0));
  EXPECT_FALSE(slab.AddPlane(1, 0, 0, 0));  // full
  EXPECT_TRUE(traces.Saw("tagGClipVolume::AddPlane", E_INVALIDARG));
}

TEST(GCamera, PerspectiveToleranceGrowsWithDepth) {
  tagGCamera camera;  // eye at z = 10 looking at the origin
  camera.viewportHeight = 1000;
  camera.fieldOfView = kPi / 2;  // the view is 2d high at depth d
  EXPECT_NEAR(camera.GetVoxelSize(), 0.02, 1e-15);
  EXPECT_NEAR(camera.GetTolerance(), 0.02, 1e-15);
  tagGPosition nearPoint = BuildPosition(3, 0, 5), farPoint = BuildPosition(0, 0, -30),
               behind = BuildPosition(0, 0, 20);
  EXPECT_NEAR(camera.GetTolerance(&nearPoint), 0.01, 1e-15);
  EXPECT_NEAR(camera.GetTolerance(&farPoint), 0.08, 1e-15);
  EXPECT_GT(camera.GetTolerance(&behind), 0);  // clamped to the near distance
  camera.tolerancePixels = 2;
  EXPECT_NEAR(camera.GetTolerance(&farPoint), 0.16, 1e-15);

  camera.perspective = false;  // orthographic: the same at every depth
  camera.viewHeight = 50;
  EXPECT_DOUBLE_EQ(camera.GetTolerance(&farPoint), 0.1);
}

}  // namespace
