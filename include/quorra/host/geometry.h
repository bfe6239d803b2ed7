// Geometric values of the host's geometry library: matrices, transforms,
// boxes, positions and vectors (3-d and plane), clip volumes and the camera.
//
// Matrix convention. A tagG4x4 holds 16 doubles row-major: element (r, c) is
// m[4 * r + c], and documents store the 16 values as they lie in memory.
// Points are column vectors and transform as p' = M * p, so the translation
// lives in elements 3, 7 and 11 and the last row of an affine matrix is
// (0, 0, 0, 1). `A * B` is the composition that applies B first, then A.
// Under this convention the products written for this system mean what they
// say: world = parentWorld * local places a child in its parent's world, and
// local * result prepends a placement on the parent side.
//
// Ranges. A tagGBox is low corner x, y, z then high corner x, y, z. Two values
// mean "no range": the empty box (low +1e30, high -1e30; any box whose low
// corner exceeds its high corner on some axis contains no point and counts as
// empty), and the all-zero box, the library's marker for a range not yet
// computed (IsNull). Transforming a box keeps both markers as they are; every
// other operation treats the all-zero box as what it is geometrically, the
// point at the origin, so callers that mean "not computed" test IsNull first.
#pragma once

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "quorra/host/types.h"

// Default tolerance of the IsEqual/IsIdentity comparisons: two values are
// equal when they differ by at most tolerance * max(1, |a|, |b|).
constexpr double kGeomTolerance = 1e-10;

namespace quorra::host {
inline bool NearlyEqual(double a, double b, double tolerance) {
  double scale = std::max({1.0, std::fabs(a), std::fabs(b)});
  return std::fabs(a - b) <= tolerance * scale;
}
}  // namespace quorra::host

// ---------------------------------------------------------------------------
// Positions and vectors

struct tagGVector {
  double x, y, z;
  double GetLength() const { return std::sqrt(x * x + y * y + z * z); }
};

struct tagGPosition {
  double x, y, z;
};

// A vector of length 1. FromVector normalises; a zero vector gives (0, 0, 0),
// which callers can recognise with IsValid.
struct tagGUnitVector {
  double x, y, z;
  static tagGUnitVector FromVector(const tagGVector& v) {
    double length = v.GetLength();
    if (length == 0.0 || !std::isfinite(length)) return {0.0, 0.0, 0.0};
    return {v.x / length, v.y / length, v.z / length};
  }
  bool IsValid() const { return x != 0.0 || y != 0.0 || z != 0.0; }
  operator tagGVector() const { return {x, y, z}; }
};

extern "C" {
tagGPosition BuildPosition(double x, double y, double z);
tagGVector BuildVector(double x, double y, double z);
}

// Position % vector is the dot product of the position's coordinates with the
// vector (the signed distance along a unit vector, as used for plane tests).
inline double operator%(const tagGPosition& p, const tagGVector& v) { return p.x * v.x + p.y * v.y + p.z * v.z; }
inline double operator%(const tagGVector& a, const tagGVector& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

inline tagGVector operator-(const tagGPosition& a, const tagGPosition& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline tagGPosition operator+(const tagGPosition& p, const tagGVector& v) { return {p.x + v.x, p.y + v.y, p.z + v.z}; }
inline tagGPosition operator-(const tagGPosition& p, const tagGVector& v) { return {p.x - v.x, p.y - v.y, p.z - v.z}; }
inline tagGVector operator+(const tagGVector& a, const tagGVector& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline tagGVector operator-(const tagGVector& a, const tagGVector& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline tagGVector operator*(const tagGVector& v, double s) { return {v.x * s, v.y * s, v.z * s}; }
inline tagGVector operator*(double s, const tagGVector& v) { return {v.x * s, v.y * s, v.z * s}; }

// ---------------------------------------------------------------------------
// Plane values

struct tagGVector2d {
  double x, y;
  double GetLength() const { return std::sqrt(x * x + y * y); }
};

struct tagGUnitVector2d {
  double x, y;
  operator tagGVector2d() const { return {x, y}; }
};

// A 2x2 linear map, row-major: (x', y') = (m[0] x + m[1] y, m[2] x + m[3] y).
struct tagGMatrix2d {
  double m[4];
};

// A plane transform: linear part, then translation.
struct tagGTransf2d {
  tagGMatrix2d linear;
  tagGVector2d translation;
  // The image of a point of the plane.
  tagGVector2d Apply(const tagGVector2d& point) const {
    return {linear.m[0] * point.x + linear.m[1] * point.y + translation.x,
            linear.m[2] * point.x + linear.m[3] * point.y + translation.y};
  }
};

extern "C" {
tagGVector2d BuildVector2d(double x, double y);
tagGMatrix2d BuildMatrix2d(double m00, double m01, double m10, double m11);
tagGTransf2d BuildTransf2d(const tagGMatrix2d& linear, const tagGVector2d& translation);
}

// Composition of plane transforms: a * b applies b first.
tagGTransf2d operator*(const tagGTransf2d& a, const tagGTransf2d& b);

// ---------------------------------------------------------------------------
// Boxes

struct tagGBox {
  double low[3];
  double high[3];

  // A new box is the empty range.
  tagGBox() { SetEmpty(); }
  tagGBox(double lowX, double lowY, double lowZ, double highX, double highY, double highZ)
      : low{lowX, lowY, lowZ}, high{highX, highY, highZ} {}

  static tagGBox Empty() { return tagGBox(); }
  static tagGBox Null() { return tagGBox(0, 0, 0, 0, 0, 0); }

  void SetEmpty() {
    low[0] = low[1] = low[2] = 1e30;
    high[0] = high[1] = high[2] = -1e30;
  }
  void SetNull() { low[0] = low[1] = low[2] = high[0] = high[1] = high[2] = 0.0; }

  // True when the box contains no point (some low coordinate above its high).
  bool IsEmpty() const { return low[0] > high[0] || low[1] > high[1] || low[2] > high[2]; }
  // True only for the all-zero box.
  bool IsNull() const {
    return low[0] == 0.0 && low[1] == 0.0 && low[2] == 0.0 && high[0] == 0.0 && high[1] == 0.0 && high[2] == 0.0;
  }
  // Coordinate-wise comparison (see kGeomTolerance).
  bool IsEqual(const tagGBox& other, double tolerance = kGeomTolerance) const {
    for (int i = 0; i < 3; ++i) {
      if (!quorra::host::NearlyEqual(low[i], other.low[i], tolerance)) return false;
      if (!quorra::host::NearlyEqual(high[i], other.high[i], tolerance)) return false;
    }
    return true;
  }

  // Widens the box to hold the point; an empty box becomes the point.
  void Add(const tagGPosition& p) {
    if (IsEmpty()) {
      low[0] = high[0] = p.x;
      low[1] = high[1] = p.y;
      low[2] = high[2] = p.z;
      return;
    }
    const double c[3] = {p.x, p.y, p.z};
    for (int i = 0; i < 3; ++i) {
      low[i] = std::min(low[i], c[i]);
      high[i] = std::max(high[i], c[i]);
    }
  }
  // Widens the box to hold another; an empty argument changes nothing and an
  // empty box becomes a copy of the argument.
  void Add(const tagGBox& b) {
    if (b.IsEmpty()) return;
    if (IsEmpty()) {
      *this = b;
      return;
    }
    for (int i = 0; i < 3; ++i) {
      low[i] = std::min(low[i], b.low[i]);
      high[i] = std::max(high[i], b.high[i]);
    }
  }
  void Union(const tagGBox& b) { Add(b); }

  bool Contains(const tagGPosition& p) const {
    return p.x >= low[0] && p.x <= high[0] && p.y >= low[1] && p.y <= high[1] && p.z >= low[2] && p.z <= high[2];
  }
  tagGPosition GetLow() const { return {low[0], low[1], low[2]}; }
  tagGPosition GetHigh() const { return {high[0], high[1], high[2]}; }
  tagGPosition GetCenter() const {
    return {(low[0] + high[0]) * 0.5, (low[1] + high[1]) * 0.5, (low[2] + high[2]) * 0.5};
  }
  // Length of the diagonal; 0 for an empty box.
  double GetDiagonalLength() const {
    if (IsEmpty()) return 0.0;
    return (GetHigh() - GetLow()).GetLength();
  }
};
static_assert(sizeof(tagGBox) == 48 && std::is_standard_layout_v<tagGBox> && std::is_trivially_copyable_v<tagGBox>);

// ---------------------------------------------------------------------------
// Matrices and transforms

struct tagGTransf;

struct tagG4x4 {
  double m[16];

  // A new matrix is the identity.
  tagG4x4() { SetIdentity(); }
  // Leaves the elements unset, for code that writes all sixteen at once.
  struct NoInit {};
  explicit tagG4x4(NoInit) {}
  explicit tagG4x4(const double (&values)[16]) {
    for (int i = 0; i < 16; ++i) m[i] = values[i];
  }
  explicit tagG4x4(const tagGTransf& t) { *this = t; }
  tagG4x4& operator=(const tagGTransf& t);

  double& operator()(int row, int column) { return m[4 * row + column]; }
  double operator()(int row, int column) const { return m[4 * row + column]; }

  void SetIdentity() {
    for (int i = 0; i < 16; ++i) m[i] = (i % 5 == 0) ? 1.0 : 0.0;
  }
  bool IsIdentity(double tolerance = kGeomTolerance) const;
  bool IsEqual(const tagG4x4& other, double tolerance = kGeomTolerance) const;
  // True when the last row is exactly (0, 0, 0, 1).
  bool IsAffine() const { return m[12] == 0.0 && m[13] == 0.0 && m[14] == 0.0 && m[15] == 1.0; }

  // Inverts in place. A singular matrix (or one with non-finite elements)
  // answers false and is left unchanged.
  bool Inverse();
  // Writes the inverse to `out`; a singular matrix answers false and writes
  // the identity, so a caller that ignores the answer gets a harmless matrix.
  bool GetInverse(tagG4x4& out) const;

  // Builders (angles in radians, right-handed: a positive angle about z turns
  // the x axis towards the y axis).
  static tagG4x4 Translation(double x, double y, double z);
  static tagG4x4 Scale(double x, double y, double z);
  static tagG4x4 RotationX(double radians);
  static tagG4x4 RotationY(double radians);
  static tagG4x4 RotationZ(double radians);
  // Rotation about an axis through the origin; a zero axis gives the identity.
  static tagG4x4 Rotation(const tagGVector& axis, double radians);
};
static_assert(sizeof(tagG4x4) == 128 && std::is_standard_layout_v<tagG4x4> && std::is_trivially_copyable_v<tagG4x4>);

// The host's general transform: a 3x4 affine map, the top three rows of the
// equivalent tagG4x4 (same element order). Assigning a tagG4x4 keeps those
// rows and drops the last one, so a projective matrix loses its projection.
struct tagGTransf {
  double m[12];

  tagGTransf() { SetIdentity(); }
  explicit tagGTransf(const tagG4x4& matrix) { *this = matrix; }
  tagGTransf& operator=(const tagG4x4& matrix) {
    for (int i = 0; i < 12; ++i) m[i] = matrix.m[i];
    return *this;
  }
  void SetIdentity() {
    for (int i = 0; i < 12; ++i) m[i] = (i % 5 == 0) ? 1.0 : 0.0;
  }
  tagGVector GetTranslation() const { return {m[3], m[7], m[11]}; }
};

inline tagG4x4& tagG4x4::operator=(const tagGTransf& t) {
  for (int i = 0; i < 12; ++i) m[i] = t.m[i];
  m[12] = m[13] = m[14] = 0.0;
  m[15] = 1.0;
  return *this;
}

// Composition: (a * b) * p == a * (b * p).
inline tagG4x4 operator*(const tagG4x4& a, const tagG4x4& b) {
  tagG4x4 r{tagG4x4::NoInit{}};
  for (int row = 0; row < 4; ++row) {
    const double* ar = a.m + 4 * row;
    for (int col = 0; col < 4; ++col) {
      r.m[4 * row + col] = ar[0] * b.m[col] + ar[1] * b.m[4 + col] + ar[2] * b.m[8 + col] + ar[3] * b.m[12 + col];
    }
  }
  return r;
}
inline tagG4x4& operator*=(tagG4x4& a, const tagG4x4& b) { return a = a * b; }

// A position moves with the translation; a projective matrix divides by w
// (w == 0 leaves the undivided coordinates).
inline tagGPosition operator*(const tagG4x4& a, const tagGPosition& p) {
  const double* m = a.m;
  tagGPosition r{m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
                 m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
  if (!a.IsAffine()) {
    double w = m[12] * p.x + m[13] * p.y + m[14] * p.z + m[15];
    if (w != 0.0) r = {r.x / w, r.y / w, r.z / w};
  }
  return r;
}
// A vector sees only the linear part.
inline tagGVector operator*(const tagG4x4& a, const tagGVector& v) {
  const double* m = a.m;
  return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[4] * v.x + m[5] * v.y + m[6] * v.z,
          m[8] * v.x + m[9] * v.y + m[10] * v.z};
}

namespace quorra::host {
// The enclosing box of a box under a projective matrix (its eight corners).
tagGBox TransformBoxProjective(const tagG4x4& matrix, const tagGBox& box);
}  // namespace quorra::host

// The smallest axis-aligned box enclosing the transformed box. The empty and
// the all-zero box come back unchanged (see the top of this header).
inline tagGBox operator*(const tagG4x4& a, const tagGBox& box) {
  if (box.IsEmpty() || box.IsNull()) return box;
  if (!a.IsAffine()) return quorra::host::TransformBoxProjective(a, box);
  // Per output axis, each input axis contributes its smaller and its larger
  // product: the extremes over the eight corners, without visiting them.
  tagGBox r(a.m[3], a.m[7], a.m[11], a.m[3], a.m[7], a.m[11]);
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) {
      double e = a.m[4 * row + col];
      double lo = e * box.low[col];
      double hi = e * box.high[col];
      r.low[row] += std::min(lo, hi);
      r.high[row] += std::max(lo, hi);
    }
  }
  return r;
}

// ---------------------------------------------------------------------------
// Clip volume

// An intersection of half-spaces, optionally limited to a box. A volume
// without planes and without box is the whole space.
struct tagGClipVolume {
  static constexpr int kMaxPlanes = 32;
  // The half-space a x + b y + c z + d >= 0 is inside.
  struct Plane {
    double a, b, c, d;
  };

  int planeCount = 0;
  Plane planes[kMaxPlanes];
  bool hasBox = false;
  tagGBox box;

  // Adds the plane through `point` whose inside lies along `inwardNormal`.
  // False when the volume is full or the normal is zero.
  bool AddPlane(const tagGPosition& point, const tagGVector& inwardNormal);
  bool AddPlane(double a, double b, double c, double d);
  void SetBox(const tagGBox& limit) {
    box = limit;
    hasBox = true;
  }
  void Clear() {
    planeCount = 0;
    hasBox = false;
  }
};

// Non-zero when the box may meet the volume. Conservative: a box that lies
// entirely outside one plane, or entirely outside the volume's box, does not
// meet it; any other box does. An empty box meets nothing.
BOOL operator&&(const tagGClipVolume& volume, const tagGBox& box);

// ---------------------------------------------------------------------------
// Camera

// The view camera: eye looking at target, with a vertical field of view
// (perspective) or a world view height (orthographic), over a viewport of
// pixels.
struct tagGCamera {
  tagGPosition eye{0.0, 0.0, 10.0};
  tagGPosition target{0.0, 0.0, 0.0};
  tagGVector up{0.0, 1.0, 0.0};
  bool perspective = true;
  double fieldOfView = 0.7853981633974483;  // vertical, radians (perspective)
  double viewHeight = 10.0;                 // world height of the view (orthographic)
  DWORD viewportWidth = 1024;
  DWORD viewportHeight = 768;
  double tolerancePixels = 1.0;  // the display tolerance, in pixels
  double nearDistance = 1e-3;    // depths closer than this count as this

  // World size of one pixel at the target.
  double GetVoxelSize() const;
  // World size of tolerancePixels pixels at the depth of `at` (along the view
  // direction); at the target when `at` is null. Orthographic views give the
  // same answer at every depth.
  double GetTolerance(const tagGPosition* at = nullptr) const;
  // World size of one pixel at a depth along the view direction; 0 for a
  // degenerate camera (no viewport, eye on the target, bad field of view).
  double GetPixelSize(double depth) const;
};
