// NodeList<T>: the growable pointer arrays that hold an occurrence's
// children, a site's occurrences and an assembly site's attachments. The list
// never owns its nodes. ListIterator walks a site's occurrence list under a
// lock with a reference count of its own.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

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

  DWORD GetCount() const {
    Settle();
    return count_;
  }
  bool IsEmpty() const { return GetCount() == 0; }
  // The node at index, or null at or beyond the count.
  T* GetAt(DWORD index) const {
    Settle();
    return index < count_ ? nodes_[index] : nullptr;
  }
  T* operator[](DWORD index) const { return GetAt(index); }
  T* const* GetData() const {
    Settle();
    return nodes_;
  }
  // The array and its count, with one test for vacancies.
  T* const* GetData(DWORD* count) const {
    Settle();
    *count = count_;
    return nodes_;
  }
  T* const* begin() const { return GetData(); }
  T* const* end() const { return GetData() + count_; }

  // ---- Removal in any order ----
  // Entries removed from the middle of a long list, one by one in an order
  // no end of the list helps with, would each move half the list. Such an
  // entry can instead be vacated: its slot keeps a marker (an odd value,
  // which no node address is, carrying a 32-bit key such as the entry's id,
  // so that a list sorted by that key stays searchable), and the list closes
  // its vacancies the next time anyone reads it, or once they are half of
  // it. Every reader above sees a list without vacancies; appending keeps
  // them. The raw view below is for the owner's removal code only, on the
  // thread that changes the list; concurrent readers of a list with
  // vacancies close them once, under the list's own flag.
  DWORD GetRawCount() const { return count_; }
  T* const* GetRawData() const { return nodes_; }
  static bool IsVacancy(const T* entry) { return reinterpret_cast<uintptr_t>(entry) & 1; }
  static DWORD VacancyKey(const T* entry) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(entry) >> 1); }
  // For a list sorted by a key (`keyOf` gives an entry's key; a vacancy
  // carries its own): the raw slot of the entry `match` accepts among those
  // of `key`. The slot a dense list 1, 2, 3, ... gives the key is tried
  // first, then a binary search. GetRawCount() when there is none.
  template <class KeyOf, class Match>
  DWORD FindRawByKey(DWORD key, KeyOf keyOf, Match match) const {
    const auto keyAt = [&](const T* entry) { return IsVacancy(entry) ? VacancyKey(entry) : keyOf(entry); };
    if (key - 1 < count_ && !IsVacancy(nodes_[key - 1]) && match(nodes_[key - 1])) return key - 1;
    // Keys thinned out by removals still spread evenly: a few guesses where
    // the spread puts the key narrow the range before the binary search
    // (each look at a key is a cache miss or two in a large tree).
    DWORD low = 0, high = count_;  // the first key not below `key` lies in [low, high]
    for (int guesses = 0; guesses < 4 && high - low > 8; ++guesses) {
      const DWORD lowKey = keyAt(nodes_[low]), highKey = keyAt(nodes_[high - 1]);
      if (key <= lowKey || key > highKey) break;
      const DWORD guess = low + static_cast<DWORD>(uint64_t{key - lowKey} * (high - 1 - low) / (highKey - lowKey));
      if (keyAt(nodes_[guess]) < key)
        low = guess + 1;
      else
        high = guess + 1;
    }
    DWORD at = static_cast<DWORD>(std::lower_bound(nodes_ + low, nodes_ + high, key,
                                                   [&](const T* entry, DWORD value) { return keyAt(entry) < value; }) -
                                  nodes_);
    for (; at < count_ && keyAt(nodes_[at]) == key; ++at)
      if (!IsVacancy(nodes_[at]) && match(nodes_[at])) return at;
    return count_;
  }
  // The raw slot of `node` in a list sorted by key, `key` being the node's:
  // the ends first (lists emptied from either end), by address alone, then
  // FindRawByKey. GetRawCount() when the search finds none.
  template <class KeyOf>
  DWORD FindRawEntry(const T* node, DWORD key, KeyOf keyOf) const {
    if (count_ && nodes_[count_ - 1] == node) return count_ - 1;
    if (count_ && nodes_[0] == node) return 0;
    return FindRawByKey(key, keyOf, [node](const T* entry) { return entry == node; });
  }
  // Removes the entry at raw index `index`: near an end by moving the
  // shorter side, elsewhere by leaving a vacancy marked with `key`.
  void RemoveRawAt(DWORD index, DWORD key) {
    const DWORD fromEnd = count_ - 1 - index;
    if (std::min(index, fromEnd) <= kShortMove) {
      ShiftOut(index);
      if (count_ && Vacancies() == count_) Compact();  // only vacancies left
      return;
    }
    nodes_[index] = reinterpret_cast<T*>((static_cast<uintptr_t>(key) << 1) | 1);
    const DWORD vacancies = Vacancies() + 1;
    SetVacancies(vacancies);
    SetState(kVacant, std::memory_order_relaxed);
    if (vacancies > count_ / 2) Compact();
  }

  // S_OK when the list grew by exactly one node, else E_FAIL.
  HRESULT Add(T* node) {
    if (count_ == Capacity() && !Grow(count_ + 1)) return E_FAIL;
    nodes_[count_++] = node;
    return S_OK;
  }
  // Appends n nodes in order: S_OK when the list grew by exactly n, else E_FAIL.
  HRESULT AddNodes(DWORD n, T* const* nodes) {
    if (n == 0) return S_OK;
    if (!nodes || (count_ + n > Capacity() && !Grow(count_ + n))) return E_FAIL;
    std::memcpy(nodes_ + count_, nodes, n * sizeof(T*));
    count_ += n;
    return S_OK;
  }
  // Inserts at index (0..count), shifting the rest up.
  HRESULT InsertAt(DWORD index, T* node) {
    Settle();
    if (index > count_) return E_INVALIDARG;
    if (count_ == Capacity() && !Grow(count_ + 1)) return E_FAIL;
    std::memmove(nodes_ + index + 1, nodes_ + index, (count_ - index) * sizeof(T*));
    nodes_[index] = node;
    ++count_;
    return S_OK;
  }
  // Removes the first entry equal to node: S_OK, or S_FALSE when absent.
  HRESULT Remove(T* node) {
    Settle();
    for (DWORD i = 0; i < count_; ++i) {
      if (nodes_[i] == node) {
        ShiftOut(i);
        return S_OK;
      }
    }
    return S_FALSE;
  }
  // Removes the last entry equal to node: S_OK, or S_FALSE when absent.
  HRESULT RemoveLast(T* node) {
    Settle();
    for (DWORD i = count_; i-- > 0;) {
      if (nodes_[i] == node) {
        ShiftOut(i);
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
    Settle();
    const DWORD at = FindUnique(node, NoHint);
    if (at == kAbsent) return S_FALSE;
    ShiftOut(at);
    return S_OK;
  }
  // RemoveUnique for the owner's removal code: when neither end holds the
  // node, the raw slot `hint()` answers is tried before the search, and the
  // entry is removed as RemoveRawAt removes it (a vacancy carries key 0).
  template <class Hint>
  HRESULT RemoveUniqueRaw(T* node, Hint hint) {
    const DWORD at = FindUnique(node, hint);
    if (at == kAbsent) return S_FALSE;
    RemoveRawAt(at, 0);
    return S_OK;
  }
  HRESULT RemoveUniqueRaw(T* node) { return RemoveUniqueRaw(node, NoHint); }
  // Removes the entry at index (below the count), keeping the order.
  void RemoveAt(DWORD index) {
    Settle();
    ShiftOut(index);
  }
  // Empties the list without destroying the nodes (the array is kept).
  void RemoveAll() {
    count_ = 0;
    if (nodes_) {
      SetVacancies(0);
      Rebase();
    }
    SetState(kSettled, std::memory_order_release);
  }
  // Makes room for at least `capacity` nodes.
  HRESULT Reserve(DWORD capacity) { return capacity <= Capacity() || Grow(capacity) ? S_OK : E_OUTOFMEMORY; }
  // Room for nodes from the first entry on.
  DWORD GetCapacity() const { return Capacity(); }

 private:
  static constexpr DWORD kAbsent = ~DWORD{0};
  // Within this many entries of an end, a removal moves the entries out of
  // the way at once.
  static constexpr DWORD kShortMove = 16;
  // capacityAndState_ holds the capacity in its low 30 bits and, above
  // them, whether the list has vacancies and whether a reader is closing
  // them: the test readers make lies in the list's own 16 bytes.
  static constexpr DWORD kCapacityMask = (DWORD{1} << 30) - 1;
  static constexpr DWORD kSettled = 0;
  static constexpr DWORD kVacant = DWORD{1} << 30;
  static constexpr DWORD kSettling = DWORD{2} << 30;

  DWORD Capacity() const { return capacityAndState_.load(std::memory_order_relaxed) & kCapacityMask; }
  void SetCapacity(DWORD capacity) {
    const DWORD state = capacityAndState_.load(std::memory_order_relaxed) & ~kCapacityMask;
    capacityAndState_.store(state | capacity, std::memory_order_relaxed);
  }
  void SetState(DWORD state, std::memory_order order) const {
    capacityAndState_.store(Capacity() | state, order);
  }

  // Closes the vacancies before anything reads the list.
  void Settle() const {
    if (__builtin_expect(capacityAndState_.load(std::memory_order_acquire) > kCapacityMask, 0)) SettleSlow();
  }
  // Out of line: readers inline only the test above.
  [[gnu::noinline, gnu::cold]] void SettleSlow() const {
    for (;;) {
      DWORD expected = Capacity() | kVacant;
      if (capacityAndState_.compare_exchange_weak(expected, Capacity() | kSettling, std::memory_order_acquire)) break;
      if ((expected & ~kCapacityMask) == kSettled) return;
      if ((expected & ~kCapacityMask) == kSettling) std::this_thread::yield();  // another reader closes them
    }
    Compact();
  }
  // Moves the entries over the vacancies, keeping their order.
  void Compact() const {
    T** out = nodes_;
    for (DWORD i = 0; i < count_; ++i)
      if (!IsVacancy(nodes_[i])) *out++ = nodes_[i];
    count_ = static_cast<DWORD>(out - nodes_);
    SetVacancies(0);
    SetState(kSettled, std::memory_order_release);
  }
  static DWORD NoHint() { return kAbsent; }
  // The raw slot of `node`: the ends, the slot `hint()` names, then from
  // both ends inwards.
  template <class Hint>
  DWORD FindUnique(const T* node, Hint hint) const {
    if (count_ == 0) return kAbsent;
    if (nodes_[count_ - 1] == node) return count_ - 1;
    if (nodes_[0] == node) return 0;
    const DWORD hinted = hint();
    if (hinted < count_ && nodes_[hinted] == node) return hinted;
    for (DWORD front = 0, back = count_; front < back;) {
      if (nodes_[--back] == node) return back;
      if (front < back && nodes_[front] == node) return front;
      ++front;
    }
    return kAbsent;
  }
  // Removes the entry at raw index `index`, keeping the order. The shorter
  // side moves: an entry in the front half closes its gap by moving the
  // entries before it up, and the list then starts one slot later.
  void ShiftOut(DWORD index) {
    if (index < count_ / 2) {
      std::memmove(nodes_ + 1, nodes_, index * sizeof(T*));
      const uint64_t header = Header() + 1;  // one more leading slot
      ++nodes_;
      SetCapacity(Capacity() - 1);
      SetHeader(header);
    } else {
      std::memmove(nodes_ + index, nodes_ + index + 1, (count_ - index - 1) * sizeof(T*));
    }
    --count_;
  }

  // The array is one heap block: a header word, then the slots. The header
  // sits just before the first entry, so the block is found again from
  // nodes_. Its low half counts the free slots between the start of the
  // slots and the first entry (0 until an entry of the front half is
  // removed); its high half counts the vacancies.
  static_assert(sizeof(uint64_t) == sizeof(T*));
  uint64_t Header() const {
    uint64_t header;
    std::memcpy(&header, nodes_ - 1, sizeof header);
    return header;
  }
  void SetHeader(uint64_t header) const { std::memcpy(nodes_ - 1, &header, sizeof header); }
  size_t Leading() const { return static_cast<size_t>(Header() & 0xFFFFFFFFu); }
  DWORD Vacancies() const { return static_cast<DWORD>(Header() >> 32); }
  void SetVacancies(DWORD vacancies) const { SetHeader((uint64_t{vacancies} << 32) | Leading()); }
  T** Block() const { return nodes_ - 1 - Leading(); }

  // Moves the entries back to the start of the slots.
  void Rebase() {
    const size_t leading = Leading();
    if (leading == 0) return;
    const DWORD vacancies = Vacancies();
    T** first = Block() + 1;
    std::memmove(first, nodes_, count_ * sizeof(T*));
    nodes_ = first;
    SetCapacity(Capacity() + static_cast<DWORD>(leading));
    SetHeader(uint64_t{vacancies} << 32);
  }

  bool Grow(DWORD needed) {
    const DWORD capacity = Capacity();
    if (nodes_) {
      // Free slots in front are reused once they are worth the move: the
      // move costs one step per entry and at least a quarter as many
      // removals made the room.
      const size_t leading = Leading();
      if (leading && capacity + leading >= needed && leading >= count_ / 4) {
        Rebase();
        return true;
      }
    }
    const size_t grownCapacity = std::max<size_t>(needed, capacity < 4 ? 4 : size_t{capacity} + capacity / 2);
    if (grownCapacity > kCapacityMask) return false;
    const uint64_t header = nodes_ ? Header() : 0;
    const size_t leading = static_cast<size_t>(header & 0xFFFFFFFFu);
    T** block = nodes_ ? Block() : nullptr;
    T** grown = static_cast<T**>(std::realloc(block, (1 + leading + grownCapacity) * sizeof(T*)));
    if (!grown) return false;
    nodes_ = grown + 1 + leading;
    SetHeader(header);
    SetCapacity(static_cast<DWORD>(grownCapacity));
    return true;
  }

  // Mutable: a reader closes the vacancies a removal left.
  mutable T** nodes_ = nullptr;
  mutable DWORD count_ = 0;  // entries, vacancies included
  mutable std::atomic<DWORD> capacityAndState_{0};
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
