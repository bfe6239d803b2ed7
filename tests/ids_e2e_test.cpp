// `quorra ids save` and `quorra ids load` end to end: a sample product saved
// from its documents and rebuilt from the saved file alone prints the same
// summary as `quorra load`, and bad files give one line and a failing exit.
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

  struct Case {
    std::string arguments;
    const char* message;
    int exitCode;
  };
  const std::vector<Case> cases = {
      {"ids load " + dir_.File("missing.ids"), "no such file", 1},
      {"ids load " + text, "not a compound file", 1},
      {"ids load " + dir_.File("gearbox.asm"), "no \"IDS\" stream", 1},
      {"ids load " + truncated, "truncated", 1},
      {"ids save " + dir_.File("missing.asm") + " " + saved_, "no such file", 1},
      {"ids load", "load expects one file", 2},
      {"ids frobnicate", "expects save or load", 2},
  };
  for (const Case& c : cases) {
    const auto result = RunTool(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments << "\n" << result.output;
    EXPECT_TRUE(OneLine(result.output)) << c.arguments << "\n" << result.output;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << c.arguments << "\n" << result.output;
  }
}

}  // namespace
