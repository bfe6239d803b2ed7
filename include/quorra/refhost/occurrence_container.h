// refhost's document objects: what a CAD host hands the library as the
// documents of its sites. An assembly's document is an occurrence container
// (IJOccurrenceContainer) whose members, found by attachment id, answer
// their names (the placement names the document stores, without directory:
// "bolt.par:1"), whether they are leaves, the container of their own
// document, and their source document (IJOccurrenceDocument). Every document
// answers IRefhostDocument with its path.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/container.h"
#include "quorra/host/types.h"

class AsmTree;

namespace quorra::refhost {

// {5E0A7B31-92C4-4D16-8F2A-61B3C9D04E72}
constexpr IID IID_IRefhostDocument = {0x5e0a7b31, 0x92c4, 0x4d16, {0x8f, 0x2a, 0x61, 0xb3, 0xc9, 0xd0, 0x4e, 0x72}};

struct IRefhostDocument : IUnknown {
  // The document's file path as its site holds it.
  virtual const wchar_t* GetPath() = 0;  // slot 3

 protected:
  ~IRefhostDocument() = default;
};

// {2B9E4C71-6D05-4A8F-B3E2-91C07F5A6D18}
constexpr IID IID_IRefhostMember = {0x2b9e4c71, 0x6d05, 0x4a8f, {0xb3, 0xe2, 0x91, 0xc0, 0x7f, 0x5a, 0x6d, 0x18}};

// A member of a refhost assembly document, reached like its IJComponent
// (OccurrenceNode::GetHelixReference): sets what the member answers as the
// referenced document of its occurrences. Its reference property word is
// set through IJComponent::SetReferenceProperties; it starts as the
// placement's attachment user datum 8, the component flags as datum 9.
struct IRefhostMember : IUnknown {
  virtual HRESULT SetComponentFlags(DWORD flags) = 0;
  virtual HRESULT SetSimplifiedForm(BOOL simplified) = 0;

 protected:
  ~IRefhostMember() = default;
};

// Gives every site of a loaded tree its document object (SiteNode::
// SetDocument); the sites hold the documents for their lives. An assembly
// document's members are its site's attachments, named by the placement
// records of its "Attachments" stream in the order the loader read them; an
// attachment without a stored name (a weldment member, a document the
// stream cannot tell) is named "<document base name>:<n>", n counting the
// placements of that document in the assembly. S_OK, or E_INVALIDARG for a
// null tree, E_OUTOFMEMORY.
HRESULT BindDocuments(AsmTree* tree);

}  // namespace quorra::refhost

QUORRA_INTERFACE_ID(quorra::refhost::IRefhostDocument, quorra::refhost::IID_IRefhostDocument);
QUORRA_INTERFACE_ID(quorra::refhost::IRefhostMember, quorra::refhost::IID_IRefhostMember);
