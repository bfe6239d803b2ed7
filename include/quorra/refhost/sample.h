// Sample assemblies written as real documents: a synthetic product of any
// size, deterministic for a seed, and the built-in "gearbox" product.
//
// Synthetic structure. The top assembly "sample.asm" is level 0; levels 1 to
// depth - 1 hold sub-assembly documents "sub_L<level>_<n>.asm". Every
// assembly has `fanout` placements. Above the last level, two thirds of them
// (rounded up) place sub-assemblies of the next level, chosen from a pool of
// half as many documents (rounded up), so each sub-assembly is placed several
// times; the rest, and every placement of a last-level assembly, place part
// documents "part_<n>.par" (every fifth a ".psm") taken in turn from `parts`
// shapes, so part documents are placed many times. Parts that no placement
// reaches are not written. Children are laid out on a grid, turned about z,
// so the parts spread in space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "quorra/host/types.h"

namespace quorra::refhost {

// How placements name their child documents.
enum class SampleNames {
  kBaseName,  // "part_1.par:1": found in the assembly's own directory
  kAbsolute,  // the full path on this machine
  kWindows,   // "C:\quorra\sample\part_1.par:1": found by its base name
};

struct SampleOptions {
  unsigned depth = 3;   // assembly levels, 1 to kMaxSampleDepth
  unsigned fanout = 4;  // placements per assembly, 1 to kMaxSampleFanout
  unsigned parts = 8;   // distinct part shapes, 1 to kMaxSampleParts
  uint64_t seed = 1;
  SampleNames names = SampleNames::kBaseName;
};

constexpr unsigned kMaxSampleDepth = 16;
constexpr unsigned kMaxSampleFanout = 10000;
constexpr unsigned kMaxSampleParts = 100000;
// Larger products are refused: no tree of that size is useful.
constexpr uint64_t kMaxSampleOccurrences = 100000000;

struct SampleSummary {
  std::wstring topDocument;  // full path of the top assembly
  size_t documents = 0;      // files written
  size_t assemblies = 0;
  size_t parts = 0;
  size_t weldments = 0;
  size_t placements = 0;  // placement records written
  // What loading the top document must build. The file loader makes one
  // site per document reached plus one part site per weldment member, and
  // one occurrence per path (the root included, a weldment placement
  // bringing its members along).
  uint64_t expectedSites = 0;
  uint64_t expectedOccurrences = 0;
  // The same for the site reader, which takes a weldment for one part.
  uint64_t siteReaderSites = 0;
  uint64_t siteReaderOccurrences = 0;
};

// Checks the options against the limits: S_OK or E_INVALIDARG with `*why`
// ("depth must be 1 to 16", ...).
HRESULT CheckSampleOptions(const SampleOptions& options, std::string* why);

// Writes the synthetic sample into `directory` (created when missing).
// E_INVALIDARG for options out of range (traced with the reason); the
// storage engine's error when a document cannot be written.
HRESULT WriteSample(const wchar_t* directory, const SampleOptions& options, SampleSummary* summary);

// Writes the gearbox: "gearbox.asm" with shaft sub-assemblies, a bearing cap
// sub-assembly placed six times, a welded mounting foot placed twice, and
// two dozen named parts (housing, shafts, gears, bearings, seals, bolts,
// covers...). `names` as for the synthetic sample.
HRESULT WriteGearboxSample(const wchar_t* directory, SampleSummary* summary,
                           SampleNames names = SampleNames::kBaseName);

}  // namespace quorra::refhost
