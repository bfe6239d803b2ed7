// Feeds arbitrary bytes to the compound file reader. Whatever it accepts must
// read completely, write back, and read again to the same tree.
#include <quorra/quorra.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace {

using quorra::host::ComPtr;

struct Element {
  DWORD type;
  uint64_t size;
  uint64_t hash;
  CLSID clsid;
  bool operator==(const Element& o) const {
    return type == o.type && size == o.size && hash == o.hash && clsid == o.clsid;
  }
};

uint64_t Hash(const std::vector<BYTE>& bytes) {
  uint64_t h = 1469598103934665603ull;
  for (BYTE b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

// Every element by path; false if the tree cannot be read through.
bool Walk(IStorage* storage, const std::wstring& prefix, int depth, std::map<std::wstring, Element>* out) {
  if (depth > 300) return false;
  ComPtr<IEnumSTATSTG> elements;
  if (FAILED(storage->EnumElements(0, nullptr, 0, elements.Put()))) return false;
  STATSTG stat;
  while (elements->Next(1, &stat, nullptr) == S_OK) {
    std::wstring name = stat.pwcsName;
    CoTaskMemFree(stat.pwcsName);
    Element element{stat.type, stat.cbSize.QuadPart, 0, stat.clsid};
    if (stat.type == STGTY_STREAM) {
      ComPtr<IStream> stream;
      if (FAILED(storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put())))
        return false;
      // Small reads go through the stream's read buffer, large ones past it.
      std::vector<BYTE> bytes(static_cast<size_t>(stat.cbSize.QuadPart));
      size_t done = 0;
      for (ULONG piece = 7; done < bytes.size(); piece = piece * 3 + 1) {
        ULONG got = 0;
        ULONG want = static_cast<ULONG>(std::min<size_t>(piece, bytes.size() - done));
        if (FAILED(stream->Read(bytes.data() + done, want, &got)) || got != want) return false;
        done += got;
      }
      element.hash = Hash(bytes);
    } else {
      ComPtr<IStorage> child;
      if (FAILED(storage->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                      child.Put())) ||
          !Walk(child.Get(), prefix + name + L"/", depth + 1, out))
        return false;
    }
    (*out)[prefix + name] = element;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ComPtr<IStorage> root;
  if (FAILED(quorra::host::OpenStorageOnBytes(data, size, STGM_READ | STGM_SHARE_EXCLUSIVE, root.Put()))) return 0;
  std::map<std::wstring, Element> first, second;
  if (!Walk(root.Get(), L"", 0, &first)) __builtin_trap();
  std::vector<BYTE> image;
  if (FAILED(quorra::host::SaveStorageToBytes(root.Get(), &image))) __builtin_trap();
  ComPtr<IStorage> again;
  if (FAILED(quorra::host::OpenStorageOnBytes(image.data(), image.size(), STGM_READ, again.Put()))) __builtin_trap();
  if (!Walk(again.Get(), L"", 0, &second) || first != second) __builtin_trap();
  return 0;
}
