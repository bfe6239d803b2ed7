// Reads a compound file into an element tree. Everything that locates data
// (header, DIFAT, FAT, mini FAT, directory, every sector chain) is read and
// checked up front, so serving a stream later is plain reads of known runs.
// Each chain claims its sectors in a per-file table: a sector claimed twice
// means a cycle or a cross-link, so no walk can loop, and no walk or
// allocation can exceed what the file's size allows.
#include <algorithm>
#include <cstring>

#include "host/cfb_format.h"
#include "host/storage_model.h"
#include "quorra/host/trace.h"

namespace quorra::host::storage {

namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/host/storage";

HRESULT Reject(HRESULT hr, const wchar_t* why) { return QUORRA_TRACE_FAIL_MSG(hr, why, "CompoundFile::Read"); }
HRESULT Corrupt(const wchar_t* why) { return Reject(STG_E_DOCFILECORRUPT, why); }

uint64_t CeilDiv(uint64_t value, uint64_t unit) { return value / unit + (value % unit != 0); }

// Appends a run, merging it with the previous one when they touch.
void AppendRun(std::vector<Extent>* runs, uint64_t streamOffset, uint64_t fileOffset, uint64_t length) {
  if (!runs->empty()) {
    Extent& last = runs->back();
    if (last.fileOffset + last.length == fileOffset && last.streamOffset + last.length == streamOffset) {
      last.length += length;
      return;
    }
  }
  runs->push_back({streamOffset, fileOffset, length});
}

class Reader {
 public:
  explicit Reader(const std::shared_ptr<ByteSource>& source) : source_(source), fileSize_(source->Size()) {}

  HRESULT Run(std::shared_ptr<ElementNode>* root, FormatInfo* info) {
    HRESULT hr = ReadHeader();
    if (SUCCEEDED(hr)) hr = ReadFat();
    if (SUCCEEDED(hr)) hr = ReadDirectory();
    if (SUCCEEDED(hr)) hr = ReadMiniStreamAndMiniFat();
    if (SUCCEEDED(hr)) hr = BuildTree(root);
    if (SUCCEEDED(hr) && info) *info = {major_, sectorSize_};
    return hr;
  }

 private:
  uint64_t SectorOffset(uint32_t sector) const { return (static_cast<uint64_t>(sector) + 1) << shift_; }
  bool SectorComplete(uint32_t sector) const {
    return sector < sectorCount_ && SectorOffset(sector) + sectorSize_ <= fileSize_;
  }

  HRESULT ReadHeader() {
    if (fileSize_ < sizeof(kSignature)) return Reject(STG_E_FILEALREADYEXISTS, L"not a compound file");
    size_t headerBytes = static_cast<size_t>(std::min<uint64_t>(fileSize_, kHeaderSize));
    HRESULT hr = source_->ReadAt(0, header_, headerBytes);
    if (FAILED(hr)) return Reject(hr, L"cannot read the header");
    if (std::memcmp(header_, kSignature, sizeof(kSignature)) != 0)
      return Reject(STG_E_FILEALREADYEXISTS, L"not a compound file");
    if (fileSize_ < kHeaderSize) return Reject(STG_E_INVALIDHEADER, L"truncated header");
    major_ = Load16(header_ + header::kMajorVersion);
    if (major_ != 3 && major_ != 4) return Reject(STG_E_INVALIDHEADER, L"unsupported major version");
    if (Load16(header_ + header::kByteOrder) != 0xFFFE) return Reject(STG_E_INVALIDHEADER, L"bad byte order mark");
    shift_ = Load16(header_ + header::kSectorShift);
    if (shift_ != 9 && shift_ != 12) return Reject(STG_E_INVALIDHEADER, L"unsupported sector size");
    if (Load16(header_ + header::kMiniSectorShift) != 6)
      return Reject(STG_E_INVALIDHEADER, L"unsupported mini sector size");
    if (Load32(header_ + header::kMiniStreamCutoff) != kMiniStreamCutoff)
      return Reject(STG_E_INVALIDHEADER, L"unsupported mini stream cutoff");
    sectorSize_ = 1u << shift_;
    uint64_t sectors = fileSize_ > sectorSize_ ? CeilDiv(fileSize_ - sectorSize_, sectorSize_) : 0;
    sectorCount_ = static_cast<uint32_t>(std::min<uint64_t>(sectors, kMaxRegularSector + 1ull));
    used_.assign(sectorCount_, 0);
    return S_OK;
  }

  // Marks a sector as belonging to some structure; false if it already was.
  bool Claim(uint32_t sector) {
    if (used_[sector]) return false;
    used_[sector] = 1;
    return true;
  }

  // Reads whole sectors into `out` (sectorSize_ bytes each), one read per
  // run of consecutive sectors.
  HRESULT ReadSectors(const std::vector<uint32_t>& sectors, std::vector<uint8_t>* out) {
    out->resize(sectors.size() * sectorSize_);
    for (size_t i = 0; i < sectors.size();) {
      size_t j = i + 1;
      while (j < sectors.size() && sectors[j] == sectors[j - 1] + 1) ++j;
      HRESULT hr = source_->ReadAt(SectorOffset(sectors[i]), out->data() + i * sectorSize_, (j - i) * sectorSize_);
      if (FAILED(hr)) return Reject(hr, L"cannot read sectors");
      i = j;
    }
    return S_OK;
  }

  // Follows a FAT chain. With `exact`, takes exactly `count` sectors (a
  // stream's data); otherwise follows it to its end.
  HRESULT WalkChain(uint32_t start, uint64_t count, bool exact, std::vector<uint32_t>* out) {
    out->clear();
    uint32_t sector = start;
    while (!exact || out->size() < count) {
      if (sector == kEndOfChain) {
        if (exact) return Corrupt(L"sector chain shorter than its stream");
        break;
      }
      if (sector >= sectorCount_) return Corrupt(L"sector number out of range");
      if (!Claim(sector)) return Corrupt(L"cyclic or cross-linked sector chain");
      out->push_back(sector);
      if (exact && out->size() == count) break;
      if (sector >= fat_.size()) return Corrupt(L"sector not covered by the FAT");
      sector = fat_[sector];
    }
    return S_OK;
  }

  HRESULT ReadFat() {
    uint32_t fatSectorCount = Load32(header_ + header::kFatSectorCount);
    if (fatSectorCount > sectorCount_) return Corrupt(L"FAT larger than the file");
    std::vector<uint32_t> fatSectors;
    fatSectors.reserve(fatSectorCount);
    for (size_t i = 0; i < std::min<size_t>(fatSectorCount, kHeaderDifatCount); ++i)
      fatSectors.push_back(Load32(header_ + header::kDifat + 4 * i));
    // The rest of the FAT's sector list lives in the DIFAT chain.
    const uint32_t perDifatSector = sectorSize_ / 4 - 1;
    std::vector<uint8_t> difat(sectorSize_);
    uint32_t difatSector = Load32(header_ + header::kFirstDifatSector);
    while (fatSectors.size() < fatSectorCount) {
      if (!SectorComplete(difatSector)) return Corrupt(L"DIFAT sector out of range");
      if (!Claim(difatSector)) return Corrupt(L"cyclic DIFAT chain");
      HRESULT hr = source_->ReadAt(SectorOffset(difatSector), difat.data(), sectorSize_);
      if (FAILED(hr)) return Reject(hr, L"cannot read the DIFAT");
      for (uint32_t i = 0; i < perDifatSector && fatSectors.size() < fatSectorCount; ++i)
        fatSectors.push_back(Load32(difat.data() + 4 * i));
      difatSector = Load32(difat.data() + 4 * perDifatSector);
    }
    for (uint32_t sector : fatSectors) {
      if (!SectorComplete(sector)) return Corrupt(L"FAT sector out of range");
      if (!Claim(sector)) return Corrupt(L"FAT sector listed twice");
    }
    std::vector<uint8_t> bytes;
    HRESULT hr = ReadSectors(fatSectors, &bytes);
    if (FAILED(hr)) return hr;
    fat_.resize(bytes.size() / 4);
    for (size_t i = 0; i < fat_.size(); ++i) fat_[i] = Load32(bytes.data() + 4 * i);
    return S_OK;
  }

  HRESULT ReadDirectory() {
    std::vector<uint32_t> sectors;
    HRESULT hr = WalkChain(Load32(header_ + header::kFirstDirSector), 0, false, &sectors);
    if (FAILED(hr)) return hr;
    if (sectors.empty()) return Corrupt(L"no directory");
    for (uint32_t sector : sectors)
      if (!SectorComplete(sector)) return Corrupt(L"truncated directory");
    hr = ReadSectors(sectors, &directory_);
    if (FAILED(hr)) return hr;
    entryCount_ = static_cast<uint32_t>(directory_.size() / kDirEntrySize);
    return S_OK;
  }

  const uint8_t* Entry(uint32_t index) const { return directory_.data() + static_cast<size_t>(index) * kDirEntrySize; }

  uint64_t EntrySize(const uint8_t* entry) const {
    uint64_t size = Load64(entry + dirent::kSize);
    // Version 3 files only define the low 32 bits; some writers leave junk above.
    return major_ == 3 ? (size & 0xFFFFFFFFull) : size;
  }

  HRESULT ReadMiniStreamAndMiniFat() {
    const uint8_t* root = Entry(0);
    if (root[dirent::kType] != kTypeRoot) return Corrupt(L"first directory entry is not the root");
    miniStreamSize_ = EntrySize(root);
    if (miniStreamSize_ > 0) {
      uint64_t needed = CeilDiv(miniStreamSize_, sectorSize_);
      if (needed > sectorCount_) return Corrupt(L"mini stream larger than the file");
      HRESULT hr = WalkChain(Load32(root + dirent::kStartSector), needed, true, &miniStreamSectors_);
      if (FAILED(hr)) return hr;
    }
    miniSectorCount_ = CeilDiv(miniStreamSize_, kMiniSectorSize);
    miniUsed_.assign(static_cast<size_t>(miniSectorCount_), 0);

    uint32_t first = Load32(header_ + header::kFirstMiniFatSector);
    if (first == kEndOfChain || Load32(header_ + header::kMiniFatSectorCount) == 0) return S_OK;
    std::vector<uint32_t> sectors;
    HRESULT hr = WalkChain(first, 0, false, &sectors);
    if (FAILED(hr)) return hr;
    for (uint32_t sector : sectors)
      if (!SectorComplete(sector)) return Corrupt(L"truncated mini FAT");
    std::vector<uint8_t> bytes;
    hr = ReadSectors(sectors, &bytes);
    if (FAILED(hr)) return hr;
    miniFat_.resize(bytes.size() / 4);
    for (size_t i = 0; i < miniFat_.size(); ++i) miniFat_[i] = Load32(bytes.data() + 4 * i);
    return S_OK;
  }

  HRESULT MiniStreamRuns(uint32_t start, uint64_t size, std::vector<Extent>* runs) {
    uint64_t needed = CeilDiv(size, kMiniSectorSize);
    if (needed > miniSectorCount_) return Corrupt(L"stream larger than the mini stream");
    uint32_t mini = start;
    for (uint64_t k = 0; k < needed; ++k) {
      if (mini >= miniSectorCount_) return Corrupt(L"mini sector number out of range");
      if (miniUsed_[mini]) return Corrupt(L"cyclic or cross-linked mini sector chain");
      miniUsed_[mini] = 1;
      uint64_t streamOffset = k * kMiniSectorSize;
      uint64_t length = std::min<uint64_t>(kMiniSectorSize, size - streamOffset);
      uint64_t miniOffset = static_cast<uint64_t>(mini) * kMiniSectorSize;
      if (miniOffset + length > miniStreamSize_) return Corrupt(L"stream runs past the mini stream");
      // A mini sector never straddles a sector: sector sizes are multiples of 64.
      uint64_t fileOffset = SectorOffset(miniStreamSectors_[miniOffset >> shift_]) + (miniOffset & (sectorSize_ - 1));
      if (fileOffset + length > fileSize_) return Corrupt(L"stream runs past the end of the file");
      AppendRun(runs, streamOffset, fileOffset, length);
      if (k + 1 < needed) {
        if (mini >= miniFat_.size()) return Corrupt(L"mini sector not covered by the mini FAT");
        mini = miniFat_[mini];
      }
    }
    return S_OK;
  }

  HRESULT RegularStreamRuns(uint32_t start, uint64_t size, std::vector<Extent>* runs) {
    uint64_t needed = CeilDiv(size, sectorSize_);
    if (needed > sectorCount_) return Corrupt(L"stream larger than the file");
    HRESULT hr = WalkChain(start, needed, true, &scratch_);
    if (FAILED(hr)) return hr;
    for (uint64_t k = 0; k < needed; ++k) {
      uint64_t streamOffset = k * sectorSize_;
      uint64_t length = std::min<uint64_t>(sectorSize_, size - streamOffset);
      uint64_t fileOffset = SectorOffset(scratch_[k]);
      if (fileOffset + length > fileSize_) return Corrupt(L"stream runs past the end of the file");
      AppendRun(runs, streamOffset, fileOffset, length);
    }
    return S_OK;
  }

  HRESULT FillNode(const uint8_t* entry, ElementNode* node) {
    uint16_t nameBytes = Load16(entry + dirent::kNameBytes);
    if (nameBytes < 2 || nameBytes > 64 || nameBytes % 2) return Corrupt(L"bad element name length");
    for (size_t i = 0; i + 1 < nameBytes / 2u; ++i) {
      char16_t unit = static_cast<char16_t>(Load16(entry + dirent::kName + 2 * i));
      if (unit == 0) break;
      node->name.push_back(unit);
    }
    if (node->name.empty()) return Corrupt(L"empty element name");
    node->clsid = LoadGuid(entry + dirent::kClsid);
    node->stateBits = Load32(entry + dirent::kStateBits);
    node->ctime = LoadFileTime(entry + dirent::kCreationTime);
    node->mtime = LoadFileTime(entry + dirent::kModifiedTime);
    uint8_t type = entry[dirent::kType];
    node->type = type == kTypeStream ? STGTY_STREAM : STGTY_STORAGE;
    if (type != kTypeStream) return S_OK;
    uint64_t size = EntrySize(entry);
    if (size == 0) return S_OK;
    std::vector<Extent> runs;
    uint32_t start = Load32(entry + dirent::kStartSector);
    HRESULT hr = size < kMiniStreamCutoff ? MiniStreamRuns(start, size, &runs) : RegularStreamRuns(start, size, &runs);
    if (FAILED(hr)) return hr;
    node->content.SetFileBacked(source_, std::move(runs), size);
    return S_OK;
  }

  // Walks every storage's sibling tree without recursion; each entry may be
  // reached once, so a cycle in the links is caught, not followed.
  HRESULT BuildTree(std::shared_ptr<ElementNode>* rootOut) {
    auto root = std::make_shared<ElementNode>();
    HRESULT hr = FillNode(Entry(0), root.get());
    if (FAILED(hr)) return hr;
    root->type = STGTY_STORAGE;
    std::vector<uint8_t> visited(entryCount_, 0);
    visited[0] = 1;
    struct Pending {
      uint32_t entry;
      ElementNode* parent;
      int depth;
    };
    std::vector<Pending> pending;
    std::vector<ElementNode*> storages{root.get()};
    if (uint32_t child = Load32(Entry(0) + dirent::kChild); child != kNoStream) pending.push_back({child, root.get(), 1});
    while (!pending.empty()) {
      Pending p = pending.back();
      pending.pop_back();
      if (p.entry >= entryCount_) return Corrupt(L"directory link out of range");
      if (visited[p.entry]) return Corrupt(L"directory links form a cycle");
      visited[p.entry] = 1;
      const uint8_t* entry = Entry(p.entry);
      uint8_t type = entry[dirent::kType];
      if (type != kTypeStorage && type != kTypeStream) return Corrupt(L"link to an unused or invalid entry");
      auto node = std::make_shared<ElementNode>();
      hr = FillNode(entry, node.get());
      if (FAILED(hr)) return hr;
      for (size_t link : {dirent::kLeft, dirent::kRight})
        if (uint32_t sibling = Load32(entry + link); sibling != kNoStream) pending.push_back({sibling, p.parent, p.depth});
      if (type == kTypeStorage) {
        storages.push_back(node.get());
        if (uint32_t child = Load32(entry + dirent::kChild); child != kNoStream) {
          if (p.depth >= kMaxStorageDepth) return Corrupt(L"storages nested too deeply");
          pending.push_back({child, node.get(), p.depth + 1});
        }
      }
      p.parent->children.push_back(std::move(node));
    }
    for (ElementNode* storage : storages) {
      auto& children = storage->children;
      std::sort(children.begin(), children.end(), [](const auto& a, const auto& b) {
        return CompareNames(a->name, b->name) < 0;
      });
      for (size_t i = 1; i < children.size(); ++i)
        if (CompareNames(children[i - 1]->name, children[i]->name) == 0)
          return Corrupt(L"two elements of a storage have the same name");
    }
    *rootOut = std::move(root);
    return S_OK;
  }

  const std::shared_ptr<ByteSource>& source_;
  const uint64_t fileSize_;
  uint8_t header_[kHeaderSize] = {};
  uint16_t major_ = 3;
  unsigned shift_ = 9;
  uint32_t sectorSize_ = kV3SectorSize;
  uint32_t sectorCount_ = 0;  // sectors present in the file, the last possibly partial
  std::vector<uint8_t> used_;
  std::vector<uint32_t> fat_;
  std::vector<uint8_t> directory_;
  uint32_t entryCount_ = 0;
  uint64_t miniStreamSize_ = 0;
  uint64_t miniSectorCount_ = 0;
  std::vector<uint32_t> miniStreamSectors_;
  std::vector<uint32_t> miniFat_;
  std::vector<uint8_t> miniUsed_;
  std::vector<uint32_t> scratch_;
};

}  // namespace

HRESULT ReadCompoundFile(const std::shared_ptr<ByteSource>& source, std::shared_ptr<ElementNode>* root,
                         FormatInfo* info) {
  try {
    return Reader(source).Run(root, info);
  } catch (const std::exception&) {
    return Reject(STG_E_INSUFFICIENTMEMORY, L"out of memory");
  }
}

}  // namespace quorra::host::storage
