// The element tree shared by memory storages and compound files: stream
// contents, element lookup, names and modes.
#include "host/storage_model.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>

#include "host/cfb_format.h"
#include "host/storage_text.h"

namespace quorra::host::storage {

namespace {

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() const override { return bytes_.size(); }
  HRESULT ReadAt(uint64_t offset, void* buffer, size_t count) const override {
    if (offset > bytes_.size() || count > bytes_.size() - offset) return STG_E_READFAULT;
    std::memcpy(buffer, bytes_.data() + offset, count);
    return S_OK;
  }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

std::shared_ptr<ByteSource> MakeMemorySource(std::vector<uint8_t> bytes) {
  return std::make_shared<MemorySource>(std::move(bytes));
}

HRESULT StreamContent::ReadAt(uint64_t position, void* buffer, size_t count, size_t* got) const {
  *got = 0;
  if (position >= size_ || count == 0) return S_OK;
  size_t n = static_cast<size_t>(std::min<uint64_t>(count, size_ - position));
  auto* out = static_cast<uint8_t*>(buffer);
  if (!source_) {
    for (size_t done = 0; done < n;) {
      uint64_t at = position + done;
      const std::vector<uint8_t>& block = blocks_[static_cast<size_t>(at / kBlockSize)];
      size_t within = static_cast<size_t>(at % kBlockSize);
      size_t take = std::min(block.size() - within, n - done);
      std::memcpy(out + done, block.data() + within, take);
      done += take;
    }
    *got = n;
    return S_OK;
  }
  // The run holding `position`: the last one starting at or before it.
  auto run = std::upper_bound(extents_.begin(), extents_.end(), position,
                              [](uint64_t p, const Extent& e) { return p < e.streamOffset; });
  if (run == extents_.begin()) return STG_E_READFAULT;
  --run;
  for (size_t done = 0; done < n; ++run) {
    if (run == extents_.end()) return STG_E_READFAULT;
    uint64_t within = position + done - run->streamOffset;
    size_t take = static_cast<size_t>(std::min<uint64_t>(run->length - within, n - done));
    HRESULT hr = source_->ReadAt(run->fileOffset + within, out + done, take);
    if (FAILED(hr)) return hr;
    done += take;
  }
  *got = n;
  return S_OK;
}

void StreamContent::Append(const uint8_t* data, size_t count) {
  while (count > 0) {
    if (blocks_.empty() || blocks_.back().size() == kBlockSize) {
      blocks_.emplace_back();
      // Past the first block the stream is large: take whole blocks at once.
      if (blocks_.size() > 1) blocks_.back().reserve(kBlockSize);
    }
    std::vector<uint8_t>& last = blocks_.back();
    size_t take = std::min(count, kBlockSize - last.size());
    if (data) {
      last.insert(last.end(), data, data + take);
      data += take;
    } else {
      last.insert(last.end(), take, 0);
    }
    size_ += take;
    count -= take;
  }
}

HRESULT StreamContent::MoveIntoMemory() {
  if (!source_) return S_OK;
  std::vector<std::vector<uint8_t>> blocks;
  try {
    for (uint64_t done = 0; done < size_;) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size_ - done));
      blocks.emplace_back(take);
      size_t got = 0;
      HRESULT hr = ReadAt(done, blocks.back().data(), take, &got);
      if (FAILED(hr)) return hr;
      done += take;
    }
  } catch (const std::exception&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
  blocks_ = std::move(blocks);
  source_.reset();
  extents_.clear();
  extents_.shrink_to_fit();
  return S_OK;
}

HRESULT StreamContent::WriteAt(uint64_t position, const void* data, size_t count) {
  if (count == 0) return S_OK;
  HRESULT hr = MoveIntoMemory();
  if (FAILED(hr)) return hr;
  if (position > UINT64_MAX - count) return STG_E_INSUFFICIENTMEMORY;
  auto* in = static_cast<const uint8_t*>(data);
  try {
    if (position > size_) Append(nullptr, static_cast<size_t>(position - size_));
    // Overwrite what exists, then append the rest.
    size_t overlap = position < size_ ? static_cast<size_t>(std::min<uint64_t>(count, size_ - position)) : 0;
    for (size_t done = 0; done < overlap;) {
      uint64_t at = position + done;
      std::vector<uint8_t>& block = blocks_[static_cast<size_t>(at / kBlockSize)];
      size_t within = static_cast<size_t>(at % kBlockSize);
      size_t take = std::min(block.size() - within, overlap - done);
      std::memcpy(block.data() + within, in + done, take);
      done += take;
    }
    Append(in + overlap, count - overlap);
  } catch (const std::exception&) {
    ++generation_;
    return STG_E_INSUFFICIENTMEMORY;
  }
  ++generation_;
  return S_OK;
}

HRESULT StreamContent::SetSize(uint64_t size) {
  if (size == size_) return S_OK;
  ++generation_;
  if (source_ && size < size_) {
    size_ = size;  // the runs past the end are simply no longer read
    return S_OK;
  }
  HRESULT hr = MoveIntoMemory();
  if (FAILED(hr)) return hr;
  if (size < size_) {
    size_t keepBlocks = static_cast<size_t>((size + kBlockSize - 1) / kBlockSize);
    blocks_.resize(keepBlocks);
    if (keepBlocks) blocks_.back().resize(static_cast<size_t>(size - (keepBlocks - 1) * uint64_t{kBlockSize}));
    size_ = size;
    return S_OK;
  }
  try {
    Append(nullptr, static_cast<size_t>(size - size_));
  } catch (const std::exception&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
  return S_OK;
}

HRESULT StreamContent::CopyTo(ByteSink& sink) const {
  if (!source_) {
    for (const auto& block : blocks_) {
      HRESULT hr = sink.Write(block.data(), block.size());
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size_, kBlockSize)));
  for (uint64_t done = 0; done < size_;) {
    size_t got = 0;
    HRESULT hr = ReadAt(done, buffer.data(), buffer.size(), &got);
    if (FAILED(hr)) return hr;
    hr = sink.Write(buffer.data(), got);
    if (FAILED(hr)) return hr;
    done += got;
  }
  return S_OK;
}

void StreamContent::SetFileBacked(std::shared_ptr<ByteSource> source, std::vector<Extent> extents, uint64_t size) {
  std::vector<std::vector<uint8_t>>().swap(blocks_);
  source_ = size ? std::move(source) : nullptr;
  extents_ = size ? std::move(extents) : std::vector<Extent>();
  size_ = size;
  ++generation_;
}

void StreamContent::Clear() { SetFileBacked(nullptr, {}, 0); }

ptrdiff_t ElementNode::FindChild(std::u16string_view childName) const {
  auto it = std::lower_bound(children.begin(), children.end(), childName,
                             [](const std::shared_ptr<ElementNode>& c, std::u16string_view n) {
                               return CompareNames(c->name, n) < 0;
                             });
  if (it == children.end() || CompareNames((*it)->name, childName) != 0) return -1;
  return it - children.begin();
}

void ElementNode::InsertChild(std::shared_ptr<ElementNode> child) {
  auto it = std::lower_bound(children.begin(), children.end(), child->name,
                             [](const std::shared_ptr<ElementNode>& c, std::u16string_view n) {
                               return CompareNames(c->name, n) < 0;
                             });
  children.insert(it, std::move(child));
}

std::shared_ptr<ElementNode> NewRootNode() {
  auto root = std::make_shared<ElementNode>();
  root->name = u"Root Entry";
  root->type = STGTY_STORAGE;
  return root;
}

void DetachTree(ElementNode& node) {
  std::vector<ElementNode*> pending{&node};
  while (!pending.empty()) {
    ElementNode* n = pending.back();
    pending.pop_back();
    n->detached = true;
    for (auto& c : n->children) pending.push_back(c.get());
  }
}

FILETIME CurrentFileTime() {
  // FILETIME counts 100 ns ticks since 1601-01-01.
  constexpr uint64_t kUnixEpochInTicks = 116444736000000000ull;
  auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  uint64_t ticks = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100) +
                   kUnixEpochInTicks;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

HRESULT ConvertElementName(const wchar_t* name, bool forCreate, std::u16string* out) {
  if (!name) return STG_E_INVALIDPOINTER;
  out->clear();
  for (const wchar_t* p = name; *p; ++p) {
    if (forCreate && (*p == L'/' || *p == L'\\' || *p == L':' || *p == L'!')) return STG_E_INVALIDNAME;
    AppendUtf16(static_cast<char32_t>(*p), out);
    if (out->size() > kMaxNameUnits) return STG_E_INVALIDNAME;
  }
  return out->empty() ? STG_E_INVALIDNAME : S_OK;
}

HRESULT ValidateMode(DWORD mode, bool allowCreate) {
  constexpr DWORD kKnown = 0x3 | 0x70 | STGM_CREATE | STGM_CONVERT | STGM_TRANSACTED | STGM_PRIORITY |
                           STGM_NOSCRATCH | STGM_NOSNAPSHOT | STGM_SIMPLE | STGM_DIRECT_SWMR |
                           STGM_DELETEONRELEASE;
  if (mode & ~kKnown) return STG_E_INVALIDFLAG;
  if ((mode & 3) == 3) return STG_E_INVALIDFLAG;
  if ((mode & 0x70) > STGM_SHARE_DENY_NONE) return STG_E_INVALIDFLAG;
  if ((mode & STGM_CREATE) && (mode & STGM_CONVERT)) return STG_E_INVALIDFLAG;
  if (!allowCreate && (mode & (STGM_CREATE | STGM_CONVERT))) return STG_E_INVALIDFLAG;
  // A priority open reads the committed file directly and never writes.
  if ((mode & STGM_PRIORITY) && ((mode & 3) != STGM_READ || (mode & STGM_TRANSACTED))) return STG_E_INVALIDFLAG;
  return S_OK;
}

}  // namespace quorra::host::storage
