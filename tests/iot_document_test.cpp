// Override tables in refhost's documents: written into an assembly file
// beside its other elements, read back when a document's table is first
// made, saved from an open document, and `quorra iot show` / `copy` end to
// end.
#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/documents.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>
#include <quorra/refhost/sample.h>

#include <string>

#include "support/byte_stream.h"
#include "support/run_command.h"
#include "support/storage_support.h"

namespace {

using quorra::host::ComObject;
using quorra::host::ComPtr;
using quorra::test::RunTool;
using quorra::test::TempDir;
using quorra::test::Widen;
using Bytes = std::vector<BYTE>;

// A document that only knows its path, as refhost's documents answer it.
class PathDocument final : public ComObject<quorra::refhost::IRefhostDocument> {
 public:
  explicit PathDocument(std::wstring path) : path_(std::move(path)) {}
  const wchar_t* GetPath() override { return path_.c_str(); }

 private:
  std::wstring path_;
};

Bytes StreamBytes(JIDSOverrideTree& tree) {
  auto stream = quorra::test::ByteStream::Create();
  JIOStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
  EXPECT_EQ(tree.SaveToStream(context), S_OK);
  return stream->Bytes();
}

void Fill(JIDSOverrideTree& tree) {
  DWORD path[] = {1, 2};
  JIDSOverride* node = nullptr;
  ASSERT_EQ(tree.AddOverride(2, path, IOT_PART, &node), S_OK);
  node->SetStyle(42, 0);
  tagG4x4 m;
  m(0, 3) = 2.5;
  node->SetMatrix(&m);
  JMemberRoute route("bolt");
  tree.GetAsmOverride()->AddChild(route, IOT_PART)->AddConstraint(1, 2);
}

JIDSOverrideTree* TableOf(IUnknown* document) {
  ComPtr<IJOverrideTreeHolder> holder;
  EXPECT_EQ(JGetIOT(document, IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put())), S_OK);
  JIDSOverrideTree* tree = nullptr;
  if (holder) holder->GetOverrideTree(&tree, 0);
  return tree;
}

class IotDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    quorra::refhost::Install();
    quorra::refhost::SampleSummary summary;
    ASSERT_EQ(quorra::refhost::WriteGearboxSample(Widen(dir_.Path()).c_str(), &summary), S_OK);
    top_ = dir_.File("gearbox.asm");
  }
  void TearDown() override { quorra::refhost::ReleasePersistManagers(); }

  std::string Attachments() {
    ComPtr<IStorage> storage;
    EXPECT_EQ(StgOpenStorage(Widen(top_).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                             storage.Put()),
              S_OK);
    return storage ? quorra::test::GetStream(storage.Get(), L"Attachments") : std::string();
  }

  TempDir dir_;
  std::string top_;
};

TEST_F(IotDocument, TableIsWrittenBesideTheOtherElementsAndReadBack) {
  const std::string attachments = Attachments();
  ASSERT_GT(attachments.size(), 16u);
  JIDSOverrideTree empty;
  EXPECT_EQ(quorra::refhost::LoadDocumentOverrideTable(Widen(top_).c_str(), &empty), S_FALSE);

  JIDSOverrideTree tree;
  Fill(tree);
  ASSERT_EQ(quorra::refhost::SaveDocumentOverrideTable(Widen(top_).c_str(), &tree), S_OK);
  EXPECT_EQ(Attachments(), attachments);
  JIDSOverrideTree loaded;
  ASSERT_EQ(quorra::refhost::LoadDocumentOverrideTable(Widen(top_).c_str(), &loaded), S_OK);
  EXPECT_EQ(StreamBytes(loaded), StreamBytes(tree));

  // An open document's table comes from its file; edits are saved back.
  ComPtr<PathDocument> document(new PathDocument(Widen(top_)));
  JIDSOverrideTree* table = TableOf(document.Get());
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(StreamBytes(*table), StreamBytes(tree));
  DWORD path[] = {9};
  ASSERT_EQ(table->SetSolverStatus(1, path, 5, IOT_PART), S_OK);
  const Bytes edited = StreamBytes(*table);
  ASSERT_EQ(quorra::refhost::SaveDocumentOverrides(document.Get()), S_OK);
  quorra::refhost::ReleasePersistManager(document.Get());
  JIDSOverrideTree* reopened = TableOf(document.Get());
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(StreamBytes(*reopened), edited);
  EXPECT_EQ(Attachments(), attachments);
}

TEST_F(IotDocument, FamilyMembersKeepTheirOwnTables) {
  quorra::refhost::AssemblyFamilyDocument family;
  family.seed = L"A";
  family.members.resize(2);
  family.members[0].name = L"A";
  family.members[1].name = L"B";
  const std::string path = dir_.File("family.asm");
  ASSERT_EQ(quorra::refhost::WriteFamilyDocument(Widen(path).c_str(), family), S_OK);
  JIDSOverrideTree tree;
  Fill(tree);
  {
    ComPtr<IStorage> root, member;
    ASSERT_EQ(StgOpenStorage(Widen(path).c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                             root.Put()),
              S_OK);
    ASSERT_EQ(root->OpenStorage(L"B", nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, member.Put()), S_OK);
    ASSERT_EQ(tree.Save(member.Get()), S_OK);
    member.Reset();
    ASSERT_EQ(root->Commit(0), S_OK);
  }
  ComPtr<IStorage> storage;
  ASSERT_EQ(quorra::refhost::OpenFamilyDocument(Widen(path).c_str(), storage.Put()), S_OK);
  JIDSOverrideTree b;
  ASSERT_EQ(b.LoadFoaMemberIot(storage.Get(), L"B"), S_OK);
  EXPECT_EQ(StreamBytes(b), StreamBytes(tree));
  JIDSOverrideTree a;
  EXPECT_TRUE(FAILED(a.LoadFoaMemberIot(storage.Get(), L"A"))) << "member A has no table";
  EXPECT_TRUE(FAILED(a.LoadFoaMemberIot(storage.Get(), L"C")));
  EXPECT_EQ(a.LoadFoaMemberIot(storage.Get(), nullptr), E_INVALIDARG);
  // The "file|Member" name reads the same table.
  JIDSOverrideTree named;
  ASSERT_EQ(quorra::refhost::LoadDocumentOverrideTable(Widen(path + "|B").c_str(), &named), S_OK);
  EXPECT_EQ(StreamBytes(named), StreamBytes(tree));
  ComPtr<IStorage> notFamily;
  EXPECT_EQ(quorra::refhost::OpenFamilyDocument(Widen(top_).c_str(), notFamily.Put()), E_INVALIDARG);
}

TEST_F(IotDocument, ToolShowsAndCopiesTheTable) {
  JIDSOverrideTree tree;
  Fill(tree);
  ASSERT_EQ(quorra::refhost::SaveDocumentOverrideTable(Widen(top_).c_str(), &tree), S_OK);

  const auto shown = RunTool("iot show " + top_);
  ASSERT_EQ(shown.exitCode, 0) << shown.output;
  EXPECT_NE(shown.output.find(": 4 override nodes\n"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("\n/1/2 part "), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find(" style=42 "), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find(" matrix=2.5,0,0"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("\n/[bolt] part "), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find(" constraints=1"), std::string::npos) << shown.output;

  // Into another assembly of the sample, which keeps its own elements.
  const std::string other = dir_.File("gearbox_copy.asm");
  {
    const auto bytes = quorra::test::ReadFileBytes(top_);
    FILE* f = std::fopen(other.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  JIDSOverrideTree blank;
  ASSERT_EQ(quorra::refhost::SaveDocumentOverrideTable(Widen(other).c_str(), &blank), S_OK);
  const auto copied = RunTool("iot copy " + top_ + " " + other);
  ASSERT_EQ(copied.exitCode, 0) << copied.output;
  const auto shownCopy = RunTool("iot show " + other);
  EXPECT_EQ(shownCopy.output.substr(shownCopy.output.find('\n')), shown.output.substr(shown.output.find('\n')));

  const auto missing = RunTool("iot show " + dir_.File("nothing.asm"));
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.output.find("no such file"), std::string::npos) << missing.output;
  EXPECT_EQ(RunTool("iot show").exitCode, 2);
  EXPECT_EQ(RunTool("iot frob x").exitCode, 2);
}

}  // namespace
