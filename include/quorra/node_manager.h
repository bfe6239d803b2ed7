// NodeManager<T,K>: owns the nodes of one kind (sites or attachments) of a
// tree, in insertion order, hands out ids from 1 that are never reused, and
// offers an iterator guarded by its own critical section.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorra/host/kernel.h"
#include "quorra/host/types.h"

class AsmTree;

namespace quorra {

// The size of an open-addressing table that holds `count` entries at most
// half full (a power of two, at least 16), and in `*shift` how far a 64-bit
// multiplicative hash is shifted right to index it.
inline size_t OpenTableSize(size_t count, unsigned* shift) {
  size_t capacity = 16;
  while (capacity < 2 * count) capacity *= 2;
  *shift = 64;
  for (size_t c = capacity; c > 1; c /= 2) --*shift;
  return capacity;
}

// Empties slot `i` of an open-addressing table with linear probing (a
// power-of-two size, `mask` = size - 1), moving later entries of its probe
// run back over the gap, so that no look-up needs a tombstone. `isUsed`
// tells a filled entry; `homeOf` gives the slot an entry hashes to.
template <class Entry, class IsUsed, class HomeOf>
void EraseWithBackShift(std::vector<Entry>& table, size_t i, size_t mask, IsUsed isUsed, HomeOf homeOf) {
  for (size_t j = (i + 1) & mask; isUsed(table[j]); j = (j + 1) & mask) {
    // The entry at j may fill the gap at i unless its home lies
    // cyclically in (i, j].
    const size_t home = homeOf(table[j]);
    const bool homeBetween = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (homeBetween) continue;
    table[i] = table[j];
    i = j;
  }
  table[i] = Entry{};
}

// A map from node addresses to small values as one open-addressing table
// (linear probing, one contiguous block): filling it for 10^5 nodes makes no
// allocation per node and a look-up costs one probe of memory. Null is
// never a key.
template <class T, class V>
class PointerMap {
 public:
  size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  // Room for `count` keys at most half full. May throw std::bad_alloc.
  void Reserve(size_t count) {
    unsigned shift = 0;
    const size_t capacity = OpenTableSize(count, &shift);
    if (capacity <= table_.size()) return;
    std::vector<Entry> old(capacity);
    old.swap(table_);
    shift_ = shift;
    for (const Entry& entry : old)
      if (entry.key) *Slot(entry.key) = entry;
  }
  // The value of `key`, or null.
  V* Find(const T* key) {
    if (size_ == 0) return nullptr;
    Entry* entry = Slot(key);
    return entry->key ? &entry->value : nullptr;
  }
  // The value of `key`, entered with `value` when the key is new (then
  // `inserted` is set). May throw std::bad_alloc.
  V& FindOrInsert(const T* key, V value, bool* inserted) {
    if (2 * (size_ + 1) > table_.size()) Reserve(size_ + 1);
    Entry* entry = Slot(key);
    *inserted = !entry->key;
    if (*inserted) {
      *entry = Entry{key, value};
      ++size_;
    }
    return entry->value;
  }
  // Removes the key, moving later entries of its probe run back over the
  // gap, so that no look-up needs a tombstone.
  void Erase(const T* key) {
    if (size_ == 0) return;
    size_t i = static_cast<size_t>(Slot(key) - table_.data());
    if (!table_[i].key) return;
    EraseWithBackShift(
        table_, i, Mask(), [](const Entry& entry) { return entry.key != nullptr; },
        [this](const Entry& entry) { return Home(entry.key); });
    --size_;
  }
  void Clear() {
    std::vector<Entry>().swap(table_);
    size_ = 0;
  }

 private:
  struct Entry {
    const T* key = nullptr;
    V value{};
  };
  size_t Mask() const { return table_.size() - 1; }
  size_t Home(const T* key) const {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  // The entry of `key`, or the free entry where it would go.
  Entry* Slot(const T* key) {
    size_t i = Home(key);
    while (table_[i].key && table_[i].key != key) i = (i + 1) & Mask();
    return &table_[i];
  }

  std::vector<Entry> table_;
  size_t size_ = 0;
  unsigned shift_ = 64;
};

// Where each node sits in a manager's array; kRepeated for a node listed
// more than once.
template <class T>
class NodeSlotIndex {
 public:
  static constexpr size_t kAbsent = ~size_t{0};
  static constexpr size_t kRepeated = kAbsent - 1;

  void Reserve(size_t count) { slots_.Reserve(count); }
  // Enters `node` at `slot`; a node entered before is marked repeated.
  void Insert(T* node, size_t slot) {
    bool inserted = false;
    size_t& entered = slots_.FindOrInsert(node, slot, &inserted);
    if (!inserted) entered = kRepeated;
  }
  // The slot of `node`, kRepeated, or kAbsent.
  size_t Find(const T* node) {
    const size_t* slot = slots_.Find(node);
    return slot ? *slot : kAbsent;
  }
  void Erase(const T* node) { slots_.Erase(node); }
  void Clear() { slots_.Clear(); }

 private:
  PointerMap<T, size_t> slots_;
};

}  // namespace quorra

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
    const size_t first = nodes_.size();
    try {
      nodes_.insert(nodes_.end(), nodes, nodes + count);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    if (indexed_) {
      try {
        for (size_t slot = first; slot < nodes_.size(); ++slot)
          if (nodes_[slot]) slotOf_.Insert(nodes_[slot], slot);
      } catch (...) {
        DropIndex();  // the nodes are listed; removals search the array
      }
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
  // the array, or once they make up three quarters of it (a long run of
  // removals then rebuilds the index for a quarter as many nodes each time).
  // The index is built on the first removal from a large array and dropped
  // whenever slots move.
  size_t RemoveEntries(T* node) {
    if (!indexed_ && nodes_.size() - holes_ > kLinearLimit) BuildIndex();
    if (indexed_ && node) {
      const size_t slot = slotOf_.Find(node);
      if (slot == Index::kAbsent) return 0;
      if (slot != Index::kRepeated) {
        nodes_[slot] = Hole();
        slotOf_.Erase(node);
        ++holes_;
        if (holes_ > nodes_.size() / 4 * 3) Compact();
        return 1;
      }
    }
    // Small arrays, null, and nodes listed more than once: remove them in
    // place.
    Compact();
    auto end = std::remove(nodes_.begin(), nodes_.end(), node);
    const size_t removed = static_cast<size_t>(nodes_.end() - end);
    nodes_.erase(end, nodes_.end());
    if (removed) DropIndex();
    return removed;
  }

 private:
  static constexpr size_t kLinearLimit = 64;
  using Index = quorra::NodeSlotIndex<T>;

  // A slot no node can occupy: the address of an object of our own.
  static T* Hole() {
    static char hole;
    return reinterpret_cast<T*>(&hole);
  }

  void BuildIndex() {
    Compact();
    try {
      slotOf_.Reserve(nodes_.size());
      for (size_t slot = 0; slot < nodes_.size(); ++slot)
        if (nodes_[slot]) slotOf_.Insert(nodes_[slot], slot);
      indexed_ = true;
    } catch (...) {
      DropIndex();  // without the index removals search the array
    }
  }

  void DropIndex() const {
    slotOf_.Clear();
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
  mutable Index slotOf_;  // node -> slot, kRepeated when listed twice; null not entered
};
