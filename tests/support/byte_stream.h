// A minimal IStream over a byte vector, for tests and fuzz targets only: read,
// write, seek, set size and stat, plus injected failures. Created with a
// reference count of one; the last Release deletes it.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "quorra/host/storage.h"
#include "quorra/host/types.h"

namespace quorra::test {

class ByteStream final : public IStream {
 public:
  static quorra::host::ComPtr<ByteStream> Create(std::vector<BYTE> bytes = {}) {
    return quorra::host::ComPtr<ByteStream>::Adopt(new ByteStream(std::move(bytes)));
  }

  const std::vector<BYTE>& Bytes() const { return bytes_; }
  size_t Position() const { return position_; }
  ULONG RefCount() const { return refs_; }
  // Every later Read / Write fails with `hr` (S_OK restores normal service).
  void FailReadsWith(HRESULT hr) { readFailure_ = hr; }
  void FailWritesWith(HRESULT hr) { writeFailure_ = hr; }
  int ReadCalls() const { return readCalls_; }
  int WriteCalls() const { return writeCalls_; }

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
      *out = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG refs = --refs_;
    if (refs == 0) delete this;
    return refs;
  }

  HRESULT Read(void* buffer, ULONG count, ULONG* read) override {
    ++readCalls_;
    if (read) *read = 0;
    if (FAILED(readFailure_)) return readFailure_;
    size_t available = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
    size_t n = std::min<size_t>(count, available);
    if (n) std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    if (read) *read = static_cast<ULONG>(n);
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Write(const void* buffer, ULONG count, ULONG* written) override {
    ++writeCalls_;
    if (written) *written = 0;
    if (FAILED(writeFailure_)) return writeFailure_;
    if (position_ + count > bytes_.size()) bytes_.resize(position_ + count);
    if (count) std::memcpy(bytes_.data() + position_, buffer, count);
    position_ += count;
    if (written) *written = count;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    long long base = origin == STREAM_SEEK_SET   ? 0
                     : origin == STREAM_SEEK_CUR ? static_cast<long long>(position_)
                     : origin == STREAM_SEEK_END ? static_cast<long long>(bytes_.size())
                                                 : -1;
    if (base < 0) return STG_E_INVALIDFUNCTION;
    long long target = base + move.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    position_ = static_cast<size_t>(target);
    if (newPosition) newPosition->QuadPart = position_;
    return S_OK;
  }
  HRESULT SetSize(ULARGE_INTEGER newSize) override {
    bytes_.resize(static_cast<size_t>(newSize.QuadPart));
    return S_OK;
  }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG* stat, DWORD) override {
    if (!stat) return E_POINTER;
    *stat = STATSTG{};
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = bytes_.size();
    return S_OK;
  }
  HRESULT Clone(IStream**) override { return E_NOTIMPL; }

 private:
  explicit ByteStream(std::vector<BYTE> bytes) : bytes_(std::move(bytes)) {}
  ~ByteStream() = default;

  std::vector<BYTE> bytes_;
  size_t position_ = 0;
  ULONG refs_ = 1;
  HRESULT readFailure_ = S_OK;
  HRESULT writeFailure_ = S_OK;
  int readCalls_ = 0;
  int writeCalls_ = 0;
};

}  // namespace quorra::test
