// The scale suite: every workload at 10^4, 10^5 and 10^6 occurrences (and
// 10^7 with --full) on synthetic products written as real documents, each
// beside its physical limit measured in the same process:
//   - copy bandwidth of memory (a 256 MiB memcpy), turned into the fastest
//     possible build for the bytes an occurrence takes and the fastest walk
//     for the bytes a walk reads;
//   - sequential read speed of a file, warm (page cache) and cold (the cache
//     dropped, when the machine allows it), for the loads.
// Every figure is the median of three runs. The results go to a JSON file
// (--out, default scale-suite.json) that bench/scale_suite/table.py merges
// with the peer's and prints as one table.
#include <fcntl.h>
#include <malloc.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/references.h>
#include <quorra/refhost/sample.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/memory_use.h"
#include "support/trees.h"

namespace {

using namespace quorra::refhost;
using quorra::host::ComPtr;

using Tree = quorra::bench::LoadedTree;
using quorra::bench::CopySitesAndAttachments;
using quorra::bench::DestroyOccurrenceTree;
using quorra::bench::WorldMatrixAndRange;

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Processor time of this thread: on a shared machine it leaves out the time
// spent waiting for a processor (and for the disk).
double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// The processor seconds of the last TimeMedian's work, median of its runs.
double gLastProcessorSeconds = 0;

// Seconds of `work`, median of `runs`; `prepare` runs untimed before each.
double TimeMedian(const std::function<void()>& work, const std::function<void()>& prepare = {}, int runs = 3) {
  std::vector<double> times, processor;
  for (int i = 0; i < runs; ++i) {
    if (prepare) prepare();
    const double start = Now();
    const double startProcessor = ThreadSeconds();
    work();
    processor.push_back(ThreadSeconds() - startProcessor);
    times.push_back(Now() - start);
  }
  gLastProcessorSeconds = Median(processor);
  return Median(times);
}

using quorra::bench::ResidentBytes;

// ---- Probes ----

// Bytes per second of a 256 MiB copy (bytes copied, not read + written).
double MemoryBandwidth() {
  constexpr size_t kBytes = size_t{256} << 20;
  std::vector<char> from(kBytes, 1), to(kBytes, 0);
  const double seconds = TimeMedian([&] {
    std::memcpy(to.data(), from.data(), kBytes);
    asm volatile("" : : "r"(to.data()) : "memory");
  });
  return double(kBytes) / seconds;
}

bool DropPageCache() {
  sync();
  std::ofstream drop("/proc/sys/vm/drop_caches");
  if (!drop) return false;
  drop << "3\n";
  drop.flush();
  return bool(drop);
}

// Reads a file sequentially in 1 MiB blocks: its byte count, or 0.
size_t ReadWholeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  std::vector<char> block(size_t{1} << 20);
  size_t total = 0;
  for (ssize_t n; (n = read(fd, block.data(), block.size())) > 0;) total += size_t(n);
  close(fd);
  return total;
}

struct FileSpeed {
  double warm = 0;  // bytes per second from the page cache
  double cold = 0;  // from the disk, 0 when the cache cannot be dropped
};

FileSpeed FileReadSpeed(const std::string& directory) {
  const std::string path = directory + "/probe.bin";
  {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(size_t{1} << 20, 7);
    for (int i = 0; i < 512; ++i) out.write(block.data(), std::streamsize(block.size()));
  }
  FileSpeed speed;
  size_t bytes = ReadWholeFile(path);
  speed.warm = double(bytes) / TimeMedian([&] { bytes = ReadWholeFile(path); });
  if (DropPageCache()) {
    const double start = Now();
    bytes = ReadWholeFile(path);
    speed.cold = double(bytes) / (Now() - start);
  }
  std::filesystem::remove(path);
  return speed;
}

// ---- Results ----

struct Row {
  std::string workload;  // "1 build", ...
  std::string size;      // "10^6"
  uint64_t occurrences = 0;
  std::string figure;  // what `value` is: "ms", "ns/call", ...
  double value = 0;
  double seconds = 0;       // the time the peer's time is compared with (0: none)
  double limitSeconds = 0;  // the physical limit of `seconds` (0: none)
  std::string note;
  double processorSeconds = 0;  // this thread's processor time for `seconds`
};

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

void WriteJson(const std::string& path, const std::map<std::string, std::string>& probes,
               const std::vector<Row>& rows) {
  FILE* out = std::fopen(path.c_str(), "w");
  if (!out) return;
  std::fprintf(out, "{\n  \"probes\": {");
  const char* separator = "";
  for (const auto& [name, value] : probes) {
    std::fprintf(out, "%s\n    \"%s\": %s", separator, name.c_str(), value.c_str());
    separator = ",";
  }
  std::fprintf(out, "\n  },\n  \"rows\": [");
  separator = "";
  for (const Row& row : rows) {
    std::fprintf(out,
                 "%s\n    {\"workload\": \"%s\", \"size\": \"%s\", \"occurrences\": %llu, \"figure\": \"%s\", "
                 "\"value\": %.6g, \"seconds\": %.6g, \"limit_seconds\": %.6g, \"note\": \"%s\", "
                 "\"processor_seconds\": %.6g}",
                 separator, Escape(row.workload).c_str(), row.size.c_str(),
                 static_cast<unsigned long long>(row.occurrences), Escape(row.figure).c_str(), row.value, row.seconds,
                 row.limitSeconds, Escape(row.note).c_str(), row.processorSeconds);
    separator = ",";
  }
  std::fprintf(out, "\n  ]\n}\n");
  std::fclose(out);
}

// ---- The product ----

struct Shape {
  const char* size;
  const char* directory;  // no '^': Open CASCADE's paths take it for "parent"
  unsigned depth, fanout, parts;
};

// Depth 3 to 6, shared sub-assemblies placed several times, part documents
// placed many times: 15,555 occurrences from 130 documents; 95,954 from 150;
// 995,411 from 7,744 (wide: many part documents); 11,583,901 from 350.
constexpr Shape kShapes[] = {
    {"10^4", "1e4", 4, 14, 2000},
    {"10^5", "1e5", 5, 13, 5000},
    {"10^6", "1e6", 3, 130, 20000},
    {"10^7", "1e7", 6, 20, 20000},
};

uint64_t DirectoryBytes(const std::string& directory) {
  uint64_t bytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (entry.is_regular_file()) bytes += entry.file_size();
  return bytes;
}

// The occurrences of the subtree below and including `node`.
// Every occurrence below `node` (not `node` itself), depth first.
void CollectOccurrences(const AssemblyOccurrence* node, std::vector<OccurrenceNode*>* out) {
  for (DWORD i = 0; i < node->GetChildCount(); ++i) {
    OccurrenceNode* child = node->GetChildByIndex(i);
    out->push_back(child);
    if (child->IsAssembly()) CollectOccurrences(static_cast<const AssemblyOccurrence*>(child), out);
  }
}

uint64_t CountOccurrences(const OccurrenceNode* node) {
  uint64_t count = 1;
  if (node->IsAssembly()) {
    auto* assembly = static_cast<const AssemblyOccurrence*>(node);
    for (DWORD c = 0; c < assembly->GetChildCount(); ++c) count += CountOccurrences(assembly->GetChildByIndex(c));
  }
  return count;
}

// Writes the structure of a loaded tree for the peer: one line per site,
// "A <index> <path>" or "P <index> <path>", then one line per attachment,
// "C <parent> <child> <id> <16 matrix values>", then "R <root index>".
void WriteStructure(AsmTree* tree, const std::string& path) {
  FILE* out = std::fopen(path.c_str(), "w");
  if (!out) return;
  std::map<SiteNode*, size_t> index;
  for (SiteManager* manager : {tree->GetAssemblySiteManager(), tree->GetPartSiteManager()})
    for (SiteNode* site : manager->Nodes()) {
      const size_t i = index.size();
      index[site] = i;
      std::fprintf(out, "%c %zu %s\n", site->IsAssembly() ? 'A' : 'P', i,
                   quorra::host::ToUtf8(site->GetFilePath().Str()).c_str());
    }
  for (SiteNode* site : tree->GetAssemblySiteManager()->Nodes())
    for (AttachmentNode* attachment : static_cast<AssemblySite*>(site)->GetAttachmentList()) {
      const tagG4x4 m = attachment->GetXFormFromParent()->GiveAsG4x4();
      std::fprintf(out, "C %zu %zu %u", index[site], index[attachment->GetAttachmentSite()],
                   attachment->GetAttachmentID());
      for (double v : m.m) std::fprintf(out, " %.17g", v);
      std::fprintf(out, "\n");
    }
  std::fprintf(out, "R %zu\n", index[tree->GetRootAssembly()->GetSite()]);
  std::fclose(out);
}

struct Context {
  double bandwidth = 0;
  FileSpeed file;
  bool cold = false;
  std::vector<Row> rows;
};

void RunShape(const Shape& shape, const std::string& scratch, Context& context) {
  const std::string directory = scratch + "/" + shape.directory;
  std::filesystem::create_directories(directory);
  SampleOptions options;
  options.depth = shape.depth;
  options.fanout = shape.fanout;
  options.parts = shape.parts;
  options.names = SampleNames::kAbsolute;
  SampleSummary summary;
  std::fprintf(stderr, "scale suite: %s: writing the sample...\n", shape.size);
  if (FAILED(WriteSample(quorra::host::FromUtf8(directory).c_str(), options, &summary))) {
    std::fprintf(stderr, "scale suite: %s: the sample could not be written\n", shape.size);
    return;
  }
  const uint64_t n = summary.expectedOccurrences;
  const uint64_t documentBytes = DirectoryBytes(directory);
  const std::wstring& top = summary.topDocument;
  // `processor`: the processor seconds of `seconds`, when not those of the
  // last TimeMedian.
  auto row = [&](const char* workload, const char* figure, double value, double seconds, double limit, std::string note,
                 double processor = -1) {
    if (processor < 0) processor = seconds > 0 ? gLastProcessorSeconds : 0;
    context.rows.push_back(Row{workload, shape.size, n, figure, value, seconds, limit, std::move(note), processor});
  };
  char note[256];

  // 2. Load from documents, warm then cold.
  std::fprintf(stderr, "scale suite: %s: %llu occurrences in %zu documents; loading...\n", shape.size,
               static_cast<unsigned long long>(n), summary.documents);
  Tree loaded;
  const double loadWarm = TimeMedian(
      [&] {
        AsmTree* tree = nullptr;
        if (FAILED(AsmTreeCreateAndLoad(top.c_str(), &tree, nullptr))) std::fprintf(stderr, "load failed\n");
        loaded.reset(tree);
      },
      [&] { loaded.reset(); });
  const double loadWarmProcessor = gLastProcessorSeconds;
  const double scan = TimeMedian([&] {
    ReferenceGraph graph;
    ScanReferences(top.c_str(), &graph);
  });
  double loadCold = 0, loadColdProcessor = 0;
  if (context.cold) {
    loaded.reset();
    DropPageCache();
    const double start = Now();
    const double startProcessor = ThreadSeconds();
    AsmTree* tree = nullptr;
    AsmTreeCreateAndLoad(top.c_str(), &tree, nullptr);
    loadCold = Now() - start;
    loadColdProcessor = ThreadSeconds() - startProcessor;
    loaded.reset(tree);
  }
  WriteStructure(loaded.get(), directory + "/structure.txt");

  // 1. Build the occurrence tree from the site graph.
  AssemblySite* rootSite = nullptr;
  Tree built = CopySitesAndAttachments(loaded.get(), &rootSite);
  double bytesPerOccurrence = 0;
  const double build = TimeMedian([&] { built->CreateOccurrenceTree(rootSite); },
                                  [&] {
                                    DestroyOccurrenceTree(built.get());
                                    malloc_trim(0);
                                    const size_t before = ResidentBytes();
                                    built->CreateOccurrenceTree(rootSite);
                                    bytesPerOccurrence = double(ResidentBytes() - before) / double(n);
                                    DestroyOccurrenceTree(built.get());
                                  });
  const double buildLimit = double(n) * bytesPerOccurrence / context.bandwidth;
  std::snprintf(note, sizeof note, "%.0f occ/s, %.0f B/occ (resident)", double(n) / build, bytesPerOccurrence);
  row("1 build", "ms", build * 1e3, build, buildLimit, note);

  // The whole product in memory (sites, attachments, occurrences), as the
  // peer makes it.
  Tree whole;
  const double buildAll = TimeMedian(
      [&] {
        AssemblySite* top = nullptr;
        whole = CopySitesAndAttachments(loaded.get(), &top);
        whole->CreateOccurrenceTree(top);
      },
      [&] { whole.reset(); });
  whole.reset();
  row("1 build sites+tree", "ms", buildAll * 1e3, buildAll, 0, "sites and attachments from memory, then the tree");

  std::snprintf(note, sizeof note, "%zu docs, %.1f MB; scan (read+search) %.0f ms, occ tree %.0f ms", summary.documents,
                double(documentBytes) / 1e6, scan * 1e3, build * 1e3);
  // A load reads the documents and then builds the tree: its limit is the
  // sum of the two.
  row("2 load warm", "ms", loadWarm * 1e3, loadWarm, double(documentBytes) / context.file.warm + buildLimit, note,
      loadWarmProcessor);
  if (context.cold)
    row("2 load cold", "ms", loadCold * 1e3, loadCold, double(documentBytes) / context.file.cold + buildLimit,
        "page cache dropped", loadColdProcessor);
  else
    row("2 load cold", "ms", 0, 0, 0, "not measured: dropping the page cache is not allowed here");

  // 3. SaveIDS / LoadIDS.
  SiteFileToUniversalIdentifierMap map;
  map.Build(loaded.get());
  const double save = TimeMedian([&] {
    ComPtr<IStorage> storage;
    quorra::host::CreateMemoryStorage(storage.Put());
    loaded->SaveIDS(storage.Get(), map);
  });
  const double saveProcessor = gLastProcessorSeconds;
  const std::wstring saved = quorra::host::FromUtf8(directory + "/saved.ids");
  {
    ComPtr<IStorage> storage;
    StgCreateDocfile(saved.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put());
    loaded->SaveIDS(storage.Get(), map);
    map.Save(storage.Get());
    storage->Commit(0);
  }
  const double idsBytes = double(std::filesystem::file_size(directory + "/saved.ids"));
  Tree fromIds;
  const double loadIds = TimeMedian(
      [&] {
        ComPtr<IStorage> storage;
        SiteFileToUniversalIdentifierMap readMap;
        AsmTree* tree = nullptr;
        if (FAILED(
                StgOpenStorage(saved.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put())) ||
            FAILED(readMap.Load(storage.Get())) || FAILED(CreateAsmTree(&tree, nullptr)) ||
            FAILED(tree->LoadIDS(storage.Get(), readMap)))
          std::fprintf(stderr, "LoadIDS failed\n");
        fromIds.reset(tree);
      },
      [&] { fromIds.reset(); });
  fromIds.reset();
  std::snprintf(note, sizeof note, "%.0f MB/s, %.1f MB", idsBytes / save / 1e6, idsBytes / 1e6);
  row("3 SaveIDS", "ms", save * 1e3, save, idsBytes / context.bandwidth, note, saveProcessor);
  // LoadIDS makes the sites, the attachments and the tree, and then every
  // range: set against the whole product built in memory, and against the
  // occurrence tree alone.
  std::snprintf(note, sizeof note, "%.0f occ/s, %.0f MB/s; %.2fx the in-memory build of sites and tree, %.2fx the tree",
                double(n) / loadIds, idsBytes / loadIds / 1e6, loadIds / buildAll, loadIds / build);
  row("3 LoadIDS", "ms", loadIds * 1e3, loadIds, idsBytes / context.file.warm + buildLimit, note);

  // 4. Full walk with every matrix and range recomputed; incremental refresh.
  // On the tree loaded from the documents: its parts have their geometry
  // (the copy's part sites have no display cache, so its ranges stay empty
  // and every refresh asks the host again for each part).
  built->CreateOccurrenceTree(rootSite);
  AssemblyOccurrence* root = built->GetRootAssembly();
  AssemblyOccurrence* loadedRoot = loaded->GetRootAssembly();
  WorldMatrixAndRange callback;
  const double walk =
      TimeMedian([&] { loadedRoot->Walk(&callback, nullptr, TRUE); }, [&] { loadedRoot->SetXformDirty(); });
  std::snprintf(note, sizeof note, "%.1f ns/occ", walk / double(n) * 1e9);
  row("4 full walk", "ms", walk * 1e3, walk, double(n) * bytesPerOccurrence / context.bandwidth, note);

  // The first child three levels down that has an attachment of its own.
  OccurrenceNode* deep = loadedRoot;
  for (int level = 0; level < 3 && deep->IsAssembly(); ++level) {
    auto* assembly = static_cast<AssemblyOccurrence*>(deep);
    if (assembly->GetChildCount() == 0) break;
    deep = assembly->GetChildByIndex(assembly->GetChildCount() / 2);
  }
  auto* attachment = const_cast<AttachmentNode*>(deep->GetAttachment());
  tagGBox range;
  loadedRoot->GetRange(&range);
  if (range.IsEmpty() || range.IsNull()) std::fprintf(stderr, "scale suite: %s: the loaded tree has no range\n", shape.size);
  int step = 0;
  const double incremental = TimeMedian(
      [&] {
        AttachmentMatrix moved(tagG4x4::Translation(0.5 * ++step, 0, 0));
        attachment->SetXFormFromParent(&moved);
        loadedRoot->GetRange(&range);
      },
      {}, 5);
  NodeList<OccurrenceNode> moved;
  attachment->GetOccurrences(&moved);
  uint64_t movedTotal = 0;
  for (DWORD i = 0; i < moved.GetCount(); ++i) movedTotal += CountOccurrences(moved.GetAt(i));
  std::snprintf(note, sizeof note, "%u occurrences of the placement, %llu occurrences moved", moved.GetCount(),
                static_cast<unsigned long long>(movedTotal));
  row("4 incremental", "us", incremental * 1e6, 0, 0, note, gLastProcessorSeconds);

  // 5. Lookup by display roadmap, JBindRoadmapToOccLite by member roadmap:
  // random leaf roadmaps of full depth.
  constexpr size_t kPaths = 4096;
  std::mt19937 random(7);
  std::vector<DisplayRoadmap> displays(kPaths);
  std::vector<JMemberRoadmap> members;
  members.reserve(kPaths);
  size_t depthSum = 0;
  for (size_t i = 0; i < kPaths; ++i) {
    JMemberRoadmap& member = members.emplace_back("document");
    const OccurrenceNode* at = root;
    while (at->IsAssembly()) {
      auto* assembly = static_cast<const AssemblyOccurrence*>(at);
      if (assembly->GetChildCount() == 0) break;
      // Full depth: an assembly child whenever there is one.
      std::vector<const OccurrenceNode*> assemblies;
      for (DWORD c = 0; c < assembly->GetChildCount(); ++c)
        if (assembly->GetChildByIndex(c)->IsAssembly()) assemblies.push_back(assembly->GetChildByIndex(c));
      at = assemblies.empty() ? assembly->GetChildByIndex(DWORD(random() % assembly->GetChildCount()))
                              : assemblies[random() % assemblies.size()];
      displays[i].AddLink(at->GetAttachment()->GetAttachmentID());
      member.Append(JMemberRoute(at->GetAttachment()->GetAttachmentID()));
      ++depthSum;
    }
  }
  size_t found = 0;
  const double lookup = TimeMedian([&] {
    for (DisplayRoadmap& path : displays) found += built->Lookup(&path) != nullptr;
  });
  const double lookupProcessor = gLastProcessorSeconds;
  const double bind = TimeMedian([&] {
    for (JMemberRoadmap& path : members) {
      OccurrenceNode* occ = nullptr;
      JBindRoadmapToOccLite(root, &path, &occ);
      found += occ != nullptr;
    }
  });
  if (found != 6 * kPaths) std::fprintf(stderr, "scale suite: a roadmap was not found\n");
  std::snprintf(note, sizeof note, "mean depth %.1f; %zu roadmaps %.2f ms", double(depthSum) / kPaths, kPaths,
                lookup * 1e3);
  row("5 Lookup", "ns/call", lookup / kPaths * 1e9, lookup, 0, note, lookupProcessor);
  std::snprintf(note, sizeof note, "mean depth %.1f; %zu roadmaps %.2f ms", double(depthSum) / kPaths, kPaths,
                bind * 1e3);
  row("5 JBindRoadmapToOccLite", "ns/call", bind / kPaths * 1e9, bind, 0, note);

  // 6. Apply an override table covering 1% of the occurrences, picked at
  // random, kinds in turn hidden, style and matrix.
  {
    std::vector<OccurrenceNode*> all;
    all.reserve(n);
    CollectOccurrences(root, &all);
    std::shuffle(all.begin(), all.end(), random);
    const size_t picked = std::max<size_t>(1, all.size() / 100);
    JIDSOverrideTree table;
    const tagG4x4 moved = tagG4x4::Translation(0, 5, 0);
    std::vector<DWORD> path;
    for (size_t i = 0; i < picked; ++i) {
      path.clear();
      for (const OccurrenceNode* at = all[i]; at->GetParent(); at = at->GetParent())
        path.push_back(at->GetAttachmentID());
      std::reverse(path.begin(), path.end());
      JIDSOverride* node = nullptr;
      if (FAILED(table.AddOverride(DWORD(path.size()), path.data(), all[i]->IsAssembly() ? IOT_ASSEMBLY : IOT_PART,
                                   &node)))
        continue;
      if (i % 3 == 0) node->SetHidden(1);
      if (i % 3 == 1) node->SetStyle(5, 0);
      if (i % 3 == 2) node->SetMatrix(&moved);
    }
    IOTNodeCounter counter;
    table.GetAsmOverride()->Walk(&counter, 0, 1);
    const DWORD nodes = counter.GetAssemblyCount() + counter.GetPartCount();
    // Each run starts from a tree the table has not touched.
    const double apply = TimeMedian([&] { table.Apply(nullptr, root, 0x13); },
                                    [&] {
                                      DestroyOccurrenceTree(built.get());
                                      built->CreateOccurrenceTree(rootSite);
                                      root = built->GetRootAssembly();
                                    });
    std::snprintf(note, sizeof note, "%zu overrides, %u table nodes; %.0f ns/node", picked, nodes,
                  apply / double(nodes) * 1e9);
    row("6 apply overrides 1%", "ms", apply * 1e3, apply, 0, note);
  }
  // 7. Scene population of the loaded tree (its parts carry the documents'
  // geometry caches), the camera on the product's centre: culling off
  // (scene flag 0x2), then on with a clip plane through the middle, so about
  // half the parts are rejected before any cache is touched. The view is a
  // twentieth of the product high, so the parts are several pixels wide and
  // small-object rejection keeps them.
  {
    AsmTree* tree = loaded.get();
    const tagGBox whole = *tree->GetRootAssembly()->GetRange();
    const double cx = (whole.low[0] + whole.high[0]) / 2, cy = (whole.low[1] + whole.high[1]) / 2,
                 cz = (whole.low[2] + whole.high[2]) / 2;
    const double size = std::max({whole.high[0] - whole.low[0], whole.high[1] - whole.low[1], 1.0});
    GScene scene;
    scene.Camera().perspective = false;
    scene.Camera().target = tagGPosition{cx, cy, cz};
    scene.Camera().eye = tagGPosition{cx, cy, cz + 2 * size};
    scene.Camera().viewHeight = size / 20;
    const double itemBytes = double(sizeof(GGraphicInfo));
    for (bool culling : {false, true}) {
      scene.SetFlags(culling ? GSCENE_CULLING : GSCENE_NO_REJECTION);
      scene.ClipVolume() = tagGClipVolume();
      if (culling) scene.ClipVolume().AddPlane(-1, 0, 0, cx);
      const double populate = TimeMedian([&] { tree->PopulateScene(&scene); });
      const size_t items = scene.AllItems().size();
      std::snprintf(note, sizeof note, "culling %s: %zu items; %.1f ns/occ", culling ? "on" : "off", items,
                    populate / double(n) * 1e9);
      row(culling ? "7 scene population, culling on" : "7 scene population, culling off", "ms", populate * 1e3,
          populate, double(items) * itemBytes / context.bandwidth, note);
    }
    GScene::Purge(&scene, 0x7);
  }
  std::fprintf(stderr, "scale suite: %s done\n", shape.size);
  std::error_code ignored;
  std::filesystem::remove(directory + "/saved.ids", ignored);
}

}  // namespace

int main(int argc, char** argv) {
  std::string out = "scale-suite.json";
  std::string keep;  // a directory to keep the samples in (for the peer)
  size_t shapes = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--full") {
      shapes = 4;
    } else if (arg == "--max" && i + 1 < argc) {
      shapes = std::min<size_t>(4, std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else if (arg == "--keep" && i + 1 < argc) {
      keep = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: scale_suite [--full] [--max SHAPES] [--out FILE.json] [--keep DIR]\n"
                   "  --full   adds 10^7 occurrences; --max 1..4 runs the first sizes only\n"
                   "  --keep   writes the samples (and structure.txt for the peer) into DIR and keeps them\n");
      return 2;
    }
  }
  Install();
  std::string scratch = keep;
  if (scratch.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorra-suite-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    scratch = pattern;
  }
  std::filesystem::create_directories(scratch);

  Context context;
  context.bandwidth = MemoryBandwidth();
  context.file = FileReadSpeed(scratch);
  context.cold = context.file.cold > 0;
  std::fprintf(stderr, "scale suite: memory copy %.2f GB/s; file read %.2f GB/s warm, %s\n", context.bandwidth / 1e9,
               context.file.warm / 1e9,
               context.cold ? (std::to_string(context.file.cold / 1e9) + " GB/s cold").c_str()
                            : "cold not measured (dropping the page cache is not allowed)");
  for (size_t i = 0; i < shapes; ++i) RunShape(kShapes[i], scratch, context);
  const double bandwidthAfter = MemoryBandwidth();

  char text[64];
  std::map<std::string, std::string> probes;
  std::snprintf(text, sizeof text, "%.6g", context.bandwidth);
  probes["memcpy_bytes_per_s"] = text;
  std::snprintf(text, sizeof text, "%.6g", bandwidthAfter);
  probes["memcpy_bytes_per_s_after"] = text;
  std::snprintf(text, sizeof text, "%.6g", context.file.warm);
  probes["file_read_bytes_per_s_warm"] = text;
  std::snprintf(text, sizeof text, "%.6g", context.file.cold);
  probes["file_read_bytes_per_s_cold"] = text;
  probes["page_cache_dropped"] = context.cold ? "true" : "false";
  probes["samples"] = "\"" + scratch + "\"";
  WriteJson(out, probes, context.rows);
  if (keep.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
  }
  return 0;
}
