// Compound files on disk: opening and creating documents, and the commit that
// replaces a document atomically (write a new file beside it, flush, rename).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/cfb_format.h"
#include "host/fault_injection.h"
#include "host/storage_model.h"
#include "host/storage_text.h"
#include "quorra/host/compound_file.h"
#include "quorra/host/documents.h"
#include "quorra/host/trace.h"

namespace quorra::host::storage {

namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/host/storage";

HRESULT FromErrno(int error, HRESULT otherwise) {
  switch (error) {
    case ENOENT: return STG_E_FILENOTFOUND;
    case ENOTDIR:
    case ENAMETOOLONG: return STG_E_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return STG_E_ACCESSDENIED;
    case EMFILE:
    case ENFILE: return STG_E_TOOMANYOPENFILES;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return STG_E_MEDIUMFULL;
    case ENOMEM: return STG_E_INSUFFICIENTMEMORY;
    default: return otherwise;
  }
}

class FileSource final : public ByteSource {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { ::close(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  uint64_t Size() const override { return size_; }

  HRESULT ReadAt(uint64_t offset, void* buffer, size_t count) const override {
    if (quorra::StorageCallFails()) return STG_E_READFAULT;
    auto* out = static_cast<uint8_t*>(buffer);
    while (count > 0) {
      ssize_t n = ::pread(fd_, out, count, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return STG_E_READFAULT;
      out += n;
      offset += static_cast<uint64_t>(n);
      count -= static_cast<size_t>(n);
    }
    return S_OK;
  }

 private:
  int fd_;
  uint64_t size_;
};

class FileSink final : public ByteSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  HRESULT Write(const void* data, size_t count) override {
    if (quorra::StorageCallFails()) return STG_E_WRITEFAULT;
    auto* in = static_cast<const uint8_t*>(data);
    while (count > 0) {
      ssize_t n = ::write(fd_, in, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return FromErrno(n < 0 ? errno : ENOSPC, STG_E_WRITEFAULT);
      in += n;
      count -= static_cast<size_t>(n);
      written_ += static_cast<uint64_t>(n);
    }
    return S_OK;
  }
  uint64_t Written() const { return written_; }

 private:
  int fd_;
  uint64_t written_ = 0;
};

class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(std::vector<BYTE>* out) : out_(out) {}
  HRESULT Write(const void* data, size_t count) override {
    auto* in = static_cast<const BYTE*>(data);
    try {
      out_->insert(out_->end(), in, in + count);
    } catch (const std::exception&) {
      return STG_E_INSUFFICIENTMEMORY;
    }
    return S_OK;
  }

 private:
  std::vector<BYTE>* out_;
};

// Files up to this size are read whole when opened: one read instead of one
// per header, allocation table, directory and stream sector run. A load
// opens thousands of small part documents.
constexpr uint64_t kReadWholeBytes = 256 * 1024;

HRESULT OpenFileSource(const std::string& path, std::shared_ptr<ByteSource>* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno, STG_E_READFAULT);
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return STG_E_ACCESSDENIED;
  }
  auto file = std::make_shared<FileSource>(fd, static_cast<uint64_t>(info.st_size));
  if (file->Size() > kReadWholeBytes) {
    *out = std::move(file);
    return S_OK;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(file->Size()));
  HRESULT hr = file->ReadAt(0, bytes.data(), bytes.size());
  if (FAILED(hr)) return hr;
  *out = MakeMemorySource(std::move(bytes));
  return S_OK;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncDirectory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

// Writes `root` into a new file beside `path` and renames it over `path`.
// On success the streams are re-pointed at the new file and `*source` is it.
HRESULT ReplaceFile(const std::string& path, ElementNode& root, bool flushToDisk,
                    std::shared_ptr<ByteSource>* source) {
  std::string temporary = path + ".tmp-XXXXXX";
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return FromErrno(errno, STG_E_WRITEFAULT);
  // The new file keeps the permissions of the one it replaces.
  struct stat existing;
  if (::stat(path.c_str(), &existing) == 0) ::fchmod(fd, existing.st_mode & 07777);

  std::vector<StreamPlacement> placements;
  FileSink sink(fd);
  HRESULT hr = WriteCompoundFile(root, sink, &placements);
  if (SUCCEEDED(hr) && flushToDisk && ::fsync(fd) != 0) hr = FromErrno(errno, STG_E_WRITEFAULT);
  if (SUCCEEDED(hr) && quorra::StorageCallFails()) hr = STG_E_WRITEFAULT;
  if (SUCCEEDED(hr) && ::rename(temporary.c_str(), path.c_str()) != 0) hr = FromErrno(errno, STG_E_WRITEFAULT);
  if (FAILED(hr)) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return hr;
  }
  if (flushToDisk) SyncDirectory(DirectoryOf(path));

  auto written = std::make_shared<FileSource>(fd, sink.Written());
  for (const StreamPlacement& placed : placements) {
    uint64_t size = placed.node->content.Size();
    placed.node->content.SetFileBacked(written, {{0, placed.fileOffset, size}}, size);
  }
  *source = std::move(written);
  return S_OK;
}

// Excluded root elements are presented as empty.
void ApplyExclusions(ElementNode& root, SNB exclude) {
  for (SNB name = exclude; name && *name; ++name) {
    std::u16string key;
    if (FAILED(ConvertElementName(*name, false, &key))) continue;
    ptrdiff_t at = root.FindChild(key);
    if (at < 0) continue;
    ElementNode& element = *root.children[static_cast<size_t>(at)];
    element.content.Clear();
    element.children.clear();
  }
}

HRESULT OpenDocument(const wchar_t* name, DWORD mode, SNB exclude, DWORD reserved, IStorage** out) {
  if (!out) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  if (!name || !*name) return STG_E_INVALIDNAME;
  if (reserved) return STG_E_INVALIDPARAMETER;
  HRESULT hr = ValidateMode(mode, false);
  if (FAILED(hr)) return hr;
  if (mode & STGM_DELETEONRELEASE) return STG_E_INVALIDFUNCTION;
  auto document = std::make_shared<Document>();
  document->path = WidePathToUtf8(name);
  document->displayPath = name;
  document->mode = mode;
  hr = OpenFileSource(document->path, &document->source);
  if (SUCCEEDED(hr)) hr = ReadCompoundFile(document->source, &document->root, nullptr);
  if (FAILED(hr)) return hr;
  ApplyExclusions(*document->root, exclude);
  return NewStorageObject(std::move(document), nullptr, mode, true, out);
}

HRESULT CreateDocument(const wchar_t* name, DWORD mode, DWORD reserved, IStorage** out) {
  if (!out) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  if (!name || !*name) return STG_E_INVALIDNAME;
  if (reserved) return STG_E_INVALIDPARAMETER;
  HRESULT hr = ValidateMode(mode, true);
  if (FAILED(hr)) return hr;
  if ((mode & 3) == STGM_READ || (mode & STGM_CONVERT)) return STG_E_INVALIDFLAG;
  auto document = std::make_shared<Document>();
  document->path = WidePathToUtf8(name);
  document->displayPath = name;
  document->mode = mode & ~STGM_CREATE;
  document->deleteOnRelease = (mode & STGM_DELETEONRELEASE) != 0;
  document->root = NewRootNode();
  document->root->mtime = CurrentFileTime();

  // Claim the name at once: an existing file is only replaced with
  // STGM_CREATE, and then atomically by the first commit below.
  bool createdHere = false;
  int fd = ::open(document->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    ::close(fd);
    createdHere = true;
  } else if (errno == EEXIST) {
    if (!(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
    struct stat info;
    if (::stat(document->path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return STG_E_ACCESSDENIED;
  } else {
    // A missing file here means a missing directory.
    return errno == ENOENT ? STG_E_PATHNOTFOUND : FromErrno(errno, STG_E_WRITEFAULT);
  }
  document->dirty = true;
  // A file made just now holds nothing worth flushing to disk yet.
  hr = document->Commit(createdHere ? STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE : STGC_DEFAULT);
  if (FAILED(hr)) {
    if (createdHere) ::unlink(document->path.c_str());
    return hr;
  }
  return NewStorageObject(std::move(document), nullptr, mode & ~STGM_CREATE, true, out);
}

}  // namespace

HRESULT Document::Commit(DWORD flags) {
  if (closed) return STG_E_REVERTED;
  if (!Writable() || !dirty) return S_OK;
  if (path.empty()) {
    dirty = false;
    return S_OK;
  }
  HRESULT hr;
  try {
    hr = ReplaceFile(path, *root, !(flags & STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE), &source);
  } catch (const std::exception&) {
    hr = STG_E_INSUFFICIENTMEMORY;  // the tree still reads from the files it did
  }
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "CompoundFile::Commit");
  dirty = false;
  return S_OK;
}

HRESULT Document::Revert() {
  if (closed) return STG_E_REVERTED;
  if (!source) return S_OK;
  std::shared_ptr<ElementNode> fresh;
  HRESULT hr = ReadCompoundFile(source, &fresh, nullptr);
  if (FAILED(hr)) return hr;
  DetachTree(*root);
  root = std::move(fresh);
  dirty = false;
  return S_OK;
}

void Document::Close() {
  if (closed) return;
  if (!Transacted()) Commit(STGC_DEFAULT);  // failures are traced inside
  closed = true;
  if (deleteOnRelease && !path.empty()) ::unlink(path.c_str());
}

}  // namespace quorra::host::storage

using namespace quorra::host::storage;

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/host/storage";

template <class Body>
HRESULT Guarded(const char* operation, Body body) {
  return quorra::host::RunGuarded(kTraceSource, __LINE__, operation, STG_E_INSUFFICIENTMEMORY, body);
}
}  // namespace

extern "C" HRESULT StgCreateDocfile(const wchar_t* name, DWORD mode, DWORD reserved, IStorage** out) {
  return Guarded("StgCreateDocfile", [&] { return CreateDocument(name, mode, reserved, out); });
}

extern "C" HRESULT StgOpenStorage(const wchar_t* name, IStorage*, DWORD mode, SNB exclude, DWORD reserved,
                                  IStorage** out) {
  return Guarded("StgOpenStorage", [&] { return OpenDocument(name, mode, exclude, reserved, out); });
}

extern "C" HRESULT StgIsStorageFile(const wchar_t* name) {
  return Guarded("StgIsStorageFile", [&] {
    if (!name || !*name) return STG_E_INVALIDNAME;
    std::shared_ptr<ByteSource> source;
    HRESULT hr = OpenFileSource(WidePathToUtf8(name), &source);
    if (FAILED(hr)) return hr;
    uint8_t signature[sizeof(kSignature)];
    if (source->Size() < kHeaderSize || FAILED(source->ReadAt(0, signature, sizeof(signature)))) return S_FALSE;
    return std::memcmp(signature, kSignature, sizeof(signature)) == 0 ? S_OK : S_FALSE;
  });
}

extern "C" HRESULT JStgOpenStorage(const wchar_t* name, IStorage*, DWORD mode, SNB exclude, DWORD reserved,
                                   IStorage** out, DWORD) {
  return Guarded("JStgOpenStorage", [&] {
    // "file|Component" names a sub-storage of the document; the component
    // "Master" U+0001 (or none after the '|') names the document itself.
    std::wstring_view file, component;
    if (name) quorra::host::SplitSubstorageComponent(name, &file, &component);
    std::wstring document;
    if (name && file.size() != std::wcslen(name)) {
      if (reserved) return STG_E_INVALIDPARAMETER;
      if (!component.empty() && !quorra::host::IsMasterComponent(component))
        return quorra::host::OpenSubstorageComponent(name, mode, exclude, out);
      document.assign(file);
      name = document.c_str();
    }
    if (mode & STGM_CREATE) return reserved ? STG_E_INVALIDPARAMETER : CreateDocument(name, mode, 0, out);
    return OpenDocument(name, mode, exclude, reserved, out);
  });
}

namespace quorra::host {

HRESULT OpenStorageOnBytes(const void* data, size_t size, DWORD mode, IStorage** out) {
  return Guarded("OpenStorageOnBytes", [&] {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    if (!data && size) return STG_E_INVALIDPOINTER;
    HRESULT hr = ValidateMode(mode, false);
    if (FAILED(hr)) return hr;
    auto document = std::make_shared<Document>();
    document->mode = mode;
    auto* bytes = static_cast<const uint8_t*>(data);
    document->source = MakeMemorySource(std::vector<uint8_t>(bytes, bytes + size));
    hr = ReadCompoundFile(document->source, &document->root, nullptr);
    if (FAILED(hr)) return hr;
    return NewStorageObject(std::move(document), nullptr, mode, true, out);
  });
}

HRESULT SaveStorageToBytes(IStorage* storage, std::vector<BYTE>* out) {
  return Guarded("SaveStorageToBytes", [&] {
    if (!storage || !out) return STG_E_INVALIDPOINTER;
    out->clear();
    std::shared_ptr<ElementNode> node = NodeOfStorage(storage);
    if (!node) {
      // Not one of ours: copy it into a memory storage first.
      ComPtr<IStorage> copy;
      HRESULT hr = CreateMemoryStorage(copy.Put());
      if (SUCCEEDED(hr)) hr = storage->CopyTo(0, nullptr, nullptr, copy.Get());
      if (FAILED(hr)) return hr;
      node = NodeOfStorage(copy.Get());
    }
    VectorSink sink(out);
    return WriteCompoundFile(*node, sink, nullptr);
  });
}

}  // namespace quorra::host
