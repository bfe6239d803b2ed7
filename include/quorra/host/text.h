// The host's text library: `GUserText`, a wide-character string value (one
// UTF-32 code point per wchar_t in memory, UTF-16LE when stored), the file-name
// value `GUserFileName`, and the conversions, case mappings and printf-style
// formatting they are built on.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "quorra/host/types.h"

class JIOStreamContext;

// Code pages understood by the narrow-text constructor. The ANSI code page is
// UTF-8 here; any code page not listed is read as UTF-8 too.
constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;
constexpr UINT CP_WINDOWS_1252 = 1252;
constexpr UINT CP_LATIN1 = 28591;  // ISO 8859-1
constexpr UINT CP_US_ASCII = 20127;

namespace quorra::host {

// --- Conversions. Invalid input (unpaired surrogates, values beyond U+10FFFF,
// malformed UTF-8) becomes U+FFFD; nothing fails.

std::u16string ToUtf16(const wchar_t* text, size_t length);
std::u16string ToUtf16(std::wstring_view text);
std::wstring FromUtf16(const char16_t* text, size_t length);
std::wstring FromUtf16(std::u16string_view text);
std::string ToUtf8(const wchar_t* text, size_t length);
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(const char* text, size_t length);
std::wstring FromUtf8(std::string_view text);
// Decodes narrow text in one of the code pages above and appends it to `out`.
void AppendNarrow(std::wstring& out, const char* text, size_t length, UINT codePage);
// Number of UTF-16 code units `text` takes once converted.
size_t Utf16Length(std::wstring_view text);

// --- Case. Simple (one character to one character) Unicode case mappings,
// independent of the C locale. Characters without case map to themselves.

wchar_t LowerChar(wchar_t c);
wchar_t UpperChar(wchar_t c);
void LowerInPlace(wchar_t* text, size_t length);
void UpperInPlace(wchar_t* text, size_t length);
std::wstring LowerCase(std::wstring_view text);
std::wstring UpperCase(std::wstring_view text);

// --- Comparison, in the order of the UTF-16 code units of the texts (the
// order the host's text library sorts in). Negative, zero or positive.
int CompareOrdinal(std::wstring_view a, std::wstring_view b);
// The same comparison of the lower-case forms: how file names are compared.
int CompareNoCase(std::wstring_view a, std::wstring_view b);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

// --- Paths. Both '\' and '/' separate directories; a leading drive ("C:")
// belongs to the directory. The results point into `path`.

// The file's name without its directory; without its extension when
// `withExtension` is false.
std::wstring_view PathBaseName(std::wstring_view path, bool withExtension);
// Everything before the last separator ("" when there is none; the separator
// itself for a file at the root, "C:" for "C:name").
std::wstring_view PathDirectory(std::wstring_view path);
// The base name's extension from its last dot, dot included ("" when none).
std::wstring_view PathExtension(std::wstring_view path);

// --- Formatting with the meaning the Windows C runtime gives each conversion:
// in a wide format %s and %c take wide arguments and %S and %C narrow ones (the
// reverse in a narrow format; %hs/%hc are always narrow, %ls/%ws/%lc always
// wide); %ld, %lu, %lx are 32-bit; %lld, %I64d, %I64x and %Id, %zd are 64-bit;
// %p is a pointer printed as 16 upper-case hexadecimal digits ('#' adds 0X).
// Narrow strings are UTF-8; the output of a narrow format is UTF-8. Numbers
// are written as in the "C" locale whatever the process locale is. The result
// grows as needed; nothing is truncated.
void AppendFormatV(std::wstring& out, const wchar_t* format, va_list args);
void AppendFormatV(std::string& out, const char* format, va_list args);
std::wstring FormatWide(const wchar_t* format, ...);
std::string FormatNarrow(const char* format, ...);

}  // namespace quorra::host

// A wide-character string value. Indexes and counts are ints, clamped into
// range the way the usual MFC-style string clamps them.
//
// Two implicit conversions are offered: to the wide text and to its UTF-8 form
// (kept in a cache inside the object until the next change; not safe to build
// from two threads at once on one object). Where both would fit, name one:
// GetText() or GetUtf8().
class GUserText {
 public:
  GUserText() noexcept = default;
  // From null-terminated wide text (null is empty).
  GUserText(const wchar_t* text);
  // `count` characters of `text` from `start` (count < 0: to the end), never
  // reading past the terminator.
  GUserText(const wchar_t* text, int start, int count);
  explicit GUserText(std::wstring_view text);
  explicit GUserText(std::wstring&& text) noexcept;
  // From narrow text in a code page: at most `length` bytes (length < 0: up
  // to the terminator), stopping at a zero byte.
  explicit GUserText(const char* text, int length = -1, UINT codePage = CP_ACP);
  GUserText(const GUserText& other);
  GUserText(GUserText&& other) noexcept;
  ~GUserText();

  GUserText& operator=(const GUserText& other);
  GUserText& operator=(GUserText&& other) noexcept;
  GUserText& operator=(const wchar_t* text);
  GUserText& operator=(const char* text);  // UTF-8

  GUserText& operator+=(const GUserText& text);
  GUserText& operator+=(const wchar_t* text);
  GUserText& operator+=(wchar_t c);
  GUserText& operator+=(char c);           // one byte of the ANSI code page; ASCII only, others U+FFFD
  GUserText& operator+=(const char* text);  // UTF-8

  friend bool operator==(const GUserText& a, const GUserText& b) noexcept { return a.text_ == b.text_; }
  friend bool operator==(const GUserText& a, const wchar_t* b) noexcept {
    return a.text_ == (b ? std::wstring_view(b) : std::wstring_view());
  }
  // Ordinal: UTF-16 code-unit order.
  friend bool operator<(const GUserText& a, const GUserText& b) noexcept {
    return quorra::host::CompareOrdinal(a.text_, b.text_) < 0;
  }
  friend bool operator>(const GUserText& a, const GUserText& b) noexcept { return b < a; }
  friend bool operator<=(const GUserText& a, const GUserText& b) noexcept { return !(b < a); }
  friend bool operator>=(const GUserText& a, const GUserText& b) noexcept { return !(a < b); }
  int Compare(const wchar_t* text) const;
  int CompareNoCase(const wchar_t* text) const;

  // Replaces the content with printf-style formatted text (see
  // quorra::host::AppendFormatV for the conversions).
  void Format(const wchar_t* format, ...);
  void FormatV(const wchar_t* format, va_list args);
  void AppendFormat(const wchar_t* format, ...);

  // Index of the first `c` / `text` at or after `start`, or -1.
  int Find(wchar_t c, int start = 0) const;
  int Find(const wchar_t* text, int start = 0) const;
  // Index of the last `c`, or -1.
  int ReverseFind(wchar_t c) const;
  GUserText Left(int count) const;
  GUserText Right(int count) const;
  GUserText Mid(int start) const;
  GUserText Mid(int start, int count) const;
  // The next token at or after `start`, delimited by any of `tokens` (leading
  // delimiters skipped); `start` moves past it. At the end: an empty text and
  // `start` = -1. With no delimiters the rest of the text is one token.
  GUserText Tokenize(const wchar_t* tokens, int& start) const;

  // Lower-/upper-cases the first `count` characters in place (-1: all).
  GUserText& ToLower(int count = -1);
  GUserText& ToUpper(int count = -1);

  bool IsEmpty() const noexcept { return text_.empty(); }
  bool IsNotEmpty() const noexcept { return !text_.empty(); }
  int GetNumChars() const noexcept { return static_cast<int>(text_.size()); }
  void Empty();
  // The character at `index`, or 0 outside the text.
  wchar_t GetAt(int index) const noexcept;
  wchar_t operator[](int index) const noexcept { return GetAt(index); }
  void SetAt(int index, wchar_t c);

  // The wide text; never null.
  const wchar_t* GetText() const noexcept { return text_.c_str(); }
  operator const wchar_t*() const noexcept { return text_.c_str(); }
  // The UTF-8 form; never null; valid until the next change of the text.
  const char* GetUtf8() const;
  operator const char*() const { return GetUtf8(); }
  std::wstring_view View() const noexcept { return text_; }
  const std::wstring& Str() const noexcept { return text_; }

  // Reads (read context) or writes (write context) the text as a 32-bit
  // little-endian count of UTF-16 code units followed by the units in
  // UTF-16LE, no terminator. On a failed read the text is unchanged.
  HRESULT Serialize(const JIOStreamContext& context);
  // Writes only: a read context gives E_UNEXPECTED.
  HRESULT Serialize(const JIOStreamContext& context) const;

 private:
  HRESULT Read(const JIOStreamContext& context);
  HRESULT Write(const JIOStreamContext& context) const;
  void Changed() noexcept { narrow_.reset(); }

  std::wstring text_;
  mutable std::unique_ptr<std::string> narrow_;  // UTF-8 cache; null when stale
};

GUserText operator+(const GUserText& a, const GUserText& b);
GUserText operator+(const GUserText& a, const wchar_t* b);
GUserText operator+(const wchar_t* a, const GUserText& b);
// Writes the UTF-8 form (logs, test messages).
std::ostream& operator<<(std::ostream& out, const GUserText& text);

template <>
struct std::hash<GUserText> {
  size_t operator()(const GUserText& text) const noexcept { return std::hash<std::wstring_view>()(text.View()); }
};

// A file name. Both '\' and '/' separate directories.
class GUserFileName : public GUserText {
 public:
  GUserFileName() noexcept = default;
  explicit GUserFileName(const GUserText& text) : GUserText(text) {}
  explicit GUserFileName(const wchar_t* text) : GUserText(text) {}

  // The file's name without its directory: with its extension when
  // `withExtension` is non-zero, without it otherwise.
  GUserText BaseName(int withExtension) const;
  // The directory part (see quorra::host::PathDirectory).
  GUserText Directory() const;
  // The extension with its dot, in its own case ("" when none).
  GUserText Extension() const;
};
