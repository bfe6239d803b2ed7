// `quorra storage ls|cat|put` end to end through the built tool.
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdlib>

#include "support/run_command.h"
#include "support/storage_support.h"

using quorra::host::ComPtr;
using quorra::test::RunTool;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

class StorageTool : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("QUORRA_TOOL")) GTEST_SKIP() << "QUORRA_TOOL is not set";
  }
  TempDir dir_;
};

TEST_F(StorageTool, PutCreatesAndKeepsThenCatAndLsShowIt) {
  std::string file = dir_.File("doc.asm");
  std::string payload = quorra::test::FixtureBytes(70000, 7);
  quorra::test::WriteFileBytes(dir_.File("payload"), std::vector<BYTE>(payload.begin(), payload.end()));
  quorra::test::WriteFileBytes(dir_.File("small"), std::vector<BYTE>{'i', 'o', 't'});

  ASSERT_EQ(RunTool("storage put " + file + " IOT/Default " + dir_.File("small")).exitCode, 0);
  ASSERT_EQ(RunTool("storage put " + file + " Attachments " + dir_.File("payload")).exitCode, 0);
  // Replacing a stream through a backslash path keeps the other one.
  ASSERT_EQ(RunTool("storage put " + file + " 'IOT\\Default' " + dir_.File("small")).exitCode, 0);

  const auto cat = RunTool("storage cat " + file + " Attachments");
  EXPECT_EQ(cat.exitCode, 0);
  EXPECT_TRUE(cat.output == payload);
  EXPECT_EQ(RunTool("storage cat " + file + " IOT/Default").output, "iot");

  // A class id on a storage shows in the listing.
  {
    ComPtr<IStorage> root;
    ASSERT_EQ(StgOpenStorage(Widen(file).c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                             root.Put()),
              S_OK);
    ComPtr<IStorage> iot;
    ASSERT_EQ(root->OpenStorage(L"IOT", nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, iot.Put()), S_OK);
    CLSID clsid;
    ASSERT_TRUE(quorra::host::ParseGuid("{00020906-0000-0000-C000-000000000046}", &clsid));
    ASSERT_EQ(iot->SetClass(clsid), S_OK);
    ASSERT_EQ(quorra::test::PutStream(root.Get(), L"\x05SummaryInformation", "s"), S_OK);
  }
  const auto ls = RunTool("storage ls " + file);
  EXPECT_EQ(ls.exitCode, 0);
  EXPECT_EQ(ls.output,
            "/                         storage\n"
            "  IOT                     storage                {00020906-0000-0000-C000-000000000046}\n"
            "    Default               stream              3\n"
            "  Attachments             stream          70000\n"
            "  \\x05SummaryInformation  stream              1\n");
}

TEST_F(StorageTool, ErrorsAreReportedWithExitCodes) {
  std::string file = dir_.File("doc.par");
  quorra::test::WriteFileBytes(dir_.File("small"), std::vector<BYTE>{'x'});
  ASSERT_EQ(RunTool("storage put " + file + " Only " + dir_.File("small")).exitCode, 0);

  struct Case {
    std::string arguments;
    int exitCode;
    std::string message;  // expected in the output
  } cases[] = {
      {"storage", 2, "expected ls FILE"},
      {"storage ls", 2, "expected ls FILE"},
      {"storage cat " + file, 2, "expected ls FILE"},
      {"storage ls " + dir_.File("absent"), 1, "cannot open"},
      {"storage cat " + file + " Missing", 1, "no stream Missing"},
      {"storage cat " + file + " Only/Below", 1, "no stream Only/Below"},
      {"storage put " + file + " Only " + dir_.File("absent"), 1, "cannot open"},
      {"storage put " + file + " Only/Below " + dir_.File("small"), 1, "cannot create"},
      {"storage put " + file + " " + std::string(40, 'n') + " " + dir_.File("small"), 1, "cannot create"},
      {"storage ls " + dir_.File("small"), 1, "not a compound file"},
  };
  for (const Case& c : cases) {
    const auto result = RunTool(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << c.arguments << ": " << result.output;
  }
  // None of the failures touched the document.
  EXPECT_EQ(RunTool("storage cat " + file + " Only").output, "x");
  EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"doc.par", "small"}));
}

}  // namespace
