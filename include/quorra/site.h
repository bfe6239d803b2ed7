// Sites: one per loaded document (AssemblySite for an assembly, PartSite for
// a part), owned by one of the tree's two SiteManagers and found again by
// file path regardless of letter case. A site knows the occurrences that
// show it, its attachments if it is an assembly, its range if it is a part,
// the host document bound to it and the display caches the host attaches.
#pragma once

#include <cstdio>
#include <map>

#include "quorra/host/display.h"
#include "quorra/host/geometry.h"
#include "quorra/host/identity.h"
#include "quorra/host/text.h"
#include "quorra/node_list.h"
#include "quorra/node_manager.h"
#include "quorra/user_data.h"

class AsmTree;
class AssemblyOccurrence;
class AttachmentNode;
class CutawayContext;
class DisplayRoadmap;
class OccurrenceNode;
class SiteManager;
struct AttachmentBundle;

// Site flags (names as the dumps print them).
constexpr DWORD SITE_PART = 0x1;
constexpr DWORD SITE_ASSEMBLY = 0x2;
constexpr DWORD SITE_HIDDEN = 0x4;
constexpr DWORD SITE_LIGHT = 0x8;
constexpr DWORD SITE_LOCAL = 0x10;
constexpr DWORD SITE_BEING_DESTROYED = 0x20;
constexpr DWORD SITE_CACHED_GEOMETRY = 0x80;
constexpr DWORD SITE_EXPLORED = 0x400000;
constexpr DWORD SITE_MISSING = 0x800000;
constexpr DWORD SITE_TRUE_TYPE_ASSEMBLY = 0x1000000;
constexpr DWORD SITE_TRUE_TYPE_PART = 0x2000000;
constexpr DWORD SITE_TRUE_TYPE_FOREIGN = 0x4000000;
constexpr DWORD SITE_UPDATE_UNIT = 0x8000000;
constexpr DWORD SITE_TRUE_TYPE_DRAFT = 0x10000000;
constexpr DWORD SITE_IS_VIRTUAL_COMPONENT = 0x20000000;
constexpr DWORD SITE_EMB_WELD = 0x40000000;
// Bits SetFlags refuses: "being destroyed" and 0x100 to 0x200000.
constexpr DWORD SITE_FLAGS_FORBIDDEN = 0x3fff20;

// User data type of a site's cached geometry list (a heap GraphicInfoList).
constexpr DWORD UD_SITE_CACHED_GEOMETRY = 127;

class SiteNode {
 public:
  SiteNode(const SiteNode&) = delete;
  SiteNode& operator=(const SiteNode&) = delete;
  // Removes the site from its manager and index and releases what it holds.
  virtual ~SiteNode();  // slot 0
  // Text dump of the site.
  virtual void Dump(FILE* file);  // slot 1

  // Sets the path, stores the creation word and adds the site to its
  // manager (and index).
  HRESULT Init(AsmTree* tree, const wchar_t* path, DWORD word);

  AsmTree* GetAsmTree() const { return tree_; }
  // The tree's part site manager when the PART flag is set, else its
  // assembly site manager. (The site itself stays in the manager that took
  // it at Init, whatever the flag word says later.)
  SiteManager* GetSiteManager() const;

  // Stores the path (re-indexing the site when it had one) and its base name.
  HRESULT SetFilePath(const wchar_t* path);
  // The base name when the site is local and `full` is false, else the path.
  const GUserText& GetFilePath(bool full = true) const;
  // The same choice, lower-cased.
  GUserText GetFilePathLowerCase(bool full = true) const;
  const GUserText& GetBaseName() const { return baseName_; }
  DWORD GetCreationWord() const { return word_; }

  DWORD GetFlags() const { return flags_; }
  // Replaces the flag word; E_INVALIDARG (word unchanged) for a value with a
  // bit of SITE_FLAGS_FORBIDDEN.
  HRESULT SetFlags(DWORD flags);
  bool IsPart() const { return flags_ & SITE_PART; }
  bool IsAssembly() const { return flags_ & SITE_ASSEMBLY; }
  bool IsLite() const { return flags_ & SITE_LIGHT; }
  bool IsLocal() const { return flags_ & SITE_LOCAL; }
  bool IsVirtualComponent() const { return flags_ & SITE_IS_VIRTUAL_COMPONENT; }
  bool HasBeenExplored() const { return flags_ & SITE_EXPLORED; }
  bool HasCachedGeometry() const { return flags_ & SITE_CACHED_GEOMETRY; }
  void SetExplored() { flags_ |= SITE_EXPLORED; }
  void ClearExplored() { flags_ &= ~SITE_EXPLORED; }
  // Sets LIGHT; invalidates the caches when it was not set.
  void SetIsLite();
  // Clears LIGHT; when it was set, invalidates the caches and releases the
  // graphic info.
  void ClearIsLite();

  // Marks the site local and binds the local component object.
  HRESULT SetLocal(IUnknown* component);
  HRESULT GetLocalComponent(REFIID iid, void** out) const;
  // The local component's object id; E_FAIL when it is 0.
  HRESULT GetLocalComponentOid(DWORD& oid) const;

  HRESULT SetDocument(IUnknown* document);
  // The bound document in interface `iid`; for a drawing tree, falls back to
  // the host's already open document of this path and binds it.
  HRESULT GetDocument(REFIID iid, void** out);

  // Stores the object (its IUnknown) as user data UD_VIRTUAL_COMPONENT and
  // sets IS_VIRTUAL_COMPONENT; null only clears.
  HRESULT SetVirtualComponent(IUnknown* component);
  HRESULT ClearVirtualComponent();
  HRESULT GetVirtualComponent(REFIID iid, void** out) const;

  NodeList<OccurrenceNode>* GetOccurrencesList() { return &occurrences_; }
  const NodeList<OccurrenceNode>* GetOccurrencesList() const { return &occurrences_; }
  // A new iterator over the occurrence list, holding one reference.
  HRESULT GetOccurrencesIterator(ListIterator** iterator);
  HRESULT RemoveOccurrence(OccurrenceNode* occurrence);

  // No occurrence shows the site and no attachment places it.
  bool IsUnused() const;
  // Destroys the site when it is unused (S_OK), else E_FAIL.
  HRESULT RemoveAndDestroy();
  // True when `other` is this site or, the PART flag being clear, is reached
  // through this site's attachments, recursively.
  bool IsSiteDescendent(const SiteNode* other) const;
  // With the PART flag, the site's range, answering 1 when it is unset,
  // else 0; without it, GetAssemblyRange. A site lacking what the flag asks
  // for answers as an empty one (the empty box and 1).
  int GetSiteRange(tagGBox* box) const;

  HRESULT AddUserData(DWORD type, void* value) { return userData_.Add(type, value); }
  void* GetUserData(DWORD type, int* found) const { return userData_.Get(type, found); }
  HRESULT RemoveUserData(DWORD type) { return userData_.Remove(type); }
  UserDataMap* GetUserDataMap() const { return userData_.Map(); }

  // Display caches.
  IJGeometryCache* GetCommonCache() const { return commonCache_; }
  // Holds `cache` (a reference) as the common cache and drops the graphic info.
  HRESULT SetCommonCache(IJGeometryCache* cache);
  // As above, after registering the cache with the cutaway cache manager
  // under its default key when that key has no cache yet.
  HRESULT SetCommonCache(void* cache);
  // Hands the common cache to the host's cache manager for removal, releases
  // it, and drops the graphic info.
  HRESULT ClearCommonCache();
  // The graphic info; with `validate` non-zero, null when it is no longer a
  // live interface.
  IJGraphicInfo* GetGraphicInfo(int validate = 0) const;
  HRESULT SetGraphicInfo(IJGraphicInfo* info);
  HRESULT ClearGraphicInfo();
  // The cutaway cache manager, made on first use by the host; null when the
  // host cannot make one.
  IJCutawayGeometryCacheManager* GetCacheManager();
  // The cache to draw the site with in `context` (no reference added).
  IJGeometryCache* GetCache(JGraphicContext* context);
  // Fills `count` records with the caches of `site` for `context`.
  static HRESULT GetCaches(SiteNode* site, JGraphicContext* context, int count, GraphicInfo* records,
                           CutawayContext* cutaway);
  // The cached geometry list (user data 127); with `create`, an empty list
  // is made and stored when there is none.
  GraphicInfoList* GetCachedGeometry(bool create);
  // Replaces the cached geometry list (the site takes ownership; null only
  // removes the old one).
  HRESULT SetCachedGeometry(GraphicInfoList* list);
  HRESULT InvalidateCaches(DWORD mode, const DisplayRoadmap* roadmap);
  // The graphic under `key` and its type: key 77 answers the common cache
  // itself; other keys are asked of the common cache, or without one of the
  // first occurrence. Both outputs are cleared when nothing answers.
  HRESULT GetTypedGraphic(DWORD* type, void** graphic, DWORD key);
  HRESULT SetTypedGraphic(DWORD type, void* graphic, DWORD key);

  // Occurrence construction (bodies with the occurrence-tree construction).
  // Makes one occurrence of this site below `parent` for `attachment`.
  HRESULT CreateOccurrence(AttachmentNode* attachment, AssemblyOccurrence* parent, OccurrenceNode** occurrence);
  // Appends to the occurrence list.
  HRESULT AddOccurrences(DWORD n, OccurrenceNode** occurrences);
  HRESULT PreAllocOccurrence();

 protected:
  explicit SiteNode(DWORD kindFlag);
  // Grows the occurrence list's capacity to at least n (never shrinks).
  HRESULT PreAllocOccurrencesSpace(DWORD n);
  // Shared graphic access of both kinds (see the .cpp).
  HRESULT BeginSiteAccess(JGraphicContext* context, int* count, GraphicInfo** records, bool cachedListAllowed);
  HRESULT EndSiteAccess(JGraphicContext* context, int count, GraphicInfo* records, bool* done);

  GUserText filePath_;
  GUserText baseName_;
  DWORD flags_;
  DWORD word_ = 0;
  NodeList<OccurrenceNode> occurrences_;
  quorra::UserDataHolder userData_;
  AsmTree* tree_ = nullptr;
  JIdentity document_;
  IJGraphicInfo* graphicInfo_ = nullptr;
  void* cutawayCaches_ = nullptr;
  IJGeometryCache* commonCache_ = nullptr;
  IJCutawayGeometryCacheManager* cacheManager_ = nullptr;
  JIdentity local_;

 private:
  // PART or ASSEMBLY, fixed at construction: the flag word can be replaced
  // wholesale, the kind of object cannot.
  const DWORD kind_;
  bool IsAssemblyKind() const { return kind_ == SITE_ASSEMBLY; }
  // The manager that holds the site (by its kind of object).
  SiteManager* HoldingManager() const;

  void ReleaseCacheManager();
  friend class SiteManager;
  friend class AssemblySite;
  friend class AttachmentManager;
};

class AssemblySite : public SiteNode {
 public:
  AssemblySite();
  // Empties the attachment list first; the attachments it held, which
  // nothing can reach any more, are destroyed with it.
  ~AssemblySite() override;
  void Dump(FILE* file) override;

  // The union of the children's ranges placed by their attachments' matrices;
  // 1 when nothing contributed last (no attachments, or the last one gave
  // nothing), else 0.
  int GetAssemblyRange(tagGBox* box) const;
  bool IsSiteDescendentOfAssembly(const SiteNode* other) const;
  // False for a child of another tree, for this site itself and for any site
  // this one descends from (that would close a cycle).
  bool IsAttachmentCompatible(const SiteNode* child) const;

  // Attachment ids: 1, 2, ... within this site.
  DWORD AllocAttachmentID() { return ++lastAttachmentId_; }
  DWORD GetLastAttachmentID() const { return lastAttachmentId_; }
  // 0 becomes a new id; a larger id raises the counter to it.
  HRESULT CheckAttachmentID(DWORD& id);

  // Makes one attachment per bundle, lists them and grows every occurrence
  // of this site. S_FALSE for n = 0; E_INVALIDARG, with nothing made, when a
  // bundle's site is incompatible. `out` (n entries) may be null.
  HRESULT AddAttachments(DWORD n, const AttachmentBundle* bundles, AttachmentNode** out);
  HRESULT AddSingleAttachment(SiteNode* site, tagG4x4* matrix, DWORD symbology, DWORD id, AttachmentNode** out);
  // CreateAndAddAssembly or CreateAndAddPart by the file name; E_INVALIDARG
  // for a name of neither kind.
  HRESULT CreateAndAddAttachment(const wchar_t* path, DWORD id, DWORD symbology, tagG4x4* matrix,
                                 AttachmentNode** out, int* isNew, NodeList<OccurrenceNode>* occurrences);
  // Removes the node from the list only: S_OK, or S_FALSE when absent.
  HRESULT RemoveAttachment(AttachmentNode* attachment);
  // Removes the node, destroys its occurrence branches and the node itself.
  HRESULT RemoveAndDestroyAttachment(AttachmentNode* attachment);
  // Removes and destroys every attachment (last first), adds new ones made
  // from the bundles, then deletes the tree's unused sites: this one too when
  // nothing shows or places it (its new attachments go with it and `out`
  // is cleared).
  HRESULT ReplaceBranch(DWORD n, const AttachmentBundle* bundles, AttachmentNode** out);
  HRESULT GetAttachments(DWORD* n, AttachmentNode* const** list) const;
  const NodeList<AttachmentNode>& GetAttachmentList() const { return attachments_; }
  // Marks the transforms of the attachment's occurrences dirty and clears
  // the tree's user tokens of kind 1.
  HRESULT AttachmentIsDirty(AttachmentNode* attachment);

  // Occurrence construction (bodies with the occurrence-tree construction).
  HRESULT PreAllocOccurrenceLists();
  HRESULT CreateAndAddAssembly(const wchar_t* path, DWORD id, DWORD symbology, tagG4x4* matrix,
                               AttachmentNode** attachment, int* isNew, NodeList<OccurrenceNode>* newOccurrences);
  HRESULT CreateAndAddPart(const wchar_t* path, DWORD id, DWORD symbology, tagG4x4* matrix,
                           AttachmentNode** attachment, int* isNew, NodeList<OccurrenceNode>* newOccurrences);

  HRESULT BeginAccess(JGraphicContext* context, int* count, GraphicInfo** records);
  HRESULT EndAccess(JGraphicContext* context, int count, GraphicInfo* records);

  // Site reader: reads the "Attachments" stream of this site's document and
  // places its children, reading each new child document in turn. S_FALSE
  // when the document or its stream cannot be opened.
  HRESULT CreateChildSitesFromFile();

 protected:
  HRESULT InternalAddAttachments(DWORD n, AttachmentNode** attachments);
  HRESULT UpdateOccurrencesWithNewAttachments(DWORD n, AttachmentNode** attachments);
  HRESULT InternalCreateAndAddOcc(SiteNode* site, DWORD id, DWORD symbology, tagG4x4* matrix,
                                  AttachmentNode** attachment, int* isNew,
                                  NodeList<OccurrenceNode>* newOccurrences);

 private:
  // The document's record access (its override table), or null.
  IJGraphicAccess* GetDocumentGraphicAccess();
  // Destroys the branches made from an attachment already out of the list,
  // then the attachment.
  void DestroyUnlistedAttachment(AttachmentNode* attachment);
  // IsAttachmentCompatible of every bundle's site, answered in one walk.
  bool AreAttachmentsCompatible(DWORD n, const AttachmentBundle* bundles) const;

  NodeList<AttachmentNode> attachments_;
  DWORD lastAttachmentId_ = 0;
  // Attachment nodes whose parent is this site, listed or not.
  size_t namingAttachments_ = 0;

  friend class AttachmentManager;
  friend class AttachmentNode;
};

class PartSite : public SiteNode {
 public:
  PartSite();
  ~PartSite() override;
  void Dump(FILE* file) override;

  // The stored range, or the shared empty box while it is unset.
  const tagGBox* GetRange() const;
  // Stores the range and marks every occurrence of the site dirty.
  HRESULT SetRange(const tagGBox* box);
  bool IsRangeSet() const;

  // Scans the occurrences for the kinds asked for (non-null arguments).
  HRESULT CheckOccurrenceTypes(int* designed, int* simplified, int* ipa, int* overridden) const;
  bool HasDesignedOccurrence() const;
  bool HasSimplifiedOccurrence() const;

  HRESULT BeginAccess(JGraphicContext* context, int* count, GraphicInfo** records);
  HRESULT EndAccess(JGraphicContext* context, int count, GraphicInfo* records);

  // Site reader: marks a part whose document holds kernel geometry (no
  // common cache, the range -1..1). S_FALSE when the document or its kernel
  // storage cannot be opened, else the enumeration's final result.
  HRESULT InitPartSiteFromFile();

 private:
  tagGBox range_;
};

// Which path index a site manager keeps ("DEBUG_SITE_MAPPING"): bit 0 the
// process-wide index A, bit 1 the manager's own index B; 0 behaves like 2.
constexpr DWORD SITE_MAPPING_INDEX_A = 0x1;
constexpr DWORD SITE_MAPPING_INDEX_B = 0x2;

// Owns the part sites or the assembly sites of a tree and finds them by
// path, ignoring letter case.
class SiteManager : public NodeManager<SiteNode, DWORD> {
 public:
  explicit SiteManager(AsmTree* tree);
  // Destroys every site, then drops the manager's index A entry.
  ~SiteManager();

  // S_OK and the site, S_FALSE and null when no site has that path;
  // E_INVALIDARG for a null path. With both indexes, index B answers, but
  // its miss still passes out the site index A found (S_FALSE).
  HRESULT FindSite(const wchar_t* path, SiteNode** site) const;
  // Appends the sites, then enters each into the index.
  HRESULT AddNodes(DWORD count, SiteNode* const* nodes);
  // Indexes the site under its full path; S_FALSE for a site without one.
  HRESULT AddToMap(SiteNode* site);
  // Removes the site's entries (an entry naming another site stays). S_OK
  // when the index consulted last had the site's entry, else E_FAIL.
  HRESULT RemoveFromMap(SiteNode* site);
  // Removes the site from the index, then from the array.
  HRESULT RemoveNode(SiteNode* site);
  // Destroys each site that is unused when it is examined, in manager order.
  HRESULT DeleteUnusedSites();
  // S_FALSE as soon as a site has occurrences, else S_OK.
  HRESULT VerifyNoOccurrences() const;
  HRESULT FinishPreAlloc();

  // The mapping mode this manager was made with.
  DWORD GetMappingMode() const { return mode_; }
  // Entries in index B (index A lives in the process-wide registry).
  size_t GetIndexBSize() const { return indexB_.size(); }

 private:
  bool UsesIndexA() const { return mode_ & SITE_MAPPING_INDEX_A; }
  bool UsesIndexB() const { return mode_ == 0 || (mode_ & SITE_MAPPING_INDEX_B); }

  DWORD mode_;
  std::map<GUserText, SiteNode*> indexB_;
};

namespace quorra {

// The process's site mapping mode: "DEBUG_SITE_MAPPING" (default 1), read
// once. Managers take the mode in force when they are made.
DWORD SiteMappingMode();

}  // namespace quorra
