// Compiles the umbrella header with -Werror and calls into the installed library.
#include <quorra/quorra.h>

#include <cstdio>

// The installed headers hold the public surface only: none of the library's
// internals below is declared by them. Each of these variables would clash
// with a function of the same name, and each concept would hold for a
// reachable member.
namespace quorra {
int SetSiteMappingMode = 0;
int SiteIndexASize = 0;
int SiteIndexRegistrySize = 0;
int SetIdsHeapDisabledForTesting = 0;
int NewOccurrence = 0;
int AllocateOccurrenceSlot = 0;
}  // namespace quorra

template <class Manager>
concept HandsOutItsArena = requires(Manager& manager) {
  manager.GetArena();
};
static_assert(!HandsOutItsArena<OccurrenceManager>);

template <class Node>
concept PlacesInAnArena = requires {
  Node::operator new(sizeof(Node), static_cast<quorra::OccurrenceArena*>(nullptr));
};
static_assert(!PlacesInAnArena<PartOccurrence>);
static_assert(!PlacesInAnArena<AssemblyOccurrence>);

int main() {
  if (HRerrEx(nullptr, nullptr, E_FAIL, nullptr, "consumer", __LINE__, "Consumer::Main") != E_FAIL) return 1;
  std::puts("consumer: ok");
  return 0;
}
