// Render advise: display clients register sinks with a tree to be told about
// rendering. The tree carries the holder and an enumerator over one list of
// sinks; JRenderEnumAdviseSink is a separate enumerator over the same list.
#pragma once

#include <vector>

#include "quorra/host/types.h"

constexpr IID IID_IJRenderAdviseHolder = {0xD63029B8, 0x2152, 0x11D0, {0xA1, 0xED, 0x08, 0x00, 0x36, 0xB4, 0xD6, 0x02}};
constexpr IID IID_IEnumRenderAdviseSink = {0xD63029B9, 0x2152, 0x11D0, {0xA1, 0xED, 0x08, 0x00, 0x36, 0xB4, 0xD6, 0x02}};
constexpr IID IID_IJRenderAdviseSink = {0xD63029BA, 0x2152, 0x11D0, {0xA1, 0xED, 0x08, 0x00, 0x36, 0xB4, 0xD6, 0x02}};

// The host's render advise sink. The tree calls slot 7 on every registered
// sink when it is destroyed.
struct IJRenderAdviseSink : IUnknown {
  virtual HRESULT OnBeginRender() = 0;                  // slot 3
  virtual HRESULT OnEndRender() = 0;                    // slot 4
  virtual HRESULT OnInvalidate() = 0;                   // slot 5
  virtual HRESULT OnRangeChanged() = 0;                 // slot 6
  virtual HRESULT OnTreeDestroyed() = 0;                // slot 7

 protected:
  ~IJRenderAdviseSink() = default;
};

struct IEnumRenderAdviseSink : IUnknown {
  // The sink at the cursor (no reference taken) and advance: S_OK with
  // fetched 1, or S_FALSE with fetched 0 at the end.
  virtual HRESULT Next(ULONG count, IJRenderAdviseSink** sink, ULONG* fetched) = 0;  // slot 3
  virtual HRESULT Skip(ULONG count) = 0;                                             // slot 4
  virtual HRESULT Reset() = 0;                                                       // slot 5
  virtual HRESULT Clone(IEnumRenderAdviseSink** out) = 0;                            // slot 6, E_NOTIMPL

 protected:
  ~IEnumRenderAdviseSink() = default;
};

struct IJRenderAdviseHolder : IUnknown {
  virtual HRESULT Advise(IJRenderAdviseSink* sink, IJRenderAdviseSink** cookie) = 0;  // slot 3
  virtual HRESULT Unadvise(IJRenderAdviseSink* sink) = 0;                           // slot 4
  virtual HRESULT EnumAdvise(IEnumRenderAdviseSink** out) = 0;                      // slot 5
  virtual HRESULT SendOnRender() = 0;                                               // slot 6, E_NOTIMPL

 protected:
  ~IJRenderAdviseHolder() = default;
};

using RenderAdviseSinkList = std::vector<IJRenderAdviseSink*>;

// A free-standing enumerator over a tree's sink list, reference counted.
class JRenderEnumAdviseSink final : public IEnumRenderAdviseSink {
 public:
  explicit JRenderEnumAdviseSink(const RenderAdviseSinkList* list) : list_(list) {}
  HRESULT QueryInterface(REFIID iid, void** out) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT Next(ULONG count, IJRenderAdviseSink** sink, ULONG* fetched) override;
  HRESULT Skip(ULONG count) override;
  HRESULT Reset() override;
  HRESULT Clone(IEnumRenderAdviseSink** out) override;

 private:
  virtual ~JRenderEnumAdviseSink() = default;
  LONG refCount_ = 1;
  const RenderAdviseSinkList* list_;
  size_t cursor_ = 0;
};
