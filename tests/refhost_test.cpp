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

// --- Failures in words, and what a load left out ----------------------------------

#include <quorra/refhost/describe.h>
#include <quorra/refhost/documents.h>
#include <quorra/refhost/progress.h>
#include <quorra/refhost/references.h>

#include "support/storage_support.h"

namespace {

using quorra::refhost::AssemblyDocument;
using quorra::refhost::PartDocument;
using quorra::test::TempDir;
using quorra::test::Widen;

TEST(RefHostDescribe, EveryCodeHasANameAndWords) {
  struct Case {
    HRESULT code;
    const char* text;
  } cases[] = {
      {STG_E_DOCFILECORRUPT, "the file is damaged (STG_E_DOCFILECORRUPT)"},
      {STG_E_FILEALREADYEXISTS, "not a compound file (STG_E_FILEALREADYEXISTS)"},
      {STG_E_ACCESSDENIED, "permission denied (STG_E_ACCESSDENIED)"},
      {E_OUTOFMEMORY, "out of memory (E_OUTOFMEMORY)"},
      {STG_E_READFAULT, "the data ends early (STG_E_READFAULT)"},
      {E_FAIL, "failed (E_FAIL)"},
      {static_cast<HRESULT>(0x8004CAFEu), "failed with 0x8004CAFE"},
  };
  for (const Case& c : cases) EXPECT_EQ(quorra::refhost::DescribeResult(c.code), c.text);
  EXPECT_STREQ(quorra::refhost::ResultName(E_INVALIDARG), "E_INVALIDARG");
  EXPECT_STREQ(quorra::refhost::ResultName(0x12345), "");
}

// Loads `top` and answers what the load left out.
std::vector<quorra::refhost::LoadProblem> LoadAndCheck(const std::string& top, JProgress* progress = nullptr) {
  const std::wstring path = Widen(top);
  quorra::refhost::ReferenceGraph graph;
  EXPECT_EQ(quorra::refhost::ScanReferences(path.c_str(), &graph), S_OK);
  AsmTree* tree = nullptr;
  AsmTreeCreateAndLoad(path.c_str(), &tree, progress);
  std::vector<quorra::refhost::LoadProblem> problems;
  if (tree) {
    problems = quorra::refhost::FindLoadProblems(tree, graph);
    AsmTreeUnloadAndDelete(tree);
  }
  return problems;
}

TEST(RefHostReferences, TellWhatALoadLeftOutAndWhy) {
  quorra::refhost::Install();
  TempDir dir;
  PartDocument noDisplay;
  noDisplay.writeDisplay = false;
  ASSERT_EQ(quorra::refhost::WritePartDocument(Widen(dir.File("good.par")).c_str(), PartDocument()), S_OK);
  ASSERT_EQ(quorra::refhost::WritePartDocument(Widen(dir.File("blank.par")).c_str(), noDisplay), S_OK);
  AssemblyDocument sub;
  sub.AddPlacement(L"gone.par", tagG4x4());
  ASSERT_EQ(quorra::refhost::WriteAssemblyDocument(Widen(dir.File("sub.asm")).c_str(), sub), S_OK);
  ASSERT_EQ(quorra::refhost::WriteAssemblyDocument(Widen(dir.File("empty.asm")).c_str(), AssemblyDocument()), S_OK);
  AssemblyDocument top;
  for (const wchar_t* child : {L"good.par", L"good.par", L"blank.par", L"sub.asm", L"absent.par", L"empty.asm"})
    top.AddPlacement(child, tagG4x4());
  ASSERT_EQ(quorra::refhost::WriteAssemblyDocument(Widen(dir.File("top.asm")).c_str(), top), S_OK);

  const auto problems = LoadAndCheck(dir.File("top.asm"));
  ASSERT_EQ(problems.size(), 5u);
  // In the order of the references: the top's own, then those of sub.asm.
  EXPECT_EQ(problems[0].name, L"blank.par");
  EXPECT_EQ(problems[0].reason, "its display data could not be read");
  EXPECT_EQ(problems[1].name, L"sub.asm");
  EXPECT_EQ(problems[1].reason, "nothing in it could be loaded");
  EXPECT_EQ(problems[2].name, L"absent.par");
  EXPECT_EQ(problems[2].reason, "not found");
  EXPECT_TRUE(problems[2].path.empty());
  EXPECT_EQ(problems[2].placedBy, Widen(dir.File("top.asm")));
  EXPECT_EQ(problems[3].name, L"empty.asm");
  EXPECT_EQ(problems[3].reason, "it places no documents");
  EXPECT_EQ(problems[4].name, L"gone.par");
  EXPECT_EQ(problems[4].placedBy.find(L"sub.asm") + 7, problems[4].placedBy.size());

  // A load stopped by its host after the top document leaves everything out.
  auto progress = quorra::refhost::ProgressSink::Create();
  progress->StopAfter(1, E_ABORT);
  const auto stopped = LoadAndCheck(dir.File("top.asm"), progress.Get());
  ASSERT_GE(stopped.size(), 2u);
  EXPECT_TRUE(stopped[0].placedBy.empty());  // the top document, left empty
  EXPECT_EQ(stopped[0].reason, "nothing in it could be loaded");
  EXPECT_EQ(stopped[1].name, L"good.par");
  EXPECT_EQ(stopped[1].placements, 2u);
  EXPECT_EQ(stopped[1].reason, "not loaded");

  // A damaged "Attachments" stream after its first record.
  std::vector<BYTE> bytes;
  ASSERT_EQ(quorra::refhost::BuildAttachmentsStream(top, &bytes), S_OK);
  top.truncateAt = bytes.size() - 20;
  ASSERT_EQ(quorra::refhost::WriteAssemblyDocument(Widen(dir.File("top.asm")).c_str(), top), S_OK);
  const auto damaged = LoadAndCheck(dir.File("top.asm"));
  ASSERT_FALSE(damaged.empty());
  EXPECT_TRUE(damaged.back().name.empty());
  EXPECT_EQ(damaged.back().reason.rfind("its \"Attachments\" stream is damaged: ", 0), 0u) << damaged.back().reason;
  quorra::refhost::Uninstall();
}

}  // namespace
