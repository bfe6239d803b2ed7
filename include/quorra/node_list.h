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
  ~NodeList() { std::free(nodes_); }

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
  // Removes the last entry equal to node: S_OK, or S_FALSE when absent. For
  // lists that hold each node once, where the most recent nodes are the
  // likeliest to go (a tree is torn down last node first).
  HRESULT RemoveLast(T* node) {
    for (DWORD i = count_; i-- > 0;) {
      if (nodes_[i] == node) {
        RemoveAt(i);
        return S_OK;
      }
    }
    return S_FALSE;
  }
  void RemoveAt(DWORD index) {
    std::memmove(nodes_ + index, nodes_ + index + 1, (count_ - index - 1) * sizeof(T*));
    --count_;
  }
  // Empties the list without destroying the nodes (the array is kept).
  void RemoveAll() { count_ = 0; }
  // Makes room for at least `capacity` nodes.
  HRESULT Reserve(DWORD capacity) { return capacity <= capacity_ || Grow(capacity) ? S_OK : E_OUTOFMEMORY; }
  DWORD GetCapacity() const { return capacity_; }

 private:
  bool Grow(DWORD needed) {
    DWORD capacity = std::max<DWORD>(needed, capacity_ < 4 ? 4 : capacity_ + capacity_ / 2);
    T** grown = static_cast<T**>(std::realloc(nodes_, size_t(capacity) * sizeof(T*)));
    if (!grown) return false;
    nodes_ = grown;
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
