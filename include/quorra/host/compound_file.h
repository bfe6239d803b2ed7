// Opening and creating structured storages: OLE compound files on disk
// (version 3 written, versions 3 and 4 read), storages and streams held in
// memory, and the host's storage open.
//
// How a document behaves:
// - An open reads and checks the file's whole structure; a damaged file fails
//   with a STG_E_* code (STG_E_FILEALREADYEXISTS: not a compound file,
//   STG_E_INVALIDHEADER, STG_E_DOCFILECORRUPT). Stream data is read from the
//   file when asked for.
// - Changes are held in memory. Committing the root writes a complete new
//   file beside the old one, flushes it to disk and renames it over the old
//   one, so a crash never leaves a half-written document. A direct-mode root
//   commits when it is released; a transacted root (STGM_TRANSACTED) only on
//   Commit, and Revert drops what was not committed. Commit on any other
//   storage or on a stream does nothing: the root's commit covers them.
// - Access is enforced (writing through a read-only open gives
//   STG_E_ACCESSDENIED); sharing modes are recorded, not enforced.
// - Releasing the root ends the document: elements still open answer
//   STG_E_REVERTED, as do elements destroyed, replaced or reverted.
#pragma once

#include <cstddef>
#include <vector>

#include "quorra/host/storage.h"

extern "C" {

// Creates a compound file. Without STGM_CREATE an existing file gives
// STG_E_FILEALREADYEXISTS; with it, the file is replaced (at the first
// commit, atomically). The mode must include write access.
HRESULT StgCreateDocfile(const wchar_t* name, DWORD mode, DWORD reserved, IStorage** out);

// Opens a compound file. `priority` is not used; `exclude` names root
// elements to present as empty.
HRESULT StgOpenStorage(const wchar_t* name, IStorage* priority, DWORD mode, SNB exclude, DWORD reserved,
                       IStorage** out);

// S_OK for a compound file, S_FALSE for any other file, STG_E_FILENOTFOUND.
HRESULT StgIsStorageFile(const wchar_t* name);

// The host's storage open: StgOpenStorage with a trailing flag that is
// accepted and not used. A mode with STGM_CREATE creates the file as
// StgCreateDocfile does. A name with a sub-storage component
// ("file.par|Member", see documents.h) opens that sub-storage of the
// document, read-only; the component "Master" U+0001 opens the document.
HRESULT JStgOpenStorage(const wchar_t* name, IStorage* priority, DWORD mode, SNB exclude, DWORD reserved,
                        IStorage** out, DWORD flag);

}  // extern "C"

namespace quorra::host {

// An empty storage held in memory (read-write; Commit does nothing).
HRESULT CreateMemoryStorage(IStorage** out);

// A standalone read-write stream over a growable buffer, empty or holding a
// copy of `size` bytes at `data`. Its Stat reports no name.
HRESULT CreateMemoryStream(IStream** out);
HRESULT CreateMemoryStreamOnBytes(const void* data, size_t size, IStream** out);

// The whole content of a stream, from its start; the seek position is kept.
HRESULT ReadStreamBytes(IStream* stream, std::vector<BYTE>* out);

// Opens compound-file bytes held in memory (a copy is taken). Changes stay in
// memory; SaveStorageToBytes gives them back as a file image.
HRESULT OpenStorageOnBytes(const void* data, size_t size, DWORD mode, IStorage** out);

// Writes a storage and everything below it as a version-3 compound file image.
HRESULT SaveStorageToBytes(IStorage* storage, std::vector<BYTE>* out);

}  // namespace quorra::host
