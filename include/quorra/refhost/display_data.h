// The reference host's display data: what a part document keeps in its
// "Display" storage (and a weldment in each member storage of "DISPLAY") for
// a geometry cache to show without the modelling kernel: a bounding box and a
// triangle mesh at a few levels of detail.
//
// Stream "DisplayData", all integers little-endian:
//   offset 0   4 bytes  "QDSP"
//          4   u32      version (1)
//          8   u32      level count (1 to 8)
//         12   u32      reserved, 0
//         16   6 x f64  box: low x, y, z, high x, y, z
//         64   levels, finest first, each:
//                f64        tolerance: largest distance from the true surface
//                u32        vertex count (1 to 2^22)
//                u32        triangle count (1 to 2^22)
//                count x 3  f32 vertex positions x, y, z
//                count x 3  u32 vertex numbers of each triangle
// Nothing follows the last level. A reader accepts only data in which the
// box is finite and not inverted, every vertex is finite and inside the box,
// every vertex number is below the vertex count, tolerances are finite, not
// negative and do not decrease, and triangle counts do not increase from one
// level to the next.
//
// Member storages. A display storage may hold, besides (or instead of) its
// own "DisplayData", sub-storages named "CBody<N>.dsp" for the bodies with
// cache id N: the weldment's members, or a part's preview body. The number is
// found the way the loaders find it: a name beginning with "C" or "c", cut by
// its last four characters, holds N as decimal digits from its sixth
// character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quorra/host/geometry.h"
#include "quorra/host/storage.h"

namespace quorra::refhost {

constexpr DWORD kDisplayDataVersion = 1;
constexpr DWORD kMaxDisplayLevels = 8;
constexpr DWORD kMaxDisplayVertices = 1u << 22;
constexpr DWORD kMaxDisplayTriangles = 1u << 22;
// The stream that holds display data inside a display storage.
constexpr const wchar_t* kDisplayDataStream = L"DisplayData";

// One level of detail.
struct DisplayMesh {
  double tolerance = 0.0;
  std::vector<float> positions;  // x, y, z of each vertex
  std::vector<DWORD> indices;    // three vertex numbers per triangle

  DWORD VertexCount() const { return static_cast<DWORD>(positions.size() / 3); }
  DWORD TriangleCount() const { return static_cast<DWORD>(indices.size() / 3); }
};

struct DisplayData {
  tagGBox box;                      // encloses every vertex of every level
  std::vector<DisplayMesh> levels;  // finest first

  size_t TriangleCount() const;  // over all levels
};

// The query of IJGeometryCache::Query with which a refhost cache hands out a
// copy of one level's mesh (for pictures): `result` is a DisplayMeshQuery*
// whose `level` counts levels as the cache's RenderCacheInfo does, finest
// loaded level first. E_FAIL before the cache has loaded, E_INVALIDARG for a
// level it does not show.
constexpr DWORD kGeometryCacheQueryMesh = 0x51440001;
struct DisplayMeshQuery {
  DWORD level = 0;
  DisplayMesh mesh;
};

// Checks `data` against the rules above: S_OK, or E_INVALIDARG (traced).
HRESULT ValidateDisplayData(const DisplayData& data);
// The stream bytes of valid data; E_INVALIDARG for data that breaks a rule.
HRESULT EncodeDisplayData(const DisplayData& data, std::vector<BYTE>* out);
// Reads stream bytes, checking every count and length before it is used and
// never reading past `size`. Damaged data gives STG_E_DOCFILECORRUPT (traced)
// and leaves `*out` empty.
HRESULT DecodeDisplayData(const void* bytes, size_t size, DisplayData* out);

// Writes `data` as the "DisplayData" stream of `storage`, replacing any.
HRESULT WriteDisplayData(IStorage* storage, const DisplayData& data);
// Reads the "DisplayData" stream of `storage`.
HRESULT ReadDisplayData(IStorage* storage, DisplayData* out);
// Reads the body a geometry cache asks for with `cacheId`: for a non-zero id,
// the member storage whose number is the id, when there is one; otherwise the
// storage's own "DisplayData". STG_E_FILENOTFOUND when neither exists.
HRESULT ReadDisplayDataForCache(IStorage* display, DWORD cacheId, DisplayData* out);

// "CBody<N>.dsp".
std::wstring DisplayMemberStorageName(DWORD number);
// The member number a loader reads from an element name (0 when the name does
// not begin with "C"/"c", holds no number where one is expected, or one
// beyond 32 bits).
DWORD DisplayMemberNumber(std::wstring_view name);

// Meshes of simple solids, centred on the origin, with the box of their
// vertices. Cylinders, tubes and gears have their axis along z.
DisplayData MakeBoxDisplay(double sizeX, double sizeY, double sizeZ);
DisplayData MakeCylinderDisplay(double radius, double length);
DisplayData MakeTubeDisplay(double innerRadius, double outerRadius, double length);
// A spur gear: `teeth` teeth of height `toothHeight` around `radius`; the
// coarser levels are plain cylinders.
DisplayData MakeGearDisplay(double radius, double toothHeight, int teeth, double width);
// A hexagon head of `headSize` across the corners and `headHeight` on a
// shank of `radius` and `length`; the head sits on z = 0, the shank below.
DisplayData MakeBoltDisplay(double radius, double length, double headSize, double headHeight);
// The coarsest level alone, for preview bodies.
DisplayData CoarsestLevel(const DisplayData& data);

}  // namespace quorra::refhost
