// The host's scene graph, as far as this reference host has one: a scene
// with a range and an optional storage it is kept in, which saves itself into
// a storage and loads itself back. Scene population fills richer content in
// hosts that have it.
//
// Stream "Scene" (little-endian): u32 version (1), u32 and u32 the two words
// the caller passed to Save, f64 x 6 the range (low x, y, z, high x, y, z).
#pragma once

#include "quorra/host/geometry.h"
#include "quorra/host/storage.h"
#include "quorra/host/types.h"

class GScene {
 public:
  // (flags, storage object or null, host data, camera), as the host builds
  // scenes; the reference scene keeps the storage (a counted IUnknown).
  explicit GScene(DWORD flags = 0, void* storage = nullptr, void* data = nullptr, tagGCamera* camera = nullptr);
  ~GScene();
  GScene(const GScene&) = delete;
  GScene& operator=(const GScene&) = delete;

  DWORD GetFlags() const { return flags_; }
  // The object the scene is kept in (no reference added), or null.
  IUnknown* GetStorage() const { return storage_; }
  void SetStorage(IUnknown* storage);

  HRESULT SetRange(const tagGBox* box);
  const tagGBox& GetRange() const { return range_; }
  // The two words of the last Save or Load.
  DWORD GetSavedA() const { return a_; }
  DWORD GetSavedB() const { return b_; }

  // Writes or reads the "Scene" stream of `storage`. E_INVALIDARG for a
  // null storage; a stream that is short or of another version gives
  // STG_E_READFAULT or E_UNEXPECTED and leaves the scene unchanged.
  HRESULT Save(IStorage* storage, DWORD a, DWORD b);
  HRESULT Load(IStorage* storage, DWORD a, DWORD b);

 private:
  DWORD flags_;
  IUnknown* storage_ = nullptr;
  tagGBox range_;
  DWORD a_ = 0;
  DWORD b_ = 0;
};
