// `quorra sample`: writes a sample assembly of real documents.
//   sample DIR [--depth D] [--fanout F] [--parts P] [--seed S] [--names STYLE] [--force]
//   sample DIR --gearbox [--names STYLE] [--force]
#include <quorra/quorra.h>
#include <quorra/refhost/describe.h>
#include <quorra/refhost/sample.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>

#include "command.h"
#include "load_report.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "sample";

constexpr const char* kUsage =
    "usage: quorra sample DIR [--depth D] [--fanout F] [--parts P] [--seed S] [--names STYLE] [--force]\n"
    "       quorra sample DIR --gearbox [--names STYLE] [--force]\n"
    "\n"
    "Writes an assembly of real documents (.asm, .par, .psm, .pwd) into DIR,\n"
    "creating it when missing, and prints what a load of the top document\n"
    "must build. A DIR that holds anything is refused unless --force is given;\n"
    "then the .asm, .par, .psm and .pwd files in it are removed first, so no\n"
    "document of an earlier run remains.\n"
    "\n"
    "  --depth D     assembly levels, 1 to 16 (default 3)\n"
    "  --fanout F    placements per assembly, 1 to 10000 (default 4)\n"
    "  --parts P     distinct part shapes, 1 to 100000 (default 8)\n"
    "  --seed S      seed of the layout and shapes, 0 to 18446744073709551615\n"
    "                (default 1)\n"
    "  --gearbox     the built-in gearbox product instead\n"
    "  --names STYLE how placements name their documents: base (default),\n"
    "                absolute, or windows (C:\\quorra\\sample\\..., found by base name)\n"
    "  --force       write into a DIR that is not empty (see above)\n"
    "\n"
    "depth and fanout together may make at most 100000000 occurrences.\n";

// True for the documents a sample writes.
bool IsDocumentFile(const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".asm" || extension == ".par" || extension == ".psm" || extension == ".pwd";
}

// Checks DIR before writing: a file is refused, a directory with anything in
// it is refused unless `force`, and then its documents are removed so that
// none from an earlier run remains. Returns kExitOk or the failure's code.
int PrepareDirectory(const std::string& directory, bool force) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(directory, error);
  if (!fs::exists(status)) return kExitOk;  // created by the writer
  if (!fs::is_directory(status)) return Fail(kName, kExitFailure, "%s is a file, not a directory", directory.c_str());
  fs::directory_iterator it(directory, error);
  if (error) return Fail(kName, kExitFailure, "cannot read %s: %s", directory.c_str(), error.message().c_str());
  if (it == fs::directory_iterator()) return kExitOk;
  if (!force)
    return Fail(kName, kExitFailure,
                "%s is not empty; give --force to write into it (its .asm, .par, .psm and .pwd files are "
                "removed first)",
                directory.c_str());
  for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
    if (!entry.is_regular_file(error) || !IsDocumentFile(entry.path())) continue;
    if (!fs::remove(entry.path(), error))
      return Fail(kName, kExitFailure, "cannot remove %s: %s", entry.path().c_str(), error.message().c_str());
  }
  return kExitOk;
}

int RunSample(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {"depth", "fanout", "parts", "seed", "names"}, {"gearbox", "force"}, &parsed, &error))
    return Fail(kName, kExitUsage, "%s", error.c_str());
  if (parsed.positional.size() != 1) return Fail(kName, kExitUsage, "expects one directory (try quorra sample --help)");
  const std::string& directory = parsed.positional[0];
  const bool gearbox = parsed.Has("gearbox");
  if (gearbox && (parsed.Has("depth") || parsed.Has("fanout") || parsed.Has("parts") || parsed.Has("seed")))
    return Fail(kName, kExitUsage, "--gearbox takes no --depth, --fanout, --parts or --seed");

  refhost::SampleOptions options;
  if (const std::string* names = parsed.Find("names")) {
    if (*names == "base")
      options.names = refhost::SampleNames::kBaseName;
    else if (*names == "absolute")
      options.names = refhost::SampleNames::kAbsolute;
    else if (*names == "windows")
      options.names = refhost::SampleNames::kWindows;
    else
      return Fail(kName, kExitUsage, "--names: expected base, absolute or windows, got '%s'", names->c_str());
  }
  unsigned long long depth = options.depth, fanout = options.fanout, parts = options.parts, seed = options.seed;
  struct NumberOption {
    const char* name;
    unsigned long long low, high;
    unsigned long long* value;
  };
  const NumberOption numbers[] = {{"depth", 1, refhost::kMaxSampleDepth, &depth},
                                  {"fanout", 1, refhost::kMaxSampleFanout, &fanout},
                                  {"parts", 1, refhost::kMaxSampleParts, &parts},
                                  {"seed", 0, UINT64_MAX, &seed}};
  for (const NumberOption& number : numbers)
    if (const std::string* text = parsed.Find(number.name))
      if (!ParseNumberOption(*text, number.name, number.low, number.high, number.value, &error))
        return Fail(kName, kExitUsage, "%s", error.c_str());
  options.depth = static_cast<unsigned>(depth);
  options.fanout = static_cast<unsigned>(fanout);
  options.parts = static_cast<unsigned>(parts);
  options.seed = seed;
  std::string why;
  if (!gearbox && FAILED(refhost::CheckSampleOptions(options, &why))) return Fail(kName, kExitUsage, "%s", why.c_str());
  if (const int code = PrepareDirectory(directory, parsed.Has("force")); code != kExitOk) return code;

  const std::wstring wideDirectory = host::FromUtf8(directory);
  refhost::SampleSummary summary;
  HRESULT hr = gearbox ? refhost::WriteGearboxSample(wideDirectory.c_str(), &summary, options.names)
                       : refhost::WriteSample(wideDirectory.c_str(), options, &summary);
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot write the sample into %s: %s", directory.c_str(),
                refhost::DescribeResult(hr).c_str());

  std::printf("wrote %s into %s: %s, %s, %s, %s\n", Plural(summary.documents, "document", "documents").c_str(),
              directory.c_str(), Plural(summary.assemblies, "assembly", "assemblies").c_str(),
              Plural(summary.parts, "part", "parts").c_str(),
              Plural(summary.weldments, "weldment", "weldments").c_str(),
              Plural(summary.placements, "placement", "placements").c_str());
  std::printf("top document: %s\n", host::ToUtf8(summary.topDocument).c_str());
  std::printf("expected sites: %" PRIu64 ", occurrences: %" PRIu64 "\n", summary.expectedSites,
              summary.expectedOccurrences);
  std::printf("site reader: %" PRIu64 " sites, %" PRIu64 " occurrences\n", summary.siteReaderSites,
              summary.siteReaderOccurrences);
  return kExitOk;
}

const CommandRegistrar kRegistrar({"sample", "write a sample assembly of real documents", kUsage, RunSample});

}  // namespace
}  // namespace quorra::tool
