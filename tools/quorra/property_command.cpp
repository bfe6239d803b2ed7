// `quorra set` and `quorra get`: one occurrence's properties, named by an
// assembly document and a roadmap, written into and read through Mercury.
//   set FILE ROADMAP PROPERTY VALUE [--search-path DIR]...
//   get FILE ROADMAP [PROPERTY] [--search-path DIR]...
// `set` records the value in the document's override table and saves the
// document; `get` applies the document's table to the loaded tree and reads
// the live occurrence.
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/describe.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

// Properties with an on/off value; `set` null for read-only ones.
struct SwitchProperty {
  const char* name;
  HRESULT (Mercury::*get)(int*);
  HRESULT (Mercury::*set)(int);
};

constexpr SwitchProperty kSwitches[] = {
    {"hidden", &Mercury::GetHidden, &Mercury::SetHidden},
    {"visible", &Mercury::GetVisible, nullptr},
    {"active", &Mercury::GetActive, &Mercury::SetActive},
    {"simplified", &Mercury::GetSimplified, &Mercury::SetSimplified},
    {"coordsys", &Mercury::GetCoordSysDisplay, &Mercury::SetCoordSysDisplay},
    {"sketches", &Mercury::GetSketchesDisplay, &Mercury::SetSketchesDisplay},
    {"surfaces", &Mercury::GetSurfacesDisplay, &Mercury::SetSurfacesDisplay},
    {"curves", &Mercury::GetCurvesDisplay, &Mercury::SetCurvesDisplay},
    {"constructions", &Mercury::GetConstructionsDisplay, &Mercury::SetConstructionsDisplay},
    {"refplanes", &Mercury::GetRefPlanesDisplay, &Mercury::SetRefPlanesDisplay},
    {"refaxes", &Mercury::GetRefAxesDisplay, &Mercury::SetRefAxesDisplay},
    {"aslastsaved", &Mercury::GetAsLastSavedDisplay, &Mercury::SetAsLastSavedDisplay},
    {"dimensions", &Mercury::GetDimensionsDisplay, &Mercury::SetDimensionsDisplay},
    {"annotations", &Mercury::GetAnnotationsDisplay, &Mercury::SetAnnotationsDisplay},
    {"livesections", &Mercury::GetLiveSectionsDisplay, &Mercury::SetLiveSectionsDisplay},
    {"designbodies", &Mercury::GetDesignBodiesDisplay, &Mercury::SetDesignBodiesDisplay},
    {"centerline", &Mercury::GetCenterLineDisplay, &Mercury::SetCenterLineDisplay},
    {"decals", &Mercury::GetDecalsDisplay, &Mercury::SetDecalsDisplay},
    {"pointclouds", &Mercury::GetPointCloudsDisplay, &Mercury::SetPointCloudsDisplay},
    {"hideindrawing", &Mercury::GetHideInDrawing, &Mercury::SetHideInDrawing},
    {"hideinsubassembly", &Mercury::GetHideInSubassembly, &Mercury::SetHideInSubassembly},
    {"notselectable", &Mercury::GetNotSelectable, &Mercury::SetNotSelectable},
    {"draftreference", &Mercury::GetDisplayAsDraftReference, &Mercury::SetDisplayAsDraftReference},
    {"nophysprops", &Mercury::GetExcludeFromPhysicalProperties, &Mercury::SetExcludeFromPhysicalProperties},
    {"noreports", &Mercury::GetExcludeFromReports, &Mercury::SetExcludeFromReports},
    {"nointerference", &Mercury::GetExcludeFromInterference, &Mercury::SetExcludeFromInterference},
    {"adaptable", &Mercury::GetAdaptable, &Mercury::SetAdaptable},
    {"adjustable", &Mercury::GetAdjustablePart, &Mercury::SetAdjustablePart},
};

// The properties with other values.
enum class ValueKind { kStyle, kColour, kMatrix, kSolverStatus };
struct ValueProperty {
  const char* name;
  ValueKind kind;
};
constexpr ValueProperty kValues[] = {
    {"style", ValueKind::kStyle},
    {"colour", ValueKind::kColour},
    {"color", ValueKind::kColour},
    {"matrix", ValueKind::kMatrix},
    {"solverstatus", ValueKind::kSolverStatus},
};

// What `get` applies of the document's table before reading.
constexpr DWORD kApplyEverything = MERCURY_OVERRIDES_STYLE | MERCURY_OVERRIDES_DISPLAY | MERCURY_OVERRIDES_MATRIX |
                                   MERCURY_OVERRIDES_SOLVER_STATUS | MERCURY_OVERRIDES_BODY |
                                   MERCURY_OVERRIDES_VARIABLES | MERCURY_OVERRIDES_ADAPTABLE |
                                   MERCURY_OVERRIDES_ADJUSTABLE_PART | MERCURY_OVERRIDES_CONSTRAINTS;

constexpr const char* kSetName = "set";
constexpr const char* kGetName = "get";

constexpr const char* kSetUsage =
    "usage: quorra set FILE ROADMAP PROPERTY VALUE [--search-path DIR]...\n"
    "\n"
    "Loads the assembly FILE as `quorra load` does, records PROPERTY of the\n"
    "occurrence ROADMAP names (attachment ids from the root down, \"2/1\"; \"/\"\n"
    "is the root) in FILE's override table and saves FILE, keeping every other\n"
    "element. Prints what was set.\n"
    "\n"
    "on/off properties (VALUE 1, 0, on, off, true, false, yes or no):\n"
    "  hidden active simplified coordsys sketches surfaces curves\n"
    "  constructions refplanes refaxes aslastsaved dimensions annotations\n"
    "  livesections designbodies centerline decals pointclouds hideindrawing\n"
    "  hideinsubassembly notselectable draftreference nophysprops noreports\n"
    "  nointerference adaptable (assemblies) adjustable (parts)\n"
    "other properties:\n"
    "  style         a style id (decimal or 0x hex)\n"
    "  colour        RRGGBB in hex (\"ff8000\"): a plain style of that colour\n"
    "                (\"color\" is the same)\n"
    "  matrix        X,Y,Z: a translation; or 16 comma-separated numbers, the\n"
    "                placement matrix row by row\n"
    "  solverstatus  a whole number\n"
    "\n"
    "  --search-path DIR   look for child documents in DIR too; may be given\n"
    "                      more than once\n"
    "\n"
    "exit codes: 0 done, 1 failed, 2 wrong command line\n";

constexpr const char* kGetUsage =
    "usage: quorra get FILE ROADMAP [PROPERTY] [--search-path DIR]...\n"
    "\n"
    "Loads the assembly FILE as `quorra load` does, applies FILE's override\n"
    "table to it and prints PROPERTY of the occurrence ROADMAP names (see\n"
    "quorra set --help), or every property, one \"NAME: VALUE\" line each.\n"
    "on/off properties print 1 or 0 (visible is 0 under a hidden assembly);\n"
    "style prints the occurrence's style word, colour its RRGGBB when the\n"
    "style is a plain colour (else none), matrix the 16 numbers of the\n"
    "occurrence's placement row by row, solverstatus the overriding status\n"
    "(none when not overridden).\n"
    "\n"
    "  --search-path DIR   look for child documents in DIR too; may be given\n"
    "                      more than once\n"
    "\n"
    "exit codes: 0 done, 1 failed, 2 wrong command line\n";

const SwitchProperty* FindSwitch(const std::string& name) {
  for (const SwitchProperty& p : kSwitches)
    if (name == p.name) return &p;
  return nullptr;
}

const ValueProperty* FindValue(const std::string& name) {
  for (const ValueProperty& p : kValues)
    if (name == p.name) return &p;
  return nullptr;
}

bool ParseSwitch(const std::string& text, int* out) {
  static const struct {
    const char* word;
    int value;
  } kWords[] = {{"1", 1}, {"0", 0}, {"on", 1}, {"off", 0}, {"true", 1}, {"false", 0}, {"yes", 1}, {"no", 0}};
  for (const auto& w : kWords)
    if (text == w.word) {
      *out = w.value;
      return true;
    }
  return false;
}

// A whole 32-bit number, decimal or with 0x in hex.
bool ParseWord(const std::string& text, DWORD* out) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
    return false;
  errno = 0;
  const unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  if (errno != 0 || value > 0xFFFFFFFFull) return false;
  *out = static_cast<DWORD>(value);
  return true;
}

bool ParseColour(const std::string& text, DWORD* rgb) {
  if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 16);
  // RRGGBB as written; the packed colour keeps red in byte 0.
  *rgb = static_cast<DWORD>(((value >> 16) & 0xFF) | (value & 0xFF00) | ((value & 0xFF) << 16));
  return true;
}

// "x,y,z" (a translation) or 16 numbers row by row.
bool ParseMatrix(const std::string& text, tagG4x4* out) {
  std::vector<double> numbers;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(part.c_str(), &end);
    if (part.empty() || errno != 0 || *end != '\0' || !std::isfinite(value)) return false;
    numbers.push_back(value);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  tagG4x4 matrix;  // identity
  if (numbers.size() == 3) {
    for (int row = 0; row < 3; ++row) matrix(row, 3) = numbers[row];
  } else if (numbers.size() == 16) {
    for (int i = 0; i < 16; ++i) matrix.m[i] = numbers[i];
  } else {
    return false;
  }
  *out = matrix;
  return true;
}

// A value for `set`, checked before anything is loaded.
struct Assignment {
  const SwitchProperty* toggle = nullptr;
  const ValueProperty* value = nullptr;
  int on = 0;
  DWORD word = 0;
  tagG4x4 matrix;
};

// Parses PROPERTY VALUE; false with `error` (a usage problem).
bool ParseAssignment(const std::string& name, const std::string& text, Assignment* out, std::string* error) {
  if ((out->toggle = FindSwitch(name))) {
    if (!out->toggle->set) {
      *error = name + " cannot be set (it follows from hidden)";
      return false;
    }
    if (ParseSwitch(text, &out->on)) return true;
    *error = "bad value '" + text + "' for " + name + ": expected 1, 0, on, off, true, false, yes or no";
    return false;
  }
  if (!(out->value = FindValue(name))) {
    *error = "unknown property '" + name + "' (try quorra set --help)";
    return false;
  }
  bool ok = false;
  const char* expected = "";
  switch (out->value->kind) {
    case ValueKind::kStyle:
    case ValueKind::kSolverStatus:
      ok = ParseWord(text, &out->word);
      expected = "a whole number (decimal or 0x hex)";
      break;
    case ValueKind::kColour:
      ok = ParseColour(text, &out->word);
      expected = "RRGGBB in hex";
      break;
    case ValueKind::kMatrix:
      ok = ParseMatrix(text, &out->matrix);
      expected = "X,Y,Z or 16 comma-separated numbers";
      break;
  }
  if (!ok) *error = "bad value '" + text + "' for " + name + ": expected " + expected;
  return ok;
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// A loaded document with its tree known to the host, as the host's assembly
// module keeps it while the document is open; undone on destruction.
class OpenDocument {
 public:
  explicit OpenDocument(const char* command) : command_(command), session_(command) {}
  ~OpenDocument() {
    if (document_) {
      refhost::SetDocumentTree(document_.Get(), nullptr);
      refhost::ReleasePersistManager(document_.Get());
      document_ = nullptr;
    }
    session_.LeaveToExit();
  }

  // Loads FILE and finds the occurrence of `ids`. The exit code of the load;
  // kExitFailure with the reason printed when the roadmap does not bind.
  int Open(const ParsedArgs& parsed, const std::vector<DWORD>& ids) {
    const std::string& file = parsed.positional[0];
    int code = session_.Load(ReadLoadRequest(parsed, file));
    if (code != kExitOk && code != kExitIncomplete) return code;
    AsmTree* tree = session_.Tree();
    HRESULT hr = refhost::BindDocuments(tree);
    SiteNode* site = tree->GetRootAssembly() ? tree->GetRootAssembly()->GetSite() : nullptr;
    if (SUCCEEDED(hr))
      hr = site ? site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document_.Put())) : E_POINTER;
    if (SUCCEEDED(hr)) hr = refhost::SetDocumentTree(document_.Get(), tree);
    if (FAILED(hr))
      return Fail(command_, kExitFailure, "cannot open %s as a document: %s", file.c_str(),
                  refhost::DescribeResult(hr).c_str());
    if (!ids.empty() && FAILED(roadmap_.AddLinks(static_cast<DWORD>(ids.size()), ids.data())))
      return Fail(command_, kExitFailure, "%s", refhost::DescribeResult(E_OUTOFMEMORY).c_str());
    if (!tree->Lookup(&roadmap_))
      return Fail(command_, kExitFailure, "roadmap %s names no occurrence in %s", RoadmapText(ids).c_str(),
                  file.c_str());
    return code;
  }

  IUnknown* Document() const { return document_.Get(); }
  DisplayRoadmap* Roadmap() { return &roadmap_; }
  LoadSession& Session() { return session_; }

  static std::string RoadmapText(const std::vector<DWORD>& ids) {
    std::string text;
    for (DWORD id : ids) text += (text.empty() ? "" : "/") + std::to_string(id);
    return ids.empty() ? "/" : text;
  }

 private:
  const char* command_;
  LoadSession session_;
  host::ComPtr<IUnknown> document_;
  DisplayRoadmap roadmap_;
};

HRESULT Assign(Mercury& mercury, Assignment& a) {
  if (a.toggle) return (mercury.*(a.toggle->set))(a.on);
  switch (a.value->kind) {
    case ValueKind::kStyle:
      return mercury.SetStyle(a.word);
    case ValueKind::kColour:
      return mercury.SetStyle(PackColorSymbology(a.word));
    case ValueKind::kMatrix:
      return mercury.SetOverrideMatrix(&a.matrix);
    case ValueKind::kSolverStatus:
      return mercury.SetOverrideSolverStatus(a.word);
  }
  return E_INVALIDARG;
}

// Reads one property into `text`; a failure is the reader's result.
HRESULT Read(Mercury& mercury, const char* name, std::string* text) {
  if (const SwitchProperty* toggle = FindSwitch(name)) {
    int on = 0;
    const HRESULT hr = (mercury.*(toggle->get))(&on);
    if (SUCCEEDED(hr)) *text = on ? "1" : "0";
    return hr;
  }
  const ValueProperty* value = FindValue(name);
  DWORD word = 0;
  switch (value->kind) {
    case ValueKind::kStyle: {
      const HRESULT hr = mercury.GetStyle(&word);
      if (SUCCEEDED(hr)) *text = Hex(word);
      return hr;
    }
    case ValueKind::kColour: {
      const HRESULT hr = mercury.GetStyle(&word);
      if (FAILED(hr)) return hr;
      if (!(word & 0x40000000u)) {
        *text = "none";
        return hr;
      }
      char rgb[8];
      std::snprintf(rgb, sizeof rgb, "%02x%02x%02x", ExpandLevel4(word & 0xF), ExpandLevel4((word >> 4) & 0xF),
                    ExpandLevel4((word >> 8) & 0xF));
      *text = rgb;
      return hr;
    }
    case ValueKind::kMatrix: {
      tagG4x4 matrix;
      const HRESULT hr = mercury.GetOccurrenceMatrix(&matrix);
      if (FAILED(hr)) return hr;
      text->clear();
      for (int i = 0; i < 16; ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%s%g", i ? "," : "", matrix.m[i]);
        *text += number;
      }
      return hr;
    }
    case ValueKind::kSolverStatus: {
      const HRESULT hr = mercury.GetOverrideSolverStatus(&word);
      *text = SUCCEEDED(hr) ? std::to_string(word) : "none";
      return hr == E_FAIL ? S_OK : hr;  // E_FAIL: not overridden
    }
  }
  return E_INVALIDARG;
}

// Checks FILE ROADMAP [...] and reads the roadmap; kExitOk or the usage code.
int ParseCommon(const char* command, const std::vector<std::string>& args, size_t low, size_t high, ParsedArgs* parsed,
                std::vector<DWORD>* ids) {
  std::string error;
  if (!ParseArgs(args, {"search-path"}, {}, parsed, &error, {}, {"search-path"}))
    return Fail(command, kExitUsage, "%s", error.c_str());
  const size_t count = parsed->positional.size();
  if (count < low || count > high)
    return Fail(command, kExitUsage, "%s (try quorra %s --help)",
                low == high ? "expects FILE ROADMAP PROPERTY VALUE" : "expects FILE ROADMAP [PROPERTY]", command);
  if (!ParseRoadmap(parsed->positional[1], ids, &error)) return Fail(command, kExitUsage, "%s", error.c_str());
  return kExitOk;
}

int RunSet(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::vector<DWORD> ids;
  if (int code = ParseCommon(kSetName, args, 4, 4, &parsed, &ids); code != kExitOk) return code;
  const std::string& file = parsed.positional[0];
  const std::string& name = parsed.positional[2];
  Assignment assignment;
  std::string error;
  if (!ParseAssignment(name, parsed.positional[3], &assignment, &error))
    return Fail(kSetName, kExitUsage, "%s", error.c_str());

  refhost::Install();
  OpenDocument open(kSetName);
  const int code = open.Open(parsed, ids);
  if (code != kExitOk && code != kExitIncomplete) return code;
  {
    Mercury mercury;
    HRESULT hr = mercury.SetContext(open.Document(), open.Roadmap());
    if (SUCCEEDED(hr)) hr = Assign(mercury, assignment);
    if (FAILED(hr))
      return Fail(kSetName, kExitFailure, "cannot set %s of %s: %s", name.c_str(),
                  OpenDocument::RoadmapText(ids).c_str(), refhost::DescribeResult(hr).c_str());
  }
  const HRESULT hr = refhost::SaveDocumentOverrides(open.Document());
  if (FAILED(hr))
    return Fail(kSetName, kExitFailure, "cannot save %s: %s", file.c_str(), refhost::DescribeResult(hr).c_str());
  std::printf("%s %s: %s set to %s\n", file.c_str(), OpenDocument::RoadmapText(ids).c_str(), name.c_str(),
              parsed.positional[3].c_str());
  open.Session().PrintProblems(stderr);
  return code;
}

int RunGet(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::vector<DWORD> ids;
  if (int code = ParseCommon(kGetName, args, 2, 3, &parsed, &ids); code != kExitOk) return code;
  std::vector<const char*> names;
  if (parsed.positional.size() == 3) {
    const std::string& name = parsed.positional[2];
    const SwitchProperty* toggle = FindSwitch(name);
    const ValueProperty* value = FindValue(name);
    if (!toggle && !value)
      return Fail(kGetName, kExitUsage, "unknown property '%s' (try quorra set --help)", name.c_str());
    names.push_back(toggle ? toggle->name : value->name);
  } else {
    for (const SwitchProperty& p : kSwitches) names.push_back(p.name);
    for (const ValueProperty& p : kValues)
      if (std::strcmp(p.name, "color") != 0) names.push_back(p.name);
  }

  refhost::Install();
  OpenDocument open(kGetName);
  const int code = open.Open(parsed, ids);
  if (code != kExitOk && code != kExitIncomplete) return code;
  Mercury mercury;
  HRESULT hr = mercury.SetContext(open.Document(), open.Roadmap());
  // The loaded tree shows the documents as placed; the overrides reach the
  // occurrences when the document's table is applied to its tree.
  if (SUCCEEDED(hr))
    hr = mercury.ApplyOverrides(open.Document(),
                                MERCURY_OVERRIDES_DOCUMENT_TREE | MERCURY_OVERRIDES_WALK | kApplyEverything);
  if (FAILED(hr))
    return Fail(kGetName, kExitFailure, "cannot apply the override table of %s: %s", parsed.positional[0].c_str(),
                refhost::DescribeResult(hr).c_str());
  for (const char* name : names) {
    std::string text;
    hr = Read(mercury, name, &text);
    if (FAILED(hr) && names.size() == 1)
      return Fail(kGetName, kExitFailure, "cannot read %s of %s: %s", name, OpenDocument::RoadmapText(ids).c_str(),
                  refhost::DescribeResult(hr).c_str());
    // In the full listing one unreadable property does not hide the others.
    if (FAILED(hr)) text = "unavailable (" + refhost::DescribeResult(hr) + ")";
    std::printf("%s: %s\n", name, text.c_str());
  }
  open.Session().PrintProblems(stderr);
  return code;
}

const CommandRegistrar kSetRegistrar({kSetName, "record an occurrence property in an assembly's override table",
                                      kSetUsage, RunSet});
const CommandRegistrar kGetRegistrar({kGetName, "print an occurrence's properties with the overrides applied",
                                      kGetUsage, RunGet});

}  // namespace
}  // namespace quorra::tool
