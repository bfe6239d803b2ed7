// Fuzz target for both readers of the "Attachments" stream: the bytes become
// the stream of an assembly document on disk, which is loaded with the file
// loader (AsmTreeCreateAndLoad) and with the site reader (PopulateFullTree).
// Child names resolve to a small fixed set of documents in a temporary
// directory, which is also the current directory, so that both readers find
// them: a.par, b.psm, c.asm (placing a.par twice) and w.pwd.
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

// Larger inputs only repeat what smaller ones reach.
constexpr size_t kMaxInput = 1 << 16;

class Documents {
 public:
  Documents() {
    quorra::refhost::Install();
    directory_ = quorra::fuzz::MakeTempDirectory();
    std::filesystem::current_path(directory_);
    quorra::fuzz::WriteSmallDocuments(directory_);
    top_ = Path(L"top.asm");
  }
  ~Documents() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  // Writes `bytes` as the "Attachments" stream of top.asm.
  bool WriteTop(const uint8_t* bytes, size_t size) {
    ComPtr<IStorage> storage;
    std::vector<BYTE> image;
    if (!quorra::fuzz::StorageHoldingStream(L"Attachments", bytes, size, storage.Put()) ||
        FAILED(quorra::host::SaveStorageToBytes(storage.Get(), &image)))
      return false;
    FILE* file = std::fopen(quorra::host::ToUtf8(top_).c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    return std::fclose(file) == 0 && ok;
  }

  const std::wstring& Top() const { return top_; }

 private:
  std::wstring Path(const wchar_t* name) const { return quorra::host::FromUtf8(directory_.string()) + L"/" + name; }

  std::filesystem::path directory_;
  std::wstring top_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Documents documents;  // its directory goes when the process ends
  if (size > kMaxInput || !documents.WriteTop(data, size)) return 0;

  AsmTree* tree = nullptr;
  AsmTreeCreateAndLoad(documents.Top().c_str(), &tree, nullptr);
  if (tree) {
    tagGBox range;
    AsmTreeGetRange(tree, &range);
    AsmTreeUnloadAndDelete(tree);
  }

  tree = nullptr;
  if (SUCCEEDED(CreateAsmTree(&tree, nullptr))) {
    tree->PopulateFullTree(documents.Top().c_str(), 0);
    AsmTreeDelete(tree);
  }
  return 0;
}
