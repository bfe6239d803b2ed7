// Text conversions at the storage boundary: the API speaks wchar_t (32-bit on
// Linux), compound files and persisted monikers store UTF-16LE, and the file
// system wants UTF-8 paths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorra::host::storage {

// Appends one code point as UTF-16 (a surrogate pair above U+FFFF).
inline void AppendUtf16(char32_t c, std::u16string* out) {
  if (c >= 0x10000 && c <= 0x10FFFF) {
    c -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out->push_back(static_cast<char16_t>(c > 0x10FFFF ? 0xFFFD : c));
  }
}

inline std::u16string WideToUtf16(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t c : text) AppendUtf16(static_cast<char32_t>(c), &out);
  return out;
}

// Decodes UTF-16; a lone surrogate is kept as its own code unit value.
inline std::wstring Utf16ToWide(std::u16string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

inline void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// A document path for the file system: UTF-8, with `\` turned into `/` since
// both separate directories.
inline std::string WidePathToUtf8(const wchar_t* path) {
  std::string out;
  for (; *path; ++path) {
    char32_t c = static_cast<char32_t>(*path);
    if (c == U'\\') c = U'/';
    if (c > 0x10FFFF) c = 0xFFFD;
    AppendUtf8(c, &out);
  }
  return out;
}

}  // namespace quorra::host::storage
