// The tree's render advise holder and the enumerators over its sinks.
#include <algorithm>
#include <new>

#include "quorra/tree.h"

namespace {

// Cursor steps shared by the tree's own enumerator and the free-standing one.
HRESULT NextSink(const RenderAdviseSinkList& list, size_t& cursor, ULONG count, IJRenderAdviseSink** sink,
                 ULONG* fetched) {
  if (cursor < list.size() && count > 0 && sink) {
    *sink = list[cursor++];
    if (fetched) *fetched = 1;
    return S_OK;
  }
  if (fetched) *fetched = 0;
  return S_FALSE;
}

void SkipSinks(const RenderAdviseSinkList& list, size_t& cursor, ULONG count) {
  cursor = std::min(list.size(), cursor + count);
}

}  // namespace

// ---- AsmTree::XIJRenderAdviseHolder ----

HRESULT AsmTree::XIJRenderAdviseHolder::QueryInterface(REFIID iid, void** out) {
  return tree_->QueryInterface(iid, out);
}
ULONG AsmTree::XIJRenderAdviseHolder::AddRef() { return tree_->AddRef(); }
ULONG AsmTree::XIJRenderAdviseHolder::Release() { return tree_->Release(); }

HRESULT AsmTree::XIJRenderAdviseHolder::Advise(IJRenderAdviseSink* sink, IJRenderAdviseSink** cookie) {
  if (cookie) *cookie = nullptr;
  if (!sink) return E_INVALIDARG;
  sink->AddRef();
  tree_->renderSinks_.push_back(sink);
  if (cookie) *cookie = sink;
  tree_->renderCursor_ = 0;
  return S_OK;
}

HRESULT AsmTree::XIJRenderAdviseHolder::Unadvise(IJRenderAdviseSink* sink) {
  if (!sink) return E_INVALIDARG;
  auto& sinks = tree_->renderSinks_;
  sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
  sink->Release();
  tree_->renderCursor_ = 0;
  return S_OK;
}

HRESULT AsmTree::XIJRenderAdviseHolder::EnumAdvise(IEnumRenderAdviseSink** out) {
  if (!out) return E_INVALIDARG;
  *out = new (std::nothrow) JRenderEnumAdviseSink(&tree_->renderSinks_);
  return S_OK;
}

HRESULT AsmTree::XIJRenderAdviseHolder::SendOnRender() { return E_NOTIMPL; }

// ---- AsmTree::XIEnumRenderAdviseSink ----

HRESULT AsmTree::XIEnumRenderAdviseSink::QueryInterface(REFIID iid, void** out) {
  return tree_->QueryInterface(iid, out);
}
ULONG AsmTree::XIEnumRenderAdviseSink::AddRef() { return tree_->AddRef(); }
ULONG AsmTree::XIEnumRenderAdviseSink::Release() { return tree_->Release(); }

HRESULT AsmTree::XIEnumRenderAdviseSink::Next(ULONG count, IJRenderAdviseSink** sink, ULONG* fetched) {
  return NextSink(tree_->renderSinks_, tree_->renderCursor_, count, sink, fetched);
}

HRESULT AsmTree::XIEnumRenderAdviseSink::Skip(ULONG count) {
  SkipSinks(tree_->renderSinks_, tree_->renderCursor_, count);
  return S_OK;
}

HRESULT AsmTree::XIEnumRenderAdviseSink::Reset() {
  tree_->renderCursor_ = 0;
  return S_OK;
}

HRESULT AsmTree::XIEnumRenderAdviseSink::Clone(IEnumRenderAdviseSink**) { return E_NOTIMPL; }

// ---- JRenderEnumAdviseSink ----

HRESULT JRenderEnumAdviseSink::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IEnumRenderAdviseSink) return E_NOINTERFACE;
  *out = static_cast<IEnumRenderAdviseSink*>(this);
  AddRef();
  return S_OK;
}

ULONG JRenderEnumAdviseSink::AddRef() { return static_cast<ULONG>(++refCount_); }

ULONG JRenderEnumAdviseSink::Release() {
  LONG count = --refCount_;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT JRenderEnumAdviseSink::Next(ULONG count, IJRenderAdviseSink** sink, ULONG* fetched) {
  return NextSink(*list_, cursor_, count, sink, fetched);
}

HRESULT JRenderEnumAdviseSink::Skip(ULONG count) {
  SkipSinks(*list_, cursor_, count);
  return S_OK;
}

HRESULT JRenderEnumAdviseSink::Reset() {
  cursor_ = 0;
  return S_OK;
}

HRESULT JRenderEnumAdviseSink::Clone(IEnumRenderAdviseSink**) { return E_NOTIMPL; }
