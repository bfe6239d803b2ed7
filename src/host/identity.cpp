// Weak identities of host objects, their process-wide serials, and the
// host's roadmap value.
#include "quorra/host/identity.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <unordered_map>

#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "host/identity";

using quorra::host::ComObjectBase;

DWORD NextSerial() {
  static std::atomic<DWORD> counter{0};
  DWORD serial;
  do {
    serial = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  } while (serial == 0);  // 0 means "no object"; skip it when the counter wraps
  return serial;
}

// Serials of objects that are not ComObjects, kept while identities of them
// exist (each such identity holds a reference, so the address cannot be
// reused by another object meanwhile).
class ForeignRegistry {
 public:
  // Counts one more identity of `object`; returns the object's serial.
  DWORD Attach(IUnknown* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, inserted] = entries_.try_emplace(object);
    if (inserted) it->second.serial = NextSerial();
    ++it->second.identities;
    return it->second.serial;
  }
  // Counts one identity less; the serial is forgotten with the last one.
  void Detach(IUnknown* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(object);
    if (it != entries_.end() && --it->second.identities == 0) entries_.erase(it);
  }

 private:
  struct Entry {
    DWORD serial = 0;
    DWORD identities = 0;
  };
  std::mutex mutex_;
  std::unordered_map<IUnknown*, Entry> entries_;
};

ForeignRegistry& Foreign() {
  static ForeignRegistry* registry = new ForeignRegistry;  // lives until the process ends
  return *registry;
}

DWORD ReadPersistID(IUnknown* object) {
  quorra::host::IPersistIdentity* persist = nullptr;
  if (FAILED(object->QueryInterface(quorra::host::IID_IPersistIdentity, reinterpret_cast<void**>(&persist))) ||
      !persist) {
    return 0;
  }
  DWORD id = persist->GetPersistID();
  persist->Release();
  return id;
}

}  // namespace

// ---------------------------------------------------------------------------
// JIdentity

JIdentity::JIdentity(const JIdentity& other) { ShareWith(other); }

JIdentity::JIdentity(JIdentity&& other) noexcept { TakeFrom(other); }

JIdentity& JIdentity::operator=(const JIdentity& other) {
  if (this != &other) {
    JIdentity copy(other);
    *this = std::move(copy);
  }
  return *this;
}

JIdentity& JIdentity::operator=(JIdentity&& other) noexcept {
  if (this != &other) {
    Clear();
    TakeFrom(other);
  }
  return *this;
}

void JIdentity::TakeFrom(JIdentity& other) {
  object_ = other.object_;
  serial_ = other.serial_;
  persistId_ = other.persistId_;
  kind_ = other.kind_;
  holdsReference_ = other.holdsReference_;
  other.object_ = nullptr;
  other.serial_ = other.persistId_ = 0;
  other.kind_ = Kind::kNone;
  other.holdsReference_ = false;
}

void JIdentity::ShareWith(const JIdentity& other) {
  object_ = other.object_;
  serial_ = other.serial_;
  persistId_ = other.persistId_;
  kind_ = other.kind_;
  holdsReference_ = other.holdsReference_;
  if (kind_ == Kind::kForeign) Foreign().Attach(object_);
  if (holdsReference_) object_->AddRef();
}

HRESULT JIdentity::SetObject(IUnknown* object) { return Set(object, false, "JIdentity::SetObject"); }

HRESULT JIdentity::Set(IUnknown* object, bool keepAlive, const char* operation) {
  if (!object) {
    Clear();
    return S_OK;
  }
  IUnknown* canonical = nullptr;
  HRESULT hr = object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&canonical));
  if (FAILED(hr) || !canonical) {
    Clear();
    return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_NOINTERFACE, operation);
  }
  // Built aside and moved in, so that setting the object an identity already
  // holds never drops its last reference on the way.
  JIdentity fresh;
  fresh.object_ = canonical;
  fresh.persistId_ = ReadPersistID(canonical);
  if (ComObjectBase* base = quorra::host::AcquireComObject(canonical)) {
    DWORD serial = base->GetIdentitySerial();
    fresh.serial_ = serial ? serial : base->AssignIdentitySerial(NextSerial());
    fresh.kind_ = Kind::kComObject;
    base->ReleaseObject();
    fresh.holdsReference_ = keepAlive;
    if (!keepAlive) canonical->Release();
  } else {
    fresh.serial_ = Foreign().Attach(canonical);
    fresh.kind_ = Kind::kForeign;
    fresh.holdsReference_ = true;  // keeps the reference QueryInterface gave
  }
  *this = std::move(fresh);
  return S_OK;
}

void JIdentity::Clear() {
  IUnknown* held = holdsReference_ ? object_ : nullptr;
  // Forget the serial before the reference goes, so that a new object at the
  // same address cannot inherit it.
  if (kind_ == Kind::kForeign) Foreign().Detach(object_);
  object_ = nullptr;
  serial_ = persistId_ = 0;
  kind_ = Kind::kNone;
  holdsReference_ = false;
  if (held) held->Release();
}

HRESULT JIdentity::GetObjectW(REFIID iid, void** out) const {
  if (!out) return QUORRA_TRACE_FAIL(E_POINTER, "JIdentity::GetObjectW");
  *out = nullptr;
  if (kind_ == Kind::kNone) return E_FAIL;
  if (holdsReference_) return object_->QueryInterface(iid, out);
  ComObjectBase* base = quorra::host::AcquireComObject(object_);
  if (!base) return CO_E_OBJNOTCONNECTED;
  HRESULT hr = CO_E_OBJNOTCONNECTED;
  // Another object may live at the same address now; the serial tells.
  if (base->GetIdentitySerial() == serial_) hr = base->GetIdentityUnknown()->QueryInterface(iid, out);
  base->ReleaseObject();
  return hr;
}

bool JIdentity::IsAlive() const {
  if (kind_ == Kind::kNone) return false;
  if (holdsReference_) return true;
  ComObjectBase* base = quorra::host::AcquireComObject(object_);
  if (!base) return false;
  bool same = base->GetIdentitySerial() == serial_;
  base->ReleaseObject();
  return same;
}

// ---------------------------------------------------------------------------
// JRoadmap

HRESULT JRoadmap::AddRoute(DWORD id, DWORD positionMarker) {
  try {
    bool keepMarkers = positionMarker != 0 || !markers_.empty();
    if (keepMarkers) {
      // Reserve both first so that a failure leaves the roadmap as it was.
      markers_.reserve(ids_.size() + 1);
      ids_.reserve(ids_.size() + 1);
      markers_.resize(ids_.size(), 0);
      markers_.push_back(positionMarker);
    }
    ids_.push_back(id);
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JRoadmap::AddRoute");
  }
  return S_OK;
}

void JRoadmap::Reverse() {
  std::reverse(ids_.begin(), ids_.end());
  std::reverse(markers_.begin(), markers_.end());
}

int JRoadmap::Compare(const JRoadmap& other) const {
  if (ids_.size() != other.ids_.size()) return ids_.size() < other.ids_.size() ? -1 : 1;
  for (size_t i = 0; i < ids_.size(); ++i) {
    if (ids_[i] != other.ids_[i]) return ids_[i] < other.ids_[i] ? -1 : 1;
  }
  return 0;
}
