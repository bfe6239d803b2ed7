// Symbology words: packing colours and levels, line-width codes, the style
// key of a word, and the styles made from words in a style library.
#include "quorra/symbology.h"

#include <algorithm>
#include <cmath>

#include "quorra/host/switches.h"
#include "quorra/host/text.h"

namespace {

double Clamp01(double x) { return std::isnan(x) ? 0.0 : std::clamp(x, 0.0, 1.0); }

constexpr double kWidthOfCode[8] = {1, 1, 2, 3, 5, 7, 9, 11};
constexpr DWORD kCodeOfWidth[17] = {0, 0, 1, 2, 2, 3, 3, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7};

}  // namespace

namespace quorra {

DWORD QuantizeLevel4(double x) { return static_cast<DWORD>(Clamp01(x) * 15.0 + 1.0 / 30.0); }

DWORD QuantizeLevel3(double x) { return static_cast<DWORD>(Clamp01(x) * 7.0 + 1.0 / 14.0); }

DWORD ExpandLevel4(DWORD level) { return ((level & 0xF) * 255 + 7) / 15; }

double LineWidthOfCode(DWORD code) { return kWidthOfCode[code & 7]; }

DWORD LineWidthCode(double width) {
  const double magnitude = std::fabs(width + 0.5);
  if (!(magnitude >= 1.0)) return kCodeOfWidth[0];  // also NaN
  if (magnitude > 16.0) return kCodeOfWidth[16];
  return kCodeOfWidth[static_cast<int>(magnitude)];
}

DWORD PackSymbology(double red, double green, double blue, double fourth, double level1, double level2,
                    double level3, double width) {
  return SYMBOLOGY_PACKED | QuantizeLevel4(red) | QuantizeLevel4(green) << 4 | QuantizeLevel4(blue) << 8 |
         QuantizeLevel4(fourth) << 12 | QuantizeLevel3(level1) << 16 | QuantizeLevel3(level2) << 19 |
         QuantizeLevel3(level3) << 22 | LineWidthCode(width) << 25;
}

DWORD PackColorSymbology(DWORD rgb) {
  return PackSymbology((rgb & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, ((rgb >> 16) & 0xFF) / 255.0, 1.0, 0.85,
                       0.0, 0.0, 1.0);
}

DWORD SymbologyStyleKey(DWORD symbology) {
  if (!(symbology & SYMBOLOGY_PACKED)) return symbology;
  return (symbology & 0x1FFFFFFFu) | SYMBOLOGY_PACKED_KEY;
}

GStyle3D SymbologyMaterial(DWORD packed) {
  auto channel = [&](int shift) { return static_cast<float>(ExpandLevel4(packed >> shift) / 255.0); };
  GStyle3D style;
  style.color = GColor(channel(0), channel(4), channel(8), channel(12));
  style.secondColor = GColor(style.color.red, style.color.green, style.color.blue, 1.0f);
  for (int i = 0; i < 3; ++i) style.levels[i] = static_cast<float>(((packed >> (16 + 3 * i)) & 7) / 7.0);
  style.lineWidth = static_cast<float>(LineWidthOfCode(packed >> 25));
  if ((packed & (SYMBOLOGY_PACKED | SYMBOLOGY_PACKED_KEY)) != (SYMBOLOGY_PACKED | SYMBOLOGY_PACKED_KEY)) {
    for (GColor* color : {&style.color, &style.secondColor}) {
      color->red *= 0.75f;
      color->green *= 0.75f;
      color->blue *= 0.75f;
    }
  }
  return style;
}

// A user preference: read when a style is made (rarely), so a change takes
// effect for styles made afterwards.
DWORD DisabledPreferenceColor() { return JGetUserPrefDWORD(L"Options-Color", L"Disabled", 0x808080); }

GGlobalStyle3D* FindOrCreateSymbologyStyle(IJStyleLibrary* library, DWORD symbology) {
  if (!symbology) return nullptr;
  IJStyleLibrary* styles = ValidateStyleLibrary(library);
  const DWORD key = SymbologyStyleKey(symbology);
  if (GGlobalStyle3D* style = styles->FindStyle(key)) return style;
  const DWORD packed =
      (symbology & SYMBOLOGY_PACKED) ? symbology : PackColorSymbology(DisabledPreferenceColor());
  const std::wstring name = quorra::host::FormatWide(L"0x%8.8X", key);
  if (FAILED(styles->CreateStyle(key, name.c_str(), SymbologyMaterial(packed)))) return nullptr;
  return styles->FindStyle(key);
}

}  // namespace quorra
