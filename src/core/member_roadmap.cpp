// Member routes and roadmaps: values, comparisons, the class caches, the
// count encoding and the stored forms (stream and memory).
#include "quorra/member_roadmap.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/fault_injection.h"
#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "ENGINE/SRC/ENGUTIL/DEV/ROADMAP";

// ---- Class caches ----

// A small stack of freed objects of one class. The caches are process-wide;
// a spin lock keeps them sound when routes are made on more than one thread
// (uncontended it costs one atomic exchange).
template <size_t Capacity>
class ObjectCache {
 public:
  void* Take() {
    Lock();
    void* object = count_ ? slots_[--count_] : nullptr;
    Unlock();
    return object;
  }
  // False when the cache is full.
  bool Put(void* object) {
    Lock();
    const bool kept = count_ < Capacity;
    if (kept) slots_[count_++] = object;
    Unlock();
    return kept;
  }

 private:
  void Lock() {
    while (busy_.exchange(true, std::memory_order_acquire)) {
    }
  }
  void Unlock() { busy_.store(false, std::memory_order_release); }

  std::atomic<bool> busy_{false};
  size_t count_ = 0;
  void* slots_[Capacity] = {};
};

// Constant-initialised, so that objects made during static initialisation
// meet working caches; never destroyed, so that objects freed at exit do too.
constinit ObjectCache<5> gRoadmapCache;
constinit ObjectCache<10> gRouteCache;
constinit ObjectCache<10> gLinkCache;

template <class Cache>
void* CachedNew(Cache& cache, size_t size, size_t classSize) noexcept {
  if (quorra::AllocationFails()) return nullptr;
  // Only whole objects of the class come from the cache: a derived class
  // without its own allocation gets a block of its size.
  if (size == classSize)
    if (void* object = cache.Take()) return object;
  return CoTaskMemAlloc(size);
}

template <class Cache>
void CachedDelete(Cache& cache, void* object) noexcept {
  if (!object) return;
  if (!cache.Put(object)) CoTaskMemFree(object);
}

// ---- Helpers ----

DWORD ReadWord(const BYTE* bytes) {
  return DWORD{bytes[0]} | DWORD{bytes[1]} << 8 | DWORD{bytes[2]} << 16 | DWORD{bytes[3]} << 24;
}

void PutWord(BYTE* bytes, DWORD value) {
  bytes[0] = static_cast<BYTE>(value);
  bytes[1] = static_cast<BYTE>(value >> 8);
  bytes[2] = static_cast<BYTE>(value >> 16);
  bytes[3] = static_cast<BYTE>(value >> 24);
}

// The length transferred for a route or a count: 32-bit for version 0,
// the count encoding otherwise.
HRESULT SerializeLength(const JIOStreamContext& context, WORD version, DWORD* value) {
  if (version != 0) return JSerializeCount(context, value);
  BYTE bytes[4];
  if (context.IsWriting()) PutWord(bytes, *value);
  HRESULT hr = context.DoIO(bytes, sizeof bytes);
  if (SUCCEEDED(hr) && context.IsReading()) *value = ReadWord(bytes);
  return hr;
}

// Reads a route's bytes of a stated length: on the stack up to 512 bytes;
// above that in growing steps, so that a corrupt length costs memory (and
// time) only for the bytes the stream really holds.
constexpr DWORD kStackBuffer = 512;
constexpr DWORD kReadStep = 1u << 20;

HRESULT ReadRouteBytes(const JIOStreamContext& context, DWORD length, JMemberRoute* route) {
  if (length <= kStackBuffer) {
    BYTE buffer[kStackBuffer];
    HRESULT hr = context.DoIO(buffer, length);
    if (FAILED(hr)) return hr;
    return route->Append(buffer, length);
  }
  std::vector<BYTE> buffer;
  try {
    DWORD done = 0;
    while (done < length) {
      // Steps double from 4 KiB up to 1 MiB.
      const DWORD step = std::min({length - done, kReadStep, std::max<DWORD>(done, 4096)});
      buffer.resize(size_t{done} + step);
      HRESULT hr = context.DoIO(buffer.data() + done, step);
      if (FAILED(hr)) return hr;
      done += step;
    }
  } catch (const std::bad_alloc&) {
    return E_POINTER;
  }
  return route->Append(buffer.data(), length);
}

// Save and Load: a context on the stream (which holds a reference to it for
// the call) running the object's Serialize. A null stream makes a context
// without stream, which Serialize reports as E_UNEXPECTED.
template <class Object>
HRESULT RunOnStream(IStream* stream, DWORD mode, WORD version, Object* object) {
  JIOStreamContext context(stream, mode);
  return object->Serialize(context, version);
}

}  // namespace

// ---- Count encoding ----

HRESULT JSerializeCount(const JIOStreamContext& context, DWORD* count) {
  if (!count) return QUORRA_TRACE_FAIL(E_POINTER, "JSerializeCount");
  if (!context.GetStream()) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "JSerializeCount");
  if (context.IsReading()) {
    BYTE bytes[5] = {};
    HRESULT hr = context.DoIO(bytes, 1);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JSerializeCount");
    static constexpr ULONG kMore[4] = {0, 1, 2, 4};
    const DWORD tag = bytes[0] & 3u;
    hr = context.DoIO(bytes + 1, kMore[tag]);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JSerializeCount");
    if (tag == 3) {
      *count = ReadWord(bytes + 1);
    } else {
      const DWORD raw = DWORD{bytes[0]} | DWORD{bytes[1]} << 8 | DWORD{bytes[2]} << 16;
      *count = (raw & ~3u) >> 2;
    }
    return S_OK;
  }
  const DWORD v = *count;
  BYTE bytes[5];
  ULONG size;
  if (v < 64) {
    bytes[0] = static_cast<BYTE>(v << 2);
    size = 1;
  } else if (v < 16384) {
    const DWORD raw = (v << 2) | 1u;
    bytes[0] = static_cast<BYTE>(raw);
    bytes[1] = static_cast<BYTE>(raw >> 8);
    size = 2;
  } else if (v < 4194304) {
    const DWORD raw = (v << 2) | 2u;
    bytes[0] = static_cast<BYTE>(raw);
    bytes[1] = static_cast<BYTE>(raw >> 8);
    bytes[2] = static_cast<BYTE>(raw >> 16);
    size = 3;
  } else {
    bytes[0] = 3;
    PutWord(bytes + 1, v);
    size = 5;
  }
  HRESULT hr = context.DoIO(bytes, size);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JSerializeCount");
  return hr;
}

// ---- JMemberRoute ----

JMemberRoute::JMemberRoute(DWORD value) : length_(4) { PutWord(inline_, value); }

JMemberRoute::JMemberRoute(const void* bytes, DWORD length) : length_(0) { Assign(bytes, length); }

JMemberRoute::JMemberRoute(const char* text) : length_(0) {
  if (text) Assign(text, static_cast<DWORD>(std::strlen(text) + 1));
}

JMemberRoute::JMemberRoute(const JMemberRoute& other) : length_(0) { Assign(other.GetByteArray(), other.length_); }

JMemberRoute& JMemberRoute::operator=(const JMemberRoute& other) {
  if (this != &other) Assign(other.GetByteArray(), other.length_);
  return *this;
}

JMemberRoute& JMemberRoute::operator=(DWORD value) {
  BYTE bytes[4];
  PutWord(bytes, value);
  Assign(bytes, 4);
  return *this;
}

JMemberRoute& JMemberRoute::operator=(const char* text) {
  if (!text)
    Reset();
  else
    Assign(text, static_cast<DWORD>(std::strlen(text) + 1));
  return *this;
}

bool JMemberRoute::Assign(const void* bytes, DWORD length) {
  if (length > kInlineBytes) {
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!block) {
      Reset();
      return false;
    }
    std::memcpy(block, bytes, length);
    FreeHeap();
    heap_ = block;
  } else {
    // The source may lie in this route's own heap block: copy first.
    BYTE copy[kInlineBytes];
    if (length) std::memcpy(copy, bytes, length);
    FreeHeap();
    if (length) std::memcpy(inline_, copy, length);
  }
  length_ = length;
  return true;
}

HRESULT JMemberRoute::Append(const JMemberRoute& other) {
  if (&other == this) {
    const JMemberRoute copy(other);
    if (copy.length_ != length_) return E_OUTOFMEMORY;
    return Append(copy.GetByteArray(), copy.length_);
  }
  return Append(other.GetByteArray(), other.length_);
}

HRESULT JMemberRoute::Append(const void* bytes, DWORD length) {
  if (length == 0) return S_OK;
  if (!bytes) return E_POINTER;
  if (length > 0xFFFFFFFFu - length_) return E_OUTOFMEMORY;
  const DWORD total = length_ + length;
  if (total <= kInlineBytes) {
    std::memcpy(inline_ + length_, bytes, length);
    length_ = total;
    return S_OK;
  }
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(total));
  if (!block) return E_OUTOFMEMORY;
  std::memcpy(block, GetByteArray(), length_);
  std::memcpy(block + length_, bytes, length);
  FreeHeap();
  heap_ = block;
  length_ = total;
  return S_OK;
}

void JMemberRoute::Reset() {
  FreeHeap();
  length_ = 0;
}

DWORD JMemberRoute::GetBytes(void* dst, DWORD max) const {
  const DWORD n = std::min(length_, max);
  if (n && dst) std::memcpy(dst, GetByteArray(), n);
  return dst ? n : 0;
}

bool JMemberRoute::operator==(const JMemberRoute& other) const {
  return length_ == other.length_ && (length_ == 0 || std::memcmp(GetByteArray(), other.GetByteArray(), length_) == 0);
}

bool JMemberRoute::operator<(const JMemberRoute& other) const {
  if (length_ != other.length_) return length_ < other.length_;
  return length_ != 0 && std::memcmp(GetByteArray(), other.GetByteArray(), length_) < 0;
}

bool operator==(const JMemberRoute& route, const char* text) { return route == JMemberRoute(text); }
bool operator==(const char* text, const JMemberRoute& route) { return route == JMemberRoute(text); }
bool operator!=(const JMemberRoute& route, const char* text) { return !(route == text); }
bool operator!=(const char* text, const JMemberRoute& route) { return !(route == text); }

HRESULT JMemberRoute::Serialize(const JIOStreamContext& context, WORD version) {
  if (context.IsReading()) Reset();
  DWORD length = length_;
  HRESULT hr = SerializeLength(context, version, &length);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JMemberRoute::Serialize");
  if (length == 0) return S_OK;
  if (context.IsReading())
    hr = ReadRouteBytes(context, length, this);
  else
    hr = context.DoIO(const_cast<BYTE*>(GetByteArray()), length);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JMemberRoute::Serialize");
  return S_OK;
}

HRESULT JMemberRoute::Save(IStream* stream, WORD version) const {
  return RunOnStream(stream, JIOStreamContext::kWriteContext, version, const_cast<JMemberRoute*>(this));
}

HRESULT JMemberRoute::Load(IStream* stream, WORD version) {
  return RunOnStream(stream, JIOStreamContext::kReadContext, version, this);
}

HRESULT JMemberRoute::Load(BYTE** cursor) {
  if (!cursor || !*cursor) return E_POINTER;
  const BYTE* at = *cursor;
  Reset();
  const DWORD length = ReadWord(at);
  at += 4;
  *cursor += 4;
  if (FAILED(Append(at, length))) return E_OUTOFMEMORY;
  *cursor += length;
  return S_OK;
}

HRESULT JMemberRoute::LoadBounded(const BYTE** cursor, const BYTE* end) {
  if (!cursor || !*cursor || !end) return E_POINTER;
  const BYTE* at = *cursor;
  if (end < at || static_cast<size_t>(end - at) < 4) return STG_E_READFAULT;
  const DWORD length = ReadWord(at);
  if (static_cast<size_t>(end - at) - 4 < length) return STG_E_READFAULT;
  Reset();
  *cursor = at + 4;
  if (FAILED(Append(at + 4, length))) return E_OUTOFMEMORY;
  *cursor = at + 4 + length;
  return S_OK;
}

void* JMemberRoute::operator new(size_t size) {
  void* object = CachedNew(gRouteCache, size, sizeof(JMemberRoute));
  if (!object) throw std::bad_alloc();
  return object;
}

void* JMemberRoute::operator new(size_t size, const std::nothrow_t&) noexcept {
  return CachedNew(gRouteCache, size, sizeof(JMemberRoute));
}

void JMemberRoute::operator delete(void* route) noexcept {
  // A cached route reads as empty.
  if (route) std::memset(route, 0, sizeof(JMemberRoute));
  CachedDelete(gRouteCache, route);
}

void JMemberRoute::operator delete(void* route, const std::nothrow_t&) noexcept { operator delete(route); }

// ---- JMemberRouteLink ----

void* JMemberRouteLink::operator new(size_t size) {
  void* object = CachedNew(gLinkCache, size, sizeof(JMemberRouteLink));
  if (!object) throw std::bad_alloc();
  return object;
}

void* JMemberRouteLink::operator new(size_t size, const std::nothrow_t&) noexcept {
  return CachedNew(gLinkCache, size, sizeof(JMemberRouteLink));
}

void JMemberRouteLink::operator delete(void* link) noexcept {
  // A cached link reads as empty, with no next link.
  if (link) std::memset(link, 0, sizeof(JMemberRouteLink));
  CachedDelete(gLinkCache, link);
}

void JMemberRouteLink::operator delete(void* link, const std::nothrow_t&) noexcept { operator delete(link); }

// ---- JMemberRoadmap ----

JMemberRoadmap::JMemberRoadmap(const char* text) { Append(text); }

JMemberRoadmap::JMemberRoadmap(const void* bytes, DWORD length) { Append(bytes, length); }

JMemberRoadmap::JMemberRoadmap(const JMemberRoadmap& other) { AppendCopies(other.first_); }

JMemberRoadmap& JMemberRoadmap::operator=(const JMemberRoadmap& other) {
  if (this != &other) {
    Reset();
    AppendCopies(other.first_);
  }
  return *this;
}

JMemberRoadmap& JMemberRoadmap::operator=(const JMemberRoute& route) {
  const JMemberRoute copy(route);  // the route may be one of ours
  Reset();
  Append(copy);
  return *this;
}

JMemberRoadmap& JMemberRoadmap::operator=(DWORD value) {
  Reset();
  Append(JMemberRoute(value));
  return *this;
}

JMemberRoadmap& JMemberRoadmap::operator=(const char* text) {
  Reset();
  Append(text);
  return *this;
}

JMemberRouteLink** JMemberRoadmap::GetEnd() {
  JMemberRouteLink** end = &first_;
  while (*end) end = &(*end)->next;
  return end;
}

bool JMemberRoadmap::AppendCopies(const JMemberRouteLink* link) {
  JMemberRouteLink** end = GetEnd();
  for (; link; link = link->next) {
    auto* copy = new (std::nothrow) JMemberRouteLink(*link);
    if (!copy || copy->GetLength() != link->GetLength()) {
      delete copy;
      Reset();
      return false;
    }
    *end = copy;
    end = &copy->next;
    ++count_;
  }
  return true;
}

HRESULT JMemberRoadmap::Append(const JMemberRoadmap& other) {
  if (&other == this) {
    const JMemberRoadmap copy(other);
    if (copy.count_ != count_) {
      Reset();
      return E_OUTOFMEMORY;
    }
    return AppendCopies(copy.first_) ? S_OK : E_OUTOFMEMORY;
  }
  return AppendCopies(other.first_) ? S_OK : E_OUTOFMEMORY;
}

HRESULT JMemberRoadmap::Append(const JMemberRoute& route) {
  auto* link = new (std::nothrow) JMemberRouteLink(route);
  if (!link || link->GetLength() != route.GetLength()) {
    delete link;
    Reset();
    return E_OUTOFMEMORY;
  }
  *GetEnd() = link;
  ++count_;
  return S_OK;
}

HRESULT JMemberRoadmap::Append(const char* text) { return Append(JMemberRoute(text)); }

HRESULT JMemberRoadmap::Append(const void* bytes, DWORD length) {
  const JMemberRoute route(bytes, length);
  if (route.GetLength() != length) {
    Reset();
    return E_OUTOFMEMORY;
  }
  return Append(route);
}

void JMemberRoadmap::Reset() {
  JMemberRouteLink* link = first_;
  first_ = nullptr;
  count_ = 0;
  while (link) {
    JMemberRouteLink* next = link->next;
    delete link;
    link = next;
  }
}

HRESULT JMemberRoadmap::Truncate(DWORD n) {
  if (n > count_) return E_UNEXPECTED;
  if (n == 0) return S_OK;
  // A roadmap whose reading failed keeps the count as read over fewer
  // links: walk no further than the links.
  JMemberRouteLink** cut = &first_;
  for (DWORD keep = count_ - n; keep > 0 && *cut; --keep) cut = &(*cut)->next;
  JMemberRouteLink* link = *cut;
  *cut = nullptr;
  count_ -= n;
  while (link) {
    JMemberRouteLink* next = link->next;
    delete link;
    link = next;
  }
  return S_OK;
}

HRESULT JMemberRoadmap::Right(DWORD n, JMemberRoadmap* out) const {
  if (!out || n > count_) return E_UNEXPECTED;
  JMemberRouteLink* from = first_;
  for (DWORD skip = count_ - n; skip > 0 && from; --skip) from = from->next;
  if (out == this) {
    // Drop the routes in front of the last n.
    auto* self = const_cast<JMemberRoadmap*>(this);
    JMemberRouteLink* link = self->first_;
    self->first_ = from;
    self->count_ = n;
    while (link != from) {
      JMemberRouteLink* next = link->next;
      delete link;
      link = next;
    }
    return S_OK;
  }
  out->Reset();
  return out->AppendCopies(from) ? S_OK : E_OUTOFMEMORY;
}

HRESULT JMemberRoadmap::Split(JMemberRoadmap* first, JMemberRoadmap* rest) const {
  if (!first || !rest) return QUORRA_TRACE_FAIL(E_POINTER, "JMemberRoadmap::Split");
  auto* self = const_cast<JMemberRoadmap*>(this);
  if (first == rest) {
    first->Reset();
    return S_OK;
  }
  if (rest == this) {
    first->Reset();
    JMemberRouteLink* head = self->first_;
    if (!head) return S_OK;
    self->first_ = head->next;
    --self->count_;
    head->next = nullptr;
    first->first_ = head;
    first->count_ = 1;
    return S_OK;
  }
  if (first == this) {
    rest->Reset();
    if (!self->first_) return S_OK;
    rest->first_ = self->first_->next;
    rest->count_ = self->count_ - 1;
    self->first_->next = nullptr;
    self->count_ = 1;
    return S_OK;
  }
  first->Reset();
  rest->Reset();
  if (!first_) return S_OK;
  HRESULT hr = first->Append(static_cast<const JMemberRoute&>(*first_));
  if (SUCCEEDED(hr) && !rest->AppendCopies(first_->next)) hr = E_OUTOFMEMORY;
  return hr;
}

HRESULT JMemberRoadmap::Split(JMemberRoute* first, JMemberRoadmap* rest) const {
  if (!first || !rest) return QUORRA_TRACE_FAIL(E_POINTER, "JMemberRoadmap::Split");
  auto* self = const_cast<JMemberRoadmap*>(this);
  if (!first_) {
    first->Reset();
    if (rest != this) rest->Reset();
    return S_OK;
  }
  *first = *first_;
  if (first->GetLength() != first_->GetLength()) return E_OUTOFMEMORY;
  if (rest == this) {
    JMemberRouteLink* head = self->first_;
    self->first_ = head->next;
    --self->count_;
    delete head;
    return S_OK;
  }
  rest->Reset();
  return rest->AppendCopies(first_->next) ? S_OK : E_OUTOFMEMORY;
}

bool JMemberRoadmap::PartialCompare(const JMemberRoadmap* other) const {
  if (!other || !first_ || !other->first_) return false;
  for (const JMemberRouteLink *a = first_, *b = other->first_; a && b; a = a->next, b = b->next)
    if (!(*a == *b)) return false;
  return true;
}

bool JMemberRoadmap::operator==(const JMemberRoadmap& other) const {
  if (count_ != other.count_) return false;
  for (const JMemberRouteLink *a = first_, *b = other.first_; a && b; a = a->next, b = b->next)
    if (!(*a == *b)) return false;
  return true;
}

bool JMemberRoadmap::operator<(const JMemberRoadmap& other) const {
  if (count_ != other.count_) return count_ < other.count_;
  for (const JMemberRouteLink *a = first_, *b = other.first_; a && b; a = a->next, b = b->next)
    if (!(*a == *b)) return *a < *b;
  return false;
}

bool operator==(const JMemberRoadmap& roadmap, const JMemberRoute& route) {
  return roadmap.GetRouteCount() == 1 && *roadmap.GetFirst() == route;
}
bool operator==(const JMemberRoute& route, const JMemberRoadmap& roadmap) { return roadmap == route; }
bool operator!=(const JMemberRoadmap& roadmap, const JMemberRoute& route) { return !(roadmap == route); }
bool operator!=(const JMemberRoute& route, const JMemberRoadmap& roadmap) { return !(roadmap == route); }
bool operator==(const JMemberRoadmap& roadmap, const char* text) { return roadmap == JMemberRoute(text); }
bool operator==(const char* text, const JMemberRoadmap& roadmap) { return roadmap == JMemberRoute(text); }
bool operator!=(const JMemberRoadmap& roadmap, const char* text) { return !(roadmap == text); }
bool operator!=(const char* text, const JMemberRoadmap& roadmap) { return !(roadmap == text); }

HRESULT JMemberRoadmap::Serialize(const JIOStreamContext& context, WORD version) {
  const bool reading = context.IsReading();
  if (reading) Reset();
  DWORD count = count_;
  HRESULT hr = SerializeLength(context, version, &count);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JMemberRoadmap::Serialize");
  if (!reading) {
    for (JMemberRouteLink* link = first_; link; link = link->next) {
      hr = link->Serialize(context, version);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }
  // The count stays as read, the list as far as it was read.
  count_ = count;
  JMemberRouteLink** end = &first_;
  for (DWORD i = 0; i < count; ++i) {
    auto* link = new (std::nothrow) JMemberRouteLink();
    if (!link) return QUORRA_TRACE_FAIL(E_POINTER, "JMemberRoadmap::Serialize");
    *end = link;
    end = &link->next;
    hr = link->Serialize(context, version);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT JMemberRoadmap::Save(IStream* stream, WORD version) const {
  return RunOnStream(stream, JIOStreamContext::kWriteContext, version, const_cast<JMemberRoadmap*>(this));
}

HRESULT JMemberRoadmap::Load(IStream* stream, WORD version) {
  return RunOnStream(stream, JIOStreamContext::kReadContext, version, this);
}

HRESULT JMemberRoadmap::LoadMemory(const BYTE** cursor, const BYTE* end) {
  Reset();
  const BYTE* at = *cursor;
  if (end && (end < at || end - at < 4)) return STG_E_READFAULT;
  const DWORD count = ReadWord(at);
  at += 4;
  *cursor = at;
  JMemberRouteLink** tail = &first_;
  for (DWORD i = 0; i < count; ++i) {
    auto* link = new (std::nothrow) JMemberRouteLink();
    if (!link) return E_OUTOFMEMORY;
    HRESULT hr = end ? link->LoadBounded(cursor, end) : link->Load(const_cast<BYTE**>(cursor));
    if (FAILED(hr)) {
      delete link;
      return hr;
    }
    *tail = link;
    tail = &link->next;
    ++count_;
  }
  return S_OK;
}

HRESULT JMemberRoadmap::Load(BYTE* buffer) {
  if (!buffer) return E_POINTER;
  const BYTE* cursor = buffer;
  return LoadMemory(&cursor, nullptr);
}

HRESULT JMemberRoadmap::LoadBounded(const BYTE* buffer, size_t size, size_t* used) {
  if (used) *used = 0;
  if (!buffer) return E_POINTER;
  const BYTE* cursor = buffer;
  HRESULT hr = LoadMemory(&cursor, buffer + size);
  if (used) *used = static_cast<size_t>(cursor - buffer);
  return hr;
}

void* JMemberRoadmap::operator new(size_t size) {
  void* object = CachedNew(gRoadmapCache, size, sizeof(JMemberRoadmap));
  if (!object) throw std::bad_alloc();
  return object;
}

void* JMemberRoadmap::operator new(size_t size, const std::nothrow_t&) noexcept {
  return CachedNew(gRoadmapCache, size, sizeof(JMemberRoadmap));
}

void* JMemberRoadmap::operator new(size_t size, const char*, int) { return operator new(size); }

void JMemberRoadmap::operator delete(void* roadmap) noexcept { CachedDelete(gRoadmapCache, roadmap); }

void JMemberRoadmap::operator delete(void* roadmap, const std::nothrow_t&) noexcept { operator delete(roadmap); }

void JMemberRoadmap::operator delete(void* roadmap, const char*, int) noexcept { operator delete(roadmap); }

void ConstructElements(JMemberRoadmap* roadmaps, int n) {
  for (int i = 0; i < n; ++i) new (static_cast<void*>(roadmaps + i)) JMemberRoadmap();
}

void DestructElements(JMemberRoadmap* roadmaps, int n) {
  for (int i = 0; i < n; ++i) roadmaps[i].~JMemberRoadmap();
}
