// The host's document services: sub-storage components in file names,
// document families, and the path search.
//
// Sub-storage components. A file name may name a storage inside a document
// by appending '|' and the storage's name: "C:\dir\family.par|Member1".
// '|' cannot appear in a Windows file name, so the first one always starts
// the component. The component is one element name of the document's root
// (1 to 31 characters). The component "Master" U+0001 names the document
// itself (a family's master): opening such a name opens the whole document.
// JStgOpenStorage opens a name with any other component as that sub-storage,
// read-only (a mode with write access or STGM_CREATE is refused with
// STG_E_INVALIDFLAG); the document stays open for as long as the sub-storage
// is held.
//
// Family documents. A family document holds one complete document per member,
// each in a sub-storage of the root named after the member, and a
// "FamilyInfo" stream that lists the members and names the seed:
//   4 bytes  "QFAM"
//   u32      version (1)
//   u32      member count (1 to 4096)
//   u32      index of the seed member (below the count)
//   per member: u16 name length in UTF-16 units (1 to 31), the UTF-16LE name
// All integers little-endian; nothing follows the last member.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quorra/host/storage.h"

// The character that starts a sub-storage component in a file name.
constexpr wchar_t SUBSTORAGE_COMPONENT_SEPARATOR = L'|';
// The family's stream and its signature.
constexpr const wchar_t* FAMILY_INFO_STREAM = L"FamilyInfo";
constexpr DWORD FAMILY_INFO_VERSION = 1;
// Longest member name (an element name) and the buffer that holds one.
constexpr DWORD FAMILY_MEMBER_NAME_MAX = 31;

// Last-error values set by SearchPathW.
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;

extern "C" {

// Copies the component of `fileName` (the text after the first '|') into
// `component`, which holds `capacity` units with the terminator. S_OK when
// there is one; S_FALSE and "" when there is none (also for a '|' with
// nothing after it); E_POINTER for null pointers; E_INVALIDARG (traced) when
// the component does not fit, leaving "".
HRESULT GetSubstorageComponentFromFileName(const wchar_t* fileName, wchar_t* component, DWORD capacity);

// Cuts the component (and its '|') off `fileName` in place. S_OK when one was
// removed, S_FALSE when there was none, E_POINTER for null.
HRESULT RemoveSubstorageComponentFromFileName(wchar_t* fileName);

// TRUE when the storage's root holds a valid "FamilyInfo" stream.
BOOL IsFileFamilyByStorage(IStorage* storage);

// Copies the seed member's name into `seedName` (`capacity` units with the
// terminator; 32 holds every name). E_POINTER, E_INVALIDARG for a buffer too
// small, STG_E_FILENOTFOUND when the storage is no family,
// STG_E_DOCFILECORRUPT for a damaged "FamilyInfo"; all traced.
HRESULT GetFamilySeedNameByStorage(IStorage* storage, wchar_t* seedName, DWORD capacity);

// Looks for `fileName` and writes its full path into `buffer`. Returns the
// length written (without the terminator); when `bufferLength` is too small,
// the length needed with the terminator and nothing is written; 0 when the
// file is not found (last error ERROR_FILE_NOT_FOUND) or for bad arguments
// (ERROR_INVALID_PARAMETER). `*filePart`, when asked for, points at the
// base name inside `buffer`.
//
// `path` is a list of directories separated by ';' (null or empty: the
// current directory). `extension` (".par") is appended when the name's base
// name has no extension. A name with a directory (absolute, or relative with
// a separator) is tried as given; a name without one is tried in each
// directory in order. A Windows-style name (a drive letter or a '\') that is
// not found as given is then looked for by its base name in each directory,
// so documents written on Windows find their children here. A sub-storage
// component is not searched for: it is carried over to the result.
// Relative results are made absolute against the current directory.
// When the list ends with the current directory ("."), the host's extra
// search directories (quorra::host::SetExtraSearchDirectories) are searched
// after it: the name as given when relative, then its base name.
DWORD SearchPathW(LPCWSTR path, LPCWSTR fileName, LPCWSTR extension, DWORD bufferLength, LPWSTR buffer,
                  LPWSTR* filePart);

}  // extern "C"

// Late-bound document functions of the host modules, as the library calls
// them (quorra::host::LateBoundFunction<...Signature>).
//
// "GetFamilyMemberStorage" of "hawser.dll": opens the member `memberName` of
// the family document whose root is `family`, with `mode` (the loaders pass
// STGM_PRIORITY), and hands out its storage. E_POINTER for null pointers,
// E_INVALIDARG when `family` is no family or `memberName` none of its members,
// else the storage open's result.
using GetFamilyMemberStorageSignature = HRESULT(IStorage* family, const wchar_t* memberName, DWORD mode,
                                                IStorage** member);
using GetFamilyMemberStorageFunction = GetFamilyMemberStorageSignature*;
// "JMGetPreviewBodyCacheId" of "gimbal.dll": the cache id of the preview body
// of the part document at `path` (a sub-storage component is honoured), 0
// when the document has none or cannot be read.
using JMGetPreviewBodyCacheIdSignature = DWORD(const wchar_t* path);
using JMGetPreviewBodyCacheIdFunction = JMGetPreviewBodyCacheIdSignature*;

namespace quorra::host {

// The members of a family document in stored order, and the seed's index.
// STG_E_FILENOTFOUND when the storage is no family, STG_E_DOCFILECORRUPT for
// a damaged "FamilyInfo" (not traced: callers probe with it).
HRESULT GetFamilyMembers(IStorage* storage, std::vector<std::wstring>* members, DWORD* seed);

// Splits a file name at its first '|': the file part and the component ("" when
// there is none).
void SplitSubstorageComponent(std::wstring_view fileName, std::wstring_view* file, std::wstring_view* component);

// True for the component "Master" U+0001, which names the document itself.
bool IsMasterComponent(std::wstring_view component);

// Replaces the host's extra search directories (UTF-8 paths), which
// SearchPathW looks in after a list that ends with the current directory.
// Set them before loading; an empty list removes them.
void SetExtraSearchDirectories(const std::vector<std::string>& directories);

// Opens the document part of `fileName` and then its component's sub-storage
// (JStgOpenStorage's work for a name with a component). The sub-storage
// handed out keeps the document open.
HRESULT OpenSubstorageComponent(const wchar_t* fileName, DWORD mode, SNB exclude, IStorage** out);

}  // namespace quorra::host
