// Set-up the fuzz targets share: a memory storage holding the input as one
// stream, and a temporary directory with a small fixed set of documents for
// the targets that load from files.
#pragma once

#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace quorra::fuzz {

// A memory storage whose stream `name` holds the `size` bytes at `data`.
inline bool StorageHoldingStream(const wchar_t* name, const uint8_t* data, size_t size, IStorage** storage) {
  host::ComPtr<IStorage> made;
  host::ComPtr<IStream> stream;
  ULONG written = 0;
  if (FAILED(host::CreateMemoryStorage(made.Put())) ||
      FAILED(made->CreateStream(name, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.Put())) ||
      (size && FAILED(stream->Write(data, static_cast<ULONG>(size), &written))))
    return false;
  *storage = made.Detach();
  return true;
}

// A new, empty temporary directory (aborts when none can be made).
inline std::filesystem::path MakeTempDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorra-fuzz-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) std::abort();
  return pattern;
}

// Writes into `directory` a.par (a box), b.psm (a mesh part), w.pwd (a
// weldment of two members) and c.asm (placing a.par twice); aborts on
// failure.
inline void WriteSmallDocuments(const std::filesystem::path& directory) {
  using namespace quorra::refhost;
  auto path = [&](const char* name) { return host::FromUtf8((directory / name).string()); };
  PartDocument small, mesh;
  small.display = MakeBoxDisplay(1, 2, 3);
  mesh.kernelGeometry = false;
  WeldmentDocument weldment;
  weldment.members = {{1, MakeBoxDisplay(1, 1, 1)}, {2, MakeBoxDisplay(2, 2, 2)}};
  AssemblyDocument child;
  child.AddPlacement(L"a.par", tagG4x4());
  child.AddPlacement(L"a.par", tagG4x4::Translation(5, 0, 0));
  if (FAILED(WritePartDocument(path("a.par").c_str(), small)) ||
      FAILED(WritePartDocument(path("b.psm").c_str(), mesh)) ||
      FAILED(WriteWeldmentDocument(path("w.pwd").c_str(), weldment)) ||
      FAILED(WriteAssemblyDocument(path("c.asm").c_str(), child)))
    std::abort();
}

}  // namespace quorra::fuzz
