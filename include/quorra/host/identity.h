// Weak identities of host objects (JIdentity, JDocIdentity, JIdentityEx) and
// the host's roadmap value (JRoadmap).
//
// How an identity stays safe. Every distinct object, told apart by its
// IUnknown identity (QueryInterface(IID_IUnknown)), is given a process-wide
// object serial the first time an identity is set to it; the identity keeps
// that serial, the object's persist id and the object's IUnknown pointer.
// - An object derived from quorra::host::ComObject is held weakly: the serial
//   is stored in the object, and GetObjectW finds the object again only while
//   it is alive (its live-table entry still carries the same serial), so a
//   destroyed object is never handed back (CO_E_OBJNOTCONNECTED), even when
//   a new object occupies the same memory.
// - Any other object cannot be watched, so its identities hold a counted
//   reference to it: it lives as long as an identity of it does. Its serial
//   is kept in a registry for as long as an identity of it exists.
// An object keeps its serial for its whole life when it is a ComObject, and
// while any identity of it exists otherwise; a later identity of a foreign
// object that was let go gets a new serial.
//
// The persist id is the object's own id when it implements
// quorra::host::IPersistIdentity (the host's member objects report their
// attachment id this way), read when the identity is set; 0 otherwise.
#pragma once

#include <utility>
#include <vector>

#include "quorra/host/com.h"
#include "quorra/host/types.h"

namespace quorra::host {

// {9A05A40C-31A8-4442-96B7-FF84C9AAD8E9}
constexpr IID IID_IPersistIdentity = {0x9a05a40c, 0x31a8, 0x4442, {0x96, 0xb7, 0xff, 0x84, 0xc9, 0xaa, 0xd8, 0xe9}};

// Implemented by host objects that have a persistent id of their own.
struct IPersistIdentity : IUnknown {
  // Slots 0-2: QueryInterface, AddRef, Release (IUnknown).
  virtual DWORD GetPersistID() = 0;  // slot 3

 protected:
  ~IPersistIdentity() = default;
};

}  // namespace quorra::host

QUORRA_INTERFACE_ID(quorra::host::IPersistIdentity, quorra::host::IID_IPersistIdentity);

// A weak identity of a host object (see the top of this header). A value
// type: copies refer to the same object and compare equal.
class JIdentity {
 public:
  JIdentity() = default;
  explicit JIdentity(IUnknown* object) { SetObject(object); }
  JIdentity(const JIdentity& other);
  JIdentity(JIdentity&& other) noexcept;
  JIdentity& operator=(const JIdentity& other);
  JIdentity& operator=(JIdentity&& other) noexcept;
  ~JIdentity() { Clear(); }

  // Refers to `object` from now on; null clears. E_NOINTERFACE (identity
  // cleared) when the object does not answer IID_IUnknown.
  HRESULT SetObject(IUnknown* object);
  // The object's interface `iid`. E_POINTER for a null `out`; otherwise *out
  // is set (null on failure): E_FAIL when no object is set,
  // CO_E_OBJNOTCONNECTED when it has been destroyed, else the object's
  // QueryInterface result (E_NOINTERFACE, ...).
  HRESULT GetObjectW(REFIID iid, void** out) const;
  // The persist id read when the object was set; 0 when none.
  DWORD GetPersistID() const { return persistId_; }
  // Non-zero when an object was set (it may have been destroyed since).
  BOOL ObjectSet() const { return kind_ != Kind::kNone ? TRUE : FALSE; }
  // True when an object is set and still alive.
  bool IsAlive() const;
  void Clear();

  // The object serial; 0 when no object is set.
  DWORD GetSerial() const { return serial_; }

  friend bool operator==(const JIdentity& a, const JIdentity& b) {
    return a.serial_ == b.serial_ && a.persistId_ == b.persistId_;
  }
  friend bool operator!=(const JIdentity& a, const JIdentity& b) { return !(a == b); }

 protected:
  // Sets the object; with `keepAlive` the identity also holds a counted
  // reference to a ComObject (foreign objects are always held).
  HRESULT Set(IUnknown* object, bool keepAlive, const char* operation);
  bool KeepsAlive() const { return holdsReference_; }

 private:
  enum class Kind : BYTE { kNone, kComObject, kForeign };

  void TakeFrom(JIdentity& other);
  void ShareWith(const JIdentity& other);

  IUnknown* object_ = nullptr;  // canonical IUnknown of the object
  DWORD serial_ = 0;
  DWORD persistId_ = 0;
  Kind kind_ = Kind::kNone;
  bool holdsReference_ = false;
};

// A weak identity of a host document.
class JDocIdentity : public JIdentity {
 public:
  using JIdentity::JIdentity;
  HRESULT GetDocument(REFIID iid, void** out) const { return GetObjectW(iid, out); }
  BOOL DocumentSet() const { return ObjectSet(); }
  // The document's process-wide index: its object serial (0 when unset).
  DWORD GetDocumentIndex() const { return GetSerial(); }
};

// An identity that can also keep its object alive: SetObject with keepAlive
// TRUE holds a counted reference for as long as the identity refers to the
// object (as a holder of a service object needs); FALSE is the weak identity.
class JIdentityEx : public JIdentity {
 public:
  JIdentityEx() = default;
  explicit JIdentityEx(IUnknown* object, BOOL keepAlive = FALSE) { SetObject(object, keepAlive); }
  HRESULT SetObject(IUnknown* object, BOOL keepAlive = FALSE) {
    return Set(object, keepAlive != FALSE, "JIdentityEx::SetObject");
  }
  BOOL KeepsObjectAlive() const { return KeepsAlive() ? TRUE : FALSE; }
};

namespace quorra::host {

// The pair of 32-bit values an identity holds, object serial first, then
// persist id: a key for ordered sets of identities. (0, 0) when unset.
inline std::pair<DWORD, DWORD> IdentityKey(const JIdentity& identity) {
  return {identity.GetSerial(), identity.GetPersistID()};
}

}  // namespace quorra::host

// The host's roadmap: a sequence of 32-bit attachment ids in the order they
// were added.
//
// AddRoute(id, positionMarker) always appends. The position marker is kept
// beside its id (GetMarkerAt) for hosts that tag routes; the library passes
// 0. Markers take no part in comparison: two roadmaps are equal when they
// hold the same ids in the same order.
class JRoadmap {
 public:
  JRoadmap() = default;

  // S_OK, or E_OUTOFMEMORY (traced) with the roadmap unchanged.
  HRESULT AddRoute(DWORD id, DWORD positionMarker);

  DWORD GetCount() const { return static_cast<DWORD>(ids_.size()); }
  bool IsEmpty() const { return ids_.empty(); }
  // The id at `index`; 0xFFFFFFFF beyond the end.
  DWORD GetAt(DWORD index) const { return index < ids_.size() ? ids_[index] : 0xFFFFFFFFu; }
  // The position marker given with the id at `index`; 0 beyond the end.
  DWORD GetMarkerAt(DWORD index) const { return index < markers_.size() ? markers_[index] : 0; }
  // The ids, contiguous (null when empty).
  const DWORD* GetData() const { return ids_.empty() ? nullptr : ids_.data(); }

  void Clear() {
    ids_.clear();
    markers_.clear();
  }
  // Reverses the order of the routes (with their markers).
  void Reverse();

  // Shorter roadmaps order first; equal lengths compare id by id, as numbers.
  // Negative, 0 or positive.
  int Compare(const JRoadmap& other) const;
  friend bool operator==(const JRoadmap& a, const JRoadmap& b) { return a.ids_ == b.ids_; }
  friend bool operator!=(const JRoadmap& a, const JRoadmap& b) { return !(a == b); }
  friend bool operator<(const JRoadmap& a, const JRoadmap& b) { return a.Compare(b) < 0; }

 private:
  std::vector<DWORD> ids_;
  // Empty while every marker is 0; parallel to ids_ after the first non-zero one.
  std::vector<DWORD> markers_;
};
