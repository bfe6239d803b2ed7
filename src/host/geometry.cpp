// Geometric values: builders, comparisons, matrix inversion, the projective
// box transform, clip-volume tests and camera pixel sizes.
#include "quorra/host/geometry.h"

#include <cmath>
#include <numbers>

#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "host/geometry";

// Below this ratio of |det| to the product of the row lengths the linear part
// of a matrix is treated as singular. The ratio does not change when a row is
// scaled, so strongly scaled but regular matrices still invert.
constexpr double kSingularRatio = 1e-12;

double RowLength(double a, double b, double c) { return std::sqrt(a * a + b * b + c * c); }

bool AllFinite(const double* v, int n) {
  for (int i = 0; i < n; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

// Inverse of an affine matrix: invert the 3x3 linear part L, and the
// translation becomes -inverse(L) * t.
bool InvertAffine(const double* a, double* out) {
  double c00 = a[5] * a[10] - a[6] * a[9];
  double c01 = a[6] * a[8] - a[4] * a[10];
  double c02 = a[4] * a[9] - a[5] * a[8];
  double det = a[0] * c00 + a[1] * c01 + a[2] * c02;
  double scale = RowLength(a[0], a[1], a[2]) * RowLength(a[4], a[5], a[6]) * RowLength(a[8], a[9], a[10]);
  if (!std::isfinite(det) || !(std::fabs(det) > kSingularRatio * scale)) return false;
  double inv = 1.0 / det;
  double l[9] = {c00 * inv, (a[2] * a[9] - a[1] * a[10]) * inv, (a[1] * a[6] - a[2] * a[5]) * inv,
                 c01 * inv, (a[0] * a[10] - a[2] * a[8]) * inv, (a[2] * a[4] - a[0] * a[6]) * inv,
                 c02 * inv, (a[1] * a[8] - a[0] * a[9]) * inv,  (a[0] * a[5] - a[1] * a[4]) * inv};
  double tx = a[3], ty = a[7], tz = a[11];
  for (int r = 0; r < 3; ++r) {
    out[4 * r + 0] = l[3 * r + 0];
    out[4 * r + 1] = l[3 * r + 1];
    out[4 * r + 2] = l[3 * r + 2];
    out[4 * r + 3] = -(l[3 * r + 0] * tx + l[3 * r + 1] * ty + l[3 * r + 2] * tz);
  }
  out[12] = out[13] = out[14] = 0.0;
  out[15] = 1.0;
  return AllFinite(out, 12);
}

// General inverse by cofactors, built from the 2x2 minors of the top two
// rows (s) and of the bottom two rows (c).
bool InvertGeneral(const double* a, double* out) {
  double s0 = a[0] * a[5] - a[4] * a[1];
  double s1 = a[0] * a[6] - a[4] * a[2];
  double s2 = a[0] * a[7] - a[4] * a[3];
  double s3 = a[1] * a[6] - a[5] * a[2];
  double s4 = a[1] * a[7] - a[5] * a[3];
  double s5 = a[2] * a[7] - a[6] * a[3];
  double c5 = a[10] * a[15] - a[14] * a[11];
  double c4 = a[9] * a[15] - a[13] * a[11];
  double c3 = a[9] * a[14] - a[13] * a[10];
  double c2 = a[8] * a[15] - a[12] * a[11];
  double c1 = a[8] * a[14] - a[12] * a[10];
  double c0 = a[8] * a[13] - a[12] * a[9];
  double det = s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
  if (det == 0.0 || !std::isfinite(det)) return false;
  double inv = 1.0 / det;
  double r[16] = {
      (a[5] * c5 - a[6] * c4 + a[7] * c3) * inv,     (-a[1] * c5 + a[2] * c4 - a[3] * c3) * inv,
      (a[13] * s5 - a[14] * s4 + a[15] * s3) * inv,  (-a[9] * s5 + a[10] * s4 - a[11] * s3) * inv,
      (-a[4] * c5 + a[6] * c2 - a[7] * c1) * inv,    (a[0] * c5 - a[2] * c2 + a[3] * c1) * inv,
      (-a[12] * s5 + a[14] * s2 - a[15] * s1) * inv, (a[8] * s5 - a[10] * s2 + a[11] * s1) * inv,
      (a[4] * c4 - a[5] * c2 + a[7] * c0) * inv,     (-a[0] * c4 + a[1] * c2 - a[3] * c0) * inv,
      (a[12] * s4 - a[13] * s2 + a[15] * s0) * inv,  (-a[8] * s4 + a[9] * s2 - a[11] * s0) * inv,
      (-a[4] * c3 + a[5] * c1 - a[6] * c0) * inv,    (a[0] * c3 - a[1] * c1 + a[2] * c0) * inv,
      (-a[12] * s3 + a[13] * s1 - a[14] * s0) * inv, (a[8] * s3 - a[9] * s1 + a[10] * s0) * inv,
  };
  if (!AllFinite(r, 16)) return false;
  for (int i = 0; i < 16; ++i) out[i] = r[i];
  return true;
}

bool Invert(const tagG4x4& in, tagG4x4& out) {
  if (!AllFinite(in.m, 16)) return false;
  return in.IsAffine() ? InvertAffine(in.m, out.m) : InvertGeneral(in.m, out.m);
}

}  // namespace

// ---------------------------------------------------------------------------
// Builders

extern "C" {

tagGPosition BuildPosition(double x, double y, double z) { return {x, y, z}; }
tagGVector BuildVector(double x, double y, double z) { return {x, y, z}; }
tagGVector2d BuildVector2d(double x, double y) { return {x, y}; }
tagGMatrix2d BuildMatrix2d(double m00, double m01, double m10, double m11) { return {{m00, m01, m10, m11}}; }
tagGTransf2d BuildTransf2d(const tagGMatrix2d& linear, const tagGVector2d& translation) {
  return {linear, translation};
}

}  // extern "C"

tagGTransf2d operator*(const tagGTransf2d& a, const tagGTransf2d& b) {
  const double* l = a.linear.m;
  const double* r = b.linear.m;
  tagGTransf2d out;
  out.linear = {
      {l[0] * r[0] + l[1] * r[2], l[0] * r[1] + l[1] * r[3], l[2] * r[0] + l[3] * r[2], l[2] * r[1] + l[3] * r[3]}};
  out.translation = a.Apply(b.translation);
  return out;
}

// ---------------------------------------------------------------------------
// tagG4x4

bool tagG4x4::IsIdentity(double tolerance) const { return IsEqual(tagG4x4(), tolerance); }

bool tagG4x4::IsEqual(const tagG4x4& other, double tolerance) const {
  for (int i = 0; i < 16; ++i) {
    if (!quorra::host::NearlyEqual(m[i], other.m[i], tolerance)) return false;
  }
  return true;
}

bool tagG4x4::Inverse() {
  tagG4x4 result{NoInit{}};
  if (!Invert(*this, result)) {
    QUORRA_TRACE_FAIL(E_INVALIDARG, "tagG4x4::Inverse");
    return false;
  }
  *this = result;
  return true;
}

bool tagG4x4::GetInverse(tagG4x4& out) const {
  tagG4x4 result{NoInit{}};
  if (!Invert(*this, result)) {
    out.SetIdentity();
    QUORRA_TRACE_FAIL(E_INVALIDARG, "tagG4x4::GetInverse");
    return false;
  }
  out = result;
  return true;
}

tagG4x4 tagG4x4::Translation(double x, double y, double z) {
  tagG4x4 r;
  r.m[3] = x;
  r.m[7] = y;
  r.m[11] = z;
  return r;
}

tagG4x4 tagG4x4::Scale(double x, double y, double z) {
  tagG4x4 r;
  r.m[0] = x;
  r.m[5] = y;
  r.m[10] = z;
  return r;
}

tagG4x4 tagG4x4::RotationX(double radians) { return Rotation({1.0, 0.0, 0.0}, radians); }
tagG4x4 tagG4x4::RotationY(double radians) { return Rotation({0.0, 1.0, 0.0}, radians); }
tagG4x4 tagG4x4::RotationZ(double radians) { return Rotation({0.0, 0.0, 1.0}, radians); }

tagG4x4 tagG4x4::Rotation(const tagGVector& axis, double radians) {
  tagG4x4 r;
  tagGUnitVector u = tagGUnitVector::FromVector(axis);
  if (!u.IsValid()) return r;
  double c = std::cos(radians), s = std::sin(radians), t = 1.0 - c;
  double x = u.x, y = u.y, z = u.z;
  r.m[0] = t * x * x + c;
  r.m[1] = t * x * y - s * z;
  r.m[2] = t * x * z + s * y;
  r.m[4] = t * x * y + s * z;
  r.m[5] = t * y * y + c;
  r.m[6] = t * y * z - s * x;
  r.m[8] = t * x * z - s * y;
  r.m[9] = t * y * z + s * x;
  r.m[10] = t * z * z + c;
  return r;
}

tagGBox quorra::host::TransformBoxProjective(const tagG4x4& matrix, const tagGBox& box) {
  tagGBox result;
  for (int corner = 0; corner < 8; ++corner) {
    tagGPosition p{(corner & 1) ? box.high[0] : box.low[0], (corner & 2) ? box.high[1] : box.low[1],
                   (corner & 4) ? box.high[2] : box.low[2]};
    result.Add(matrix * p);
  }
  return result;
}

// ---------------------------------------------------------------------------
// tagGClipVolume

bool tagGClipVolume::AddPlane(double a, double b, double c, double d) {
  if (planeCount >= kMaxPlanes || (a == 0.0 && b == 0.0 && c == 0.0)) {
    QUORRA_TRACE_FAIL(E_INVALIDARG, "tagGClipVolume::AddPlane");
    return false;
  }
  planes[planeCount++] = {a, b, c, d};
  return true;
}

bool tagGClipVolume::AddPlane(const tagGPosition& point, const tagGVector& inwardNormal) {
  return AddPlane(inwardNormal.x, inwardNormal.y, inwardNormal.z, -(point % inwardNormal));
}

BOOL operator&&(const tagGClipVolume& volume, const tagGBox& box) {
  if (box.IsEmpty()) return FALSE;
  if (volume.hasBox) {
    if (volume.box.IsEmpty()) return FALSE;
    for (int i = 0; i < 3; ++i) {
      if (box.high[i] < volume.box.low[i] || box.low[i] > volume.box.high[i]) return FALSE;
    }
  }
  for (int i = 0; i < volume.planeCount; ++i) {
    const tagGClipVolume::Plane& p = volume.planes[i];
    // The corner furthest along the inward normal: when even that one is
    // outside, the whole box is.
    double x = p.a >= 0.0 ? box.high[0] : box.low[0];
    double y = p.b >= 0.0 ? box.high[1] : box.low[1];
    double z = p.c >= 0.0 ? box.high[2] : box.low[2];
    if (p.a * x + p.b * y + p.c * z + p.d < 0.0) return FALSE;
  }
  return TRUE;
}

// ---------------------------------------------------------------------------
// tagGCamera

double tagGCamera::GetPixelSize(double depth) const {
  if (viewportHeight == 0) return 0.0;
  if (!perspective) return viewHeight > 0.0 ? viewHeight / viewportHeight : 0.0;
  if (!(fieldOfView > 0.0 && fieldOfView < std::numbers::pi)) return 0.0;
  double d = std::max(depth, nearDistance);
  return 2.0 * d * std::tan(fieldOfView * 0.5) / viewportHeight;
}

double tagGCamera::GetVoxelSize() const {
  if (!perspective) return GetPixelSize(0.0);
  double distance = (target - eye).GetLength();
  if (distance == 0.0) return 0.0;
  return GetPixelSize(distance);
}

double tagGCamera::GetTolerance(const tagGPosition* at) const {
  if (!at) return GetVoxelSize() * tolerancePixels;
  if (!perspective) return GetPixelSize(0.0) * tolerancePixels;
  tagGUnitVector direction = tagGUnitVector::FromVector(target - eye);
  if (!direction.IsValid()) return 0.0;
  return GetPixelSize((*at - eye) % direction) * tolerancePixels;
}
