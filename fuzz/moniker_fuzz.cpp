// Feeds arbitrary bytes to the persisted-moniker loader. A moniker it accepts
// must save and load again to the same display name and the same bytes.
#include <quorra/quorra.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using quorra::host::ComPtr;

std::wstring DisplayName(IMoniker* moniker) {
  wchar_t* name = nullptr;
  if (FAILED(moniker->GetDisplayName(nullptr, nullptr, &name))) __builtin_trap();
  std::wstring out = name;
  CoTaskMemFree(name);
  return out;
}

std::vector<BYTE> Saved(IMoniker* moniker) {
  ComPtr<IStream> stream;
  std::vector<BYTE> bytes;
  if (FAILED(quorra::host::CreateMemoryStream(stream.Put())) || FAILED(OleSaveToStream(moniker, stream.Get())) ||
      FAILED(quorra::host::ReadStreamBytes(stream.Get(), &bytes)))
    __builtin_trap();
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ComPtr<IStream> stream;
  if (FAILED(quorra::host::CreateMemoryStreamOnBytes(data, size, stream.Put()))) return 0;
  ComPtr<IMoniker> moniker;
  if (FAILED(OleLoadFromStream(stream.Get(), IID_IMoniker, reinterpret_cast<void**>(moniker.Put())))) return 0;
  std::vector<BYTE> saved = Saved(moniker.Get());
  ComPtr<IStream> again;
  ComPtr<IMoniker> reloaded;
  if (FAILED(quorra::host::CreateMemoryStreamOnBytes(saved.data(), saved.size(), again.Put())) ||
      FAILED(OleLoadFromStream(again.Get(), IID_IMoniker, reinterpret_cast<void**>(reloaded.Put()))))
    __builtin_trap();
  if (DisplayName(reloaded.Get()) != DisplayName(moniker.Get()) || Saved(reloaded.Get()) != saved) __builtin_trap();
  return 0;
}
