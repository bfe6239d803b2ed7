// Occurrence matrices: the cached world matrix, explode and override
// matrices, the animated matrix and the parent-relative and undecorated
// matrices derived from the placements.
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/occurrence_internal.h"
#include "quorra/host/trace.h"
#include "quorra/override_body_data.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/occ";

const tagG4x4 kIdentity;
}  // namespace

using quorra::occ::Inverse;
using quorra::occ::Multiply;

const tagG4x4& OccurrenceNode::LocalPlacement() const {
  if (flags_ & OCC_OVERRIDDEN_MATRIX) {
    if (const tagG4x4* overridden = GetOverrideMatrix()) return *overridden;
  }
  return attachment_ ? quorra::occ::PlacementOf(attachment_) : kIdentity;
}

void OccurrenceNode::RecomputeCurrentToWorld() {
  if (flagsEx_ & OCCX_ANIMATED_STATE_VALID) {
    // A change of the world matrix ends the animated state.
    const tagG4x4 previous = currentToWorld_;
    RefreshXform();
    if (!quorra::occ::SameMatrix(previous, currentToWorld_)) ClearAnimatedMatrix();
    return;
  }
  RefreshXform();
}

void OccurrenceNode::RefreshXform() {
  if (parent_) {
    const tagG4x4& parentWorld = parent_->GetCurrentToWorld();
    const tagG4x4& local = LocalPlacement();
    tagG4x4 world{tagG4x4::NoInit{}};
    if (const tagG4x4* explode = GetExplodeMatrix()) {
      tagG4x4 explodedParent{tagG4x4::NoInit{}};
      Multiply(*explode, parentWorld, explodedParent);
      Multiply(explodedParent, local, world);
    } else {
      Multiply(parentWorld, local, world);
    }
    // Stored only when it changed: a recompute that finds the same matrix
    // leaves the node's lines clean.
    if (std::memcmp(world.m, currentToWorld_.m, sizeof world.m) != 0) currentToWorld_ = world;
  } else {
    currentToWorld_.SetIdentity();
  }
  if (flags_ & OCC_OVERRIDDEN_BODY) RefreshOverrideBodyMatrix();
  flags_ &= ~OCC_XFORM_DIRTY;
}

HRESULT OccurrenceNode::GetConstraintMatrix(tagG4x4* matrix) const {
  if (!matrix) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetConstraintMatrix");
  if (flags_ & OCC_OVERRIDDEN_MATRIX) {
    const tagG4x4* overridden = GetOverrideMatrix();
    if (!overridden) return QUORRA_TRACE_FAIL(E_FAIL, "OccurrenceNode::GetConstraintMatrix");
    *matrix = *overridden;
    return S_OK;
  }
  if (!attachment_) return QUORRA_TRACE_FAIL(E_FAIL, "OccurrenceNode::GetConstraintMatrix");
  *matrix = quorra::occ::PlacementOf(attachment_);
  return S_OK;
}

const tagG4x4* OccurrenceNode::GetExplodeMatrix() const {
  if (!(flags_ & OCC_EXPLODE_MATRIX)) return nullptr;
  return static_cast<const tagG4x4*>(GetUserData(UD_EXPLODE_MATRIX, nullptr));
}

const tagG4x4* OccurrenceNode::GetOverrideMatrix() const {
  if (!(flags_ & OCC_OVERRIDDEN_MATRIX)) return nullptr;
  return static_cast<const tagG4x4*>(GetUserData(UD_OVERRIDE_MATRIX, nullptr));
}

HRESULT OccurrenceNode::SetMatrixUserData(DWORD type, DWORD flag, const tagGTransf* matrix) {
  int found = 0;
  void* block = GetUserData(type, &found);
  if (matrix) {
    if (!block) {
      // A block that cannot be made leaves the occurrence as it was.
      block = quorra::AllocUserDataMatrixBlock();
      if (!block) return S_OK;
      if (found) RemoveUserData(type);
      if (FAILED(AddUserData(type, block))) {
        std::free(block);
        return S_OK;
      }
    }
    new (block) tagG4x4(*matrix);
    flags_ |= flag;
  } else {
    if (!found) return S_OK;
    RemoveUserData(type);
    flags_ &= ~flag;
  }
  SetXformDirty();
  return S_OK;
}

HRESULT OccurrenceNode::SetExplodeMatrix(const tagGTransf* matrix) {
  return SetMatrixUserData(UD_EXPLODE_MATRIX, OCC_EXPLODE_MATRIX, matrix);
}

HRESULT OccurrenceNode::SetOverrideMatrix(const tagGTransf* matrix) {
  return SetMatrixUserData(UD_OVERRIDE_MATRIX, OCC_OVERRIDDEN_MATRIX, matrix);
}

// The embedding of an override body in the occurrence: the inverse of the
// body's placement.
tagG4x4 OccurrenceNode::GetEmbeddedMatrix() const {
  const JOverrideBodyData* body = StoredOverrideBody();
  return body ? Inverse(body->GetMatrix()) : tagG4x4();
}

const tagG4x4& OccurrenceNode::GetAnimatedMatrix() {
  if ((flagsEx_ & OCCX_ANIMATED_STATE_VALID) && cold_) {
    if (IsPart()) Multiply(cold_->animated, Inverse(GetEmbeddedMatrix()), currentToWorld_);
    return cold_->animated;
  }
  return GetCurrentToWorld();
}

void OccurrenceNode::SetAnimatedMatrix(const tagG4x4& animated, const tagG4x4& parentWorld) {
  ColdState* cold = Cold();
  if (!cold) return;
  flags_ |= OCC_DIRTY;
  cold->animated = animated;
  flagsEx_ |= OCCX_ANIMATED_STATE_VALID;
  const tagG4x4 inverseEmbedded = Inverse(GetEmbeddedMatrix());
  if (IsPart()) {
    Multiply(animated, inverseEmbedded, currentToWorld_);
  } else {
    tagG4x4 relative{tagG4x4::NoInit{}};
    Multiply(Inverse(parentWorld), animated, relative);
    Multiply(relative, inverseEmbedded, currentToWorld_);
  }
}

void OccurrenceNode::ClearAnimatedMatrix() {
  if (!(flagsEx_ & OCCX_ANIMATED_STATE_VALID)) return;
  flags_ |= OCC_DIRTY | OCC_XFORM_DIRTY;
  flagsEx_ &= ~OCCX_ANIMATED_STATE_VALID;
}

HRESULT OccurrenceNode::GetOccurrenceMatrix(tagG4x4* matrix, BOOL withExplode) {
  if (!matrix) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetOccurrenceMatrix");
  tagG4x4 constraint;
  const HRESULT result = GetConstraintMatrix(&constraint);
  AsmTree* tree = GetAsmTree();
  const bool animated = tree && tree->IsValidAnimationState(0xFFFFFFFFu) && IsAnimated();
  tagG4x4 explode;
  tagG4x4 placement;
  const tagG4x4* storedExplode = withExplode ? GetExplodeMatrix() : nullptr;
  if (storedExplode) explode = *storedExplode;
  if (animated) {
    tagG4x4 chain[5];
    GetAnimatedMatrixChain(&chain[0], &chain[1], &chain[2], &chain[3], &chain[4], nullptr, nullptr, 0xFFFFFFFFu);
    if (storedExplode) explode = chain[3];
    if (IsPart()) placement = chain[4];
  }
  if ((!animated && !storedExplode) || !parent_) {
    *matrix = constraint;
    return result;
  }
  // inverse(U) x P x E x U x C, with U the parent's undecorated world matrix.
  const tagG4x4 parentWorld = parent_->GetUndecoratedMatrix(0);
  *matrix = Inverse(parentWorld) * placement * explode * parentWorld * constraint;
  return result;
}

tagG4x4 OccurrenceNode::GetUndecoratedMatrix(DWORD options) const {
  tagG4x4 result;
  const tagG4x4* explode = nullptr;
  for (const OccurrenceNode* node = this; node && node->attachment_; node = node->parent_) {
    tagG4x4 next{tagG4x4::NoInit{}};
    Multiply(node->LocalPlacement(), result, next);
    result = next;
    // Going up, the last one found is the one nearest the root.
    if (options & 0x2) {
      if (const tagG4x4* found = node->GetExplodeMatrix()) explode = found;
    }
  }
  if (explode) result = *explode * result;
  if (options & 0x1) result = result * GetEmbeddedMatrix();
  return result;
}
