// Small value types of the host's display library that the tree keeps:
// faces found visible while simplifying an assembly, and display override
// items keyed by roadmap.
#pragma once

#include <tuple>

#include "quorra/host/types.h"

// A face seen as visible: the occurrence it belongs to and the face's id.
struct GVisibleItem {
  const void* occurrence = nullptr;
  DWORD faceId = 0;
  friend bool operator<(const GVisibleItem& a, const GVisibleItem& b) {
    return std::tie(a.occurrence, a.faceId) < std::tie(b.occurrence, b.faceId);
  }
  friend bool operator==(const GVisibleItem& a, const GVisibleItem& b) {
    return a.occurrence == b.occurrence && a.faceId == b.faceId;
  }
};

// A display override the host applies to the occurrence a roadmap names.
struct GOverrideItem {
  DWORD kind = 0;   // what is overridden (colour, visibility, ...), the host's code
  DWORD value = 0;  // the overriding value
  friend bool operator==(const GOverrideItem& a, const GOverrideItem& b) {
    return a.kind == b.kind && a.value == b.value;
  }
};
