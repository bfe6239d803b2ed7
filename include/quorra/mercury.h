// Mercury: the occurrence-property service's context. A caller points it at
// one occurrence, named by an assembly document and a path below it (a
// DisplayRoadmap or a JMemberRoadmap) or by an occurrence node of a live
// tree, and Mercury resolves the rest lazily: the occurrence and its tree,
// the document's override table (IOT) and the override node of the path.
// Each resolution is done once and kept until the context is set again.
// Resolved tree pointers are not counted: the caller keeps the tree alive.
#pragma once

#include <vector>

#include "quorra/host/com.h"
#include "quorra/host/types.h"
#include "quorra/roadmap.h"

class AsmTree;
class AssemblyOccurrence;
class JIDSOverride;
class JIDSOverrideTree;
class JMemberRoadmap;
class OccurrenceNode;

// Resolution requests of Mercury::ResolveContext. At most one of the first
// four may be set in one request.
constexpr DWORD RC_IOT = 0x1;          // the IOT and the override node
constexpr DWORD RC_OCCURRENCE = 0x2;   // the occurrence and its tree
constexpr DWORD RC_TOP_LEVEL = 0x4;    // the top-level tree list
constexpr DWORD RC_BY_DOCUMENT = 0x8;  // search the top-level trees for the document
constexpr DWORD RC_FOR_UPDATE = 0x10;  // with RC_OCCURRENCE: the tree is wanted for a change

// How SetContext(context, flags) asks the host for a context's document and
// roadmap: 1 and 2 pass true and false to "JGetContextInformation"; any
// other value changes nothing.
enum SetContextFlags : DWORD {};

class Mercury {
 public:
  // State bits.
  static constexpr DWORD kIOTResolved = 0x1;
  static constexpr DWORD kOccurrenceResolved = 0x2;
  static constexpr DWORD kFoundByDocument = 0x4;
  static constexpr DWORD kTopLevelBuilt = 0x8;

  Mercury() = default;
  // Takes every field and its own reference on both documents.
  Mercury(const Mercury& other);
  Mercury& operator=(const Mercury& other);
  virtual ~Mercury();

  // Clear, then the document (its IUnknown identity) and the roadmap. A
  // roadmap without a document gives E_UNEXPECTED.
  HRESULT SetContext(IUnknown* document, JMemberRoadmap* roadmap);
  HRESULT SetContext(IUnknown* document, DisplayRoadmap* roadmap);
  // As SetContext, then holds `favoured` until the next Clear.
  HRESULT SetContextEx(IUnknown* document, JMemberRoadmap* roadmap, IUnknown* favoured);
  HRESULT SetContextEx(IUnknown* document, DisplayRoadmap* roadmap, IUnknown* favoured);
  // Clear, then the occurrence; its tree and document are found later.
  HRESULT SetContext(OccurrenceNode* occurrence);
  // A host membassy or context object: its document and roadmap.
  HRESULT SetContext(IUnknown* context);
  // A host context object, through "JGetContextInformation".
  HRESULT SetContext(IUnknown* context, SetContextFlags flags);

  // The resolved occurrence (RC_OCCURRENCE); E_POINTER when there is none.
  HRESULT GetOccurrenceNode(OccurrenceNode** out);
  // The override node of the roadmap (RC_IOT); E_FAIL with out null when
  // the table has no node for it.
  HRESULT GetOverride(JIDSOverride** out);
  // Tells the live tree (or every tree, flags 0x1) of a change through
  // JNotifyIDS. flags needs a bit of 0x3 and a bit of 0xC.
  HRESULT UpdateIDS(DWORD flags);

 protected:
  void Clear();
  HRESULT SetDocument(IUnknown* document);
  HRESULT SetDocumentToFavourForResolveContext(IUnknown* document);
  HRESULT SetRoadmap(JMemberRoadmap* roadmap);
  HRESULT SetRoadmap(DisplayRoadmap* roadmap);

  HRESULT ResolveContext(DWORD flags);
  HRESULT ResolveIOT();
  HRESULT ResolveOccurrence(AssemblyOccurrence* start);
  HRESULT ResolveOccurrenceDocument();

  DWORD state_ = 0;
  IUnknown* document_ = nullptr;  // counted
  DisplayRoadmap roadmap_;
  AsmTree* tree_ = nullptr;
  OccurrenceNode* occurrence_ = nullptr;
  std::vector<AsmTree*> topLevelTrees_;
  JIDSOverrideTree* iot_ = nullptr;
  JIDSOverride* override_ = nullptr;
  IUnknown* favouredDocument_ = nullptr;  // counted

 private:
  template <typename Roadmap>
  HRESULT SetDocumentContext(IUnknown* document, Roadmap* roadmap);
  template <typename Roadmap>
  HRESULT SetFavouredDocumentContext(IUnknown* document, Roadmap* roadmap, IUnknown* favoured);
  HRESULT BuildTopLevelTrees();
  HRESULT FindOccurrenceByDocument();
};

extern "C" {
// The member roadmap and the display roadmap (attachment ids from the root
// down) of the occurrence a membassy stands for, found by walking its
// owners up to the document. Either roadmap may be null, not both;
// *displayRoadmapValid says whether every level gave an attachment id.
HRESULT JGetRoadmapsFromMembassy(IUnknown* membassy, JMemberRoadmap* memberRoadmap, DisplayRoadmap* displayRoadmap,
                                 bool* displayRoadmapValid);
}
