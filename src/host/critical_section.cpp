// Critical sections: a mutex constructed inside the caller's CRITICAL_SECTION,
// made recursive by recording the owning thread and how often it entered.
#include <atomic>
#include <mutex>
#include <new>

#include "quorra/host/kernel.h"
#include "quorra/host/trace.h"

namespace {

constexpr const char* kTraceSource = "quorra/host/kernel";

// Present in Initialized while the section is usable.
constexpr DWORD kInitializedMarker = 0x43534543u;

static_assert(sizeof(std::mutex) <= sizeof(CRITICAL_SECTION::Opaque), "the mutex must fit the opaque storage");
static_assert(alignof(std::mutex) <= alignof(CRITICAL_SECTION), "the mutex must fit the opaque alignment");

std::mutex& MutexOf(CRITICAL_SECTION* section) { return *std::launder(reinterpret_cast<std::mutex*>(section->Opaque)); }

// The owner is read by threads that do not hold the section (to learn that
// they are not the owner), so it is accessed atomically.
DWORD OwnerOf(CRITICAL_SECTION* section) {
  return std::atomic_ref<DWORD>(section->OwningThread).load(std::memory_order_relaxed);
}

void SetOwner(CRITICAL_SECTION* section, DWORD owner) {
  std::atomic_ref<DWORD>(section->OwningThread).store(owner, std::memory_order_relaxed);
}

bool IsUsable(CRITICAL_SECTION* section, const char* operation) {
  if (!section) {
    QUORRA_TRACE_FAIL(E_POINTER, operation);
    return false;
  }
  if (section->Initialized != kInitializedMarker) {
    QUORRA_TRACE_FAIL(E_UNEXPECTED, operation);
    return false;
  }
  return true;
}

}  // namespace

extern "C" void InitializeCriticalSection(CRITICAL_SECTION* section) {
  if (!section) {
    QUORRA_TRACE_FAIL(E_POINTER, "InitializeCriticalSection");
    return;
  }
  new (section->Opaque) std::mutex();
  section->OwningThread = 0;
  section->RecursionCount = 0;
  section->Initialized = kInitializedMarker;
}

extern "C" void EnterCriticalSection(CRITICAL_SECTION* section) {
  if (!IsUsable(section, "EnterCriticalSection")) return;
  const DWORD self = GetCurrentThreadId();
  if (OwnerOf(section) == self) {
    ++section->RecursionCount;
    return;
  }
  MutexOf(section).lock();
  SetOwner(section, self);
  section->RecursionCount = 1;
}

extern "C" BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
  if (!IsUsable(section, "TryEnterCriticalSection")) return FALSE;
  const DWORD self = GetCurrentThreadId();
  if (OwnerOf(section) == self) {
    ++section->RecursionCount;
    return TRUE;
  }
  if (!MutexOf(section).try_lock()) return FALSE;
  SetOwner(section, self);
  section->RecursionCount = 1;
  return TRUE;
}

extern "C" void LeaveCriticalSection(CRITICAL_SECTION* section) {
  if (!IsUsable(section, "LeaveCriticalSection")) return;
  if (OwnerOf(section) != GetCurrentThreadId()) {
    QUORRA_TRACE_FAIL(E_UNEXPECTED, "LeaveCriticalSection");
    return;
  }
  if (--section->RecursionCount == 0) {
    SetOwner(section, 0);
    MutexOf(section).unlock();
  }
}

extern "C" void DeleteCriticalSection(CRITICAL_SECTION* section) {
  if (!section || section->Initialized != kInitializedMarker) return;
  section->Initialized = 0;
  const DWORD owner = OwnerOf(section);
  if (owner != 0 && owner != GetCurrentThreadId()) {
    // Another thread holds it: leave the mutex as it is rather than destroy
    // it under that thread; its Leave is refused as uninitialised.
    QUORRA_TRACE_FAIL(E_UNEXPECTED, "DeleteCriticalSection");
    return;
  }
  if (owner != 0) {
    SetOwner(section, 0);
    section->RecursionCount = 0;
    MutexOf(section).unlock();
  }
  MutexOf(section).~mutex();
}
