// Result codes and file problems in plain words.
#include "quorra/refhost/describe.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/attachments_reader.h"
#include "quorra/host/com.h"
#include "quorra/host/compound_file.h"
#include "quorra/host/text.h"
#include "quorra/load.h"

namespace quorra::refhost {
namespace {

struct KnownResult {
  HRESULT code;
  const char* name;
  const char* words;
};

constexpr KnownResult kKnownResults[] = {
    {S_OK, "S_OK", "succeeded"},
    {S_FALSE, "S_FALSE", "did nothing"},
    {LOAD_S_NOT_LOADED, "LOAD_S_NOT_LOADED", "the document was not loaded"},
    {JPROGRESS_CONTINUE, "JPROGRESS_CONTINUE", "continue"},
    {E_NOTIMPL, "E_NOTIMPL", "not implemented"},
    {E_NOINTERFACE, "E_NOINTERFACE", "the object does not offer that interface"},
    {E_POINTER, "E_POINTER", "a required pointer was null"},
    {E_ABORT, "E_ABORT", "stopped"},
    {E_FAIL, "E_FAIL", "failed"},
    {E_UNEXPECTED, "E_UNEXPECTED", "an unexpected failure"},
    {E_ACCESSDENIED, "E_ACCESSDENIED", "permission denied"},
    {E_HANDLE, "E_HANDLE", "an invalid handle"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY", "out of memory"},
    {E_INVALIDARG, "E_INVALIDARG", "an invalid argument"},
    {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION", "the class cannot be aggregated"},
    {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE", "the class is not available"},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG", "the class is not registered"},
    {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND", "no such member"},
    {STG_E_INVALIDFUNCTION, "STG_E_INVALIDFUNCTION", "the operation is not possible here"},
    {STG_E_FILENOTFOUND, "STG_E_FILENOTFOUND", "no such file or element"},
    {STG_E_PATHNOTFOUND, "STG_E_PATHNOTFOUND", "no such directory"},
    {STG_E_TOOMANYOPENFILES, "STG_E_TOOMANYOPENFILES", "too many open files"},
    {STG_E_ACCESSDENIED, "STG_E_ACCESSDENIED", "permission denied"},
    {STG_E_INVALIDHANDLE, "STG_E_INVALIDHANDLE", "an invalid handle"},
    {STG_E_INSUFFICIENTMEMORY, "STG_E_INSUFFICIENTMEMORY", "out of memory"},
    {STG_E_INVALIDPOINTER, "STG_E_INVALIDPOINTER", "a required pointer was null"},
    {STG_E_NOMOREFILES, "STG_E_NOMOREFILES", "no more elements"},
    {STG_E_WRITEFAULT, "STG_E_WRITEFAULT", "the file could not be written"},
    {STG_E_READFAULT, "STG_E_READFAULT", "the data ends early"},
    {STG_E_SHAREVIOLATION, "STG_E_SHAREVIOLATION", "the element is already open"},
    {STG_E_LOCKVIOLATION, "STG_E_LOCKVIOLATION", "the file is locked"},
    {STG_E_FILEALREADYEXISTS, "STG_E_FILEALREADYEXISTS", "not a compound file"},
    {STG_E_INVALIDPARAMETER, "STG_E_INVALIDPARAMETER", "an invalid argument"},
    {STG_E_MEDIUMFULL, "STG_E_MEDIUMFULL", "the disk is full"},
    {STG_E_INVALIDNAME, "STG_E_INVALIDNAME", "an invalid element name"},
    {STG_E_INVALIDHEADER, "STG_E_INVALIDHEADER", "not a compound file"},
    {STG_E_UNKNOWN, "STG_E_UNKNOWN", "an unknown storage failure"},
    {STG_E_UNIMPLEMENTEDFUNCTION, "STG_E_UNIMPLEMENTEDFUNCTION", "not implemented"},
    {STG_E_INVALIDFLAG, "STG_E_INVALIDFLAG", "an invalid open mode"},
    {STG_E_REVERTED, "STG_E_REVERTED", "the element was reverted"},
    {STG_E_CANTSAVE, "STG_E_CANTSAVE", "the file could not be saved"},
    {STG_E_OLDFORMAT, "STG_E_OLDFORMAT", "an old file format"},
    {STG_E_OLDDLL, "STG_E_OLDDLL", "an old storage implementation"},
    {STG_E_SHAREREQUIRED, "STG_E_SHAREREQUIRED", "a share mode is required"},
    {STG_E_NOTFILEBASEDSTORAGE, "STG_E_NOTFILEBASEDSTORAGE", "not a file-based storage"},
    {STG_E_EXTANTMARSHALLINGS, "STG_E_EXTANTMARSHALLINGS", "the storage is still in use"},
    {STG_E_DOCFILECORRUPT, "STG_E_DOCFILECORRUPT", "the file is damaged"},
    {RPC_E_CHANGED_MODE, "RPC_E_CHANGED_MODE", "the thread's COM mode cannot change"},
    {CO_E_OBJNOTCONNECTED, "CO_E_OBJNOTCONNECTED", "the object is not connected"},
};

const KnownResult* FindResult(HRESULT hr) {
  for (const KnownResult& known : kKnownResults)
    if (known.code == hr) return &known;
  return nullptr;
}

constexpr unsigned char kCompoundFileSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t kCompoundHeaderBytes = 512;

// True when the file starts as a compound file but ends inside a sector: the
// header's sector size does not divide its length (or the header itself is
// cut short).
bool LooksTruncated(const std::string& file, long long size) {
  FILE* in = std::fopen(file.c_str(), "rb");
  if (!in) return false;
  unsigned char header[kCompoundHeaderBytes];
  const size_t got = std::fread(header, 1, sizeof header, in);
  std::fclose(in);
  if (got < sizeof kCompoundFileSignature || std::memcmp(header, kCompoundFileSignature, 8) != 0) return false;
  if (got < kCompoundHeaderBytes) return true;
  const unsigned shift = header[30] | (header[31] << 8);
  if (shift != 9 && shift != 12) return false;
  const long long sector = 1LL << shift;
  return size < sector || size % sector != 0;
}

}  // namespace

const char* ResultName(HRESULT hr) {
  const KnownResult* known = FindResult(hr);
  return known ? known->name : "";
}

std::string DescribeResult(HRESULT hr) {
  if (const KnownResult* known = FindResult(hr)) return std::string(known->words) + " (" + known->name + ")";
  char text[40];
  std::snprintf(text, sizeof text, "failed with 0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string DescribeFileProblem(const std::string& path, bool forKind) {
  const std::string file = path.substr(0, path.find('|'));
  struct stat info;
  if (::stat(file.c_str(), &info) != 0) {
    if (errno == EACCES) return "permission denied";
    return errno == ENOTDIR || errno == ENOENT ? "no such file" : std::strerror(errno);
  }
  if (S_ISDIR(info.st_mode)) return "is a directory";
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  if (forKind) {
    const std::wstring wide = host::FromUtf8(file);
    if (quorra::load::ClassifyDocument(wide) == quorra::load::DocumentKind::kUnknown) {
      const size_t dot = file.rfind('.');
      const size_t slash = file.rfind('/');
      const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
      return hasExtension ? "unsupported document type: " + file.substr(dot)
                          : std::string("unsupported document type: no extension");
    }
  }
  if (::access(file.c_str(), R_OK) != 0) return "permission denied";
  if (info.st_size == 0) return "the file is empty";
  if (LooksTruncated(file, info.st_size)) return "the file is truncated";
  host::ComPtr<IStorage> storage;
  const HRESULT hr = StgOpenStorage(host::FromUtf8(file).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr,
                                    0, storage.Put());
  if (hr == STG_E_FILEALREADYEXISTS || hr == STG_E_INVALIDHEADER) return "not a compound file";
  if (FAILED(hr)) return DescribeResult(hr);
  return {};
}

}  // namespace quorra::refhost
