#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <string>

#include "support/assembly_builder.h"

namespace {

using quorra::host::ComPtr;
using quorra::host::ReferenceStyleLibrary;

ComPtr<ReferenceStyleLibrary> NewLibrary() { return ComPtr<ReferenceStyleLibrary>(new ReferenceStyleLibrary()); }

std::wstring DisabledSetting() { return quorra::host::UserPreferenceSettingName(L"Options-Color", L"Disabled"); }

}  // namespace

TEST(Symbology, PackingPlacesLevelsAndWidthCode) {
  struct Case {
    double r, g, b, fourth, l1, l2, l3, width;
    DWORD packed;
  };
  const Case cases[] = {
      {1, 0, 0, 1, 0, 0, 0, 1, 0x4000F00Fu},   // pure red, width 1
      {1, 0, 0, 1, 0, 0, 0, 3, 0x4400F00Fu},   // width 3 is code 2
      {0, 1, 0, 0, 0, 0, 0, 1, 0x400000F0u},   // green only, transparent
      {0, 0, 1, 0.5, 0.85, 0, 0, 1, 0x40067F00u},  // blue, fourth 7, first level 6
      {1, 1, 1, 1, 1, 1, 1, 11, 0x4BFFFFFFu},  // everything full, width 11 is code 5
      {-1, 2, 0, 1, 0, 1, 0, 0, 0x4038F0F0u},  // out-of-range components clamp
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quorra::PackSymbology(c.r, c.g, c.b, c.fourth, c.l1, c.l2, c.l3, c.width), c.packed)
        << std::hex << c.packed;
  }
  // Plain 8-bit colours: fourth component 1, first level 0.85, width 1.
  EXPECT_EQ(quorra::PackColorSymbology(0x808080), 0x4006F777u);
  EXPECT_EQ(quorra::PackColorSymbology(0x0000FF), 0x4006F00Fu);
}

TEST(Symbology, LevelsAndWidthsCodeAndExpand) {
  struct Level {
    double x;
    DWORD four, three;
  };
  const Level levels[] = {{0, 0, 0}, {1, 15, 7}, {0.5, 7, 3}, {2.0 / 3, 10, 4}, {0.85, 12, 6}, {0.96, 14, 6}};
  for (const Level& l : levels) {
    EXPECT_EQ(quorra::QuantizeLevel4(l.x), l.four) << l.x;
    EXPECT_EQ(quorra::QuantizeLevel3(l.x), l.three) << l.x;
  }
  const DWORD expanded[][2] = {{0, 0}, {1, 17}, {7, 119}, {8, 136}, {15, 255}};
  for (const auto& e : expanded) EXPECT_EQ(quorra::ExpandLevel4(e[0]), e[1]) << e[0];

  struct Width {
    double width;
    DWORD code;
  };
  const Width widths[] = {{0, 0},   {0.4, 0}, {0.5, 0}, {1.5, 1},  {2, 1},   {4, 2},
                          {8.4, 3}, {8.5, 4}, {15, 7},  {20, 7},   {-2, 0},  {-3, 1}};
  for (const Width& w : widths) EXPECT_EQ(quorra::LineWidthCode(w.width), w.code) << w.width;
  const double codeWidths[] = {1, 1, 2, 3, 5, 7, 9, 11};
  for (DWORD code = 0; code < 8; ++code) EXPECT_EQ(quorra::LineWidthOfCode(code), codeWidths[code]);
}

TEST(Symbology, StyleKeysOfPackedAndPlainWords) {
  const DWORD keys[][2] = {
      {0x00001234u, 0x00001234u},  // plain: the word itself
      {0x4000F00Fu, 0x2000F00Fu},  // packed: low 29 bits and bit 29
      {0xC400F00Fu, 0x2400F00Fu},  // bit 31 dropped
      {0x6000F00Fu, 0x2000F00Fu},
  };
  for (const auto& k : keys) EXPECT_EQ(quorra::SymbologyStyleKey(k[0]), k[1]) << std::hex << k[0];
}

TEST(Symbology, MaterialExpandsLevelsAndDimsUnlessMarked) {
  GStyle3D red = quorra::SymbologyMaterial(0x4400F00Fu);
  EXPECT_FLOAT_EQ(red.color.red, 0.75f);
  EXPECT_FLOAT_EQ(red.color.green, 0.0f);
  EXPECT_FLOAT_EQ(red.color.alpha, 1.0f);  // the fourth component is not dimmed
  EXPECT_FLOAT_EQ(red.secondColor.red, 0.75f);
  EXPECT_FLOAT_EQ(red.lineWidth, 2.0f);

  GStyle3D marked = quorra::SymbologyMaterial(0x6000F00Fu | 6u << 16);
  EXPECT_FLOAT_EQ(marked.color.red, 1.0f);
  EXPECT_FLOAT_EQ(marked.levels[0], 6.0f / 7.0f);

  GStyle3D grey = quorra::SymbologyMaterial(0x40007777u);
  EXPECT_FLOAT_EQ(grey.color.blue, 119.0f / 255.0f * 0.75f);
  EXPECT_FLOAT_EQ(grey.color.alpha, 119.0f / 255.0f);
}

TEST(Symbology, StylesAreMadeOnceUnderTheirKey) {
  ComPtr<ReferenceStyleLibrary> library = NewLibrary();
  EXPECT_EQ(quorra::FindOrCreateSymbologyStyle(library.Get(), 0), nullptr);

  GGlobalStyle3D* style = quorra::FindOrCreateSymbologyStyle(library.Get(), 0x4000F00Fu);
  ASSERT_NE(style, nullptr);
  EXPECT_EQ(style->GetKey(), 0x2000F00Fu);
  EXPECT_EQ(style->GetName(), L"0x2000F00F");
  EXPECT_FLOAT_EQ(style->GetStyle3D().color.red, 0.75f);
  EXPECT_EQ(library->GetCreateCount(), 1u);
  EXPECT_EQ(quorra::FindOrCreateSymbologyStyle(library.Get(), 0x4000F00Fu), style);
  EXPECT_EQ(library->GetCreateCount(), 1u);

  // A plain word takes the "Disabled" preference colour.
  {
    quorra::host::ScopedSetting disabled(DisabledSetting().c_str(), L"0x0000FF");
    GGlobalStyle3D* plain = quorra::FindOrCreateSymbologyStyle(library.Get(), 0x55);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->GetName(), L"0x00000055");
    EXPECT_FLOAT_EQ(plain->GetStyle3D().color.red, 0.75f);
    EXPECT_FLOAT_EQ(plain->GetStyle3D().color.green, 0.0f);
    EXPECT_FLOAT_EQ(plain->GetStyle3D().levels[0], 6.0f / 7.0f);
  }
  GGlobalStyle3D* grey = quorra::FindOrCreateSymbologyStyle(library.Get(), 0x66);
  EXPECT_FLOAT_EQ(grey->GetStyle3D().color.red, 119.0f / 255.0f * 0.75f);
  EXPECT_EQ(library->GetKeys(), (std::vector<DWORD>{0x55, 0x66, 0x2000F00Fu}));
}

TEST(Symbology, MissingLibraryIsReplacedByTheReferenceLibrary) {
  EXPECT_EQ(ValidateStyleLibrary(nullptr), quorra::host::DefaultStyleLibrary());
  ComPtr<ReferenceStyleLibrary> library = NewLibrary();
  EXPECT_EQ(ValidateStyleLibrary(library.Get()), library.Get());
  GGlobalStyle3D* style = quorra::FindOrCreateSymbologyStyle(nullptr, 0x4000000Fu);
  EXPECT_EQ(style, quorra::host::DefaultStyleLibrary()->FindStyle(0x2000000Fu));
}

TEST(Symbology, AttachmentCachesTheStyleOfItsOwnSymbology) {
  quorra::test::AssemblyBuilder b;
  AttachmentNode* node = nullptr;
  ASSERT_EQ(b.Assembly(L"top")->AddSingleAttachment(b.Part(L"p"), nullptr, 0x4000F00F, 0, &node), S_OK);
  ComPtr<ReferenceStyleLibrary> library = NewLibrary();
  node->SetStyleLibrary(library.Get());
  EXPECT_EQ(node->GetStyleLibrary(), library.Get());

  GGlobalStyle3D* style = node->GetStyle(0x4000F00F);
  ASSERT_NE(style, nullptr);
  const DWORD finds = library->GetFindCount();
  EXPECT_EQ(node->GetStyle(0), style);  // from the cache
  EXPECT_EQ(library->GetFindCount(), finds);

  // The node's own symbology wins over the key; a new symbology drops the cache.
  EXPECT_EQ(node->GetStyle(0x4000000F)->GetKey(), 0x2000F00Fu);
  node->SetSymbology(0x400000F0);
  GGlobalStyle3D* green = node->GetStyle(0);
  ASSERT_NE(green, nullptr);
  EXPECT_EQ(green->GetKey(), 0x200000F0u);
  EXPECT_GT(library->GetFindCount(), finds);

  // Without a symbology of its own the key decides; nothing at all gives null.
  node->SetSymbology(0);
  EXPECT_EQ(node->GetStyle(0), nullptr);
  EXPECT_EQ(node->GetStyle(0x4000F00F), style);
}

TEST(Colors, PackAndBlend) {
  GColor color(1.0f, 0.5f, 0.0f, 1.0f);
  EXPECT_EQ(color.ColorToRGBA(), 0xFF0080FFu);
  EXPECT_EQ(GColor::FromRGBA(0xFF0080FFu).ColorToRGBA(), 0xFF0080FFu);
  EXPECT_EQ(GColor(2.0f, -1.0f, 0.0f, 0.0f).ColorToRGBA(), 0x000000FFu);
  GColor mid = GColor(0, 0, 0, 0).BlendToColor(GColor(1, 1, 1, 1), 0.25f);
  EXPECT_FLOAT_EQ(mid.red, 0.25f);
  EXPECT_FLOAT_EQ(mid.alpha, 0.25f);
}
