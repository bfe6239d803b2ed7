// The two path indexes of a site manager and the choice between them.
//
// Index B is the manager's own ordered map from the lower-case path
// (GUserText::ToLower) to the site. Index A lives outside the manager in a
// process-wide registry keyed by the manager's address: an ordered map from
// the path lowered one UTF-16 unit at a time to the site, ordered by plain
// code-unit comparison, plus a memo from every path seen to its lowered form
// so that a path is lowered only once. "DEBUG_SITE_MAPPING" (read once per
// process, default 1) chooses: bit 0 index A, bit 1 index B, 0 as 2.
#include <atomic>
#include <string>
#include <unordered_map>

#include "quorra/host/switches.h"
#include "quorra/host/trace.h"
#include "quorra/site.h"
#include "core/testing_hooks.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/site";

// Lets the memo be searched with a view of the caller's text, unchanged.
struct PathHash {
  using is_transparent = void;
  size_t operator()(std::wstring_view path) const noexcept { return std::hash<std::wstring_view>()(path); }
};

struct IndexA {
  std::map<std::u16string, SiteNode*> sites;
  std::unordered_map<std::wstring, std::u16string, PathHash, std::equal_to<>> lowered;  // the memo

  const std::u16string& Lowered(std::wstring_view path) {
    auto it = lowered.find(path);
    if (it != lowered.end()) return it->second;
    std::u16string units = quorra::host::ToUtf16(path);
    // Each unit by itself, as the host's towlower does; surrogates stay.
    for (char16_t& unit : units) {
      if (unit < 0xD800 || unit > 0xDFFF) unit = static_cast<char16_t>(quorra::host::LowerChar(unit));
    }
    return lowered.emplace(std::wstring(path), std::move(units)).first->second;
  }
};

// Allocated once and never destroyed, so managers destroyed from static
// destructors still find it.
std::map<const SiteManager*, IndexA>& Registry() {
  static auto* registry = new std::map<const SiteManager*, IndexA>();
  return *registry;
}

IndexA* FindIndexA(const SiteManager* manager) {
  auto& registry = Registry();
  auto it = registry.find(manager);
  return it == registry.end() ? nullptr : &it->second;
}

std::atomic<DWORD> gModeOverride{0};
std::atomic<bool> gModeOverridden{false};

}  // namespace

namespace quorra {

DWORD SiteMappingMode() {
  static const DWORD configured = JGetDebugDWORD(L"DEBUG_SITE_MAPPING", 1);
  return gModeOverridden.load(std::memory_order_acquire) ? gModeOverride.load(std::memory_order_relaxed)
                                                         : configured;
}

DWORD SetSiteMappingMode(DWORD mode) {
  DWORD previous = SiteMappingMode();
  gModeOverride.store(mode, std::memory_order_relaxed);
  gModeOverridden.store(true, std::memory_order_release);
  return previous;
}

size_t SiteIndexRegistrySize() { return Registry().size(); }

size_t SiteIndexASize(const SiteManager* manager) {
  IndexA* index = FindIndexA(manager);
  return index ? index->sites.size() : 0;
}

}  // namespace quorra

SiteManager::SiteManager(AsmTree* tree) : NodeManager(tree), mode_(quorra::SiteMappingMode()) {}

SiteManager::~SiteManager() {
  Clear();
  Registry().erase(this);
}

HRESULT SiteManager::AddNodes(DWORD count, SiteNode* const* nodes) {
  if (count && !nodes) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteManager::AddNodes");
  HRESULT hr = NodeManager::AddNodes(count, nodes);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "SiteManager::AddNodes");
  for (DWORD i = 0; i < count; ++i) {
    hr = AddToMap(nodes[i]);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "SiteManager::AddNodes");
  }
  return S_OK;
}

HRESULT SiteManager::AddToMap(SiteNode* site) {
  if (!site) return E_INVALIDARG;
  const GUserText& path = site->GetFilePath(true);
  if (path.IsEmpty()) return S_FALSE;
  try {
    if (UsesIndexA()) {
      IndexA& index = Registry()[this];
      index.sites[index.Lowered(path.View())] = site;
    }
    if (UsesIndexB()) indexB_[site->filePathLower_] = site;
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "SiteManager::AddToMap");
  }
  return S_OK;
}

HRESULT SiteManager::RemoveFromMap(SiteNode* site) {
  if (!site) return E_FAIL;
  const GUserText& path = site->GetFilePath(true);
  if (path.IsEmpty()) return E_FAIL;
  // An entry is removed only when it names this site: a newer site of the
  // same path keeps its entry.
  bool removed = false;
  if (UsesIndexA()) {
    if (IndexA* index = FindIndexA(this)) {
      auto it = index->sites.find(index->Lowered(path.View()));
      removed = it != index->sites.end() && it->second == site;
      if (removed) index->sites.erase(it);
    }
  }
  if (UsesIndexB()) {
    auto it = indexB_.find(site->filePathLower_);
    removed = it != indexB_.end() && it->second == site;
    if (removed) indexB_.erase(it);
  }
  return removed ? S_OK : E_FAIL;
}

HRESULT SiteManager::RemoveNode(SiteNode* site) {
  RemoveFromMap(site);
  return NodeManager::RemoveNode(site);
}

HRESULT SiteManager::FindSite(const wchar_t* path, SiteNode** site) const {
  if (!site) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteManager::FindSite");
  *site = nullptr;
  if (!path) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SiteManager::FindSite");

  HRESULT hr = S_FALSE;
  SiteNode* found = nullptr;
  if (UsesIndexA() && !Registry().empty()) {
    if (IndexA* index = FindIndexA(this)) {
      auto it = index->sites.find(index->Lowered(path));
      if (it != index->sites.end()) {
        found = it->second;
        hr = S_OK;
      }
    }
  }
  if (!indexB_.empty() && UsesIndexB()) {
    GUserText key(path);
    key.ToLower();
    auto it = indexB_.find(key);
    if (it != indexB_.end()) {
      *site = it->second;
      return S_OK;
    }
    *site = found;
    return S_FALSE;
  }
  *site = found;
  return hr;
}

HRESULT SiteManager::DeleteUnusedSites(const SiteNode* keep) {
  // Over a copy: destroying a site removes it from the array.
  std::vector<SiteNode*> sites = Nodes();
  for (SiteNode* site : sites) {
    if (site != keep && site->IsUnused()) delete site;
  }
  return S_OK;
}
