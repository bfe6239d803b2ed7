// DisplayRoadmap from the host's roadmap value. Both read root first: an
// occurrence's JRoadmap is collected upwards and then reversed, so the
// DisplayRoadmap made from it is the path GetDisplayRoadmap gives.
#include "quorra/roadmap.h"

#include "quorra/host/identity.h"

DisplayRoadmap::DisplayRoadmap(const JRoadmap& roadmap) { AppendFrom(roadmap); }

DisplayRoadmap& DisplayRoadmap::operator=(const JRoadmap& roadmap) {
  Clear();
  AppendFrom(roadmap);
  return *this;
}

void DisplayRoadmap::AppendFrom(const JRoadmap& roadmap) {
  const DWORD count = roadmap.GetCount();
  for (DWORD i = 0; i < count; ++i)
    if (FAILED(AddLink(roadmap.GetAt(i)))) return;
}
