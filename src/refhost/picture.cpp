// Pictures of a loaded tree: the scene a population fills, drawn as item
// outlines, written as SVG or as a page with the occurrence outline.
#include "quorra/refhost/picture.h"

#include <quorra/refhost/display_data.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

namespace quorra::refhost {
namespace {

// Room left around the drawing, in pixels.
constexpr double kMargin = 24.0;
// How strongly a body's area is tinted under its outline.
constexpr double kFillOpacity = 0.18;
// The colour of items whose style gives none (colour 0): opaque grey.
constexpr DWORD kDefaultColour = 0xFF808080u;

double Dot(const tagGVector& a, const tagGVector& b) { return a % b; }
tagGVector AsVector(const tagGPosition& p) { return {p.x, p.y, p.z}; }

// The eight corners of a box.
std::vector<tagGPosition> Corners(const tagGBox& box) {
  std::vector<tagGPosition> corners;
  corners.reserve(8);
  for (int k = 0; k < 8; ++k)
    corners.push_back(
        {(k & 1) ? box.high[0] : box.low[0], (k & 2) ? box.high[1] : box.low[1], (k & 4) ? box.high[2] : box.low[2]});
  return corners;
}

// Maps world points to picture pixels for one view, fitted to a world box.
class Projection {
 public:
  Projection(const ViewAxes& axes, const tagGBox& fit, double width, double height) : axes_(axes) {
    width_ = width;
    height_ = height;
    double low[2] = {0.0, 0.0}, high[2] = {1.0, 1.0};
    if (!fit.IsEmpty() && !fit.IsNull()) {
      low[0] = low[1] = 1e300;
      high[0] = high[1] = -1e300;
      for (const tagGPosition& corner : Corners(fit)) {
        const double u = Dot(AsVector(corner), axes.right), v = Dot(AsVector(corner), axes.up);
        low[0] = std::min(low[0], u);
        high[0] = std::max(high[0], u);
        low[1] = std::min(low[1], v);
        high[1] = std::max(high[1], v);
      }
    }
    centreU_ = (low[0] + high[0]) / 2;
    centreV_ = (low[1] + high[1]) / 2;
    const double spanU = std::max(high[0] - low[0], 1e-9), spanV = std::max(high[1] - low[1], 1e-9);
    scale_ = std::min((width - 2 * kMargin) / spanU, (height - 2 * kMargin) / spanV);
  }

  PicturePoint ToPicture(const tagGPosition& world) const {
    const tagGVector p = AsVector(world);
    return {width_ / 2 + (Dot(p, axes_.right) - centreU_) * scale_,
            height_ / 2 - (Dot(p, axes_.up) - centreV_) * scale_};
  }
  double Depth(const tagGPosition& world) const { return Dot(AsVector(world), axes_.toward); }
  // World length of one pixel.
  double PixelSize() const { return 1.0 / scale_; }

 private:
  ViewAxes axes_;
  double width_ = 0.0;
  double height_ = 0.0;
  double centreU_ = 0.0;
  double centreV_ = 0.0;
  double scale_ = 1.0;
};

// An orthographic camera that sees what `projection` maps into the picture.
tagGCamera CameraFor(const ViewAxes& axes, const tagGBox& fit, const Projection& projection, const Picture& picture) {
  tagGCamera camera;
  tagGPosition centre{0.0, 0.0, 0.0};
  double distance = 1.0;
  if (!fit.IsEmpty() && !fit.IsNull()) {
    centre = {(fit.low[0] + fit.high[0]) / 2, (fit.low[1] + fit.high[1]) / 2, (fit.low[2] + fit.high[2]) / 2};
    distance += (tagGPosition{fit.high[0], fit.high[1], fit.high[2]} - tagGPosition{fit.low[0], fit.low[1], fit.low[2]})
                    .GetLength();
  }
  camera.perspective = false;
  camera.target = centre;
  camera.eye = centre + axes.toward * distance;
  camera.up = axes.up;
  camera.viewportWidth = static_cast<DWORD>(picture.width);
  camera.viewportHeight = static_cast<DWORD>(picture.height);
  camera.viewHeight = projection.PixelSize() * picture.height;
  return camera;
}

// The vertices of the level a population chose for an item, read once per
// cache and level; empty when the cache hands out no mesh.
class MeshVertices {
 public:
  const std::vector<tagGPosition>& Of(IJGeometryCache* cache, int level) {
    auto [found, added] = meshes_.try_emplace({cache, level});
    if (added && cache && level >= 0) {
      refhost::DisplayMeshQuery query;
      query.level = static_cast<DWORD>(level);
      if (SUCCEEDED(cache->Query(refhost::kGeometryCacheQueryMesh, &query))) {
        const std::vector<float>& p = query.mesh.positions;
        found->second.reserve(p.size() / 3);
        for (size_t i = 0; i + 2 < p.size(); i += 3) found->second.push_back({p[i], p[i + 1], p[i + 2]});
      }
    }
    return found->second;
  }

 private:
  std::map<std::pair<IJGeometryCache*, int>, std::vector<tagGPosition>> meshes_;
};

// Numbers each occurrence in depth-first order from the root and records
// the outline entries.
std::unordered_map<const OccurrenceNode*, size_t> CollectEntries(AsmTree* tree, std::vector<PictureEntry>* entries) {
  std::unordered_map<const OccurrenceNode*, size_t> index;
  AssemblyOccurrence* root = tree->GetRootAssembly();
  if (!root) return index;
  struct Pending {
    OccurrenceNode* occurrence;
    size_t level;
  };
  std::vector<Pending> stack{{root, 0}};
  // Entries whose descendants are still being numbered, innermost last.
  std::vector<size_t> open;
  while (!stack.empty()) {
    const Pending next = stack.back();
    stack.pop_back();
    while (!open.empty() && (*entries)[open.back()].level >= next.level) {
      (*entries)[open.back()].end = entries->size();
      open.pop_back();
    }
    OccurrenceNode* occurrence = next.occurrence;
    PictureEntry entry;
    SiteNode* site = occurrence->GetSite();
    entry.label = site ? host::ToUtf8(site->GetBaseName().View()) : "?";
    if (next.level > 0) entry.label += " [" + std::to_string(occurrence->GetAttachmentID()) + "]";
    entry.level = next.level;
    entry.assembly = !occurrence->IsPart();
    entry.hidden = !occurrence->IsDisplayable();
    index.emplace(occurrence, entries->size());
    open.push_back(entries->size());
    entries->push_back(std::move(entry));
    if (occurrence->IsPart()) continue;
    const auto* assembly = static_cast<AssemblyOccurrence*>(occurrence);
    // Pushed last child first, so children come out in list order.
    for (DWORD i = assembly->GetChildCount(); i-- > 0;)
      if (OccurrenceNode* child = assembly->GetChildByIndex(i)) stack.push_back({child, next.level + 1});
  }
  for (size_t i : open) (*entries)[i].end = entries->size();
  return index;
}

double Cross(const PicturePoint& o, const PicturePoint& a, const PicturePoint& b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

void AppendNumber(std::string* out, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  *out += text;
}

std::string HexColour(DWORD rgba) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", rgba & 0xFF, (rgba >> 8) & 0xFF, (rgba >> 16) & 0xFF);
  return text;
}

std::string Opacity(double value) {
  char text[16];
  std::snprintf(text, sizeof text, "%.3g", value);
  return text;
}

std::string EscapeXml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// One <polygon> of a shape: its area (`fill`) or its outline.
void AppendPolygon(std::string* out, const PictureShape& shape, bool fill) {
  const std::string colour = HexColour(shape.colour);
  const double alpha = ((shape.colour >> 24) & 0xFF) / 255.0;
  *out += "<polygon data-e=\"" + std::to_string(shape.entry) + "\" ";
  if (fill) {
    *out += "fill=\"" + colour + "\"";
    if (alpha < 1.0) *out += " fill-opacity=\"" + Opacity(kFillOpacity * alpha) + "\"";
  } else {
    *out += "stroke=\"" + colour + "\"";
    if (alpha < 1.0) *out += " stroke-opacity=\"" + Opacity(alpha) + "\"";
  }
  *out += " points=\"";
  for (size_t i = 0; i < shape.outline.size(); ++i) {
    if (i) *out += ' ';
    AppendNumber(out, shape.outline[i].x);
    *out += ',';
    AppendNumber(out, shape.outline[i].y);
  }
  *out += "\"/>\n";
}

constexpr const char* kPageStyle = R"(
body { margin: 0; font: 13px/1.4 sans-serif; color: #222; background: #f4f4f4; }
main { display: flex; align-items: flex-start; gap: 16px; padding: 16px; }
nav { flex: 0 0 320px; max-height: calc(100vh - 32px); overflow: auto; background: #fff; border: 1px solid #ccc; padding: 8px; }
nav h1 { font-size: 15px; margin: 0 0 8px; }
nav ul { list-style: none; margin: 0; padding-left: 14px; }
nav > ul { padding-left: 0; }
nav summary, nav .entry { cursor: default; padding: 1px 4px; border-radius: 3px; white-space: nowrap; }
nav .entry { display: inline-block; margin-left: 14px; }
nav .hidden { color: #999; font-style: italic; }
nav .pointed { background: #ffe9a8; }
figure { margin: 0; background: #fff; border: 1px solid #ccc; }
svg.pointing .fills polygon, svg.pointing .edges polygon { opacity: 0.2; }
svg.pointing .fills polygon.hi { opacity: 1; fill-opacity: 0.5; }
svg.pointing .edges polygon.hi { opacity: 1; stroke-width: 4; }
)";

// Pointing at an outline entry lights the items of its occurrence and of
// everything below it (entries from data-from up to data-to).
constexpr const char* kPageScript = R"(
(function () {
  var svg = document.querySelector('figure svg');
  var byEntry = [];
  svg.querySelectorAll('[data-e]').forEach(function (el) {
    var e = +el.getAttribute('data-e');
    (byEntry[e] = byEntry[e] || []).push(el);
  });
  var lit = [], pointed = null;
  function clear() {
    lit.forEach(function (el) { el.classList.remove('hi'); });
    lit = [];
    svg.classList.remove('pointing');
    if (pointed) pointed.classList.remove('pointed');
    pointed = null;
  }
  function point(entry) {
    clear();
    pointed = entry;
    entry.classList.add('pointed');
    var to = +entry.getAttribute('data-to');
    for (var e = +entry.getAttribute('data-from'); e < to; e++)
      (byEntry[e] || []).forEach(function (el) { el.classList.add('hi'); lit.push(el); });
    svg.classList.add('pointing');
  }
  var nav = document.querySelector('nav');
  nav.addEventListener('mouseover', function (event) {
    var entry = event.target.closest('[data-from]');
    if (entry && entry !== pointed) point(entry);
  });
  nav.addEventListener('mouseleave', clear);
  nav.addEventListener('focusin', function (event) {
    var entry = event.target.closest('[data-from]');
    if (entry) point(entry);
  });
})();
)";

void AppendEntryLabel(std::string* out, const PictureEntry& entry, size_t index, const char* element,
                      const char* extraClass) {
  *out += std::string("<") + element + " tabindex=\"0\" data-from=\"" + std::to_string(index) + "\" data-to=\"" +
          std::to_string(entry.end) + "\"";
  std::string classes = extraClass;
  if (entry.hidden) classes += classes.empty() ? "hidden" : " hidden";
  if (!classes.empty()) *out += " class=\"" + classes + "\"";
  *out += '>';
  *out += EscapeXml(entry.label);
  if (entry.hidden) *out += " (hidden)";
  *out += "</";
  *out += element;
  *out += '>';
}

// The outline as nested lists; assemblies with children fold.
void AppendOutline(std::string* out, const std::vector<PictureEntry>& entries) {
  *out += "<ul>\n";
  std::vector<size_t> ends;  // the end of each folded group still open
  for (size_t i = 0; i < entries.size(); ++i) {
    const PictureEntry& entry = entries[i];
    *out += "<li>";
    if (entry.assembly && entry.end > i + 1) {
      *out += entry.level < 2 ? "<details open>" : "<details>";
      AppendEntryLabel(out, entry, i, "summary", "");
      *out += "\n<ul>\n";
      ends.push_back(entry.end);
    } else {
      AppendEntryLabel(out, entry, i, "span", "entry");
      *out += "</li>\n";
    }
    while (!ends.empty() && ends.back() <= i + 1) {
      *out += "</ul></details></li>\n";
      ends.pop_back();
    }
  }
  *out += "</ul>\n";
}

}  // namespace

bool ParseViewDirection(const std::string& name, ViewDirection* out) {
  static const std::pair<const char*, ViewDirection> kNames[] = {
      {"top", ViewDirection::kTop}, {"front", ViewDirection::kFront}, {"iso", ViewDirection::kIso}};
  for (const auto& [text, direction] : kNames)
    if (name == text) {
      *out = direction;
      return true;
    }
  return false;
}

ViewAxes AxesOf(ViewDirection direction) {
  switch (direction) {
    case ViewDirection::kTop:
      return {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    case ViewDirection::kFront:
      return {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}};
    case ViewDirection::kIso:
      break;
  }
  // Seen from (1, -1, 1): right = z x toward, up = toward x right.
  const double r2 = 1 / std::sqrt(2.0), r3 = 1 / std::sqrt(3.0), r6 = 1 / std::sqrt(6.0);
  return {{r2, r2, 0}, {-r6, r6, 2 * r6}, {r3, -r3, r3}};
}

std::vector<PicturePoint> ConvexHull(std::vector<PicturePoint> points) {
  std::sort(points.begin(), points.end(),
            [](const PicturePoint& a, const PicturePoint& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
  points.erase(std::unique(points.begin(), points.end(),
                           [](const PicturePoint& a, const PicturePoint& b) { return a.x == b.x && a.y == b.y; }),
               points.end());
  if (points.size() < 3) return points;
  // Andrew's monotone chain: lower hull left to right, upper hull back.
  std::vector<PicturePoint> hull(2 * points.size());
  size_t k = 0;
  for (const PicturePoint& p : points) {
    while (k >= 2 && Cross(hull[k - 2], hull[k - 1], p) <= 0) --k;
    hull[k++] = p;
  }
  for (size_t i = points.size() - 1, lower = k + 1; i-- > 0;) {
    while (k >= lower && Cross(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
    hull[k++] = points[i];
  }
  hull.resize(k - 1);  // the last point repeats the first
  return hull;
}

HRESULT DrawTree(AsmTree* tree, ViewDirection direction, Picture* picture) {
  if (!tree || !picture) return E_POINTER;
  picture->shapes.clear();
  picture->entries.clear();
  AssemblyOccurrence* root = tree->GetRootAssembly();
  SiteNode* rootSite = root ? root->GetSite() : nullptr;
  picture->title = rootSite ? host::ToUtf8(rootSite->GetBaseName().View()) : "empty tree";

  tagGBox range = tagGBox::Null();
  if (FAILED(AsmTreeGetRange(tree, &range))) range = tagGBox::Null();
  const ViewAxes axes = AxesOf(direction);
  const Projection projection(axes, range, picture->width, picture->height);

  auto scene = std::make_unique<GScene>(0, nullptr, nullptr, nullptr);
  scene->Camera() = CameraFor(axes, range, projection, *picture);
  HRESULT hr = tree->PopulateScene(scene.get());
  if (FAILED(hr)) return hr;

  const std::unordered_map<const OccurrenceNode*, size_t> entryOf = CollectEntries(tree, &picture->entries);
  MeshVertices meshes;
  const tagG4x4 identity;
  std::vector<PicturePoint> projected;
  for (const GGraphicInfo* item : scene->AllItems()) {
    const std::vector<tagGPosition>* vertices = &meshes.Of(item->cache, item->lodIndex);
    const tagG4x4* toWorld = &item->matrix;
    std::vector<tagGPosition> box;
    if (vertices->empty()) {
      // No mesh: the body's range box, else the occurrence's world range.
      tagGBox bodyRange;
      const tagGBox* worldRange = item->occurrence ? item->occurrence->GetRange() : nullptr;
      if (item->cache && SUCCEEDED(item->cache->Query(GEOMETRY_CACHE_QUERY_RANGE, &bodyRange)) &&
          !bodyRange.IsEmpty()) {
        box = Corners(bodyRange);
      } else if (worldRange && !worldRange->IsEmpty() && !worldRange->IsNull()) {
        box = Corners(*worldRange);
        toWorld = &identity;
      }
      vertices = &box;
    }
    if (vertices->empty()) continue;
    PictureShape shape;
    projected.clear();
    double nearest = -1e300, farthest = 1e300;
    for (const tagGPosition& vertex : *vertices) {
      const tagGPosition world = *toWorld * vertex;
      projected.push_back(projection.ToPicture(world));
      const double depth = projection.Depth(world);
      nearest = std::max(nearest, depth);
      farthest = std::min(farthest, depth);
    }
    shape.outline = ConvexHull(projected);
    shape.colour = item->colour ? item->colour : kDefaultColour;
    shape.depth = (nearest + farthest) / 2;
    auto found = entryOf.find(item->occurrence);
    shape.entry = found != entryOf.end() ? found->second : 0;
    picture->shapes.push_back(std::move(shape));
  }
  // Farthest first, so nearer bodies are drawn over them.
  std::stable_sort(picture->shapes.begin(), picture->shapes.end(),
                   [](const PictureShape& a, const PictureShape& b) { return a.depth < b.depth; });
  return S_OK;
}

bool PictureFormatOf(const std::string& path, PictureFormat* out) {
  auto endsWith = [&](const char* suffix) {
    const size_t n = std::char_traits<char>::length(suffix);
    if (path.size() <= n) return false;
    for (size_t i = 0; i < n; ++i)
      if (std::tolower(static_cast<unsigned char>(path[path.size() - n + i])) != suffix[i]) return false;
    return true;
  };
  if (endsWith(".svg")) {
    *out = PictureFormat::kSvg;
    return true;
  }
  if (endsWith(".html")) {
    *out = PictureFormat::kHtml;
    return true;
  }
  return false;
}

std::string PictureSvg(const Picture& picture) {
  const std::string width = std::to_string(static_cast<int>(picture.width));
  const std::string height = std::to_string(static_cast<int>(picture.height));
  std::string out;
  out.reserve(256 + picture.shapes.size() * 600);
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + width + "\" height=\"" + height + "\" viewBox=\"0 0 " +
         width + " " + height + "\">\n";
  out += "<title>" + EscapeXml(picture.title) + "</title>\n";
  out += "<rect width=\"" + width + "\" height=\"" + height + "\" fill=\"#ffffff\"/>\n";
  // Areas first, then every outline over them, so no area hides an outline.
  out += "<g class=\"fills\" stroke=\"none\" fill-opacity=\"" + Opacity(kFillOpacity) + "\">\n";
  for (const PictureShape& shape : picture.shapes) AppendPolygon(&out, shape, true);
  out += "</g>\n<g class=\"edges\" fill=\"none\" stroke-width=\"2.5\" stroke-linejoin=\"round\">\n";
  for (const PictureShape& shape : picture.shapes) AppendPolygon(&out, shape, false);
  out += "</g>\n</svg>\n";
  return out;
}

std::string PicturePage(const Picture& picture) {
  const std::string title = EscapeXml(picture.title);
  std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + title +
                    "</title>\n<style>" + kPageStyle + "</style>\n</head>\n<body>\n<main>\n<nav>\n<h1>" + title +
                    "</h1>\n";
  AppendOutline(&out, picture.entries);
  out += "</nav>\n<figure>\n";
  out += PictureSvg(picture);
  out += "</figure>\n</main>\n<script>";
  out += kPageScript;
  out += "</script>\n</body>\n</html>\n";
  return out;
}

bool WritePicture(const Picture& picture, PictureFormat format, const std::string& path, std::string* error) {
  const std::string text = format == PictureFormat::kSvg ? PictureSvg(picture) : PicturePage(picture);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (file) file.close();
  if (!file) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace quorra::refhost
