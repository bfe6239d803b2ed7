// Fault injection for the tests: the library's allocation points and the
// storage layer ask here whether the call they are about to make should fail.
// Disarmed, each check is one relaxed load of a global counter and a branch
// that is never taken, so the checks stay compiled in. Include as
// "host/fault_injection.h"; not installed.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorra {

// What an armed storage fault does to the call it hits.
enum class StorageFault {
  kFail,       // the call fails (STG_E_READFAULT / STG_E_WRITEFAULT)
  kShortRead,  // a stream read hands back half of what it was asked for; other calls fail
  kKill,       // the process is killed with SIGKILL (the tests run it in a child)
};

namespace fault_detail {
// Calls left before the armed one; 0 when disarmed.
extern std::atomic<uint64_t> allocationCountdown;
extern std::atomic<uint64_t> storageCountdown;
bool CountDownAllocation() noexcept;
bool CountDownStorage() noexcept;
}  // namespace fault_detail

// Arms the `n`th library allocation from now (1: the next) to fail, once;
// 0 disarms.
void FailAllocationAt(uint64_t n);
// Arms the `n`th storage call from now (stream reads and writes, file reads
// and writes, the rename that replaces a file) to do `fault`, once; 0
// disarms. A kKill fault kills the process with SIGKILL at that call.
void FailStorageAt(uint64_t n, StorageFault fault = StorageFault::kFail);
// True once the fault armed last has been delivered. A sweep that arms the
// Nth call and sees no delivery has passed the last call.
bool AllocationFaultDelivered();
bool StorageFaultDelivered();

// True when this allocation is the armed one: the caller then behaves as if
// the allocation had failed.
inline bool AllocationFails() noexcept {
  if (__builtin_expect(fault_detail::allocationCountdown.load(std::memory_order_relaxed) == 0, 1)) return false;
  return fault_detail::CountDownAllocation();
}

// True when this storage call is the armed one: the caller then fails it
// with its own code (or, for kShortRead at a stream read, reads short).
inline bool StorageCallFails() noexcept {
  if (__builtin_expect(fault_detail::storageCountdown.load(std::memory_order_relaxed) == 0, 1)) return false;
  return fault_detail::CountDownStorage();
}

// The fault armed last with FailStorageAt.
StorageFault ArmedStorageFault();

}  // namespace quorra
