// Member roadmaps: an occurrence named by routes, opaque byte strings that
// stay valid when the documents are opened again (an attachment id in binary,
// its decimal text, a member name). JMemberRoute is one route,
// JMemberRouteLink a route in a singly linked list, JMemberRoadmap the list.
// JMConfigurations reads the "FamilyMembers" stream: member roadmaps with a
// name and a version each.
//
// Stored layout of a member roadmap (records nest without padding, integers
// little-endian):
//   version 0:        route count (u32); per route: length L (u32), L bytes
//   version 1 and up: route count (JSerializeCount); per route: length L
//                     (JSerializeCount), L bytes
// The memory form (Load(BYTE*)) is the version-0 layout in a byte buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "quorra/host/iostream_context.h"
#include "quorra/host/oleauto.h"
#include "quorra/host/storage.h"
#include "quorra/host/types.h"

// Transfers a count or length in 1, 2, 3 or 5 bytes, the two low bits of the
// first byte telling which:
//   v < 64          1 byte   v * 4
//   v < 16384       2 bytes  v * 4 + 1 (u16)
//   v < 4194304     3 bytes  v * 4 + 2 (low three bytes of a u32)
//   otherwise       5 bytes  the byte 3, then v (u32)
// STG_E_READFAULT for a short read, E_UNEXPECTED for a context without
// stream, E_POINTER for a null count; failures traced as "JSerializeCount".
HRESULT JSerializeCount(const JIOStreamContext& context, DWORD* count);

class JMemberRoute {
 public:
  // Routes of up to this many bytes are held inline.
  static constexpr DWORD kInlineBytes = 24;

  JMemberRoute() : length_(0) {}
  // The 4 bytes of the value, little-endian.
  explicit JMemberRoute(DWORD value);
  // The bytes as given.
  JMemberRoute(const void* bytes, DWORD length);
  // The text's characters and its terminating zero; null gives the empty
  // route.
  explicit JMemberRoute(const char* text);
  JMemberRoute(const JMemberRoute& other);
  ~JMemberRoute() { FreeHeap(); }

  JMemberRoute& operator=(const JMemberRoute& other);
  JMemberRoute& operator=(DWORD value);
  JMemberRoute& operator=(const char* text);

  // Concatenates bytes: inline while the total is at most 24 bytes, else a
  // new heap block of exactly the total. E_OUTOFMEMORY leaves the route as
  // it was.
  HRESULT Append(const JMemberRoute& other);
  HRESULT Append(const void* bytes, DWORD length);

  void Reset();
  bool IsEmpty() const { return length_ == 0; }
  DWORD GetLength() const { return length_; }
  const BYTE* GetByteArray() const { return length_ > kInlineBytes ? heap_ : inline_; }
  // Copies min(length, max) bytes to dst and returns that count.
  DWORD GetBytes(void* dst, DWORD max) const;

  bool operator==(const JMemberRoute& other) const;
  bool operator!=(const JMemberRoute& other) const { return !(*this == other); }
  // Shorter first; equal lengths byte by byte as unsigned values.
  bool operator<(const JMemberRoute& other) const;

  HRESULT Serialize(const JIOStreamContext& context, WORD version);
  HRESULT Save(IStream* stream, WORD version) const;
  HRESULT Load(IStream* stream, WORD version);
  // Reads one route of the memory form (u32 length, bytes) at *cursor and
  // advances the cursor past it. Trusts the buffer to hold the route; use
  // LoadBounded for bytes from outside.
  HRESULT Load(BYTE** cursor);
  // The same within [*cursor, end): STG_E_READFAULT (cursor unchanged) when
  // the route does not fit.
  HRESULT LoadBounded(const BYTE** cursor, const BYTE* end);

  // Class allocation with a process-wide cache of 10 freed routes.
  static void* operator new(size_t size);
  static void* operator new(size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* route) noexcept;
  static void operator delete(void* route, const std::nothrow_t&) noexcept;
  static void* operator new(size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}

 protected:
  // Replaces the bytes; false (route emptied) when memory runs out.
  bool Assign(const void* bytes, DWORD length);
  void FreeHeap() {
    if (length_ > kInlineBytes) CoTaskMemFree(heap_);
  }

  DWORD length_;
  union {
    BYTE inline_[kInlineBytes];
    BYTE* heap_;
  };
};

bool operator==(const JMemberRoute& route, const char* text);
bool operator==(const char* text, const JMemberRoute& route);
bool operator!=(const JMemberRoute& route, const char* text);
bool operator!=(const char* text, const JMemberRoute& route);

class JMemberRouteLink : public JMemberRoute {
 public:
  JMemberRouteLink() = default;
  explicit JMemberRouteLink(const JMemberRoute& route) : JMemberRoute(route) {}

  JMemberRouteLink* next = nullptr;

  // Class allocation with a process-wide cache of 10 freed links.
  static void* operator new(size_t size);
  static void* operator new(size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* link) noexcept;
  static void operator delete(void* link, const std::nothrow_t&) noexcept;
};

class JMemberRoadmap {
 public:
  JMemberRoadmap() = default;
  // One-route roadmaps.
  explicit JMemberRoadmap(const char* text);
  JMemberRoadmap(const void* bytes, DWORD length);
  JMemberRoadmap(const JMemberRoadmap& other);
  ~JMemberRoadmap() { Reset(); }

  JMemberRoadmap& operator=(const JMemberRoadmap& other);
  JMemberRoadmap& operator=(const JMemberRoute& route);
  JMemberRoadmap& operator=(DWORD value);
  JMemberRoadmap& operator=(const char* text);

  // Copies of all routes of `other` at the end (the roadmap is emptied when
  // memory runs out).
  HRESULT Append(const JMemberRoadmap& other);
  HRESULT Append(const JMemberRoute& route);
  HRESULT Append(const char* text);
  HRESULT Append(const void* bytes, DWORD length);
  // The address of the last link's next field (of `first` when empty).
  JMemberRouteLink** GetEnd();

  void Reset();
  bool IsEmpty() const { return first_ == nullptr; }
  DWORD GetRouteCount() const { return count_; }
  const JMemberRouteLink* GetFirst() const { return first_; }

  // Removes the last n routes; E_UNEXPECTED (nothing changed) when n is
  // larger than the count.
  HRESULT Truncate(DWORD n);
  // `out` is emptied and receives copies of the last n routes. E_UNEXPECTED
  // when n exceeds the count or out is null.
  HRESULT Right(DWORD n, JMemberRoadmap* out) const;
  // `first` gets the first route, `rest` the others. When first and rest are
  // the same object it is emptied; when rest is this roadmap the first link
  // moves into first; when first is this roadmap the other links move into
  // rest; otherwise both get copies. E_POINTER for a null argument.
  HRESULT Split(JMemberRoadmap* first, JMemberRoadmap* rest) const;
  // The same with the first route as a route; when rest is this roadmap its
  // first link is removed after being copied.
  HRESULT Split(JMemberRoute* first, JMemberRoadmap* rest) const;
  // True when both are non-empty and the routes of one are a prefix of the
  // other's (equal roadmaps included).
  bool PartialCompare(const JMemberRoadmap* other) const;

  bool operator==(const JMemberRoadmap& other) const;
  bool operator!=(const JMemberRoadmap& other) const { return !(*this == other); }
  // Fewer routes first; equal counts by the first unequal pair of routes.
  bool operator<(const JMemberRoadmap& other) const;

  HRESULT Serialize(const JIOStreamContext& context, WORD version);
  HRESULT Save(IStream* stream, WORD version) const;
  HRESULT Load(IStream* stream, WORD version);
  // Reads the memory form (u32 count, then the routes). Trusts the buffer;
  // use LoadBounded for bytes from outside.
  HRESULT Load(BYTE* buffer);
  // The same within `size` bytes; `used` (optional) receives the bytes read.
  // STG_E_READFAULT when the buffer ends inside the record (the routes read
  // so far are kept).
  HRESULT LoadBounded(const BYTE* buffer, size_t size, size_t* used = nullptr);

  // Class allocation with a process-wide cache of 5 freed roadmaps, and the
  // placement and source-position forms.
  static void* operator new(size_t size);
  static void* operator new(size_t size, const std::nothrow_t&) noexcept;
  static void* operator new(size_t, void* where) noexcept { return where; }
  static void* operator new(size_t size, const char* file, int line);
  static void operator delete(void* roadmap) noexcept;
  static void operator delete(void* roadmap, const std::nothrow_t&) noexcept;
  static void operator delete(void*, void*) noexcept {}
  static void operator delete(void* roadmap, const char* file, int line) noexcept;

 private:
  // Appends copies of the routes from `link` on; false when memory runs out.
  bool AppendCopies(const JMemberRouteLink* link);
  // Reads the memory form from `cursor` up to `end` (null: unbounded).
  HRESULT LoadMemory(const BYTE** cursor, const BYTE* end);

  JMemberRouteLink* first_ = nullptr;
  DWORD count_ = 0;
};

bool operator==(const JMemberRoadmap& roadmap, const JMemberRoute& route);
bool operator==(const JMemberRoute& route, const JMemberRoadmap& roadmap);
bool operator!=(const JMemberRoadmap& roadmap, const JMemberRoute& route);
bool operator!=(const JMemberRoute& route, const JMemberRoadmap& roadmap);
bool operator==(const JMemberRoadmap& roadmap, const char* text);
bool operator==(const char* text, const JMemberRoadmap& roadmap);
bool operator!=(const JMemberRoadmap& roadmap, const char* text);
bool operator!=(const char* text, const JMemberRoadmap& roadmap);

// Construct empty / destroy n roadmaps in place, for containers of roadmaps.
void ConstructElements(JMemberRoadmap* roadmaps, int n);
void DestructElements(JMemberRoadmap* roadmaps, int n);

// ---- Configurations: the "FamilyMembers" stream ----
//   format version u32 (only 1 is understood), entry count N u32, N entries:
//   member roadmap (version-0 layout), name byte length B u32, B name bytes,
//   member version u32.

constexpr const wchar_t* FAMILY_MEMBERS_STREAM = L"FamilyMembers";

class JMConfigurationEntry : public JMemberRoadmap {
 public:
  JMConfigurationEntry() = default;
  ~JMConfigurationEntry();
  JMConfigurationEntry(const JMConfigurationEntry&) = delete;
  JMConfigurationEntry& operator=(const JMConfigurationEntry&) = delete;

  DWORD GetVersion() const { return version_; }
  // The member's name as stored (a byte string); null when none.
  BSTR GetName() const { return name_; }

 private:
  friend class JMConfigurations;
  HRESULT LoadVersion1(IStream* stream);

  BSTR name_ = nullptr;
  DWORD version_ = 0;
};

// What operator[] throws for an index not below the count.
class JMConfigurationIndexError : public std::out_of_range {
 public:
  explicit JMConfigurationIndexError(DWORD index);
  DWORD GetIndex() const { return index_; }

 private:
  DWORD index_;
};

class JMConfigurations {
 public:
  JMConfigurations() = default;
  ~JMConfigurations();
  JMConfigurations(const JMConfigurations&) = delete;
  JMConfigurations& operator=(const JMConfigurations&) = delete;

  DWORD Count() const { return count_; }
  DWORD GetFormatVersion() const { return formatVersion_; }
  // The i-th entry; throws JMConfigurationIndexError for i >= Count().
  JMConfigurationEntry& operator[](DWORD i);
  const JMConfigurationEntry& operator[](DWORD i) const;

  // Reads the "FamilyMembers" stream of `storage`.
  HRESULT Load(IStorage* storage);
  // DISP_E_MEMBERNOTFOUND when no entry's roadmap equals rm; for the first
  // that does, S_OK when its version equals `version`, else S_FALSE.
  HRESULT VerifyMemberAndVersion(const JMemberRoadmap& rm, DWORD version) const;

 private:
  HRESULT LoadVersion1(IStream* stream);
  void Clear();

  DWORD formatVersion_ = 0;
  DWORD count_ = 0;
  JMConfigurationEntry* entries_ = nullptr;
};
