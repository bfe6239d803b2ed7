#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;

void ExpectPositionNear(const tagGPosition& actual, double x, double y, double z) {
  EXPECT_NEAR(actual.x, x, 1e-12);
  EXPECT_NEAR(actual.y, y, 1e-12);
  EXPECT_NEAR(actual.z, z, 1e-12);
}

TEST(G4x4, LayoutIsRowMajorWithTranslationInTheLastColumn) {
  tagG4x4 t = tagG4x4::Translation(1, 2, 3);
  EXPECT_EQ(t.m[3], 1);
  EXPECT_EQ(t.m[7], 2);
  EXPECT_EQ(t.m[11], 3);
  EXPECT_EQ(t(1, 3), 2);
  EXPECT_TRUE(tagG4x4().IsIdentity());
  EXPECT_TRUE(t.IsAffine());
  ExpectPositionNear(t * BuildPosition(10, 20, 30), 11, 22, 33);
  // Vectors ignore the translation.
  tagGVector v = t * BuildVector(1, 0, 0);
  EXPECT_EQ(v.x, 1);
  EXPECT_EQ(v.y, 0);
}

TEST(G4x4, ProductAppliesTheRightOperandFirst) {
  tagG4x4 rotate = tagG4x4::RotationZ(kPi / 2);  // x axis -> y axis
  tagG4x4 translate = tagG4x4::Translation(10, 0, 0);
  tagGPosition p = BuildPosition(1, 0, 0);

  // Translate first, then rotate: (11, 0, 0) turns to (0, 11, 0).
  ExpectPositionNear((rotate * translate) * p, 0, 11, 0);
  // Rotate first, then translate: (0, 1, 0) moves to (10, 1, 0).
  ExpectPositionNear((translate * rotate) * p, 10, 1, 0);
  // The product agrees with applying the two in turn.
  ExpectPositionNear((rotate * translate) * p, 0, 11, 0);
  tagG4x4 composed = translate;
  composed *= rotate;
  EXPECT_TRUE(composed.IsEqual(translate * rotate));
  // A child placed in its parent: world = parentWorld * local.
  tagG4x4 parentWorld = tagG4x4::Translation(0, 0, 5);
  tagG4x4 local = tagG4x4::Translation(1, 0, 0);
  ExpectPositionNear((parentWorld * local) * BuildPosition(0, 0, 0), 1, 0, 5);
}

TEST(G4x4, InverseUndoesRotationsTranslationsAndScales) {
  const tagG4x4 cases[] = {
      tagG4x4::Translation(1e6, -2e5, 3),
      tagG4x4::Rotation(BuildVector(1, 2, 3), 0.7) * tagG4x4::Translation(5, 6, 7),
      tagG4x4::Translation(-4, 0, 9) * tagG4x4::RotationX(2.1) * tagG4x4::Scale(2, 3, 0.5),
      tagG4x4::Scale(1e-6, 1, 1e6),
      tagG4x4::RotationY(-1.3) * tagG4x4::Scale(-1, 1, 1),  // a mirror
  };
  for (const tagG4x4& m : cases) {
    tagG4x4 inv;
    ASSERT_TRUE(m.GetInverse(inv));
    EXPECT_TRUE((m * inv).IsIdentity(1e-9));
    EXPECT_TRUE((inv * m).IsIdentity(1e-9));
    tagG4x4 inPlace = m;
    ASSERT_TRUE(inPlace.Inverse());
    EXPECT_TRUE(inPlace.IsEqual(inv));
  }
}

TEST(G4x4, InverseOfAProjectiveMatrix) {
  const double values[16] = {2, 0, 1, 0, 0, 3, 0, 1, 1, 0, 1, 0, 0, 0, -1, 4};
  tagG4x4 m(values);
  ASSERT_FALSE(m.IsAffine());
  tagG4x4 inv;
  ASSERT_TRUE(m.GetInverse(inv));
  EXPECT_TRUE((m * inv).IsIdentity(1e-12));
  // The projective product divides by w.
  tagGPosition p = BuildPosition(1, 1, 1);
  tagGPosition back = inv * (m * p);
  ExpectPositionNear(back, 1, 1, 1);
}

TEST(G4x4, SingularMatricesAreRefusedWithADefinedResult) {
  quorra::host::ScopedTraceCapture traces;
  const tagG4x4 flattened = tagG4x4::Translation(1, 2, 3) * tagG4x4::Scale(1, 1, 0);
  const double dependentRows[16] = {1, 2, 3, 4, 2, 4, 6, 8, 0, 1, 0, 0, 0, 0, 1, 1};
  const tagG4x4 singulars[] = {flattened, tagG4x4(dependentRows)};
  for (const tagG4x4& m : singulars) {
    tagG4x4 inv = tagG4x4::Translation(9, 9, 9);
    EXPECT_FALSE(m.GetInverse(inv));
    EXPECT_TRUE(inv.IsIdentity());  // the out form writes the identity
    tagG4x4 inPlace = m;
    EXPECT_FALSE(inPlace.Inverse());
    EXPECT_EQ(std::memcmp(inPlace.m, m.m, sizeof m.m), 0);  // the in-place form leaves it alone
  }
  EXPECT_TRUE(traces.Saw("tagG4x4::Inverse", E_INVALIDARG));
  // Non-finite elements are refused too.
  tagG4x4 bad;
  bad.m[5] = NAN;
  EXPECT_FALSE(bad.Inverse());
}

TEST(G4x4, IsEqualUsesARelativeTolerance) {
  tagG4x4 a = tagG4x4::Translation(1e6, 0, 0);
  tagG4x4 b = tagG4x4::Translation(1e6 + 1e-5, 0, 0);  // 1e-11 relative
  EXPECT_TRUE(a.IsEqual(b));
  EXPECT_FALSE(a.IsEqual(b, 1e-12));
  EXPECT_FALSE(tagG4x4::Translation(0, 0, 1e-9).IsIdentity());
  EXPECT_TRUE(tagG4x4::Translation(0, 0, 1e-11).IsIdentity());
}

TEST(GTransf, ConvertsBothWaysAndDropsAProjection) {
  tagG4x4 m = tagG4x4::Translation(1, 2, 3) * tagG4x4::RotationY(0.4);
  tagGTransf t;
  t = m;
  EXPECT_EQ(t.GetTranslation().y, 2);
  tagG4x4 back;
  back = t;
  EXPECT_TRUE(back.IsEqual(m, 0));

  tagG4x4 projective = m;
  projective.m[14] = 0.5;
  t = projective;
  back = t;
  EXPECT_TRUE(back.IsAffine());
  EXPECT_TRUE(tagG4x4(tagGTransf()).IsIdentity());
}

TEST(GBox, EmptyNullAndEquality) {
  tagGBox box;
  EXPECT_TRUE(box.IsEmpty());
  EXPECT_FALSE(box.IsNull());
  EXPECT_EQ(box.low[0], 1e30);
  EXPECT_EQ(box.high[2], -1e30);
  EXPECT_TRUE(tagGBox::Null().IsNull());
  EXPECT_FALSE(tagGBox::Null().IsEmpty());
  EXPECT_FALSE(tagGBox(0, 0, 0, 0, 0, 1e-300).IsNull());
  EXPECT_TRUE(tagGBox(0, 5, 0, 1, 4, 1).IsEmpty());  // inverted on one axis
  EXPECT_TRUE(tagGBox(0, 0, 0, 1, 1, 1).IsEqual(tagGBox(0, 0, 0, 1, 1, 1 + 1e-12)));
  EXPECT_FALSE(tagGBox(0, 0, 0, 1, 1, 1).IsEqual(tagGBox(0, 0, 0, 1, 1, 1.001)));
  // The stored layout is the six doubles, low corner first.
  double raw[6];
  tagGBox b(1, 2, 3, 4, 5, 6);
  std::memcpy(raw, &b, sizeof raw);
  EXPECT_EQ(raw[2], 3);
  EXPECT_EQ(raw[3], 4);
}

TEST(GBox, AddWidensAndIgnoresEmptyArguments) {
  tagGBox box;
  box.Add(BuildPosition(1, -1, 2));
  EXPECT_TRUE(box.IsEqual(tagGBox(1, -1, 2, 1, -1, 2), 0));
  box.Add(BuildPosition(-3, 4, 2));
  EXPECT_TRUE(box.IsEqual(tagGBox(-3, -1, 2, 1, 4, 2), 0));
  box.Add(tagGBox());  // empty: no change
  EXPECT_TRUE(box.IsEqual(tagGBox(-3, -1, 2, 1, 4, 2), 0));
  box.Union(tagGBox(0, 0, -5, 0, 0, 0));
  EXPECT_TRUE(box.IsEqual(tagGBox(-3, -1, -5, 1, 4, 2), 0));

  tagGBox fromEmpty;
  fromEmpty.Add(tagGBox(1, 2, 3, 4, 5, 6));
  EXPECT_TRUE(fromEmpty.IsEqual(tagGBox(1, 2, 3, 4, 5, 6), 0));
  // Points at the origin accumulate like any other point.
  tagGBox points;
  points.Add(BuildPosition(0, 0, 0));
  points.Add(BuildPosition(1, 1, 1));
  EXPECT_TRUE(points.IsEqual(tagGBox(0, 0, 0, 1, 1, 1), 0));
  EXPECT_DOUBLE_EQ(points.GetDiagonalLength(), std::sqrt(3.0));
  EXPECT_EQ(tagGBox().GetDiagonalLength(), 0);
}

TEST(GBox, TransformEnclosesTheRotatedBox) {
  // A unit cube about the origin turned 45 degrees about z: its footprint
  // becomes a square of half-width sqrt(2)/2, its height does not change.
  tagGBox cube(-0.5, -0.5, 0, 0.5, 0.5, 2);
  tagGBox turned = tagG4x4::RotationZ(kPi / 4) * cube;
  double h = std::sqrt(2.0) / 2;
  EXPECT_TRUE(turned.IsEqual(tagGBox(-h, -h, 0, h, h, 2), 1e-12));

  // Off-centre box, rotated then moved: same as transforming the corners.
  tagG4x4 m = tagG4x4::Translation(10, 0, -3) * tagG4x4::Rotation(BuildVector(1, 1, 0), 0.9) * tagG4x4::Scale(2, 1, 1);
  tagGBox box(1, 2, 3, 4, 7, 5);
  tagGBox expected;
  for (int c = 0; c < 8; ++c) {
    expected.Add(m * BuildPosition(c & 1 ? 4 : 1, c & 2 ? 7 : 2, c & 4 ? 5 : 3));
  }
  EXPECT_TRUE((m * box).IsEqual(expected, 1e-12));

  // The identity gives back the very same box.
  tagGBox same = tagG4x4() * box;
  EXPECT_EQ(std::memcmp(&same, &box, sizeof box), 0);
}

TEST(GBox, TransformKeepsEmptyAndNullBoxes) {
  tagG4x4 m = tagG4x4::Translation(5, 5, 5) * tagG4x4::RotationX(1);
  EXPECT_TRUE((m * tagGBox()).IsEmpty());
  EXPECT_TRUE((m * tagGBox::Null()).IsNull());
  EXPECT_TRUE((m * tagGBox(0, 0, 0, 0, 0, 0.5)).GetLow().z != 0);  // a real box does move
}

TEST(GBox, ProjectiveTransformUsesTheCorners) {
  tagG4x4 m;
  m.m[14] = 1.0;  // w = z + 1
  tagGBox r = m * tagGBox(-1, -1, 1, 1, 1, 3);
  // Corners at z = 1 divide by 2 (z -> 0.5), at z = 3 by 4 (z -> 0.75).
  EXPECT_TRUE(r.IsEqual(tagGBox(-0.5, -0.5, 0.5, 0.5, 0.5, 0.75), 1e-12));
}

TEST(GVectors, BuildersAndArithmetic) {
  tagGVector v = BuildVector(3, 4, 12);
  EXPECT_DOUBLE_EQ(v.GetLength(), 13);
  EXPECT_DOUBLE_EQ(BuildPosition(1, 2, 3) % BuildVector(4, 5, 6), 32);
  tagGUnitVector u = tagGUnitVector::FromVector(v);
  tagGVector back = u;
  EXPECT_NEAR(back.GetLength(), 1.0, 1e-15);
  EXPECT_NEAR(back.z, 12.0 / 13, 1e-15);
  EXPECT_FALSE(tagGUnitVector::FromVector(BuildVector(0, 0, 0)).IsValid());
  // Zero axis rotation is the identity rather than NaNs.
  EXPECT_TRUE(tagG4x4::Rotation(BuildVector(0, 0, 0), 1).IsIdentity());
}

TEST(GPlane, TransformsComposeRightToLeft) {
  tagGVector2d v = BuildVector2d(3, 4);
  EXPECT_DOUBLE_EQ(v.GetLength(), 5);
  tagGTransf2d rotate = BuildTransf2d(BuildMatrix2d(0, -1, 1, 0), BuildVector2d(0, 0));  // +90 degrees
  tagGTransf2d move = BuildTransf2d(BuildMatrix2d(1, 0, 0, 1), BuildVector2d(10, 0));
  tagGVector2d p = (rotate * move).Apply(BuildVector2d(1, 0));  // move first
  EXPECT_DOUBLE_EQ(p.x, 0);
  EXPECT_DOUBLE_EQ(p.y, 11);
  p = (move * rotate).Apply(BuildVector2d(1, 0));  // rotate first
  EXPECT_DOUBLE_EQ(p.x, 10);
  EXPECT_DOUBLE_EQ(p.y, 1);
  tagGUnitVector2d axis{0, 1};
  EXPECT_EQ(tagGVector2d(axis).y, 1);
}

TEST(GClipVolume, AcceptsBoxesThatMeetAndRejectsBoxesOutside) {
  // The slab 0 <= x <= 10, and a second volume limited to a box.
  tagGClipVolume slab;
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
      {"no planes, no limit", tagGClipVolume(), tagGBox(1e9, 1e9, 1e9, 2e9, 2e9, 2e9), TRUE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.volume && c.box, c.meets) << c.name;
  }
}

TEST(GClipVolume, RejectsPlanesBeyondCapacityAndZeroNormals) {
  quorra::host::ScopedTraceCapture traces;
  tagGClipVolume v;
  EXPECT_FALSE(v.AddPlane(0, 0, 0, 1));
  for (int i = 0; i < tagGClipVolume::kMaxPlanes; ++i) ASSERT_TRUE(v.AddPlane(1, 0, 0, i));
  EXPECT_FALSE(v.AddPlane(1, 0, 0, 0));
  EXPECT_EQ(v.planeCount, tagGClipVolume::kMaxPlanes);
  EXPECT_TRUE(traces.Saw("tagGClipVolume::AddPlane", E_INVALIDARG));
}

TEST(GCamera, PerspectiveToleranceGrowsWithDistance) {
  tagGCamera camera;  // eye at z = 10 looking at the origin
  camera.viewportHeight = 1000;
  camera.fieldOfView = kPi / 2;  // view height at depth d is 2d
  EXPECT_NEAR(camera.GetVoxelSize(), 2 * 10.0 / 1000, 1e-15);
  EXPECT_NEAR(camera.GetTolerance(), camera.GetVoxelSize(), 1e-15);

  tagGPosition nearPoint = BuildPosition(3, 0, 5);   // depth 5
  tagGPosition farPoint = BuildPosition(0, 0, -30);  // depth 40
  EXPECT_NEAR(camera.GetTolerance(&nearPoint), 2 * 5.0 / 1000, 1e-15);
  EXPECT_NEAR(camera.GetTolerance(&farPoint), 2 * 40.0 / 1000, 1e-15);
  camera.tolerancePixels = 2;
  EXPECT_NEAR(camera.GetTolerance(&farPoint), 4 * 40.0 / 1000, 1e-15);
  // Behind the eye the near distance applies instead of a negative size.
  tagGPosition behind = BuildPosition(0, 0, 20);
  EXPECT_GT(camera.GetTolerance(&behind), 0);
  EXPECT_LT(camera.GetTolerance(&behind), camera.GetTolerance(&nearPoint));
}

TEST(GCamera, OrthographicAndDegenerateCameras) {
  tagGCamera ortho;
  ortho.perspective = false;
  ortho.viewHeight = 50;
  ortho.viewportHeight = 500;
  tagGPosition far = BuildPosition(0, 0, -1000);
  EXPECT_DOUBLE_EQ(ortho.GetVoxelSize(), 0.1);
  EXPECT_DOUBLE_EQ(ortho.GetTolerance(&far), 0.1);

  tagGCamera blind;
  blind.viewportHeight = 0;
  EXPECT_EQ(blind.GetVoxelSize(), 0);
  tagGCamera onTarget;
  onTarget.eye = onTarget.target;
  EXPECT_EQ(onTarget.GetVoxelSize(), 0);
  EXPECT_EQ(onTarget.GetTolerance(&far), 0);
}

}  // namespace
