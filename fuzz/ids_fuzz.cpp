// Fuzz target for the "IDS" stream reader: the bytes become the "IDS" stream
// of a memory storage and are loaded with AsmTree::LoadIDS into a fresh tree,
// with a fixed "Sites" map: that of a small product written with refhost's
// document writer (a part, a sheet-metal part, a weldment, a sub-assembly
// placing the part twice, and the top assembly placing them all) and loaded
// from its documents once per process.
//
// QUORRA_FUZZ_WRITE_SEEDS=DIR writes that product's "IDS" and "Sites"
// streams into DIR (the seeds of this target and of fuzz_sites).
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fuzz_support.h"

namespace {

using quorra::host::ComPtr;

constexpr size_t kMaxInput = 1 << 16;

void WriteSeed(const std::string& directory, const char* name, IStorage* storage, const wchar_t* stream) {
  ComPtr<IStream> opened;
  std::vector<BYTE> bytes;
  if (FAILED(storage->OpenStream(stream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, opened.Put())) ||
      FAILED(quorra::host::ReadStreamBytes(opened.Get(), &bytes)))
    std::abort();
  FILE* file = std::fopen((directory + "/" + name).c_str(), "wb");
  if (!file) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

class Product {
 public:
  Product() {
    quorra::refhost::Install();
    const std::filesystem::path directory = quorra::fuzz::MakeTempDirectory();
    auto path = [&](const char* name) { return quorra::host::FromUtf8((directory / name).string()); };
    quorra::fuzz::WriteSmallDocuments(directory);
    using namespace quorra::refhost;
    AssemblyDocument top;
    top.AddPlacement(L"c.asm", tagG4x4::Translation(0, 0, 10));
    top.AddPlacement(L"a.par", tagG4x4::RotationZ(0.5));
    top.AddPlacement(L"b.psm", tagG4x4::Translation(0, 3, 0));
    top.AddPlacement(L"w.pwd", tagG4x4::Translation(7, 0, 0));
    top.AddPlacement(L"c.asm", tagG4x4::Translation(0, 0, -10));
    AsmTree* tree = nullptr;
    if (FAILED(WriteAssemblyDocument(path("top.asm").c_str(), top)) ||
        FAILED(AsmTreeCreateAndLoad(path("top.asm").c_str(), &tree, nullptr)) || FAILED(map_.Build(tree)))
      std::abort();

    if (const char* seeds = std::getenv("QUORRA_FUZZ_WRITE_SEEDS")) {
      ComPtr<IStorage> storage;
      if (FAILED(quorra::host::CreateMemoryStorage(storage.Put())) || FAILED(tree->SaveIDS(storage.Get(), map_)) ||
          FAILED(map_.Save(storage.Get())))
        std::abort();
      WriteSeed(seeds, "product-ids.bin", storage.Get(), quorra::kIDSStreamName);
      WriteSeed(seeds, "product-sites.bin", storage.Get(), quorra::kSitesStreamName);
    }
    AsmTreeUnloadAndDelete(tree);
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }

  SiteFileToUniversalIdentifierMap& Map() { return map_; }

 private:
  SiteFileToUniversalIdentifierMap map_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Product product;
  if (size > kMaxInput) return 0;
  ComPtr<IStorage> storage;
  if (!quorra::fuzz::StorageHoldingStream(quorra::kIDSStreamName, data, size, storage.Put())) return 0;

  AsmTree* tree = nullptr;
  if (FAILED(CreateAsmTree(&tree, nullptr))) return 0;
  if (SUCCEEDED(tree->LoadIDS(storage.Get(), product.Map()))) {
    tagGBox range;
    AsmTreeGetRange(tree, &range);
  }
  AsmTreeUnloadAndDelete(tree);
  return 0;
}
