// Fuzz target for the "Sites" stream reader: the bytes become the "Sites"
// stream of a memory storage and are loaded with
// SiteFileToUniversalIdentifierMap::Load; every id and path the map then
// holds is looked up both ways, the map is copied, and saved again.
#include <quorra/quorra.h>

#include <cstdint>
#include <vector>

#include "support/fuzz_support.h"

namespace {
using quorra::host::ComPtr;
constexpr size_t kMaxInput = 1 << 16;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  ComPtr<IStorage> storage;
  if (!quorra::fuzz::StorageHoldingStream(quorra::kSitesStreamName, data, size, storage.Put())) return 0;

  SiteFileToUniversalIdentifierMap map;
  map.Load(storage.Get());
  // Ids as they may be stored: probe the first few and the words of the input.
  for (uint64_t id = 0; id < 8; ++id)
    if (const wchar_t* path = map.Find(id)) map.Find(path);
  SiteFileToUniversalIdentifierMap copy(map);
  for (size_t i = 0; i + 8 <= size && i < 256; i += 8) {
    uint64_t id = 0;
    for (int k = 0; k < 8; ++k) id |= uint64_t{data[i + k]} << (8 * k);
    if (const wchar_t* path = copy.Find(id)) copy.Find(path);
  }
  copy.AddFile(L"extra.par");
  ComPtr<IStorage> again;
  if (SUCCEEDED(quorra::host::CreateMemoryStorage(again.Put()))) copy.Save(again.Get());
  map = std::move(copy);
  return 0;
}
