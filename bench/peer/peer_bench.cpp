// The peer: the scale suite's products made as Open CASCADE XCAF documents,
// timed on the workloads XCAF has. For each size directory under the
// samples directory (written by `scale_suite --keep DIR`), it reads
// structure.txt (sites, placements with their matrices, the root) and:
//   make     a box shape per part, an assembly label per assembly, one
//            component with its location per placement, UpdateAssemblies;
//   walk     every component occurrence from the root with its world
//            location (leaves and assemblies, as the suite's walk);
//   find     random leaf occurrences by label path (component tags from the
//            root), ns per find;
//   colour   a surface colour on the leaf components of 1% of the
//            occurrences, found by label path;
//   save     the document saved in XCAF's binary format (BinXCAF);
//   load     that file opened into a new document.
// Medians of three runs. Prints JSON: {"rows": [{"size", "workload",
// "seconds", "note"}]}.
#include <BRepPrimAPI_MakeBox.hxx>
#include <BinXCAFDrivers.hxx>
#include <Quantity_Color.hxx>
#include <TDF_Label.hxx>
#include <TDF_LabelSequence.hxx>
#include <TDocStd_Document.hxx>
#include <TopLoc_Location.hxx>
#include <XCAFApp_Application.hxx>
#include <XCAFDoc_ColorTool.hxx>
#include <XCAFDoc_DocumentTool.hxx>
#include <XCAFDoc_ShapeTool.hxx>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gp_Trsf.hxx>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double TimeMedian(const std::function<void()>& work, const std::function<void()>& prepare = {}) {
  std::vector<double> times;
  for (int i = 0; i < 3; ++i) {
    if (prepare) prepare();
    const double start = Now();
    work();
    times.push_back(Now() - start);
  }
  std::sort(times.begin(), times.end());
  return times[1];
}

struct Placement {
  size_t parent, child;
  double m[16];  // row-major, translation in m[3], m[7], m[11]
};

struct Structure {
  std::vector<bool> assembly;  // by site index
  std::vector<Placement> placements;
  size_t root = 0;
};

bool ReadStructure(const std::string& path, Structure* s) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    char kind = 0;
    fields >> kind;
    if (kind == 'A' || kind == 'P') {
      size_t index = 0;
      fields >> index;
      if (s->assembly.size() <= index) s->assembly.resize(index + 1);
      s->assembly[index] = kind == 'A';
    } else if (kind == 'C') {
      Placement p{};
      unsigned id = 0;
      fields >> p.parent >> p.child >> id;
      for (double& v : p.m) fields >> v;
      s->placements.push_back(p);
    } else if (kind == 'R') {
      fields >> s->root;
    }
  }
  return !s->placements.empty();
}

struct Document {
  Handle(TDocStd_Document) doc;
  Handle(XCAFDoc_ShapeTool) shapes;
  Handle(XCAFDoc_ColorTool) colours;
  TDF_Label root;
};

Document Make(const Handle(XCAFApp_Application) & app, const Structure& s) {
  Document d;
  app->NewDocument("BinXCAF", d.doc);
  d.shapes = XCAFDoc_DocumentTool::ShapeTool(d.doc->Main());
  d.colours = XCAFDoc_DocumentTool::ColorTool(d.doc->Main());
  std::vector<TDF_Label> labels(s.assembly.size());
  for (size_t i = 0; i < s.assembly.size(); ++i) {
    if (s.assembly[i]) {
      labels[i] = d.shapes->NewShape();
    } else {
      const double size = 1.0 + double(i % 7);
      labels[i] = d.shapes->AddShape(BRepPrimAPI_MakeBox(size, size / 2, size / 3).Shape(), Standard_False);
    }
  }
  for (const Placement& p : s.placements) {
    gp_Trsf trsf;
    trsf.SetValues(p.m[0], p.m[1], p.m[2], p.m[3], p.m[4], p.m[5], p.m[6], p.m[7], p.m[8], p.m[9], p.m[10], p.m[11]);
    d.shapes->AddComponent(labels[p.parent], labels[p.child], TopLoc_Location(trsf));
  }
  d.shapes->UpdateAssemblies();
  d.root = labels[s.root];
  return d;
}

struct WalkTotals {
  size_t occurrences = 0;
  double sum = 0;
};

void Walk(const Document& d, const TDF_Label& assembly, const TopLoc_Location& location, WalkTotals* totals) {
  TDF_LabelSequence components;
  XCAFDoc_ShapeTool::GetComponents(assembly, components);
  for (const TDF_Label& component : components) {
    const TopLoc_Location world = location * XCAFDoc_ShapeTool::GetLocation(component);
    ++totals->occurrences;
    totals->sum += world.Transformation().TranslationPart().X();
    TDF_Label referred;
    if (XCAFDoc_ShapeTool::GetReferredShape(component, referred) && XCAFDoc_ShapeTool::IsAssembly(referred))
      Walk(d, referred, world, totals);
  }
}

// A random leaf occurrence as the tags of its components from the root.
std::vector<int> RandomLeafPath(const TDF_Label& root, std::mt19937& random) {
  std::vector<int> path;
  TDF_Label at = root;
  while (XCAFDoc_ShapeTool::IsAssembly(at)) {
    TDF_LabelSequence components;
    XCAFDoc_ShapeTool::GetComponents(at, components);
    if (components.IsEmpty()) break;
    // Full depth: an assembly component whenever there is one.
    std::vector<TDF_Label> assemblies;
    for (const TDF_Label& c : components) {
      TDF_Label referred;
      if (XCAFDoc_ShapeTool::GetReferredShape(c, referred) && XCAFDoc_ShapeTool::IsAssembly(referred))
        assemblies.push_back(c);
    }
    const TDF_Label component = assemblies.empty() ? components.Value(1 + int(random() % unsigned(components.Length())))
                                                   : assemblies[random() % assemblies.size()];
    path.push_back(component.Tag());
    XCAFDoc_ShapeTool::GetReferredShape(component, at);
  }
  return path;
}

// The leaf component a label path names, or a null label.
TDF_Label Find(const TDF_Label& root, const std::vector<int>& path) {
  TDF_Label at = root, component;
  for (int tag : path) {
    component = at.FindChild(tag, Standard_False);
    if (component.IsNull() || !XCAFDoc_ShapeTool::GetReferredShape(component, at)) return TDF_Label();
  }
  return component;
}

void Row(bool* first, const std::string& size, const char* workload, double seconds, const std::string& note) {
  std::printf("%s\n    {\"size\": \"%s\", \"workload\": \"%s\", \"seconds\": %.6g, \"note\": \"%s\"}",
              *first ? "" : ",", size.c_str(), workload, seconds, note.c_str());
  *first = false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: peer_bench SAMPLES_DIR (written by scale_suite --keep)\n");
    return 2;
  }
  Handle(XCAFApp_Application) app = XCAFApp_Application::GetApplication();
  BinXCAFDrivers::DefineFormat(app);
  std::vector<std::string> sizes;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
    if (std::filesystem::exists(entry.path() / "structure.txt")) sizes.push_back(entry.path().filename().string());
  std::sort(sizes.begin(), sizes.end());
  std::printf("{\n  \"rows\": [");
  bool first = true;
  for (const std::string& size : sizes) {
    const std::string directory = std::string(argv[1]) + "/" + size;
    Structure s;
    if (!ReadStructure(directory + "/structure.txt", &s)) continue;
    std::fprintf(stderr, "peer: %s: %zu sites, %zu placements\n", size.c_str(), s.assembly.size(), s.placements.size());
    Document d;
    const double make = TimeMedian([&] { d = Make(app, s); },
                                   [&] {
                                     if (!d.doc.IsNull()) app->Close(d.doc);
                                     d = Document();
                                   });
    const std::string label = "10^" + size.substr(size.find('e') + 1);
    Row(&first, label, "make", make, "shapes, assemblies, components with locations");

    WalkTotals totals;
    const double walk = TimeMedian([&] {
      totals = WalkTotals();
      Walk(d, d.root, TopLoc_Location(), &totals);
    });
    char note[128];
    std::snprintf(note, sizeof note, "%zu occurrences below the root, %.1f ns/occ", totals.occurrences,
                  walk / double(totals.occurrences) * 1e9);
    Row(&first, label, "walk", walk, note);

    std::mt19937 random(7);
    std::vector<std::vector<int>> paths(4096);
    for (auto& path : paths) path = RandomLeafPath(d.root, random);
    size_t found = 0;
    const double find = TimeMedian([&] {
      for (const auto& path : paths) found += !Find(d.root, path).IsNull();
    });
    std::snprintf(note, sizeof note, "%.0f ns per find by label path", find / double(paths.size()) * 1e9);
    Row(&first, label, "find", find / double(paths.size()), note);
    if (found != 3 * paths.size()) std::fprintf(stderr, "peer: a label path was not found\n");

    const size_t coloured = std::max<size_t>(1, (totals.occurrences + 1) / 100);
    std::vector<std::vector<int>> colourPaths(coloured);
    for (auto& path : colourPaths) path = RandomLeafPath(d.root, random);
    const Quantity_Color red(1.0, 0.0, 0.0, Quantity_TOC_RGB);
    const double colour = TimeMedian([&] {
      for (const auto& path : colourPaths) d.colours->SetColor(Find(d.root, path), red, XCAFDoc_ColorSurf);
    });
    std::snprintf(note, sizeof note, "%zu colours set on leaf components", coloured);
    Row(&first, label, "colour", colour, note);

    const std::string file = directory + "/peer.xbf";
    const double save = TimeMedian([&] {
      if (app->SaveAs(d.doc, TCollection_ExtendedString(file.c_str())) != PCDM_SS_OK)
        std::fprintf(stderr, "peer: save failed\n");
    });
    std::snprintf(note, sizeof note, "BinXCAF, %.1f MB", double(std::filesystem::file_size(file)) / 1e6);
    Row(&first, label, "save", save, note);
    app->Close(d.doc);
    d = Document();
    Handle(TDocStd_Document) opened;
    const double load = TimeMedian(
        [&] {
          const PCDM_ReaderStatus status = app->Open(TCollection_ExtendedString(file.c_str()), opened);
          if (status != PCDM_RS_OK) std::fprintf(stderr, "peer: load failed (%d)\n", int(status));
        },
        [&] {
          if (!opened.IsNull()) app->Close(opened);
          opened.Nullify();
        });
    Row(&first, label, "load", load, "BinXCAF");
    if (!opened.IsNull()) app->Close(opened);
    std::filesystem::remove(file);
  }
  std::printf("\n  ]\n}\n");
  return 0;
}
