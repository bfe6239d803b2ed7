#include "support/storage_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace quorra::test {

using quorra::host::ComPtr;

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorra-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) ADD_FAILURE() << "cannot create a temporary directory";
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::Entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::vector<BYTE> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::vector<BYTE>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string FixtureBytes(size_t size, unsigned seed) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(FixtureByte(i, seed));
  return out;
}

namespace {

void Collect(IStorage* storage, const std::wstring& prefix, StorageSnapshot* out) {
  ComPtr<IEnumSTATSTG> elements;
  ASSERT_EQ(storage->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
  STATSTG stat;
  while (elements->Next(1, &stat, nullptr) == S_OK) {
    std::wstring name = stat.pwcsName;
    CoTaskMemFree(stat.pwcsName);
    std::wstring path = prefix.empty() ? name : prefix + L"/" + name;
    ElementSnapshot& element = (*out)[path];
    element.type = stat.type;
    element.clsid = stat.clsid;
    element.stateBits = stat.grfStateBits;
    if (stat.type == STGTY_STREAM) {
      element.bytes = GetStream(storage, name.c_str());
    } else {
      element.mtime = stat.mtime;
      ComPtr<IStorage> child;
      ASSERT_EQ(storage->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, child.Put()),
                S_OK);
      Collect(child.Get(), path, out);
    }
  }
}

}  // namespace

StorageSnapshot TakeSnapshot(IStorage* storage) {
  StorageSnapshot out;
  STATSTG stat;
  EXPECT_EQ(storage->Stat(&stat, STATFLAG_NONAME), S_OK);
  out[L""] = ElementSnapshot{STGTY_STORAGE, "", stat.clsid, stat.grfStateBits, {}};
  Collect(storage, L"", &out);
  return out;
}

HRESULT PutStream(IStorage* storage, const wchar_t* name, const std::string& bytes) {
  ComPtr<IStream> stream;
  HRESULT hr = storage->CreateStream(name, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.Put());
  if (SUCCEEDED(hr) && !bytes.empty()) hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  return hr;
}

std::string GetStream(IStorage* storage, const wchar_t* name) {
  ComPtr<IStream> stream;
  if (FAILED(storage->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put())))
    return "<missing>";
  std::vector<BYTE> bytes;
  if (FAILED(quorra::host::ReadStreamBytes(stream.Get(), &bytes))) return "<unreadable>";
  return std::string(bytes.begin(), bytes.end());
}

std::vector<ElementInfo> ListElements(IStorage* storage) {
  std::vector<ElementInfo> elements;
  ComPtr<IEnumSTATSTG> enumerator;
  if (!storage) return elements;
  EXPECT_EQ(storage->EnumElements(0, nullptr, 0, enumerator.Put()), S_OK);
  if (!enumerator) return elements;
  STATSTG stat;
  while (enumerator->Next(1, &stat, nullptr) == S_OK) {
    elements.push_back({stat.pwcsName, stat.type, stat.cbSize.QuadPart, stat.clsid});
    CoTaskMemFree(stat.pwcsName);
  }
  return elements;
}

}  // namespace quorra::test
