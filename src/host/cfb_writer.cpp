// Writes an element tree as a complete version-3 compound file (512-byte
// sectors). Layout, front to back after the header: the regular streams, each
// contiguous; the mini stream; the mini FAT; the directory; the FAT; the
// DIFAT. Every chain is therefore a run of consecutive sectors, and every
// stream's bytes are contiguous in the file.
#include <algorithm>
#include <cstring>

#include "host/cfb_format.h"
#include "host/storage_model.h"
#include "quorra/host/trace.h"

namespace quorra::host::storage {

namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/host/storage";
constexpr uint32_t kSectorSize = kV3SectorSize;
constexpr uint32_t kEntriesPerSector = kSectorSize / 4;  // FAT, mini FAT and DIFAT entries
constexpr uint32_t kDirEntriesPerSector = kSectorSize / kDirEntrySize;

uint64_t CeilDiv(uint64_t value, uint64_t unit) { return value / unit + (value % unit != 0); }

// One directory entry to be written.
struct Slot {
  ElementNode* node;
  uint32_t left = kNoStream;
  uint32_t right = kNoStream;
  uint32_t child = kNoStream;
  uint8_t color = kColorBlack;
  uint32_t start = kEndOfChain;
  uint64_t size = 0;
  bool mini = false;
};

// Lays the sorted entries [first, first + count) out as a balanced binary
// tree and returns its root. Nodes on the one incomplete level are red and
// all others black, which keeps every path's black count equal: a valid
// red-black tree.
uint32_t BuildSiblingTree(std::vector<Slot>& slots, uint32_t first, uint32_t count, int depth, int fullLevels) {
  if (count == 0) return kNoStream;
  uint32_t middle = first + count / 2;
  Slot& slot = slots[middle];
  slot.color = depth >= fullLevels ? kColorRed : kColorBlack;
  slot.left = BuildSiblingTree(slots, first, count / 2, depth + 1, fullLevels);
  slot.right = BuildSiblingTree(slots, middle + 1, count - count / 2 - 1, depth + 1, fullLevels);
  return middle;
}

int FullLevels(uint32_t count) {
  int levels = 0;
  while ((2ull << levels) - 1 <= count) ++levels;
  return levels;
}

// Collects the directory: the root first, then each storage's children as a
// consecutive block holding their sibling tree.
void CollectSlots(ElementNode& root, std::vector<Slot>* slots) {
  slots->push_back({&root});
  for (size_t i = 0; i < slots->size(); ++i) {
    ElementNode* node = (*slots)[i].node;
    if (node->type != STGTY_STORAGE || node->children.empty()) continue;
    uint32_t first = static_cast<uint32_t>(slots->size());
    for (const auto& child : node->children) slots->push_back({child.get()});
    uint32_t count = static_cast<uint32_t>(node->children.size());
    (*slots)[i].child = BuildSiblingTree(*slots, first, count, 0, FullLevels(count));
  }
}

// Buffers small writes; large ones go straight through.
class SectorWriter {
 public:
  explicit SectorWriter(ByteSink& sink) : sink_(sink) { buffer_.reserve(kBufferSize); }

  HRESULT Write(const void* data, size_t count) {
    if (FAILED(status_)) return status_;
    written_ += count;
    if (count >= kBufferSize / 2) {
      if (SUCCEEDED(Flush())) status_ = sink_.Write(data, count);
      return status_;
    }
    if (buffer_.size() + count > kBufferSize && FAILED(Flush())) return status_;
    auto* bytes = static_cast<const uint8_t*>(data);
    buffer_.insert(buffer_.end(), bytes, bytes + count);
    return S_OK;
  }

  HRESULT Zeros(size_t count) {
    static const uint8_t kZeros[kSectorSize] = {};
    while (count > 0 && SUCCEEDED(status_)) {
      size_t n = std::min<size_t>(count, sizeof(kZeros));
      Write(kZeros, n);
      count -= n;
    }
    return status_;
  }

  HRESULT PadTo(uint64_t unit) { return Zeros(static_cast<size_t>(CeilDiv(written_, unit) * unit - written_)); }

  HRESULT Words(const std::vector<uint32_t>& words) {
    uint8_t piece[4];
    for (uint32_t w : words) {
      Store32(piece, w);
      Write(piece, 4);
    }
    return status_;
  }

  HRESULT Flush() {
    if (SUCCEEDED(status_) && !buffer_.empty()) status_ = sink_.Write(buffer_.data(), buffer_.size());
    buffer_.clear();
    return status_;
  }

  uint64_t Written() const { return written_; }

 private:
  static constexpr size_t kBufferSize = 1 << 20;
  ByteSink& sink_;
  std::vector<uint8_t> buffer_;
  uint64_t written_ = 0;
  HRESULT status_ = S_OK;
};

// Routes a stream's content through the sector writer.
class WriterSink final : public ByteSink {
 public:
  explicit WriterSink(SectorWriter& writer) : writer_(writer) {}
  HRESULT Write(const void* data, size_t count) override { return writer_.Write(data, count); }

 private:
  SectorWriter& writer_;
};

// Appends a chain of `count` consecutive sectors from `first` to a FAT.
void ChainRun(std::vector<uint32_t>& table, uint64_t first, uint64_t count) {
  for (uint64_t k = 0; k < count; ++k)
    table[static_cast<size_t>(first + k)] = k + 1 < count ? static_cast<uint32_t>(first + k + 1) : kEndOfChain;
}

void EncodeEntry(const Slot& slot, bool isRoot, uint8_t* out) {
  std::memset(out, 0, kDirEntrySize);
  const std::u16string& name = isRoot ? u"Root Entry" : slot.node->name;
  for (size_t i = 0; i < name.size(); ++i) Store16(out + dirent::kName + 2 * i, name[i]);
  Store16(out + dirent::kNameBytes, static_cast<uint16_t>((name.size() + 1) * 2));
  out[dirent::kType] = isRoot ? kTypeRoot : slot.node->type == STGTY_STORAGE ? kTypeStorage : kTypeStream;
  out[dirent::kColor] = slot.color;
  Store32(out + dirent::kLeft, slot.left);
  Store32(out + dirent::kRight, slot.right);
  Store32(out + dirent::kChild, slot.child);
  StoreGuid(out + dirent::kClsid, slot.node->clsid);
  Store32(out + dirent::kStateBits, slot.node->stateBits);
  // Streams carry no times; the root carries no creation time.
  if (slot.node->type == STGTY_STORAGE) {
    if (!isRoot) StoreFileTime(out + dirent::kCreationTime, slot.node->ctime);
    StoreFileTime(out + dirent::kModifiedTime, slot.node->mtime);
  }
  Store32(out + dirent::kStartSector, slot.start);
  Store64(out + dirent::kSize, slot.size);
}

void EncodeUnusedEntry(uint8_t* out) {
  std::memset(out, 0, kDirEntrySize);
  Store32(out + dirent::kLeft, kNoStream);
  Store32(out + dirent::kRight, kNoStream);
  Store32(out + dirent::kChild, kNoStream);
}

HRESULT Write(ElementNode& root, ByteSink& sink, std::vector<StreamPlacement>* placements) {
  std::vector<Slot> slots;
  CollectSlots(root, &slots);

  // Sector budget: regular streams, then the mini stream's mini sectors.
  uint64_t streamSectors = 0, miniSectors = 0;
  for (Slot& slot : slots) {
    if (slot.node->type != STGTY_STREAM) continue;
    slot.size = slot.node->content.Size();
    if (slot.size > kMaxStreamSize) return QUORRA_TRACE_FAIL(STG_E_MEDIUMFULL, "CompoundFile::Write");
    if (slot.size == 0) continue;
    slot.mini = slot.size < kMiniStreamCutoff;
    uint64_t& counter = slot.mini ? miniSectors : streamSectors;
    slot.start = static_cast<uint32_t>(counter);
    counter += CeilDiv(slot.size, slot.mini ? kMiniSectorSize : kSectorSize);
  }
  const uint64_t miniStreamBytes = miniSectors * kMiniSectorSize;
  const uint64_t miniStreamFirst = streamSectors;
  const uint64_t miniStreamSectors = CeilDiv(miniStreamBytes, kSectorSize);
  const uint64_t miniFatFirst = miniStreamFirst + miniStreamSectors;
  const uint64_t miniFatSectors = CeilDiv(miniSectors, kEntriesPerSector);
  const uint64_t dirFirst = miniFatFirst + miniFatSectors;
  const uint64_t dirSectors = CeilDiv(slots.size(), kDirEntriesPerSector);
  const uint64_t fatFirst = dirFirst + dirSectors;
  // The FAT must also cover its own sectors and the DIFAT's.
  uint64_t fatSectors = 0, difatSectors = 0;
  for (;;) {
    uint64_t needFat = CeilDiv(fatFirst + fatSectors + difatSectors, kEntriesPerSector);
    uint64_t needDifat =
        needFat > kHeaderDifatCount ? CeilDiv(needFat - kHeaderDifatCount, kEntriesPerSector - 1) : 0;
    if (needFat == fatSectors && needDifat == difatSectors) break;
    fatSectors = needFat;
    difatSectors = needDifat;
  }
  const uint64_t difatFirst = fatFirst + fatSectors;
  const uint64_t totalSectors = difatFirst + difatSectors;
  if (totalSectors > kMaxRegularSector) return QUORRA_TRACE_FAIL(STG_E_MEDIUMFULL, "CompoundFile::Write");

  Slot& rootSlot = slots[0];
  rootSlot.start = miniStreamSectors ? static_cast<uint32_t>(miniStreamFirst) : kEndOfChain;
  rootSlot.size = miniStreamBytes;

  std::vector<uint32_t> fat(static_cast<size_t>(fatSectors * kEntriesPerSector), kFreeSector);
  std::vector<uint32_t> miniFat(static_cast<size_t>(miniFatSectors * kEntriesPerSector), kFreeSector);
  for (const Slot& slot : slots) {
    if (slot.node->type != STGTY_STREAM || slot.size == 0) continue;
    if (slot.mini)
      ChainRun(miniFat, slot.start, CeilDiv(slot.size, kMiniSectorSize));
    else
      ChainRun(fat, slot.start, CeilDiv(slot.size, kSectorSize));
  }
  ChainRun(fat, miniStreamFirst, miniStreamSectors);
  ChainRun(fat, miniFatFirst, miniFatSectors);
  ChainRun(fat, dirFirst, dirSectors);
  std::fill_n(fat.begin() + static_cast<ptrdiff_t>(fatFirst), fatSectors, kFatSector);
  std::fill_n(fat.begin() + static_cast<ptrdiff_t>(difatFirst), difatSectors, kDifatSector);

  uint8_t header[kHeaderSize] = {};
  std::memcpy(header, kSignature, sizeof(kSignature));
  Store16(header + header::kMinorVersion, 0x003E);
  Store16(header + header::kMajorVersion, 3);
  Store16(header + header::kByteOrder, 0xFFFE);
  Store16(header + header::kSectorShift, 9);
  Store16(header + header::kMiniSectorShift, 6);
  Store32(header + header::kFatSectorCount, static_cast<uint32_t>(fatSectors));
  Store32(header + header::kFirstDirSector, static_cast<uint32_t>(dirFirst));
  Store32(header + header::kMiniStreamCutoff, kMiniStreamCutoff);
  Store32(header + header::kFirstMiniFatSector, miniFatSectors ? static_cast<uint32_t>(miniFatFirst) : kEndOfChain);
  Store32(header + header::kMiniFatSectorCount, static_cast<uint32_t>(miniFatSectors));
  Store32(header + header::kFirstDifatSector, difatSectors ? static_cast<uint32_t>(difatFirst) : kEndOfChain);
  Store32(header + header::kDifatSectorCount, static_cast<uint32_t>(difatSectors));
  for (size_t i = 0; i < kHeaderDifatCount; ++i)
    Store32(header + header::kDifat + 4 * i, i < fatSectors ? static_cast<uint32_t>(fatFirst + i) : kFreeSector);

  SectorWriter out(sink);
  WriterSink contentSink(out);
  out.Write(header, sizeof(header));
  auto sectorOffset = [](uint64_t sector) { return (sector + 1) * kSectorSize; };

  for (const Slot& slot : slots) {
    if (slot.node->type != STGTY_STREAM || slot.size == 0 || slot.mini) continue;
    if (placements) placements->push_back({slot.node, sectorOffset(slot.start)});
    HRESULT hr = slot.node->content.CopyTo(contentSink);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "CompoundFile::Write");
    out.PadTo(kSectorSize);
  }
  for (const Slot& slot : slots) {
    if (slot.node->type != STGTY_STREAM || slot.size == 0 || !slot.mini) continue;
    uint64_t offset = sectorOffset(miniStreamFirst) + uint64_t{slot.start} * kMiniSectorSize;
    if (placements) placements->push_back({slot.node, offset});
    HRESULT hr = slot.node->content.CopyTo(contentSink);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "CompoundFile::Write");
    out.PadTo(kMiniSectorSize);
  }
  out.PadTo(kSectorSize);
  out.Words(miniFat);

  uint8_t entry[kDirEntrySize];
  for (size_t i = 0; i < dirSectors * kDirEntriesPerSector; ++i) {
    if (i < slots.size())
      EncodeEntry(slots[i], i == 0, entry);
    else
      EncodeUnusedEntry(entry);
    out.Write(entry, sizeof(entry));
  }
  out.Words(fat);

  std::vector<uint32_t> difat(static_cast<size_t>(difatSectors * kEntriesPerSector), kFreeSector);
  for (uint64_t d = 0; d < difatSectors; ++d) {
    size_t base = static_cast<size_t>(d * kEntriesPerSector);
    for (uint64_t k = 0; k + 1 < kEntriesPerSector; ++k) {
      uint64_t fatIndex = kHeaderDifatCount + d * (kEntriesPerSector - 1) + k;
      if (fatIndex < fatSectors) difat[base + k] = static_cast<uint32_t>(fatFirst + fatIndex);
    }
    difat[base + kEntriesPerSector - 1] = d + 1 < difatSectors ? static_cast<uint32_t>(difatFirst + d + 1) : kEndOfChain;
  }
  out.Words(difat);
  HRESULT hr = out.Flush();
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "CompoundFile::Write");
  if (out.Written() != sectorOffset(totalSectors)) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "CompoundFile::Write");
  return S_OK;
}

}  // namespace

HRESULT WriteCompoundFile(ElementNode& root, ByteSink& sink, std::vector<StreamPlacement>* placements) {
  try {
    return Write(root, sink, placements);
  } catch (const std::exception&) {
    return QUORRA_TRACE_FAIL(STG_E_INSUFFICIENTMEMORY, "CompoundFile::Write");
  }
}

}  // namespace quorra::host::storage
