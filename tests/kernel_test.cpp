#include <gtest/gtest.h>
#include <pthread.h>
#include <quorra/quorra.h>

#include <stdexcept>

#include "support/threads.h"

using quorra::host::CriticalSectionLock;
using quorra::host::ScopedTraceCapture;
using quorra::test::StartThread;

namespace {

// Runs `body` on a thread made by CreateThread and waits for it.
template <class Body>
DWORD RunOnThread(Body body) {
  HANDLE thread = StartThread(body);
  EXPECT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_TRUE(CloseHandle(thread));
  return code;
}

struct Counter {
  CRITICAL_SECTION section;
  long value = 0;  // deliberately not atomic: only the section protects it
};

DWORD IncrementManyTimes(void* p) {
  auto* counter = static_cast<Counter*>(p);
  for (int i = 0; i < 100000; ++i) {
    CriticalSectionLock outer(counter->section);
    CriticalSectionLock inner(counter->section);  // recursion must not deadlock
    counter->value = counter->value + 1;
  }
  return 0;
}

}  // namespace

TEST(CriticalSection, ExcludesOtherThreadsUntilEveryEntryIsLeft) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));  // the owner enters again
  EnterCriticalSection(&section);

  auto otherThreadCanEnter = [&] {
    return RunOnThread([&]() -> DWORD {
      if (!TryEnterCriticalSection(&section)) return 0;
      LeaveCriticalSection(&section);
      return 1;
    });
  };
  EXPECT_EQ(otherThreadCanEnter(), 0u);
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  EXPECT_EQ(otherThreadCanEnter(), 0u);  // one entry still held
  LeaveCriticalSection(&section);
  EXPECT_EQ(otherThreadCanEnter(), 1u);
  DeleteCriticalSection(&section);
}

TEST(CriticalSection, SerialisesTwoThreads) {
  Counter counter;
  InitializeCriticalSection(&counter.section);
  HANDLE a = CreateThread(nullptr, 0, IncrementManyTimes, &counter, 0, nullptr);
  HANDLE b = CreateThread(nullptr, 0, IncrementManyTimes, &counter, 0, nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(WaitForSingleObject(a, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(b, INFINITE), WAIT_OBJECT_0);
  CloseHandle(a);
  CloseHandle(b);
  EXPECT_EQ(counter.value, 200000);
  DeleteCriticalSection(&counter.section);
}

TEST(CriticalSection, MisuseIsTracedAndDoesNotReleaseTheOwner) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto holdTheSection = [&]() -> DWORD {
    EnterCriticalSection(&section);
    SetEvent(entered);
    WaitForSingleObject(release, INFINITE);
    LeaveCriticalSection(&section);
    return 0;
  };
  HANDLE owner = StartThread(holdTheSection);
  ASSERT_EQ(WaitForSingleObject(entered, INFINITE), WAIT_OBJECT_0);
  {
    ScopedTraceCapture traces;
    LeaveCriticalSection(&section);  // not the owner
    EXPECT_TRUE(traces.Saw("LeaveCriticalSection", E_UNEXPECTED));
  }
  EXPECT_FALSE(TryEnterCriticalSection(&section));  // still held by the other thread
  SetEvent(release);
  WaitForSingleObject(owner, INFINITE);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  LeaveCriticalSection(&section);
  DeleteCriticalSection(&section);
  CloseHandle(owner);
  CloseHandle(entered);
  CloseHandle(release);

  // A deleted (or never initialised) section is refused, not used.
  ScopedTraceCapture traces;
  EnterCriticalSection(&section);
  EXPECT_TRUE(traces.Saw("EnterCriticalSection", E_UNEXPECTED));
  EXPECT_FALSE(TryEnterCriticalSection(nullptr));
  DeleteCriticalSection(&section);  // twice: nothing happens
}

TEST(Thread, WaitHonoursTimeoutAndReportsExitCodeAndId) {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0, idInside = 0;
  auto body = [&]() -> DWORD {
    WaitForSingleObject(go, INFINITE);
    idInside = GetCurrentThreadId();
    return 42;
  };
  HANDLE thread = StartThread(body, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);

  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(idInside, id);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_TRUE(CloseHandle(thread));
  CloseHandle(go);
}

TEST(Thread, ClosingARunningThreadsHandleLetsItFinish) {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr), done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto body = [&]() -> DWORD {
    WaitForSingleObject(go, INFINITE);
    SetEvent(done);
    return 0;
  };
  HANDLE thread = StartThread(body);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(CloseHandle(thread));
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
  // The closed handle is gone for good.
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
  CloseHandle(go);
  CloseHandle(done);
}

TEST(Thread, EscapingExceptionBecomesAnExitCode) {
  ScopedTraceCapture traces;
  DWORD code = RunOnThread([]() -> DWORD { throw std::runtime_error("boom"); });
  EXPECT_EQ(code, static_cast<DWORD>(E_UNEXPECTED));
  EXPECT_TRUE(traces.Saw("CreateThread", E_UNEXPECTED));
}

TEST(Thread, HonoursARequestedStackSize) {
  constexpr size_t kRequested = 16u << 20;  // above the usual 8 MiB default
  size_t actual = 0;
  auto body = [&]() -> DWORD {
    pthread_attr_t attributes;
    pthread_getattr_np(pthread_self(), &attributes);
    pthread_attr_getstacksize(&attributes, &actual);
    pthread_attr_destroy(&attributes);
    return 0;
  };
  HANDLE thread = StartThread(body, kRequested);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_GE(actual, kRequested);
}

TEST(Handles, BadHandlesAndArgumentsAreRefused) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0, [](void*) -> DWORD { return 0; }, nullptr, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  DWORD code;
  ScopedTraceCapture traces;
  EXPECT_FALSE(GetExitCodeThread(event, &code));  // not a thread
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(thread));  // not an event
  EXPECT_FALSE(ResetEvent(nullptr));
  EXPECT_FALSE(GetExitCodeThread(thread, nullptr));
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_FALSE(CloseHandle(thread));  // twice
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x12345), 0), WAIT_FAILED);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(CreateThread(
                nullptr, 0, [](void*) -> DWORD { return 0; }, nullptr, CREATE_SUSPENDED, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"named"), nullptr);
  EXPECT_TRUE(traces.Saw("CloseHandle", E_HANDLE));
  EXPECT_TRUE(CloseHandle(event));

  // A thread waiting forever for itself is refused instead of hanging.
  HANDLE self = nullptr;
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto waitForItself = [&]() -> DWORD {
    WaitForSingleObject(ready, INFINITE);
    return WaitForSingleObject(self, INFINITE);
  };
  HANDLE waiter = StartThread(waitForItself);
  self = waiter;
  SetEvent(ready);
  ASSERT_EQ(WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(waiter, &code));
  EXPECT_EQ(code, WAIT_FAILED);
  CloseHandle(waiter);
  CloseHandle(ready);
}

TEST(Event, AutoResetReleasesOneWaitManualResetStaysSet) {
  HANDLE autoReset = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT);
  SetEvent(autoReset);
  EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);

  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  SetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ResetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  CloseHandle(autoReset);
  CloseHandle(manual);
}

TEST(Interlocked, ReturnValuesFollowTheWindowsConventions) {
  LONG volatile value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedExchange(&value, 10), 6);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 10);
  EXPECT_EQ(InterlockedCompareExchange(&value, 99, 12), 13);  // no match: unchanged
  EXPECT_EQ(value, 13);
  EXPECT_EQ(InterlockedCompareExchange(&value, 99, 13), 13);
  EXPECT_EQ(value, 99);
}

TEST(LastError, IsPerThread) {
  SetLastError(1234);
  EXPECT_EQ(RunOnThread([]() -> DWORD {
              const DWORD initial = GetLastError();
              SetLastError(77);
              return initial;
            }),
            ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), 1234u);
}
