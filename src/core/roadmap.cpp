// DisplayRoadmap operations.
#include "quorra/roadmap.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

#include "host/fault_injection.h"
#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/roadmap";
}  // namespace

DisplayRoadmap::DisplayRoadmap(DWORD firstLink, DWORD capacity) {
  if (firstLink == 0) return;
  if (capacity < 1 || capacity > 10) capacity = 2;
  links_ = static_cast<DWORD*>(quorra::AllocationFails() ? nullptr : std::malloc(capacity * sizeof(DWORD)));
  if (!links_) return;
  capacity_ = capacity;
  links_[0] = firstLink;
  count_ = 1;
}

DisplayRoadmap::DisplayRoadmap(const DisplayRoadmap& other) { Copy(&other); }

DisplayRoadmap::DisplayRoadmap(DisplayRoadmap&& other) noexcept
    : count_(std::exchange(other.count_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      links_(std::exchange(other.links_, nullptr)) {}

DisplayRoadmap& DisplayRoadmap::operator=(const DisplayRoadmap& other) {
  if (this != &other) Copy(&other);
  return *this;
}

DisplayRoadmap& DisplayRoadmap::operator=(DisplayRoadmap&& other) noexcept {
  if (this != &other) {
    std::free(links_);
    count_ = std::exchange(other.count_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    links_ = std::exchange(other.links_, nullptr);
  }
  return *this;
}

DisplayRoadmap::~DisplayRoadmap() { std::free(links_); }

HRESULT DisplayRoadmap::IsNullRoadmap() const {
  if (count_ == 0) return S_OK;
  if (count_ == 1 && links_ && links_[0] == 0) return S_OK;
  return S_FALSE;
}

int DisplayRoadmap::Compare(const DisplayRoadmap* other) const {
  if (count_ != other->count_) return static_cast<int>(count_ - other->count_);
  if (count_ == 0) return 0;
  return std::memcmp(links_, other->links_, count_ * sizeof(DWORD));
}

int DisplayRoadmap::PartialCompare(const DisplayRoadmap* other) const {
  if (count_ < other->count_) return static_cast<int>(count_ - other->count_);
  if (other->count_ == 0) return 0;
  return std::memcmp(links_, other->links_, other->count_ * sizeof(DWORD));
}

void DisplayRoadmap::Dump() const {
  wchar_t buffer[1024];
  size_t used = 0;
  int n = std::swprintf(buffer, 1024, L"Roadmap 0x%016llX %d entries:  ",
                        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(this)), static_cast<int>(count_));
  if (n > 0) used = static_cast<size_t>(n);
  for (DWORD i = 0; i < count_ && used < 1024; ++i) {
    n = std::swprintf(buffer + used, 1024 - used, L"%x ", links_[i]);
    if (n < 0) break;  // out of room: the line is cut like the fixed buffer it is
    used += static_cast<size_t>(n);
  }
  if (used < 1023) {
    buffer[used++] = L'\n';
    buffer[used] = L'\0';
  }
  OutputDebugStringW(buffer);
}

HRESULT DisplayRoadmap::AddLinks(DWORD n, const DWORD* links) {
  if (n == 0) return S_OK;
  if (!links) return QUORRA_TRACE_FAIL(E_INVALIDARG, "DisplayRoadmap::AddLinks");
  DWORD capacity = GetCapacity();
  if (count_ + n >= capacity) {
    DWORD grow = count_ + n > 10 ? count_ + n : 10;
    HRESULT hr = SetSize(capacity + grow);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "DisplayRoadmap::AddLinks");
  }
  std::memcpy(links_ + count_, links, n * sizeof(DWORD));
  count_ += n;
  return S_OK;
}

HRESULT DisplayRoadmap::SetLink(DWORD index, DWORD link) {
  if (!links_ || index >= count_) return E_UNEXPECTED;
  links_[index] = link;
  return S_OK;
}

HRESULT DisplayRoadmap::SetTopLink(DWORD link) {
  if (!links_ || count_ == 0) return E_UNEXPECTED;
  links_[count_ - 1] = link;
  return S_OK;
}

HRESULT DisplayRoadmap::RemoveTopLink() {
  if (count_ == 0) return E_UNEXPECTED;
  --count_;
  return S_OK;
}

void DisplayRoadmap::InvertPath() {
  for (DWORD i = 0, j = count_; i + 1 < j; ++i, --j) std::swap(links_[i], links_[j - 1]);
}

HRESULT DisplayRoadmap::MakeNullRoadmap() {
  HRESULT hr = AddLink(0);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "DisplayRoadmap::MakeNullRoadmap");
  return hr;
}

HRESULT DisplayRoadmap::SetSize(DWORD capacity) {
  if (links_ ? capacity == capacity_ : capacity == 0) return S_OK;
  // Never hand realloc a zero size: keep a real (empty) allocation instead.
  void* grown = quorra::AllocationFails() ? nullptr : std::realloc(links_, capacity ? capacity * sizeof(DWORD) : 1);
  if (!grown) {
    std::free(links_);
    links_ = nullptr;
    capacity_ = 0;
    return E_OUTOFMEMORY;
  }
  links_ = static_cast<DWORD*>(grown);
  capacity_ = capacity;
  return S_OK;
}

HRESULT DisplayRoadmap::Copy(const DisplayRoadmap* other) {
  if (!other) return S_OK;
  HRESULT hr = SetSize(other->count_);
  if (FAILED(hr)) {
    count_ = 0;
    return QUORRA_TRACE_FAIL(hr, "DisplayRoadmap::Copy");
  }
  if (other->count_ && !other->links_) return QUORRA_TRACE_FAIL(E_INVALIDARG, "DisplayRoadmap::Copy");
  if (other->count_) std::memcpy(links_, other->links_, other->count_ * sizeof(DWORD));
  count_ = other->count_;
  return S_OK;
}

extern "C" DisplayRoadmap* JCreateDisplayRoadmap(DWORD firstLink, DWORD capacity) {
  return new (std::nothrow) DisplayRoadmap(firstLink, capacity);
}

extern "C" HRESULT JDeleteDisplayRoadmap(DisplayRoadmap* roadmap) {
  if (!roadmap) return E_INVALIDARG;
  delete roadmap;
  return S_OK;
}
