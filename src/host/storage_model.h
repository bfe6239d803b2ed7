// The element tree behind every storage and stream object: in-memory storages
// and compound files share it. Opening a compound file builds the tree with
// streams still backed by the file; writing a stream moves its bytes into
// memory; committing writes a whole new file from the tree. Private to the
// storage engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quorra/host/storage.h"

namespace quorra::host::storage {

// Largest stream a version-3 compound file can hold.
constexpr uint64_t kMaxStreamSize = 0xFFFFFFFFull;
// Deepest nesting of storages accepted from a file.
constexpr int kMaxStorageDepth = 256;

// The bytes of an opened compound file.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads exactly `count` bytes at `offset`; STG_E_READFAULT when it cannot.
  virtual HRESULT ReadAt(uint64_t offset, void* buffer, size_t count) const = 0;
};

std::shared_ptr<ByteSource> MakeMemorySource(std::vector<uint8_t> bytes);

// Where a new compound file goes while it is written.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual HRESULT Write(const void* data, size_t count) = 0;
};

// A contiguous run of a file-backed stream.
struct Extent {
  uint64_t streamOffset;
  uint64_t fileOffset;
  uint64_t length;
};

// The bytes of one stream: either held in memory, or a list of runs in a
// compound file that are read on demand. In memory the bytes sit in blocks of
// kBlockSize (all full but the last), so a stream grows without copying what
// it already holds and large pieces go to and from files as they lie.
class StreamContent {
 public:
  static constexpr size_t kBlockSize = 1 << 20;

  uint64_t Size() const { return size_; }
  bool InMemory() const { return source_ == nullptr; }
  // Changes whenever the bytes change, so readers can keep caches.
  uint64_t Generation() const { return generation_; }

  // Reads min(count, Size() - position) bytes; `got` receives the count.
  HRESULT ReadAt(uint64_t position, void* buffer, size_t count, size_t* got) const;
  // Writes, growing the stream (zero-filled) as needed.
  HRESULT WriteAt(uint64_t position, const void* data, size_t count);
  HRESULT SetSize(uint64_t size);
  // Hands the whole content to `sink` in large pieces.
  HRESULT CopyTo(ByteSink& sink) const;

  void SetFileBacked(std::shared_ptr<ByteSource> source, std::vector<Extent> extents, uint64_t size);
  void Clear();

 private:
  HRESULT MoveIntoMemory();
  // Appends bytes (or zeros when `data` is null) at the end of the blocks.
  void Append(const uint8_t* data, size_t count);

  uint64_t size_ = 0;
  std::vector<std::vector<uint8_t>> blocks_;  // when in memory
  std::shared_ptr<ByteSource> source_;
  std::vector<Extent> extents_;
  uint64_t generation_ = 0;
};

struct ElementNode {
  std::u16string name;
  DWORD type = STGTY_STREAM;  // STGTY_STORAGE or STGTY_STREAM
  CLSID clsid = GUID_NULL;
  DWORD stateBits = 0;
  FILETIME ctime{};
  FILETIME mtime{};
  std::vector<std::shared_ptr<ElementNode>> children;  // storages: sorted by CompareNames
  StreamContent content;                               // streams
  // Set when the element is destroyed, replaced or reverted: objects still
  // holding it answer STG_E_REVERTED.
  bool detached = false;

  // Index of the child with this name, or -1.
  ptrdiff_t FindChild(std::u16string_view childName) const;
  // Inserts keeping the order; the name must not be present.
  void InsertChild(std::shared_ptr<ElementNode> child);
};

// An empty root storage named "Root Entry".
std::shared_ptr<ElementNode> NewRootNode();

// Marks `node` and everything below it detached.
void DetachTree(ElementNode& node);

FILETIME CurrentFileTime();

// The shared state of one open storage tree: its root, where it came from and
// where commits go.
class Document {
 public:
  std::shared_ptr<ElementNode> root;
  std::string path;                    // file system path; empty for memory storages
  std::wstring displayPath;            // the path as the caller gave it
  std::shared_ptr<ByteSource> source;  // the last committed file, if any
  DWORD mode = STGM_READWRITE;         // the root's open mode
  bool dirty = false;
  bool closed = false;  // the root object was released
  bool deleteOnRelease = false;

  bool Transacted() const { return (mode & STGM_TRANSACTED) != 0; }
  bool Writable() const { return (mode & 3) != STGM_READ; }
  void MarkDirty() { dirty = true; }

  // Writes the tree to the document's file, if it has one (cfb_storage.cpp).
  HRESULT Commit(DWORD flags);
  // Drops uncommitted changes: the tree is read again from the last commit.
  HRESULT Revert();
  // The root object was released: direct-mode documents commit, then every
  // object left answers STG_E_REVERTED.
  void Close();
};

// Element names as the API receives them. Checks length (1 to 31 UTF-16
// units) and, for names being created, the characters the format forbids.
HRESULT ConvertElementName(const wchar_t* name, bool forCreate, std::u16string* out);

// Access, share and creation bits of a mode; STG_E_INVALIDFLAG on nonsense.
HRESULT ValidateMode(DWORD mode, bool allowCreate);

// Objects over the tree (storage_objects.cpp). `isRoot` objects follow the
// document's root through reverts and close the document when released.
HRESULT NewStorageObject(std::shared_ptr<Document> document, std::shared_ptr<ElementNode> node, DWORD mode,
                         bool isRoot, IStorage** out);
// `document` is null for a standalone memory stream.
HRESULT NewStreamObject(std::shared_ptr<Document> document, std::shared_ptr<ElementNode> node, DWORD mode,
                        IStream** out);
// The element behind one of our storage objects, or null for a foreign one.
std::shared_ptr<ElementNode> NodeOfStorage(IStorage* storage);

// Compound file reading and writing (cfb_reader.cpp, cfb_writer.cpp).
struct FormatInfo {
  uint16_t majorVersion = 3;
  uint32_t sectorSize = 512;
};
HRESULT ReadCompoundFile(const std::shared_ptr<ByteSource>& source, std::shared_ptr<ElementNode>* root,
                         FormatInfo* info);

// Where a written stream's bytes start in the new file (always contiguous).
struct StreamPlacement {
  ElementNode* node;
  uint64_t fileOffset;
};
HRESULT WriteCompoundFile(ElementNode& root, ByteSink& sink, std::vector<StreamPlacement>* placements);

}  // namespace quorra::host::storage
