// Storages and streams held in memory: scratch storages for tests and callers
// that build documents before saving them, and standalone streams over a
// growable buffer.
#include <algorithm>

#include "host/storage_model.h"
#include "quorra/host/compound_file.h"
#include "quorra/host/trace.h"

namespace quorra::host {

namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/host/storage";

HRESULT Traced(HRESULT hr, const char* operation) { return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, operation) : hr; }

}  // namespace

HRESULT CreateMemoryStorage(IStorage** out) {
  if (!out) return Traced(STG_E_INVALIDPOINTER, "CreateMemoryStorage");
  *out = nullptr;
  try {
    constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    auto document = std::make_shared<storage::Document>();
    document->root = storage::NewRootNode();
    document->mode = kMode;
    return Traced(storage::NewStorageObject(std::move(document), nullptr, kMode, true, out),
                  "CreateMemoryStorage");
  } catch (const std::exception&) {
    return Traced(STG_E_INSUFFICIENTMEMORY, "CreateMemoryStorage");
  }
}

HRESULT CreateMemoryStreamOnBytes(const void* data, size_t size, IStream** out) {
  if (!out) return Traced(STG_E_INVALIDPOINTER, "CreateMemoryStream");
  *out = nullptr;
  if (!data && size) return Traced(STG_E_INVALIDPOINTER, "CreateMemoryStream");
  std::shared_ptr<storage::ElementNode> node;
  try {
    node = std::make_shared<storage::ElementNode>();
  } catch (const std::exception&) {
    return Traced(STG_E_INSUFFICIENTMEMORY, "CreateMemoryStream");
  }
  HRESULT hr = node->content.WriteAt(0, data, size);
  if (SUCCEEDED(hr)) hr = storage::NewStreamObject(nullptr, std::move(node), STGM_READWRITE, out);
  return Traced(hr, "CreateMemoryStream");
}

HRESULT CreateMemoryStream(IStream** out) { return CreateMemoryStreamOnBytes(nullptr, 0, out); }

HRESULT ReadStreamBytes(IStream* stream, std::vector<BYTE>* out) {
  if (!stream || !out) return Traced(STG_E_INVALIDPOINTER, "ReadStreamBytes");
  out->clear();
  STATSTG stat;
  ULARGE_INTEGER position;
  LARGE_INTEGER zero{};
  HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME);
  if (SUCCEEDED(hr)) hr = stream->Seek(zero, STREAM_SEEK_CUR, &position);
  if (SUCCEEDED(hr)) hr = stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return Traced(hr, "ReadStreamBytes");
  try {
    out->resize(static_cast<size_t>(stat.cbSize.QuadPart));
  } catch (const std::exception&) {
    return Traced(STG_E_INSUFFICIENTMEMORY, "ReadStreamBytes");
  }
  size_t done = 0;
  while (SUCCEEDED(hr) && done < out->size()) {
    ULONG piece = static_cast<ULONG>(std::min<size_t>(out->size() - done, 1u << 30));
    ULONG got = 0;
    hr = stream->Read(out->data() + done, piece, &got);
    if (SUCCEEDED(hr) && got == 0) hr = STG_E_READFAULT;
    done += got;
  }
  LARGE_INTEGER back;
  back.QuadPart = static_cast<LONGLONG>(position.QuadPart);
  stream->Seek(back, STREAM_SEEK_SET, nullptr);
  return Traced(hr, "ReadStreamBytes");
}

}  // namespace quorra::host
