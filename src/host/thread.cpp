// Threads, events and the handles that name them, thread ids and the
// per-thread last error.
//
// A handle is a number looked up in a process-wide table that holds the
// object by shared ownership; a running thread holds its own object too, so
// closing the handle of a running thread only drops the table's share.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "quorra/host/kernel.h"
#include "quorra/host/trace.h"

namespace {

constexpr const char* kTraceSource = "quorra/host/kernel";

thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local DWORD t_threadId = 0;
std::atomic<DWORD> g_nextThreadId{1};

DWORD NewThreadId() {
  DWORD id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
  if (id == 0) id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);  // after wrap-around: 0 means none
  return id;
}

// What a handle names: a thread (signalled when it ends) or an event.
struct KernelObject {
  enum class Kind { kThread, kEvent };
  explicit KernelObject(Kind k) : kind(k) {}

  const Kind kind;
  std::mutex mutex;
  std::condition_variable signalledChanged;
  bool signalled = false;
  bool autoReset = false;  // events: a satisfied wait resets the event
  // Threads only.
  DWORD threadId = 0;
  DWORD exitCode = STILL_ACTIVE;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
};

class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uintptr_t value = next_;
    next_ += 4;
    objects_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
  }

  std::shared_ptr<KernelObject> Find(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second;
  }

  bool Remove(HANDLE handle) {
    std::shared_ptr<KernelObject> released;  // destroyed outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) return false;
    released = std::move(it->second);
    objects_.erase(it);
    return true;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
  uintptr_t next_ = 0x1000;  // multiples of 4, far from null
};

// Never destroyed: detached threads may still end after static destruction.
HandleTable& Handles() {
  static HandleTable* table = new HandleTable();
  return *table;
}

// Looks a handle up, refusing unknown handles and objects of the wrong kind.
std::shared_ptr<KernelObject> FindObject(HANDLE handle, const char* operation, const KernelObject::Kind* kind) {
  std::shared_ptr<KernelObject> object = Handles().Find(handle);
  if (!object || (kind && object->kind != *kind)) {
    SetLastError(ERROR_INVALID_HANDLE);
    QUORRA_TRACE_FAIL(E_HANDLE, operation);
    return nullptr;
  }
  return object;
}

constexpr KernelObject::Kind kThreadKind = KernelObject::Kind::kThread;
constexpr KernelObject::Kind kEventKind = KernelObject::Kind::kEvent;

void* RunThread(void* argument) {
  std::unique_ptr<std::shared_ptr<KernelObject>> holder(static_cast<std::shared_ptr<KernelObject>*>(argument));
  KernelObject& thread = **holder;
  t_threadId = thread.threadId;
  DWORD exitCode;
  try {
    exitCode = thread.start(thread.parameter);
  } catch (...) {
    QUORRA_TRACE_FAIL(E_UNEXPECTED, "CreateThread");
    exitCode = static_cast<DWORD>(E_UNEXPECTED);
  }
  {
    std::lock_guard<std::mutex> lock(thread.mutex);
    thread.exitCode = exitCode;
    thread.signalled = true;
  }
  thread.signalledChanged.notify_all();
  return nullptr;
}

size_t UsableStackSize(SIZE_T requested) {
  const long page = sysconf(_SC_PAGESIZE);
  const size_t pageSize = page > 0 ? static_cast<size_t>(page) : 4096;
  size_t size = requested < static_cast<size_t>(PTHREAD_STACK_MIN) ? PTHREAD_STACK_MIN : requested;
  return (size + pageSize - 1) / pageSize * pageSize;
}

}  // namespace

extern "C" DWORD GetLastError() { return t_lastError; }

extern "C" void SetLastError(DWORD error) { t_lastError = error; }

extern "C" DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = NewThreadId();
  return t_threadId;
}

extern "C" void Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

extern "C" HANDLE CreateThread(LPSECURITY_ATTRIBUTES /*security*/, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                               LPVOID parameter, DWORD flags, LPDWORD threadId) {
  if (!start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    QUORRA_TRACE_FAIL(E_INVALIDARG, "CreateThread");
    return nullptr;
  }
  if (flags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) {
    SetLastError(ERROR_NOT_SUPPORTED);
    QUORRA_TRACE_FAIL(E_NOTIMPL, "CreateThread");
    return nullptr;
  }
  std::shared_ptr<KernelObject> thread;
  std::unique_ptr<std::shared_ptr<KernelObject>> holder;  // the new thread's share
  HANDLE handle = nullptr;
  try {
    thread = std::make_shared<KernelObject>(KernelObject::Kind::kThread);
    thread->threadId = NewThreadId();
    thread->start = start;
    thread->parameter = parameter;
    holder = std::make_unique<std::shared_ptr<KernelObject>>(thread);
    handle = Handles().Add(thread);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "CreateThread");
    return nullptr;
  }

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) pthread_attr_setstacksize(&attributes, UsableStackSize(stackSize));
  pthread_t native;
  const int failure = pthread_create(&native, &attributes, RunThread, holder.get());
  pthread_attr_destroy(&attributes);
  if (failure) {
    Handles().Remove(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "CreateThread");
    return nullptr;
  }
  (void)holder.release();  // the thread owns its share now
  if (threadId) *threadId = thread->threadId;
  return handle;
}

extern "C" BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    QUORRA_TRACE_FAIL(E_POINTER, "GetExitCodeThread");
    return FALSE;
  }
  std::shared_ptr<KernelObject> thread = FindObject(handle, "GetExitCodeThread", &kThreadKind);
  if (!thread) return FALSE;
  std::lock_guard<std::mutex> lock(thread->mutex);
  *exitCode = thread->exitCode;
  return TRUE;
}

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*security*/, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (name) {
    SetLastError(ERROR_NOT_SUPPORTED);
    QUORRA_TRACE_FAIL(E_NOTIMPL, "CreateEventW");
    return nullptr;
  }
  try {
    auto event = std::make_shared<KernelObject>(KernelObject::Kind::kEvent);
    event->autoReset = !manualReset;
    event->signalled = initialState != FALSE;
    return Handles().Add(std::move(event));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "CreateEventW");
    return nullptr;
  }
}

extern "C" BOOL SetEvent(HANDLE handle) {
  std::shared_ptr<KernelObject> event = FindObject(handle, "SetEvent", &kEventKind);
  if (!event) return FALSE;
  {
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = true;
  }
  event->signalledChanged.notify_all();
  return TRUE;
}

extern "C" BOOL ResetEvent(HANDLE handle) {
  std::shared_ptr<KernelObject> event = FindObject(handle, "ResetEvent", &kEventKind);
  if (!event) return FALSE;
  std::lock_guard<std::mutex> lock(event->mutex);
  event->signalled = false;
  return TRUE;
}

extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  std::shared_ptr<KernelObject> object = FindObject(handle, "WaitForSingleObject", nullptr);
  if (!object) return WAIT_FAILED;
  if (object->kind == KernelObject::Kind::kThread && milliseconds == INFINITE &&
      object->threadId == GetCurrentThreadId()) {
    // A thread waiting for its own end would never wake.
    SetLastError(ERROR_INVALID_PARAMETER);
    QUORRA_TRACE_FAIL(E_INVALIDARG, "WaitForSingleObject");
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> lock(object->mutex);
  auto isSignalled = [&] { return object->signalled; };
  if (milliseconds == INFINITE) {
    object->signalledChanged.wait(lock, isSignalled);
  } else if (!object->signalledChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), isSignalled)) {
    return WAIT_TIMEOUT;
  }
  if (object->autoReset) object->signalled = false;
  return WAIT_OBJECT_0;
}

extern "C" BOOL CloseHandle(HANDLE handle) {
  if (!Handles().Remove(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    QUORRA_TRACE_FAIL(E_HANDLE, "CloseHandle");
    return FALSE;
  }
  return TRUE;
}
