// Helpers shared by the occurrence sources: the cold state, the empty box,
// box tests and the matrix products the occurrence code uses.
#pragma once

#include "quorra/attachment.h"
#include "quorra/host/display.h"
#include "quorra/host/geometry.h"
#include "quorra/host/styles.h"
#include "quorra/host/text.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "quorra/tree.h"

struct OccurrenceNode::ColdState {
  explicit ColdState(DWORD symbology) : cachedStyleKey(symbology) {}
  ColdState(const ColdState& other)
      : userName(other.userName),
        animated(other.animated),
        cachedStyleKey(other.cachedStyleKey),
        overrideColor(other.overrideColor) {}
  ColdState& operator=(const ColdState&) = delete;
  ~ColdState() {
    if (styleLibrary) styleLibrary->Release();
    delete cachedGeometry;
  }

  GUserText userName;
  tagG4x4 animated;  // valid while OCCX_ANIMATED_STATE_VALID is set
  GraphicInfoList* cachedGeometry = nullptr;
  IJStyleLibrary* styleLibrary = nullptr;  // held with a reference
  GGlobalStyle3D* cachedStyle = nullptr;
  DWORD cachedStyleKey;  // the symbology the cached style was looked up for
  DWORD overrideColor = OCC_NO_OVERRIDE_COLOR;
  DWORD crc = 0;  // 0 = not computed yet
};

namespace quorra {

// Whether the tree's children lists are all in attachment id order (no
// list was sorted by name and no id changed since they were made).
struct ChildOrderAccess {
  static bool ChildrenSortedById(const OccurrenceManager* manager) {
    return manager && !manager->childOrderDisturbed_;
  }
};

// How many attachment nodes of the process hold user data. While none do,
// an attachment matches a member route by its id alone.
size_t AttachmentsHoldingUserData();

}  // namespace quorra

namespace quorra::occ {

// The attachment id a child occurrence was made from. A function object, so
// that searches given it call it inline rather than through a pointer.
inline constexpr auto ChildID = [](const OccurrenceNode* child) -> DWORD {
  return child->GetWritableAttachment()->GetAttachmentID();
};

// The raw slot (vacancies counted) of the child made from `attachment` in a
// children list in id order, found by id and checked by address;
// children.GetRawCount() when the search finds none.
inline DWORD FindChildSlot(const NodeList<OccurrenceNode>& children, const AttachmentNode* attachment) {
  return children.FindRawByKey(attachment->GetAttachmentID(), ChildID, [attachment](const OccurrenceNode* child) {
    return child->GetAttachment() == attachment;
  });
}

// Exactly the empty box: every minimum at or above 1e30, every maximum at
// or below -1e30.
inline bool IsExactlyEmpty(const tagGBox& b) {
  return b.low[0] >= 1e30 && b.low[1] >= 1e30 && b.low[2] >= 1e30 && b.high[0] <= -1e30 && b.high[1] <= -1e30 &&
         b.high[2] <= -1e30;
}

// A range is set when its minimum x lies strictly between -1e30 and 1e30.
inline bool IsRangeSet(const tagGBox& b) { return b.low[0] > -1e30 && b.low[0] < 1e30; }

inline bool SameBox(const tagGBox& a, const tagGBox& b) {
  for (int i = 0; i < 3; ++i)
    if (a.low[i] != b.low[i] || a.high[i] != b.high[i]) return false;
  return true;
}

inline bool SameMatrix(const tagG4x4& a, const tagG4x4& b) {
  for (int i = 0; i < 16; ++i)
    if (a.m[i] != b.m[i]) return false;
  return true;
}

// a * b for two matrices whose last row is (0, 0, 0, 1): 36 products
// instead of 64; falls back to the full product otherwise.
inline void Multiply(const tagG4x4& a, const tagG4x4& b, tagG4x4& out) {
  if (!a.IsAffine() || !b.IsAffine()) {
    out = a * b;
    return;
  }
  const double* x = a.m;
  const double* y = b.m;
  double* r = out.m;
  for (int row = 0; row < 3; ++row) {
    const double a0 = x[4 * row], a1 = x[4 * row + 1], a2 = x[4 * row + 2], a3 = x[4 * row + 3];
    r[4 * row + 0] = a0 * y[0] + a1 * y[4] + a2 * y[8];
    r[4 * row + 1] = a0 * y[1] + a1 * y[5] + a2 * y[9];
    r[4 * row + 2] = a0 * y[2] + a1 * y[6] + a2 * y[10];
    r[4 * row + 3] = a0 * y[3] + a1 * y[7] + a2 * y[11] + a3;
  }
  r[12] = r[13] = r[14] = 0.0;
  r[15] = 1.0;
}

inline tagG4x4 Inverse(const tagG4x4& m) {
  tagG4x4 out{tagG4x4::NoInit{}};
  m.GetInverse(out);
  return out;
}

// The attachment's placement matrix as a tagG4x4.
inline const tagG4x4& PlacementOf(const AttachmentNode* attachment) {
  return attachment->GetXFormFromParent()->GiveAsG4x4();
}

}  // namespace quorra::occ
