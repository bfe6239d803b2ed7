// Sample products: the expected counts against an independent walk of the
// written documents, determinism, layout, option checks and the tool.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost/documents.h>
#include <quorra/refhost/sample.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "support/attachments_reader.h"
#include "support/run_command.h"
#include "support/storage_support.h"

using namespace quorra::refhost;
using quorra::host::ComPtr;
using quorra::test::RunTool;
using quorra::test::TempDir;
using quorra::test::Widen;

namespace {

// Walks the documents from the top the way the file loader does: each
// placement name resolved with the path search from the assembly's
// directory, each distinct document counted once, each path once.
class Walker {
 public:
  uint64_t Occurrences(const std::wstring& path) {
    if (auto found = memo_.find(path); found != memo_.end()) return found->second;
    ++sites_;
    uint64_t count = 1;
    const std::wstring extension(quorra::host::PathExtension(path));
    if (extension == L".pwd") {
      count += WeldmentMembers(path);
    } else if (extension == L".asm") {
      quorra::test::ReadAttachments read;
      EXPECT_EQ(quorra::test::ParseAttachments(quorra::test::ReadRootStream(path, L"Attachments"), &read), "")
          << quorra::host::ToUtf8(path);
      const std::wstring directory(quorra::host::PathDirectory(path));
      for (const auto& component : read.components)
        for (const auto& placement : component.placements) {
          if (placement.blockLength == 0) continue;
          ++placements_;
          translations_[path].push_back({placement.matrix.m[3], placement.matrix.m[7], placement.matrix.m[11]});
          wchar_t found[2048];
          const std::wstring name = placement.name.substr(0, placement.name.rfind(L':'));
          if (SearchPathW(directory.c_str(), name.c_str(), L".par", 2048, found, nullptr) == 0) {
            ADD_FAILURE() << "cannot find " << quorra::host::ToUtf8(name);
            continue;
          }
          count += Occurrences(found);
        }
    }
    memo_[path] = count;
    return count;
  }

  uint64_t Sites() const { return sites_; }
  uint64_t WeldmentMemberSites() const { return weldmentMembers_; }
  size_t Documents() const { return memo_.size(); }
  size_t Placements() const { return placements_; }
  // The placement translations of each assembly.
  const std::map<std::wstring, std::vector<std::array<double, 3>>>& Translations() const { return translations_; }

 private:
  uint64_t WeldmentMembers(const std::wstring& path) {
    ComPtr<IStorage> root, display;
    constexpr DWORD kRead = STGM_READ | STGM_SHARE_EXCLUSIVE;
    EXPECT_EQ(StgOpenStorage(path.c_str(), nullptr, kRead, nullptr, 0, root.Put()), S_OK);
    EXPECT_EQ(root->OpenStorage(L"DISPLAY", nullptr, kRead, nullptr, 0, display.Put()), S_OK);
    uint64_t members = 0;
    for (const auto& element : quorra::test::ListElements(display.Get()))
      members += element.type == STGTY_STORAGE && DisplayMemberNumber(element.name) != 0;
    weldmentMembers_ += members;
    return members;
  }

  std::map<std::wstring, uint64_t> memo_;
  std::map<std::wstring, std::vector<std::array<double, 3>>> translations_;
  uint64_t sites_ = 0;
  uint64_t weldmentMembers_ = 0;
  size_t placements_ = 0;
};

void ExpectWalkMatches(const SampleSummary& summary) {
  Walker walker;
  EXPECT_EQ(walker.Occurrences(summary.topDocument), summary.expectedOccurrences);
  EXPECT_EQ(walker.Sites() + walker.WeldmentMemberSites(), summary.expectedSites);
  EXPECT_EQ(walker.Documents(), summary.documents);
  // Every placement of an assembly sits at its own place.
  using Places = std::set<std::array<double, 3>>;
  for (const auto& [assembly, translations] : walker.Translations())
    EXPECT_EQ(Places(translations.begin(), translations.end()).size(), translations.size())
        << quorra::host::ToUtf8(assembly);
}

TEST(Sample, SmallConfigurationHasTheCountsOfItsStructure) {
  TempDir dir;
  SampleOptions options;
  options.depth = 2;
  options.fanout = 3;
  options.parts = 2;
  SampleSummary summary;
  ASSERT_EQ(WriteSample(Widen(dir.Path()).c_str(), options, &summary), S_OK);
  // The top places two of three children as the one level-1 assembly, which
  // places three parts: 1 + 1 + 2 x (1 + 3) occurrences.
  EXPECT_EQ(summary.expectedOccurrences, 10u);
  EXPECT_EQ(summary.siteReaderOccurrences, 10u);
  EXPECT_EQ(summary.expectedSites, 4u);
  EXPECT_EQ(summary.documents, 4u);
  EXPECT_EQ(summary.assemblies, 2u);
  EXPECT_EQ(summary.parts, 2u);
  EXPECT_EQ(summary.placements, 6u);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"part_0001.par", "part_0002.par", "sample.asm", "sub_L1_01.asm"}));
  EXPECT_EQ(summary.topDocument, Widen(std::filesystem::canonical(dir.File("sample.asm")).string()));
  ExpectWalkMatches(summary);
}

TEST(Sample, CountsAgreeWithAWalkOfTheDocuments) {
  struct Case {
    unsigned depth, fanout, parts;
    uint64_t seed;
    SampleNames names;
  } cases[] = {
      {1, 1, 1, 1, SampleNames::kBaseName},  {3, 4, 8, 1, SampleNames::kBaseName}, {4, 5, 3, 7, SampleNames::kAbsolute},
      {3, 7, 40, 99, SampleNames::kWindows}, {5, 2, 1, 3, SampleNames::kBaseName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.depth << "/" << c.fanout << "/" << c.parts);
    TempDir dir;
    SampleSummary summary;
    ASSERT_EQ(WriteSample(Widen(dir.Path()).c_str(), {c.depth, c.fanout, c.parts, c.seed, c.names}, &summary), S_OK);
    EXPECT_EQ(summary.documents, dir.Entries().size());                     // nothing unreachable written
    EXPECT_EQ(summary.siteReaderOccurrences, summary.expectedOccurrences);  // no weldments
    ExpectWalkMatches(summary);
  }
}

TEST(Sample, PlacementNamesFollowTheStyle) {
  for (SampleNames names : {SampleNames::kBaseName, SampleNames::kAbsolute, SampleNames::kWindows}) {
    TempDir dir;
    SampleSummary summary;
    ASSERT_EQ(WriteSample(Widen(dir.Path()).c_str(), {2, 2, 1, 1, names}, &summary), S_OK);
    quorra::test::ReadAttachments read;
    ASSERT_EQ(quorra::test::ParseAttachments(quorra::test::ReadRootStream(summary.topDocument, L"Attachments"), &read),
              "");
    const std::wstring& name = read.components[0].placements[0].name;
    const std::wstring directory = Widen(std::filesystem::canonical(dir.Path()).string());
    const std::wstring expected = names == SampleNames::kBaseName   ? L"sub_L1_01.asm:1"
                                  : names == SampleNames::kAbsolute ? directory + L"/sub_L1_01.asm:1"
                                                                    : L"C:\\quorra\\sample\\sub_L1_01.asm:1";
    EXPECT_EQ(name, expected);
    EXPECT_EQ(read.components[0].link + L":1", expected);
  }
}

TEST(Sample, SameSeedSameDocuments) {
  auto streams = [](uint64_t seed) {
    TempDir dir;
    SampleSummary summary;
    EXPECT_EQ(WriteSample(Widen(dir.Path()).c_str(), {3, 5, 6, seed, SampleNames::kBaseName}, &summary), S_OK);
    std::map<std::string, std::vector<BYTE>> content;
    for (const std::string& file : dir.Entries())
      content[file] = quorra::test::ReadRootStream(Widen(dir.File(file)), L"Attachments");
    return content;
  };
  const auto first = streams(42);
  EXPECT_EQ(first, streams(42));
  const auto other = streams(43);
  EXPECT_NE(first, other);                // the seed changes the layout
  EXPECT_EQ(first.size(), other.size());  // and not the structure
}

TEST(Sample, GearboxIsAProductWithReuseAndAWeldment) {
  TempDir dir;
  SampleSummary summary;
  ASSERT_EQ(WriteGearboxSample(Widen(dir.Path()).c_str(), &summary), S_OK);
  EXPECT_EQ(summary.weldments, 1u);
  EXPECT_GE(summary.parts, 20u);
  EXPECT_GE(summary.assemblies, 4u);
  // The weldment is placed twice and has four members: the file loader sees
  // an assembly with four parts, the site reader one part.
  EXPECT_EQ(summary.expectedSites, summary.siteReaderSites + 4);
  EXPECT_EQ(summary.expectedOccurrences, summary.siteReaderOccurrences + 2 * 4);
  ExpectWalkMatches(summary);

  // The bearing cap sub-assembly is placed six times in the top.
  quorra::test::ReadAttachments read;
  ASSERT_EQ(quorra::test::ParseAttachments(quorra::test::ReadRootStream(summary.topDocument, L"Attachments"), &read),
            "");
  size_t caps = 0;
  for (const auto& component : read.components)
    if (component.link == L"bearing_cap.asm") caps = component.placements.size();
  EXPECT_EQ(caps, 6u);
}

TEST(Sample, RefusesBadOptionsAndUnwritableDirectories) {
  TempDir dir;
  const SampleOptions bad[] = {
      {0, 3, 3, 1, SampleNames::kBaseName},    {kMaxSampleDepth + 1, 3, 3, 1, SampleNames::kBaseName},
      {2, 0, 3, 1, SampleNames::kBaseName},    {2, kMaxSampleFanout + 1, 3, 1, SampleNames::kBaseName},
      {2, 3, 0, 1, SampleNames::kBaseName},    {2, 3, kMaxSampleParts + 1, 1, SampleNames::kBaseName},
      {16, 100, 3, 1, SampleNames::kBaseName},  // 10^30 occurrences
  };
  for (const SampleOptions& options : bad) {
    std::string why;
    EXPECT_EQ(CheckSampleOptions(options, &why), E_INVALIDARG);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(WriteSample(Widen(dir.File("out")).c_str(), options, nullptr), E_INVALIDARG);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("out")));

  quorra::test::WriteFileBytes(dir.File("file"), {1});
  EXPECT_TRUE(FAILED(WriteSample(Widen(dir.File("file/sub")).c_str(), SampleOptions(), nullptr)));
  EXPECT_TRUE(FAILED(WriteGearboxSample(Widen(dir.File("file")).c_str(), nullptr)));
  EXPECT_EQ(WriteSample(nullptr, SampleOptions(), nullptr), E_INVALIDARG);
}

// --- The tool -------------------------------------------------------------------

TEST(SampleTool, WritesAndReportsOrFailsOnOneLine) {
  if (!std::getenv("QUORRA_TOOL")) GTEST_SKIP() << "QUORRA_TOOL is not set";
  TempDir dir;
  const auto ok = RunTool("sample " + dir.File("s") + " --depth 2 --fanout 3 --parts 2 --seed 5");
  EXPECT_EQ(ok.exitCode, 0) << ok.output;
  EXPECT_NE(ok.output.find("wrote 4 documents"), std::string::npos) << ok.output;
  EXPECT_NE(ok.output.find("expected sites: 4, occurrences: 10"), std::string::npos) << ok.output;
  const auto gearbox = RunTool("sample " + dir.File("g") + " --gearbox --names windows");
  EXPECT_EQ(gearbox.exitCode, 0) << gearbox.output;
  EXPECT_TRUE(std::filesystem::exists(dir.File("g/gearbox.asm")));

  quorra::test::WriteFileBytes(dir.File("file"), {1});
  struct Case {
    std::string arguments;
    int exitCode;
  } cases[] = {
      {"sample " + dir.File("x") + " --depth -1", 2},
      {"sample " + dir.File("x") + " --fanout 0", 2},
      {"sample " + dir.File("x") + " --parts 12abc", 2},
      {"sample " + dir.File("x") + " --depth 16 --fanout 1000", 2},
      {"sample " + dir.File("x") + " --gearbox --depth 2", 2},
      {"sample " + dir.File("x") + " --names dos", 2},
      {"sample", 2},
      {"sample " + dir.File("file/inside"), 1},
  };
  for (const Case& c : cases) {
    const auto result = RunTool(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments << ": " << result.output;
    EXPECT_EQ(result.output.rfind("quorra sample: ", 0), 0u) << result.output;
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("x")));
}

}  // namespace
