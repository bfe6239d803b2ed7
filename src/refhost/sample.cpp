// Sample assemblies as real documents: the synthetic product and the gearbox.
// A product is first planned (documents, shapes, placements), then counted
// and written, so the expected counts come from the same structure the files
// hold.
#include "quorra/refhost/sample.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <vector>

#include "quorra/host/geometry.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/refhost/documents.h"

namespace quorra::refhost {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/refhost/sample";
constexpr uint64_t kSaturated = UINT64_MAX / 4;

// splitmix64: the same numbers on every platform and compiler.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A whole number in [0, n).
  unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }
  // A number in [low, high).
  double Between(double low, double high) { return low + (high - low) * static_cast<double>(Next() >> 11) * 0x1p-53; }

 private:
  uint64_t state_;
};

// A part's solid, made into display data when the part is written.
struct Shape {
  enum Kind { kBox, kCylinder, kTube, kGear, kBolt } kind = kBox;
  double a = 10, b = 10, c = 10;  // box sizes; radius / inner, outer / length...
  int teeth = 0;

  DisplayData Make() const {
    switch (kind) {
      case kCylinder:
        return MakeCylinderDisplay(a, b);
      case kTube:
        return MakeTubeDisplay(a, b, c);
      case kGear:
        return MakeGearDisplay(a, b, teeth, c);
      case kBolt:
        return MakeBoltDisplay(a, b, c, c * 0.7);
      case kBox:
        break;
    }
    return MakeBoxDisplay(a, b, c);
  }
  // A rough extent, for laying out placements.
  double Extent() const {
    switch (kind) {
      case kCylinder:
        return std::max(2 * a, b);
      case kTube:
        return std::max(2 * b, c);
      case kGear:
        return std::max(2 * a + b, c);
      case kBolt:
        return std::max(c, b + c);
      case kBox:
        break;
    }
    return std::max({a, b, c});
  }
};

Shape Box(double x, double y, double z) { return {Shape::kBox, x, y, z, 0}; }
Shape Cylinder(double radius, double length) { return {Shape::kCylinder, radius, length, 0, 0}; }
Shape Tube(double inner, double outer, double length) { return {Shape::kTube, inner, outer, length, 0}; }
Shape Gear(double radius, int teeth, double width) { return {Shape::kGear, radius, radius * 0.12, width, teeth}; }
Shape Bolt(double radius, double length, double head) { return {Shape::kBolt, radius, length, head, 0}; }

struct Planned {
  enum Kind { kAssembly, kPart, kWeldment } kind = kPart;
  std::wstring fileName;
  Shape shape;                                       // parts
  bool kernelGeometry = true;                        // parts
  DWORD previewBodyId = 0;                           // parts
  std::vector<std::pair<DWORD, Shape>> members;      // weldments
  std::vector<std::pair<size_t, tagG4x4>> children;  // assemblies: document, placement
  double extent = 0;
};

struct Plan {
  std::vector<Planned> documents;
  size_t top = 0;

  size_t Add(Planned document) {
    documents.push_back(std::move(document));
    return documents.size() - 1;
  }
};

uint64_t AddSaturated(uint64_t a, uint64_t b) { return std::min(kSaturated, a + b); }
uint64_t MultiplySaturated(uint64_t a, uint64_t b) { return b != 0 && a > kSaturated / b ? kSaturated : a * b; }

// Occurrences below and including one placement of each document, for the
// file loader (`weldmentMembers`) or the site reader.
std::vector<uint64_t> CountOccurrences(const Plan& plan, bool weldmentMembers) {
  // Children always come before their parents in a plan.
  std::vector<uint64_t> count(plan.documents.size(), 1);
  for (size_t i = 0; i < plan.documents.size(); ++i) {
    const Planned& d = plan.documents[i];
    if (d.kind == Planned::kWeldment && weldmentMembers)
      for (const auto& member : d.members) count[i] += member.first != 0 ? 1 : 0;
    for (const auto& [child, matrix] : d.children) count[i] = AddSaturated(count[i], count[child]);
  }
  return count;
}

std::vector<bool> Reachable(const Plan& plan) {
  std::vector<bool> reached(plan.documents.size(), false);
  std::vector<size_t> stack = {plan.top};
  reached[plan.top] = true;
  while (!stack.empty()) {
    size_t at = stack.back();
    stack.pop_back();
    for (const auto& [child, matrix] : plan.documents[at].children)
      if (!reached[child]) {
        reached[child] = true;
        stack.push_back(child);
      }
  }
  return reached;
}

// Lays `children` out on a grid in the xy plane, each turned about z, and
// returns the extent of the whole.
double LayOut(Plan& plan, Planned& assembly, const std::vector<size_t>& children, Random& random) {
  const size_t n = children.size();
  const size_t columns = static_cast<size_t>(std::ceil(std::sqrt(static_cast<double>(n))));
  double largest = 1.0;
  for (size_t child : children) largest = std::max(largest, plan.documents[child].extent);
  const double spacing = largest * 1.3;
  const double offset = spacing * static_cast<double>(columns - 1) / 2;
  for (size_t k = 0; k < n; ++k) {
    const double x = static_cast<double>(k % columns) * spacing - offset;
    const double y = static_cast<double>(k / columns) * spacing - offset;
    const double turn = random.Below(24) * (std::numbers::pi / 12);
    assembly.children.emplace_back(children[k], tagG4x4::Translation(x, y, 0) * tagG4x4::RotationZ(turn));
  }
  return spacing * static_cast<double>(columns);
}

Shape RandomShape(Random& random) {
  const double size = random.Between(10, 50);
  switch (random.Below(5)) {
    case 0:
      return Box(size, random.Between(5, 50), random.Between(5, 50));
    case 1:
      return Cylinder(size / 4, random.Between(20, 120));
    case 2:
      return Tube(size / 4, size / 2, random.Between(5, 30));
    case 3:
      return Gear(size, 12 + static_cast<int>(random.Below(40)), random.Between(8, 25));
    default:
      return Bolt(size / 10, random.Between(15, 80), size / 3);
  }
}

std::wstring Numbered(const wchar_t* prefix, size_t n, const wchar_t* extension) {
  return host::FormatWide(L"%s%04zu%s", prefix, n, extension);
}

Plan PlanSynthetic(const SampleOptions& options) {
  Random random(options.seed);
  Plan plan;
  const unsigned fanout = options.fanout;
  const unsigned subSlots = options.depth > 1 ? fanout - fanout / 3 : 0;
  const unsigned pool = std::max(1u, (subSlots + 1) / 2);

  std::vector<size_t> parts;
  for (unsigned i = 0; i < options.parts; ++i) {
    Planned part;
    part.kind = Planned::kPart;
    part.fileName = Numbered(L"part_", i + 1, i % 5 == 4 ? L".psm" : L".par");
    part.shape = RandomShape(random);
    part.kernelGeometry = i % 7 != 6;
    part.previewBodyId = i % 4 == 3 ? 100 + i : 0;
    part.extent = part.shape.Extent();
    parts.push_back(plan.Add(std::move(part)));
  }

  size_t nextPart = 0;
  std::vector<size_t> below;  // the pool of the level under the one being made
  for (unsigned level = options.depth; level-- > 0;) {
    const bool last = level + 1 == options.depth;
    const unsigned count = level == 0 ? 1 : pool;
    std::vector<size_t> made;
    for (unsigned k = 0; k < count; ++k) {
      Planned assembly;
      assembly.kind = Planned::kAssembly;
      assembly.fileName = level == 0 ? L"sample.asm" : host::FormatWide(L"sub_L%u_%02u.asm", level, k + 1);
      std::vector<size_t> children;
      const unsigned subs = last ? 0 : subSlots;
      const unsigned start = random.Below(static_cast<unsigned>(std::max<size_t>(1, below.size())));
      for (unsigned s = 0; s < subs; ++s) children.push_back(below[(start + s) % below.size()]);
      for (unsigned p = subs; p < fanout; ++p) children.push_back(parts[nextPart++ % parts.size()]);
      assembly.extent = LayOut(plan, assembly, children, random);
      made.push_back(plan.Add(std::move(assembly)));
    }
    below = std::move(made);
  }
  plan.top = below.front();
  return plan;
}

// --- The gearbox ------------------------------------------------------------

tagG4x4 At(double x, double y, double z) { return tagG4x4::Translation(x, y, z); }
// Turns local z (the axis of shafts and round parts) onto y, then moves.
tagG4x4 AlongY(double x, double y, double z) { return At(x, y, z) * tagG4x4::RotationX(-std::numbers::pi / 2); }

Plan PlanGearbox() {
  Plan plan;
  auto part = [&](const wchar_t* name, Shape shape) {
    Planned p;
    p.kind = Planned::kPart;
    p.fileName = name;
    p.shape = shape;
    p.extent = shape.Extent();
    return plan.Add(std::move(p));
  };
  auto assembly = [&](const wchar_t* name, std::vector<std::pair<size_t, tagG4x4>> children, double extent) {
    Planned a;
    a.kind = Planned::kAssembly;
    a.fileName = name;
    a.children = std::move(children);
    a.extent = extent;
    return plan.Add(std::move(a));
  };

  const size_t housing = part(L"housing.par", Box(320, 200, 240));
  const size_t cover = part(L"housing_cover.par", Box(320, 200, 12));
  const size_t inspection = part(L"inspection_cover.psm", Box(120, 80, 3));
  const size_t inputShaft = part(L"input_shaft.par", Cylinder(12.5, 300));
  const size_t pinion = part(L"pinion_gear.par", Gear(22, 17, 30));
  const size_t middleShaft = part(L"intermediate_shaft.par", Cylinder(15, 220));
  const size_t middleGear = part(L"intermediate_gear.par", Gear(68, 53, 28));
  const size_t middlePinion = part(L"intermediate_pinion.par", Gear(26, 19, 36));
  const size_t outputShaft = part(L"output_shaft.par", Cylinder(17.5, 320));
  const size_t outputGear = part(L"output_gear.par", Gear(80, 61, 34));
  const size_t bearingSmall = part(L"bearing_6205.par", Tube(12.5, 26, 15));
  const size_t bearingLarge = part(L"bearing_6207.par", Tube(17.5, 36, 17));
  const size_t sealSmall = part(L"shaft_seal_25.par", Tube(12.5, 21, 7));
  const size_t sealLarge = part(L"shaft_seal_35.par", Tube(17.5, 26, 7));
  const size_t key = part(L"key_8x7.par", Box(8, 7, 28));
  const size_t bearingCap = part(L"bearing_cap.par", Cylinder(45, 10));
  const size_t gasket = part(L"cap_gasket.par", Tube(30, 45, 1));
  const size_t capScrew = part(L"cap_screw_m6.par", Bolt(3, 16, 10));
  const size_t coverBolt = part(L"cover_bolt_m8.par", Bolt(4, 30, 13));
  const size_t washer = part(L"washer_m8.par", Tube(4.3, 8, 1.6));
  const size_t dowel = part(L"dowel_pin.par", Cylinder(4, 24));
  const size_t drainPlug = part(L"drain_plug.par", Bolt(8, 12, 24));
  const size_t fillPlug = part(L"fill_plug.par", Bolt(10, 14, 28));
  const size_t sightGlass = part(L"sight_glass.par", Tube(10, 16, 8));

  // Shafts lie along their local z: gear at 0, bearings near the ends.
  const size_t inputAssembly = assembly(L"input_shaft.asm",
                                        {{inputShaft, At(0, 0, 0)},
                                         {pinion, At(0, 0, -30)},
                                         {key, At(0, 14, -30)},
                                         {bearingSmall, At(0, 0, -92)},
                                         {bearingSmall, At(0, 0, 92)},
                                         {sealSmall, At(0, 0, 108)}},
                                        300);
  const size_t middleAssembly = assembly(L"intermediate_shaft.asm",
                                         {{middleShaft, At(0, 0, 0)},
                                          {middleGear, At(0, 0, -30)},
                                          {middlePinion, At(0, 0, 30)},
                                          {key, At(0, 16, -30)},
                                          {key, At(0, 16, 30)},
                                          {bearingSmall, At(0, 0, -92)},
                                          {bearingSmall, At(0, 0, 92)}},
                                         220);
  const size_t outputAssembly = assembly(L"output_shaft.asm",
                                         {{outputShaft, At(0, 0, 0)},
                                          {outputGear, At(0, 0, 30)},
                                          {key, At(0, 19, 30)},
                                          {bearingLarge, At(0, 0, -92)},
                                          {bearingLarge, At(0, 0, 92)},
                                          {sealLarge, At(0, 0, -110)}},
                                         320);
  std::vector<std::pair<size_t, tagG4x4>> capChildren = {{bearingCap, At(0, 0, 0)}, {gasket, At(0, 0, -5.5)}};
  for (int k = 0; k < 4; ++k) {
    const double angle = std::numbers::pi / 4 + k * std::numbers::pi / 2;
    capChildren.push_back({capScrew, At(36 * std::cos(angle), 36 * std::sin(angle), 5)});
  }
  const size_t capAssembly = assembly(L"bearing_cap.asm", std::move(capChildren), 90);

  Planned foot;
  foot.kind = Planned::kWeldment;
  foot.fileName = L"mounting_foot.pwd";
  foot.members = {{1, Box(240, 60, 12)}, {2, Box(12, 60, 80)}, {3, Box(60, 8, 60)}, {4, Box(60, 8, 60)}};
  foot.extent = 240;
  const size_t footWeldment = plan.Add(std::move(foot));

  // The top: shafts across the housing (along y), a bearing cap at each end
  // of each shaft, the cover with its bolts, plugs and the welded feet.
  std::vector<std::pair<size_t, tagG4x4>> top = {
      {housing, At(0, 0, 0)},
      {cover, At(0, 0, 126)},
      {inspection, At(0, 0, 133.5)},
      {inputAssembly, AlongY(-100, 0, 30)},
      {middleAssembly, AlongY(-5, 0, 30)},
      {outputAssembly, AlongY(105, 0, 30)},
  };
  for (double x : {-100.0, -5.0, 105.0}) {
    top.push_back({capAssembly, AlongY(x, 105, 30)});
    top.push_back({capAssembly, AlongY(x, -105, 30) * tagG4x4::RotationX(std::numbers::pi)});
  }
  for (int k = 0; k < 8; ++k) {
    const double x = -140 + 280.0 * (k % 4) / 3, y = k < 4 ? -85 : 85;
    top.push_back({coverBolt, At(x, y, 134)});
    top.push_back({washer, At(x, y, 132.8)});
  }
  top.push_back({dowel, At(-150, -90, 120)});
  top.push_back({dowel, At(150, 90, 120)});
  top.push_back({drainPlug, At(150, 0, -100) * tagG4x4::RotationY(std::numbers::pi / 2)});
  top.push_back({fillPlug, At(0, 60, 140)});
  top.push_back({sightGlass, AlongY(100, -101, -40)});
  top.push_back({footWeldment, At(0, -70, -126)});
  top.push_back({footWeldment, At(0, 70, -126) * tagG4x4::RotationZ(std::numbers::pi)});
  plan.top = assembly(L"gearbox.asm", std::move(top), 400);
  return plan;
}

// --- Writing --------------------------------------------------------------------

std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
  return directory.empty() || directory.back() == L'/' ? directory + name : directory + L"/" + name;
}

std::wstring StoredName(const std::wstring& directory, const std::wstring& fileName, SampleNames names) {
  switch (names) {
    case SampleNames::kAbsolute:
      return JoinPath(directory, fileName);
    case SampleNames::kWindows:
      return L"C:\\quorra\\sample\\" + fileName;
    case SampleNames::kBaseName:
      break;
  }
  return fileName;
}

HRESULT PrepareDirectory(const wchar_t* directory, std::wstring* absolute) {
  if (!directory || !*directory) return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, L"no directory", "Sample::Write");
  std::error_code error;
  const std::filesystem::path path(host::ToUtf8(directory));
  std::filesystem::create_directories(path, error);
  if (error || !std::filesystem::is_directory(path, error))
    return QUORRA_TRACE_FAIL_MSG(STG_E_PATHNOTFOUND, directory, "Sample::Write");
  std::filesystem::path full = std::filesystem::absolute(path, error).lexically_normal();
  if (error) return QUORRA_TRACE_FAIL_MSG(STG_E_PATHNOTFOUND, directory, "Sample::Write");
  std::string text = full.string();
  if (text.size() > 1 && text.back() == '/') text.pop_back();
  *absolute = host::FromUtf8(text);
  return S_OK;
}

HRESULT WritePlanned(const Plan& plan, const std::wstring& directory, SampleNames names, const Planned& document) {
  const std::wstring path = JoinPath(directory, document.fileName);
  switch (document.kind) {
    case Planned::kPart: {
      PartDocument part;
      part.kernelGeometry = document.kernelGeometry;
      part.previewBodyId = document.previewBodyId;
      part.display = document.shape.Make();
      return WritePartDocument(path.c_str(), part);
    }
    case Planned::kWeldment: {
      WeldmentDocument weldment;
      for (const auto& [number, shape] : document.members) weldment.members.push_back({number, shape.Make()});
      return WriteWeldmentDocument(path.c_str(), weldment);
    }
    case Planned::kAssembly:
      break;
  }
  AssemblyDocument assembly;
  for (const auto& [child, matrix] : document.children)
    assembly.AddPlacement(StoredName(directory, plan.documents[child].fileName, names), matrix);
  return WriteAssemblyDocument(path.c_str(), assembly);
}

HRESULT WritePlan(const Plan& plan, const wchar_t* directory, SampleNames names, SampleSummary* summary) {
  std::wstring absolute;
  HRESULT hr = PrepareDirectory(directory, &absolute);
  if (FAILED(hr)) return hr;
  SampleSummary result;
  const std::vector<bool> reached = Reachable(plan);
  const std::vector<uint64_t> loaderCounts = CountOccurrences(plan, true);
  const std::vector<uint64_t> readerCounts = CountOccurrences(plan, false);
  for (size_t i = 0; i < plan.documents.size(); ++i) {
    if (!reached[i]) continue;
    const Planned& document = plan.documents[i];
    hr = WritePlanned(plan, absolute, names, document);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "Sample::Write");
    ++result.documents;
    ++result.expectedSites;
    ++result.siteReaderSites;
    result.placements += document.children.size();
    switch (document.kind) {
      case Planned::kAssembly:
        ++result.assemblies;
        break;
      case Planned::kPart:
        ++result.parts;
        break;
      case Planned::kWeldment:
        ++result.weldments;
        for (const auto& member : document.members) result.expectedSites += member.first != 0 ? 1 : 0;
        break;
    }
  }
  result.topDocument = JoinPath(absolute, plan.documents[plan.top].fileName);
  result.expectedOccurrences = loaderCounts[plan.top];
  result.siteReaderOccurrences = readerCounts[plan.top];
  if (summary) *summary = std::move(result);
  return S_OK;
}

// Occurrences of the synthetic structure, from its shape alone.
uint64_t SyntheticOccurrences(const SampleOptions& options) {
  const uint64_t fanout = options.fanout;
  const uint64_t subs = options.depth > 1 ? fanout - fanout / 3 : 0;
  uint64_t below = 1 + fanout;  // a last-level assembly
  for (unsigned level = 1; level < options.depth; ++level)
    below = AddSaturated(1 + (fanout - subs), MultiplySaturated(subs, below));
  return below;
}

}  // namespace

HRESULT CheckSampleOptions(const SampleOptions& options, std::string* why) {
  std::string reason;
  if (options.depth < 1 || options.depth > kMaxSampleDepth)
    reason = "depth must be 1 to " + std::to_string(kMaxSampleDepth);
  else if (options.fanout < 1 || options.fanout > kMaxSampleFanout)
    reason = "fanout must be 1 to " + std::to_string(kMaxSampleFanout);
  else if (options.parts < 1 || options.parts > kMaxSampleParts)
    reason = "parts must be 1 to " + std::to_string(kMaxSampleParts);
  else if (SyntheticOccurrences(options) > kMaxSampleOccurrences)
    reason = "depth and fanout make more than " + std::to_string(kMaxSampleOccurrences) + " occurrences";
  if (why) *why = reason;
  return reason.empty() ? S_OK : E_INVALIDARG;
}

HRESULT WriteSample(const wchar_t* directory, const SampleOptions& options, SampleSummary* summary) {
  std::string why;
  if (FAILED(CheckSampleOptions(options, &why)))
    return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, host::FromUtf8(why).c_str(), "Sample::Write");
  try {
    return WritePlan(PlanSynthetic(options), directory, options.names, summary);
  } catch (const std::exception&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "Sample::Write");
  }
}

HRESULT WriteGearboxSample(const wchar_t* directory, SampleSummary* summary, SampleNames names) {
  try {
    return WritePlan(PlanGearbox(), directory, names, summary);
  } catch (const std::exception&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "Sample::Write");
  }
}

}  // namespace quorra::refhost
