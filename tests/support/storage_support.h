// Helpers for tests that work with storages and compound files on disk.
#pragma once

#include <quorra/quorra.h>

#include <map>
#include <string>
#include <vector>

namespace quorra::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Entries() const;  // names in the directory, sorted

 private:
  std::string path_;
};

std::wstring Widen(const std::string& text);  // for ASCII paths
std::vector<BYTE> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<BYTE>& bytes);

// Byte i of the deterministic content with the given seed that the libgsf
// fixture writer also produces.
inline BYTE FixtureByte(size_t i, unsigned seed) { return static_cast<BYTE>(i * 31u + seed * 7u + (i >> 8)); }
std::string FixtureBytes(size_t size, unsigned seed);

// Everything a reader can observe about one element.
struct ElementSnapshot {
  DWORD type = 0;
  std::string bytes;  // streams
  CLSID clsid{};
  DWORD stateBits = 0;
  FILETIME mtime{};
  bool operator==(const ElementSnapshot& o) const {
    return type == o.type && bytes == o.bytes && clsid == o.clsid && stateBits == o.stateBits &&
           mtime.dwLowDateTime == o.mtime.dwLowDateTime && mtime.dwHighDateTime == o.mtime.dwHighDateTime;
  }
};
// Keyed by path ("Sub/Inner"); the storage itself is "".
using StorageSnapshot = std::map<std::wstring, ElementSnapshot>;
StorageSnapshot TakeSnapshot(IStorage* storage);

// Creates the stream (replacing any) and writes `bytes` to it.
HRESULT PutStream(IStorage* storage, const wchar_t* name, const std::string& bytes);
std::string GetStream(IStorage* storage, const wchar_t* name);  // "<missing>" if it cannot be read

// The elements directly in a storage, in the engine's order; none for a null
// storage. A storage that cannot be listed fails the test.
struct ElementInfo {
  std::wstring name;
  DWORD type = 0;
  ULONGLONG size = 0;
  CLSID clsid{};
};
std::vector<ElementInfo> ListElements(IStorage* storage);

}  // namespace quorra::test
