// Failures in words a user can follow: every result code the library and the
// host return, by name and in plain words, and what is wrong with a file
// given as a document before anything tries to read it.
#pragma once

#include <string>

#include "quorra/host/types.h"

namespace quorra::refhost {

// The code's name, or "" for a code without one.
const char* ResultName(HRESULT hr);

// Plain words and the name: "the file is damaged (STG_E_DOCFILECORRUPT)".
// A code without a name reads "failed with 0x8004CAFE".
std::string DescribeResult(HRESULT hr);

// What stops `path` ("file" or "file|Member") from being read as a document,
// or "" when it is a readable compound file of a known document type:
// "no such file", "is a directory", "permission denied", "the file is empty",
// "unsupported document type: .txt", "not a compound file", "the file is
// truncated", or a DescribeResult text for any other failure to open it.
// `forKind` false skips the document type check (any compound file will do).
std::string DescribeFileProblem(const std::string& path, bool forKind = true);

}  // namespace quorra::refhost
