// NodeManager<T,K>: owns the nodes of one kind (sites or attachments) of a
// tree, in insertion order, hands out ids from 1 that are never reused, and
// offers an iterator guarded by its own critical section.
#pragma once

#include <algorithm>
#include <unordered_map>
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
  DWORD GetCount() const { return static_cast<DWORD>(nodes_.size() - holes_); }
  T* const* GetNodes() const { return Nodes().data(); }
  const std::vector<T*>& Nodes() const {
    Compact();
    return nodes_;
  }

  HRESULT AddNodes(DWORD count, T* const* nodes) {
    try {
      const size_t first = nodes_.size();
      nodes_.insert(nodes_.end(), nodes, nodes + count);
      if (indexed_) {
        for (size_t slot = first; slot < nodes_.size(); ++slot) {
          auto [it, inserted] = slotOf_.try_emplace(nodes_[slot], slot);
          if (!inserted) it->second = kRepeated;
        }
      }
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  // Removes every entry equal to node, keeping the order of the rest. The
  // node is not destroyed. S_FALSE when it was not there.
  HRESULT RemoveNode(T* node) { return RemoveEntries(node) ? S_OK : S_FALSE; }
  K AllocID() { return ++lastId_; }
  K GetLastID() const { return lastId_; }
  void ReserveNodes(size_t count) { nodes_.reserve(count); }

  void RewindIterator() {
    quorra::host::CriticalSectionLock lock(&iteratorLock_);
    position_ = 0;
  }
  T* GetNextNode() {
    quorra::host::CriticalSectionLock lock(&iteratorLock_);
    Compact();
    if (position_ >= nodes_.size()) return nullptr;
    return nodes_[position_++];
  }

  // Destroys every node: over a copy, since destroying a node removes it
  // from the (by then empty) array.
  void Clear() {
    std::vector<T*> nodes = Nodes();
    nodes_.clear();
    DropIndex();
    for (T* node : nodes)
      if (node) delete node;
  }

 protected:
  // Removes every entry equal to node and answers how many there were.
  //
  // Nodes leave one at a time in large numbers (a branch or a product being
  // dropped), so a removal does not close the gap at once: the entry becomes
  // a hole, found through an index of each node's slot, and the holes are
  // squeezed out, in one pass keeping the order, before anyone next looks at
  // the array (or once they make up half of it). The index is built on the
  // first removal from a large array and dropped whenever slots move.
  size_t RemoveEntries(T* node) {
    if (!indexed_ && nodes_.size() - holes_ > kLinearLimit) BuildIndex();
    if (indexed_) {
      auto it = slotOf_.find(node);
      if (it == slotOf_.end()) return 0;
      if (it->second != kRepeated) {
        nodes_[it->second] = Hole();
        slotOf_.erase(it);
        ++holes_;
        if (holes_ > nodes_.size() / 2) Compact();
        return 1;
      }
    }
    // Small arrays, and nodes listed more than once: remove them in place.
    Compact();
    auto end = std::remove(nodes_.begin(), nodes_.end(), node);
    const size_t removed = static_cast<size_t>(nodes_.end() - end);
    nodes_.erase(end, nodes_.end());
    if (removed) DropIndex();
    return removed;
  }

 private:
  static constexpr size_t kLinearLimit = 64;
  static constexpr size_t kRepeated = ~size_t{0};

  // A slot no node can occupy: the address of an object of our own.
  static T* Hole() {
    static char hole;
    return reinterpret_cast<T*>(&hole);
  }

  void BuildIndex() {
    Compact();
    try {
      slotOf_.reserve(nodes_.size());
      for (size_t slot = 0; slot < nodes_.size(); ++slot) {
        auto [it, inserted] = slotOf_.try_emplace(nodes_[slot], slot);
        if (!inserted) it->second = kRepeated;
      }
      indexed_ = true;
    } catch (...) {
      DropIndex();  // without the index removals search the array
    }
  }

  void DropIndex() const {
    slotOf_.clear();
    indexed_ = false;
  }

  // Squeezes the holes out, keeping the order of the rest.
  void Compact() const {
    if (holes_ == 0) return;
    nodes_.erase(std::remove(nodes_.begin(), nodes_.end(), Hole()), nodes_.end());
    holes_ = 0;
    DropIndex();
  }

  mutable std::vector<T*> nodes_;
  AsmTree* tree_;
  K lastId_ = 0;
  DWORD position_ = 0;
  CRITICAL_SECTION iteratorLock_;
  mutable size_t holes_ = 0;  // entries of nodes_ that are Hole()
  mutable bool indexed_ = false;
  mutable std::unordered_map<T*, size_t> slotOf_;  // node -> slot, kRepeated when listed twice
};
