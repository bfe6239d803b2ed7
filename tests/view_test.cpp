// Pictures of assemblies: the outline geometry and page structure of the
// picture writer, and `quorra view` as a user runs it (colours and hidden
// occurrences from the override table, the camera, self-contained pages,
// wrong command lines). Runs the built tool ($QUORRA_TOOL) for the latter.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost/documents.h>
#include <quorra/refhost/picture.h>
#include <quorra/refhost/sample.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_command.h"
#include "support/storage_support.h"

using quorra::refhost::AssemblyDocument;
using quorra::refhost::MakeBoxDisplay;
using quorra::refhost::PartDocument;
using quorra::test::ReadFileBytes;
using quorra::test::RunTool;
using quorra::test::TempDir;
using quorra::test::Widen;
using quorra::refhost::ConvexHull;
using quorra::refhost::Picture;
using quorra::refhost::PictureEntry;
using quorra::refhost::PicturePoint;

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::string ReadText(const std::string& path) {
  const std::vector<BYTE> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(ConvexHull, KeepsOnlyTheCornersCounterClockwise) {
  struct Case {
    const char* what;
    std::vector<PicturePoint> points;
    std::vector<PicturePoint> hull;  // from the lowest-leftmost point, counter-clockwise (y up)
  } cases[] = {
      {"square with inner, edge and repeated points",
       {{0, 0}, {2, 0}, {2, 2}, {0, 2}, {1, 1}, {1, 0}, {2, 1}, {0, 0}, {2, 2}},
       {{0, 0}, {2, 0}, {2, 2}, {0, 2}}},
      {"triangle given clockwise", {{0, 0}, {0, 3}, {3, 0}}, {{0, 0}, {3, 0}, {0, 3}}},
      {"collinear points keep their ends", {{0, 0}, {1, 1}, {2, 2}, {3, 3}}, {{0, 0}, {3, 3}}},
      {"one point repeated", {{5, 5}, {5, 5}}, {{5, 5}}},
      {"nothing", {}, {}},
  };
  for (const Case& c : cases) {
    const std::vector<PicturePoint> hull = ConvexHull(c.points);
    ASSERT_EQ(hull.size(), c.hull.size()) << c.what;
    for (size_t i = 0; i < hull.size(); ++i) {
      EXPECT_EQ(hull[i].x, c.hull[i].x) << c.what << " point " << i;
      EXPECT_EQ(hull[i].y, c.hull[i].y) << c.what << " point " << i;
    }
  }
}

TEST(PicturePage, OutlineNestsByEntryRangesAndEscapesLabels) {
  // root { a { b, c }, d <hidden> }
  Picture picture;
  picture.title = "top & <bottom>";
  auto entry = [](std::string label, size_t level, size_t end, bool assembly, bool hidden = false) {
    PictureEntry e;
    e.label = std::move(label);
    e.level = level;
    e.end = end;
    e.assembly = assembly;
    e.hidden = hidden;
    return e;
  };
  picture.entries = {entry("root", 0, 5, true), entry("a", 1, 4, true), entry("b", 2, 3, false),
                     entry("c", 2, 4, false), entry("d \"x\"", 1, 5, false, true)};
  picture.shapes.push_back({{{1, 1}, {9, 1}, {9, 9}}, 0xFF0000FFu, 0.0, 2});
  const std::string page = quorra::refhost::PicturePage(picture);
  EXPECT_EQ(Count(page, "<details"), 2u);
  EXPECT_EQ(Count(page, "<details"), Count(page, "</details>"));
  EXPECT_EQ(Count(page, "<ul"), Count(page, "</ul>"));
  EXPECT_EQ(Count(page, "<li>"), Count(page, "</li>"));
  // c closes a's group before d opens, so d sits beside a under the root.
  const size_t c = page.find(">c</span>"), close = page.find("</ul></details></li>", c),
               d = page.find("d &quot;x&quot;");
  ASSERT_NE(c, std::string::npos);
  EXPECT_LT(close, d);
  EXPECT_TRUE(Contains(page, "data-from=\"1\" data-to=\"4\">a</summary>"));
  EXPECT_TRUE(Contains(page, "class=\"entry hidden\">d &quot;x&quot; (hidden)</span>"));
  EXPECT_TRUE(Contains(page, "<title>top &amp; &lt;bottom&gt;</title>"));
  // The shape belongs to entry 2 (b): area and outline both say so.
  EXPECT_EQ(Count(page, "<polygon data-e=\"2\""), 2u);
  EXPECT_TRUE(Contains(page, "stroke=\"#ff0000\""));
}

// --- The tool --------------------------------------------------------------

struct Polygon {
  std::string stroke;
  std::vector<PicturePoint> points;
  double Width() const { return Extent(&PicturePoint::x); }
  double Height() const { return Extent(&PicturePoint::y); }
  double Low(double PicturePoint::*axis) const {
    double low = 1e300;
    for (const PicturePoint& p : points) low = std::min(low, p.*axis);
    return low;
  }
  double Extent(double PicturePoint::*axis) const {
    double high = -1e300;
    for (const PicturePoint& p : points) high = std::max(high, p.*axis);
    return high - Low(axis);
  }
};

std::string Attribute(const std::string& line, const std::string& name) {
  const size_t at = line.find(" " + name + "=\"");
  if (at == std::string::npos) return "";
  const size_t start = at + name.size() + 3;
  return line.substr(start, line.find('"', start) - start);
}

// The outlines of an SVG picture, one polygon a line in the "edges" group.
std::vector<Polygon> Outlines(const std::string& svg) {
  std::vector<Polygon> outlines;
  std::istringstream lines(svg.substr(svg.find("<g class=\"edges\"")));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("<polygon", 0) != 0) continue;
    Polygon polygon;
    polygon.stroke = Attribute(line, "stroke");
    std::istringstream points(Attribute(line, "points"));
    PicturePoint p;
    char comma;
    while (points >> p.x >> comma >> p.y) polygon.points.push_back(p);
    outlines.push_back(polygon);
  }
  return outlines;
}

class View : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("QUORRA_TOOL")) GTEST_SKIP() << "QUORRA_TOOL is not set";
  }

  // "top.asm" placing a 100 x 50 x 20 block at the origin (id 1) and again
  // moved by (300, 200, 300) (id 2).
  std::string WriteBlocks() {
    PartDocument block;
    block.display = MakeBoxDisplay(100, 50, 20);
    EXPECT_EQ(quorra::refhost::WritePartDocument(Widen(dir_.File("block.par")).c_str(), block), S_OK);
    AssemblyDocument top;
    top.AddPlacement(L"block.par", tagG4x4());
    top.AddPlacement(L"block.par", tagG4x4::Translation(300, 200, 300));
    EXPECT_EQ(quorra::refhost::WriteAssemblyDocument(Widen(dir_.File("top.asm")).c_str(), top), S_OK);
    return dir_.File("top.asm");
  }

  void Set(const std::string& file, const std::string& roadmap, const std::string& property, const std::string& value) {
    const auto result = RunTool("set " + file + " " + roadmap + " " + property + " " + value);
    ASSERT_EQ(result.exitCode, 0) << result.output;
  }

  TempDir dir_;
};

TEST_F(View, CameraDecidesWhichSidesOfABodyAreSeen) {
  const std::string top = WriteBlocks();
  Set(top, "1", "colour", "ff0000");
  Set(top, "2", "colour", "0000ff");
  struct Case {
    const char* camera;
    double aspect;  // width / height of the block's outline
    size_t corners;
  } cases[] = {{"top", 100.0 / 50.0, 4}, {"front", 100.0 / 20.0, 4}, {"iso", 0.0, 6}};
  for (const Case& c : cases) {
    const std::string out = dir_.File(std::string(c.camera) + ".svg");
    const auto result = RunTool("view " + top + " --camera " + c.camera + " -o " + out);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    const std::vector<Polygon> outlines = Outlines(ReadText(out));
    ASSERT_EQ(outlines.size(), 2u) << c.camera;
    const Polygon& first = outlines[0].stroke == "#ff0000" ? outlines[0] : outlines[1];
    const Polygon& moved = outlines[0].stroke == "#ff0000" ? outlines[1] : outlines[0];
    ASSERT_EQ(moved.stroke, "#0000ff") << c.camera;
    EXPECT_EQ(first.points.size(), c.corners) << c.camera;
    if (c.aspect > 0) {
      EXPECT_NEAR(first.Width() / first.Height(), c.aspect, 0.02 * c.aspect) << c.camera;
    }
    // The moved copy lies right of and above the first in every view (y grows down).
    EXPECT_GT(moved.Low(&PicturePoint::x), first.Low(&PicturePoint::x) + first.Width()) << c.camera;
    EXPECT_LT(moved.Low(&PicturePoint::y) + moved.Height(), first.Low(&PicturePoint::y)) << c.camera;
    // Both fit the picture.
    for (const Polygon* p : {&first, &moved})
      for (const PicturePoint& point : p->points) {
        EXPECT_GE(point.x, 0.0);
        EXPECT_LE(point.x, 960.0);
        EXPECT_GE(point.y, 0.0);
        EXPECT_LE(point.y, 720.0);
      }
  }
}

TEST_F(View, OverrideColoursShowAndHiddenOccurrencesAreLeftOut) {
  quorra::refhost::SampleSummary summary;
  ASSERT_EQ(quorra::refhost::WriteGearboxSample(Widen(dir_.Path()).c_str(), &summary), S_OK);
  const std::string gearbox = dir_.File("gearbox.asm");
  // Housing, the input shaft's pinion (one level down), the sight glass; the
  // cover gets a colour and is then hidden.
  Set(gearbox, "1", "colour", "ff0000");
  Set(gearbox, "4/2", "colour", "00ff00");
  Set(gearbox, "33", "colour", "0000ff");
  Set(gearbox, "2", "colour", "00ffff");
  const std::string before = dir_.File("before.svg");
  ASSERT_EQ(RunTool("view " + gearbox + " -o " + before).exitCode, 0);
  Set(gearbox, "2", "hidden", "1");
  const std::string after = dir_.File("after.svg");
  const auto result = RunTool("view " + gearbox + " -o " + after);
  ASSERT_EQ(result.exitCode, 0) << result.output;

  const std::vector<Polygon> shown = Outlines(ReadText(before)), left = Outlines(ReadText(after));
  auto strokes = [](const std::vector<Polygon>& outlines, const std::string& colour) {
    return std::count_if(outlines.begin(), outlines.end(), [&](const Polygon& p) { return p.stroke == colour; });
  };
  for (const char* colour : {"#ff0000", "#00ff00", "#0000ff"}) {
    EXPECT_EQ(strokes(shown, colour), 1) << colour;
    EXPECT_EQ(strokes(left, colour), 1) << colour;
  }
  EXPECT_EQ(strokes(shown, "#00ffff"), 1);
  EXPECT_EQ(strokes(left, "#00ffff"), 0);
  EXPECT_EQ(left.size() + 1, shown.size());
  EXPECT_TRUE(Contains(result.output, std::to_string(left.size()) + " bodies"));
}

TEST_F(View, PageIsSelfContainedWithTheWholeOutline) {
  const std::string top = WriteBlocks();
  Set(top, "2", "hidden", "1");
  const std::string out = dir_.File("page.HTML");
  const auto result = RunTool("view " + top + " --output " + out + " --camera iso");
  ASSERT_EQ(result.exitCode, 0) << result.output;
  const std::string page = ReadText(out);
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  // Nothing is fetched: the one URL is the SVG namespace, which names and
  // loads nothing.
  EXPECT_EQ(Count(page, "://"), 1u);
  EXPECT_TRUE(Contains(page, "xmlns=\"http://www.w3.org/2000/svg\""));
  for (const char* fetching : {" src=", " href=", "<link", "@import", "url("})
    EXPECT_FALSE(Contains(page, fetching)) << fetching;
  EXPECT_TRUE(Contains(page, "<script>"));
  // Every occurrence has an entry, the hidden one marked, and only the shown
  // block is drawn (area and outline).
  EXPECT_TRUE(Contains(page, ">top.asm</summary>"));
  EXPECT_TRUE(Contains(page, ">block.par [1]</span>"));
  EXPECT_TRUE(Contains(page, ">block.par [2] (hidden)</span>"));
  EXPECT_EQ(Count(page, "<polygon data-e=\"1\""), 2u);
  EXPECT_EQ(Count(page, "<polygon data-e=\"2\""), 0u);
}

TEST_F(View, WrongCommandLinesAndFailuresGiveOneLineAndTheirExitCode) {
  const std::string top = WriteBlocks();
  struct Case {
    std::string arguments;
    int exitCode;
    const char* says;
  } cases[] = {
      {top + " -o " + dir_.File("a.svg") + " --camera side", 2, "unknown camera 'side'"},
      {top + " -o " + dir_.File("a.png"), 2, "must end in .svg or .html"},
      {top + " -o " + dir_.File("picture_svg"), 2, "must end in .svg or .html"},
      {top, 2, "give -o OUT"},
      {"-o " + dir_.File("a.svg"), 2, "expects FILE"},
      {top + " -o " + dir_.File("a.svg") + " -x", 2, "unknown option -x"},
      {dir_.File("absent.asm") + " -o " + dir_.File("a.svg"), 1, "no such file"},
      {top + " -o " + dir_.File("no/such/folder/a.svg"), 1, "cannot write"},
  };
  for (const Case& c : cases) {
    const auto result = RunTool("view " + c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments << "\n" << result.output;
    EXPECT_TRUE(Contains(result.output, c.says)) << c.arguments << "\n" << result.output;
    EXPECT_EQ(Count(result.output, "\n"), 1u) << c.arguments << "\n" << result.output;
    EXPECT_EQ(result.output.rfind("quorra view: ", 0), 0u) << result.output;
  }
}

}  // namespace
