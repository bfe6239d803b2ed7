// Graphic records of the host's display library.
#include "quorra/host/display.h"

void GraphicInfo::SetBuffers(DWORD count, const DWORD* ids, const double* values) {
  ids_.assign(count, 0);
  values_.assign(count, 0.0);
  for (DWORD i = 0; i < count; ++i) {
    if (ids) ids_[i] = ids[i];
    if (values) values_[i] = values[i];
  }
}

void GraphicInfo::FreeBuffers() {
  std::vector<DWORD>().swap(ids_);
  std::vector<double>().swap(values_);
}
