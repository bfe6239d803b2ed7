// Symbology words: the 32-bit display style of an attachment or occurrence.
//
// A word with bit 30 (SYMBOLOGY_PACKED) is packed: it carries its colour and
// line settings itself.
//   bits  0- 3  red level (4 bits)        bits 16-18  first material level (3 bits)
//   bits  4- 7  green level               bits 19-21  second material level
//   bits  8-11  blue level                bits 22-24  third material level
//   bits 12-15  fourth level (alpha)      bits 25-27  line-width code
//   bit  29     set in every style-library key made from a packed word
//   bit  30     packed
// Any other word is a key of the style library; where a colour is needed its
// low 24 bits read as 8-bit red (bits 0-7), green (8-15) and blue (16-23).
#pragma once

#include "quorra/host/styles.h"
#include "quorra/host/types.h"

constexpr DWORD SYMBOLOGY_PACKED = 0x40000000u;
constexpr DWORD SYMBOLOGY_PACKED_KEY = 0x20000000u;

namespace quorra {

// Levels from components in 0..1 (values outside are clamped).
// 4 bits: the integer part of x * 15 + 1/30; 3 bits: of x * 7 + 1/14.
DWORD QuantizeLevel4(double x);
DWORD QuantizeLevel3(double x);
// A 4-bit level expanded to 8 bits: (c * 255 + 7) / 15, rounded down.
DWORD ExpandLevel4(DWORD level);

// The line width of a width code (0..7: 1, 1, 2, 3, 5, 7, 9, 11).
double LineWidthOfCode(DWORD code);
// The width code of a line width: n = floor(|w + 0.5|) clamped to 0..16,
// then entry n of 0, 0, 1, 2, 2, 3, 3, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7.
DWORD LineWidthCode(double width);

// Packs a colour (red, green, blue, fourth component) and three material
// levels, all in 0..1, and a line width. Bits 28, 29 and 31 are 0.
DWORD PackSymbology(double red, double green, double blue, double fourth, double level1, double level2,
                    double level3, double width);
// Packs an 8-bit colour (byte 0 red, 1 green, 2 blue) the way plain colours
// become styles: fourth component 1, first level 0.85, the others 0, width 1.
DWORD PackColorSymbology(DWORD rgb);

// The style-library key of a symbology: the word itself when it is not
// packed; for a packed word its low 29 bits with bit 29 set.
DWORD SymbologyStyleKey(DWORD symbology);

// The material a packed word describes: colour from the expanded red, green
// and blue levels, alpha from the fourth level, a second colour triple of
// the same levels, the three 3-bit levels (level / 7) and the line width of
// the width code. Colours are scaled by 0.75 unless bits 29 and 30 of the
// word are both set.
GStyle3D SymbologyMaterial(DWORD packed);

// The colour of the user preference "Options-Color" / "Disabled" (default
// 0x808080), which stands in for a symbology that is a key of no style.
DWORD DisabledPreferenceColor();

// The style of a symbology in a library (validated first): found under the
// symbology's key, or made, added under the key (named "0x%8.8X" with the
// key) and found again. A word that is not packed is made from the
// "Disabled" preference colour. Null for symbology 0, or when the library
// cannot make the style.
GGlobalStyle3D* FindOrCreateSymbologyStyle(IJStyleLibrary* library, DWORD symbology);

}  // namespace quorra
