// Persisted monikers: the links an assembly document keeps to its child
// documents. File, item and composite monikers in their standard persisted
// forms can be loaded from and saved to a stream; any other class fails
// cleanly. Only what the library uses of the system's moniker interface is
// declared; each method keeps the system's slot number.
#pragma once

#include "quorra/host/storage.h"

constexpr IID IID_IPersist = {0x0000010c, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IPersistStream = {0x00000109, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IMoniker = {0x0000000f, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr CLSID CLSID_FileMoniker = {0x00000303, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr CLSID CLSID_ItemMoniker = {0x00000304, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr CLSID CLSID_CompositeMoniker = {0x00000309,
                                          0x0000,
                                          0x0000,
                                          {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Kinds answered by IMoniker::IsSystemMoniker.
constexpr DWORD MKSYS_NONE = 0;
constexpr DWORD MKSYS_GENERICCOMPOSITE = 1;
constexpr DWORD MKSYS_FILEMONIKER = 2;
constexpr DWORD MKSYS_ITEMMONIKER = 4;

struct IPersist : IUnknown {
  virtual HRESULT GetClassID(CLSID* clsid) = 0;  // slot 3

 protected:
  ~IPersist() = default;
};

struct IPersistStream : IPersist {
  virtual HRESULT IsDirty() = 0;                                // slot 4
  virtual HRESULT Load(IStream* stream) = 0;                    // slot 5
  virtual HRESULT Save(IStream* stream, BOOL clearDirty) = 0;   // slot 6
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* size) = 0;         // slot 7

 protected:
  ~IPersistStream() = default;
};

struct IMoniker : IPersistStream {
  // The readable name: a file moniker's path, an item moniker's delimiter and
  // item, a composite's parts in order. `bindContext` and `left` are not
  // used; `*name` is allocated with CoTaskMemAlloc.
  virtual HRESULT GetDisplayName(void* bindContext, IMoniker* left, wchar_t** name) = 0;  // slot 20
  virtual HRESULT IsSystemMoniker(DWORD* kind) = 0;                                       // slot 22

 protected:
  ~IMoniker() = default;
};

extern "C" {

// Reads a class id, then the object's persisted data, and hands out `iid`
// of the loaded object. Classes other than the three monikers give
// REGDB_E_CLASSNOTREG; malformed data STG_E_DOCFILECORRUPT; a short stream
// STG_E_READFAULT.
HRESULT OleLoadFromStream(IStream* stream, REFIID iid, void** out);
// Writes the object's class id, then its persisted data.
HRESULT OleSaveToStream(IPersistStream* object, IStream* stream);

HRESULT ReadClassStm(IStream* stream, CLSID* clsid);
HRESULT WriteClassStm(IStream* stream, REFCLSID clsid);

HRESULT CreateFileMoniker(const wchar_t* path, IMoniker** out);
HRESULT CreateItemMoniker(const wchar_t* delimiter, const wchar_t* item, IMoniker** out);
// Composes two monikers; composites are flattened and a null side gives the
// other one.
HRESULT CreateGenericComposite(IMoniker* first, IMoniker* rest, IMoniker** out);

}  // extern "C"
