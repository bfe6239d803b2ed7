// The host's occurrence container: the document interface through which the
// members (placed components) of an assembly document are reached by their
// attachment id.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/types.h"

// {1FC155A0-6BE3-101B-97A9-08003601CDC9}
constexpr IID IID_IJOccurrenceContainer = {0x1fc155a0, 0x6be3, 0x101b, {0x97, 0xa9, 0x08, 0x00, 0x36, 0x01, 0xcd, 0xc9}};
// {5BED5050-0BB7-11CE-91D1-080036661F02}: the host component interface of a member.
constexpr IID IID_IJComponent = {0x5bed5050, 0x0bb7, 0x11ce, {0x91, 0xd1, 0x08, 0x00, 0x36, 0x66, 0x1f, 0x02}};

struct IJOccurrenceContainer : IUnknown {
  // The member placed with `attachmentId`, in interface `iid`.
  virtual HRESULT GetMember(DWORD attachmentId, REFIID iid, void** out) = 0;  // slot 16

 protected:
  ~IJOccurrenceContainer() = default;
};
QUORRA_INTERFACE_ID(IJOccurrenceContainer, IID_IJOccurrenceContainer);
