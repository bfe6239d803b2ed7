// Text conversions between UTF-32 (wchar_t), UTF-16 and UTF-8, the narrow code
// pages, the simple Unicode case mappings, ordinal and case-blind comparison,
// and the path splitting the file-name value uses. Every loop here works in
// place or into one result reserved up front.
#include <algorithm>
#include <cstdint>

#include "quorra/host/text.h"

namespace quorra::host {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDFFF; }
bool IsScalar(uint32_t u) { return u <= 0x10FFFF && !IsSurrogate(u); }

// --- Case tables: the simple case mappings of Unicode 14 (the single-character
// lower- and upper-case fields of UnicodeData.txt), packed as ranges. A range
// maps every code point from `first` to `last` (stride 1), or every second one
// starting at `first` (stride 2, the alternating upper/lower pairs of the
// Latin, Greek and Cyrillic blocks), by adding `delta`. Ranges are sorted and
// never overlap; the gaps of a stride-2 range map to nothing.
struct CaseRange {
  uint32_t first;
  uint32_t last;
  int32_t delta;
  uint32_t stride;
};

// clang-format off
constexpr CaseRange kLowerRanges[] = {
    {0x0041, 0x005A, 32, 1}, {0x00C0, 0x00D6, 32, 1}, {0x00D8, 0x00DE, 32, 1}, {0x0100, 0x012E, 1, 2},
    {0x0130, 0x0130, -199, 1}, {0x0132, 0x0136, 1, 2}, {0x0139, 0x0147, 1, 2}, {0x014A, 0x0176, 1, 2},
    {0x0178, 0x0178, -121, 1}, {0x0179, 0x017D, 1, 2}, {0x0181, 0x0181, 210, 1}, {0x0182, 0x0184, 1, 2},
    {0x0186, 0x0186, 206, 1}, {0x0187, 0x0187, 1, 1}, {0x0189, 0x018A, 205, 1}, {0x018B, 0x018B, 1, 1},
    {0x018E, 0x018E, 79, 1}, {0x018F, 0x018F, 202, 1}, {0x0190, 0x0190, 203, 1}, {0x0191, 0x0191, 1, 1},
    {0x0193, 0x0193, 205, 1}, {0x0194, 0x0194, 207, 1}, {0x0196, 0x0196, 211, 1}, {0x0197, 0x0197, 209, 1},
    {0x0198, 0x0198, 1, 1}, {0x019C, 0x019C, 211, 1}, {0x019D, 0x019D, 213, 1}, {0x019F, 0x019F, 214, 1},
    {0x01A0, 0x01A4, 1, 2}, {0x01A6, 0x01A6, 218, 1}, {0x01A7, 0x01A7, 1, 1}, {0x01A9, 0x01A9, 218, 1},
    {0x01AC, 0x01AC, 1, 1}, {0x01AE, 0x01AE, 218, 1}, {0x01AF, 0x01AF, 1, 1}, {0x01B1, 0x01B2, 217, 1},
    {0x01B3, 0x01B5, 1, 2}, {0x01B7, 0x01B7, 219, 1}, {0x01B8, 0x01B8, 1, 1}, {0x01BC, 0x01BC, 1, 1},
    {0x01C4, 0x01C4, 2, 1}, {0x01C5, 0x01C5, 1, 1}, {0x01C7, 0x01C7, 2, 1}, {0x01C8, 0x01C8, 1, 1},
    {0x01CA, 0x01CA, 2, 1}, {0x01CB, 0x01DB, 1, 2}, {0x01DE, 0x01EE, 1, 2}, {0x01F1, 0x01F1, 2, 1},
    {0x01F2, 0x01F4, 1, 2}, {0x01F6, 0x01F6, -97, 1}, {0x01F7, 0x01F7, -56, 1}, {0x01F8, 0x021E, 1, 2},
    {0x0220, 0x0220, -130, 1}, {0x0222, 0x0232, 1, 2}, {0x023A, 0x023A, 10795, 1}, {0x023B, 0x023B, 1, 1},
    {0x023D, 0x023D, -163, 1}, {0x023E, 0x023E, 10792, 1}, {0x0241, 0x0241, 1, 1}, {0x0243, 0x0243, -195, 1},
    {0x0244, 0x0244, 69, 1}, {0x0245, 0x0245, 71, 1}, {0x0246, 0x024E, 1, 2}, {0x0370, 0x0372, 1, 2},
    {0x0376, 0x0376, 1, 1}, {0x037F, 0x037F, 116, 1}, {0x0386, 0x0386, 38, 1}, {0x0388, 0x038A, 37, 1},
    {0x038C, 0x038C, 64, 1}, {0x038E, 0x038F, 63, 1}, {0x0391, 0x03A1, 32, 1}, {0x03A3, 0x03AB, 32, 1},
    {0x03CF, 0x03CF, 8, 1}, {0x03D8, 0x03EE, 1, 2}, {0x03F4, 0x03F4, -60, 1}, {0x03F7, 0x03F7, 1, 1},
    {0x03F9, 0x03F9, -7, 1}, {0x03FA, 0x03FA, 1, 1}, {0x03FD, 0x03FF, -130, 1}, {0x0400, 0x040F, 80, 1},
    {0x0410, 0x042F, 32, 1}, {0x0460, 0x0480, 1, 2}, {0x048A, 0x04BE, 1, 2}, {0x04C0, 0x04C0, 15, 1},
    {0x04C1, 0x04CD, 1, 2}, {0x04D0, 0x052E, 1, 2}, {0x0531, 0x0556, 48, 1}, {0x10A0, 0x10C5, 7264, 1},
    {0x10C7, 0x10C7, 7264, 1}, {0x10CD, 0x10CD, 7264, 1}, {0x13A0, 0x13EF, 38864, 1}, {0x13F0, 0x13F5, 8, 1},
    {0x1C90, 0x1CBA, -3008, 1}, {0x1CBD, 0x1CBF, -3008, 1}, {0x1E00, 0x1E94, 1, 2}, {0x1E9E, 0x1E9E, -7615, 1},
    {0x1EA0, 0x1EFE, 1, 2}, {0x1F08, 0x1F0F, -8, 1}, {0x1F18, 0x1F1D, -8, 1}, {0x1F28, 0x1F2F, -8, 1},
    {0x1F38, 0x1F3F, -8, 1}, {0x1F48, 0x1F4D, -8, 1}, {0x1F59, 0x1F5F, -8, 2}, {0x1F68, 0x1F6F, -8, 1},
    {0x1F88, 0x1F8F, -8, 1}, {0x1F98, 0x1F9F, -8, 1}, {0x1FA8, 0x1FAF, -8, 1}, {0x1FB8, 0x1FB9, -8, 1},
    {0x1FBA, 0x1FBB, -74, 1}, {0x1FBC, 0x1FBC, -9, 1}, {0x1FC8, 0x1FCB, -86, 1}, {0x1FCC, 0x1FCC, -9, 1},
    {0x1FD8, 0x1FD9, -8, 1}, {0x1FDA, 0x1FDB, -100, 1}, {0x1FE8, 0x1FE9, -8, 1}, {0x1FEA, 0x1FEB, -112, 1},
    {0x1FEC, 0x1FEC, -7, 1}, {0x1FF8, 0x1FF9, -128, 1}, {0x1FFA, 0x1FFB, -126, 1}, {0x1FFC, 0x1FFC, -9, 1},
    {0x2126, 0x2126, -7517, 1}, {0x212A, 0x212A, -8383, 1}, {0x212B, 0x212B, -8262, 1}, {0x2132, 0x2132, 28, 1},
    {0x2160, 0x216F, 16, 1}, {0x2183, 0x2183, 1, 1}, {0x24B6, 0x24CF, 26, 1}, {0x2C00, 0x2C2F, 48, 1},
    {0x2C60, 0x2C60, 1, 1}, {0x2C62, 0x2C62, -10743, 1}, {0x2C63, 0x2C63, -3814, 1}, {0x2C64, 0x2C64, -10727, 1},
    {0x2C67, 0x2C6B, 1, 2}, {0x2C6D, 0x2C6D, -10780, 1}, {0x2C6E, 0x2C6E, -10749, 1}, {0x2C6F, 0x2C6F, -10783, 1},
    {0x2C70, 0x2C70, -10782, 1}, {0x2C72, 0x2C72, 1, 1}, {0x2C75, 0x2C75, 1, 1}, {0x2C7E, 0x2C7F, -10815, 1},
    {0x2C80, 0x2CE2, 1, 2}, {0x2CEB, 0x2CED, 1, 2}, {0x2CF2, 0x2CF2, 1, 1}, {0xA640, 0xA66C, 1, 2},
    {0xA680, 0xA69A, 1, 2}, {0xA722, 0xA72E, 1, 2}, {0xA732, 0xA76E, 1, 2}, {0xA779, 0xA77B, 1, 2},
    {0xA77D, 0xA77D, -35332, 1}, {0xA77E, 0xA786, 1, 2}, {0xA78B, 0xA78B, 1, 1}, {0xA78D, 0xA78D, -42280, 1},
    {0xA790, 0xA792, 1, 2}, {0xA796, 0xA7A8, 1, 2}, {0xA7AA, 0xA7AA, -42308, 1}, {0xA7AB, 0xA7AB, -42319, 1},
    {0xA7AC, 0xA7AC, -42315, 1}, {0xA7AD, 0xA7AD, -42305, 1}, {0xA7AE, 0xA7AE, -42308, 1},
    {0xA7B0, 0xA7B0, -42258, 1}, {0xA7B1, 0xA7B1, -42282, 1}, {0xA7B2, 0xA7B2, -42261, 1}, {0xA7B3, 0xA7B3, 928, 1},
    {0xA7B4, 0xA7C2, 1, 2}, {0xA7C4, 0xA7C4, -48, 1}, {0xA7C5, 0xA7C5, -42307, 1}, {0xA7C6, 0xA7C6, -35384, 1},
    {0xA7C7, 0xA7C9, 1, 2}, {0xA7D0, 0xA7D0, 1, 1}, {0xA7D6, 0xA7D8, 1, 2}, {0xA7F5, 0xA7F5, 1, 1},
    {0xFF21, 0xFF3A, 32, 1}, {0x10400, 0x10427, 40, 1}, {0x104B0, 0x104D3, 40, 1}, {0x10570, 0x1057A, 39, 1},
    {0x1057C, 0x1058A, 39, 1}, {0x1058C, 0x10592, 39, 1}, {0x10594, 0x10595, 39, 1}, {0x10C80, 0x10CB2, 64, 1},
    {0x118A0, 0x118BF, 32, 1}, {0x16E40, 0x16E5F, 32, 1}, {0x1E900, 0x1E921, 34, 1},
};

constexpr CaseRange kUpperRanges[] = {
    {0x0061, 0x007A, -32, 1}, {0x00B5, 0x00B5, 743, 1}, {0x00E0, 0x00F6, -32, 1}, {0x00F8, 0x00FE, -32, 1},
    {0x00FF, 0x00FF, 121, 1}, {0x0101, 0x012F, -1, 2}, {0x0131, 0x0131, -232, 1}, {0x0133, 0x0137, -1, 2},
    {0x013A, 0x0148, -1, 2}, {0x014B, 0x0177, -1, 2}, {0x017A, 0x017E, -1, 2}, {0x017F, 0x017F, -300, 1},
    {0x0180, 0x0180, 195, 1}, {0x0183, 0x0185, -1, 2}, {0x0188, 0x0188, -1, 1}, {0x018C, 0x018C, -1, 1},
    {0x0192, 0x0192, -1, 1}, {0x0195, 0x0195, 97, 1}, {0x0199, 0x0199, -1, 1}, {0x019A, 0x019A, 163, 1},
    {0x019E, 0x019E, 130, 1}, {0x01A1, 0x01A5, -1, 2}, {0x01A8, 0x01A8, -1, 1}, {0x01AD, 0x01AD, -1, 1},
    {0x01B0, 0x01B0, -1, 1}, {0x01B4, 0x01B6, -1, 2}, {0x01B9, 0x01B9, -1, 1}, {0x01BD, 0x01BD, -1, 1},
    {0x01BF, 0x01BF, 56, 1}, {0x01C5, 0x01C5, -1, 1}, {0x01C6, 0x01C6, -2, 1}, {0x01C8, 0x01C8, -1, 1},
    {0x01C9, 0x01C9, -2, 1}, {0x01CB, 0x01CB, -1, 1}, {0x01CC, 0x01CC, -2, 1}, {0x01CE, 0x01DC, -1, 2},
    {0x01DD, 0x01DD, -79, 1}, {0x01DF, 0x01EF, -1, 2}, {0x01F2, 0x01F2, -1, 1}, {0x01F3, 0x01F3, -2, 1},
    {0x01F5, 0x01F5, -1, 1}, {0x01F9, 0x021F, -1, 2}, {0x0223, 0x0233, -1, 2}, {0x023C, 0x023C, -1, 1},
    {0x023F, 0x0240, 10815, 1}, {0x0242, 0x0242, -1, 1}, {0x0247, 0x024F, -1, 2}, {0x0250, 0x0250, 10783, 1},
    {0x0251, 0x0251, 10780, 1}, {0x0252, 0x0252, 10782, 1}, {0x0253, 0x0253, -210, 1}, {0x0254, 0x0254, -206, 1},
    {0x0256, 0x0257, -205, 1}, {0x0259, 0x0259, -202, 1}, {0x025B, 0x025B, -203, 1}, {0x025C, 0x025C, 42319, 1},
    {0x0260, 0x0260, -205, 1}, {0x0261, 0x0261, 42315, 1}, {0x0263, 0x0263, -207, 1}, {0x0265, 0x0265, 42280, 1},
    {0x0266, 0x0266, 42308, 1}, {0x0268, 0x0268, -209, 1}, {0x0269, 0x0269, -211, 1}, {0x026A, 0x026A, 42308, 1},
    {0x026B, 0x026B, 10743, 1}, {0x026C, 0x026C, 42305, 1}, {0x026F, 0x026F, -211, 1}, {0x0271, 0x0271, 10749, 1},
    {0x0272, 0x0272, -213, 1}, {0x0275, 0x0275, -214, 1}, {0x027D, 0x027D, 10727, 1}, {0x0280, 0x0280, -218, 1},
    {0x0282, 0x0282, 42307, 1}, {0x0283, 0x0283, -218, 1}, {0x0287, 0x0287, 42282, 1}, {0x0288, 0x0288, -218, 1},
    {0x0289, 0x0289, -69, 1}, {0x028A, 0x028B, -217, 1}, {0x028C, 0x028C, -71, 1}, {0x0292, 0x0292, -219, 1},
    {0x029D, 0x029D, 42261, 1}, {0x029E, 0x029E, 42258, 1}, {0x0345, 0x0345, 84, 1}, {0x0371, 0x0373, -1, 2},
    {0x0377, 0x0377, -1, 1}, {0x037B, 0x037D, 130, 1}, {0x03AC, 0x03AC, -38, 1}, {0x03AD, 0x03AF, -37, 1},
    {0x03B1, 0x03C1, -32, 1}, {0x03C2, 0x03C2, -31, 1}, {0x03C3, 0x03CB, -32, 1}, {0x03CC, 0x03CC, -64, 1},
    {0x03CD, 0x03CE, -63, 1}, {0x03D0, 0x03D0, -62, 1}, {0x03D1, 0x03D1, -57, 1}, {0x03D5, 0x03D5, -47, 1},
    {0x03D6, 0x03D6, -54, 1}, {0x03D7, 0x03D7, -8, 1}, {0x03D9, 0x03EF, -1, 2}, {0x03F0, 0x03F0, -86, 1},
    {0x03F1, 0x03F1, -80, 1}, {0x03F2, 0x03F2, 7, 1}, {0x03F3, 0x03F3, -116, 1}, {0x03F5, 0x03F5, -96, 1},
    {0x03F8, 0x03F8, -1, 1}, {0x03FB, 0x03FB, -1, 1}, {0x0430, 0x044F, -32, 1}, {0x0450, 0x045F, -80, 1},
    {0x0461, 0x0481, -1, 2}, {0x048B, 0x04BF, -1, 2}, {0x04C2, 0x04CE, -1, 2}, {0x04CF, 0x04CF, -15, 1},
    {0x04D1, 0x052F, -1, 2}, {0x0561, 0x0586, -48, 1}, {0x10D0, 0x10FA, 3008, 1}, {0x10FD, 0x10FF, 3008, 1},
    {0x13F8, 0x13FD, -8, 1}, {0x1C80, 0x1C80, -6254, 1}, {0x1C81, 0x1C81, -6253, 1}, {0x1C82, 0x1C82, -6244, 1},
    {0x1C83, 0x1C84, -6242, 1}, {0x1C85, 0x1C85, -6243, 1}, {0x1C86, 0x1C86, -6236, 1}, {0x1C87, 0x1C87, -6181, 1},
    {0x1C88, 0x1C88, 35266, 1}, {0x1D79, 0x1D79, 35332, 1}, {0x1D7D, 0x1D7D, 3814, 1}, {0x1D8E, 0x1D8E, 35384, 1},
    {0x1E01, 0x1E95, -1, 2}, {0x1E9B, 0x1E9B, -59, 1}, {0x1EA1, 0x1EFF, -1, 2}, {0x1F00, 0x1F07, 8, 1},
    {0x1F10, 0x1F15, 8, 1}, {0x1F20, 0x1F27, 8, 1}, {0x1F30, 0x1F37, 8, 1}, {0x1F40, 0x1F45, 8, 1},
    {0x1F51, 0x1F57, 8, 2}, {0x1F60, 0x1F67, 8, 1}, {0x1F70, 0x1F71, 74, 1}, {0x1F72, 0x1F75, 86, 1},
    {0x1F76, 0x1F77, 100, 1}, {0x1F78, 0x1F79, 128, 1}, {0x1F7A, 0x1F7B, 112, 1}, {0x1F7C, 0x1F7D, 126, 1},
    {0x1F80, 0x1F87, 8, 1}, {0x1F90, 0x1F97, 8, 1}, {0x1FA0, 0x1FA7, 8, 1}, {0x1FB0, 0x1FB1, 8, 1},
    {0x1FB3, 0x1FB3, 9, 1}, {0x1FBE, 0x1FBE, -7205, 1}, {0x1FC3, 0x1FC3, 9, 1}, {0x1FD0, 0x1FD1, 8, 1},
    {0x1FE0, 0x1FE1, 8, 1}, {0x1FE5, 0x1FE5, 7, 1}, {0x1FF3, 0x1FF3, 9, 1}, {0x214E, 0x214E, -28, 1},
    {0x2170, 0x217F, -16, 1}, {0x2184, 0x2184, -1, 1}, {0x24D0, 0x24E9, -26, 1}, {0x2C30, 0x2C5F, -48, 1},
    {0x2C61, 0x2C61, -1, 1}, {0x2C65, 0x2C65, -10795, 1}, {0x2C66, 0x2C66, -10792, 1}, {0x2C68, 0x2C6C, -1, 2},
    {0x2C73, 0x2C73, -1, 1}, {0x2C76, 0x2C76, -1, 1}, {0x2C81, 0x2CE3, -1, 2}, {0x2CEC, 0x2CEE, -1, 2},
    {0x2CF3, 0x2CF3, -1, 1}, {0x2D00, 0x2D25, -7264, 1}, {0x2D27, 0x2D27, -7264, 1}, {0x2D2D, 0x2D2D, -7264, 1},
    {0xA641, 0xA66D, -1, 2}, {0xA681, 0xA69B, -1, 2}, {0xA723, 0xA72F, -1, 2}, {0xA733, 0xA76F, -1, 2},
    {0xA77A, 0xA77C, -1, 2}, {0xA77F, 0xA787, -1, 2}, {0xA78C, 0xA78C, -1, 1}, {0xA791, 0xA793, -1, 2},
    {0xA794, 0xA794, 48, 1}, {0xA797, 0xA7A9, -1, 2}, {0xA7B5, 0xA7C3, -1, 2}, {0xA7C8, 0xA7CA, -1, 2},
    {0xA7D1, 0xA7D1, -1, 1}, {0xA7D7, 0xA7D9, -1, 2}, {0xA7F6, 0xA7F6, -1, 1}, {0xAB53, 0xAB53, -928, 1},
    {0xAB70, 0xABBF, -38864, 1}, {0xFF41, 0xFF5A, -32, 1}, {0x10428, 0x1044F, -40, 1}, {0x104D8, 0x104FB, -40, 1},
    {0x10597, 0x105A1, -39, 1}, {0x105A3, 0x105B1, -39, 1}, {0x105B3, 0x105B9, -39, 1}, {0x105BB, 0x105BC, -39, 1},
    {0x10CC0, 0x10CF2, -64, 1}, {0x118C0, 0x118DF, -32, 1}, {0x16E60, 0x16E7F, -32, 1}, {0x1E922, 0x1E943, -34, 1},
};
// clang-format on

template <size_t N>
wchar_t MapCase(const CaseRange (&ranges)[N], uint32_t u) {
  const CaseRange* end = ranges + N;
  const CaseRange* it =
      std::upper_bound(ranges, end, u, [](uint32_t value, const CaseRange& r) { return value < r.first; });
  if (it == ranges) return static_cast<wchar_t>(u);
  --it;
  if (u > it->last || ((u - it->first) & (it->stride - 1)) != 0) return static_cast<wchar_t>(u);
  return static_cast<wchar_t>(static_cast<int32_t>(u) + it->delta);
}

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five bytes it
// leaves undefined map to the C1 controls, as the system's converter does.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Order key of one character: its position in UTF-16 code-unit order. Code
// points from U+E000 to U+FFFF sort after the supplementary planes there,
// because those are written with lead surrogates D800..DBFF.
uint32_t OrderKey(wchar_t c) {
  uint32_t u = static_cast<uint32_t>(c);
  return (u >= 0xE000 && u <= 0xFFFF) ? u + 0x200000 : u;
}

int CompareTail(size_t a, size_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool HasDrive(std::wstring_view path) {
  return path.size() >= 2 && path[1] == L':' &&
         ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
}

// Index where the file's own name starts.
size_t NameStart(std::wstring_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsSeparator(path[i - 1])) return i;
  }
  return HasDrive(path) ? 2 : 0;
}

}  // namespace

// --- Conversions --------------------------------------------------------------

size_t Utf16Length(std::wstring_view text) {
  size_t units = text.size();
  for (wchar_t c : text) {
    uint32_t u = static_cast<uint32_t>(c);
    if (u >= 0x10000 && u <= 0x10FFFF) ++units;
  }
  return units;
}

std::u16string ToUtf16(const wchar_t* text, size_t length) {
  std::u16string out;
  if (!text || length == 0) return out;
  out.resize(Utf16Length(std::wstring_view(text, length)));
  char16_t* p = out.data();
  for (size_t i = 0; i < length; ++i) {
    uint32_t u = static_cast<uint32_t>(text[i]);
    if (u < 0x10000) {
      *p++ = IsSurrogate(u) ? static_cast<char16_t>(kReplacement) : static_cast<char16_t>(u);
    } else if (u <= 0x10FFFF) {
      u -= 0x10000;
      *p++ = static_cast<char16_t>(0xD800 + (u >> 10));
      *p++ = static_cast<char16_t>(0xDC00 + (u & 0x3FF));
    } else {
      *p++ = static_cast<char16_t>(kReplacement);
    }
  }
  return out;
}

std::u16string ToUtf16(std::wstring_view text) { return ToUtf16(text.data(), text.size()); }

std::wstring FromUtf16(const char16_t* text, size_t length) {
  std::wstring out;
  if (!text || length == 0) return out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    uint32_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00)));
      ++i;
    } else {
      out.push_back(static_cast<wchar_t>(IsSurrogate(u) ? kReplacement : u));
    }
  }
  return out;
}

std::wstring FromUtf16(std::u16string_view text) { return FromUtf16(text.data(), text.size()); }

std::string ToUtf8(const wchar_t* text, size_t length) {
  std::string out;
  if (!text || length == 0) return out;
  size_t bytes = 0;
  for (size_t i = 0; i < length; ++i) {
    uint32_t u = static_cast<uint32_t>(text[i]);
    bytes += u < 0x80 ? 1 : u < 0x800 ? 2 : (u < 0x10000 || u > 0x10FFFF) ? 3 : 4;
  }
  out.resize(bytes);
  char* p = out.data();
  for (size_t i = 0; i < length; ++i) {
    uint32_t u = static_cast<uint32_t>(text[i]);
    if (u < 0x80) {
      *p++ = static_cast<char>(u);
      continue;
    }
    if (!IsScalar(u)) u = kReplacement;
    if (u < 0x800) {
      *p++ = static_cast<char>(0xC0 | (u >> 6));
    } else if (u < 0x10000) {
      *p++ = static_cast<char>(0xE0 | (u >> 12));
      *p++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    } else {
      *p++ = static_cast<char>(0xF0 | (u >> 18));
      *p++ = static_cast<char>(0x80 | ((u >> 12) & 0x3F));
      *p++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    }
    *p++ = static_cast<char>(0x80 | (u & 0x3F));
  }
  return out;
}

std::string ToUtf8(std::wstring_view text) { return ToUtf8(text.data(), text.size()); }

namespace {

// Appends UTF-8; a malformed sequence becomes one U+FFFD per maximal subpart
// (the Unicode recommendation), so no valid character is ever swallowed.
void AppendUtf8(std::wstring& out, const unsigned char* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    unsigned b0 = s[i];
    if (b0 < 0x80) {
      out.push_back(static_cast<wchar_t>(b0));
      ++i;
      continue;
    }
    int need;
    uint32_t cp;
    unsigned lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
      if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;  // no overlong forms
      if (b0 == 0xF4) hi = 0x8F;  // nothing beyond U+10FFFF
    } else {
      out.push_back(static_cast<wchar_t>(kReplacement));
      ++i;
      continue;
    }
    ++i;
    bool complete = true;
    for (int k = 0; k < need; ++k, lo = 0x80, hi = 0xBF) {
      if (i >= n || s[i] < lo || s[i] > hi) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (s[i] & 0x3F);
      ++i;
    }
    out.push_back(static_cast<wchar_t>(complete ? cp : kReplacement));
  }
}

}  // namespace

void AppendNarrow(std::wstring& out, const char* text, size_t length, UINT codePage) {
  if (!text || length == 0) return;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  out.reserve(out.size() + length);
  switch (codePage) {
    case CP_LATIN1:
      for (size_t i = 0; i < length; ++i) out.push_back(static_cast<wchar_t>(s[i]));
      return;
    case CP_WINDOWS_1252:
      for (size_t i = 0; i < length; ++i) {
        unsigned b = s[i];
        out.push_back(static_cast<wchar_t>(b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : b));
      }
      return;
    case CP_US_ASCII:
      for (size_t i = 0; i < length; ++i) out.push_back(static_cast<wchar_t>(s[i] < 0x80 ? s[i] : kReplacement));
      return;
    default:
      AppendUtf8(out, s, length);
      return;
  }
}

std::wstring FromUtf8(const char* text, size_t length) {
  std::wstring out;
  AppendNarrow(out, text, length, CP_UTF8);
  return out;
}

std::wstring FromUtf8(std::string_view text) { return FromUtf8(text.data(), text.size()); }

// --- Case ---------------------------------------------------------------------

wchar_t LowerChar(wchar_t c) {
  uint32_t u = static_cast<uint32_t>(c);
  if (u < 0xC0) return (u >= 'A' && u <= 'Z') ? static_cast<wchar_t>(u + 32) : c;
  return MapCase(kLowerRanges, u);
}

wchar_t UpperChar(wchar_t c) {
  uint32_t u = static_cast<uint32_t>(c);
  if (u < 0x80) return (u >= 'a' && u <= 'z') ? static_cast<wchar_t>(u - 32) : c;
  return MapCase(kUpperRanges, u);
}

void LowerInPlace(wchar_t* text, size_t length) {
  for (size_t i = 0; i < length; ++i) text[i] = LowerChar(text[i]);
}

void UpperInPlace(wchar_t* text, size_t length) {
  for (size_t i = 0; i < length; ++i) text[i] = UpperChar(text[i]);
}

std::wstring LowerCase(std::wstring_view text) {
  std::wstring out(text);
  LowerInPlace(out.data(), out.size());
  return out;
}

std::wstring UpperCase(std::wstring_view text) {
  std::wstring out(text);
  UpperInPlace(out.data(), out.size());
  return out;
}

// --- Comparison ---------------------------------------------------------------

int CompareOrdinal(std::wstring_view a, std::wstring_view b) {
  size_t n = std::min(a.size(), b.size());
  auto [pa, pb] = std::mismatch(a.data(), a.data() + n, b.data());
  if (pa != a.data() + n) return OrderKey(*pa) < OrderKey(*pb) ? -1 : 1;
  return CompareTail(a.size(), b.size());
}

int CompareNoCase(std::wstring_view a, std::wstring_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    uint32_t ka = OrderKey(LowerChar(a[i]));
    uint32_t kb = OrderKey(LowerChar(b[i]));
    if (ka != kb) return ka < kb ? -1 : 1;
  }
  return CompareTail(a.size(), b.size());
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

// --- Paths --------------------------------------------------------------------

std::wstring_view PathBaseName(std::wstring_view path, bool withExtension) {
  std::wstring_view name = path.substr(NameStart(path));
  if (!withExtension) {
    size_t dot = name.rfind(L'.');
    if (dot != std::wstring_view::npos) name = name.substr(0, dot);
  }
  return name;
}

std::wstring_view PathDirectory(std::wstring_view path) {
  size_t start = NameStart(path);
  if (start == 0) return {};
  if (!IsSeparator(path[start - 1])) return path.substr(0, start);  // "C:name"
  size_t end = start - 1;
  bool isRoot = end == 0 || (end == 2 && HasDrive(path));
  return path.substr(0, isRoot ? start : end);
}

std::wstring_view PathExtension(std::wstring_view path) {
  std::wstring_view name = PathBaseName(path, true);
  size_t dot = name.rfind(L'.');
  return dot == std::wstring_view::npos ? std::wstring_view() : name.substr(dot);
}

}  // namespace quorra::host
