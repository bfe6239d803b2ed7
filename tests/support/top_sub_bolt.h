// The small assembly the property-service tests share: "top" places "sub"
// (id 1) and a bolt (id 2); "sub" places the bolt twice (ids 1 and 2). The
// tree is bound to refhost's documents, and the top document's persist
// manager knows it as its live tree, so its override table is reachable
// through JGetIOT.
#pragma once

#include <gtest/gtest.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>

#include <memory>

#include "support/assembly_builder.h"

namespace quorra::test {

class TopSubBoltTest : public ::testing::Test {
 protected:
  // Installs refhost and builds the assembly; the fixture's SetUp calls it.
  void OpenTopSubBolt() {
    quorra::refhost::Install();
    builder_ = std::make_unique<AssemblyBuilder>();
    auto& b = *builder_;
    AssemblySite* top = b.Assembly(L"top");
    AssemblySite* sub = b.Assembly(L"sub");
    PartSite* part = b.Part(L"bolt");
    b.Place(sub, part);
    b.Place(sub, part);
    b.Place(top, sub);
    b.Place(top, part);
    root_ = b.Build(top);
    ASSERT_EQ(quorra::refhost::BindDocuments(b.Tree()), S_OK);
    ASSERT_EQ(top->GetDocument(IID_IUnknown, reinterpret_cast<void**>(document_.Put())), S_OK);
    ASSERT_EQ(quorra::refhost::SetDocumentTree(document_.Get(), b.Tree()), S_OK);
    quorra::host::ComPtr<IJOverrideTreeHolder> holder;
    ASSERT_EQ(JGetIOT(document_.Get(), IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put())), S_OK);
    ASSERT_EQ(holder->GetOverrideTree(&iot_, 0), S_OK);
  }

  // Undoes OpenTopSubBolt, releasing every document's persist manager; the
  // fixture's TearDown calls it.
  void CloseTopSubBolt() {
    quorra::refhost::SetDocumentTree(document_.Get(), nullptr);
    quorra::refhost::ReleasePersistManagers();
    document_ = nullptr;
    builder_.reset();
    quorra::refhost::Uninstall();
  }

  std::unique_ptr<AssemblyBuilder> builder_;
  AssemblyOccurrence* root_ = nullptr;
  quorra::host::ComPtr<IUnknown> document_;
  JIDSOverrideTree* iot_ = nullptr;
};

}  // namespace quorra::test
