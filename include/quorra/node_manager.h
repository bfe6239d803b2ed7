// NodeManager<T,K>: owns the nodes of one kind (sites or attachments) of a
// tree, in insertion order, hands out ids from 1 that are never reused, and
// offers an iterator guarded by its own critical section.
#pragma once

#include <algorithm>
#include <vector>

#include "quorra/host/kernel.h"
#include "quorra/host/types.h"

class AsmTree;

template <class T, class K>
class NodeManager {
 public:
  explicit NodeManager(AsmTree* tree) : tree_(tree) { InitializeCriticalSection(&iteratorLock_); }
  NodeManager(const NodeManager&) = delete;
  NodeManager& operator=(const NodeManager&) = delete;
  // Derived managers run Clear in their own destructors, where T is complete.
  ~NodeManager() { DeleteCriticalSection(&iteratorLock_); }

  AsmTree* GetAsmTree() const { return tree_; }
  DWORD GetCount() const { return static_cast<DWORD>(nodes_.size()); }
  T* const* GetNodes() const { return nodes_.data(); }
  const std::vector<T*>& Nodes() const { return nodes_; }

  HRESULT AddNodes(DWORD count, T* const* nodes) {
    try {
      nodes_.insert(nodes_.end(), nodes, nodes + count);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  // Removes every entry equal to node, keeping the order of the rest. The
  // node is not destroyed. S_FALSE when it was not there.
  HRESULT RemoveNode(T* node) {
    auto end = std::remove(nodes_.begin(), nodes_.end(), node);
    if (end == nodes_.end()) return S_FALSE;
    nodes_.erase(end, nodes_.end());
    return S_OK;
  }
  K AllocID() { return ++lastId_; }
  K GetLastID() const { return lastId_; }
  void ReserveNodes(size_t count) { nodes_.reserve(count); }

  void RewindIterator() {
    quorra::host::CriticalSectionLock lock(&iteratorLock_);
    position_ = 0;
  }
  T* GetNextNode() {
    quorra::host::CriticalSectionLock lock(&iteratorLock_);
    if (position_ >= nodes_.size()) return nullptr;
    return nodes_[position_++];
  }

  // Destroys every node: over a copy, since destroying a node removes it
  // from the (by then empty) array.
  void Clear() {
    std::vector<T*> nodes;
    nodes.swap(nodes_);
    for (T* node : nodes)
      if (node) delete node;
  }

 private:
  std::vector<T*> nodes_;
  AsmTree* tree_;
  K lastId_ = 0;
  DWORD position_ = 0;
  CRITICAL_SECTION iteratorLock_;
};
