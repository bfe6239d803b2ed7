// Structured storage interfaces: storages (folders) and streams (files) inside
// a compound file, with their Windows flag values and method order.
#pragma once

#include "quorra/host/types.h"

// Access and sharing modes.
constexpr DWORD STGM_READ = 0x00000000;
constexpr DWORD STGM_WRITE = 0x00000001;
constexpr DWORD STGM_READWRITE = 0x00000002;
constexpr DWORD STGM_SHARE_DENY_NONE = 0x00000040;
constexpr DWORD STGM_SHARE_DENY_READ = 0x00000030;
constexpr DWORD STGM_SHARE_DENY_WRITE = 0x00000020;
constexpr DWORD STGM_SHARE_EXCLUSIVE = 0x00000010;
constexpr DWORD STGM_PRIORITY = 0x00040000;
// Creation and transaction modes.
constexpr DWORD STGM_CREATE = 0x00001000;
constexpr DWORD STGM_CONVERT = 0x00020000;
constexpr DWORD STGM_FAILIFTHERE = 0x00000000;
constexpr DWORD STGM_DIRECT = 0x00000000;
constexpr DWORD STGM_TRANSACTED = 0x00010000;
constexpr DWORD STGM_NOSCRATCH = 0x00100000;
constexpr DWORD STGM_NOSNAPSHOT = 0x00200000;
constexpr DWORD STGM_SIMPLE = 0x08000000;
constexpr DWORD STGM_DIRECT_SWMR = 0x00400000;
constexpr DWORD STGM_DELETEONRELEASE = 0x04000000;

// Element types of STATSTG::type.
constexpr DWORD STGTY_STORAGE = 1;
constexpr DWORD STGTY_STREAM = 2;
constexpr DWORD STGTY_LOCKBYTES = 3;
constexpr DWORD STGTY_PROPERTY = 4;

// Seek origins.
constexpr DWORD STREAM_SEEK_SET = 0;
constexpr DWORD STREAM_SEEK_CUR = 1;
constexpr DWORD STREAM_SEEK_END = 2;

// Commit flags.
constexpr DWORD STGC_DEFAULT = 0;
constexpr DWORD STGC_OVERWRITE = 1;
constexpr DWORD STGC_ONLYIFCURRENT = 2;
constexpr DWORD STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4;

// MoveElementTo flags.
constexpr DWORD STGMOVE_MOVE = 0;
constexpr DWORD STGMOVE_COPY = 1;

// Stat flags.
constexpr DWORD STATFLAG_DEFAULT = 0;
constexpr DWORD STATFLAG_NONAME = 1;

constexpr IID IID_ISequentialStream = {0x0c733a30, 0x2a1c, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};
constexpr IID IID_IStream = {0x0000000c, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IStorage = {0x0000000b, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IEnumSTATSTG = {0x0000000d, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Description of one element. `pwcsName` is allocated with CoTaskMemAlloc and
// freed by the caller with CoTaskMemFree (null with STATFLAG_NONAME).
struct STATSTG {
  wchar_t* pwcsName;
  DWORD type;
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
};

extern "C" {
void* CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(void* p);
}

struct ISequentialStream : IUnknown {
  virtual HRESULT Read(void* buffer, ULONG count, ULONG* read) = 0;            // slot 3
  virtual HRESULT Write(const void* buffer, ULONG count, ULONG* written) = 0;  // slot 4

 protected:
  ~ISequentialStream() = default;
};

struct IStream : ISequentialStream {
  virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) = 0;  // slot 5
  virtual HRESULT SetSize(ULARGE_INTEGER newSize) = 0;                                       // slot 6
  virtual HRESULT CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                         ULARGE_INTEGER* written) = 0;  // slot 7
  virtual HRESULT Commit(DWORD flags) = 0;              // slot 8
  virtual HRESULT Revert() = 0;                         // slot 9
  virtual HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD lockType) = 0;    // slot 10
  virtual HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD lockType) = 0;  // slot 11
  virtual HRESULT Stat(STATSTG* stat, DWORD flags) = 0;                                          // slot 12
  virtual HRESULT Clone(IStream** out) = 0;                                                      // slot 13

 protected:
  ~IStream() = default;
};

struct IEnumSTATSTG : IUnknown {
  virtual HRESULT Next(ULONG count, STATSTG* elements, ULONG* fetched) = 0;  // slot 3
  virtual HRESULT Skip(ULONG count) = 0;                                     // slot 4
  virtual HRESULT Reset() = 0;                                               // slot 5
  virtual HRESULT Clone(IEnumSTATSTG** out) = 0;                             // slot 6

 protected:
  ~IEnumSTATSTG() = default;
};

using SNB = wchar_t**;

struct IStorage : IUnknown {
  virtual HRESULT CreateStream(const wchar_t* name, DWORD mode, DWORD reserved1, DWORD reserved2,
                               IStream** out) = 0;  // slot 3
  virtual HRESULT OpenStream(const wchar_t* name, void* reserved1, DWORD mode, DWORD reserved2,
                             IStream** out) = 0;  // slot 4
  virtual HRESULT CreateStorage(const wchar_t* name, DWORD mode, DWORD reserved1, DWORD reserved2,
                                IStorage** out) = 0;  // slot 5
  virtual HRESULT OpenStorage(const wchar_t* name, IStorage* priority, DWORD mode, SNB exclude, DWORD reserved,
                              IStorage** out) = 0;  // slot 6
  virtual HRESULT CopyTo(DWORD excludeCount, const IID* excludeIids, SNB exclude,
                         IStorage* target) = 0;  // slot 7
  virtual HRESULT MoveElementTo(const wchar_t* name, IStorage* target, const wchar_t* newName,
                                DWORD flags) = 0;                                              // slot 8
  virtual HRESULT Commit(DWORD flags) = 0;                                                     // slot 9
  virtual HRESULT Revert() = 0;                                                                // slot 10
  virtual HRESULT EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** out) = 0;  // slot 11
  virtual HRESULT DestroyElement(const wchar_t* name) = 0;                                     // slot 12
  virtual HRESULT RenameElement(const wchar_t* oldName, const wchar_t* newName) = 0;           // slot 13
  virtual HRESULT SetElementTimes(const wchar_t* name, const FILETIME* ctime, const FILETIME* atime,
                                  const FILETIME* mtime) = 0;  // slot 14
  virtual HRESULT SetClass(REFCLSID clsid) = 0;                // slot 15
  virtual HRESULT SetStateBits(DWORD bits, DWORD mask) = 0;    // slot 16
  virtual HRESULT Stat(STATSTG* stat, DWORD flags) = 0;        // slot 17

 protected:
  ~IStorage() = default;
};
