// GUserText and GUserFileName: the host's text value and file-name value, and
// their stored form (a 32-bit count of UTF-16 code units, then the units in
// UTF-16LE).
#include "quorra/host/text.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <ostream>

#include "quorra/host/iostream_context.h"
#include "quorra/host/trace.h"

namespace {

constexpr const char* kTraceSource = "QUILLON/text";

using quorra::host::AppendNarrow;

// Code units moved per stream call when a text is read or written: bounds the
// buffer and, on reading, what a corrupt count can make us hold before the
// stream runs out.
constexpr size_t kChunkUnits = 2048;

size_t BoundedLength(const wchar_t* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n]) ++n;
  return n;
}

// Start and count clamped into [0, size].
std::wstring_view Slice(std::wstring_view text, int start, int count) {
  size_t size = text.size();
  size_t first = start < 0 ? 0 : std::min(static_cast<size_t>(start), size);
  size_t n = count < 0 ? 0 : std::min(static_cast<size_t>(count), size - first);
  return text.substr(first, n);
}

size_t ClampCount(int count, size_t size) {
  return count < 0 ? size : std::min(static_cast<size_t>(count), size);
}

}  // namespace

// --- Construction and assignment ----------------------------------------------

GUserText::GUserText(const wchar_t* text) {
  if (text) text_ = text;
}

GUserText::GUserText(const wchar_t* text, int start, int count) {
  if (!text) return;
  size_t first = start < 0 ? 0 : static_cast<size_t>(start);
  if (BoundedLength(text, first) < first) return;  // start beyond the terminator
  size_t limit = count < 0 ? SIZE_MAX - first : static_cast<size_t>(count);
  text_.assign(text + first, BoundedLength(text + first, limit));
}

GUserText::GUserText(std::wstring_view text) : text_(text) {}

GUserText::GUserText(std::wstring&& text) noexcept : text_(std::move(text)) {}

GUserText::GUserText(const char* text, int length, UINT codePage) {
  if (!text) return;
  size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
  const void* zero = std::memchr(text, 0, n);
  if (zero) n = static_cast<const char*>(zero) - text;
  AppendNarrow(text_, text, n, codePage);
}

GUserText::GUserText(const GUserText& other) : text_(other.text_) {}

GUserText::GUserText(GUserText&& other) noexcept : text_(std::move(other.text_)), narrow_(std::move(other.narrow_)) {
  other.text_.clear();
}

GUserText::~GUserText() = default;

GUserText& GUserText::operator=(const GUserText& other) {
  if (this != &other) {
    text_ = other.text_;
    Changed();
  }
  return *this;
}

GUserText& GUserText::operator=(GUserText&& other) noexcept {
  if (this != &other) {
    text_ = std::move(other.text_);
    narrow_ = std::move(other.narrow_);
    other.text_.clear();
  }
  return *this;
}

GUserText& GUserText::operator=(const wchar_t* text) {
  if (text != text_.c_str()) {
    if (text) {
      text_.assign(text);  // handles text pointing into text_ itself
    } else {
      text_.clear();
    }
  }
  Changed();
  return *this;
}

GUserText& GUserText::operator=(const char* text) {
  std::wstring converted;
  if (text) AppendNarrow(converted, text, std::strlen(text), CP_UTF8);
  text_.swap(converted);
  Changed();
  return *this;
}

GUserText& GUserText::operator+=(const GUserText& text) {
  text_ += text.text_;
  Changed();
  return *this;
}

GUserText& GUserText::operator+=(const wchar_t* text) {
  if (text) text_.append(text);
  Changed();
  return *this;
}

GUserText& GUserText::operator+=(wchar_t c) {
  text_.push_back(c);
  Changed();
  return *this;
}

GUserText& GUserText::operator+=(char c) {
  AppendNarrow(text_, &c, 1, CP_UTF8);
  Changed();
  return *this;
}

GUserText& GUserText::operator+=(const char* text) {
  if (text) AppendNarrow(text_, text, std::strlen(text), CP_UTF8);
  Changed();
  return *this;
}

GUserText operator+(const GUserText& a, const GUserText& b) {
  GUserText result(a);
  result += b;
  return result;
}

GUserText operator+(const GUserText& a, const wchar_t* b) {
  GUserText result(a);
  result += b;
  return result;
}

GUserText operator+(const wchar_t* a, const GUserText& b) {
  GUserText result(a);
  result += b;
  return result;
}

std::ostream& operator<<(std::ostream& out, const GUserText& text) { return out << text.GetUtf8(); }

int GUserText::Compare(const wchar_t* text) const {
  return quorra::host::CompareOrdinal(text_, text ? std::wstring_view(text) : std::wstring_view());
}

int GUserText::CompareNoCase(const wchar_t* text) const {
  return quorra::host::CompareNoCase(text_, text ? std::wstring_view(text) : std::wstring_view());
}

// --- Formatting -----------------------------------------------------------------

void GUserText::Format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  FormatV(format, args);
  va_end(args);
}

void GUserText::FormatV(const wchar_t* format, va_list args) {
  std::wstring result;
  quorra::host::AppendFormatV(result, format, args);  // the arguments may point into text_
  text_.swap(result);
  Changed();
}

void GUserText::AppendFormat(const wchar_t* format, ...) {
  std::wstring result(text_);
  va_list args;
  va_start(args, format);
  quorra::host::AppendFormatV(result, format, args);
  va_end(args);
  text_.swap(result);
  Changed();
}

// --- Searching and slicing --------------------------------------------------------

int GUserText::Find(wchar_t c, int start) const {
  size_t from = start < 0 ? 0 : static_cast<size_t>(start);
  size_t at = text_.find(c, from);
  return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int GUserText::Find(const wchar_t* text, int start) const {
  if (!text) return -1;
  size_t from = start < 0 ? 0 : static_cast<size_t>(start);
  if (from > text_.size()) return -1;
  size_t at = text_.find(text, from);
  return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int GUserText::ReverseFind(wchar_t c) const {
  size_t at = text_.rfind(c);
  return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

GUserText GUserText::Left(int count) const { return GUserText(Slice(text_, 0, count)); }

GUserText GUserText::Right(int count) const {
  size_t n = count < 0 ? 0 : std::min(static_cast<size_t>(count), text_.size());
  return GUserText(std::wstring_view(text_).substr(text_.size() - n));
}

GUserText GUserText::Mid(int start) const { return Mid(start, GetNumChars()); }

GUserText GUserText::Mid(int start, int count) const { return GUserText(Slice(text_, start, count)); }

GUserText GUserText::Tokenize(const wchar_t* tokens, int& start) const {
  if (start >= 0 && static_cast<size_t>(start) < text_.size()) {
    size_t from = static_cast<size_t>(start);
    if (!tokens || !*tokens) {
      start = GetNumChars();
      return GUserText(std::wstring_view(text_).substr(from));
    }
    size_t first = text_.find_first_not_of(tokens, from);
    if (first != std::wstring::npos) {
      size_t end = text_.find_first_of(tokens, first);
      if (end == std::wstring::npos) end = text_.size();
      start = static_cast<int>(end + 1);
      return GUserText(std::wstring_view(text_).substr(first, end - first));
    }
  }
  start = -1;
  return GUserText();
}

// --- Case and content ------------------------------------------------------------

GUserText& GUserText::ToLower(int count) {
  quorra::host::LowerInPlace(text_.data(), ClampCount(count, text_.size()));
  Changed();
  return *this;
}

GUserText& GUserText::ToUpper(int count) {
  quorra::host::UpperInPlace(text_.data(), ClampCount(count, text_.size()));
  Changed();
  return *this;
}

void GUserText::Empty() {
  text_.clear();
  Changed();
}

wchar_t GUserText::GetAt(int index) const noexcept {
  return index >= 0 && static_cast<size_t>(index) < text_.size() ? text_[index] : L'\0';
}

void GUserText::SetAt(int index, wchar_t c) {
  if (index < 0 || static_cast<size_t>(index) >= text_.size()) return;
  text_[index] = c;
  Changed();
}

const char* GUserText::GetUtf8() const {
  if (!narrow_) narrow_ = std::make_unique<std::string>(quorra::host::ToUtf8(text_));
  return narrow_->c_str();
}

// --- Stored form -----------------------------------------------------------------

HRESULT GUserText::Serialize(const JIOStreamContext& context) {
  if (context.IsReading()) return Read(context);
  return Write(context);
}

HRESULT GUserText::Serialize(const JIOStreamContext& context) const {
  if (context.IsReading()) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "GUserText::Serialize");
  return Write(context);
}

HRESULT GUserText::Write(const JIOStreamContext& context) const {
  if (!context.IsWriting() || !context.GetStream()) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "GUserText::Serialize");
  size_t units = quorra::host::Utf16Length(text_);
  if (units > UINT32_MAX) return QUORRA_TRACE_FAIL(E_INVALIDARG, "GUserText::Serialize");

  // The count goes out with the first chunk of units; each chunk is one write.
  BYTE buffer[4 + 2 * kChunkUnits];
  size_t used = 0;
  auto put = [&](uint32_t unit) {
    buffer[used++] = static_cast<BYTE>(unit);
    buffer[used++] = static_cast<BYTE>(unit >> 8);
  };
  auto flush = [&]() -> HRESULT {
    HRESULT hr = context.DoIO(buffer, static_cast<ULONG>(used));
    used = 0;
    return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, "GUserText::Serialize") : hr;
  };
  put(static_cast<uint32_t>(units));
  put(static_cast<uint32_t>(units >> 16));
  for (wchar_t c : text_) {
    if (used + 4 > sizeof buffer) {
      if (HRESULT hr = flush(); FAILED(hr)) return hr;
    }
    uint32_t u = static_cast<uint32_t>(c);
    if (u >= 0x10000 && u <= 0x10FFFF) {
      u -= 0x10000;
      put(0xD800 + (u >> 10));
      put(0xDC00 + (u & 0x3FF));
    } else {
      put((u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) ? 0xFFFD : u);
    }
  }
  HRESULT hr = flush();
  return FAILED(hr) ? hr : S_OK;
}

HRESULT GUserText::Read(const JIOStreamContext& context) {
  BYTE countBytes[4];
  HRESULT hr = context.DoIO(countBytes, sizeof countBytes);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "GUserText::Serialize");
  uint32_t remaining = countBytes[0] | countBytes[1] << 8 | countBytes[2] << 16 | uint32_t{countBytes[3]} << 24;

  // Read chunk by chunk so that a count larger than the stream costs no more
  // than the stream holds, and a failure changes nothing. A text of one chunk
  // (nearly every stored text) is read whole before anything changes, so it
  // is decoded straight into this text's own buffer: readers that reuse one
  // GUserText for many records allocate nothing once it is large enough.
  BYTE buffer[2 * kChunkUnits];
  std::wstring longer;
  const bool oneChunk = remaining <= kChunkUnits;
  if (oneChunk) {
    if (remaining > 0) {
      hr = context.DoIO(buffer, static_cast<ULONG>(2 * remaining));
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "GUserText::Serialize");
    }
    text_.clear();
  } else {
    longer.reserve(kChunkUnits);
  }
  std::wstring& result = oneChunk ? text_ : longer;
  uint32_t pendingLead = 0;  // a lead surrogate whose trail is in the next chunk
  while (remaining > 0) {
    size_t units = std::min<size_t>(remaining, kChunkUnits);
    if (!oneChunk) {
      hr = context.DoIO(buffer, static_cast<ULONG>(2 * units));
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "GUserText::Serialize");
    }
    remaining -= static_cast<uint32_t>(units);
    for (size_t i = 0; i < units; ++i) {
      uint32_t unit = buffer[2 * i] | buffer[2 * i + 1] << 8;
      if (pendingLead) {
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
          result.push_back(static_cast<wchar_t>(0x10000 + ((pendingLead - 0xD800) << 10) + (unit - 0xDC00)));
          pendingLead = 0;
          continue;
        }
        result.push_back(L'\xFFFD');
        pendingLead = 0;
      }
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        pendingLead = unit;
      } else {
        result.push_back(static_cast<wchar_t>(unit >= 0xDC00 && unit <= 0xDFFF ? 0xFFFD : unit));
      }
    }
  }
  if (pendingLead) result.push_back(L'\xFFFD');
  if (!oneChunk) text_.swap(result);
  Changed();
  return S_OK;
}

// --- GUserFileName ---------------------------------------------------------------

GUserText GUserFileName::BaseName(int withExtension) const {
  return GUserText(quorra::host::PathBaseName(View(), withExtension != 0));
}

GUserText GUserFileName::Directory() const { return GUserText(quorra::host::PathDirectory(View())); }

GUserText GUserFileName::Extension() const { return GUserText(quorra::host::PathExtension(View())); }
