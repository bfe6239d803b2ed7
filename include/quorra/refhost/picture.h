// Pictures of a loaded tree: the tree's scene is populated as a host would
// for display, and every item the scene holds is drawn as the outline of its
// geometry seen along the view direction, in the item's style colour. Hidden
// and culled occurrences have no items, so they are not drawn.
//
// A picture is written either as an SVG image or as one self-contained HTML
// page (inline SVG, style and script; nothing fetched) that shows the picture
// beside the collapsible occurrence outline: pointing at an outline entry
// highlights the items of that occurrence and of everything below it.
//
// Coordinates are picture pixels, x to the right and y down.
#pragma once

#include <quorra/quorra.h>

#include <string>
#include <vector>

namespace quorra::refhost {

// Where the picture is seen from: above (looking down -z), the front
// (looking along +y) or an isometric corner (from +x, -y, +z).
enum class ViewDirection { kTop, kFront, kIso };

// "top", "front" or "iso"; false for anything else.
bool ParseViewDirection(const std::string& name, ViewDirection* out);

// The screen axes of a view: world points project to (p % right, p % up),
// and p % toward grows toward the viewer.
struct ViewAxes {
  tagGVector right;
  tagGVector up;
  tagGVector toward;
};
ViewAxes AxesOf(ViewDirection direction);

struct PicturePoint {
  double x = 0.0;
  double y = 0.0;
};

// The convex hull of `points`, counter-clockwise on the screen, without
// repeated or collinear points. Fewer than three distinct points come back
// as they are (deduplicated).
std::vector<PicturePoint> ConvexHull(std::vector<PicturePoint> points);

// One drawn item: a closed outline in a colour (RGBA: byte 0 red .. byte 3
// alpha), at a depth (larger is nearer the viewer), belonging to outline
// entry `entry`.
struct PictureShape {
  std::vector<PicturePoint> outline;
  DWORD colour = 0;
  double depth = 0.0;
  size_t entry = 0;
};

// One occurrence of the outline, in depth-first order from the root: its
// descendants are the entries from the next one up to `end` (exclusive).
struct PictureEntry {
  std::string label;
  size_t level = 0;  // 0 for the root
  size_t end = 0;
  bool assembly = false;
  bool hidden = false;  // not displayable: the picture has no items of it
};

struct Picture {
  std::string title;
  double width = 960.0;
  double height = 720.0;
  std::vector<PictureShape> shapes;
  std::vector<PictureEntry> entries;
};

// Populates a scene of `tree` seen along `direction` and draws it into
// `picture` (its title, size and anything it held are replaced). S_OK, or
// the population's failure.
HRESULT DrawTree(AsmTree* tree, ViewDirection direction, Picture* picture);

enum class PictureFormat { kSvg, kHtml };

// The format a file name asks for: ".svg" or ".html" (any case); false for
// any other name.
bool PictureFormatOf(const std::string& path, PictureFormat* out);

// The picture as an SVG element (standalone: with the XML namespace).
std::string PictureSvg(const Picture& picture);
// The picture and its outline as one HTML page.
std::string PicturePage(const Picture& picture);

// Writes the picture in `format` to `path`; false with `error` set when the
// file cannot be written.
bool WritePicture(const Picture& picture, PictureFormat format, const std::string& path, std::string* error);

}  // namespace quorra::refhost
