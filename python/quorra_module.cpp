// The `quorra` Python module: loads an assembly with refhost as the host and
// exposes the occurrence tree to Python. A Python Assembly owns its tree;
// every Occurrence keeps that owner alive, so a node pointer never outlives
// the tree it points into. Loads, batch walks and saves run without the GIL.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/describe.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/parts_list.h>
#include <quorra/refhost/persist_manager.h>
#include <quorra/refhost/picture.h>
#include <quorra/refhost/progress.h>
#include <quorra/refhost/references.h>
#include <quorra/refhost/sample.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace py = pybind11;

namespace quorra::python {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/python/module";
constexpr DWORD kErrorNotFound = 1168;  // the Win32 "element not found"

// The Python exception classes, created at import.
struct Errors {
  py::object base, load, not_found, invalid_argument, out_of_memory;
};
Errors& ErrorClasses() {
  static Errors* errors = new Errors();  // lives as long as the interpreter
  return *errors;
}

// Sets the quorra.Error subclass that fits `hr` as the pending Python
// error, carrying the code and its name: e.code, e.name. The failure is
// traced under `operation` first, like every failure of the library.
void SetError(const char* operation, HRESULT hr, const std::string& what, py::object kind = py::object()) {
  QUORRA_TRACE_FAIL(hr, operation);
  Errors& errors = ErrorClasses();
  if (!kind) {
    if (hr == E_INVALIDARG)
      kind = errors.invalid_argument;
    else if (hr == E_OUTOFMEMORY || hr == STG_E_INSUFFICIENTMEMORY)
      kind = errors.out_of_memory;
    else
      kind = errors.base;
  }
  const std::string name = refhost::DescribeResult(hr);
  py::object error = kind(what + ": " + name);
  error.attr("code") = static_cast<uint32_t>(hr);
  error.attr("name") = name;
  PyErr_SetObject(kind.ptr(), error.ptr());
}

[[noreturn]] void Raise(const char* operation, HRESULT hr, const std::string& what, py::object kind = py::object()) {
  SetError(operation, hr, what, std::move(kind));
  throw py::error_already_set();
}

// Owns a loaded tree and releases it when the last Python object that
// reaches it goes.
struct TreeOwner {
  AsmTree* tree = nullptr;
  std::string file;
  std::vector<refhost::LoadProblem> problems;
  // The top document, once a property was read or written: its persist
  // manager holds the override table the property service changes.
  host::ComPtr<IUnknown> document;
  // Occurrences in the tree, counted on first use: nothing the module
  // offers adds or removes occurrences.
  size_t occurrenceCount = SIZE_MAX;
  ~TreeOwner() {
    if (!tree) return;
    py::gil_scoped_release release;
    if (document) {
      refhost::SetDocumentTree(document.Get(), nullptr);
      refhost::ReleasePersistManager(document.Get());
      document = nullptr;
    }
    AsmTreeUnloadAndDelete(tree);
  }
};
using Owner = std::shared_ptr<TreeOwner>;

struct Occurrence {
  Owner owner;
  OccurrenceNode* node;
};

AssemblyOccurrence* RootOf(const Owner& owner) { return owner->tree ? owner->tree->GetRootAssembly() : nullptr; }

// "4/2/1": the attachment ids from below the root down to the occurrence; ""
// for the root.
std::string RoadmapText(const OccurrenceNode* node) {
  std::vector<DWORD> ids;
  for (; node && node->GetParent(); node = node->GetParent()) ids.push_back(node->GetAttachmentID());
  std::string text;
  for (auto at = ids.rbegin(); at != ids.rend(); ++at) {
    if (!text.empty()) text += '/';
    text += std::to_string(*at);
  }
  return text;
}

// Depth-first, children in list order, the root first: what every batch
// form visits. No recursion, so any depth walks.
template <class Visit>
void WalkDepthFirst(AssemblyOccurrence* root, Visit visit) {
  if (!root) return;
  std::vector<OccurrenceNode*> stack{root};
  while (!stack.empty()) {
    OccurrenceNode* node = stack.back();
    stack.pop_back();
    visit(node);
    if (!node->IsAssembly()) continue;
    auto* assembly = static_cast<AssemblyOccurrence*>(node);
    for (DWORD i = assembly->GetChildCount(); i-- > 0;)
      if (OccurrenceNode* child = assembly->GetChildByIndex(i)) stack.push_back(child);
  }
}

size_t CountOccurrences(const Owner& owner) {
  if (owner->occurrenceCount == SIZE_MAX) {
    size_t count = 0;
    WalkDepthFirst(RootOf(owner), [&](OccurrenceNode*) { ++count; });
    owner->occurrenceCount = count;
  }
  return owner->occurrenceCount;
}

void ApplyOverrides(const Owner& owner);

Owner Load(const std::string& path, bool threaded, py::object progress) {
  refhost::Install();
  const std::string problem = refhost::DescribeFileProblem(path);
  if (!problem.empty()) {
    const HRESULT hr = std::filesystem::exists(path) ? E_FAIL : STG_E_FILENOTFOUND;
    Raise("quorra.load", hr, "cannot load " + path + " (" + problem + ")",
          hr == STG_E_FILENOTFOUND ? ErrorClasses().not_found : ErrorClasses().load);
  }
  auto owner = std::make_shared<TreeOwner>();
  owner->file = path;
  const std::wstring wide = host::FromUtf8(path.data(), path.size());
  refhost::ProgressSink::Observer observer;
  if (!progress.is_none()) {
    // Reports may come from the load's worker thread, and the sink may be
    // copied or released where the GIL is not held: the callable is shared
    // by a pointer whose last owner takes the GIL to drop it, and each
    // report takes the GIL to call it.
    std::shared_ptr<py::object> callable(new py::object(progress), [](py::object* object) {
      py::gil_scoped_acquire acquire;
      delete object;
    });
    observer = [callable](const wchar_t* text, uint64_t) {
      py::gil_scoped_acquire acquire;
      try {
        (*callable)(host::ToUtf8(std::wstring_view(text ? text : L"")));
      } catch (py::error_already_set& error) {
        error.discard_as_unraisable("quorra.load progress callback");
      }
    };
  }
  host::ComPtr<refhost::ProgressSink> sink = refhost::ProgressSink::Create(observer);
  HRESULT hr = S_OK;
  {
    py::gil_scoped_release release;
    refhost::ReferenceGraph graph;
    refhost::ScanReferences(wide.c_str(), &graph);
    if (!threaded) {
      hr = AsmTreeCreateAndLoad(wide.c_str(), &owner->tree, sink.Get());
    } else {
      ThreadedLoadContext* context = nullptr;
      hr = AsmTreeThreadedCreateAndLoad(wide.c_str(), &owner->tree, &context, sink.Get());
      if (SUCCEEDED(hr)) FreeThreadedLoadContext(context);  // waits for the worker
      AssemblyOccurrence* root = RootOf(owner);
      if (SUCCEEDED(hr) && (!root || root->GetChildCount() == 0)) hr = E_FAIL;
    }
    if (owner->tree) owner->problems = refhost::FindLoadProblems(owner->tree, graph);
  }
  if (FAILED(hr)) {
    std::string reason = "cannot load " + path;
    if (!owner->problems.empty() && owner->problems.front().placedBy.empty())
      reason += " (" + owner->problems.front().reason + ")";
    Raise("quorra.load", hr, reason, ErrorClasses().load);
  }
  ApplyOverrides(owner);
  return owner;
}

Owner LoadIds(const std::string& path) {
  refhost::Install();
  const std::string problem = refhost::DescribeFileProblem(path, false);
  if (!problem.empty())
    Raise("quorra.load_ids", STG_E_FILENOTFOUND, "cannot load " + path + " (" + problem + ")",
          ErrorClasses().not_found);
  auto owner = std::make_shared<TreeOwner>();
  owner->file = path;
  HRESULT hr;
  {
    py::gil_scoped_release release;
    host::ComPtr<IStorage> storage;
    hr = StgOpenStorage(host::FromUtf8(path.data(), path.size()).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE,
                        nullptr, 0, storage.Put());
    SiteFileToUniversalIdentifierMap map;
    if (SUCCEEDED(hr)) hr = map.Load(storage.Get());
    if (SUCCEEDED(hr)) hr = CreateAsmTree(&owner->tree, nullptr);
    if (SUCCEEDED(hr)) hr = owner->tree->LoadIDS(storage.Get(), map);
  }
  if (FAILED(hr)) Raise("quorra.load_ids", hr, "cannot load the IDS of " + path, ErrorClasses().load);
  return owner;
}

// The tree's text dumps: "atp" (the test-log dump, in dump version
// `version`), "table" (with `verbose`, user data, ranges and matrices),
// "tree" and "brief" (the node dumps, written through a temporary file).
std::string Dump(const Owner& owner, const std::string& format, DWORD version, bool verbose) {
  if (format != "atp" && format != "table" && format != "tree" && format != "brief")
    throw py::value_error("format must be \"atp\", \"table\", \"tree\" or \"brief\", not \"" + format + "\"");
  HRESULT hr = S_OK;
  std::string text;
  {
    py::gil_scoped_release release;
    if (format == "atp") {
      hr = JDumpIDSForATP(owner->tree, DUMPATP_UPDATE_RANGES, version, &text);
    } else if (format == "table") {
      hr = DumpIDS(owner->tree, verbose ? DUMPIDS_VERBOSE : 0, &text);
    } else {
      std::error_code noTemp;
      std::string path = (std::filesystem::temp_directory_path(noTemp) / "quorra-dump-XXXXXX").string();
      const int fd = ::mkstemp(path.data());
      if (fd < 0) {
        hr = E_FAIL;
      } else {
        ::close(fd);
        hr = DumpTree(host::FromUtf8(path.data(), path.size()).c_str(), owner->tree, format == "brief" ? 1 : 0);
        std::ifstream in(path, std::ios::binary);
        std::ostringstream read;
        read << in.rdbuf();
        text = read.str();
        std::remove(path.c_str());
      }
    }
  }
  if (FAILED(hr)) Raise("quorra.Assembly.dump", hr, "cannot dump the assembly as " + format);
  return text;
}

// Draws the tree as the display would show it (hidden occurrences left out,
// override colours used) into an SVG picture or an HTML page, told by the
// path's ending.
void WritePictureOf(const Owner& owner, const std::string& path, const std::string& camera) {
  refhost::PictureFormat format;
  if (!refhost::PictureFormatOf(path, &format))
    throw py::value_error("the picture's path must end in .svg or .html: " + path);
  refhost::ViewDirection direction;
  if (!refhost::ParseViewDirection(camera, &direction))
    throw py::value_error("camera must be \"top\", \"front\" or \"iso\", not \"" + camera + "\"");
  HRESULT hr;
  std::string error;
  bool written = false;
  {
    py::gil_scoped_release release;
    refhost::Picture picture;
    hr = refhost::DrawTree(owner->tree, direction, &picture);
    if (SUCCEEDED(hr)) {
      picture.title = owner->file.empty() ? "assembly" : std::filesystem::path(owner->file).filename().string();
      written = refhost::WritePicture(picture, format, path, &error);
    }
  }
  if (FAILED(hr)) Raise("quorra.Assembly.picture", hr, "cannot draw the assembly");
  if (!written) Raise("quorra.Assembly.picture", E_FAIL, error);
}

void SaveIds(const Owner& owner, const std::string& path) {
  HRESULT hr;
  {
    py::gil_scoped_release release;
    SiteFileToUniversalIdentifierMap map;
    host::ComPtr<IStorage> storage;
    hr = map.Build(owner->tree);
    if (SUCCEEDED(hr))
      hr = StgCreateDocfile(host::FromUtf8(path.data(), path.size()).c_str(),
                            STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put());
    if (SUCCEEDED(hr)) hr = owner->tree->SaveIDS(storage.Get(), map);
    if (SUCCEEDED(hr)) hr = map.Save(storage.Get());
    if (SUCCEEDED(hr)) hr = storage->Commit(0);
  }
  if (FAILED(hr)) Raise("quorra.Assembly.save_ids", hr, "cannot save the IDS into " + path);
}

Occurrence Find(const Owner& owner, const std::string& roadmap) {
  DisplayRoadmap rm;
  size_t start = 0;
  while (!roadmap.empty() && roadmap != "/" && start <= roadmap.size()) {
    const size_t slash = roadmap.find('/', start);
    const std::string part = roadmap.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    char* end = nullptr;
    const unsigned long long id = part.empty() ? 0 : std::strtoull(part.c_str(), &end, 10);
    if (part.empty() || *end != '\0' || id > 0xFFFFFFFFull || part[0] == '-')
      Raise("quorra.Assembly.find", E_INVALIDARG, "bad roadmap \"" + roadmap + "\"");
    if (FAILED(rm.AddLink(static_cast<DWORD>(id))))
      Raise("quorra.Assembly.find", E_OUTOFMEMORY, "cannot look up " + roadmap);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  const OccurrenceNode* found = RootOf(owner) ? owner->tree->Lookup(&rm) : nullptr;
  if (!found)
    Raise("quorra.Assembly.find", HRESULT_FROM_WIN32(kErrorNotFound), "no occurrence at \"" + roadmap + "\"",
          ErrorClasses().not_found);
  return {owner, const_cast<OccurrenceNode*>(found)};
}

// The top document with this tree as its live tree (bound on first use), so
// that the property service finds the tree and its override table.
IUnknown* TopDocument(const Owner& owner, const char* operation) {
  if (owner->document) return owner->document.Get();
  AssemblyOccurrence* root = RootOf(owner);
  SiteNode* site = root ? root->GetSite() : nullptr;
  HRESULT hr = site ? refhost::BindDocuments(owner->tree) : E_UNEXPECTED;
  host::ComPtr<IUnknown> document;
  if (SUCCEEDED(hr)) hr = site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document.Put()));
  if (SUCCEEDED(hr)) hr = refhost::SetDocumentTree(document.Get(), owner->tree);
  if (FAILED(hr)) Raise(operation, hr, "cannot reach the document of " + owner->file);
  owner->document = std::move(document);
  return owner->document.Get();
}

// The property service pointed at one occurrence of the top document.
std::unique_ptr<Mercury> PropertiesOf(const Occurrence& occ, const char* operation) {
  IUnknown* document = TopDocument(occ.owner, operation);
  DisplayRoadmap rm;
  HRESULT hr = occ.node->GetDisplayRoadmap(&rm);
  auto mercury = std::make_unique<Mercury>();
  if (SUCCEEDED(hr)) hr = mercury->SetContext(document, &rm);
  if (FAILED(hr)) Raise(operation, hr, "cannot reach the properties of \"" + RoadmapText(occ.node) + "\"");
  return mercury;
}

void Check(const char* operation, HRESULT hr, const Occurrence& occ) {
  if (FAILED(hr)) Raise(operation, hr, "cannot change \"" + RoadmapText(occ.node) + "\"");
}

void SetHidden(const Occurrence& occ, bool hidden) {
  Check("quorra.Occurrence.hidden", PropertiesOf(occ, "quorra.Occurrence.hidden")->SetHidden(hidden ? 1 : 0), occ);
}

DWORD GetStyle(const Occurrence& occ) {
  DWORD style = 0;
  Check("quorra.Occurrence.style", PropertiesOf(occ, "quorra.Occurrence.style")->GetStyle(&style), occ);
  return style;
}

void SetStyle(const Occurrence& occ, DWORD style) {
  Check("quorra.Occurrence.style", PropertiesOf(occ, "quorra.Occurrence.style")->SetStyle(style), occ);
}

// The placement in the parent as the property service reads it (world =
// parent world x matrix), a new array.
py::array GetMatrix(const Occurrence& occ) {
  tagG4x4 m;
  // The property service names occurrences below the root; the root's is
  // read from it directly, as the service would.
  const HRESULT hr = occ.node->GetParent() ? PropertiesOf(occ, "quorra.Occurrence.matrix")->GetOccurrenceMatrix(&m)
                                           : occ.node->GetOccurrenceMatrix(&m, 1);
  Check("quorra.Occurrence.matrix", hr, occ);
  py::array_t<double> out({py::ssize_t(4), py::ssize_t(4)});
  std::memcpy(out.mutable_data(), m.m, sizeof m.m);
  return out;
}

void SetMatrix(const Occurrence& occ, py::array_t<double, py::array::c_style | py::array::forcecast> matrix) {
  if (matrix.ndim() != 2 || matrix.shape(0) != 4 || matrix.shape(1) != 4)
    Raise("quorra.Occurrence.matrix", E_INVALIDARG, "a matrix must be 4x4");
  tagG4x4 m;
  std::memcpy(m.m, matrix.data(), sizeof m.m);
  Check("quorra.Occurrence.matrix", PropertiesOf(occ, "quorra.Occurrence.matrix")->SetOverrideMatrix(&m), occ);
}

JIDSOverrideTree* OverrideTable(const Owner& owner, const char* operation) {
  IUnknown* document = TopDocument(owner, operation);
  host::ComPtr<IJOverrideTreeHolder> holder;
  JIDSOverrideTree* table = nullptr;
  HRESULT hr = JGetIOT(document, IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put()));
  if (SUCCEEDED(hr)) hr = holder->GetOverrideTree(&table, 0);
  if (FAILED(hr) || !table)
    Raise(operation, FAILED(hr) ? hr : E_FAIL, "cannot read the override table of " + owner->file);
  return table;
}

// A colour is a style: the packed symbology of the 8-bit colour, written
// through the property service like any style (so it is saved), and read
// back from the occurrence's style word when that is packed. The packed form
// keeps 4 bits a channel, so a colour reads back quantised.
constexpr DWORD kPackedSymbology = 0x40000000;
constexpr DWORD kOwnStyle = 0xFFFFFFFF;  // the style override "the part's own style"

py::object GetColor(const Occurrence& occ) {
  const DWORD style = GetStyle(occ);
  if (!(style & kPackedSymbology)) return py::none();
  return py::make_tuple(ExpandLevel4(style & 0xF), ExpandLevel4((style >> 4) & 0xF), ExpandLevel4((style >> 8) & 0xF));
}

void SetColor(const Occurrence& occ, const py::object& value) {
  const char* operation = "quorra.Occurrence.color";
  if (value.is_none()) return SetStyle(occ, kOwnStyle);
  std::vector<long long> channels;
  try {
    for (py::handle item : value) channels.push_back(item.cast<long long>());
  } catch (const py::error_already_set&) {
    channels.clear();
  } catch (const py::cast_error&) {
    channels.clear();
  }
  if (channels.size() != 3) Raise(operation, E_INVALIDARG, "a colour is None or (r, g, b) bytes");
  DWORD rgb = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (channels[i] < 0 || channels[i] > 255) Raise(operation, E_INVALIDARG, "a colour channel is 0 to 255");
    rgb |= static_cast<DWORD>(channels[i]) << (8 * i);
  }
  SetStyle(occ, PackColorSymbology(rgb));
}

// The override table as (roadmap, props, props_ex), depth first.
py::list Overrides(const Owner& owner) {
  JIDSOverrideTree* table = OverrideTable(owner, "quorra.Assembly.overrides");
  py::list list;
  struct Item {
    JIDSOverride* node;
    std::string roadmap;
  };
  std::vector<Item> stack;
  if (table->GetAsmOverride()) stack.push_back({table->GetAsmOverride(), std::string()});
  while (!stack.empty()) {
    Item item = std::move(stack.back());
    stack.pop_back();
    if ((item.node->GetProps() & ~(IOT_ASSEMBLY | IOT_PART)) || item.node->GetPropsEx())
      list.append(py::make_tuple(item.roadmap, item.node->GetProps(), item.node->GetPropsEx()));
    if (!item.node->IsAssembly()) continue;
    auto* assembly = static_cast<JAsmOverride*>(item.node);
    for (DWORD i = assembly->GetChildCount(); i-- > 0;) {
      JIDSOverride* child = assembly->GetChildByIndex(i);
      if (!child) continue;
      std::string roadmap = item.roadmap.empty() ? "" : item.roadmap + "/";
      stack.push_back({child, roadmap + std::to_string(child->GetAttachmentID())});
    }
  }
  return list;
}

// Applies the top document's override table to the whole tree, as the
// hosting system does once a document is open.
constexpr DWORD kApplyEverything = MERCURY_OVERRIDES_WALK | MERCURY_OVERRIDES_MATRIX | MERCURY_OVERRIDES_BODY |
                                   MERCURY_OVERRIDES_VARIABLES | MERCURY_OVERRIDES_SOLVER_STATUS |
                                   MERCURY_OVERRIDES_STYLE | MERCURY_OVERRIDES_DISPLAY | MERCURY_OVERRIDES_ADAPTABLE |
                                   MERCURY_OVERRIDES_ADJUSTABLE_PART;
void ApplyOverrides(const Owner& owner) {
  AssemblyOccurrence* root = RootOf(owner);
  if (!root) return;
  IUnknown* document = TopDocument(owner, "quorra.Assembly.apply_overrides");
  HRESULT hr;
  {
    py::gil_scoped_release release;
    Mercury mercury;
    hr = mercury.ApplyOverrides(document, MERCURY_OVERRIDES_DOCUMENT_TREE | kApplyEverything);
  }
  if (FAILED(hr)) Raise("quorra.Assembly.apply_overrides", hr, "cannot apply the overrides of " + owner->file);
}

void Save(const Owner& owner) {
  IUnknown* document = TopDocument(owner, "quorra.Assembly.save");
  HRESULT hr;
  {
    py::gil_scoped_release release;
    hr = refhost::SaveDocumentOverrides(document);
  }
  if (FAILED(hr)) Raise("quorra.Assembly.save", hr, "cannot save the overrides into " + owner->file);
}

// A read-only numpy view of `count` doubles at `data` with `shape`, keeping
// `base` (the Python object that keeps the memory alive) referenced.
py::array View(const double* data, std::vector<py::ssize_t> shape, py::handle base) {
  py::array array(py::dtype::of<double>(), shape, {}, data, base);
  py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return array;
}

// Every world matrix in walk order into `out` (a new array when None); a
// given array is reused, which spares the page faults of a fresh one.
py::array WorldMatrices(const Owner& owner, py::object out) {
  const size_t count = CountOccurrences(owner);
  py::array_t<double> target;
  if (out.is_none()) {
    target = py::array_t<double>({static_cast<py::ssize_t>(count), py::ssize_t(4), py::ssize_t(4)});
  } else {
    const bool fits =
        py::isinstance<py::array_t<double>>(out) && py::cast<py::array>(out).dtype().is(py::dtype::of<double>());
    if (fits) target = py::reinterpret_borrow<py::array_t<double>>(out);
    if (!fits || target.ndim() != 3 || static_cast<size_t>(target.shape(0)) != count || target.shape(1) != 4 ||
        target.shape(2) != 4 || !(target.flags() & py::array::c_style) || !target.writeable())
      Raise("quorra.Assembly.world_matrices", E_INVALIDARG,
            "out must be a writable C-contiguous float64 array of shape (" + std::to_string(count) + ", 4, 4)");
  }
  double* data = target.mutable_data();
  {
    py::gil_scoped_release release;
#if defined(__SSE2__)
    // An output larger than the caches is written once and not read back
    // here: streaming stores skip reading every destination line first.
    constexpr size_t kStreamFrom = size_t{16} << 20;  // bytes
    if (count * sizeof(tagG4x4) >= kStreamFrom && reinterpret_cast<uintptr_t>(data) % 16 == 0) {
      WalkDepthFirst(RootOf(owner), [&](OccurrenceNode* node) {
        const double* m = node->GetCurrentToWorld().m;
        for (int i = 0; i < 16; i += 2) _mm_stream_pd(data + i, _mm_loadu_pd(m + i));
        data += 16;
      });
      _mm_sfence();
      return target;
    }
#endif
    WalkDepthFirst(RootOf(owner), [&](OccurrenceNode* node) {
      std::memcpy(data, node->GetCurrentToWorld().m, sizeof(double) * 16);
      data += 16;
    });
  }
  return target;
}

// The C++ walk the batch form is measured against: visits every occurrence
// through AsmTree::Walk and reads its world matrix. Returns the count.
class MatrixTouch final : public TreeWalkCallback {
 public:
  HRESULT VisitNode(OccurrenceNode* node, TreeWalkContext*) override {
    sum += node->GetCurrentToWorld().m[12];
    ++count;
    return WALK_CONTINUE;
  }
  double sum = 0;
  uint64_t count = 0;
};

// The parts list as dicts; built without the GIL.
py::list Bom(const Owner& owner) {
  std::vector<refhost::PartsListLine> lines;
  {
    py::gil_scoped_release release;
    if (RootOf(owner)) lines = refhost::BuildPartsList(owner->tree);
  }
  py::list list;
  for (const auto& line : lines) {
    py::dict parents;
    for (const auto& parent : line.parents) parents[py::str(parent.name)] = parent.quantity;
    py::dict item;
    item["document"] = line.path;
    item["name"] = line.name;
    item["kind"] = line.kind;
    item["count"] = line.instances;
    item["quantity"] = parents;
    list.append(item);
  }
  return list;
}

py::dict Flags(const Occurrence& occ) {
  const DWORD f = occ.node->GetFlags();
  py::dict flags;
  const std::pair<const char*, DWORD> names[] = {{"part", OCC_PART},
                                                 {"assembly", OCC_ASSEMBLY},
                                                 {"hidden", OCC_HIDDEN},
                                                 {"dirty", OCC_DIRTY},
                                                 {"open", OCC_OPEN},
                                                 {"ipa", OCC_IPA},
                                                 {"hidden_by_parent", OCC_HIDDEN_BY_PARENT},
                                                 {"active", OCC_IS_ACTIVE},
                                                 {"lock_style", OCC_LOCK_STYLE},
                                                 {"simplified", OCC_SIMPLIFIED},
                                                 {"overridden_matrix", OCC_OVERRIDDEN_MATRIX},
                                                 {"overridden_body", OCC_OVERRIDDEN_BODY},
                                                 {"overridden_status", OCC_OVERRIDDEN_STATUS},
                                                 {"adaptable", OCC_ADAPTABLE}};
  for (const auto& [name, bit] : names) flags[name] = (f & bit) != 0;
  return flags;
}

}  // namespace
}  // namespace quorra::python

using namespace quorra::python;

PYBIND11_MODULE(_quorra, m) {
  m.doc() = "Load, walk and look up CAD assemblies held in memory by the quorra library.";

  Errors& errors = ErrorClasses();
  errors.base = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "quorra.Error", "A quorra call failed; `code` holds the result code, `name` its name.", nullptr, nullptr));
  auto sub = [&](const char* name, const char* doc) {
    return py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(name, doc, errors.base.ptr(), nullptr));
  };
  errors.load = sub("quorra.LoadError", "A document or IDS file could not be loaded.");
  errors.not_found = sub("quorra.NotFoundError", "A file or an occurrence does not exist.");
  errors.invalid_argument = sub("quorra.InvalidArgumentError", "An argument was refused.");
  errors.out_of_memory = sub("quorra.OutOfMemoryError", "The library ran out of memory.");
  // Memory running out inside a call (a walk's stack, a parts list) is a
  // quorra failure like any other, not a bare MemoryError.
  py::register_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const std::bad_alloc&) {
      SetError("quorra", E_OUTOFMEMORY, "out of memory");
    }
  });
  m.attr("Error") = errors.base;
  m.attr("LoadError") = errors.load;
  m.attr("NotFoundError") = errors.not_found;
  m.attr("InvalidArgumentError") = errors.invalid_argument;
  m.attr("OutOfMemoryError") = errors.out_of_memory;

  py::class_<Occurrence>(m, "Occurrence", "One occurrence (a placed part or sub-assembly) of a loaded tree.")
      .def_property_readonly(
          "roadmap", [](const Occurrence& o) { return RoadmapText(o.node); },
          "Attachment ids from the root down to this occurrence, \"4/2/1\" ('' for the root).")
      .def_property_readonly(
          "document",
          [](const Occurrence& o) -> py::object {
            SiteNode* site = o.node->GetSite();
            if (!site) return py::none();
            return py::str(quorra::host::ToUtf8(site->GetFilePath().View()));
          },
          "Path of the document this occurrence places (None when it has none).")
      .def_property_readonly(
          "is_part", [](const Occurrence& o) { return o.node->IsPart(); }, "True for a part, False for an assembly.")
      .def_property_readonly(
          "children",
          [](const Occurrence& o) {
            py::list list;
            if (!o.node->IsAssembly()) return list;
            auto* assembly = static_cast<AssemblyOccurrence*>(o.node);
            for (DWORD i = 0; i < assembly->GetChildCount(); ++i)
              if (OccurrenceNode* child = assembly->GetChildByIndex(i)) list.append(Occurrence{o.owner, child});
            return list;
          },
          "The children in list order (empty for a part).")
      .def_property_readonly(
          "parent",
          [](const Occurrence& o) -> py::object {
            if (!o.node->GetParent()) return py::none();
            return py::cast(Occurrence{o.owner, o.node->GetParent()});
          },
          "The assembly occurrence holding this one (None for the root).")
      .def_property_readonly(
          "world_matrix",
          [](py::object self) {
            auto& o = self.cast<Occurrence&>();
            return View(o.node->GetCurrentToWorld().m, {4, 4}, self);
          },
          "The 4x4 placement in world space as a read-only numpy view of the tree's own memory.")
      .def_property_readonly(
          "range",
          [](py::object self) {
            auto& o = self.cast<Occurrence&>();
            return View(o.node->GetRange()->low, {2, 3}, self);
          },
          "The world-space box as a read-only (2, 3) numpy view: low corner, high corner.")
      .def_property(
          "hidden", [](const Occurrence& o) { return (o.node->GetFlags() & OCC_HIDDEN) != 0; }, &SetHidden,
          "Hidden in the display; setting it writes an override the tree applies.")
      .def_property("style", &GetStyle, &SetStyle, "The display style id; setting it writes an override.")
      .def_property("color", &GetColor, &SetColor,
                    "The colour of a packed style as (r, g, b) bytes (quantised to 4 bits a channel), None when the "
                    "style is not a packed colour; setting (r, g, b) writes that colour's packed style through the "
                    "property service, None the part's own style.")
      .def_property("matrix", &GetMatrix, &SetMatrix,
                    "The placement in the parent assembly (world = parent world @ matrix), a new 4x4 array; setting "
                    "a 4x4 array writes an override matrix the tree applies.")
      .def_property_readonly("flags", &Flags, "The occurrence's state as named booleans.")
      .def("__eq__", [](const Occurrence& a, const Occurrence& b) { return a.node == b.node; })
      .def("__hash__", [](const Occurrence& o) { return std::hash<const void*>()(o.node); })
      .def("__repr__", [](const Occurrence& o) { return "<quorra.Occurrence \"" + RoadmapText(o.node) + "\">"; });

  py::class_<TreeOwner, Owner>(m, "Assembly", "A loaded occurrence tree; released when no Python object refers to it.")
      .def_property_readonly(
          "file", [](const TreeOwner& t) { return t.file; }, "The file it was loaded from.")
      .def_property_readonly(
          "root",
          [](const Owner& t) {
            return Occurrence{t, RootOf(t)};
          },
          "The root occurrence.")
      .def_property_readonly(
          "problems",
          [](const TreeOwner& t) {
            py::list list;
            for (const auto& p : t.problems) {
              py::dict item;
              item["placed_by"] = quorra::host::ToUtf8(p.placedBy);
              item["name"] = quorra::host::ToUtf8(p.name);
              item["path"] = quorra::host::ToUtf8(p.path);
              item["placements"] = p.placements;
              item["reason"] = p.reason;
              list.append(item);
            }
            return list;
          },
          "References the load left out (missing or unreadable documents), as dicts.")
      .def(
          "walk",
          [](const Owner& t, py::object callback) -> py::object {
            if (callback.is_none()) {
              std::vector<Occurrence> all;
              {
                py::gil_scoped_release release;
                all.reserve(CountOccurrences(t));
                WalkDepthFirst(RootOf(t), [&](OccurrenceNode* node) { all.push_back({t, node}); });
              }
              return py::iter(py::cast(std::move(all)));
            }
            WalkDepthFirst(RootOf(t), [&](OccurrenceNode* node) { callback(Occurrence{t, node}); });
            return py::none();
          },
          py::arg("callback") = py::none(),
          "Iterates over the occurrences depth first, the root first; with a callback, calls it with each instead.")
      .def("world_matrices", &WorldMatrices, py::arg("out") = py::none(),
           "Every occurrence's world matrix, in walk order, as one (N, 4, 4) float64 array, walked without the "
           "GIL; `out`, a writable C-contiguous array of that shape, is filled and returned instead of a new one.")
      .def("find", &Find, py::arg("roadmap"), "The occurrence at a roadmap such as \"4/2/1\"; NotFoundError if none.")
      .def_property_readonly("overrides", &Overrides,
                             "The top document's override table: (roadmap, props, props_ex) for every node that "
                             "sets something, depth first; the words are the nodes' property bits.")
      .def("bom", &Bom,
           "The parts list: one dict per document placed below the top one, sorted by name, with its path "
           "(document), name, kind (part, assembly or weldment), count (instances in the whole product) and "
           "quantity ({parent document name: placements in it}).")
      .def("apply_overrides", &ApplyOverrides,
           "Applies the top document's override table to the tree again (a load already does).")
      .def("save", &Save, "Writes the override table back into the top document.")
      .def("save_ids", &SaveIds, py::arg("path"), "Saves the tree's IDS into a new compound file.")
      .def("dump", &Dump, py::arg("format") = "atp", py::arg("version") = 6, py::arg("verbose") = false,
           "The tree as text: \"atp\" the test-log dump in dump version `version`, \"table\" the table dump "
           "(`verbose` adds user data, ranges and matrices), \"tree\" the node dump, \"brief\" its one-line-"
           "per-occurrence form.")
      .def("picture", &WritePictureOf, py::arg("path"), py::arg("camera") = "iso",
           "Draws the assembly as the display shows it (hidden occurrences left out, override colours used), "
           "seen from camera \"top\", \"front\" or \"iso\": PATH ending in .svg gets the picture, .html a "
           "self-contained page with the picture beside the occurrence outline.")
      .def("__len__", &CountOccurrences, "The number of occurrences, the root included.");

  m.def("load", &Load, py::arg("path"), py::arg("threaded") = false, py::arg("progress") = py::none(),
        "Loads a document and every document it places, with the reference host. `progress`, when given, is "
        "called with each progress text. Missing references do not fail the load: see Assembly.problems.");
  m.def("load_ids", &LoadIds, py::arg("path"), "Rebuilds a tree from a file Assembly.save_ids wrote.");
  m.def(
      "write_sample",
      [](const std::string& directory, unsigned depth, unsigned fanout, unsigned parts, uint64_t seed) {
        quorra::refhost::SampleOptions options;
        options.depth = depth;
        options.fanout = fanout;
        options.parts = parts;
        options.seed = seed;
        quorra::refhost::SampleSummary summary;
        HRESULT hr;
        {
          py::gil_scoped_release release;
          hr = quorra::refhost::WriteSample(quorra::host::FromUtf8(directory.data(), directory.size()).c_str(), options,
                                            &summary);
        }
        if (FAILED(hr)) Raise("quorra.write_sample", hr, "cannot write the sample into " + directory);
        return py::make_tuple(quorra::host::ToUtf8(summary.topDocument), summary.expectedOccurrences);
      },
      py::arg("directory"), py::arg("depth") = 3, py::arg("fanout") = 4, py::arg("parts") = 8, py::arg("seed") = 1,
      "Writes a synthetic sample product; returns (top document path, occurrences a load builds).");
  m.def(
      "_cpp_walk",
      [](const Owner& t) {
        MatrixTouch touch;
        py::gil_scoped_release release;
        t->tree->Walk(&touch, nullptr, 0);
        return touch.count;
      },
      "Walks the tree in C++ reading every world matrix (the benchmark's reference).");
}
