// The stream context through which every stored record of the library is read
// and written: one transfer call serves both directions, so a record's reader
// and writer are the same sequence of calls.
#pragma once

#include "quorra/host/storage.h"
#include "quorra/host/types.h"

class JIOStreamContext {
 public:
  // Mode bits.
  static constexpr DWORD kModeWrite = 0x1;
  static constexpr DWORD kModeRead = 0x2;
  static constexpr DWORD kModeLibrary = 0x4;  // set in every context the library builds
  // The modes the library builds its contexts with.
  static constexpr DWORD kReadContext = kModeRead | kModeLibrary;    // 6
  static constexpr DWORD kWriteContext = kModeWrite | kModeLibrary;  // 5

  // Takes a reference on `stream` (which may be null) for the context's life.
  JIOStreamContext(IStream* stream, DWORD mode) : stream_(stream), mode_(mode) {
    if (stream_) stream_->AddRef();
  }
  virtual ~JIOStreamContext();

  JIOStreamContext(const JIOStreamContext&) = delete;
  JIOStreamContext& operator=(const JIOStreamContext&) = delete;

  // Reads `count` bytes into `buffer` (read mode) or writes them from it
  // (write mode). No stream or neither mode bit: E_UNEXPECTED. A read that
  // succeeds with fewer bytes than asked gives STG_E_READFAULT. Out of line:
  // the stream call costs more than the call, and callers that read into
  // fresh variables are not warned that the write path would read them.
  HRESULT DoIO(void* buffer, ULONG count) const;

  IStream* GetStream() const { return stream_; }
  DWORD GetMode() const { return mode_; }
  // The direction DoIO takes: reading wins when both bits are set.
  bool IsReading() const { return (mode_ & kModeRead) != 0; }
  bool IsWriting() const { return !IsReading() && (mode_ & kModeWrite) != 0; }

 private:
  IStream* stream_;
  DWORD mode_;
};
