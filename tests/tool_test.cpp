// The quorra tool as a user meets it: bad inputs, wrong command lines, loads
// that leave documents out, the parts list, and commands that must not
// destroy data. Runs the built tool ($QUORRA_TOOL).
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost/documents.h>
#include <quorra/refhost/sample.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/run_command.h"
#include "support/storage_support.h"

using quorra::refhost::AssemblyDocument;
using quorra::refhost::PartDocument;
using quorra::refhost::SampleSummary;
using quorra::refhost::WriteAssemblyDocument;
using quorra::refhost::WriteGearboxSample;
using quorra::refhost::WritePartDocument;
using quorra::test::ReadFileBytes;
using quorra::test::RunTool;
using quorra::test::TempDir;
using quorra::test::Widen;
using quorra::test::WriteFileBytes;

namespace {

size_t Lines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Tool : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("QUORRA_TOOL")) GTEST_SKIP() << "QUORRA_TOOL is not set";
  }

  // An assembly "top.asm" placing the given parts (and writing those that
  // are listed in `present`).
  std::string WriteAssembly(const std::vector<std::string>& placed, const std::vector<std::string>& present,
                            const std::string& name = "top.asm") {
    AssemblyDocument top;
    for (const std::string& part : placed) top.AddPlacement(Widen(part), tagG4x4());
    EXPECT_EQ(WriteAssemblyDocument(Widen(dir_.File(name)).c_str(), top), S_OK);
    for (const std::string& part : present)
      EXPECT_EQ(WritePartDocument(Widen(dir_.File(part)).c_str(), PartDocument()), S_OK);
    return dir_.File(name);
  }

  TempDir dir_;
};

TEST_F(Tool, BadDocumentsFailWithTheirReasonOnOneLine) {
  std::filesystem::create_directory(dir_.File("folder.asm"));
  WriteFileBytes(dir_.File("empty.asm"), {});
  WriteFileBytes(dir_.File("text.asm"), {'h', 'e', 'l', 'l', 'o', '\n'});
  WriteFileBytes(dir_.File("notes.txt"), {'h', 'i'});
  const std::string good = WriteAssembly({"a.par"}, {"a.par"}, "good.asm");
  std::vector<BYTE> bytes = ReadFileBytes(good);
  bytes.resize(bytes.size() - 700);
  WriteFileBytes(dir_.File("truncated.asm"), bytes);
  WriteFileBytes(dir_.File("locked.asm"), ReadFileBytes(good));
  std::filesystem::permissions(dir_.File("locked.asm"), std::filesystem::perms::none);
  const bool canReadEverything = ::access(dir_.File("locked.asm").c_str(), R_OK) == 0;  // root

  struct Case {
    std::string file;
    std::string reason;
  } cases[] = {
      {"folder.asm", "is a directory"},    {"empty.asm", "the file is empty"},
      {"text.asm", "not a compound file"}, {"truncated.asm", "the file is truncated"},
      {"locked.asm", "permission denied"}, {"notes.txt", "unsupported document type: .txt"},
      {"absent.asm", "no such file"},
  };
  for (const Case& c : cases) {
    if (c.file == "locked.asm" && canReadEverything) continue;
    // Every command that loads documents says the same.
    const struct {
      const char* name;
      std::string arguments;
    } commands[] = {
        {"load", "load " + dir_.File(c.file)},
        {"bom", "bom " + dir_.File(c.file)},
        {"lookup", "lookup " + dir_.File(c.file) + " 1"},
        {"ids", "ids save " + dir_.File(c.file) + " " + dir_.File("out.ids")},
    };
    for (const auto& command : commands) {
      const auto result = RunTool(command.arguments);
      EXPECT_EQ(result.exitCode, 1) << command.arguments << ": " << result.output;
      EXPECT_EQ(result.output,
                "quorra " + std::string(command.name) + ": cannot load " + dir_.File(c.file) + ": " + c.reason + "\n");
    }
  }
  // The storage command tells the same reasons (any compound file will do).
  EXPECT_EQ(RunTool("storage ls " + dir_.File("truncated.asm")).output,
            "quorra storage: cannot open " + dir_.File("truncated.asm") + ": the file is truncated\n");
  EXPECT_EQ(RunTool("storage ls " + dir_.File("folder.asm")).output,
            "quorra storage: cannot open " + dir_.File("folder.asm") + ": is a directory\n");
  // No internal trace location reaches the user.
  EXPECT_FALSE(Contains(RunTool("load " + dir_.File("text.asm")).output, "SERVICES/"));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out.ids")));  // nothing is written for a failed load
}

TEST_F(Tool, CommandLineMistakesHaveTheirOwnMessages) {
  const std::string top = WriteAssembly({"a.par"}, {"a.par"});
  struct Case {
    std::string arguments;
    std::string message;
  } cases[] = {
      {"load " + top + " -x", "quorra load: unknown option -x"},
      {"load " + top + " --bogus", "quorra load: unknown option --bogus"},
      {"load " + top + " --threaded --threaded", "quorra load: option --threaded is given more than once"},
      {"load " + top + " --threaded=yes", "quorra load: option --threaded takes no value"},
      {"load " + top + " --outline=deep", "quorra load: --outline: expected a whole number from 0 to 4294967295"},
      {"load " + top + " --search-path", "quorra load: option --search-path needs a value"},
      {"load", "quorra load: expects one file"},
      {"lookup " + top + " 1 --threaded", "quorra lookup: unknown option --threaded"},
      {"lookup " + top + " 1 --search-path", "quorra lookup: option --search-path needs a value"},
      {"ids save " + top + " out.ids --json", "quorra ids: unknown option --json"},
      {"ids load out.ids --search-path .", "quorra ids: unknown option --search-path"},
      {"ids load out.ids --outline=x", "quorra ids: --outline: expected a whole number from 0 to 4294967295"},
      {"ids load out.ids --json --outline", "quorra ids: --json and --outline cannot be given together"},
      {"sample " + dir_.File("s") + " --depth 0", "quorra sample: --depth: expected a whole number from 1 to 16"},
      {"sample " + dir_.File("s") + " --seed 18446744073709551616",
       "quorra sample: --seed: expected a whole number from 0 to 18446744073709551615"},
      {"sample " + dir_.File("s") + " --depth 2 --depth 3", "quorra sample: option --depth is given more than once"},
      {"storage ls " + top + " --force", "quorra storage: --force goes with put only"},
      {"--bogus", "quorra: unknown option --bogus"},
      {"frobnicate", "quorra: unknown command 'frobnicate'"},
  };
  for (const Case& c : cases) {
    const auto result = RunTool(c.arguments);
    EXPECT_EQ(result.exitCode, 2) << c.arguments << ": " << result.output;
    EXPECT_EQ(result.output.rfind(c.message, 0), 0u) << c.arguments << ": " << result.output;
    EXPECT_EQ(Lines(result.output), 1u) << result.output;
  }
  // The whole stated range is accepted.
  const auto seed = RunTool("sample " + dir_.File("s") + " --depth 1 --fanout 1 --parts 1 --seed 18446744073709551615");
  EXPECT_EQ(seed.exitCode, 0) << seed.output;
  const auto version = RunTool("--version");
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.output, "quorra " QUORRA_TEST_VERSION "\n");
  EXPECT_EQ(RunTool("version").output, version.output);
}

TEST_F(Tool, SampleRefusesADirectoryInUseUnlessForced) {
  const std::string target = dir_.File("out");
  std::filesystem::create_directory(target);
  WriteFileBytes(target + "/stale.par", {1, 2, 3});
  WriteFileBytes(target + "/notes.txt", {'k'});

  const auto refused = RunTool("sample " + target + " --depth 1 --fanout 2 --parts 1");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.output.rfind("quorra sample: " + target + " is not empty; give --force", 0), 0u) << refused.output;
  EXPECT_EQ(ReadFileBytes(target + "/stale.par"), (std::vector<BYTE>{1, 2, 3}));

  const auto forced = RunTool("sample " + target + " --depth 1 --fanout 2 --parts 1 --force");
  EXPECT_EQ(forced.exitCode, 0) << forced.output;
  EXPECT_FALSE(std::filesystem::exists(target + "/stale.par"));  // no stale document remains
  EXPECT_TRUE(std::filesystem::exists(target + "/notes.txt"));   // nothing else is touched
  EXPECT_TRUE(std::filesystem::exists(target + "/sample.asm"));

  // A file is not a directory.
  const auto file = RunTool("sample " + target + "/notes.txt");
  EXPECT_EQ(file.exitCode, 1);
  EXPECT_EQ(file.output, "quorra sample: " + target + "/notes.txt is a file, not a directory\n");
}

TEST_F(Tool, StoragePutNeverReplacesAStorageSilently) {
  const std::string file = dir_.File("doc.asm");
  WriteFileBytes(dir_.File("iot"), {'i', 'o', 't'});
  WriteFileBytes(dir_.File("new"), {'n', 'e', 'w'});
  ASSERT_EQ(RunTool("storage put " + file + " IOT/Default " + dir_.File("iot")).exitCode, 0);
  const std::vector<BYTE> before = ReadFileBytes(file);

  const auto refused = RunTool("storage put " + file + " IOT " + dir_.File("new"));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(Contains(refused.output, "IOT in " + file + " is a storage")) << refused.output;
  EXPECT_TRUE(Contains(refused.output, "--force")) << refused.output;
  EXPECT_EQ(ReadFileBytes(file), before);  // byte for byte
  EXPECT_EQ(RunTool("storage cat " + file + " IOT/Default").output, "iot");

  const auto cat = RunTool("storage cat " + file + " IOT");
  EXPECT_EQ(cat.exitCode, 1);
  EXPECT_EQ(cat.output.rfind("quorra storage: IOT is a storage, not a stream", 0), 0u) << cat.output;

  EXPECT_EQ(RunTool("storage put " + file + " IOT " + dir_.File("new") + " --force").exitCode, 0);
  EXPECT_EQ(RunTool("storage cat " + file + " IOT").output, "new");
}

TEST_F(Tool, ALoadWithoutSomeDocumentsListsThemAndExitsThree) {
  SampleSummary summary;
  ASSERT_EQ(WriteGearboxSample(Widen(dir_.Path()).c_str(), &summary), S_OK);
  // A part placed eight times and a sub-assembly placed six times.
  std::filesystem::remove(dir_.File("washer_m8.par"));
  std::filesystem::remove(dir_.File("bearing_cap.asm"));
  // A part that is there but cannot be read.
  WriteFileBytes(dir_.File("drain_plug.par"), {'x'});

  for (const char* mode : {"", " --threaded"}) {
    const auto result = RunTool("load " + dir_.File("gearbox.asm") + mode);
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_TRUE(Contains(result.output, "(incomplete)")) << result.output;
    EXPECT_TRUE(Contains(result.output, "quorra load: incomplete load: 3 references could not be loaded\n"))
        << result.output;
    EXPECT_TRUE(Contains(result.output, "  washer_m8.par: not found (placed 8 times by gearbox.asm)\n"))
        << result.output;
    EXPECT_TRUE(Contains(result.output, "  bearing_cap.asm: not found (placed 6 times by gearbox.asm)\n"))
        << result.output;
    EXPECT_TRUE(Contains(result.output, "  drain_plug.par: not a compound file (placed once by gearbox.asm)\n"))
        << result.output;
    EXPECT_TRUE(Contains(result.output, "phases: ")) << result.output;
  }
  const auto demoLike = RunTool("bom " + dir_.File("gearbox.asm"));
  EXPECT_EQ(demoLike.exitCode, 3) << demoLike.output;
  // Every loading command lists them the same way.
  const struct {
    const char* name;
    std::string arguments;
  } others[] = {
      {"lookup", "lookup " + dir_.File("gearbox.asm") + " 1"},
      {"ids", "ids save " + dir_.File("gearbox.asm") + " " + dir_.File("gearbox.ids")},
  };
  for (const auto& other : others) {
    const auto result = RunTool(other.arguments);
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_TRUE(Contains(result.output, "quorra " + std::string(other.name) +
                                            ": incomplete load: 3 references could not be loaded\n"))
        << result.output;
    EXPECT_TRUE(Contains(result.output, "  washer_m8.par: not found (placed 8 times by gearbox.asm)\n"))
        << result.output;
  }

  const auto json = RunTool("load " + dir_.File("gearbox.asm") + " --json");
  EXPECT_EQ(json.exitCode, 3);
  EXPECT_TRUE(Contains(json.output, "\"complete\": false")) << json.output;
  EXPECT_TRUE(Contains(json.output, "{\"placedBy\": \"" + dir_.File("gearbox.asm") +
                                        "\", \"name\": \"washer_m8.par\", \"path\": null, \"placements\": 8, "
                                        "\"reason\": \"not found\"}"))
      << json.output;

  // The moved documents are found again through --search-path.
  const std::string library = dir_.File("library");
  std::filesystem::create_directory(library);
  ASSERT_EQ(WriteGearboxSample(Widen(library).c_str(), nullptr), S_OK);
  std::filesystem::remove(dir_.File("drain_plug.par"));
  const auto found = RunTool("load " + dir_.File("gearbox.asm") + " --search-path " + library);
  EXPECT_EQ(found.exitCode, 0) << found.output;
  EXPECT_TRUE(Contains(found.output, std::to_string(summary.expectedOccurrences) + " occurrences")) << found.output;
}

TEST_F(Tool, ManyMissingReferencesShowTenAndACount) {
  std::vector<std::string> placed;
  for (int i = 0; i < 13; ++i) placed.push_back("missing_" + std::to_string(100 + i) + ".par");
  placed.push_back("there.par");
  const std::string top = WriteAssembly(placed, {"there.par"});
  const auto result = RunTool("load " + top);
  EXPECT_EQ(result.exitCode, 3) << result.output;
  EXPECT_TRUE(Contains(result.output, "13 references could not be loaded")) << result.output;
  EXPECT_TRUE(Contains(result.output, "  missing_109.par: not found (placed once by top.asm)\n")) << result.output;
  EXPECT_FALSE(Contains(result.output, "missing_110.par")) << result.output;
  EXPECT_TRUE(Contains(result.output, "  and 3 more\n")) << result.output;

  // Nothing loadable at all: a failure that still names what is missing.
  const std::string none = WriteAssembly({"gone.par"}, {}, "none.asm");
  const auto failed = RunTool("load " + none);
  EXPECT_EQ(failed.exitCode, 1) << failed.output;
  EXPECT_TRUE(Contains(failed.output, "quorra load: cannot load " + none + ": nothing in it could be loaded\n"))
      << failed.output;
  EXPECT_TRUE(Contains(failed.output, "  gone.par: not found (placed once by none.asm)\n")) << failed.output;
}

TEST_F(Tool, SummaryOutlineAndPartsListOfTheGearbox) {
  SampleSummary summary;
  ASSERT_EQ(WriteGearboxSample(Widen(dir_.Path()).c_str(), &summary), S_OK);
  const auto load = RunTool("load " + dir_.File("gearbox.asm") + " --outline=1");
  EXPECT_EQ(load.exitCode, 0) << load.output;
  EXPECT_TRUE(Contains(load.output, "documents: 30 (5 assemblies, 24 parts, 1 weldment)\n")) << load.output;
  EXPECT_TRUE(Contains(load.output,
                       "65 attachments: 60 placements read from assemblies, 4 weldment members, and the "
                       "root's own\n"))
      << load.output;
  EXPECT_TRUE(Contains(load.output, "  bearing_cap.asm x6  #7 #8 #9 #10 #11 #12\n")) << load.output;
  EXPECT_FALSE(Contains(load.output, "    cap_screw_m6.par")) << load.output;  // depth 1 only
  // Every phase is timed; the tree is freed, or left to the system at exit.
  EXPECT_TRUE(Contains(load.output, "phases: finding documents ")) << load.output;
  EXPECT_TRUE(Contains(load.output, ", reading documents ")) << load.output;
  EXPECT_TRUE(Contains(load.output, "releasing memory") ||
              Contains(load.output, "(the tree's memory is left to the system at exit)"))
      << load.output;

  // A part and a weldment loaded on their own.
  struct Alone {
    const char* file;
    const char* documents;
    const char* attachments;
  } alone[] = {
      {"housing.par", "documents: 1 (0 assemblies, 1 part)\n",
       "2 attachments: the part placed in \"ROOT\", and the root's own\n"},
      {"mounting_foot.pwd", "documents: 1 (0 assemblies, 0 parts, 1 weldment)\n",
       "5 attachments: 4 weldment members, and the root's own\n"},
  };
  for (const Alone& a : alone) {
    const auto result = RunTool("load " + dir_.File(a.file));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(Contains(result.output, a.documents)) << result.output;
    EXPECT_TRUE(Contains(result.output, a.attachments)) << result.output;
  }

  const auto bom = RunTool("bom " + dir_.File("gearbox.asm"));
  EXPECT_EQ(bom.exitCode, 0) << bom.output;
  EXPECT_TRUE(Contains(bom.output, "parts list of " + dir_.File("gearbox.asm") + ": 29 documents, 90 instances"))
      << bom.output;
  EXPECT_TRUE(Contains(bom.output, "       24  cap_screw_m6.par ")) << bom.output;
  EXPECT_TRUE(Contains(bom.output, "4 in bearing_cap.asm\n")) << bom.output;
  EXPECT_TRUE(Contains(bom.output, "1 in input_shaft.asm, 2 in intermediate_shaft.asm, 1 in output_shaft.asm\n"))
      << bom.output;
  EXPECT_LT(bom.output.find("bearing_6205.par"), bom.output.find("washer_m8.par"));  // sorted by name
  EXPECT_FALSE(Contains(bom.output, "Weldment1"));

  const auto json = RunTool("bom " + dir_.File("gearbox.asm") + " --json");
  EXPECT_EQ(json.exitCode, 0);
  EXPECT_TRUE(Contains(json.output, "\"name\": \"mounting_foot.pwd\", \"path\": \"" + dir_.File("mounting_foot.pwd") +
                                        "\", \"kind\": \"weldment\", \"instances\": 2, \"parents\": [{\"name\": "
                                        "\"gearbox.asm\", \"quantity\": 2}]"))
      << json.output;
}

// top.asm: sub.asm (1) placing bolt.par twice, and bolt.par (2).
class PropertyTool : public Tool {
 protected:
  void SetUp() override {
    Tool::SetUp();
    AssemblyDocument top, sub;
    sub.AddPlacement(L"bolt.par", tagG4x4());
    sub.AddPlacement(L"bolt.par", tagG4x4());
    top.AddPlacement(L"sub.asm", tagG4x4());
    top.AddPlacement(L"bolt.par", tagG4x4());
    ASSERT_EQ(WritePartDocument(Widen(dir_.File("bolt.par")).c_str(), PartDocument()), S_OK);
    ASSERT_EQ(WriteAssemblyDocument(Widen(dir_.File("sub.asm")).c_str(), sub), S_OK);
    ASSERT_EQ(WriteAssemblyDocument(Widen(dir_.File("top.asm")).c_str(), top), S_OK);
    top_ = dir_.File("top.asm");
  }
  std::string top_;
};

TEST_F(PropertyTool, SetRecordsInTheTableAndGetReadsTheAppliedOccurrence) {
  struct Step {
    std::string args;
    std::string printed;
  } steps[] = {
      {"1 hidden on", "top.asm 1: hidden set to on"},
      {"2 colour ff0000", "top.asm 2: colour set to ff0000"},
      {"2 matrix 1,2,3", "top.asm 2: matrix set to 1,2,3"},
      {"1/2 coordsys 1", "top.asm 1/2: coordsys set to 1"},
  };
  for (const Step& step : steps) {
    const auto set = RunTool("set " + top_ + " " + step.args);
    EXPECT_EQ(set.exitCode, 0) << step.args << ": " << set.output;
    EXPECT_TRUE(Contains(set.output, step.printed)) << set.output;
  }
  const auto show = RunTool("iot show " + top_);
  EXPECT_TRUE(Contains(show.output, "\n/1 asm props=0x80000002 ")) << show.output;
  EXPECT_TRUE(Contains(show.output, "\n/1/2 part props=0x40000010 ")) << show.output;
  const std::string red = std::to_string(quorra::PackColorSymbology(0x0000FF));
  EXPECT_TRUE(Contains(show.output, " style=" + red)) << show.output;
  EXPECT_TRUE(Contains(show.output, " matrix=1,2,3")) << show.output;

  struct Read {
    std::string args;
    std::string printed;
  } reads[] = {
      {"1 hidden", "hidden: 1\n"},
      {"1/1 visible", "visible: 0\n"},
      {"2 hidden", "hidden: 0\n"},
      {"2 colour", "colour: ff0000\n"},
      {"1/2 coordsys", "coordsys: 1\n"},
  };
  for (const Read& read : reads) {
    const auto get = RunTool("get " + top_ + " " + read.args);
    EXPECT_EQ(get.exitCode, 0) << read.args << ": " << get.output;
    EXPECT_EQ(get.output, read.printed) << read.args;
  }
  const auto all = RunTool("get " + top_ + " 2");
  EXPECT_EQ(all.exitCode, 0) << all.output;
  EXPECT_TRUE(Contains(all.output, "\nmatrix: 1,0,0,1,0,1,0,2,0,0,1,3,0,0,0,1\n")) << all.output;
}

TEST_F(PropertyTool, BadRequestsFailOnOneLineAndLeaveTheDocumentAlone) {
  const std::vector<BYTE> before = ReadFileBytes(top_);
  struct Case {
    std::string args;
    int exitCode;
    std::string message;
  } cases[] = {
      {"set " + top_ + " 1 hidden", 2, "quorra set: expects FILE ROADMAP PROPERTY VALUE"},
      {"set " + top_ + " 1 shiny 1", 2, "quorra set: unknown property 'shiny'"},
      {"set " + top_ + " 1 hidden maybe", 2, "quorra set: bad value 'maybe' for hidden"},
      {"set " + top_ + " 1 visible 0", 2, "quorra set: visible cannot be set"},
      {"set " + top_ + " 1 colour red", 2, "quorra set: bad value 'red' for colour: expected RRGGBB"},
      {"set " + top_ + " 1 matrix 1,2", 2, "quorra set: bad value '1,2' for matrix"},
      {"set " + top_ + " 1 style 0x1FFFFFFFF", 2, "quorra set: bad value '0x1FFFFFFFF' for style"},
      {"set " + top_ + " 1/x hidden 1", 2, "quorra set: bad roadmap"},
      {"set " + top_ + " 7 hidden 1", 1, "quorra set: roadmap 7 names no occurrence"},
      {"set " + top_ + " 1 active 1", 1, "quorra set: cannot set active of 1"},
      {"set " + dir_.File("absent.asm") + " 1 hidden 1", 1, "no such file"},
      {"get " + top_, 2, "quorra get: expects FILE ROADMAP [PROPERTY]"},
      {"get " + top_ + " 1 shiny", 2, "quorra get: unknown property 'shiny'"},
      {"get " + top_ + " 2/1 hidden", 1, "quorra get: roadmap 2/1 names no occurrence"},
  };
  for (const Case& c : cases) {
    const auto result = RunTool(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.args << ": " << result.output;
    EXPECT_TRUE(Contains(result.output, c.message)) << c.args << ": " << result.output;
    EXPECT_EQ(Lines(result.output), 1u) << c.args << ": " << result.output;
  }
  EXPECT_EQ(ReadFileBytes(top_), before);
}

}  // namespace

namespace {

TEST_F(Tool, DumpPrintsEachFormatOfTheGearbox) {
  SampleSummary summary;
  ASSERT_EQ(WriteGearboxSample(Widen(dir_.Path()).c_str(), &summary), S_OK);
  const std::string gearbox = dir_.File("gearbox.asm");
  const auto atp = RunTool("dump " + gearbox);
  ASSERT_EQ(atp.exitCode, 0) << atp.output;
  EXPECT_EQ(atp.output.rfind("========================================\nIDS Dump -- Version 6\n", 0), 0u) << atp.output;
  EXPECT_TRUE(Contains(atp.output, "AsmTree             gearbox.asm\n")) << atp.output;
  EXPECT_TRUE(atp.output.ends_with("IDS Dump -- complete\n")) << atp.output;
  EXPECT_FALSE(Contains(atp.output, dir_.Path())) << "the test log names no directory";

  // The tree rebuilt from an IDS file dumps as the tree loaded from the
  // documents does, but for the occurrence flag words (their "unadded" bit
  // tells whether a parent has merged the range yet, which depends on how
  // the tree was built), the letter case of names (an IDS file keeps the
  // paths lower-cased, and the weldment members are "Weldment1", ...) and the
  // attachments' user data (the names a load gives them are not stored).
  ASSERT_EQ(RunTool("ids save " + gearbox + " " + dir_.File("gearbox.ids")).exitCode, 0);
  const auto fromIds = RunTool("dump " + dir_.File("gearbox.ids"));
  EXPECT_EQ(fromIds.exitCode, 0) << fromIds.output;
  auto comparable = [](const std::string& text) {
    std::istringstream lines(text);
    std::string line, kept;
    while (std::getline(lines, line)) {
      const bool userData = line.find("UserData:") != std::string::npos || line.find("   UD_") != std::string::npos;
      if (line.find("  Flags: 0x") == std::string::npos && !userData) kept += line + "\n";
    }
    std::transform(kept.begin(), kept.end(), kept.begin(), [](unsigned char c) { return std::tolower(c); });
    return kept;
  };
  EXPECT_EQ(comparable(fromIds.output), comparable(atp.output));

  // One brief line per occurrence; the root at no indentation.
  const auto brief = RunTool("dump " + gearbox + " --format brief");
  EXPECT_EQ(brief.exitCode, 0) << brief.output;
  EXPECT_EQ(Lines(brief.output), summary.expectedOccurrences) << brief.output;
  EXPECT_EQ(brief.output.rfind("[ASM] " + gearbox + "\n   [", 0), 0u) << brief.output;

  const auto tree = RunTool("dump " + gearbox + " --format tree");
  EXPECT_EQ(tree.exitCode, 0);
  EXPECT_EQ(tree.output.rfind("\nAssemblyOccurrence 0X", 0), 0u) << tree.output.substr(0, 200);

  const auto table = RunTool("dump " + gearbox + " --format table");
  EXPECT_EQ(table.exitCode, 0);
  EXPECT_EQ(table.output.rfind("===== IDS Dump =====\r\npAsmTree: 0X", 0), 0u) << table.output.substr(0, 200);
  EXPECT_TRUE(Contains(table.output, "\r\nPar/Asm  Occurrence ")) << table.output.substr(0, 200);

  const auto counts = RunTool("dump " + gearbox + " --format summary");
  EXPECT_EQ(counts.exitCode, 0);
  EXPECT_TRUE(Contains(counts.output, " : IDS info: Assemblies=[")) << counts.output;
}

TEST_F(Tool, DemoEndsWithTheTestLogDumpOfTheGearbox) {
  const auto demo = RunTool("demo");
  EXPECT_EQ(demo.exitCode, 0) << demo.output;
  EXPECT_TRUE(Contains(demo.output, "\ntest-log dump:\n========================================\nIDS Dump -- Version 6\n"
                                    "====================\nAsmTree             gearbox.asm\n"))
      << demo.output;
  EXPECT_TRUE(Contains(demo.output, "Occurrence Tree:    12 assembly occurrences, 87 part occurrences\n")) << demo.output;
  EXPECT_TRUE(Contains(demo.output, "\nIDS Dump -- complete\n")) << demo.output;
}

TEST_F(Tool, DumpWithTheOverrideTableAndBadCommandLines) {
  AssemblyDocument top;
  top.AddPlacement(L"bolt.par", tagG4x4());
  ASSERT_EQ(WritePartDocument(Widen(dir_.File("bolt.par")).c_str(), PartDocument()), S_OK);
  ASSERT_EQ(WriteAssemblyDocument(Widen(dir_.File("top.asm")).c_str(), top), S_OK);
  const std::string file = dir_.File("top.asm");
  ASSERT_EQ(RunTool("set " + file + " 1 hidden on").exitCode, 0);
  const auto iot = RunTool("dump " + file + " --iot --version 2");
  EXPECT_EQ(iot.exitCode, 0) << iot.output;
  EXPECT_TRUE(Contains(iot.output, "IDS Dump -- Version 2\n")) << iot.output;
  EXPECT_TRUE(Contains(iot.output,
                       "IDS Dump -- complete\nIOT Dump -- Version 2\n0 AsmOverrides, 1 PartOverrides\nRoot:\n"))
      << iot.output;
  EXPECT_TRUE(Contains(iot.output, "   Part 1\n      dwProps: hidden part\n")) << iot.output;

  struct Case {
    std::string args;
    int exitCode;
    std::string message;
  } cases[] = {
      {"dump", 2, "quorra dump: expects one file"},
      {"dump " + file + " --format svg", 2, "quorra dump: unknown format 'svg'"},
      {"dump " + file + " --format table --version 2", 2, "quorra dump: --version applies to"},
      {"dump " + file + " --version 7", 2, "--version: expected a whole number from 0 to 6, got '7'"},
      {"dump " + dir_.File("absent.asm"), 1, "no such file"},
  };
  for (const Case& c : cases) {
    const auto result = RunTool(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.args << ": " << result.output;
    EXPECT_TRUE(Contains(result.output, c.message)) << c.args << ": " << result.output;
    EXPECT_EQ(Lines(result.output), 1u) << c.args << ": " << result.output;
  }
}

}  // namespace
