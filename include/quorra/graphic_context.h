// CutawayContext: the buffer in which per-site display items are gathered
// while a tree draws a cutaway: parallel arrays of ids, graphic records and
// typed graphics, one slot each.
#pragma once

#include "quorra/host/display.h"
#include "quorra/host/types.h"

class CutawayContext {
 public:
  CutawayContext() = default;
  explicit CutawayContext(int size);
  CutawayContext(const CutawayContext&) = delete;
  CutawayContext& operator=(const CutawayContext&) = delete;
  ~CutawayContext();

  // Grows to n slots when n exceeds the size (a smaller n keeps the size),
  // then empties every slot. Returns the size.
  int SetSize(int n);
  int GetSize() const { return size_; }
  // SetSize(count), then copies the records into the graphic-info slots.
  HRESULT BeginAccess(int count, const GraphicInfo* records);
  // Ends the access of each typed graphic in [first, first + count) (count
  // below 1: all slots) and empties those slots.
  HRESULT EndAccess(int first, int count);

  operator DWORD*() { return ids_; }
  operator GraphicInfo*() { return infos_; }
  operator IJTypedGraphic**() { return typedGraphics_; }

 private:
  void FreeArrays();

  int size_ = 0;
  DWORD* ids_ = nullptr;
  GraphicInfo* infos_ = nullptr;
  IJTypedGraphic** typedGraphics_ = nullptr;
};
