// AsmTree: the root object of one in-memory assembly display structure. It
// owns the four node managers (part sites, assembly sites, attachments,
// occurrences), the tree-wide property and dirty words, a process-unique
// uid, a few caches, and dispatches tree-modification notifications.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <unordered_set>
#include <vector>

#include "quorra/host/geometry.h"
#include "quorra/host/identity.h"
#include "quorra/host/kernel.h"
#include "quorra/host/kv_data.h"
#include "quorra/host/scene_items.h"
#include "quorra/host/types.h"
#include "quorra/render_advise.h"
#include "quorra/roadmap.h"
#include "quorra/user_data.h"
#include "quorra/user_tokens.h"

class AsmTree;
class AssemblyOccurrence;
class AssemblySite;
class AttachmentManager;
class AttachmentNode;
class CutawayContext;
class DisplayRoadmap;
class GScene;
class JGraphicContext;
class OccurrenceNode;
class PartSite;
class SiteFileToUniversalIdentifierMap;
class SiteManager;
class SiteNode;
class TreeWalkCallback;
struct IStorage;

// Tree property word.
constexpr DWORD ASMTREE_IPA = 0x1;
constexpr DWORD ASMTREE_DIM_SIMPLE_STYLES = 0x2;
constexpr DWORD ASMTREE_BUSY = 0x4;
constexpr DWORD ASMTREE_CONTAINS_ACTIVE_PARTS = 0x8;
constexpr DWORD ASMTREE_CHECK_TRANSPARENT_DISPLAY = 0x10;
constexpr DWORD ASMTREE_SIMPLIFYASM_EXCLUDEOCC_DISPLAY = 0x20;
constexpr DWORD ASMTREE_SIMPLIFYASM_VISIBLEFACE_DISPLAY = 0x40;
constexpr DWORD ASMTREE_TRACK_OVERRIDES = 0x80;
constexpr DWORD ASMTREE_CHECK_USER_COLOR = 0x100;
constexpr DWORD ASMTREE_USEIPASTYLE_ON_OCC = 0x200;
constexpr DWORD ASMTREE_FLUSHING_RANGE_CACHE = 0x400;
constexpr DWORD ASMTREE_FEA_DISPLAY_CACHE = 0x800;
constexpr DWORD ASMTREE_TRACK_DISPLAY = 0x1000;
constexpr DWORD ASMTREE_FEA_MESH_CMD_MODE = 0x2000;
constexpr DWORD ASMTREE_IPA_IN_SAP = 0x4000;
constexpr DWORD ASMTREE_IPA_ROADMAP = 0x8000;
constexpr DWORD ASMTREE_STRUCTURE_CACHE = 0x10000;

// Tree dirty word.
constexpr DWORD ASMTREE_DIRTY_DEFAULT_SYMBOLOGY = 0x8;
constexpr DWORD ASMTREE_DIRTY_INVALID = 0x80000000u;

// The value Release leaves in the reference count when it reaches zero.
constexpr LONG ASMTREE_RELEASED_MARKER = 0x19600806;

// Notified of occurrence creation and deletion. Every default does nothing
// and answers S_OK. The tree calls only slots 4 and 5.
class TreeModificationCallback {
 public:
  virtual HRESULT CreateSite(SiteNode* site);                    // slot 0
  virtual HRESULT DeleteSite(SiteNode* site);                    // slot 1
  virtual HRESULT CreateAttachment(AttachmentNode* attachment);  // slot 2
  virtual HRESULT DeleteAttachment(AttachmentNode* attachment);  // slot 3
  virtual HRESULT CreateOccurrence(OccurrenceNode* occurrence);  // slot 4
  virtual HRESULT DeleteOccurrence(OccurrenceNode* occurrence);  // slot 5

 protected:
  ~TreeModificationCallback() = default;
};

namespace quorra {
class OccurrenceArena;  // node memory, internal to the library
struct OccurrenceArenaAccess;
struct ChildOrderAccess;
struct OccurrenceArenaDeleter {
  void operator()(OccurrenceArena* arena) const;
};
}  // namespace quorra

// Holds the root occurrence of a tree (owned).
class OccurrenceManager {
 public:
  explicit OccurrenceManager(AsmTree* tree) : tree_(tree) {}
  OccurrenceManager(const OccurrenceManager&) = delete;
  OccurrenceManager& operator=(const OccurrenceManager&) = delete;
  ~OccurrenceManager();

  AssemblyOccurrence* GetRootAssembly() const { return root_; }
  void SetRootAssembly(AssemblyOccurrence* root) { root_ = root; }
  AsmTree* GetAsmTree() const { return tree_; }
  // No pooled allocator is offered to callers.
  void* GetAllocator() const { return nullptr; }

 private:
  friend struct quorra::OccurrenceArenaAccess;
  friend struct quorra::ChildOrderAccess;
  // The node memory the tree's occurrences are made in (made on first use;
  // null when it cannot be made). It outlives the root's destruction.
  quorra::OccurrenceArena* GetArena();

  friend class AssemblyOccurrence;
  friend class AttachmentNode;
  friend class OccurrenceNode;
  friend class SiteNode;
  // Occurrences a failed construction left in their sites' lists without a
  // parent that lists them: nobody else would ever destroy them, so the
  // manager does when it goes. One destroyed earlier is forgotten.
  void KeepOrphans(OccurrenceNode* const* occurrences, size_t count);
  void ForgetOrphan(OccurrenceNode* occurrence) {
    if (!orphanSet_.empty()) orphanSet_.erase(occurrence);
  }
  void DestroyOrphans();

  AssemblyOccurrence* root_ = nullptr;
  AsmTree* tree_;
  std::vector<OccurrenceNode*> orphans_;  // in the order they were left
  std::unordered_set<OccurrenceNode*> orphanSet_;
  // Children are kept sorted by attachment id, unless a list was sorted by
  // name or an attachment's id changed since: from then on a removal checks
  // the order again instead of trusting it.
  bool childOrderDisturbed_ = false;
  std::unique_ptr<quorra::OccurrenceArena, quorra::OccurrenceArenaDeleter> arena_;
};

using OverrideItemMap = std::multimap<JRoadmap, GOverrideItem>;

class AsmTree {
 public:
  AsmTree();
  AsmTree(const AsmTree&) = delete;
  AsmTree& operator=(const AsmTree&) = delete;
  ~AsmTree();

  HRESULT Init();
  ULONG AddRef();
  // Never destroys the tree; at zero the count holds ASMTREE_RELEASED_MARKER.
  ULONG Release();
  HRESULT QueryInterface(const GUID& iid, void** out);

  SiteManager* GetPartSiteManager() const { return partSites_; }
  SiteManager* GetAssemblySiteManager() const { return assemblySites_; }
  OccurrenceManager* GetOccurrenceManager() const { return occurrences_; }
  AttachmentManager* GetAttachmentManager() const { return attachments_; }
  AssemblyOccurrence* GetRootAssembly() const { return occurrences_ ? occurrences_->GetRootAssembly() : nullptr; }

  DWORD GetProperties() const { return properties_; }
  HRESULT SetProperties(DWORD properties) {
    properties_ = properties;
    return S_OK;
  }
  HRESULT SetRenderProperties(DWORD properties) { return SetProperties(properties); }
  DWORD GetDirty() const { return dirty_; }
  DWORD SetDirty(DWORD dirty) { return dirty_ = dirty; }

  void SetIPA() { properties_ |= ASMTREE_IPA; }
  void ClearIPA() { properties_ &= ~ASMTREE_IPA; }
  bool IsIPA() const { return properties_ & ASMTREE_IPA; }
  void SetBusy() { properties_ |= ASMTREE_BUSY; }
  void ClearBusy() { properties_ &= ~ASMTREE_BUSY; }
  bool IsBusy() const { return properties_ & ASMTREE_BUSY; }
  void SetCheckTransparentDisplayUserData(int value) { SetBit(ASMTREE_CHECK_TRANSPARENT_DISPLAY, value == 1); }
  void SetCheckUserColorUserData(int value) { SetBit(ASMTREE_CHECK_USER_COLOR, value == 1); }
  HRESULT SetOverrideTrackingMode(bool on);
  bool IsOverrideTrackingOn() const { return properties_ & ASMTREE_TRACK_OVERRIDES; }
  void SetFlushingRangeCache() {
    properties_ |= ASMTREE_FLUSHING_RANGE_CACHE;
    dirty_ |= ASMTREE_DIRTY_INVALID;
  }
  void ResetFlushingRangeCache() { properties_ &= ~ASMTREE_FLUSHING_RANGE_CACHE; }
  bool IsRangeCacheFlushInProgress() const { return properties_ & ASMTREE_FLUSHING_RANGE_CACHE; }
  void SetFEAMode() { properties_ |= ASMTREE_FEA_DISPLAY_CACHE; }
  void ClearFEAMode() { properties_ &= ~ASMTREE_FEA_DISPLAY_CACHE; }
  bool IsFEAMode() const { return properties_ & ASMTREE_FEA_DISPLAY_CACHE; }
  bool IsFEA() const { return IsFEAMode(); }
  HRESULT EnableDisplayTracking();
  HRESULT DisableDisplayTracking();
  bool IsDisplayTrackingEnabled() const { return properties_ & ASMTREE_TRACK_DISPLAY; }
  void SetFEAMeshCmdMode() { properties_ |= ASMTREE_FEA_MESH_CMD_MODE; }
  void ClearFEAMeshCmdMode() { properties_ &= ~ASMTREE_FEA_MESH_CMD_MODE; }
  bool IsFEAMeshCmdMode() const { return properties_ & ASMTREE_FEA_MESH_CMD_MODE; }
  void SetIPAInSAP() { properties_ |= ASMTREE_IPA_IN_SAP; }
  void ClearIPAInSAP() { properties_ &= ~ASMTREE_IPA_IN_SAP; }
  bool IsIPAInSAP() const { return properties_ & ASMTREE_IPA_IN_SAP; }
  void SetStructureCache() { properties_ |= ASMTREE_STRUCTURE_CACHE; }
  void ClearStructureCache() { properties_ &= ~ASMTREE_STRUCTURE_CACHE; }
  bool IsStructureCache() const { return properties_ & ASMTREE_STRUCTURE_CACHE; }

  void SetIPARoadmap(DisplayRoadmap* roadmap) {
    ipaRoadmap_ = roadmap;
    SetBit(ASMTREE_IPA_ROADMAP, roadmap != nullptr);
  }
  void ClearIPARoadmap() {
    properties_ &= ~ASMTREE_IPA_ROADMAP;
    ipaRoadmap_ = nullptr;
  }
  DisplayRoadmap* GetIPARoadmap() const { return (properties_ & ASMTREE_IPA_ROADMAP) ? ipaRoadmap_ : nullptr; }
  // The roadmap of one link holding the tree's uid.
  DisplayRoadmap* GetTreeRoadmap() const { return treeRoadmap_; }

  JProgress* GetUserProgress() const { return userProgress_; }
  void SetUserProgress(JProgress* progress) { userProgress_ = progress; }
  JGraphicContext* GetGraphicContext() const { return graphicContext_; }
  void SetGraphicContext(JGraphicContext* context) { graphicContext_ = context; }
  DWORD GetTransparentColor() const { return transparentColor_; }
  void SetTransparentColor(DWORD color) { transparentColor_ = color; }
  std::set<OccurrenceNode*>* GetSimplifyAsmExcludeOccs() { return &simplifyExcludeOccs_; }
  std::set<GVisibleItem>* GetSimplifyAsmVisibilityCollector() { return &simplifyVisibilityCollector_; }
  void GetOverrideItemMap(OverrideItemMap& out) const { out = overrideItems_; }
  void SetOverrideItemMap(const OverrideItemMap& items) { overrideItems_ = items; }
  void ClearOverrideItemMap() { overrideItems_.clear(); }
  CRITICAL_SECTION* GetTreeWalkCriticalSection() { return &treeWalkLock_; }
  DWORD BeginWalk() { return ++walksInProgress_; }
  DWORD EndWalk() { return --walksInProgress_; }
  DWORD GetWalksInProgressCount() const { return walksInProgress_; }
  DWORD GetUid() const { return uid_; }

  // The root occurrence's dirty flag; requires a root.
  bool AreRangesDirty() const;
  // Recomputes the root's range when it is dirty; answers the flag read.
  bool Validate();
  HRESULT Walk(TreeWalkCallback* callback, void* data, int flags);

  // Summary of the tree's counts to the debugger output; with a path, the
  // file path of every part occurrence's site is written there, one a line.
  void Dump(const wchar_t* path);
  // The occurrence a roadmap names (the root for the empty one), or null.
  const OccurrenceNode* Lookup(DisplayRoadmap* rm);
  HRESULT DeleteUnusedSites();

  // Sites. CreateSite classifies the path by its extension (E_INVALIDARG
  // for neither kind). The checked forms answer S_FALSE with the existing
  // site of that path; the NoCheck forms always make a new site.
  HRESULT CreateSite(const wchar_t* path, DWORD word, SiteNode** site);
  HRESULT CreateSite(const wchar_t* path, DWORD word, bool isAssembly, SiteNode** site);
  HRESULT CreateAssemblySite(const wchar_t* path, DWORD word, AssemblySite** site);
  HRESULT CreatePartSite(const wchar_t* path, DWORD word, PartSite** site);
  HRESULT CreateAssemblySiteNoCheck(const wchar_t* path, DWORD word, AssemblySite** site);
  HRESULT CreatePartSiteNoCheck(const wchar_t* path, DWORD word, PartSite** site);
  // The manager's answer: S_OK and the site, or S_FALSE and null (or, when
  // both indexes are kept, index A's site where index B missed). The
  // extension chooses the manager; a path of neither kind is looked for
  // among assemblies first, then among parts when no site came back.
  HRESULT FindSite(const wchar_t* path, SiteNode** site) const;
  // With anyType, searches assemblies then parts whatever the extension.
  HRESULT FindSiteEx(bool anyType, const wchar_t* path, SiteNode** site) const;
  HRESULT GetKVDataServer(IKVDataServer** out);
  HRESULT SetKVDataServer(IUnknown* server);
  void ClearAnimationState() {
    if (animationState_ != 0xFFFFFFFFu) SetAnimationState(0);
  }
  void SetAnimationState(DWORD state);
  DWORD GetAnimationState() const { return animationState_; }
  bool IsValidAnimationState(DWORD state) const;
  // Forgets the tree in the live-tree set without destroying it.
  void ObjectLeaked();

  DWORD GetCrc();
  // The root occurrence's range; the all-zero box while busy or empty.
  tagGBox GetRange(int unused);
  HRESULT GetRange(tagGBox* box, int unused);

  // Occurrence-tree construction: the root assembly site (created or found)
  // and one occurrence per path of attachments below it.
  HRESULT CreateRootAssembly(const wchar_t* path, DWORD word, AssemblyOccurrence** root);
  HRESULT CreateOccurrenceTree(AssemblySite* rootSite);
  // Reserves the sites' occurrence lists; S_FALSE when occurrences exist.
  HRESULT PreAllocOccurrenceLists(AssemblySite* rootSite);
  // Site reader entry: the assembly site of `path`, its whole site graph
  // read from the documents, then the occurrence tree.
  HRESULT PopulateFullTree(const wchar_t* path, DWORD word);

  // The IDS streams (ids_stream.h): "IDS" into or from `storage`, naming
  // files by their ids in `map`. LoadIDS needs an empty tree.
  HRESULT SaveIDS(IStorage* storage, SiteFileToUniversalIdentifierMap& map);
  HRESULT LoadIDS(IStorage* storage, SiteFileToUniversalIdentifierMap& map);
  // Scene persistence: the scene saves or loads itself into `storage`, or
  // without one into the storage the scene holds; `a` and `b` go through to
  // it. E_UNEXPECTED when there is no storage.
  HRESULT Save(IStorage* storage, DWORD a, DWORD b, GScene* scene);
  HRESULT Load(IStorage* storage, DWORD a, DWORD b, GScene* scene);

  HRESULT AddTreeModificationCallback(TreeModificationCallback* callback);
  HRESULT RemoveTreeModificationCallback(TreeModificationCallback* callback);
  HRESULT CallCreateOccurrenceCallbacks(OccurrenceNode* occurrence);
  HRESULT CallDeleteOccurrenceCallbacks(OccurrenceNode* occurrence);

  // User data and user tokens of the tree itself.
  HRESULT AddUserData(DWORD type, void* value) { return userData_.Add(type, value); }
  void* GetUserData(DWORD type, int* found) const { return userData_.Get(type, found); }
  HRESULT RemoveUserData(DWORD type) { return userData_.Remove(type); }
  UserDataMap* GetUserDataMap() const { return userData_.Map(); }
  HRESULT CreateUserToken(WORD flags, DWORD* token) { return userTokens_.CreateToken(flags, token); }
  HRESULT DeleteUserToken(DWORD token) { return userTokens_.DeleteToken(token); }
  int GetUserToken(DWORD token) const { return userTokens_.GetToken(token); }
  // Stores nothing while the tree's ranges are dirty; returns the old value.
  int SetUserToken(DWORD token, int value);
  void ClearAllUserTokens(WORD mask) { userTokens_.ClearAll(mask); }

  // Scene population (scene_population.h): fills `scene` (null: the
  // process-wide default scene) with the displayed items of the tree.
  HRESULT PopulateScene(GScene* scene);
  // The tree's own scene, made on first use; flags 0x2 purge it, 0x1
  // populate it. Null when it cannot be made.
  GScene* GetScene(DWORD flags);
  HRESULT InvalidateScene();

  // Opens the tree's graphic context for display work (null without one);
  // for a cutaway, `out` receives a new one-slot CutawayContext.
  JGraphicContext* BeginGraphicContext(CutawayContext** out);
  HRESULT EndGraphicContext(JGraphicContext* context, CutawayContext* cutaway);
  // Gathers the display items of lite part sites for a cutaway of `context`.
  // Answers E_NOTIMPL once it has gathered them: the cutaway itself is drawn
  // by the host.
  HRESULT ApplyCutaway(JGraphicContext* context, CutawayContext* cutaway);
  // The range with `context` installed and the root's range refreshed in it.
  tagGBox GetAnimatedRange(JGraphicContext* context);

  // The render advise holder's sink list (borrowed by enumerators).
  const RenderAdviseSinkList& GetRenderSinks() const { return renderSinks_; }

  // Nested COM identities of the tree: the render advise holder and the
  // enumerator over its sinks. Their IUnknown methods forward to the tree.
  class XIJRenderAdviseHolder final : public IJRenderAdviseHolder {
   public:
    HRESULT QueryInterface(REFIID iid, void** out) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT Advise(IJRenderAdviseSink* sink, IJRenderAdviseSink** cookie) override;
    HRESULT Unadvise(IJRenderAdviseSink* sink) override;
    HRESULT EnumAdvise(IEnumRenderAdviseSink** out) override;
    HRESULT SendOnRender() override;

    explicit XIJRenderAdviseHolder(AsmTree* tree) : tree_(tree) {}

   private:
    AsmTree* tree_;
  };
  class XIEnumRenderAdviseSink final : public IEnumRenderAdviseSink {
   public:
    HRESULT QueryInterface(REFIID iid, void** out) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT Next(ULONG count, IJRenderAdviseSink** sink, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumRenderAdviseSink** out) override;

    explicit XIEnumRenderAdviseSink(AsmTree* tree) : tree_(tree) {}

   private:
    AsmTree* tree_;
  };

 private:
  struct CallbackLink {
    TreeModificationCallback* callback;
    CallbackLink* next;
  };

  void SetBit(DWORD bit, bool on) { properties_ = on ? (properties_ | bit) : (properties_ & ~bit); }

  SiteManager* partSites_ = nullptr;
  SiteManager* assemblySites_ = nullptr;
  OccurrenceManager* occurrences_ = nullptr;
  AttachmentManager* attachments_ = nullptr;
  CallbackLink* callbacks_ = nullptr;
  UserTokenList userTokens_;
  CRITICAL_SECTION treeWalkLock_{};
  bool treeWalkLockInitialized_ = false;
  quorra::UserDataHolder userData_;
  JProgress* userProgress_ = nullptr;
  JGraphicContext* graphicContext_ = nullptr;
  DisplayRoadmap* treeRoadmap_ = nullptr;
  DisplayRoadmap* ipaRoadmap_ = nullptr;
  bool contextRoadmapSaved_ = false;  // the IPA slot holds an open context's roadmap
  // Atomic: a worker thread loading the tree sets and clears BUSY while the
  // creating thread polls IsBusy.
  std::atomic<DWORD> properties_{0};
  GScene* scene_ = nullptr;
  JIdentityEx dataServer_;
  DWORD dirty_ = 0;
  LONG refCount_ = 1;
  std::set<GVisibleItem> simplifyVisibilityCollector_;
  std::set<OccurrenceNode*> simplifyExcludeOccs_;
  DWORD animationState_ = 0xFFFFFFFFu;
  OverrideItemMap overrideItems_;
  DWORD transparentColor_ = 0;
  XIEnumRenderAdviseSink enumSink_{this};
  XIJRenderAdviseHolder adviseHolder_{this};
  RenderAdviseSinkList renderSinks_;
  size_t renderCursor_ = 0;
  DWORD crc_ = 0;
  DWORD uid_ = 0;
  DWORD walksInProgress_ = 0;

  friend class XIJRenderAdviseHolder;
  friend class XIEnumRenderAdviseSink;
};

namespace quorra {
// The object checksum: a CRC-32 (reflected 0xEDB88320, register from
// 0xFFFFFFFF, no final inversion) in which every data byte is followed by
// the low eight bits of its own index.
DWORD ObjectChecksum(const void* data, size_t size);
// True while `tree` is alive (constructed and not yet destroyed or leaked).
bool IsLiveTree(const AsmTree* tree);
}  // namespace quorra

extern "C" {
BOOL IsAssemblyFileName(const wchar_t* name);
BOOL IsPartFileName(const wchar_t* name);
bool JAsmIsGhostMode();
void JAsmSetGhostMode(bool on);
bool JRecordEmbeddedWeldDisplayed(IUnknown* weldment);
bool JHasEmbeddedWeldBeenDisplayed(IUnknown* weldment);
HRESULT JBlockIDSUpdate(void* p, DWORD value);
HRESULT JGetCheckSum(void* p, void* q, void* r);
HRESULT JNotifyIDS(void* p, void* q, DWORD value, void* r);
}
