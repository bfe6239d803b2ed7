// Text forms of GUIDs.
#include <cstdio>

#include "quorra/host/types.h"

namespace quorra::host {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits from text; false when any is not a hex digit.
bool ReadHex(const char*& text, int digits, uint32_t* out) {
  uint32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    int v = HexValue(text[i]);
    if (v < 0) return false;
    value = (value << 4) | static_cast<uint32_t>(v);
  }
  text += digits;
  *out = value;
  return true;
}

bool Expect(const char*& text, char c) {
  if (*text != c) return false;
  ++text;
  return true;
}

}  // namespace

bool ParseGuid(const char* text, GUID* out) {
  if (!text || !out) return false;
  bool braced = *text == '{';
  if (braced) ++text;
  GUID g{};
  uint32_t v;
  if (!ReadHex(text, 8, &v)) return false;
  g.Data1 = v;
  if (!Expect(text, '-') || !ReadHex(text, 4, &v)) return false;
  g.Data2 = static_cast<WORD>(v);
  if (!Expect(text, '-') || !ReadHex(text, 4, &v)) return false;
  g.Data3 = static_cast<WORD>(v);
  if (!Expect(text, '-')) return false;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !Expect(text, '-')) return false;
    if (!ReadHex(text, 2, &v)) return false;
    g.Data4[i] = static_cast<BYTE>(v);
  }
  if (braced && !Expect(text, '}')) return false;
  if (*text != '\0') return false;
  *out = g;
  return true;
}

void FormatGuid(const GUID& g, char (&out)[39]) {
  std::snprintf(out, sizeof out, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

}  // namespace quorra::host
