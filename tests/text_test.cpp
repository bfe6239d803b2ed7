#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <clocale>
#include <string>
#include <vector>

#include "support/byte_stream.h"

using quorra::host::FormatNarrow;
using quorra::host::FormatWide;
using quorra::host::LowerChar;
using quorra::host::UpperChar;
using quorra::test::ByteStream;

namespace {

// --- Case ----------------------------------------------------------------------

TEST(TextCase, PairsMapBothWaysAcrossScripts) {
  struct Pair {
    wchar_t upper, lower;
  } pairs[] = {
      {L'A', L'a'},       {L'Z', L'z'},           // ASCII
      {0x00C0, 0x00E0},   {0x00DE, 0x00FE},       // À, Þ
      {0x0100, 0x0101},   {0x0141, 0x0142},       // Ā, Ł (odd-first pairs of Latin Extended-A)
      {0x017D, 0x017E},   {0x0178, 0x00FF},       // Ž, Ÿ/ÿ across blocks
      {0x0391, 0x03B1},   {0x03A9, 0x03C9},       // Α, Ω
      {0x0386, 0x03AC},   {0x03AA, 0x03CA},       // Ά, Ϊ
      {0x0410, 0x0430},   {0x042F, 0x044F},       // А, Я
      {0x0401, 0x0451},   {0x0490, 0x0491},       // Ё, Ґ
      {0x04C0, 0x04CF},   {0x0462, 0x0463},       // Ӏ, Ѣ
      {0x053E, 0x056E},   {0xFF21, 0xFF41},       // Armenian, fullwidth
      {0x10400, 0x10428},                         // Deseret, beyond the basic plane
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(LowerChar(p.upper), p.lower) << std::hex << uint32_t(p.upper);
    EXPECT_EQ(UpperChar(p.lower), p.upper) << std::hex << uint32_t(p.lower);
    EXPECT_EQ(LowerChar(p.lower), p.lower) << std::hex << uint32_t(p.lower);
    EXPECT_EQ(UpperChar(p.upper), p.upper) << std::hex << uint32_t(p.upper);
  }
}

TEST(TextCase, OneWayMappingsAndCaselessCharacters) {
  EXPECT_EQ(LowerChar(0x0130), L'i');     // İ
  EXPECT_EQ(UpperChar(0x0131), L'I');     // ı
  EXPECT_EQ(UpperChar(0x03C2), 0x03A3);   // final sigma
  EXPECT_EQ(LowerChar(0x01C5), 0x01C6);   // title-case Dž
  EXPECT_EQ(UpperChar(0x01C5), 0x01C4);
  EXPECT_EQ(UpperChar(0x00DF), 0x00DF);   // ß has no single upper case
  for (wchar_t c : {L'0', L'_', L'\\', wchar_t(0x00D7), wchar_t(0x0138), wchar_t(0x4E2D), wchar_t(0x20AC),
                    wchar_t(0x1F600), wchar_t(0xD800), wchar_t(0x110000), wchar_t(-1)}) {
    EXPECT_EQ(LowerChar(c), c) << std::hex << uint32_t(c);
    EXPECT_EQ(UpperChar(c), c) << std::hex << uint32_t(c);
  }
}

TEST(TextCase, ToLowerCountsAndReturnsItself) {
  GUserText text(L"C:\\ÀÉÎ\\ΣΟΦΙΑ\\ЖУК.PAR");
  GUserText& same = text.ToLower(5);
  EXPECT_EQ(&same, &text);
  EXPECT_EQ(text, L"c:\\àéÎ\\ΣΟΦΙΑ\\ЖУК.PAR");
  text.ToLower(-1);
  EXPECT_EQ(text, L"c:\\àéî\\σοφια\\жук.par");
  text.ToUpper(1000);
  EXPECT_EQ(text, L"C:\\ÀÉÎ\\ΣΟΦΙΑ\\ЖУК.PAR");
  text.ToLower(0);
  EXPECT_EQ(text, L"C:\\ÀÉÎ\\ΣΟΦΙΑ\\ЖУК.PAR");
}

TEST(TextCase, DoesNotDependOnTheCLocale) {
  const char* saved = std::setlocale(LC_ALL, nullptr);
  std::string previous = saved ? saved : "C";
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(GUserText(L"ÄÖÜ").ToLower(), L"äöü");
  std::setlocale(LC_ALL, previous.c_str());
}

TEST(TextCompare, OrdinalOrderIsUtf16Order) {
  // U+FF5E is one unit FF5E; U+1F600 starts with the lead surrogate D83D.
  EXPECT_TRUE(GUserText(L"\U0001F600") < GUserText(L"\uFF5E"));
  EXPECT_TRUE(GUserText(L"\uD7FF") < GUserText(L"\U0001F600"));
  EXPECT_TRUE(GUserText(L"ab") < GUserText(L"abc"));
  EXPECT_FALSE(GUserText(L"b") < GUserText(L"abc"));
  EXPECT_TRUE(GUserText(L"B") < GUserText(L"a"));  // ordinal, not case-blind
  EXPECT_EQ(GUserText(L"x").Compare(L"x"), 0);
}

TEST(TextCompare, NoCaseComparesLowerCaseForms) {
  EXPECT_TRUE(quorra::host::EqualsNoCase(L"C:\\ÄÖ\\Gear.PAR", L"c:\\äö\\gear.par"));
  EXPECT_FALSE(quorra::host::EqualsNoCase(L"gear.par", L"gear.pa"));
  EXPECT_LT(quorra::host::CompareNoCase(L"ABC", L"abd"), 0);
  EXPECT_GT(quorra::host::CompareNoCase(L"abd", L"ABC"), 0);
  EXPECT_LT(quorra::host::CompareNoCase(L"ab", L"ABC"), 0);
  EXPECT_EQ(GUserText(L"ΣΟΦΙΑ").CompareNoCase(L"σοφια"), 0);
  EXPECT_EQ(quorra::host::LowerCase(L"ÀB"), L"àb");
}

// --- Format --------------------------------------------------------------------

TEST(TextFormat, WindowsConversions) {
  void* pointer = reinterpret_cast<void*>(uintptr_t{0x1234ABCD});
  EXPECT_EQ(FormatWide(L"%s|%S|%hs|%ls|%ws", L"wide", "narrow", "h", L"l", L"w"), L"wide|narrow|h|l|w");
  EXPECT_EQ(FormatWide(L"%S", "gr\xC3\xBC\xC3\x9F"), L"grüß");  // narrow arguments are UTF-8
  EXPECT_EQ(FormatWide(L"%c%C%lc%hc", wchar_t(0x03A9), 'n', wchar_t(0x1F600), 'h'), L"\u03A9n\U0001F600h");
  EXPECT_EQ(FormatWide(L"%08x", 0xBEEFu), L"0000beef");
  EXPECT_EQ(FormatWide(L"0x%8.8X", 0x1Fu), L"0x0000001F");
  EXPECT_EQ(FormatWide(L"[%5d]", 42), L"[   42]");
  EXPECT_EQ(FormatWide(L"[%-8s]", L"ab"), L"[ab      ]");
  EXPECT_EQ(FormatWide(L"[%2s]", L"A"), L"[ A]");
  EXPECT_EQ(FormatWide(L"[%.2s]", L"abcdef"), L"[ab]");
  EXPECT_EQ(FormatWide(L"%016p", pointer), L"000000001234ABCD");
  EXPECT_EQ(FormatWide(L"%p", nullptr), L"0000000000000000");
  EXPECT_EQ(FormatWide(L"%#010p", pointer), L"0X000000001234ABCD");
  EXPECT_EQ(FormatWide(L"%#.8p", pointer), L"0X000000001234ABCD");
  EXPECT_EQ(FormatWide(L"[%7.4f]", 3.14159265), L"[ 3.1416]");
  EXPECT_EQ(FormatWide(L"[%8.4f]", -0.5), L"[ -0.5000]");
  EXPECT_EQ(FormatWide(L"%ld %lu %lx", LONG{-5}, DWORD{4000000000u}, DWORD{0xFFFFFFFFu}),
            L"-5 4000000000 ffffffff");
  EXPECT_EQ(FormatWide(L"%I64d %I64u %I64x", int64_t{-1234567890123}, UINT64_MAX, uint64_t{0x123456789ABCDEF0}),
            L"-1234567890123 18446744073709551615 123456789abcdef0");
  EXPECT_EQ(FormatWide(L"%lld %llu %zu", -1LL, 2ULL, size_t{3}), L"-1 2 3");
  EXPECT_EQ(FormatWide(L"%0*I64X", 16, uint64_t{0xAB}), L"00000000000000AB");
  EXPECT_EQ(FormatWide(L"%*d|%-*d|", 4, 7, 3, 8), L"   7|8  |");
  EXPECT_EQ(FormatWide(L"%hd %hhu", 70000, 300), L"4464 44");
  EXPECT_EQ(FormatWide(L"100%% %x ", 255u), L"100% ff ");
  EXPECT_EQ(FormatWide(L"%s %S", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
            L"(null) (null)");
  EXPECT_EQ(FormatWide(L"%y%d", 5), L"%y5");  // unknown conversions are shown, take nothing
  EXPECT_EQ(FormatWide(L"end%"), L"end%");  // an unfinished directive too
}

TEST(TextFormat, NarrowFormatsTakeTheOppositeDefaults) {
  EXPECT_EQ(FormatNarrow("%s|%S|%ls|%hs", "n", L"\u00E9", L"l", "h"), "n|\xC3\xA9|l|h");
  EXPECT_EQ(FormatNarrow("%c%C", 'a', wchar_t(0x00E9)), "a\xC3\xA9");
  EXPECT_EQ(FormatNarrow("[%-4S]", L"\u00E9"), "[\xC3\xA9   ]");  // width counts characters
  EXPECT_EQ(FormatNarrow("%I64X", uint64_t{0xFEDCBA9876543210}), "FEDCBA9876543210");
}

TEST(TextFormat, ResultsAreNeverTruncated) {
  std::wstring big(10000, L'x');
  EXPECT_EQ(FormatWide(L"<%s>", big.c_str()), L"<" + big + L">");
  EXPECT_EQ(FormatWide(L"%300d", 1).size(), 300u);
  EXPECT_EQ(FormatWide(L"%.300f", 1.0).size(), 302u);
  EXPECT_EQ(FormatWide(L"%f", 1e300).size(), 308u);
}

TEST(TextFormat, GUserTextFormatReplacesAndMayUseItsOwnText) {
  GUserText text(L"old");
  text.Format(L"%s-%d", text.GetText(), 7);
  EXPECT_EQ(text, L"old-7");
  text.AppendFormat(L" %s", L"more");
  EXPECT_EQ(text, L"old-7 more");
  text.Format(L"%s", L"");
  EXPECT_TRUE(text.IsEmpty());
}

// --- Searching and slicing -------------------------------------------------------

TEST(TextSlice, FindAndReverseFind) {
  GUserText text(L"a\\b/c\\d");
  EXPECT_EQ(text.Find(L'\\'), 1);
  EXPECT_EQ(text.Find(L'\\', 2), 5);
  EXPECT_EQ(text.Find(L'\\', -3), 1);
  EXPECT_EQ(text.Find(L'\\', 6), -1);
  EXPECT_EQ(text.Find(L'\\', 100), -1);
  EXPECT_EQ(text.Find(L"c\\"), 4);
  EXPECT_EQ(text.Find(L"c\\", 5), -1);
  EXPECT_EQ(text.Find(L"", 3), 3);
  EXPECT_EQ(text.Find(L"", 8), -1);
  EXPECT_EQ(text.ReverseFind(L'\\'), 5);
  EXPECT_EQ(text.ReverseFind(L'z'), -1);
}

TEST(TextSlice, LeftAndMidClamp) {
  GUserText text(L"abcdef");
  struct Case {
    int start, count;
    const wchar_t* mid;
  } mids[] = {{0, 3, L"abc"}, {2, 2, L"cd"},  {4, 100, L"ef"}, {-2, 3, L"abc"},
              {6, 1, L""},    {9, 1, L""},    {2, -1, L""},    {1, INT32_MAX, L"bcdef"}};
  for (const Case& c : mids) EXPECT_EQ(text.Mid(c.start, c.count), c.mid) << c.start << "," << c.count;
  EXPECT_EQ(text.Mid(3), L"def");
  EXPECT_EQ(text.Mid(-1), L"abcdef");
  EXPECT_EQ(text.Mid(7), L"");
  EXPECT_EQ(text.Left(2), L"ab");
  EXPECT_EQ(text.Left(-1), L"");
  EXPECT_EQ(text.Left(99), L"abcdef");
  EXPECT_EQ(text.Right(2), L"ef");
  EXPECT_EQ(text.GetAt(5), L'f');
  EXPECT_EQ(text.GetAt(6), L'\0');
}

TEST(TextSlice, TokenizeWalksTokensAndEndsWithMinusOne) {
  GUserText text(L"  a,b;;cd  ");
  int start = 0;
  std::vector<std::pair<std::wstring, int>> seen;
  for (;;) {
    GUserText token = text.Tokenize(L" ,;", start);
    seen.emplace_back(token.Str(), start);
    if (start < 0) break;
  }
  std::vector<std::pair<std::wstring, int>> expected = {{L"a", 4}, {L"b", 6}, {L"cd", 10}, {L"", -1}};
  EXPECT_EQ(seen, expected);

  start = 2;
  EXPECT_EQ(text.Tokenize(nullptr, start), L"a,b;;cd  ");  // no delimiters: the rest
  EXPECT_EQ(text.Tokenize(nullptr, start), L"");
  EXPECT_EQ(start, -1);
  start = -4;
  EXPECT_EQ(text.Tokenize(L",", start), L"");
  EXPECT_EQ(start, -1);
  start = 0;
  EXPECT_EQ(GUserText(L",,,").Tokenize(L",", start), L"");
  EXPECT_EQ(start, -1);
}

// --- Construction and conversion ----------------------------------------------------

TEST(TextConvert, OutsideTheBasicPlaneRoundTrips) {
  std::wstring wide = L"a\U0001F600\U0010FFFF\u00E9";
  std::u16string utf16 = quorra::host::ToUtf16(wide);
  EXPECT_EQ(utf16, (std::u16string{u'a', 0xD83D, 0xDE00, 0xDBFF, 0xDFFF, 0x00E9}));
  EXPECT_EQ(quorra::host::FromUtf16(utf16), wide);
  std::string utf8 = quorra::host::ToUtf8(wide);
  EXPECT_EQ(utf8, "a\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xC3\xA9");
  EXPECT_EQ(quorra::host::FromUtf8(utf8), wide);
  GUserText text(utf8.c_str(), -1, CP_UTF8);
  EXPECT_EQ(text, wide.c_str());
  EXPECT_STREQ(text.GetUtf8(), utf8.c_str());
}

TEST(TextConvert, InvalidInputBecomesReplacementCharacters) {
  struct Case {
    std::string utf8;
    std::wstring wide;
  } cases[] = {
      {"\xE0\x80", L"\uFFFD\uFFFD"},               // overlong lead, then a stray continuation
      {"\xF0\x9F\x98", L"\uFFFD"},                 // truncated: one maximal subpart
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},     // encoded surrogate
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"a\xC3(b", L"a\uFFFD(b"},                   // a broken sequence keeps the next character
      {"\xFF", L"\uFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(quorra::host::FromUtf8(c.utf8), c.wide);
  EXPECT_EQ(quorra::host::FromUtf16(std::u16string{0xDC00, u'x', 0xD800}), L"\uFFFDx\uFFFD");
  std::wstring loneSurrogate(1, wchar_t(0xD800));
  EXPECT_EQ(quorra::host::ToUtf16(loneSurrogate), u"\uFFFD");
  EXPECT_EQ(quorra::host::ToUtf8(loneSurrogate + wchar_t(0x110000)), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextConvert, NarrowCodePagesLengthsAndTerminators) {
  EXPECT_EQ(GUserText("\x80\x9F\xE9", -1, CP_WINDOWS_1252), L"\u20AC\u0178\u00E9");
  EXPECT_EQ(GUserText("\x80\xE9", -1, CP_LATIN1), L"\u0080\u00E9");
  EXPECT_EQ(GUserText("\xC3\xA9", -1, CP_ACP), L"\u00E9");  // ANSI is UTF-8 here
  EXPECT_EQ(GUserText("abcdef", 3, CP_UTF8), L"abc");
  EXPECT_EQ(GUserText("ab\0cd", 5, CP_UTF8), L"ab");  // a stored length that counts the zero
  EXPECT_EQ(GUserText(L"abcdef", 2, 3), L"cde");
  EXPECT_EQ(GUserText(L"abc", 1, 99), L"bc");
  EXPECT_EQ(GUserText(L"abc", 5, 1), L"");
  EXPECT_EQ(GUserText(static_cast<const wchar_t*>(nullptr)), L"");
}

TEST(TextConvert, Utf8CacheFollowsChanges) {
  GUserText text(L"a");
  EXPECT_STREQ(text.GetUtf8(), "a");
  text += L"\u00E9";
  EXPECT_STREQ(text.GetUtf8(), "a\xC3\xA9");
  text.ToUpper();
  EXPECT_STREQ(static_cast<const char*>(text), "A\xC3\x89");
  text = "z";
  EXPECT_STREQ(text.GetUtf8(), "z");
  text.SetAt(0, L'y');
  EXPECT_STREQ(text.GetUtf8(), "y");
  GUserText moved(std::move(text));
  EXPECT_STREQ(moved.GetUtf8(), "y");
  EXPECT_TRUE(text.IsEmpty());
}

TEST(TextConvert, AppendingAndConcatenation) {
  GUserText text(L"a");
  text += 'b';
  text += L'\u00E9';
  text += "\xC3\xBC";
  text += GUserText(L"!");
  EXPECT_EQ(text, L"ab\u00E9\u00FC!");
  EXPECT_EQ(L"<" + text + L">", L"<ab\u00E9\u00FC!>");
  text.Empty();
  EXPECT_FALSE(text.IsNotEmpty());
  EXPECT_EQ(text.GetNumChars(), 0);
}

// --- Stored form -------------------------------------------------------------------

std::vector<BYTE> Serialized(const GUserText& text) {
  auto stream = ByteStream::Create();
  JIOStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
  EXPECT_EQ(text.Serialize(context), S_OK);
  return stream->Bytes();
}

GUserText Deserialized(std::vector<BYTE> bytes, HRESULT expected = S_OK) {
  auto stream = ByteStream::Create(std::move(bytes));
  JIOStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
  GUserText text(L"before");
  EXPECT_EQ(text.Serialize(context), expected);
  return text;
}

TEST(TextSerialize, WritesCountThenUtf16LittleEndian) {
  EXPECT_EQ(Serialized(GUserText(L"A\U0001F600")),
            (std::vector<BYTE>{3, 0, 0, 0, 0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE}));
  EXPECT_EQ(Serialized(GUserText()), (std::vector<BYTE>{0, 0, 0, 0}));
}

TEST(TextSerialize, RoundTripsLongTextAcrossChunks) {
  std::wstring wide;
  for (int i = 0; i < 2047; ++i) wide += wchar_t(L'a' + i % 26);
  wide += L"\U0010FFFF";  // its two units straddle the first 2048-unit chunk
  for (int i = 0; i < 5000; ++i) wide += (i % 7 == 0) ? L'\U0001F600' : wchar_t(0x0400 + i % 200);
  GUserText text{std::wstring_view(wide)};
  std::vector<BYTE> bytes = Serialized(text);
  size_t units = quorra::host::Utf16Length(wide);
  ASSERT_EQ(bytes.size(), 4 + 2 * units);
  EXPECT_EQ(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24, static_cast<int>(units));
  EXPECT_EQ(Deserialized(bytes), text);
}

TEST(TextSerialize, SeveralTextsInOneStreamReadBackInOrder) {
  auto stream = ByteStream::Create();
  {
    JIOStreamContext writer(stream.Get(), 5);
    ASSERT_EQ(GUserText(L"Sites").Serialize(writer), S_OK);
    ASSERT_EQ(GUserText(L"").Serialize(writer), S_OK);
    ASSERT_EQ(GUserText(L"c:\\x.par").Serialize(writer), S_OK);
  }
  ByteStream* s = stream.Get();
  LARGE_INTEGER zero{};
  s->Seek(zero, STREAM_SEEK_SET, nullptr);
  JIOStreamContext reader(s, 6);
  GUserText a, b(L"x"), c;
  EXPECT_EQ(a.Serialize(reader), S_OK);
  EXPECT_EQ(b.Serialize(reader), S_OK);
  EXPECT_EQ(c.Serialize(reader), S_OK);
  EXPECT_EQ(a, L"Sites");
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(c, L"c:\\x.par");
  EXPECT_EQ(a.Serialize(reader), STG_E_READFAULT);  // nothing left
}

TEST(TextSerialize, UnpairedSurrogatesReadAsReplacement) {
  // lead then 'x'; lone trail; lead at the very end
  std::vector<BYTE> bytes = {4, 0, 0, 0, 0x00, 0xD8, 'x', 0, 0x00, 0xDC, 0x3D, 0xD8};
  EXPECT_EQ(Deserialized(bytes), L"\uFFFDx\uFFFD\uFFFD");
}

TEST(TextSerialize, TruncatedStreamsFailAndLeaveTheTextAlone) {
  quorra::host::ScopedTraceCapture traces;
  EXPECT_EQ(Deserialized({3, 0, 0, 0, 'a', 0, 'b', 0, 'c'}, STG_E_READFAULT), L"before");
  EXPECT_EQ(Deserialized({3, 0}, STG_E_READFAULT), L"before");
  EXPECT_TRUE(traces.Saw("GUserText::Serialize", STG_E_READFAULT));
}

TEST(TextSerialize, HugeCorruptCountFailsAfterTheDataRunsOut) {
  std::vector<BYTE> bytes = {0xFF, 0xFF, 0xFF, 0xFF};
  bytes.resize(4 + 10000, 'a');
  auto stream = ByteStream::Create(bytes);
  JIOStreamContext context(stream.Get(), 6);
  GUserText text(L"kept");
  EXPECT_EQ(text.Serialize(context), STG_E_READFAULT);
  EXPECT_EQ(text, L"kept");
  EXPECT_LE(stream->ReadCalls(), 4);  // count, two full chunks, one short
}

TEST(TextSerialize, ModeAndStreamFailures) {
  GUserText text(L"abc");
  EXPECT_EQ(text.Serialize(JIOStreamContext(nullptr, 6)), E_UNEXPECTED);
  EXPECT_EQ(text.Serialize(JIOStreamContext(nullptr, 5)), E_UNEXPECTED);
  auto stream = ByteStream::Create({1, 0, 0, 0, 'z', 0});
  EXPECT_EQ(text.Serialize(JIOStreamContext(stream.Get(), 4)), E_UNEXPECTED);
  const GUserText& constant = text;
  EXPECT_EQ(constant.Serialize(JIOStreamContext(stream.Get(), 6)), E_UNEXPECTED);
  EXPECT_EQ(stream->ReadCalls(), 0);
  stream->FailWritesWith(STG_E_MEDIUMFULL);
  EXPECT_EQ(text.Serialize(JIOStreamContext(stream.Get(), 5)), STG_E_MEDIUMFULL);
  stream->FailReadsWith(STG_E_ACCESSDENIED);
  EXPECT_EQ(text.Serialize(JIOStreamContext(stream.Get(), 6)), STG_E_ACCESSDENIED);
  EXPECT_EQ(text, L"abc");
}

// --- File names ----------------------------------------------------------------------

TEST(FileName, BaseNameDirectoryAndExtension) {
  struct Case {
    const wchar_t* path;
    const wchar_t* base;
    const wchar_t* stem;
    const wchar_t* directory;
    const wchar_t* extension;
  } cases[] = {
      {L"C:\\Parts\\Gear.PAR", L"Gear.PAR", L"Gear", L"C:\\Parts", L".PAR"},
      {L"/home/u/asm/top.asm", L"top.asm", L"top", L"/home/u/asm", L".asm"},
      {L"C:\\mixed/sub\\a.b.psm", L"a.b.psm", L"a.b", L"C:\\mixed/sub", L".psm"},
      {L"plain", L"plain", L"plain", L"", L""},
      {L"dir\\", L"", L"", L"dir", L""},
      {L"C:x.par", L"x.par", L"x", L"C:", L".par"},
      {L"C:\\x.par", L"x.par", L"x", L"C:\\", L".par"},
      {L"/x.par", L"x.par", L"x", L"/", L".par"},
      {L"dir.d/noext", L"noext", L"noext", L"dir.d", L""},
      {L"", L"", L"", L"", L""},
  };
  for (const Case& c : cases) {
    GUserFileName name(c.path);
    EXPECT_EQ(name.BaseName(1), c.base) << c.path;
    EXPECT_EQ(name.BaseName(0), c.stem) << c.path;
    EXPECT_EQ(name.Directory(), c.directory) << c.path;
    EXPECT_EQ(name.Extension(), c.extension) << c.path;
  }
  EXPECT_EQ(GUserFileName(GUserText(L"a\\B.Par")).BaseName(1), L"B.Par");
}

}  // namespace
