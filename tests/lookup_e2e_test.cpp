// `quorra lookup` through the built tool, on documents written with refhost
// and on the IDS file `quorra ids save` writes from them.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost/documents.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
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
  std::string Top() const { return Quoted(dir_.File("top.asm")); }
  static std::string Quoted(const std::string& path) { return "'" + path + "'"; }

  TempDir dir_;
};

}  // namespace

TEST_F(LookupE2E, PrintsTheOccurrenceARoadmapNames) {
  const auto result = RunTool("lookup " + Top() + " 2/2");
  ASSERT_EQ(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("document: " + dir_.File("bolt.par") + "\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("name: bolt.par:2\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("name path: sub.asm:1/bolt.par:2\n"), std::string::npos) << result.output;
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
  EXPECT_EQ(RunTool("lookup '" + dir_.File("missing.asm") + "' 1").output,
            "quorra lookup: cannot load " + dir_.File("missing.asm") + ": no such file\n");
}

// The output without the lines only a tree from documents has (names) and
// without the phase times, in lower case: an IDS file keeps its paths so.
std::string Answer(const std::string& output) {
  std::string kept;
  size_t start = 0;
  while (start < output.size()) {
    const size_t end = output.find('\n', start);
    const std::string line = output.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
    start = end == std::string::npos ? output.size() : end + 1;
    if (line.rfind("name", 0) != 0 && line.rfind("phases:", 0) != 0) kept += line;
  }
  std::transform(kept.begin(), kept.end(), kept.begin(), [](unsigned char c) { return std::tolower(c); });
  return kept;
}

TEST_F(LookupE2E, AnIdsFileGivesTheSameAnswerAsItsDocuments) {
  const std::string saved = dir_.File("top.ids");
  // A name that does not say what the file is: its contents do.
  const std::string renamed = dir_.File("top.asm.bak");
  ASSERT_EQ(RunTool("ids save " + Top() + " " + Quoted(saved)).exitCode, 0);
  std::filesystem::copy_file(saved, renamed);
  for (const char* roadmap : {"2/2", "2/1", "1", "2", "/"}) {
    const auto documents = RunTool("lookup " + Top() + " " + roadmap);
    ASSERT_EQ(documents.exitCode, 0) << documents.output;
    for (const std::string& file : {saved, renamed}) {
      const auto ids = RunTool("lookup " + Quoted(file) + " " + roadmap);
      ASSERT_EQ(ids.exitCode, 0) << ids.output;
      EXPECT_EQ(Answer(ids.output), Answer(documents.output)) << roadmap;
      EXPECT_EQ(ids.output.find("name"), std::string::npos) << ids.output;  // no documents, no names
      EXPECT_NE(ids.output.find("phases: reading the site list"), std::string::npos) << ids.output;
    }
  }
  // The documents are not needed.
  std::filesystem::remove(dir_.File("sub.asm"));
  const auto alone = RunTool("lookup " + Quoted(saved) + " 2/2");
  EXPECT_EQ(alone.exitCode, 0) << alone.output;
  EXPECT_NE(alone.output.find("range: (0, 95, -5) to (10, 105, 5)\n"), std::string::npos) << alone.output;
  // A miss in an IDS tree reads as one in documents.
  EXPECT_EQ(RunTool("lookup " + Quoted(saved) + " 2/7/1").output,
            "quorra lookup: id 7 does not bind: no attachment with that id under 2\n");
}

TEST_F(LookupE2E, ATreeWithoutSomeDocumentsStillAnswersAndExitsThree) {
  const std::string library = dir_.File("library");
  std::filesystem::create_directory(library);
  std::filesystem::rename(dir_.File("zeta.par"), library + "/zeta.par");
  // Ids are given in load order: without zeta.par the sub-assembly is 1.
  const auto result = RunTool("lookup " + Top() + " 1/2");
  EXPECT_EQ(result.exitCode, 3) << result.output;
  EXPECT_NE(result.output.find("name path: sub.asm:1/bolt.par:2\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("quorra lookup: incomplete load: 1 reference could not be loaded\n"),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("  zeta.par: not found (placed once by top.asm)\n"), std::string::npos)
      << result.output;
  // An id that does not bind: the listing tells what may be why.
  const auto miss = RunTool("lookup " + Top() + " 2");
  EXPECT_EQ(miss.exitCode, 1) << miss.output;
  EXPECT_NE(miss.output.find("quorra lookup: id 2 does not bind"), std::string::npos) << miss.output;
  EXPECT_NE(miss.output.find("zeta.par: not found"), std::string::npos) << miss.output;
  // Found again through --search-path.
  const auto found = RunTool("lookup " + Top() + " 1 --search-path " + Quoted(library));
  EXPECT_EQ(found.exitCode, 0) << found.output;
  EXPECT_NE(found.output.find("document: " + library + "/zeta.par\n"), std::string::npos) << found.output;
}
