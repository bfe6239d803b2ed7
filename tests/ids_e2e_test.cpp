// `quorra ids save` and `quorra ids load` end to end: a sample product saved
// from its documents and rebuilt from the saved file alone prints the same
// summary as `quorra load`, a load that leaves documents out is saved and
// listed with exit 3, and bad files give one plain-word line and a failing
// exit.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost/sample.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_command.h"
#include "support/storage_support.h"

using quorra::host::ComPtr;
using quorra::test::RunTool;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

// The output without its first line (which names the file and the time) and
// without the phase times.
std::string Summary(const std::string& output) {
  const size_t end = output.find('\n');
  if (end == std::string::npos) return std::string();
  std::string summary = output.substr(end + 1);
  const size_t phases = summary.find("phases:");
  if (phases != std::string::npos) summary.erase(phases, summary.find('\n', phases) + 1 - phases);
  return summary;
}

bool OneLine(const std::string& output) { return !output.empty() && output.find('\n') == output.size() - 1; }

class IdsTool : public ::testing::Test {
 protected:
  void SetUp() override {
    quorra::refhost::SampleSummary summary;
    ASSERT_EQ(quorra::refhost::WriteGearboxSample(Widen(dir_.Path()).c_str(), &summary), S_OK);
    top_ = dir_.File("gearbox.asm");
    saved_ = dir_.File("gearbox.ids");
  }

  TempDir dir_;
  std::string top_;
  std::string saved_;
};

TEST_F(IdsTool, SavedFileRebuildsTheSameTreeWithoutDocuments) {
  const auto load = RunTool("load " + top_);
  ASSERT_EQ(load.exitCode, 0) << load.output;
  const auto save = RunTool("ids save " + top_ + " " + saved_);
  ASSERT_EQ(save.exitCode, 0) << save.output;
  EXPECT_NE(save.output.find("34 sites, 65 attachments"), std::string::npos) << save.output;

  // Without the documents the tree still comes back whole.
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
    if (entry.path().string() != saved_) std::filesystem::remove(entry.path());
  const auto rebuilt = RunTool("ids load " + saved_);
  ASSERT_EQ(rebuilt.exitCode, 0) << rebuilt.output;
  EXPECT_EQ(Summary(rebuilt.output), Summary(load.output));
  EXPECT_NE(rebuilt.output.find("99 occurrences"), std::string::npos) << rebuilt.output;
}

TEST_F(IdsTool, BadFilesFailWithOneLine) {
  ASSERT_EQ(RunTool("ids save " + top_ + " " + saved_).exitCode, 0);
  // A copy whose "IDS" stream is cut short.
  const std::string truncated = dir_.File("truncated.ids");
  {
    ComPtr<IStorage> from, to;
    ASSERT_EQ(StgOpenStorage(Widen(saved_).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, from.Put()),
              S_OK);
    ASSERT_EQ(
        StgCreateDocfile(Widen(truncated).c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, to.Put()),
        S_OK);
    const std::string ids = quorra::test::GetStream(from.Get(), L"IDS");
    ASSERT_GT(ids.size(), 200u);
    ASSERT_EQ(quorra::test::PutStream(to.Get(), L"IDS", ids.substr(0, ids.size() - 100)), S_OK);
    ASSERT_EQ(quorra::test::PutStream(to.Get(), L"Sites", quorra::test::GetStream(from.Get(), L"Sites")), S_OK);
    ASSERT_EQ(to->Commit(0), S_OK);
  }
  const std::string text = dir_.File("notes.txt");
  quorra::test::WriteFileBytes(text, {'h', 'i', '\n'});
  const std::string empty = dir_.File("empty.ids");
  quorra::test::WriteFileBytes(empty, {});
  std::filesystem::create_directory(dir_.File("folder.ids"));

  struct Case {
    std::string arguments;
    std::string message;  // how the one line begins
    int exitCode;
  };
  const std::vector<Case> cases = {
      {"ids load " + dir_.File("missing.ids"), "quorra ids: cannot load " + dir_.File("missing.ids") + ": no such file", 1},
      {"ids load " + text, "quorra ids: cannot load " + text + ": not a compound file", 1},
      {"ids load " + empty, "quorra ids: cannot load " + empty + ": the file is empty", 1},
      {"ids load " + dir_.File("folder.ids"), "quorra ids: cannot load " + dir_.File("folder.ids") + ": is a directory",
       1},
      {"ids load " + top_, "quorra ids: cannot load " + top_ + ": it holds no \"IDS\" stream", 1},
      {"ids load " + truncated, "quorra ids: cannot load the IDS of " + truncated + ": the data ends early", 1},
      {"ids save " + dir_.File("missing.asm") + " " + saved_,
       "quorra ids: cannot load " + dir_.File("missing.asm") + ": no such file", 1},
      {"ids save " + top_ + " " + dir_.File("folder.ids"),
       "quorra ids: cannot write " + dir_.File("folder.ids") + ": is a directory", 1},
      {"ids save " + top_ + " " + dir_.File("no/such/dir/out.ids"),
       "quorra ids: cannot write " + dir_.File("no/such/dir/out.ids") + ": no such directory", 1},
      {"ids load", "quorra ids: load expects one file", 2},
      {"ids frobnicate", "quorra ids: expects save or load", 2},
  };
  for (const Case& c : cases) {
    const auto result = RunTool(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments << "\n" << result.output;
    EXPECT_TRUE(OneLine(result.output)) << c.arguments << "\n" << result.output;
    EXPECT_EQ(result.output.rfind(c.message, 0), 0u) << c.arguments << "\n" << result.output;
    // Plain words: no bare result code, no trace location.
    EXPECT_EQ(result.output.find("(0x"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("SERVICES/"), std::string::npos) << result.output;
  }
}

TEST_F(IdsTool, LoadPrintsWhatLoadPrintsWithItsOwnPhases) {
  ASSERT_EQ(RunTool("ids save " + top_ + " " + saved_).exitCode, 0);
  const auto outline = RunTool("ids load " + saved_ + " --outline=1");
  ASSERT_EQ(outline.exitCode, 0) << outline.output;
  const auto loadOutline = RunTool("load " + top_ + " --outline=1");
  EXPECT_EQ(Summary(outline.output), Summary(loadOutline.output));
  EXPECT_NE(outline.output.find("bearing_cap.asm x6  #7 #8 #9 #10 #11 #12\n"), std::string::npos) << outline.output;
  EXPECT_NE(outline.output.find("phases: reading the site list "), std::string::npos) << outline.output;
  EXPECT_NE(outline.output.find(", rebuilding the tree "), std::string::npos) << outline.output;

  // The JSON object is load's, its counts the same, its source told.
  const auto json = RunTool("ids load " + saved_ + " --json");
  ASSERT_EQ(json.exitCode, 0) << json.output;
  const auto loadJson = RunTool("load " + top_ + " --json");
  EXPECT_NE(json.output.find("\"source\": \"ids\""), std::string::npos) << json.output;
  EXPECT_NE(loadJson.output.find("\"source\": \"documents\""), std::string::npos) << loadJson.output;
  for (const char* key : {"\"documents\":", "\"sites\":", "\"attachments\":", "\"occurrences\":", "\"range\":"}) {
    auto line = [key](const std::string& text) {
      const size_t at = text.find(key);
      return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
    };
    EXPECT_FALSE(line(json.output).empty()) << key;
    EXPECT_EQ(line(json.output), line(loadJson.output)) << key;
  }
}

TEST_F(IdsTool, SaveWithoutSomeDocumentsListsThemExitsThreeAndKeepsTheRest) {
  std::filesystem::remove(dir_.File("washer_m8.par"));
  const auto save = RunTool("ids save " + top_ + " " + saved_);
  EXPECT_EQ(save.exitCode, 3) << save.output;
  EXPECT_NE(save.output.find("saved " + top_ + " to " + saved_ + " (incomplete): "), std::string::npos)
      << save.output;
  EXPECT_NE(save.output.find("quorra ids: incomplete load: 1 reference could not be loaded\n"), std::string::npos)
      << save.output;
  EXPECT_NE(save.output.find("  washer_m8.par: not found (placed 8 times by gearbox.asm)\n"), std::string::npos)
      << save.output;
  EXPECT_NE(save.output.find(", writing the IDS file "), std::string::npos) << save.output;

  // What was loaded is what was saved.
  const auto load = RunTool("load " + top_);
  const auto rebuilt = RunTool("ids load " + saved_);
  ASSERT_EQ(rebuilt.exitCode, 0) << rebuilt.output;
  EXPECT_NE(rebuilt.output.find("91 occurrences"), std::string::npos) << rebuilt.output;
  // The counts and range, without the listing (on stderr, so anywhere in
  // the output) and the lines that name the file and the times.
  auto counts = [](const std::string& output) {
    std::string kept;
    size_t start = 0;
    while (start < output.size()) {
      const size_t end = output.find('\n', start);
      const std::string line = output.substr(start, end - start);
      start = end == std::string::npos ? output.size() : end + 1;
      bool skip = false;
      for (const char* skipped : {"quorra ", "  ", "loaded ", "phases:"}) skip = skip || line.rfind(skipped, 0) == 0;
      if (!skip) kept += line + "\n";
    }
    return kept;
  };
  EXPECT_EQ(counts(rebuilt.output), counts(load.output));
  EXPECT_NE(counts(load.output).find("range: "), std::string::npos) << load.output;
}

}  // namespace
