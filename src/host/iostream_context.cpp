// The stream context: its transfer call, and the destructor that gives its
// vtable one home.
#include "quorra/host/iostream_context.h"

JIOStreamContext::~JIOStreamContext() {
  if (stream_) stream_->Release();
}

HRESULT JIOStreamContext::DoIO(void* buffer, ULONG count) const {
  if (!stream_) return E_UNEXPECTED;
  if (mode_ & kModeRead) {
    ULONG read = 0;
    HRESULT hr = stream_->Read(buffer, count, &read);
    if (FAILED(hr)) return hr;
    return read < count ? STG_E_READFAULT : hr;
  }
  if (mode_ & kModeWrite) return stream_->Write(buffer, count, nullptr);
  return E_UNEXPECTED;
}
