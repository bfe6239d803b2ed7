// The reference scene: its storage holder and its "Scene" stream.
#include "quorra/host/scene.h"

#include "quorra/host/iostream_context.h"
#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/host/scene";
constexpr const wchar_t* kSceneStream = L"Scene";
constexpr DWORD kSceneVersion = 1;

struct SceneRecord {
  DWORD version;
  DWORD a;
  DWORD b;
  double range[6];
};

// The record's fields in stream order, one transfer each.
HRESULT TransferRecord(const JIOStreamContext& context, SceneRecord* record) {
  HRESULT hr;
  if (FAILED(hr = context.DoIO(&record->version, 4)) || FAILED(hr = context.DoIO(&record->a, 4)) ||
      FAILED(hr = context.DoIO(&record->b, 4)) || FAILED(hr = context.DoIO(record->range, sizeof record->range)))
    return hr;
  return S_OK;
}
}  // namespace

GScene::GScene(DWORD flags, void* storage, void*, tagGCamera*) : flags_(flags) {
  SetStorage(static_cast<IUnknown*>(storage));
}

GScene::~GScene() { SetStorage(nullptr); }

void GScene::SetStorage(IUnknown* storage) {
  if (storage) storage->AddRef();
  if (storage_) storage_->Release();
  storage_ = storage;
}

HRESULT GScene::SetRange(const tagGBox* box) {
  if (!box) return E_INVALIDARG;
  range_ = *box;
  return S_OK;
}

HRESULT GScene::Save(IStorage* storage, DWORD a, DWORD b) {
  if (!storage) return QUORRA_TRACE_FAIL(E_INVALIDARG, "GScene::Save");
  IStream* created = nullptr;
  HRESULT hr = storage->CreateStream(kSceneStream, STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0, 0, &created);
  if (FAILED(hr) || !created) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_FAIL, "GScene::Save");
  auto stream = quorra::host::ComPtr<IStream>::Adopt(created);
  SceneRecord record{kSceneVersion,
                     a,
                     b,
                     {range_.low[0], range_.low[1], range_.low[2], range_.high[0], range_.high[1], range_.high[2]}};
  JIOStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
  if (FAILED(hr = TransferRecord(context, &record)) || FAILED(hr = stream->Commit(0)))
    return QUORRA_TRACE_FAIL(hr, "GScene::Save");
  a_ = a;
  b_ = b;
  return S_OK;
}

HRESULT GScene::Load(IStorage* storage, DWORD a, DWORD b) {
  if (!storage) return QUORRA_TRACE_FAIL(E_INVALIDARG, "GScene::Load");
  IStream* opened = nullptr;
  HRESULT hr = storage->OpenStream(kSceneStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &opened);
  if (FAILED(hr) || !opened) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_FAIL, "GScene::Load");
  auto stream = quorra::host::ComPtr<IStream>::Adopt(opened);
  SceneRecord record{};
  JIOStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
  if (FAILED(hr = TransferRecord(context, &record))) return QUORRA_TRACE_FAIL(hr, "GScene::Load");
  if (record.version != kSceneVersion) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "GScene::Load");
  range_ =
      tagGBox(record.range[0], record.range[1], record.range[2], record.range[3], record.range[4], record.range[5]);
  a_ = a;
  b_ = b;
  return S_OK;
}
