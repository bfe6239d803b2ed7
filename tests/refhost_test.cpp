#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>

TEST(RefHost, InstallRegistersModulesAndLoadsOnDemand) {
  quorra::refhost::Options options;
  options.settings = {{L"DEBUG_SITE_MAPPING", L"2"}};
  quorra::refhost::Install(options);
  EXPECT_NE(GetModuleHandleW(L"brenik.dex"), nullptr);
  EXPECT_NE(GetModuleHandleW(L"DULCET.dll"), nullptr);
  EXPECT_EQ(GetModuleHandleW(L"hawser.dll"), nullptr);  // loaded only on request
  HMODULE hawser = JLoadLibrary(L"hawser.dll", 0);
  ASSERT_NE(hawser, nullptr);
  EXPECT_EQ(GetModuleHandleW(L"hawser.dll"), hawser);
  JFreeLibrary(hawser);
  EXPECT_EQ(GetModuleHandleW(L"hawser.dll"), nullptr);
  EXPECT_EQ(JGetDebugDWORD(L"DEBUG_SITE_MAPPING", 1), 2u);

  HRerrEx(nullptr, nullptr, E_INVALIDARG, L"why", "SERVICES/quorra/dev/tree", 7, "AsmTree::CreateSite");
  EXPECT_EQ(quorra::refhost::DescribeLastTrace(),
            "AsmTree::CreateSite failed with 0x80070057 (SERVICES/quorra/dev/tree:7): why");

  quorra::refhost::Uninstall();
  EXPECT_EQ(GetModuleHandleW(L"brenik.dex"), nullptr);
  EXPECT_EQ(JGetDebugDWORD(L"DEBUG_SITE_MAPPING", 1), 1u);
  EXPECT_FALSE(quorra::refhost::IsInstalled());
}
