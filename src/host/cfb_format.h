// On-disk structures of the compound file binary format ([MS-CFB]): header,
// sector numbers, directory entries, and the element name order of the
// directory tree. Private to the storage engine.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "quorra/host/types.h"

namespace quorra::host::storage {

constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

constexpr size_t kHeaderSize = 512;
constexpr size_t kDirEntrySize = 128;
constexpr size_t kHeaderDifatCount = 109;
constexpr uint32_t kMiniSectorSize = 64;
constexpr uint32_t kMiniStreamCutoff = 4096;  // streams below this size live in the mini stream
constexpr uint32_t kV3SectorSize = 512;
constexpr size_t kMaxNameUnits = 31;  // UTF-16 units of an element name, without the terminator

// Special sector numbers.
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr uint32_t kDifatSector = 0xFFFFFFFC;
constexpr uint32_t kFatSector = 0xFFFFFFFD;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kNoStream = 0xFFFFFFFF;  // empty sibling or child link

// Directory entry object types.
constexpr uint8_t kTypeUnused = 0;
constexpr uint8_t kTypeStorage = 1;
constexpr uint8_t kTypeStream = 2;
constexpr uint8_t kTypeRoot = 5;

constexpr uint8_t kColorRed = 0;
constexpr uint8_t kColorBlack = 1;

// Header field offsets.
namespace header {
constexpr size_t kMinorVersion = 24;
constexpr size_t kMajorVersion = 26;
constexpr size_t kByteOrder = 28;
constexpr size_t kSectorShift = 30;
constexpr size_t kMiniSectorShift = 32;
constexpr size_t kDirSectorCount = 40;
constexpr size_t kFatSectorCount = 44;
constexpr size_t kFirstDirSector = 48;
constexpr size_t kMiniStreamCutoff = 56;
constexpr size_t kFirstMiniFatSector = 60;
constexpr size_t kMiniFatSectorCount = 64;
constexpr size_t kFirstDifatSector = 68;
constexpr size_t kDifatSectorCount = 72;
constexpr size_t kDifat = 76;
}  // namespace header

// Directory entry field offsets.
namespace dirent {
constexpr size_t kName = 0;
constexpr size_t kNameBytes = 64;
constexpr size_t kType = 66;
constexpr size_t kColor = 67;
constexpr size_t kLeft = 68;
constexpr size_t kRight = 72;
constexpr size_t kChild = 76;
constexpr size_t kClsid = 80;
constexpr size_t kStateBits = 96;
constexpr size_t kCreationTime = 100;
constexpr size_t kModifiedTime = 108;
constexpr size_t kStartSector = 116;
constexpr size_t kSize = 120;
}  // namespace dirent

inline uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Load64(const uint8_t* p) { return Load32(p) | (static_cast<uint64_t>(Load32(p + 4)) << 32); }
inline void Store16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Store64(uint8_t* p, uint64_t v) {
  Store32(p, static_cast<uint32_t>(v));
  Store32(p + 4, static_cast<uint32_t>(v >> 32));
}

// A GUID as it lies in files: the three integer fields little-endian.
inline GUID LoadGuid(const uint8_t* p) {
  GUID g;
  g.Data1 = Load32(p);
  g.Data2 = Load16(p + 4);
  g.Data3 = Load16(p + 6);
  std::memcpy(g.Data4, p + 8, 8);
  return g;
}
inline void StoreGuid(uint8_t* p, const GUID& g) {
  Store32(p, g.Data1);
  Store16(p + 4, g.Data2);
  Store16(p + 6, g.Data3);
  std::memcpy(p + 8, g.Data4, 8);
}

inline FILETIME LoadFileTime(const uint8_t* p) { return FILETIME{Load32(p), Load32(p + 4)}; }
inline void StoreFileTime(uint8_t* p, const FILETIME& t) {
  Store32(p, t.dwLowDateTime);
  Store32(p + 4, t.dwHighDateTime);
}

// Upper case of one UTF-16 unit for name comparison: ASCII, Latin-1,
// Latin Extended-A, Greek and Cyrillic, which covers the names documents use.
inline char16_t UpperNameUnit(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    bool oddPairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    bool lower = oddPairs ? (c % 2 == 0) : (c % 2 == 1);
    return lower ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

// The order of the directory tree: shorter names first, then unit by unit on
// the upper-cased names. Equal (0) means the same element name.
inline int CompareNames(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = UpperNameUnit(a[i]), y = UpperNameUnit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

}  // namespace quorra::host::storage
