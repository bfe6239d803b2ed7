// The reference host's display data: encoding, the checking reader, storage
// access and meshes of simple solids.
#include "quorra/refhost/display_data.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

#include "quorra/host/compound_file.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"

namespace quorra::refhost {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/refhost/display";

constexpr char kSignature[4] = {'Q', 'D', 'S', 'P'};
constexpr size_t kHeaderSize = 16 + 6 * 8;
constexpr size_t kLevelHeaderSize = 8 + 4 + 4;
constexpr DWORD kStreamMode = STGM_READ | STGM_SHARE_EXCLUSIVE;

static_assert(std::endian::native == std::endian::little, "display data is written as it lies in memory");

// --- Checks shared by the writer and the reader ------------------------------

// Vertices may sit on the box up to rounding.
double BoxSlack(const tagGBox& box) {
  double extent = 0.0;
  for (int i = 0; i < 3; ++i) extent = std::max(extent, std::fabs(box.high[i] - box.low[i]));
  return 1e-6 * std::max(1.0, extent);
}

bool BoxIsValid(const tagGBox& box) {
  for (int i = 0; i < 3; ++i)
    if (!std::isfinite(box.low[i]) || !std::isfinite(box.high[i]) || box.low[i] > box.high[i]) return false;
  return true;
}

// Checks one level's content; counts and sizes are checked by the caller.
bool LevelIsValid(const DisplayMesh& level, const tagGBox& box, double slack) {
  if (!std::isfinite(level.tolerance) || level.tolerance < 0.0) return false;
  for (size_t i = 0; i < level.positions.size(); i += 3)
    for (int axis = 0; axis < 3; ++axis) {
      double c = level.positions[i + static_cast<size_t>(axis)];
      if (!std::isfinite(c) || c < box.low[axis] - slack || c > box.high[axis] + slack) return false;
    }
  const DWORD vertices = level.VertexCount();
  return std::all_of(level.indices.begin(), level.indices.end(), [&](DWORD index) { return index < vertices; });
}

// Rules between consecutive levels.
bool FollowsLevel(const DisplayMesh& finer, const DisplayMesh& coarser) {
  return coarser.tolerance >= finer.tolerance && coarser.TriangleCount() <= finer.TriangleCount();
}

bool CountsAreValid(size_t vertices, size_t triangles) {
  return vertices >= 1 && vertices <= kMaxDisplayVertices && triangles >= 1 && triangles <= kMaxDisplayTriangles;
}

// --- Bytes --------------------------------------------------------------------

template <class T>
void Put(std::vector<BYTE>& out, T value) {
  const auto* p = reinterpret_cast<const BYTE*>(&value);
  out.insert(out.end(), p, p + sizeof(T));
}

template <class T>
void PutArray(std::vector<BYTE>& out, const std::vector<T>& values) {
  const auto* p = reinterpret_cast<const BYTE*>(values.data());
  out.insert(out.end(), p, p + values.size() * sizeof(T));
}

// Reads fields from a bounded buffer; every take checks what is left.
class Reader {
 public:
  Reader(const BYTE* data, size_t size) : p_(data), left_(size) {}
  size_t Left() const { return left_; }

  template <class T>
  bool Take(T* value) {
    if (left_ < sizeof(T)) return false;
    std::memcpy(value, p_, sizeof(T));
    Skip(sizeof(T));
    return true;
  }
  template <class T>
  bool TakeArray(size_t count, std::vector<T>* values) {
    if (count > left_ / sizeof(T)) return false;
    values->resize(count);
    std::memcpy(values->data(), p_, count * sizeof(T));
    Skip(count * sizeof(T));
    return true;
  }

 private:
  void Skip(size_t n) {
    p_ += n;
    left_ -= n;
  }
  const BYTE* p_;
  size_t left_;
};

HRESULT Corrupt(const char* why) {
  std::wstring message = host::FromUtf8(why);
  return QUORRA_TRACE_FAIL_MSG(STG_E_DOCFILECORRUPT, message.c_str(), "DisplayData::Decode");
}

HRESULT DecodeChecked(const BYTE* data, size_t size, DisplayData* out) {
  Reader in(data, size);
  char signature[4];
  DWORD version = 0, levelCount = 0, reserved = 0;
  if (!in.Take(&signature) || !in.Take(&version) || !in.Take(&levelCount) || !in.Take(&reserved))
    return Corrupt("short header");
  if (std::memcmp(signature, kSignature, 4) != 0) return Corrupt("not display data");
  if (version != kDisplayDataVersion) return Corrupt("unknown version");
  if (levelCount == 0 || levelCount > kMaxDisplayLevels) return Corrupt("bad level count");
  if (reserved != 0) return Corrupt("reserved word set");
  double box[6];
  if (!in.Take(&box)) return Corrupt("short box");
  out->box = tagGBox(box[0], box[1], box[2], box[3], box[4], box[5]);
  if (!BoxIsValid(out->box)) return Corrupt("bad box");
  const double slack = BoxSlack(out->box);

  out->levels.resize(levelCount);
  for (DWORD l = 0; l < levelCount; ++l) {
    DisplayMesh& level = out->levels[l];
    DWORD vertices = 0, triangles = 0;
    if (!in.Take(&level.tolerance) || !in.Take(&vertices) || !in.Take(&triangles)) return Corrupt("short level");
    if (!CountsAreValid(vertices, triangles)) return Corrupt("bad vertex or triangle count");
    // Both arrays must fit in what is left before anything is allocated.
    const uint64_t need = uint64_t{vertices} * 12 + uint64_t{triangles} * 12;
    if (need > in.Left()) return Corrupt("level runs past the data");
    in.TakeArray(size_t{vertices} * 3, &level.positions);
    in.TakeArray(size_t{triangles} * 3, &level.indices);
    if (!LevelIsValid(level, out->box, slack)) return Corrupt("bad level content");
    if (l > 0 && !FollowsLevel(out->levels[l - 1], level)) return Corrupt("levels out of order");
  }
  if (in.Left() != 0) return Corrupt("bytes after the last level");
  return S_OK;
}

// --- Meshes -------------------------------------------------------------------

struct Point2 {
  double x, y;
};

std::vector<Point2> Circle(double radius, int segments) {
  std::vector<Point2> ring(static_cast<size_t>(segments));
  for (int i = 0; i < segments; ++i) {
    double a = 2.0 * std::numbers::pi * i / segments;
    ring[static_cast<size_t>(i)] = {radius * std::cos(a), radius * std::sin(a)};
  }
  return ring;
}

double ChordError(double radius, int segments) { return radius * (1.0 - std::cos(std::numbers::pi / segments)); }

DWORD AddVertex(DisplayMesh& mesh, double x, double y, double z) {
  DWORD index = mesh.VertexCount();
  mesh.positions.insert(mesh.positions.end(), {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)});
  return index;
}

void AddTriangle(DisplayMesh& mesh, DWORD a, DWORD b, DWORD c) { mesh.indices.insert(mesh.indices.end(), {a, b, c}); }

// A prism over a profile that is star-shaped around the origin and runs
// counter-clockwise, from z0 to z1, closed by fans from the centre.
void AddPrism(DisplayMesh& mesh, const std::vector<Point2>& profile, double z0, double z1) {
  const DWORD n = static_cast<DWORD>(profile.size());
  const DWORD bottom = mesh.VertexCount();
  for (const Point2& p : profile) AddVertex(mesh, p.x, p.y, z0);
  const DWORD top = mesh.VertexCount();
  for (const Point2& p : profile) AddVertex(mesh, p.x, p.y, z1);
  const DWORD bottomCentre = AddVertex(mesh, 0, 0, z0);
  const DWORD topCentre = AddVertex(mesh, 0, 0, z1);
  for (DWORD i = 0; i < n; ++i) {
    DWORD j = (i + 1) % n;
    AddTriangle(mesh, bottom + i, bottom + j, top + j);
    AddTriangle(mesh, bottom + i, top + j, top + i);
    AddTriangle(mesh, topCentre, top + i, top + j);
    AddTriangle(mesh, bottomCentre, bottom + j, bottom + i);
  }
}

void AddTube(DisplayMesh& mesh, double inner, double outer, double z0, double z1, int segments) {
  const DWORD n = static_cast<DWORD>(segments);
  std::vector<Point2> in = Circle(inner, segments), out = Circle(outer, segments);
  DWORD ob = mesh.VertexCount();
  for (const Point2& p : out) AddVertex(mesh, p.x, p.y, z0);
  DWORD ot = mesh.VertexCount();
  for (const Point2& p : out) AddVertex(mesh, p.x, p.y, z1);
  DWORD ib = mesh.VertexCount();
  for (const Point2& p : in) AddVertex(mesh, p.x, p.y, z0);
  DWORD it = mesh.VertexCount();
  for (const Point2& p : in) AddVertex(mesh, p.x, p.y, z1);
  for (DWORD i = 0; i < n; ++i) {
    DWORD j = (i + 1) % n;
    AddTriangle(mesh, ob + i, ob + j, ot + j);  // outside
    AddTriangle(mesh, ob + i, ot + j, ot + i);
    AddTriangle(mesh, ib + j, ib + i, it + i);  // inside, facing the axis
    AddTriangle(mesh, ib + j, it + i, it + j);
    AddTriangle(mesh, ot + i, ot + j, it + j);  // top ring
    AddTriangle(mesh, ot + i, it + j, it + i);
    AddTriangle(mesh, ob + j, ob + i, ib + i);  // bottom ring
    AddTriangle(mesh, ob + j, ib + i, ib + j);
  }
}

// One face of a box as a grid of n x n cells.
void AddGridFace(DisplayMesh& mesh, const tagGPosition& origin, const tagGVector& u, const tagGVector& v, int n) {
  const DWORD first = mesh.VertexCount();
  for (int j = 0; j <= n; ++j)
    for (int i = 0; i <= n; ++i) {
      tagGPosition p = origin + u * (static_cast<double>(i) / n) + v * (static_cast<double>(j) / n);
      AddVertex(mesh, p.x, p.y, p.z);
    }
  const DWORD row = static_cast<DWORD>(n + 1);
  for (DWORD j = 0; j < static_cast<DWORD>(n); ++j)
    for (DWORD i = 0; i < static_cast<DWORD>(n); ++i) {
      DWORD a = first + j * row + i;
      AddTriangle(mesh, a, a + 1, a + row + 1);
      AddTriangle(mesh, a, a + row + 1, a + row);
    }
}

DisplayData Finish(std::vector<DisplayMesh> levels) {
  DisplayData data;
  data.levels = std::move(levels);
  for (const DisplayMesh& level : data.levels)
    for (size_t i = 0; i < level.positions.size(); i += 3)
      data.box.Add(tagGPosition{level.positions[i], level.positions[i + 1], level.positions[i + 2]});
  return data;
}

}  // namespace

size_t DisplayData::TriangleCount() const {
  size_t total = 0;
  for (const DisplayMesh& level : levels) total += level.TriangleCount();
  return total;
}

HRESULT ValidateDisplayData(const DisplayData& data) {
  bool valid = BoxIsValid(data.box) && !data.levels.empty() && data.levels.size() <= kMaxDisplayLevels;
  const double slack = valid ? BoxSlack(data.box) : 0.0;
  for (size_t l = 0; valid && l < data.levels.size(); ++l) {
    const DisplayMesh& level = data.levels[l];
    valid = level.positions.size() % 3 == 0 && level.indices.size() % 3 == 0 &&
            CountsAreValid(level.positions.size() / 3, level.indices.size() / 3) &&
            LevelIsValid(level, data.box, slack) && (l == 0 || FollowsLevel(data.levels[l - 1], level));
  }
  return valid ? S_OK : QUORRA_TRACE_FAIL(E_INVALIDARG, "DisplayData::Validate");
}

HRESULT EncodeDisplayData(const DisplayData& data, std::vector<BYTE>* out) {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "DisplayData::Encode");
  out->clear();
  HRESULT hr = ValidateDisplayData(data);
  if (FAILED(hr)) return hr;
  try {
    size_t size = kHeaderSize;
    for (const DisplayMesh& level : data.levels)
      size += kLevelHeaderSize + level.positions.size() * 4 + level.indices.size() * 4;
    out->reserve(size);
    out->insert(out->end(), kSignature, kSignature + 4);
    Put<DWORD>(*out, kDisplayDataVersion);
    Put<DWORD>(*out, static_cast<DWORD>(data.levels.size()));
    Put<DWORD>(*out, 0);
    for (double c : data.box.low) Put(*out, c);
    for (double c : data.box.high) Put(*out, c);
    for (const DisplayMesh& level : data.levels) {
      Put(*out, level.tolerance);
      Put<DWORD>(*out, level.VertexCount());
      Put<DWORD>(*out, level.TriangleCount());
      PutArray(*out, level.positions);
      PutArray(*out, level.indices);
    }
    return S_OK;
  } catch (const std::exception&) {
    out->clear();
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "DisplayData::Encode");
  }
}

HRESULT DecodeDisplayData(const void* bytes, size_t size, DisplayData* out) {
  if (!out || (!bytes && size)) return QUORRA_TRACE_FAIL(E_POINTER, "DisplayData::Decode");
  *out = DisplayData();
  HRESULT hr;
  try {
    hr = DecodeChecked(static_cast<const BYTE*>(bytes), size, out);
  } catch (const std::exception&) {
    hr = QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "DisplayData::Decode");
  }
  if (FAILED(hr)) *out = DisplayData();
  return hr;
}

HRESULT WriteDisplayData(IStorage* storage, const DisplayData& data) {
  if (!storage) return QUORRA_TRACE_FAIL(E_POINTER, "DisplayData::Write");
  std::vector<BYTE> bytes;
  HRESULT hr = EncodeDisplayData(data, &bytes);
  if (FAILED(hr)) return hr;
  host::ComPtr<IStream> stream;
  hr = storage->CreateStream(kDisplayDataStream, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                             stream.Put());
  ULONG written = 0;
  if (SUCCEEDED(hr)) hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
  if (SUCCEEDED(hr) && written != bytes.size()) hr = STG_E_WRITEFAULT;
  return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, "DisplayData::Write") : S_OK;
}

HRESULT ReadDisplayData(IStorage* storage, DisplayData* out) {
  if (!storage || !out) return QUORRA_TRACE_FAIL(E_POINTER, "DisplayData::Read");
  host::ComPtr<IStream> stream;
  HRESULT hr = storage->OpenStream(kDisplayDataStream, nullptr, kStreamMode, 0, stream.Put());
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "DisplayData::Read");
  std::vector<BYTE> bytes;
  hr = host::ReadStreamBytes(stream.Get(), &bytes);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "DisplayData::Read");
  return DecodeDisplayData(bytes.data(), bytes.size(), out);
}

HRESULT ReadDisplayDataForCache(IStorage* display, DWORD cacheId, DisplayData* out) {
  if (!display || !out) return QUORRA_TRACE_FAIL(E_POINTER, "DisplayData::ReadForCache");
  if (cacheId != 0) {
    // Found by enumeration, so that an absent member traces nothing.
    host::ComPtr<IStorage> member;
    host::ComPtr<IEnumSTATSTG> elements;
    if (SUCCEEDED(display->EnumElements(0, nullptr, 0, elements.Put()))) {
      STATSTG stat;
      while (!member && elements->Next(1, &stat, nullptr) == S_OK) {
        if (stat.type == STGTY_STORAGE && DisplayMemberNumber(stat.pwcsName) == cacheId)
          display->OpenStorage(stat.pwcsName, nullptr, kStreamMode, nullptr, 0, member.Put());
        CoTaskMemFree(stat.pwcsName);
      }
    }
    if (member) return ReadDisplayData(member.Get(), out);
  }
  return ReadDisplayData(display, out);
}

std::wstring DisplayMemberStorageName(DWORD number) { return L"CBody" + std::to_wstring(number) + L".dsp"; }

DWORD DisplayMemberNumber(std::wstring_view name) {
  if (name.empty() || (name[0] != L'C' && name[0] != L'c') || name.size() <= 4) return 0;
  std::wstring_view kept = name.substr(0, name.size() - 4);
  uint64_t number = 0;
  for (size_t i = 5; i < kept.size() && kept[i] >= L'0' && kept[i] <= L'9'; ++i) {
    number = number * 10 + static_cast<uint64_t>(kept[i] - L'0');
    if (number > 0xFFFFFFFFu) return 0;  // no member number
  }
  return static_cast<DWORD>(number);
}

DisplayData MakeBoxDisplay(double sizeX, double sizeY, double sizeZ) {
  std::vector<DisplayMesh> levels;
  const tagGPosition low{-sizeX / 2, -sizeY / 2, -sizeZ / 2};
  const tagGPosition high{sizeX / 2, sizeY / 2, sizeZ / 2};
  const tagGVector x{sizeX, 0, 0}, y{0, sizeY, 0}, z{0, 0, sizeZ};
  for (int n : {4, 1}) {
    DisplayMesh mesh;
    AddGridFace(mesh, low, y, x, n);                 // bottom, facing -z
    AddGridFace(mesh, high, x * -1.0, y * -1.0, n);  // top, facing +z
    AddGridFace(mesh, low, x, z, n);                 // front, facing -y
    AddGridFace(mesh, high, z * -1.0, x * -1.0, n);  // back, facing +y
    AddGridFace(mesh, low, z, y, n);                 // left, facing -x
    AddGridFace(mesh, high, y * -1.0, z * -1.0, n);  // right, facing +x
    levels.push_back(std::move(mesh));
  }
  return Finish(std::move(levels));
}

DisplayData MakeCylinderDisplay(double radius, double length) {
  std::vector<DisplayMesh> levels;
  for (int segments : {48, 16, 6}) {
    DisplayMesh mesh;
    mesh.tolerance = ChordError(radius, segments);
    AddPrism(mesh, Circle(radius, segments), -length / 2, length / 2);
    levels.push_back(std::move(mesh));
  }
  return Finish(std::move(levels));
}

DisplayData MakeTubeDisplay(double innerRadius, double outerRadius, double length) {
  std::vector<DisplayMesh> levels;
  for (int segments : {48, 16, 6}) {
    DisplayMesh mesh;
    mesh.tolerance = ChordError(outerRadius, segments);
    AddTube(mesh, innerRadius, outerRadius, -length / 2, length / 2, segments);
    levels.push_back(std::move(mesh));
  }
  return Finish(std::move(levels));
}

DisplayData MakeGearDisplay(double radius, double toothHeight, int teeth, double width) {
  teeth = std::clamp(teeth, 3, 500);
  std::vector<Point2> profile;
  const double root = radius - toothHeight / 2, tip = radius + toothHeight / 2;
  for (int t = 0; t < teeth; ++t) {
    // Root, flank up, tip, flank down: each tooth takes half its pitch.
    const double pitch = 2.0 * std::numbers::pi / teeth, a = t * pitch;
    for (auto [fraction, r] : {std::pair{0.0, root}, {0.15, tip}, {0.35, tip}, {0.5, root}}) {
      double angle = a + fraction * pitch;
      profile.push_back({r * std::cos(angle), r * std::sin(angle)});
    }
  }
  std::vector<DisplayMesh> levels(1);
  AddPrism(levels[0], profile, -width / 2, width / 2);
  // Coarser levels never hold more triangles than the toothed one.
  const int fine = std::min(32, 4 * teeth);
  for (int segments : {fine, std::min(8, fine)}) {
    DisplayMesh mesh;
    mesh.tolerance = toothHeight / 2 + ChordError(radius, segments);
    AddPrism(mesh, Circle(radius, segments), -width / 2, width / 2);
    levels.push_back(std::move(mesh));
  }
  return Finish(std::move(levels));
}

DisplayData MakeBoltDisplay(double radius, double length, double headSize, double headHeight) {
  std::vector<DisplayMesh> levels;
  for (int segments : {24, 8, 6}) {
    DisplayMesh mesh;
    mesh.tolerance = ChordError(radius, segments);
    AddPrism(mesh, Circle(headSize / 2, 6), 0, headHeight);
    AddPrism(mesh, Circle(radius, segments), -length, 0);
    levels.push_back(std::move(mesh));
  }
  return Finish(std::move(levels));
}

DisplayData CoarsestLevel(const DisplayData& data) {
  DisplayData coarse;
  coarse.box = data.box;
  if (!data.levels.empty()) coarse.levels.push_back(data.levels.back());
  return coarse;
}

}  // namespace quorra::refhost
