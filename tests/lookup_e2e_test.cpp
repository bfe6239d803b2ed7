// `quorra lookup` through the built tool, on documents written with refhost.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost/documents.h>

#include <string>

#include "support/run_command.h"
#include "support/storage_support.h"

using namespace quorra::refhost;
using quorra::test::RunTool;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

class LookupE2E : public ::testing::Test {
 protected:
  // top.asm: zeta.par, then sub.asm (bolt.par, and bolt.par moved by 5 in x).
  void SetUp() override {
    for (const char* part : {"zeta.par", "bolt.par"})
      ASSERT_EQ(WritePartDocument(Widen(dir_.File(part)).c_str(), PartDocument()), S_OK);
    AssemblyDocument sub;
    sub.AddPlacement(L"bolt.par", tagG4x4());
    sub.AddPlacement(L"bolt.par", tagG4x4::Translation(5, 0, 0));
    ASSERT_EQ(WriteAssemblyDocument(Widen(dir_.File("sub.asm")).c_str(), sub), S_OK);
    AssemblyDocument top;
    top.AddPlacement(L"zeta.par", tagG4x4());
    top.AddPlacement(L"sub.asm", tagG4x4::Translation(0, 100, 0));
    ASSERT_EQ(WriteAssemblyDocument(Widen(dir_.File("top.asm")).c_str(), top), S_OK);
  }
  std::string Top() const {
    std::string quoted = "'";
    quoted += dir_.File("top.asm");
    quoted += '\'';
    return quoted;
  }

  TempDir dir_;
};

}  // namespace

TEST_F(LookupE2E, PrintsTheOccurrenceARoadmapNames) {
  const auto result = RunTool("lookup " + Top() + " 2/2");
  ASSERT_EQ(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("document: " + dir_.File("bolt.par") + "\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("name: bolt.par:2\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("kind: part\n"), std::string::npos);
  EXPECT_NE(result.output.find("  0 1 0 100\n"), std::string::npos) << result.output;  // the sub-assembly's move
  // The default part is a 10 box around its origin, moved by (5, 100, 0).
  EXPECT_NE(result.output.find("range: (0, 95, -5) to (10, 105, 5)\n"), std::string::npos) << result.output;

  const auto root = RunTool("lookup " + Top() + " /");
  ASSERT_EQ(root.exitCode, 0) << root.output;
  EXPECT_NE(root.output.find("kind: assembly\n"), std::string::npos);
}

TEST_F(LookupE2E, ARoadmapThatDoesNotBindNamesTheFirstMissingId) {
  struct {
    const char* roadmap;
    const char* message;
  } cases[] = {
      {"2/7/1", "quorra lookup: id 7 does not bind: no attachment with that id under 2\n"},
      {"1/1", "quorra lookup: id 1 does not bind: 1 is a part\n"},
      {"9", "quorra lookup: id 9 does not bind: no attachment with that id under the root\n"},
  };
  for (const auto& c : cases) {
    const auto result = RunTool("lookup " + Top() + " " + c.roadmap);
    EXPECT_EQ(result.exitCode, 1) << c.roadmap;
    EXPECT_EQ(result.output, c.message);
  }
  EXPECT_EQ(RunTool("lookup " + Top() + " 2/x").exitCode, 2);
  EXPECT_EQ(RunTool("lookup " + Top()).exitCode, 2);
  EXPECT_EQ(RunTool("lookup '" + dir_.File("missing.asm") + "' 1").exitCode, 1);
}
