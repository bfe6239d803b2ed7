// OLE automation strings (BSTR): a counted string whose byte length lies in
// the four bytes before the text and which ends with a two-byte zero, so it
// can hold any bytes (a "byte string") as well as UTF-16 text.
#pragma once

#include "quorra/host/types.h"

using OLECHAR = char16_t;
using BSTR = OLECHAR*;

extern "C" {

// A string of `length` bytes copied from `bytes` (left uninitialised when
// `bytes` is null), followed by a two-byte zero. Null when memory runs out.
BSTR SysAllocStringByteLen(const char* bytes, UINT length);
// Frees a string made by SysAllocStringByteLen; null is ignored.
void SysFreeString(BSTR text);
// The byte length stored with the string; 0 for null.
UINT SysStringByteLen(BSTR text);

}  // extern "C"
