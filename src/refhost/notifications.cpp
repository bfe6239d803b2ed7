// The "JAsmNotifyIDS" notifications refhost has received, kept for
// TakeIdsNotifications.
#include "quorra/refhost/notifications.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <new>

#include "refhost/host_modules.h"

namespace quorra::refhost {
namespace {

// A host that never reads them must not grow without end.
constexpr size_t kMaxKept = 4096;

struct Received {
  std::mutex lock;
  std::deque<IdsNotification> notifications;
};
Received& GetReceived() {
  static Received* received = new Received();
  return *received;
}

}  // namespace

HRESULT RecordIdsNotification(void* tree, void* document, DWORD code, void* flags) {
  Received& r = GetReceived();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.notifications.size() == kMaxKept) r.notifications.pop_front();
  try {
    r.notifications.push_back({tree, document, code, static_cast<DWORD>(reinterpret_cast<uintptr_t>(flags))});
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

std::vector<IdsNotification> TakeIdsNotifications() {
  Received& r = GetReceived();
  std::lock_guard<std::mutex> guard(r.lock);
  std::vector<IdsNotification> taken(r.notifications.begin(), r.notifications.end());
  r.notifications.clear();
  return taken;
}

}  // namespace quorra::refhost
