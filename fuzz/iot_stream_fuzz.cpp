// Fuzz target for the override-table stream reader. The bytes are read as
// they are (the stream's own version word), then with the version word set
// to 0, 1 and 2 in turn. A stream that loads whole must write back bytes
// that load and write again unchanged.
#include <quorra/quorra.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using quorra::host::ComPtr;

// Larger inputs only repeat what smaller ones reach (and nest records only
// deeper).
constexpr size_t kMaxInput = 1 << 14;

HRESULT LoadInto(JIDSOverrideTree* tree, const BYTE* data, size_t size) {
  ComPtr<IStream> stream;
  if (FAILED(quorra::host::CreateMemoryStreamOnBytes(data, size, stream.Put()))) std::abort();
  JIOStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
  return tree->LoadFromStream(context, nullptr);
}

std::vector<BYTE> Save(JIDSOverrideTree* tree) {
  ComPtr<IStream> stream;
  if (FAILED(quorra::host::CreateMemoryStream(stream.Put()))) std::abort();
  {
    JIOStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
    if (FAILED(tree->SaveToStream(context))) std::abort();
  }
  std::vector<BYTE> bytes;
  if (FAILED(quorra::host::ReadStreamBytes(stream.Get(), &bytes))) std::abort();
  return bytes;
}

void Check(const BYTE* data, size_t size) {
  JIDSOverrideTree tree;
  const HRESULT hr = LoadInto(&tree, data, size);
  if (tree.IsLoading()) std::abort();
  // Whatever was read, whole or not, is written and reads back. One pass
  // may still add a node type bit the older records left out (a version-2
  // record takes it from the node); after it the bytes stay the same.
  const std::vector<BYTE> first = Save(&tree);
  JIDSOverrideTree again;
  if (LoadInto(&again, first.data(), first.size()) != S_OK) std::abort();
  const std::vector<BYTE> second = Save(&again);
  JIDSOverrideTree third;
  if (LoadInto(&third, second.data(), second.size()) != S_OK) std::abort();
  if (Save(&third) != second) std::abort();
  (void)hr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  Check(data, size);
  if (size < 4) return 0;
  std::vector<BYTE> copy(data, data + size);
  for (DWORD version : {0u, 1u, 2u}) {
    std::memcpy(copy.data(), &version, 4);
    Check(copy.data(), copy.size());
  }
  return 0;
}
