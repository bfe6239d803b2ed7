// The tree object: construction and teardown, properties, checksum, range,
// tree-modification callbacks, and the process-wide functions of the tree.
#include "quorra/tree.h"

#include <array>
#include <string_view>
#include <new>

#include "core/tree_registry.h"
#include "core/tree_walks.h"
#include "display/scene_population_internal.h"
#include "quorra/attachment.h"
#include "quorra/host/modules.h"
#include "quorra/host/scene.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/tree";

// Process-wide state of the tree. Allocated once and never destroyed, so
// trees deleted from static destructors still find it.
struct TreeRegistry {
  std::set<AsmTree*> live;
  std::set<AsmTree*> locked;
  std::set<AsmTree*> deferred;
  DWORD uidCounter = 0;
  bool ghostMode = false;
  // Keyed by the identity's pair; the identity is kept so that the object
  // keeps its serial (and so its key) while it is recorded.
  std::map<std::pair<DWORD, DWORD>, JIdentity> displayedWelds;
};
TreeRegistry& Registry() {
  static TreeRegistry* registry = new TreeRegistry();
  return *registry;
}

bool IsEmptyBox(const tagGBox& b) {
  return b.low[0] == 1e30 && b.low[1] == 1e30 && b.low[2] == 1e30 && b.high[0] == -1e30 && b.high[1] == -1e30 &&
         b.high[2] == -1e30;
}

// The text from the last '.' of a name, or an empty view when it has none.
std::wstring_view FromLastDot(const wchar_t* name) {
  std::wstring_view text(name);
  size_t dot = text.rfind(L'.');
  return dot == std::wstring_view::npos ? std::wstring_view() : text.substr(dot);
}

}  // namespace

// ---- TreeModificationCallback defaults ----

HRESULT TreeModificationCallback::CreateSite(SiteNode*) { return S_OK; }
HRESULT TreeModificationCallback::DeleteSite(SiteNode*) { return S_OK; }
HRESULT TreeModificationCallback::CreateAttachment(AttachmentNode*) { return S_OK; }
HRESULT TreeModificationCallback::DeleteAttachment(AttachmentNode*) { return S_OK; }
HRESULT TreeModificationCallback::CreateOccurrence(OccurrenceNode*) { return S_OK; }
HRESULT TreeModificationCallback::DeleteOccurrence(OccurrenceNode*) { return S_OK; }

OccurrenceManager::~OccurrenceManager() {
  DestroyOrphans();
  if (root_) {
    AssemblyOccurrence* root = root_;
    root_ = nullptr;
    root->Destroy(true);
  }
}

void OccurrenceManager::KeepOrphans(OccurrenceNode* const* occurrences, size_t count) {
  try {
    for (size_t i = 0; i < count; ++i)
      if (occurrences[i] && orphanSet_.insert(occurrences[i]).second) orphans_.push_back(occurrences[i]);
  } catch (const std::bad_alloc&) {
    // Out of memory: the ones not kept stay where the failed build left them.
  }
}

void OccurrenceManager::DestroyOrphans() {
  std::vector<OccurrenceNode*> orphans;
  std::unordered_set<OccurrenceNode*> live;
  orphans.swap(orphans_);
  live.swap(orphanSet_);
  // An orphan's parent may be an orphan too, or gone: none is told.
  for (OccurrenceNode* orphan : orphans)
    if (live.count(orphan)) orphan->ClearParent();
  for (auto it = orphans.rbegin(); it != orphans.rend(); ++it)
    if (live.count(*it)) (*it)->Destroy(TRUE);
}

// ---- construction and teardown ----

AsmTree::AsmTree() {
  TreeRegistry& registry = Registry();
  uid_ = ++registry.uidCounter;
  treeRoadmap_ = new (std::nothrow) DisplayRoadmap(uid_, 2);
  registry.live.insert(this);
}

HRESULT AsmTree::Init() {
  partSites_ = new (std::nothrow) SiteManager(this);
  if (partSites_) assemblySites_ = new (std::nothrow) SiteManager(this);
  if (assemblySites_) occurrences_ = new (std::nothrow) OccurrenceManager(this);
  if (occurrences_) attachments_ = new (std::nothrow) AttachmentManager(this);
  if (!attachments_) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AsmTree::Init");
  InitializeCriticalSection(&treeWalkLock_);
  treeWalkLockInitialized_ = true;
  return S_OK;
}

AsmTree::~AsmTree() {
  delete scene_;
  scene_ = nullptr;
  quorra::ForgetDefaultSceneTree(this);
  // A destroyed tree never lingers in any registry, so a later unlock of
  // this address cannot destroy it a second time.
  TreeRegistry& registry = Registry();
  registry.live.erase(this);
  registry.locked.erase(this);
  registry.deferred.erase(this);
  for (IJRenderAdviseSink* sink : renderSinks_) sink->OnTreeDestroyed();

  // Occurrences first: they point at attachments and sites.
  delete occurrences_;
  occurrences_ = nullptr;
  delete attachments_;
  attachments_ = nullptr;
  delete partSites_;
  partSites_ = nullptr;
  delete assemblySites_;
  assemblySites_ = nullptr;

  userData_.Release();
  delete treeRoadmap_;
  treeRoadmap_ = nullptr;

  while (callbacks_) {
    CallbackLink* link = callbacks_;
    callbacks_ = link->next;
    // Poison the link so a stale pointer to it is recognisable.
    link->callback = nullptr;
    link->next = reinterpret_cast<CallbackLink*>(uintptr_t{0x64616564});  // "dead"
    delete link;
  }

  if (treeWalkLockInitialized_) DeleteCriticalSection(&treeWalkLock_);
  dataServer_.Clear();
  for (IJRenderAdviseSink* sink : renderSinks_) sink->Release();
  renderSinks_.clear();
}

ULONG AsmTree::AddRef() { return static_cast<ULONG>(++refCount_); }

ULONG AsmTree::Release() {
  if (refCount_ > 0 && --refCount_ > 0) return static_cast<ULONG>(refCount_);
  refCount_ = ASMTREE_RELEASED_MARKER;
  return 0;
}

HRESULT AsmTree::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (refCount_ == 0) return E_UNEXPECTED;
  if (iid == IID_IUnknown)
    *out = this;
  else if (iid == IID_IJRenderAdviseHolder)
    *out = static_cast<IJRenderAdviseHolder*>(&adviseHolder_);
  else if (iid == IID_IEnumRenderAdviseSink)
    *out = static_cast<IEnumRenderAdviseSink*>(&enumSink_);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

// ---- properties that walk the tree ----

HRESULT AsmTree::SetOverrideTrackingMode(bool on) {
  if (on) {
    properties_ |= ASMTREE_TRACK_OVERRIDES;
    return S_OK;
  }
  quorra::WalkRemoveTrackOverrides(this);
  properties_ &= ~ASMTREE_TRACK_OVERRIDES;
  return S_OK;
}

HRESULT AsmTree::EnableDisplayTracking() {
  properties_ |= ASMTREE_TRACK_DISPLAY;
  quorra::WalkDeleteDisplayTrackingData(this);
  return S_OK;
}

HRESULT AsmTree::DisableDisplayTracking() {
  properties_ &= ~ASMTREE_TRACK_DISPLAY;
  quorra::WalkDeleteDisplayTrackingData(this);
  return S_OK;
}

void AsmTree::SetAnimationState(DWORD state) {
  if (animationState_ != 0 && animationState_ != 0xFFFFFFFFu && state == 0) {
    quorra::WalkDeAnimate(this);
    if (AssemblyOccurrence* root = GetRootAssembly()) quorra::RefreshRootRange(root);
    animationState_ = 0xFFFFFFFFu;
    return;
  }
  animationState_ = state;
}

bool AsmTree::IsValidAnimationState(DWORD state) const {
  if (state == 0xFFFFFFFFu) return animationState_ != 0;
  return state != 0 && animationState_ != 0 && state == animationState_;
}

void AsmTree::ObjectLeaked() { Registry().live.erase(this); }

// ---- root-dependent accessors ----

bool AsmTree::AreRangesDirty() const { return GetRootAssembly()->IsDirty(); }

bool AsmTree::Validate() {
  AssemblyOccurrence* root = GetRootAssembly();
  bool dirty = root->IsDirty();
  if (dirty) root->GetRange();
  return dirty;
}

HRESULT AsmTree::Walk(TreeWalkCallback* callback, void* data, int flags) {
  AssemblyOccurrence* root = GetRootAssembly();
  if (!root) return E_FAIL;
  return root->Walk(callback, data, flags);
}

HRESULT AsmTree::DeleteUnusedSites() {
  HRESULT hr = assemblySites_ ? assemblySites_->DeleteUnusedSites() : S_OK;
  HRESULT hrParts = partSites_ ? partSites_->DeleteUnusedSites() : S_OK;
  return FAILED(hr) ? hr : hrParts;
}

HRESULT AsmTree::GetKVDataServer(IKVDataServer** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  dataServer_.GetObjectW(IID_IKVDataServer, reinterpret_cast<void**>(out));
  return *out ? S_OK : E_FAIL;
}

HRESULT AsmTree::SetKVDataServer(IUnknown* server) {
  dataServer_.SetObject(server);
  return S_OK;
}

int AsmTree::SetUserToken(DWORD token, int value) {
  if (AreRangesDirty()) return userTokens_.GetToken(token);
  return userTokens_.SetToken(token, value);
}

// ---- checksum and range ----

DWORD AsmTree::GetCrc() {
  if (crc_ == 0) crc_ = quorra::ObjectChecksum(this, sizeof(*this));
  return crc_;
}

tagGBox AsmTree::GetRange(int) {
  tagGBox box = tagGBox::Null();
  if (IsBusy()) return box;  // a worker thread is still building the tree
  AssemblyOccurrence* root = GetRootAssembly();
  if (!root) return box;
  box = *root->GetRange();
  if (IsEmptyBox(box)) {
    root->SetPossiblyDirty();
    box = *root->GetRange();
  }
  return box;
}

HRESULT AsmTree::GetRange(tagGBox*, int) { return E_FAIL; }

// ---- tree-modification callbacks ----

HRESULT AsmTree::AddTreeModificationCallback(TreeModificationCallback* callback) {
  auto* link = new (std::nothrow) CallbackLink{callback, callbacks_};
  if (!link) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AsmTree::AddTreeModificationCallback");
  callbacks_ = link;
  return S_OK;
}

HRESULT AsmTree::RemoveTreeModificationCallback(TreeModificationCallback* callback) {
  for (CallbackLink** link = &callbacks_; *link; link = &(*link)->next) {
    if ((*link)->callback == callback) {
      CallbackLink* gone = *link;
      *link = gone->next;
      delete gone;
      return S_OK;
    }
  }
  return S_FALSE;
}

HRESULT AsmTree::CallCreateOccurrenceCallbacks(OccurrenceNode* occurrence) {
  for (CallbackLink* link = callbacks_; link; link = link->next) {
    HRESULT hr = link->callback->CreateOccurrence(occurrence);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::CallCreateOccurrenceCallbacks");
  }
  return S_OK;
}

HRESULT AsmTree::CallDeleteOccurrenceCallbacks(OccurrenceNode* occurrence) {
  for (CallbackLink* link = callbacks_; link; link = link->next) {
    HRESULT hr = link->callback->DeleteOccurrence(occurrence);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTree::CallDeleteOccurrenceCallbacks");
  }
  return S_OK;
}

// ---- process-wide helpers ----

namespace quorra {

DWORD ObjectChecksum(const void* data, size_t size) {
  static const std::array<DWORD, 256> table = [] {
    std::array<DWORD, 256> t{};
    for (DWORD i = 0; i < 256; ++i) {
      DWORD c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  const BYTE* bytes = static_cast<const BYTE*>(data);
  DWORD crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    DWORD t = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    crc = table[(t ^ static_cast<DWORD>(i)) & 0xFF] ^ (t >> 8);
  }
  return crc;
}

bool IsLiveTree(const AsmTree* tree) { return Registry().live.count(const_cast<AsmTree*>(tree)) != 0; }
std::set<AsmTree*>& LiveTrees() { return Registry().live; }
std::set<AsmTree*>& LockedTrees() { return Registry().locked; }
std::set<AsmTree*>& DeferredTreeDeletions() { return Registry().deferred; }

}  // namespace quorra

extern "C" BOOL IsAssemblyFileName(const wchar_t* name) {
  if (!name) return 0;
  std::wstring_view extension = FromLastDot(name);
  // Only the three characters after the dot count: ".asmx" is an assembly too.
  return extension.size() >= 4 && quorra::host::EqualsNoCase(extension.substr(1, 3), L"asm") ? 1 : 0;
}

extern "C" BOOL IsPartFileName(const wchar_t* name) {
  if (!name) return 0;
  std::wstring_view extension = FromLastDot(name);
  for (const wchar_t* part : {L".par", L".psm", L".pwd"})
    if (quorra::host::EqualsNoCase(extension, part)) return 1;
  return 0;
}

extern "C" bool JAsmIsGhostMode() { return Registry().ghostMode; }
extern "C" void JAsmSetGhostMode(bool on) { Registry().ghostMode = on; }

extern "C" bool JRecordEmbeddedWeldDisplayed(IUnknown* weldment) {
  JIdentity identity(weldment);
  auto key = quorra::host::IdentityKey(identity);
  Registry().displayedWelds.emplace(key, std::move(identity));
  return false;  // the key is in the set from here on
}

extern "C" bool JHasEmbeddedWeldBeenDisplayed(IUnknown* weldment) {
  JIdentity identity(weldment);
  return Registry().displayedWelds.count(quorra::host::IdentityKey(identity)) != 0;
}

// The assembly module's notifications, bound late and retried until found.
extern "C" HRESULT JBlockIDSUpdate(void* p, DWORD value) {
  static quorra::host::LateBoundFunction<HRESULT(void*, DWORD)> entry(L"brenik.dex", "JAsmBlockIDSUpdate");
  auto fn = entry.Get();
  return fn ? fn(p, value) : E_FAIL;
}

extern "C" HRESULT JGetCheckSum(void* p, void* q, void* r) {
  static quorra::host::LateBoundFunction<HRESULT(void*, void*, void*)> entry(L"brenik.dex", "JAsmGetCheckSum");
  auto fn = entry.Get();
  return fn ? fn(p, q, r) : E_FAIL;
}

extern "C" HRESULT JNotifyIDS(void* p, void* q, DWORD value, void* r) {
  static quorra::host::LateBoundFunction<HRESULT(void*, void*, DWORD, void*)> entry(L"brenik.dex", "JAsmNotifyIDS");
  auto fn = entry.Get();
  return fn ? fn(p, q, value, r) : E_FAIL;
}
