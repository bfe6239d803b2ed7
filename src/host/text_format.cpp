// printf-style formatting with the Windows C runtime's meaning of each
// conversion. The format is walked here; each conversion takes its argument
// with the type the Windows meaning gives it, and only the digits of a number
// are left to the C library (with a fixed argument type and the "C" locale),
// so no form can make the C library read an argument of the wrong width.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <locale.h>

#include "quorra/host/text.h"

namespace quorra::host {
namespace {

// Widths and precisions beyond this are taken as this: a runaway number in a
// format must not overflow the parser.
constexpr int kMaxFieldWidth = 1 << 20;

enum class Size { kNone, kChar, kShort, kLong32, kLong64, kPointerSized, kWide, kLongDouble };

struct Spec {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  bool zero = false;
  int width = 0;
  int precision = -1;  // -1: none
  Size size = Size::kNone;
  char conversion = 0;
};

// Appends narrow ASCII/UTF-8 bytes to either kind of output.
void AppendBytes(std::string& out, const char* text, size_t n) { out.append(text, n); }
void AppendBytes(std::wstring& out, const char* text, size_t n) { AppendNarrow(out, text, n, CP_UTF8); }

// Appends what snprintf makes of `field` and `value`, however long it is.
template <class Out, class T>
void AppendPrintf(Out& out, const char* field, T value) {
  char buffer[128];
  int n = std::snprintf(buffer, sizeof buffer, field, value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buffer) {
    AppendBytes(out, buffer, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), field, value);
  AppendBytes(out, big.data(), static_cast<size_t>(n));
}

// Numbers in the "C" locale whatever the process or thread locale is.
class CLocaleScope {
 public:
  CLocaleScope() {
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    previous_ = cLocale ? uselocale(cLocale) : static_cast<locale_t>(nullptr);
  }
  ~CLocaleScope() {
    if (previous_) uselocale(previous_);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_;
};

// The C library field for one number: flags, width, precision, then `length`
// and `conversion` (e.g. "ll", 'd').
class NumberSpec {
 public:
  NumberSpec(const Spec& field, const char* length, char conversion, int precision) {
    char* p = text_;
    *p++ = '%';
    if (field.left) *p++ = '-';
    if (field.plus) *p++ = '+';
    if (field.space) *p++ = ' ';
    if (field.alternate) *p++ = '#';
    if (field.zero) *p++ = '0';
    if (field.width > 0) p += std::snprintf(p, 12, "%d", field.width);
    if (precision >= 0) p += std::snprintf(p, 13, ".%d", precision);
    while (*length) *p++ = *length++;
    *p++ = conversion;
    *p = 0;
  }
  const char* c_str() const { return text_; }

 private:
  char text_[48];  // "%" + 5 flags + two bounded numbers + length + conversion
};

// Appends `text` (already in the output's character type) padded to the
// field: spaces, or zeros with the '0' flag as the Windows runtime does for
// text. Width counts characters.
template <class Out>
void AppendField(Out& out, const Out& text, const Spec& field, size_t characters) {
  size_t pad = field.width > 0 && static_cast<size_t>(field.width) > characters ? field.width - characters : 0;
  using Char = typename Out::value_type;
  Char fill = (field.zero && !field.left) ? Char('0') : Char(' ');
  if (!field.left) out.append(pad, fill);
  out += text;
  if (field.left) out.append(pad, Char(' '));
}

size_t CountCharacters(const std::wstring& text) { return text.size(); }
size_t CountCharacters(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// Cuts `text` to the precision, in characters, never inside a UTF-8 sequence.
void Truncate(std::wstring& text, int precision) {
  if (precision >= 0 && text.size() > static_cast<size_t>(precision)) text.resize(precision);
}
void Truncate(std::string& text, int precision) {
  if (precision < 0) return;
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (characters++ == static_cast<size_t>(precision)) {
      text.resize(i);
      return;
    }
  }
}

// The text argument of %s/%S/%c/%C in the output's character type.
std::wstring FromWide(std::wstring*, const wchar_t* text, size_t n) { return std::wstring(text, n); }
std::string FromWide(std::string*, const wchar_t* text, size_t n) { return ToUtf8(text, n); }
std::wstring FromNarrow(std::wstring*, const char* text, size_t n) { return FromUtf8(text, n); }
std::string FromNarrow(std::string*, const char* text, size_t n) { return std::string(text, n); }

template <class Char>
bool IsDigit(Char c) {
  return c >= Char('0') && c <= Char('9');
}

template <class Char>
int ParseNumber(const Char*& p) {
  int value = 0;
  while (IsDigit(*p)) {
    if (value < kMaxFieldWidth) value = value * 10 + static_cast<int>(*p - Char('0'));
    ++p;
  }
  return value < kMaxFieldWidth ? value : kMaxFieldWidth;
}

template <class Char>
bool StartsWith(const Char* p, const char* ascii) {
  for (; *ascii; ++p, ++ascii) {
    if (*p != static_cast<Char>(*ascii)) return false;
  }
  return true;
}

template <class Out>
void AppendInteger(Out& out, const Spec& field, va_list& args) {
  bool isSigned = field.conversion == 'd' || field.conversion == 'i';
  char conversion = field.conversion == 'i' ? 'd' : field.conversion;
  NumberSpec cspec(field, "ll", conversion, field.precision);
  if (isSigned) {
    long long v;
    switch (field.size) {
      case Size::kChar: v = static_cast<signed char>(va_arg(args, int)); break;
      case Size::kShort: v = static_cast<short>(va_arg(args, int)); break;
      case Size::kLong64:
      case Size::kPointerSized: v = static_cast<long long>(va_arg(args, int64_t)); break;
      default: v = va_arg(args, int32_t); break;  // none, l, I32: 32 bits
    }
    AppendPrintf(out, cspec.c_str(), v);
  } else {
    unsigned long long v;
    switch (field.size) {
      case Size::kChar: v = static_cast<unsigned char>(va_arg(args, unsigned)); break;
      case Size::kShort: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
      case Size::kLong64:
      case Size::kPointerSized: v = static_cast<unsigned long long>(va_arg(args, uint64_t)); break;
      default: v = va_arg(args, uint32_t); break;
    }
    AppendPrintf(out, cspec.c_str(), v);
  }
}

template <class Out>
void AppendFloat(Out& out, const Spec& field, va_list& args) {
  CLocaleScope cLocale;
  if (field.size == Size::kLongDouble) {
    long double v = va_arg(args, long double);
    AppendPrintf(out, NumberSpec(field, "L", field.conversion, field.precision).c_str(), v);
  } else {
    double v = va_arg(args, double);
    AppendPrintf(out, NumberSpec(field, "", field.conversion, field.precision).c_str(), v);
  }
}

// %p: 16 upper-case hexadecimal digits whatever precision is asked; '#' adds
// "0X" (not for null); the '0' flag has no effect since the digits are fixed.
template <class Out>
void AppendPointer(Out& out, Spec field, va_list& args) {
  auto v = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*)));
  field.zero = false;
  field.plus = field.space = false;
  AppendPrintf(out, NumberSpec(field, "ll", 'X', 16).c_str(), v);
}

// Text conversions. `wide` tells which kind of argument the conversion takes.
template <class Out>
void AppendText(Out& out, const Spec& field, bool wide, bool isChar, va_list& args) {
  Out text;
  if (isChar) {
    if (wide) {
      wchar_t c = static_cast<wchar_t>(va_arg(args, unsigned));  // wint_t
      text = FromWide(&text, &c, 1);
    } else {
      char c = static_cast<char>(va_arg(args, int));
      text = FromNarrow(&text, &c, 1);
    }
  } else if (wide) {
    const wchar_t* s = va_arg(args, const wchar_t*);
    if (!s) s = L"(null)";
    size_t n = std::wcslen(s);
    // Convert no more than the precision can keep.
    if (field.precision >= 0 && n > static_cast<size_t>(field.precision)) n = field.precision;
    text = FromWide(&text, s, n);
  } else {
    const char* s = va_arg(args, const char*);
    if (!s) s = "(null)";
    text = FromNarrow(&text, s, std::strlen(s));
  }
  Truncate(text, field.precision);
  AppendField(out, text, field, CountCharacters(text));
}

template <class Out>
void AppendFormatImpl(Out& out, const typename Out::value_type* format, va_list& args) {
  using Char = typename Out::value_type;
  constexpr bool kWideFormat = sizeof(Char) != 1;
  if (!format) return;
  const Char* p = format;
  while (*p) {
    const Char* literal = p;
    while (*p && *p != Char('%')) ++p;
    out.append(literal, p - literal);
    if (!*p) break;

    const Char* directive = p++;
    if (*p == Char('%')) {
      out.push_back(Char('%'));
      ++p;
      continue;
    }
    Spec field;
    for (;; ++p) {
      if (*p == Char('-')) field.left = true;
      else if (*p == Char('+')) field.plus = true;
      else if (*p == Char(' ')) field.space = true;
      else if (*p == Char('#')) field.alternate = true;
      else if (*p == Char('0')) field.zero = true;
      else break;
    }
    if (*p == Char('*')) {
      ++p;
      int w = va_arg(args, int);
      if (w < 0) {
        field.left = true;
        w = w == INT32_MIN ? kMaxFieldWidth : -w;
      }
      field.width = w < kMaxFieldWidth ? w : kMaxFieldWidth;
    } else {
      field.width = ParseNumber(p);
    }
    if (*p == Char('.')) {
      ++p;
      if (*p == Char('*')) {
        ++p;
        int v = va_arg(args, int);
        field.precision = v < 0 ? -1 : (v < kMaxFieldWidth ? v : kMaxFieldWidth);
      } else {
        field.precision = ParseNumber(p);
      }
    }
    if (StartsWith(p, "I64")) {
      field.size = Size::kLong64;
      p += 3;
    } else if (StartsWith(p, "I32")) {
      field.size = Size::kLong32;
      p += 3;
    } else if (StartsWith(p, "ll")) {
      field.size = Size::kLong64;
      p += 2;
    } else if (StartsWith(p, "hh")) {
      field.size = Size::kChar;
      p += 2;
    } else if (*p == Char('I') || *p == Char('z') || *p == Char('t') || *p == Char('j')) {
      field.size = Size::kPointerSized;
      ++p;
    } else if (*p == Char('h')) {
      field.size = Size::kShort;
      ++p;
    } else if (*p == Char('l')) {
      field.size = Size::kLong32;
      ++p;
    } else if (*p == Char('w')) {
      field.size = Size::kWide;
      ++p;
    } else if (*p == Char('L')) {
      field.size = Size::kLongDouble;
      ++p;
    }

    Char c = *p;
    field.conversion = (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    if (c) ++p;
    // Which kind of text argument %s/%c (lower) and %S/%C (upper) take.
    bool lowerWide = kWideFormat;
    if (field.size == Size::kShort) lowerWide = false;
    if (field.size == Size::kLong32 || field.size == Size::kWide) lowerWide = true;
    bool upperWide = (field.size == Size::kShort) ? false
                     : (field.size == Size::kLong32 || field.size == Size::kWide) ? true
                                                                                 : !kWideFormat;
    switch (field.conversion) {
      case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
        AppendInteger(out, field, args);
        break;
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        AppendFloat(out, field, args);
        break;
      case 'p':
        AppendPointer(out, field, args);
        break;
      case 's': AppendText(out, field, lowerWide, false, args); break;
      case 'c': AppendText(out, field, lowerWide, true, args); break;
      case 'S': AppendText(out, field, upperWide, false, args); break;
      case 'C': AppendText(out, field, upperWide, true, args); break;
      case 'n':
        (void)va_arg(args, void*);  // counts are never written back
        break;
      default:
        // Unknown conversion: shown as written, consuming no argument.
        out.append(directive, p - directive);
        break;
    }
  }
}

}  // namespace

void AppendFormatV(std::wstring& out, const wchar_t* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  AppendFormatImpl(out, format, copy);
  va_end(copy);
}

void AppendFormatV(std::string& out, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  AppendFormatImpl(out, format, copy);
  va_end(copy);
}

std::wstring FormatWide(const wchar_t* format, ...) {
  std::wstring out;
  va_list args;
  va_start(args, format);
  AppendFormatV(out, format, args);
  va_end(args);
  return out;
}

std::string FormatNarrow(const char* format, ...) {
  std::string out;
  va_list args;
  va_start(args, format);
  AppendFormatV(out, format, args);
  va_end(args);
  return out;
}

}  // namespace quorra::host
