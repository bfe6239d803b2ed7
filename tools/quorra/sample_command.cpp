// `quorra sample`: writes a sample assembly of real documents.
//   sample DIR [--depth D] [--fanout F] [--parts P] [--seed S] [--names STYLE]
//   sample DIR --gearbox [--names STYLE]
#include <quorra/quorra.h>
#include <quorra/refhost/sample.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "command.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "sample";

constexpr const char* kUsage =
    "usage: quorra sample DIR [--depth D] [--fanout F] [--parts P] [--seed S] [--names STYLE]\n"
    "       quorra sample DIR --gearbox [--names STYLE]\n"
    "\n"
    "Writes an assembly of real documents (.asm, .par, .psm, .pwd) into DIR,\n"
    "creating it when missing, and prints what a load of the top document\n"
    "must build.\n"
    "\n"
    "  --depth D     assembly levels, 1 to 16 (default 3)\n"
    "  --fanout F    placements per assembly, 1 to 10000 (default 4)\n"
    "  --parts P     distinct part shapes, 1 to 100000 (default 8)\n"
    "  --seed S      seed of the layout and shapes (default 1)\n"
    "  --gearbox     the built-in gearbox product instead\n"
    "  --names STYLE how placements name their documents: base (default),\n"
    "                absolute, or windows (C:\\quorra\\sample\\..., found by base name)\n";

// A whole number within [0, limit]; false with a message otherwise.
bool ReadCount(const refhost::SampleOptions&, const std::string* text, const char* option, uint64_t limit,
               uint64_t* out) {
  if (!text) return true;
  unsigned long long value = 0;
  if (!ParseUnsigned(*text, &value) || value > limit) {
    Fail(kName, kExitUsage, "--%s: expected a whole number from 0 to %" PRIu64 ", got '%s'", option, limit,
         text->c_str());
    return false;
  }
  *out = value;
  return true;
}

const char* Describe(HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x80030005u:
      return "access denied";
    case 0x80030003u:
      return "path not found";
    case 0x80030070u:
      return "disk full";
    case 0x80070057u:
      return "invalid argument";
    case 0x8007000Eu:
      return "out of memory";
    default:
      return "failed";
  }
}

int RunSample(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {"depth", "fanout", "parts", "seed", "names"}, {"gearbox"}, &parsed, &error))
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
  uint64_t depth = options.depth, fanout = options.fanout, parts = options.parts, seed = options.seed;
  if (!ReadCount(options, parsed.Find("depth"), "depth", refhost::kMaxSampleDepth, &depth) ||
      !ReadCount(options, parsed.Find("fanout"), "fanout", refhost::kMaxSampleFanout, &fanout) ||
      !ReadCount(options, parsed.Find("parts"), "parts", refhost::kMaxSampleParts, &parts) ||
      !ReadCount(options, parsed.Find("seed"), "seed", UINT64_MAX, &seed))
    return kExitUsage;
  options.depth = static_cast<unsigned>(depth);
  options.fanout = static_cast<unsigned>(fanout);
  options.parts = static_cast<unsigned>(parts);
  options.seed = seed;
  std::string why;
  if (!gearbox && FAILED(refhost::CheckSampleOptions(options, &why))) return Fail(kName, kExitUsage, "%s", why.c_str());

  const std::wstring wideDirectory = host::FromUtf8(directory);
  refhost::SampleSummary summary;
  HRESULT hr = gearbox ? refhost::WriteGearboxSample(wideDirectory.c_str(), &summary, options.names)
                       : refhost::WriteSample(wideDirectory.c_str(), options, &summary);
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot write the sample into %s (0x%08X %s)", directory.c_str(),
                static_cast<unsigned>(hr), Describe(hr));

  std::printf("wrote %zu documents into %s: %zu assemblies, %zu parts, %zu weldments, %zu placements\n",
              summary.documents, directory.c_str(), summary.assemblies, summary.parts, summary.weldments,
              summary.placements);
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
