// Sites: one per loaded document (AssemblySite for an assembly, PartSite for
// a part), owned by one of the tree's two SiteManagers and found again by
// file path regardless of letter case.
#pragma once

#include <cstdio>

#include "quorra/node_list.h"
#include "quorra/node_manager.h"
#include "quorra/user_data.h"

class AsmTree;
class OccurrenceNode;

// Site flags.
constexpr DWORD SITE_PART = 0x1;
constexpr DWORD SITE_ASSEMBLY = 0x2;

class SiteNode {
 public:
  explicit SiteNode(DWORD flags) : flags_(flags) {}
  SiteNode(const SiteNode&) = delete;
  SiteNode& operator=(const SiteNode&) = delete;
  virtual ~SiteNode();
  virtual void Dump(FILE* file);

  DWORD GetFlags() const { return flags_; }
  bool IsPart() const { return flags_ & SITE_PART; }
  bool IsAssembly() const { return flags_ & SITE_ASSEMBLY; }
  AsmTree* GetAsmTree() const { return tree_; }
  NodeList<OccurrenceNode>* GetOccurrencesList() { return &occurrences_; }

 protected:
  DWORD flags_;
  NodeList<OccurrenceNode> occurrences_;
  quorra::UserDataHolder userData_;
  AsmTree* tree_ = nullptr;
};

class AssemblySite : public SiteNode {
 public:
  AssemblySite() : SiteNode(SITE_ASSEMBLY) {}
};

class PartSite : public SiteNode {
 public:
  PartSite() : SiteNode(SITE_PART) {}
};

class SiteManager : public NodeManager<SiteNode, DWORD> {
 public:
  explicit SiteManager(AsmTree* tree) : NodeManager(tree) {}
  ~SiteManager();
  // Destroys every site that is unused when it is examined.
  HRESULT DeleteUnusedSites();
};
