// Assembly and part overrides: the child table, adding children with type
// replacement, re-keying, deleting nodes and the depth-first walk.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>

#include "quorra/host/trace.h"
#include "quorra/iot_walkers.h"
#include "quorra/member_roadmap.h"
#include "quorra/override_tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/iot";

// Walk codes: 3 skip the children, 4 stop (the walk answers 1), 5 stop
// (the walk answers 5).
constexpr HRESULT kWalkStop = 4;
constexpr HRESULT kWalkAbort = 5;

std::atomic<DWORD> gAsmOverrideCount{0};
std::atomic<DWORD> gPartOverrideCount{0};

bool KeyLess(const quorra::OverrideChildTable::Entry& a, const quorra::OverrideChildTable::Entry& b) {
  return a.first < b.first;
}

}  // namespace

// ---- the child table ----

namespace quorra {

void OverrideChildTable::Insert(DWORD id, JIDSOverride* node) {
  if (pending_.empty() && (sorted_.empty() || sorted_.back().first <= id)) {
    sorted_.emplace_back(id, node);
  } else {
    pending_.emplace_back(id, node);
    // Merging costs the table's size, so it waits until the pending list is
    // about the square root of it.
    const size_t limit = std::max<size_t>(16, static_cast<size_t>(std::sqrt(static_cast<double>(sorted_.size()))));
    if (pending_.size() > limit) Normalize();
  }
  ++count_;
}

void OverrideChildTable::Normalize() const {
  if (holes_) {
    sorted_.erase(std::remove_if(sorted_.begin(), sorted_.end(), [](const Entry& e) { return e.second == nullptr; }),
                  sorted_.end());
    holes_ = 0;
  }
  if (!pending_.empty()) {
    std::stable_sort(pending_.begin(), pending_.end(), KeyLess);
    const size_t middle = sorted_.size();
    sorted_.insert(sorted_.end(), pending_.begin(), pending_.end());
    std::inplace_merge(sorted_.begin(), sorted_.begin() + static_cast<std::ptrdiff_t>(middle), sorted_.end(), KeyLess);
    pending_.clear();
  }
}

std::vector<OverrideChildTable::Entry>::const_iterator OverrideChildTable::LowerBound(DWORD id) const {
  return std::lower_bound(sorted_.cbegin(), sorted_.cend(), Entry(id, nullptr), KeyLess);
}

JIDSOverride* OverrideChildTable::Find(DWORD id) const {
  return FindIf(id, [](JIDSOverride*) { return true; });
}

bool OverrideChildTable::Erase(DWORD id, JIDSOverride* node) {
  auto it = std::lower_bound(sorted_.begin(), sorted_.end(), Entry(id, nullptr), KeyLess);
  for (; it != sorted_.end() && it->first == id; ++it) {
    if (it->second && (!node || it->second == node)) {
      if (it + 1 == sorted_.end()) {
        sorted_.pop_back();
      } else {
        it->second = nullptr;
        ++holes_;
      }
      --count_;
      if (holes_ > 16 && holes_ * 2 > sorted_.size()) Normalize();
      return true;
    }
  }
  for (auto p = pending_.begin(); p != pending_.end(); ++p) {
    if (p->first == id && (!node || p->second == node)) {
      pending_.erase(p);
      --count_;
      return true;
    }
  }
  return false;
}

const std::vector<OverrideChildTable::Entry>& OverrideChildTable::Ordered() const {
  if (holes_ || !pending_.empty()) Normalize();
  return sorted_;
}

void OverrideChildTable::Clear() {
  sorted_.clear();
  pending_.clear();
  holes_ = 0;
  count_ = 0;
}

std::vector<OverrideChildTable::Entry> OverrideChildTable::TakeAll() {
  Normalize();
  std::vector<Entry> all;
  all.swap(sorted_);
  Clear();
  return all;
}

void OverrideChildTable::DeleteAll() noexcept {
  for (const Entry& e : sorted_) delete e.second;
  for (const Entry& e : pending_) delete e.second;
  Clear();
}

}  // namespace quorra

// ---- instances ----

JAsmOverride::JAsmOverride() {
  dwProps_ = IOT_ASSEMBLY;
  gAsmOverrideCount.fetch_add(1, std::memory_order_relaxed);
}

JAsmOverride::~JAsmOverride() {
  // Children still held (a node destroyed directly rather than through the
  // table's walks) go with it, without style-manager notification.
  children_.DeleteAll();
  gAsmOverrideCount.fetch_sub(1, std::memory_order_relaxed);
}

DWORD JAsmOverride::GetInstanceCount() { return gAsmOverrideCount.load(std::memory_order_relaxed); }

JPartOverride::JPartOverride() {
  dwProps_ = IOT_PART;
  gPartOverrideCount.fetch_add(1, std::memory_order_relaxed);
}

JPartOverride::~JPartOverride() { gPartOverrideCount.fetch_sub(1, std::memory_order_relaxed); }

DWORD JPartOverride::GetInstanceCount() { return gPartOverrideCount.load(std::memory_order_relaxed); }

// ---- children ----

JIDSOverride* JAsmOverride::GetChild(DWORD id) const { return children_.Find(id); }

JIDSOverride* JAsmOverride::GetChild(const JMemberRoute& route) const {
  // Route-identified nodes have id 0 and are told apart by their routes.
  return children_.FindIf(0, [&](JIDSOverride* child) {
    const JMemberRoute* own = child->GetRoute();
    return own && *own == route;
  });
}

JIDSOverride* JAsmOverride::GetChildByIndex(DWORD index) const {
  const auto& ordered = children_.Ordered();
  return index < ordered.size() ? ordered[index].second : nullptr;
}

HRESULT JAsmOverride::GetChildren(std::vector<JIDSOverride*>& out) const {
  out.clear();
  try {
    const auto& ordered = children_.Ordered();
    out.reserve(ordered.size());
    for (const auto& e : ordered) out.push_back(e.second);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT JAsmOverride::AddChild(JIDSOverride* node) {
  if (!node) return E_INVALIDARG;
  const DWORD id = node->GetAttachmentID();
  if (id != 0 && children_.Find(id)) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "JAsmOverride::AddChild");
  try {
    children_.Insert(id, node);
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JAsmOverride::AddChild");
  }
  return S_OK;
}

JIDSOverride* JAsmOverride::AddChild(DWORD id, DWORD type) { return AddChildHelper(GetChild(id), type, id); }

JIDSOverride* JAsmOverride::AddChild(const JMemberRoute& route, DWORD type) {
  JIDSOverride* child = AddChildHelper(GetChild(route), type, 0);
  if (child && FAILED(child->SetRoute(&route))) return nullptr;
  return child;
}

JIDSOverride* JAsmOverride::AddChildHelper(JIDSOverride* existing, DWORD type, DWORD id) {
  JIDSOverride* created = nullptr;
  if (existing && type == IOT_ASSEMBLY) {
    if (existing->IsAssembly()) return existing;
    children_.Erase(existing->GetAttachmentID(), existing);
    existing->SetParent(this);  // still reaches the style manager through the tree
    existing->SetStyle(0, 1);
    existing->SetParent(nullptr);
    delete existing;
    created = new (std::nothrow) JAsmOverride();
  } else if (existing && type == IOT_PART) {
    if (existing->IsPart()) return existing;
    children_.Erase(existing->GetAttachmentID(), existing);
    auto* assembly = static_cast<JAsmOverride*>(existing);
    // The removed subtree keeps its parent link for the walk so that its
    // parts still find the style manager; the walk destroys it, root and all.
    DeleteTreeWalker deleter;
    assembly->Walk(&deleter, 1, 0);
    created = new (std::nothrow) JPartOverride();
  } else if (existing) {
    return existing;
  } else if (type & IOT_ASSEMBLY) {
    created = new (std::nothrow) JAsmOverride();
  } else {
    created = new (std::nothrow) JPartOverride();
  }
  if (!created) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JAsmOverride::AddChild");
    return nullptr;
  }
  created->SetAttachmentID(id);
  created->SetParent(this);
  JIDSOverrideTree* tree = GetTree();
  if (tree && !tree->IsLoading()) created->CopyOccurrenceProps();
  if (FAILED(AddChild(created))) {
    delete created;
    return nullptr;
  }
  return created;
}

HRESULT JAsmOverride::RemoveChild(JIDSOverride* node) {
  if (!node) return E_INVALIDARG;
  // The first entry under the node's id is erased, as the multimap would.
  return children_.Erase(node->GetAttachmentID(), nullptr) ? S_OK : E_FAIL;
}

HRESULT JAsmOverride::UpdateChildAttachmentID(JIDSOverride* node, DWORD id) {
  if (!node || id == 0) return E_INVALIDARG;
  if (!children_.Erase(node->GetAttachmentID(), node)) return E_FAIL;
  node->SetAttachmentID(id);
  if (FAILED(AddChild(node))) return E_FAIL;
  return S_OK;
}

HRESULT JAsmOverride::ChangeChildIDs(const std::vector<std::pair<DWORD, DWORD>>& pairs) {
  if (pairs.empty()) return S_FALSE;
  try {
    std::vector<quorra::OverrideChildTable::Entry> moved;
    for (const auto& [oldId, newId] : pairs) {
      while (JIDSOverride* child = children_.Find(oldId)) {
        children_.Erase(oldId, child);
        child->ChangeAttachmentID(newId);
        moved.emplace_back(newId, child);
      }
    }
    // As a side map ordered by new id, then inserted.
    std::stable_sort(moved.begin(), moved.end(), KeyLess);
    for (const auto& e : moved) children_.Insert(e.first, e.second);
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JAsmOverride::ChangeChildIDs");
  }
  return S_OK;
}

// ---- deleting ----

HRESULT JIDSOverride::Delete(JIDSOverride* node) {
  if (!node) return E_INVALIDARG;
  JAsmOverride* parent = node->GetParent();
  // A table's root goes only with its table.
  if (!parent && node->GetUserData(UD_ASMTREE_BACK_POINTER, nullptr))
    return QUORRA_TRACE_FAIL(E_UNEXPECTED, "JIDSOverride::Delete");
  if (parent) parent->children_.Erase(node->GetAttachmentID(), node);
  if (node->IsAssembly()) {
    DeleteTreeWalker deleter;
    HRESULT hr = static_cast<JAsmOverride*>(node)->Walk(&deleter, 1, 0);
    return hr < 0 ? hr : S_OK;
  }
  node->SetStyle(0, 1);
  delete node;
  return S_OK;
}

// ---- walking ----

HRESULT JIOTWalker::BeginAssembly(JAsmOverride*, JIOTWalkContext*) { return 0; }
HRESULT JIOTWalker::VisitPart(JIDSOverride*, JIOTWalkContext*) { return 0; }
HRESULT JIOTWalker::VisitAssemblyChild(JAsmOverride*, JIOTWalkContext*) { return 0; }
HRESULT JIOTWalker::EndAssembly(JAsmOverride*, JIOTWalkContext*) { return 0; }

HRESULT JAsmOverride::Walk(JIOTWalker* walker, uintptr_t context, BOOL visitRoot) {
  if (!walker) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JAsmOverride::Walk");
  JIOTWalkContext walk{context, 0, 0, 0};
  if (visitRoot) {
    HRESULT code = walker->VisitAssemblyChild(this, &walk);
    if (code < 0) return QUORRA_TRACE_FAIL(code, "JAsmOverride::Walk");
    if (code == kWalkStop || code == kWalkAbort) return 5;
    if (code == 3) return 3;
  }
  HRESULT hr = InternalWalk(walker, &walk);
  if (hr < 0) return QUORRA_TRACE_FAIL(hr, "JAsmOverride::Walk");
  return hr;
}

HRESULT JAsmOverride::InternalWalk(JIOTWalker* walker, JIOTWalkContext* context) {
  HRESULT code = walker->BeginAssembly(this, context);
  if (code < 0) return QUORRA_TRACE_FAIL(code, "JAsmOverride::InternalWalk");
  HRESULT stop = (code == kWalkStop) ? 1 : (code == kWalkAbort ? 5 : 0);
  ++context->depth;
  if (!stop) {
    // Walkers may destroy the children they visit, so the walk runs over a
    // snapshot of this level; the table is emptied when a walker destroyed
    // what it held.
    std::vector<quorra::OverrideChildTable::Entry> level;
    try {
      level = children_.Ordered();
    } catch (const std::bad_alloc&) {
      --context->depth;
      return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JAsmOverride::InternalWalk");
    }
    const DWORD count = static_cast<DWORD>(level.size());
    for (DWORD i = 0; i < count && !stop; ++i) {
      JIDSOverride* child = level[i].second;
      context->childCount = count;
      context->childIndex = i;
      if (child->IsAssembly()) {
        auto* assembly = static_cast<JAsmOverride*>(child);
        code = walker->VisitAssemblyChild(assembly, context);
        if (code < 0) {
          --context->depth;
          return QUORRA_TRACE_FAIL(code, "JAsmOverride::InternalWalk");
        }
        if (code == kWalkStop) stop = 1;
        if (code == kWalkAbort) stop = 5;
        if (!stop && code != 3) {
          HRESULT inner = assembly->InternalWalk(walker, context);
          if (inner < 0) {
            --context->depth;
            return inner;
          }
          if (inner == 5) stop = 5;
        }
      } else if (child->IsPart()) {
        code = walker->VisitPart(child, context);
        if (code < 0) {
          --context->depth;
          return QUORRA_TRACE_FAIL(code, "JAsmOverride::InternalWalk");
        }
        if (code == kWalkStop) stop = 1;
        if (code == kWalkAbort) stop = 5;
      } else {
        --context->depth;
        return QUORRA_TRACE_FAIL(E_UNEXPECTED, "JAsmOverride::InternalWalk");
      }
    }
  }
  --context->depth;
  code = walker->EndAssembly(this, context);
  if (code < 0) return QUORRA_TRACE_FAIL(code, "JAsmOverride::InternalWalk");
  if (code == kWalkAbort) stop = 5;
  return stop;
}
