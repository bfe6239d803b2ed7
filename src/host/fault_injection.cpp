// The counters behind the fault-injection checks of host/fault_injection.h.
#include "host/fault_injection.h"

#include <signal.h>
#include <unistd.h>

namespace quorra {

namespace fault_detail {
std::atomic<uint64_t> allocationCountdown{0};
std::atomic<uint64_t> storageCountdown{0};
}  // namespace fault_detail

namespace {
std::atomic<bool> allocationDelivered{false};
std::atomic<bool> storageDelivered{false};
std::atomic<StorageFault> storageFault{StorageFault::kFail};

// Counts one call down; true for the call that takes the counter from 1 to
// 0. Calls racing on other threads each take one step, so exactly one of
// them gets the fault.
bool CountDown(std::atomic<uint64_t>& countdown) noexcept {
  uint64_t left = countdown.load(std::memory_order_relaxed);
  while (left != 0 && !countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
  }
  return left == 1;
}
}  // namespace

bool fault_detail::CountDownAllocation() noexcept {
  if (!CountDown(allocationCountdown)) return false;
  allocationDelivered.store(true);
  return true;
}

bool fault_detail::CountDownStorage() noexcept {
  if (!CountDown(storageCountdown)) return false;
  storageDelivered.store(true);
  if (storageFault.load() == StorageFault::kKill) ::kill(::getpid(), SIGKILL);
  return true;
}

void FailAllocationAt(uint64_t n) {
  allocationDelivered.store(false);
  fault_detail::allocationCountdown.store(n);
}

void FailStorageAt(uint64_t n, StorageFault fault) {
  storageDelivered.store(false);
  storageFault.store(fault);
  fault_detail::storageCountdown.store(n);
}

bool AllocationFaultDelivered() { return allocationDelivered.load(); }
bool StorageFaultDelivered() { return storageDelivered.load(); }
StorageFault ArmedStorageFault() { return storageFault.load(); }

}  // namespace quorra
