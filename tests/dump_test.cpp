#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/assembly_builder.h"
#include "support/storage_support.h"

using namespace quorra::test;
using quorra::host::FormatNarrow;

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// root.asm
//   1: part.par (box 0..1)
//   2: sub.asm
//        1: part.par
// and loose.asm, placing part.par once, which no occurrence uses.
struct SmallTree {
  AssemblyBuilder b;
  AssemblySite* top = nullptr;
  AssemblySite* sub = nullptr;
  AssemblySite* loose = nullptr;
  PartSite* part = nullptr;
  AttachmentNode* orphan = nullptr;
  AssemblyOccurrence* root = nullptr;

  SmallTree() {
    const tagGBox box = Box(0, 0, 0, 1, 1, 1);
    top = b.Assembly(L"root");
    sub = b.Assembly(L"sub");
    loose = b.Assembly(L"loose");
    part = b.Part(L"part", &box);
    b.Place(top, part);
    b.Place(top, sub);
    b.Place(sub, part);
    orphan = b.Place(loose, part);
    root = b.Build(top);
  }
  AsmTree* Tree() const { return b.Tree(); }
};

std::string Path(const SiteNode* site) { return quorra::host::ToUtf8(site->GetFilePath(true).GetText()); }

TEST(DumpTreeTest, BriefFormListsEveryOccurrenceOnceIndentedByLevel) {
  SmallTree t;
  TempDir dir;
  const std::string file = dir.File("brief.txt");
  ASSERT_EQ(DumpTree(Widen(file).c_str(), t.Tree(), 1), S_OK);
  const std::string expected = "[ASM] " + Path(t.top) + "\n" +      // root: no indentation
                               "   [PAR] " + Path(t.part) + "\n" +  // level 1
                               "   [ASM] " + Path(t.sub) + "\n" +   //
                               "      [PAR] " + Path(t.part) + "\n";
  EXPECT_EQ(ReadText(file), expected);
}

TEST(DumpTreeTest, FullFormOfAPartOccurrence) {
  // root.asm placing one part: the root's block, then the part's block one
  // level in, each with its attachment and site lines.
  AssemblyBuilder b;
  const tagGBox box = Box(0, 0, 0, 2, 1, 1);
  AssemblySite* top = b.Assembly(L"root");
  PartSite* part = b.Part(L"part", &box);
  AttachmentNode* attachment = b.Place(top, part);
  AssemblyOccurrence* root = b.Build(top);
  OccurrenceNode* child = root->GetChildByIndex(0);
  tagGBox range;
  child->GetRange(&range);
  ASSERT_EQ(child->SetUserName(L"bolt"), S_OK);

  TempDir dir;
  const std::string file = dir.File("full.txt");
  ASSERT_EQ(DumpTree(Widen(file).c_str(), b.Tree(), 0), S_OK);
  const std::string text = ReadText(file);

  const std::string partBlock =
      "   \n" + FormatNarrow("   PartOccurrence %#.8p.  Occurrence info follows\n", child) +
      FormatNarrow("   OccurrenceNode %#.8p  Parent %#.8p  Attachment %#.8p.  flags %x user name bolt.\n", child, root,
                   attachment, child->GetFlags()) +
      FormatNarrow("   Range: %f %f %f %f %f %f\n", range.low[0], range.low[1], range.low[2], range.high[0],
                   range.high[1], range.high[2]) +
      "   Attachment follows\n" +
      FormatNarrow("   AttachmentNode %#.8p id %d  Attachment site %#.8p  Parent site %#.8p (%S)\n", attachment,
                   attachment->GetAttachmentID(), part, top, top->GetFilePath(true).GetText()) +
      "   Attachment site follows\n" +
      FormatNarrow("   SiteNode %#.8p.  File %S.  Flags %x.  Geo cache %#.8p\n", part,
                   part->GetFilePath(true).GetText(), part->GetFlags(), part->GetCommonCache()) +
      "   Occurrences follow\n" +
      FormatNarrow("   NodeList %#.8p. %d nodes.\n   Node 0: %#.8p.\n", part->GetOccurrencesList(), 1, child) +
      FormatNarrow("   PartOccurrence %#.8p continues.\n", child);
  ASSERT_GE(text.size(), partBlock.size());
  EXPECT_EQ(text.substr(text.size() - partBlock.size()), partBlock);

  const std::string rootHead = FormatNarrow("\nAssemblyOccurrence %#.8p.  Occurrence info follows\n", root);
  EXPECT_EQ(text.substr(0, rootHead.size()), rootHead);
  const std::string rootTail = FormatNarrow("AssemblyOccurrence %#.8p continues.  Children follow.\n", root) +
                               FormatNarrow("NodeList %#.8p. %d nodes.\n", &root->GetChildList(), 1) +
                               FormatNarrow("Node %d: %#.8p.\n", 0, child);
  EXPECT_EQ(text.substr(text.size() - partBlock.size() - rootTail.size(), rootTail.size()), rootTail);
}

TEST(DumpTreeTest, AssemblySitesListTheirAttachmentsByAddressOnly) {
  SmallTree t;
  TempDir dir;
  const std::string file = dir.File("full.txt");
  ASSERT_EQ(DumpTree(Widen(file).c_str(), t.Tree(), 0), S_OK);
  const std::string text = ReadText(file);
  auto* sub = static_cast<AssemblyOccurrence*>(t.root->GetChildByIndex(1));
  const AttachmentNode* inner = sub->GetChildByIndex(0)->GetAttachment();
  const std::string block =
      FormatNarrow("   AssemblySite %#.8p.  Site info follows\n", t.sub) +
      FormatNarrow("   SiteNode %#.8p.  File %S.  Flags %x.  Geo cache %#.8p\n", t.sub,
                   t.sub->GetFilePath(true).GetText(), t.sub->GetFlags(), t.sub->GetCommonCache()) +
      "   Occurrences follow\n" +
      FormatNarrow("   NodeList %#.8p. %d nodes.\n   Node 0: %#.8p.\n", t.sub->GetOccurrencesList(), 1, sub) +
      FormatNarrow("   AssemblySite %#.8p continues.  Attachments follow.\n", t.sub) +
      FormatNarrow("   NodeList %#.8p. %d nodes.\n   Node 0: %#.8p.\n", &t.sub->GetAttachmentList(), 1, inner) +
      FormatNarrow("   AssemblyOccurrence %#.8p continues.  Children follow.\n", sub);
  EXPECT_NE(text.find(block), std::string::npos) << text;
  // Each attachment is written once, with the occurrence that uses it (the
  // root's own placement included): the dump stays linear in the tree.
  size_t attachments = 0;
  for (size_t at = text.find("AttachmentNode "); at != std::string::npos; at = text.find("AttachmentNode ", at + 1))
    ++attachments;
  EXPECT_EQ(attachments, 4u);
}

TEST(DumpTreeTest, TreeWithoutRootWritesNoFile) {
  AssemblyBuilder b;
  b.Assembly(L"root");
  TempDir dir;
  const std::string file = dir.File("none.txt");
  EXPECT_EQ(DumpTree(Widen(file).c_str(), b.Tree(), 0), S_OK);
  EXPECT_TRUE(dir.Entries().empty());
  // An unopenable file is no failure either.
  SmallTree t;
  EXPECT_EQ(DumpTree(Widen(dir.File("missing/dir.txt")).c_str(), t.Tree(), 0), S_OK);
}

TEST(AsmTreeDumpTest, SummaryLineAndPartFileList) {
  SmallTree t;
  TempDir dir;
  const std::string file = dir.File("parts.txt");
  quorra::host::ScopedDebugOutputCapture capture;
  t.Tree()->Dump(Widen(file).c_str());
  // Three assembly sites (+1), root + one sub occurrence (+1 for the
  // root); one part site with two occurrences; the walk meets the root and
  // the sub-assembly and both parts.
  const std::string line = quorra::host::ToUtf8(capture.Text());
  EXPECT_NE(line.find("SERVICES/quorra/dev/tree ("), std::string::npos) << line;
  EXPECT_NE(line.find(" : IDS info: Assemblies=[4(u),3(t)], Parts=[1(u),2(t),2(v)], Walk=[2(a),2(p)]\n"),
            std::string::npos)
      << line;
  EXPECT_EQ(ReadText(file), Path(t.part) + "\n" + Path(t.part) + "\n");
}

std::string TableLine(const char* marker, OccurrenceNode* node) {
  return FormatNarrow("%-8s %016p %016p %5d %08x %08x %08x %016p %S\r\n", marker, node, node->GetAttachment(),
                      node->GetAttachmentID(), node->GetFlags(), node->GetFlagsEx(), node->GetSymbology(),
                      node->GetStyleLibrary(), node->GetSite()->GetFilePath(true).GetText());
}

TEST(DumpIDSTest, WholeTableOfASmallTree) {
  SmallTree t;
  std::string text = "kept|";
  ASSERT_EQ(DumpIDS(t.Tree(), 0, &text), S_OK);
  OccurrenceNode* part1 = t.root->GetChildByIndex(0);
  auto* sub = static_cast<AssemblyOccurrence*>(t.root->GetChildByIndex(1));
  OccurrenceNode* part2 = sub->GetChildByIndex(0);

  auto attachmentLine = [](AttachmentNode* a) {
    return FormatNarrow("    Attachment: %#010p %#010p %#010p %S\r\n", a, a->GetAttachmentSite(), a->GetStyleLibrary(),
                        a->GetAttachmentSite()->GetFilePath(true).GetText());
  };
  auto attachmentsOf = [&](AssemblySite* site) {
    DWORD n = 0;
    AttachmentNode* const* list = nullptr;
    site->GetAttachments(&n, &list);
    std::string lines;
    for (DWORD i = 0; i < n; ++i) lines += attachmentLine(list[i]);
    return lines;
  };
  auto siteLine = [](const char* kind, SiteNode* site) {
    return FormatNarrow(kind, site, nullptr, site->GetFlags(), site->GetFilePath(true).GetText());
  };
  std::string expected = "kept|===== IDS Dump =====\r\n" + FormatNarrow("pAsmTree: %#p\r\n", t.Tree()) +
                         "Counts: 3 asm sites, 1 part sites, 2 asm occs, 2 part occs\r\nIDS size: 0\r\n";
  const char* asmFormat = "AssemblySite:   %#010p %#010p %#010x %S\r\n";
  expected += siteLine(asmFormat, t.top) + FormatNarrow("    Occurrence: %#010p\r\n", t.root) + attachmentsOf(t.top);
  expected += siteLine(asmFormat, t.sub) + FormatNarrow("    Occurrence: %#010p\r\n", sub) + attachmentsOf(t.sub);
  expected += siteLine(asmFormat, t.loose) + attachmentsOf(t.loose);
  expected += siteLine("PartSite:       %#010p %#010p %#010x %S\r\n", t.part) +
              FormatNarrow("    Occurrence: %#010p\r\n    Occurrence: %#010p\r\n", part1, part2);
  expected +=
      "Par/Asm  Occurrence       Attachment          ID Flags    FlagsEx  Symbology Library          FileName\r\n";
  expected += TableLine("A       ", t.root) + TableLine(" P      ", part1) + TableLine(" A      ", sub) +
              TableLine("  P     ", part2);
  expected +=
      FormatNarrow("Orphan Attachment:  %#010p  %#010p  %S\r\n", t.orphan, t.part, t.part->GetFilePath(true).GetText());
  EXPECT_EQ(text, expected);
}

TEST(DumpIDSTest, TreeWithoutRootHasNoOccurrenceTable) {
  AssemblyBuilder b;
  AssemblySite* top = b.Assembly(L"root");
  PartSite* part = b.Part(L"part");
  AttachmentNode* attachment = b.Place(top, part);
  std::string text;
  ASSERT_EQ(DumpIDS(b.Tree(), 0, &text), S_OK);
  const std::string expected = "===== IDS Dump =====\r\n" + FormatNarrow("pAsmTree: %#p\r\n", b.Tree()) +
                               "Counts: 1 asm sites, 1 part sites, 0 asm occs, 0 part occs\r\nIDS size: 0\r\n" +
                               FormatNarrow("AssemblySite:   %#010p %#010p %#010x %S\r\n", top, nullptr,
                                            top->GetFlags(), top->GetFilePath(true).GetText()) +
                               FormatNarrow("    Attachment: %#010p %#010p %#010p %S\r\n", attachment, part,
                                            attachment->GetStyleLibrary(), part->GetFilePath(true).GetText()) +
                               FormatNarrow("PartSite:       %#010p %#010p %#010x %S\r\n", part, nullptr,
                                            part->GetFlags(), part->GetFilePath(true).GetText());
  EXPECT_EQ(text, expected);
}

TEST(DumpIDSTest, DeepOccurrencesKeepTheirMarkerInColumnSix) {
  // A chain of nine assemblies ending in a part: depths 0..9.
  AssemblyBuilder b;
  std::vector<AssemblySite*> chain;
  for (int i = 0; i < 9; ++i) chain.push_back(b.Assembly(L"a" + std::to_wstring(i)));
  for (int i = 0; i + 1 < 9; ++i) b.Place(chain[i], chain[i + 1]);
  b.Place(chain[8], b.Part(L"leaf"));
  b.Build(chain[0]);
  std::string text;
  ASSERT_EQ(DumpIDS(b.Tree(), 0, &text), S_OK);
  std::vector<std::string> markers;
  std::istringstream lines(text);
  std::string line;
  bool table = false;
  while (std::getline(lines, line)) {
    if (line.rfind("Par/Asm", 0) == 0) {
      table = true;
      continue;
    }
    if (table) markers.push_back(line.substr(0, 8));
  }
  const std::vector<std::string> expected = {"A       ", " A      ", "  A     ", "   A    ", "    A   ",
                                             "     A  ", "      A ", "      A ", "      A ", "      P "};
  EXPECT_EQ(markers, expected);
}

TEST(DumpIDSTest, VerboseFormAddsRangesUserDataAndMatrices) {
  AssemblyBuilder b;
  const tagGBox box = Box(0, 0, 0, 1, 2, 3);
  AssemblySite* top = b.Assembly(L"root");
  PartSite* part = b.Part(L"part", &box);
  tagG4x4 placement;
  placement.m[3] = 5;
  placement.m[7] = 6;
  placement.m[11] = 7;
  b.Place(top, part, placement);
  AssemblyOccurrence* root = b.Build(top);
  int marker = 0;
  ASSERT_EQ(part->AddUserData(UD_STYLE, &marker), S_OK);
  std::string text;
  ASSERT_EQ(DumpIDS(b.Tree(), DUMPIDS_VERBOSE, &text), S_OK);
  EXPECT_NE(text.find("                [  0.0000   0.0000   0.0000] [  1.0000   2.0000   3.0000]\r\n"),
            std::string::npos);
  EXPECT_NE(text.find(FormatNarrow("          UserData: %4d  %p   \r\n", UD_STYLE, &marker)), std::string::npos);
  // The part's occurrence, placed in the world as in its assembly.
  OccurrenceNode* child = root->GetChildByIndex(0);
  EXPECT_NE(text.find(FormatNarrow(
                "    Occurrence: %#010p [  5.0000   6.0000   7.0000] [  6.0000   8.0000  10.0000]\r\n", child)),
            std::string::npos)
      << text;
  // Attachment and world matrices row by row, translation in the last
  // column; no override or explode matrix.
  const std::string matrices =
      TableLine(" P      ", child) +
      "          A[ 1.0000  0.0000  0.0000  5.0000] C[ 1.0000  0.0000  0.0000  5.0000] O[] E[]\r\n"
      "           [ 0.0000  1.0000  0.0000  6.0000]  [ 0.0000  1.0000  0.0000  6.0000]  []  []\r\n"
      "           [ 0.0000  0.0000  1.0000  7.0000]  [ 0.0000  0.0000  1.0000  7.0000]  []  []\r\n"
      "           [ 0.0000  0.0000  0.0000  1.0000]  [ 0.0000  0.0000  0.0000  1.0000]  []  []\r\n";
  EXPECT_NE(text.find(matrices), std::string::npos) << text;
}

TEST(DumpIDSTest, WithoutOutputGoesToTheDebuggerAndNullTreeGivesHeaderOnly) {
  quorra::host::ScopedDebugOutputCapture capture;
  EXPECT_EQ(DumpIDS(nullptr, 0, nullptr), S_OK);
  EXPECT_EQ(quorra::host::ToUtf8(capture.Text()), FormatNarrow("===== IDS Dump =====\r\npAsmTree: %#p\r\n", nullptr));
}

}  // namespace

namespace {

// The text of the small tree in dump version `version`, whose tree flags
// line reads `flags`.
std::string ExpectedATP(DWORD version, const std::string& flags) {
  return "========================================\n"
         "IDS Dump -- Version " +
         std::to_string(version) +
         "\n"
         "====================\n"
         "AsmTree             root.asm\n"
         "    Flags:          " +
         flags +
         "\n"
         "    Dirty Flags:    0x80000000\n"
         "    Part Sites:     1\n"
         "    Assembly Sites: 3\n"
         "    Attachments:    5\n"
         "====================\n"
         "Occurrence Tree:    2 assembly occurrences, 2 part occurrences\n"
         "Assembly root root.asm\n"
         "         Symbology: 0x00000000\n"
         "         Flags: 0x00000002\n"
         "         FlagsEx: 0x00000000\n"
         "         Range: [0.0000 0.0000 0.0000] [1.0000 1.0000 1.0000]\n"
         "   Part 1 part.par\n"
         "            Symbology: 0x00000000\n"
         "            Flags: 0x00000001\n"
         "            FlagsEx: 0x00000000\n"
         "            Range: [0.0000 0.0000 0.0000] [1.0000 1.0000 1.0000]\n"
         "   Assembly 2 sub.asm\n"
         "            Symbology: 0x00000000\n"
         "            Flags: 0x00000002\n"
         "            FlagsEx: 0x00000000\n"
         "            Range: [0.0000 0.0000 0.0000] [1.0000 1.0000 1.0000]\n"
         "      Part " "2.1 part.par\n"
         "               Symbology: 0x00000000\n"
         "               Flags: 0x00000001\n"
         "               FlagsEx: 0x00000000\n"
         "               Range: [0.0000 0.0000 0.0000] [1.0000 1.0000 1.0000]\n"
         "Assembly Site List:\n"
         "Site: root.asm\n"
         "    Flags: ASSEMBLY \n"
         "    Attachment: 1 part.par\n"
         "    Attachment: 2 sub.asm\n"
         "Site: sub.asm\n"
         "    Flags: ASSEMBLY \n"
         "    Attachment: 1 part.par\n"
         "Site: loose.asm\n"
         "    Flags: ASSEMBLY \n"
         "    Attachment: 1 part.par\n"
         "Part Site List:\n"
         "Site: part.par\n"
         "    Flags: PART \n"
         "    Range: [0.0000 0.0000 0.0000] [1.0000 1.0000 1.0000]\n"
         "Orphan Attachment: 1 part.par\n"
         "IDS Dump -- complete\n";
}

TEST(ATPDumpTest, WholeTextInEachVersion) {
  // The flag names a version may print: FLUSHING_RANGE_CACHE from version
  // 2, USEIPASTYLE_ON_OCC, FEA_DISPLAY_CACHE and TRACK_DISPLAY from 6.
  const DWORD properties = ASMTREE_IPA | ASMTREE_USEIPASTYLE_ON_OCC | ASMTREE_FLUSHING_RANGE_CACHE |
                           ASMTREE_FEA_DISPLAY_CACHE | ASMTREE_TRACK_DISPLAY;
  const struct {
    DWORD version;
    const char* flags;
  } cases[] = {
      {1, "IPA "},
      {2, "IPA FLUSHING_RANGE_CACHE "},
      {5, "IPA FLUSHING_RANGE_CACHE "},
      {6, "IPA USEIPASTYLE_ON_OCC FLUSHING_RANGE_CACHE FEA_DISPLAY_CACHE TRACK_DISPLAY "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    SmallTree t;
    t.Tree()->SetProperties(properties);
    std::string text = "replaced";
    ASSERT_EQ(JDumpIDSForATP(t.Tree(), DUMPATP_UPDATE_RANGES, c.version, &text), S_OK);
    EXPECT_EQ(text, ExpectedATP(c.version, c.flags));
    std::wstring wide;
    ASSERT_EQ(JDumpIDSForATPW(t.Tree(), DUMPATP_UPDATE_RANGES, c.version, &wide), S_OK);
    EXPECT_EQ(quorra::host::ToUtf8(wide), text);
  }
}

TEST(ATPDumpTest, UserDataByTypeNameAndBadArguments) {
  SmallTree t;
  // A reference-property word with an unnamed bit (0x2), a name text, the
  // silent type 113 and a type without a name.
  ASSERT_EQ(t.root->AddUserData(UD_REF_PROPERTIES, reinterpret_cast<void*>(uintptr_t{0x10 | 0x2 | 0x20000})), S_OK);
  ASSERT_EQ(t.root->AddUserData(UD_OCC_NAME, new GUserText(L"bolt")), S_OK);
  ASSERT_EQ(t.root->AddUserData(113, nullptr), S_OK);
  ASSERT_EQ(t.root->AddUserData(1003, nullptr), S_OK);
  DWORD count = 0;
  AttachmentNode* const* attachments = nullptr;
  t.top->GetAttachments(&count, &attachments);
  ASSERT_EQ(count, 2u);
  AttachmentNode* attachment = attachments[0];
  ASSERT_EQ(attachment->AddUserData(UD_REF_EXT_PROPERTIES, reinterpret_cast<void*>(uintptr_t{0x80000001})), S_OK);
  ASSERT_EQ(attachment->AddUserData(UD_REF_EXT2_PROPERTIES, reinterpret_cast<void*>(uintptr_t{0x3})), S_OK);
  std::string text;
  ASSERT_EQ(JDumpIDSForATP(t.Tree(), 0, 6, &text), S_OK);
  EXPECT_NE(text.find("         FlagsEx: 0x00000000\n"
                      "         Range: [0.0000 0.0000 0.0000] [1.0000 1.0000 1.0000]\n"
                      "         UserData:\n"
                      "            UD_REF_PROPERTIES: IsPart HideInDrawing \n"
                      "            UD_OCC_NAME: bolt\n"
                      "            Unknown User Data Type: 1003\n"
                      "   Part 1 part.par\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Site: root.asm\n"
                      "    Flags: ASSEMBLY \n"
                      "    Attachment: 1 part.par\n"
                      "        UserData:\n"
                      "           UD_REF_EXT_PROPERTIES: IsTubePart IsHarnessSplice \n"
                      "           UD_REF_EXT2_PROPERTIES: IsEndCap \n"
                      "    Attachment: 2 sub.asm\n"),
            std::string::npos)
      << text;

  quorra::host::ScopedTraceCapture traces;
  EXPECT_EQ(JDumpIDSForATP(nullptr, 0, 6, &text), E_INVALIDARG);
  std::wstring wide;
  EXPECT_EQ(JDumpIDSForATPW(nullptr, 0, 6, &wide), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("JDumpIDSForATP", E_INVALIDARG));
  EXPECT_TRUE(traces.Saw("JDumpIDSForATPW", E_INVALIDARG));
}

}  // namespace

namespace {

// Root: part 3 (hidden, style 7, an over-defined status), assembly 2 (a
// route, a configuration setting) holding part 1 (an override matrix, a
// variable, an adaptable value).
void BuildOverrideTable(JIDSOverrideTree& tree) {
  const DWORD three[] = {3};
  const DWORD two[] = {2};
  const DWORD twoOne[] = {2, 1};
  JIDSOverride* part = nullptr;
  ASSERT_EQ(tree.AddOverride(1, three, IOT_PART, &part), S_OK);
  part->SetHidden(1);
  ASSERT_EQ(part->SetStyle(7, 0), S_OK);
  ASSERT_EQ(part->SetSolverStatus(0x8008), S_OK);
  JIDSOverride* assembly = nullptr;
  ASSERT_EQ(tree.AddOverride(1, two, IOT_ASSEMBLY, &assembly), S_OK);
  ASSERT_EQ(assembly->AddConfigSetting(5, 8, 0x1), S_OK);
  const char routeText[] = "Layouts";
  JMemberRoute route(reinterpret_cast<const BYTE*>(routeText), sizeof routeText);
  ASSERT_EQ(assembly->SetRoute(&route), S_OK);
  JIDSOverride* inner = nullptr;
  ASSERT_EQ(tree.AddOverride(2, twoOne, IOT_PART, &inner), S_OK);
  tagG4x4 matrix;
  matrix.m[3] = 4;
  ASSERT_EQ(inner->SetMatrix(&matrix), S_OK);
  ASSERT_EQ(inner->SetVariable(9, 2, 0.5), S_OK);
  ASSERT_EQ(inner->SetAdaptable(), S_OK);
}

const char kOverrideDump[] =
    "IOT Dump -- Version 4\n"
    "1 AsmOverrides, 2 PartOverrides\n"
    "Root:\n"
    "Assembly 0\n"
    "   dwProps: assembly\n"
    "   dwPropsEx:\n"
    "   Assembly 2\n"
    "      dwProps: have_config_info have_route assembly\n"
    "      dwPropsEx:\n"
    "      config: o5 t8 0x000001 [references:  hidden]\n"
    "      route: [Layouts]\n"
    "      Part 1\n"
    "         dwProps: override_matrix override_variables adaptable part\n"
    "         dwPropsEx:\n"
    "         matrix:\n"
    "               [1.0000 0.0000 0.0000 4.0000]\n"
    "               [0.0000 1.0000 0.0000 0.0000]\n"
    "               [0.0000 0.0000 1.0000 0.0000]\n"
    "               [0.0000 0.0000 0.0000 1.0000]\n"
    "         variable: 9 2 0.500000\n"
    "         adaptable: 1\n"
    "   Part 3\n"
    "      dwProps: style hidden override_status part\n"
    "      dwPropsEx:\n"
    "      style: 7\n"
    "      status: 32776 (ASM_P_OVER_DEFINED)\n";

TEST(OverrideDumpTest, WholeTextNarrowAndWide) {
  JIDSOverrideTree tree;
  BuildOverrideTable(tree);
  std::ostringstream narrow;
  narrow << "kept|";
  ASSERT_EQ(tree.DumpForATP(0, 4, &narrow), S_OK);
  EXPECT_EQ(narrow.str(), std::string("kept|") + kOverrideDump);
  std::wostringstream wide;
  ASSERT_EQ(tree.DumpForATPW(0, 4, &wide), S_OK);
  EXPECT_EQ(quorra::host::ToUtf8(wide.str()), kOverrideDump);

  quorra::host::ScopedTraceCapture traces;
  EXPECT_EQ(tree.DumpForATP(0, 4, nullptr), E_INVALIDARG);
  EXPECT_EQ(tree.DumpForATPW(0, 4, nullptr), E_INVALIDARG);
  EXPECT_TRUE(traces.Saw("JIDSOverrideTree::DumpForATP", E_INVALIDARG));
  EXPECT_TRUE(traces.Saw("JIDSOverrideTree::DumpForATPW", E_INVALIDARG));
}

TEST(OverrideDumpTest, UnflaggedConfigMapIsReported) {
  JIDSOverrideTree tree;
  const DWORD one[] = {1};
  JIDSOverride* part = nullptr;
  ASSERT_EQ(tree.AddOverride(1, one, IOT_PART, &part), S_OK);
  ASSERT_EQ(part->AddConfigSetting(4, 2, 0), S_OK);
  part->SetProps(part->GetProps() & ~IOT_HAVE_CONFIG_INFO);
  std::ostringstream out;
  ASSERT_EQ(tree.DumpForATP(0, 1, &out), S_OK);
  EXPECT_NE(out.str().find("   Part 1\n"
                           "      dwProps: part\n"
                           "      dwPropsEx:\n"
                           "      !!! config setting map is present but override is not flagged as having one !!!\n"
                           "      config: o4 t2 0x000000 [layouts: ]\n"),
            std::string::npos)
      << out.str();
}

TEST(OverrideDumpTest, ConfigSettingCategories) {
  const struct {
    BYTE type;
    DWORD flags;
    const char* text;
  } cases[] = {
      {0, 0, "o9 t0 0x000000 [unknown: ]"},
      {1, 0x2, "o9 t1 0x000002 [references: ]"},
      {8, 0x3, "o9 t8 0x000003 [references:  hidden]"},
      {27, 0, "o9 t27 0x000000 [part_revovled_surface: ]"},
      {36, 0, "o9 t36 0x000000 [coordinate_systems: ]"},
      {37, 0x1, "o9 t37 0x000001 [????:  hidden]"},
  };
  for (const auto& c : cases) EXPECT_EQ(quorra::FormatConfigSetting(JConfigSetting(9, c.type, c.flags)), c.text);
}

TEST(DumpIDSTest, VerboseFormAddsOverrideBodyAndDisplaySettings) {
  SmallTree t;
  OccurrenceNode* part = t.root->GetChildByIndex(0);
  JOverrideBodyData body;
  tagG4x4 matrix;
  matrix.m[3] = 2;
  ASSERT_EQ(body.Populate(L"donor.asm", {{3, 4}, {5, 6}}, matrix), S_OK);
  ASSERT_EQ(part->SetOverrideBodyData(&body), S_OK);
  auto* settings = new quorra::ConfigSettingMap{{5, JConfigSetting(5, 9, 0x1)}};
  ASSERT_EQ(t.root->AddUserData(UD_DISPLAY_SETTING_MAP, settings), S_OK);
  std::string text;
  ASSERT_EQ(DumpIDS(t.Tree(), DUMPIDS_VERBOSE, &text), S_OK);
  EXPECT_NE(text.find("bodydoc:\tdonor.asm\r\nbodymap:\t3 -> 4\r\nbodymap:\t5 -> 6\r\n"
                      "          bodymx:\t[ 1.0000  0.0000  0.0000  2.0000][ 0.0000  1.0000  0.0000  0.0000]"
                      "[ 0.0000  0.0000  1.0000  0.0000][ 0.0000  0.0000  0.0000  1.0000]\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("            UD_DISPLAY_SETTING_MAP\r\n            o5 t9 0x000001 [coordsys:  hidden]\r\n"),
            std::string::npos)
      << text;
}

}  // namespace
