// An independent reader of assembly "Attachments" streams for tests: every
// field as it lies in the stream, monikers loaded back with OleLoadFromStream.
#pragma once

#include <quorra/quorra.h>

#include <array>
#include <string>
#include <vector>

namespace quorra::test {

struct ReadPlacement {
  tagG4x4 matrix{tagG4x4::NoInit{}};
  std::array<BYTE, 48> extra{};
  DWORD blockLength = 0;
  DWORD nameLength = 0;
  std::wstring name;  // without its terminator
  std::vector<BYTE> tail;
};

struct ReadComponent {
  std::wstring link;
  DWORD secondFlag = 0;
  std::wstring second;
  DWORD skipLength = 0;
  std::vector<BYTE> skipped;
  std::vector<ReadPlacement> placements;
};

struct ReadAttachments {
  std::array<BYTE, 16> header{};
  DWORD version = 0;
  DWORD count = 0;
  std::array<DWORD, 3> reserved{};
  std::array<DWORD, 3> extended{};
  std::vector<ReadComponent> components;
};

namespace detail {

inline bool ReadExact(IStream* stream, void* buffer, size_t size) {
  if (size == 0) return true;
  ULONG got = 0;
  return SUCCEEDED(stream->Read(buffer, static_cast<ULONG>(size), &got)) && got == size;
}

inline bool ReadWord(IStream* stream, DWORD* value) {
  BYTE b[4];
  if (!ReadExact(stream, b, 4)) return false;
  *value = static_cast<DWORD>(b[0] | b[1] << 8 | b[2] << 16) | static_cast<DWORD>(b[3]) << 24;
  return true;
}

inline bool ReadMoniker(IStream* stream, std::wstring* path) {
  quorra::host::ComPtr<IMoniker> moniker;
  if (FAILED(OleLoadFromStream(stream, IID_IMoniker, reinterpret_cast<void**>(moniker.Put())))) return false;
  wchar_t* name = nullptr;
  if (FAILED(moniker->GetDisplayName(nullptr, nullptr, &name))) return false;
  *path = name;
  CoTaskMemFree(name);
  return true;
}

}  // namespace detail

// Parses a whole stream; "" on success, else the field that could not be
// read. Bytes left after the last component are a failure too.
inline std::string ParseAttachments(const std::vector<BYTE>& bytes, ReadAttachments* out) {
  using namespace detail;
  quorra::host::ComPtr<IStream> stream;
  if (FAILED(quorra::host::CreateMemoryStreamOnBytes(bytes.data(), bytes.size(), stream.Put()))) return "stream";
  IStream* s = stream.Get();
  if (!ReadExact(s, out->header.data(), 16) || !ReadWord(s, &out->version) || !ReadWord(s, &out->count))
    return "header";
  for (DWORD& word : out->reserved)
    if (!ReadWord(s, &word)) return "reserved";
  if (out->version >= 5)
    for (DWORD& word : out->extended)
      if (!ReadWord(s, &word)) return "extended";
  for (DWORD c = 0; c < out->count; ++c) {
    ReadComponent& component = out->components.emplace_back();
    if (!ReadMoniker(s, &component.link)) return "first link";
    if (!ReadWord(s, &component.secondFlag)) return "second flag";
    if (component.secondFlag && !ReadMoniker(s, &component.second)) return "second link";
    DWORD placements = 0;
    if (!ReadWord(s, &placements) || !ReadWord(s, &component.skipLength)) return "counts";
    component.skipped.resize(component.skipLength);
    if (!ReadExact(s, component.skipped.data(), component.skipped.size())) return "skipped bytes";
    for (DWORD p = 0; p < placements; ++p) {
      ReadPlacement& record = component.placements.emplace_back();
      if (!ReadExact(s, record.matrix.m, 128) || !ReadExact(s, record.extra.data(), 48) ||
          !ReadWord(s, &record.blockLength))
        return "record";
      if (record.blockLength == 0) continue;
      if (!ReadWord(s, &record.nameLength) || record.nameLength % 2 != 0 || record.nameLength < 2 ||
          record.blockLength < 4 + record.nameLength)
        return "name length";
      std::vector<BYTE> name(record.nameLength);
      if (!ReadExact(s, name.data(), name.size())) return "name";
      if (name[name.size() - 2] != 0 || name[name.size() - 1] != 0) return "name terminator";
      std::u16string units;
      for (size_t i = 0; i + 2 < name.size(); i += 2)
        units.push_back(static_cast<char16_t>(name[i] | name[i + 1] << 8));
      record.name = quorra::host::FromUtf16(units);
      record.tail.resize(record.blockLength - 4 - record.nameLength);
      if (!ReadExact(s, record.tail.data(), record.tail.size())) return "block tail";
    }
  }
  BYTE extra;
  ULONG got = 0;
  s->Read(&extra, 1, &got);
  return got == 0 ? "" : "bytes after the last component";
}

// The bytes of one stream of a compound file ("Sub/Stream" paths not needed
// here: root streams only); empty when it cannot be read.
inline std::vector<BYTE> ReadRootStream(const std::wstring& file, const wchar_t* name) {
  quorra::host::ComPtr<IStorage> root;
  quorra::host::ComPtr<IStream> stream;
  std::vector<BYTE> bytes;
  if (SUCCEEDED(StgOpenStorage(file.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_NONE, nullptr, 0, root.Put())) &&
      SUCCEEDED(root->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put())))
    quorra::host::ReadStreamBytes(stream.Get(), &bytes);
  return bytes;
}

}  // namespace quorra::test
