// The two path indexes of a site manager and the choice between them.
//
// Index B is the manager's own ordered map from the lower-case path
// (GUserText::ToLower) to the site. Index A lives outside the manager in a
// process-wide registry keyed by the manager's address: a map from the path
// lowered one UTF-16 unit at a time to the site. Nothing walks index A in
// order, so it is a hash map: a lookup lowers the path once, on the stack,
// and hashes it once. "DEBUG_SITE_MAPPING" (read once per process,
// default 1) chooses: bit 0 index A, bit 1 index B, 0 as 2.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quorra/attachment.h"
#include "quorra/host/switches.h"
#include "quorra/host/trace.h"
#include "quorra/site.h"
#include "quorra/tree.h"
#include "core/testing_hooks.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/site";

// Lets index A be searched with a view of a lowered path. Eight bytes per
// step, each mixed by a multiply and a shift: paths differ mostly near
// their ends, and every byte reaches the result.
struct LoweredPathHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view path) const noexcept {
    const char* bytes = reinterpret_cast<const char*>(path.data());
    size_t left = path.size() * sizeof(char16_t);
    uint64_t hash = 0x9E3779B97F4A7C15ull ^ left;
    for (; left >= 8; left -= 8, bytes += 8) {
      uint64_t word;
      std::memcpy(&word, bytes, 8);
      hash = (hash ^ word) * 0xFF51AFD7ED558CCDull;
      hash ^= hash >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, bytes, left);
    hash = (hash ^ tail) * 0xC4CEB9FE1A85EC53ull;
    return static_cast<size_t>(hash ^ (hash >> 32));
  }
};

// Equality of lowered paths as bytes: one memcmp instead of a loop over
// UTF-16 units.
struct LoweredPathEqual {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const noexcept {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
  }
};

// The path as UTF-16 with each unit lowered by itself, as the host's
// towlower does: surrogates stay, and what is not UTF-16 becomes U+FFFD.
// Built on the stack for paths of ordinary length.
class LoweredPath {
 public:
  explicit LoweredPath(std::wstring_view path) {
    char16_t* out = path.size() * 2 <= kInline ? inline_ : (heap_.resize(path.size() * 2), heap_.data());
    char16_t* p = out;
    size_t i = 0;
    // Paths are mostly ASCII: lowered here without a call, eight units at a
    // time where the processor allows.
#if defined(__SSE2__)
    static_assert(sizeof(wchar_t) == 4, "four units of a path per vector");
    const __m128i notAscii = _mm_set1_epi32(~0x7F);
    const __m128i beforeA = _mm_set1_epi32('A' - 1);
    const __m128i afterZ = _mm_set1_epi32('Z' + 1);
    const __m128i toLower = _mm_set1_epi32(32);
    for (; i + 8 <= path.size(); i += 8, p += 8) {
      __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(path.data() + i));
      __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(path.data() + i + 4));
      const __m128i outside = _mm_and_si128(_mm_or_si128(low, high), notAscii);
      if (_mm_movemask_epi8(_mm_cmpeq_epi32(outside, _mm_setzero_si128())) != 0xFFFF) break;
      low = _mm_add_epi32(low, _mm_and_si128(_mm_and_si128(_mm_cmpgt_epi32(low, beforeA), _mm_cmplt_epi32(low, afterZ)),
                                             toLower));
      high = _mm_add_epi32(high, _mm_and_si128(_mm_and_si128(_mm_cmpgt_epi32(high, beforeA),
                                                             _mm_cmplt_epi32(high, afterZ)),
                                               toLower));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packs_epi32(low, high));
    }
#endif
    for (; i < path.size() && static_cast<uint32_t>(path[i]) < 0x80; ++i) {
      const uint32_t u = static_cast<uint32_t>(path[i]);
      *p++ = static_cast<char16_t>(u - 'A' < 26 ? u + 32 : u);
    }
    for (; i < path.size(); ++i) {
      const wchar_t c = path[i];
      const uint32_t u = static_cast<uint32_t>(c);
      if (u < 0x80) {
        *p++ = static_cast<char16_t>(u >= 'A' && u <= 'Z' ? u + 32 : u);
      } else if (u < 0x10000) {
        *p++ = u >= 0xD800 && u <= 0xDFFF ? char16_t(0xFFFD) : static_cast<char16_t>(quorra::host::LowerChar(c));
      } else if (u <= 0x10FFFF) {
        *p++ = static_cast<char16_t>(0xD800 + ((u - 0x10000) >> 10));
        *p++ = static_cast<char16_t>(0xDC00 + ((u - 0x10000) & 0x3FF));
      } else {
        *p++ = char16_t(0xFFFD);
      }
    }
    view_ = std::u16string_view(out, static_cast<size_t>(p - out));
  }
  LoweredPath(const LoweredPath&) = delete;
  LoweredPath& operator=(const LoweredPath&) = delete;
  std::u16string_view View() const { return view_; }

 private:
  static constexpr size_t kInline = 520;
  char16_t inline_[kInline];
  std::u16string heap_;
  std::u16string_view view_;
};

// Index A: an open-addressing table (linear probing, one block) of the
// lowered path's hash and the site. The key itself is not stored: an entry
// always names a site whose current path lowers to it (a site leaves the
// index before its path changes and when it is destroyed), so a hash match
// is confirmed by lowering that site's path. Most look-ups of a new path
// compare hashes only.
class IndexA {
 public:
  size_t Size() const { return size_; }

  // The entry of the path (`lowered` is its lowered form), or null.
  SiteNode** Find(std::wstring_view path, std::u16string_view lowered, uint64_t hash) {
    if (size_ == 0) return nullptr;
    const size_t at = Locate(path, lowered, hash);
    return at == kNone ? nullptr : &table_[at].site;
  }
  // Enters the path for `site`; a path entered before now names it.
  void Assign(std::wstring_view path, std::u16string_view lowered, uint64_t hash, SiteNode* site) {
    if (size_) {
      const size_t at = Locate(path, lowered, hash);
      if (at != kNone) {
        table_[at].site = site;
        return;
      }
    }
    Reserve(size_ + 1);
    size_t i = Home(hash);
    while (table_[i].site) i = (i + 1) & Mask();
    table_[i] = Entry{hash, site};
    ++size_;
  }
  // Removes the path's entry when it names `site`; true when it did. A site
  // has at most one entry, under its own path's key, so the entry is found
  // by hash and site without comparing paths.
  bool Remove(uint64_t hash, const SiteNode* site) {
    if (size_ == 0) return false;
    size_t i = Home(hash);
    while (table_[i].site && (table_[i].hash != hash || table_[i].site != site)) i = (i + 1) & Mask();
    if (!table_[i].site) return false;
    quorra::EraseWithBackShift(
        table_, i, Mask(), [](const Entry& entry) { return entry.site != nullptr; },
        [this](const Entry& entry) { return Home(entry.hash); });
    --size_;
    return true;
  }

 private:
  struct Entry {
    uint64_t hash = 0;
    SiteNode* site = nullptr;  // null: a free slot
  };
  static constexpr size_t kNone = ~size_t{0};

  size_t Mask() const { return table_.size() - 1; }
  size_t Home(uint64_t hash) const { return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift_); }

  size_t Locate(std::wstring_view path, std::u16string_view lowered, uint64_t hash) const;

  // Room for `count` entries at most half full. May throw std::bad_alloc.
  void Reserve(size_t count) {
    unsigned shift = 0;
    const size_t capacity = quorra::OpenTableSize(count, &shift);
    if (capacity <= table_.size()) return;
    std::vector<Entry> old(capacity);
    old.swap(table_);
    shift_ = shift;
    for (const Entry& entry : old) {
      if (!entry.site) continue;
      size_t i = Home(entry.hash);
      while (table_[i].site) i = (i + 1) & Mask();
      table_[i] = entry;
    }
  }

  std::vector<Entry> table_;
  size_t size_ = 0;
  unsigned shift_ = 64;
};

size_t IndexA::Locate(std::wstring_view path, std::u16string_view lowered, uint64_t hash) const {
  for (size_t i = Home(hash); table_[i].site; i = (i + 1) & Mask()) {
    if (table_[i].hash != hash) continue;
    // A path asked for again is mostly spelled as before: equal as given,
    // it lowers equally.
    const std::wstring_view stored = table_[i].site->GetFilePath(true).View();
    if (stored == path || LoweredPathEqual()(LoweredPath(stored).View(), lowered)) return i;
  }
  return kNone;
}

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
  return index ? index->Size() : 0;
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
      const LoweredPath lowered(path.View());
      // The latest site of a path replaces the earlier.
      index.Assign(path.View(), lowered.View(), LoweredPathHash()(lowered.View()), site);
    }
    // Index A takes the latest site of a path, index B keeps the first.
    if (UsesIndexB()) {
      GUserText lower = path;
      lower.ToLower();
      indexB_.emplace(std::move(lower), site);
    }
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "SiteManager::AddToMap");
  }
  return S_OK;
}

HRESULT SiteManager::RemoveFromMap(SiteNode* site) {
  if (!site) return E_FAIL;
  const GUserText& path = site->GetFilePath(true);
  if (path.IsEmpty()) return E_FAIL;
  // An entry is removed only when it names this site: another site of the
  // same path keeps its entry. The answer is that of the index consulted
  // last.
  bool removed = false;
  if (UsesIndexA()) {
    if (IndexA* index = FindIndexA(this)) {
      const LoweredPath lowered(path.View());
      removed = index->Remove(LoweredPathHash()(lowered.View()), site);
    }
  }
  if (UsesIndexB()) {
    GUserText lower = path;
    lower.ToLower();
    auto it = indexB_.find(lower);
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
      const LoweredPath lowered(path);
      if (SiteNode** entry = index->Find(path, lowered.View(), LoweredPathHash()(lowered.View()))) {
        found = *entry;
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

HRESULT SiteManager::DeleteUnusedSites() {
  // A site is unused when nothing shows it and no attachment of the tree
  // places it. The attachment manager keeps a count of placements per site
  // up to date as attachments go (a destroyed assembly site takes the
  // attachments it lists with it), so each site is judged as it stands when
  // it is examined, with one look-up.
  std::vector<SiteNode*> sites;
  try {
    sites = Nodes();  // a copy: destroying a site removes it from the array
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "SiteManager::DeleteUnusedSites");
  }
  for (SiteNode* site : sites)
    if (site->IsUnused()) delete site;
  return S_OK;
}
