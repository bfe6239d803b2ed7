// NodeList<T>: the growable pointer arrays that hold an occurrence's
// children, a site's occurrences and an assembly site's attachments. The list
// never owns its nodes. ListIterator walks a site's occurrence list under a
// lock with a reference count of its own.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "quorra/host/kernel.h"
#include "quorra/host/types.h"

template <class T>
class NodeList {
 public:
  NodeList() = default;
  NodeList(const NodeList&) = delete;
  NodeList& operator=(const NodeList&) = delete;
  ~NodeList() {
    if (nodes_) std::free(Block());
  }

  DWORD GetCount() const { return count_; }
  bool IsEmpty() const { return count_ == 0; }
  // The node at index, or null at or beyond the count.
  T* GetAt(DWORD index) const { return index < count_ ? nodes_[index] : nullptr; }
  T* operator[](DWORD index) const { return GetAt(index); }
  T* const* GetData() const { return nodes_; }
  T* const* begin() const { return nodes_; }
  T* const* end() const { return nodes_ + count_; }

  // S_OK when the list grew by exactly one node, else E_FAIL.
  HRESULT Add(T* node) {
    if (count_ == capacity_ && !Grow(count_ + 1)) return E_FAIL;
    nodes_[count_++] = node;
    return S_OK;
  }
  // Appends n nodes in order: S_OK when the list grew by exactly n, else E_FAIL.
  HRESULT AddNodes(DWORD n, T* const* nodes) {
    if (n == 0) return S_OK;
    if (!nodes || (count_ + n > capacity_ && !Grow(count_ + n))) return E_FAIL;
    std::memcpy(nodes_ + count_, nodes, n * sizeof(T*));
    count_ += n;
    return S_OK;
  }
  // Inserts at index (0..count), shifting the rest up.
  HRESULT InsertAt(DWORD index, T* node) {
    if (index > count_) return E_INVALIDARG;
    if (count_ == capacity_ && !Grow(count_ + 1)) return E_FAIL;
    std::memmove(nodes_ + index + 1, nodes_ + index, (count_ - index) * sizeof(T*));
    nodes_[index] = node;
    ++count_;
    return S_OK;
  }
  // Removes the first entry equal to node: S_OK, or S_FALSE when absent.
  HRESULT Remove(T* node) {
    for (DWORD i = 0; i < count_; ++i) {
      if (nodes_[i] == node) {
        RemoveAt(i);
        return S_OK;
      }
    }
    return S_FALSE;
  }
  // Removes the last entry equal to node: S_OK, or S_FALSE when absent.
  HRESULT RemoveLast(T* node) {
    for (DWORD i = count_; i-- > 0;) {
      if (nodes_[i] == node) {
        RemoveAt(i);
        return S_OK;
      }
    }
    return S_FALSE;
  }
  // Removes the entry of a node the list holds at most once: S_OK, or
  // S_FALSE when absent. The search runs from both ends towards the middle,
  // so lists emptied from either end (a tree torn down last node first, a
  // branch removed first child first) cost one step per node.
  HRESULT RemoveUnique(T* node) {
    for (DWORD front = 0, back = count_; front < back;) {
      if (nodes_[--back] == node) {
        RemoveAt(back);
        return S_OK;
      }
      if (front < back && nodes_[front] == node) {
        RemoveAt(front);
        return S_OK;
      }
      ++front;
    }
    return S_FALSE;
  }
  // Removes the entry at index (below the count), keeping the order. The
  // shorter side moves: an entry in the front half closes its gap by moving
  // the entries before it up, and the list then starts one slot later.
  void RemoveAt(DWORD index) {
    if (index < count_ / 2) {
      std::memmove(nodes_ + 1, nodes_, index * sizeof(T*));
      const size_t leading = Leading() + 1;
      ++nodes_;
      --capacity_;
      SetLeading(leading);
    } else {
      std::memmove(nodes_ + index, nodes_ + index + 1, (count_ - index - 1) * sizeof(T*));
    }
    --count_;
  }
  // Empties the list without destroying the nodes (the array is kept).
  void RemoveAll() {
    count_ = 0;
    if (nodes_) Rebase();
  }
  // Makes room for at least `capacity` nodes.
  HRESULT Reserve(DWORD capacity) { return capacity <= capacity_ || Grow(capacity) ? S_OK : E_OUTOFMEMORY; }
  // Room for nodes from the first entry on.
  DWORD GetCapacity() const { return capacity_; }

 private:
  // The array is one heap block: a word, then the slots. The word just
  // before the first entry holds how many free slots lie between the start
  // of the slots and the first entry (0 until an entry of the front half is
  // removed), so the block is found again from nodes_.
  static_assert(sizeof(size_t) == sizeof(T*));
  size_t Leading() const {
    size_t leading;
    std::memcpy(&leading, nodes_ - 1, sizeof leading);
    return leading;
  }
  void SetLeading(size_t leading) { std::memcpy(nodes_ - 1, &leading, sizeof leading); }
  T** Block() const { return nodes_ - 1 - Leading(); }

  // Moves the entries back to the start of the slots.
  void Rebase() {
    const size_t leading = Leading();
    if (leading == 0) return;
    T** first = Block() + 1;
    std::memmove(first, nodes_, count_ * sizeof(T*));
    nodes_ = first;
    capacity_ += static_cast<DWORD>(leading);
    SetLeading(0);
  }

  bool Grow(DWORD needed) {
    if (nodes_) {
      // Free slots in front are reused once they are worth the move: the
      // move costs one step per entry and at least a quarter as many
      // removals made the room.
      const size_t leading = Leading();
      if (leading && capacity_ + leading >= needed && leading >= count_ / 4) {
        Rebase();
        return true;
      }
    }
    DWORD capacity = std::max<DWORD>(needed, capacity_ < 4 ? 4 : capacity_ + capacity_ / 2);
    const size_t leading = nodes_ ? Leading() : 0;
    T** block = nodes_ ? Block() : nullptr;
    T** grown = static_cast<T**>(std::realloc(block, (1 + leading + size_t(capacity)) * sizeof(T*)));
    if (!grown) return false;
    nodes_ = grown + 1 + leading;
    SetLeading(leading);
    capacity_ = capacity;
    return true;
  }

  T** nodes_ = nullptr;
  DWORD count_ = 0;
  DWORD capacity_ = 0;
};

class OccurrenceNode;

// Walks a NodeList<OccurrenceNode>. Created with no reference; the creator
// adds the first. Release frees it when the count reaches 0.
class ListIterator {
 public:
  explicit ListIterator(NodeList<OccurrenceNode>* list);
  ListIterator(const ListIterator&) = delete;
  ListIterator& operator=(const ListIterator&) = delete;

  OccurrenceNode* GetNextNode();
  void Rewind();
  ULONG AddRef();
  // True when this call freed the iterator.
  bool Release();

 private:
  ~ListIterator() = default;
  NodeList<OccurrenceNode>* list_;
  DWORD position_ = 0;
  LONG refCount_ = 0;
  CRITICAL_SECTION lock_;
};
