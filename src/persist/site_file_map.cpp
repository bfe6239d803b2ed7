// SiteFileToUniversalIdentifierMap: site file paths <-> 64-bit identifiers,
// with a base-name index so that a file found in another directory keeps its
// id, and the "Sites" stream that stores the table.
#include <new>

#include "quorra/host/trace.h"
#include "quorra/ids_stream.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/tree";

constexpr DWORD kSitesStreamVersion = 1;
constexpr DWORD kCreateMode = STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE;  // 0x1012
constexpr DWORD kOpenMode = STGM_READ | STGM_SHARE_EXCLUSIVE;                       // 0x10

GUserText BaseNameOf(const wchar_t* path) { return GUserFileName(path).BaseName(1); }
}  // namespace

// ---- Copy and move ----------------------------------------------------------

SiteFileToUniversalIdentifierMap::SiteFileToUniversalIdentifierMap(const SiteFileToUniversalIdentifierMap& other)
    : nextId_(other.nextId_),
      count_(other.count_),
      pathMap_(other.pathMap_),
      baseNameMap_(other.baseNameMap_),
      aliased_(other.aliased_) {
  RelinkIdMap(other);
}

// Moving a std::map moves its nodes, so the id map's pointers stay valid.
SiteFileToUniversalIdentifierMap::SiteFileToUniversalIdentifierMap(SiteFileToUniversalIdentifierMap&& other) noexcept
    : nextId_(other.nextId_),
      count_(other.count_),
      pathMap_(std::move(other.pathMap_)),
      idMap_(std::move(other.idMap_)),
      baseNameMap_(std::move(other.baseNameMap_)),
      aliased_(other.aliased_) {
  other.Clear();
}

SiteFileToUniversalIdentifierMap& SiteFileToUniversalIdentifierMap::operator=(
    const SiteFileToUniversalIdentifierMap& other) {
  if (this == &other) return *this;
  nextId_ = other.nextId_;
  count_ = other.count_;
  pathMap_ = other.pathMap_;
  baseNameMap_ = other.baseNameMap_;
  aliased_ = other.aliased_;
  RelinkIdMap(other);
  return *this;
}

SiteFileToUniversalIdentifierMap& SiteFileToUniversalIdentifierMap::operator=(
    SiteFileToUniversalIdentifierMap&& other) noexcept {
  if (this == &other) return *this;
  nextId_ = other.nextId_;
  count_ = other.count_;
  pathMap_ = std::move(other.pathMap_);
  idMap_ = std::move(other.idMap_);
  baseNameMap_ = std::move(other.baseNameMap_);
  aliased_ = other.aliased_;
  other.Clear();
  return *this;
}

void SiteFileToUniversalIdentifierMap::RelinkIdMap(const SiteFileToUniversalIdentifierMap& other) {
  idMap_.clear();
  for (const auto& [id, path] : other.idMap_) {
    auto key = pathMap_.find(*path);
    if (key != pathMap_.end()) idMap_.emplace_hint(idMap_.end(), id, &key->first);
  }
}

// ---- Adding, finding, removing ------------------------------------------------

HRESULT SiteFileToUniversalIdentifierMap::AddFile(const wchar_t* path) {
  const uint64_t id = nextId_++;
  HRESULT hr = AddFileWithID(id, path);
  return FAILED(hr) ? hr : S_OK;
}

HRESULT SiteFileToUniversalIdentifierMap::AddFileWithID(uint64_t id, const wchar_t* path) {
  if (id == 0 || !path) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteFileToUniversalIdentifierMap::AddFileWithID");
  try {
    // An existing key keeps its entry; the id map then points at the text
    // already held as the key.
    auto [key, newPath] = pathMap_.emplace(GUserText(path), id);
    const bool newId = idMap_.emplace(id, &key->first).second;
    if (!newPath || !newId) aliased_ = true;
    baseNameMap_.emplace(BaseNameOf(path), id);
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "SiteFileToUniversalIdentifierMap::AddFileWithID");
  }
  ++count_;
  return S_OK;
}

DWORD SiteFileToUniversalIdentifierMap::Find(const wchar_t* path) const {
  if (!path) return 0;
  GUserText lower(path);
  lower.ToLower(-1);
  auto hit = pathMap_.find(lower);
  if (hit != pathMap_.end()) return static_cast<DWORD>(hit->second);
  auto base = baseNameMap_.find(BaseNameOf(path));
  return base != baseNameMap_.end() ? static_cast<DWORD>(base->second) : 0;
}

const wchar_t* SiteFileToUniversalIdentifierMap::Find(uint64_t id) const {
  auto hit = idMap_.find(id);
  return hit != idMap_.end() ? hit->second->GetText() : nullptr;
}

void SiteFileToUniversalIdentifierMap::RemoveSiteHelper(uint64_t id) {
  auto hit = idMap_.find(id);
  if (hit == idMap_.end()) return;
  const GUserText path = *hit->second;
  idMap_.erase(hit);
  auto key = pathMap_.find(path);
  if (key != pathMap_.end()) {
    // Another id may have been given the same path (a table read from a
    // stream can hold that); it must not keep pointing at the erased key.
    if (aliased_) {
      for (auto it = idMap_.begin(); it != idMap_.end();)
        it = (it->second == &key->first) ? idMap_.erase(it) : std::next(it);
    }
    pathMap_.erase(key);
  }
  baseNameMap_.erase(BaseNameOf(path.GetText()));
  --count_;
}

HRESULT SiteFileToUniversalIdentifierMap::ReplaceFileInMap(uint64_t id, const wchar_t* path) {
  if (!path) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteFileToUniversalIdentifierMap::ReplaceFileInMap");
  RemoveSiteHelper(id);
  return AddFileWithID(id, path);
}

void SiteFileToUniversalIdentifierMap::Clear() {
  idMap_.clear();
  pathMap_.clear();
  baseNameMap_.clear();
  count_ = 0;
  nextId_ = 1;
  aliased_ = false;
}

// ---- From a tree ----------------------------------------------------------------

HRESULT SiteFileToUniversalIdentifierMap::Build(AsmTree* tree) {
  Clear();
  if (!tree) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteFileToUniversalIdentifierMap::Build");
  BuildHelper(tree->GetAssemblySiteManager());
  BuildHelper(tree->GetPartSiteManager());
  return S_OK;
}

DWORD SiteFileToUniversalIdentifierMap::BuildHelper(SiteManager* manager) {
  if (!manager) return 0;
  for (SiteNode* site : manager->Nodes()) AddFile(site->GetFilePathLowerCase(true).GetText());
  return manager->GetCount();
}

HRESULT SiteFileToUniversalIdentifierMap::Update(AsmTree* tree, const std::set<DisplayRoadmap>& roadmaps,
                                                 const std::vector<uint64_t>& removed) {
  AssemblyOccurrence* root = tree ? tree->GetRootAssembly() : nullptr;
  for (const DisplayRoadmap& roadmap : roadmaps) {
    OccurrenceNode* occurrence = root ? root->Bind(roadmap.GetEntryCount(), roadmap.GetData()) : nullptr;
    SiteNode* site = occurrence ? occurrence->GetSite() : nullptr;
    if (!site) continue;
    const GUserText path = site->GetFilePathLowerCase(true);
    if (pathMap_.count(path)) continue;
    auto base = baseNameMap_.find(BaseNameOf(path.GetText()));
    if (base != baseNameMap_.end())
      ReplaceFileInMap(base->second, path.GetText());
    else
      AddFile(path.GetText());
  }
  for (uint64_t id : removed) RemoveSiteHelper(id);
  return S_OK;
}

// ---- The "Sites" stream -----------------------------------------------------------
//   u32 version (1), u64 next id, u32 count, then count times: u64 id,
//   GUserText path; entries in path order.

HRESULT SiteFileToUniversalIdentifierMap::Save(IStorage* storage) {
  if (!storage || idMap_.size() != pathMap_.size())
    return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteFileToUniversalIdentifierMap::Save");
  IStream* created = nullptr;
  storage->CreateStream(quorra::kSitesStreamName, kCreateMode, 0, 0, &created);
  if (!created) return S_OK;
  auto stream = quorra::host::ComPtr<IStream>::Adopt(created);

  // Transfer failures are not reported: the table is a cache of what the
  // tree can rebuild. The first one ends the writing.
  JIOStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
  DWORD version = kSitesStreamVersion;
  DWORD count = static_cast<DWORD>(count_);
  bool ok = SUCCEEDED(context.DoIO(&version, sizeof version)) && SUCCEEDED(context.DoIO(&nextId_, sizeof nextId_)) &&
            SUCCEEDED(context.DoIO(&count, sizeof count));
  for (auto it = pathMap_.begin(); ok && it != pathMap_.end(); ++it) {
    uint64_t id = it->second;
    ok = SUCCEEDED(context.DoIO(&id, sizeof id)) && SUCCEEDED(it->first.Serialize(context));
  }
  stream->Commit(0);
  return S_OK;
}

HRESULT SiteFileToUniversalIdentifierMap::Load(IStorage* storage) {
  Clear();
  if (!storage) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteFileToUniversalIdentifierMap::Load");
  IStream* opened = nullptr;
  storage->OpenStream(quorra::kSitesStreamName, nullptr, kOpenMode, 0, &opened);
  if (!opened) return S_OK;
  auto stream = quorra::host::ComPtr<IStream>::Adopt(opened);

  JIOStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
  DWORD version = 0;
  if (FAILED(context.DoIO(&version, sizeof version))) return S_OK;
  if (version != kSitesStreamVersion) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "SiteFileToUniversalIdentifierMap::Load");
  if (FAILED(context.DoIO(&nextId_, sizeof nextId_))) return S_OK;
  DWORD count = 0;
  if (FAILED(context.DoIO(&count, sizeof count))) return S_OK;
  // Each entry is read before it is added, so a count larger than the
  // stream ends at the stream's end.
  GUserText path;
  for (DWORD i = 0; i < count; ++i) {
    uint64_t id = 0;
    if (FAILED(context.DoIO(&id, sizeof id)) || FAILED(path.Serialize(context))) break;
    AddFileWithID(id, path.GetText());
  }
  return S_OK;
}
