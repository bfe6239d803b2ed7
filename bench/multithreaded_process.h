// A host process always runs several threads. In a process with only one,
// the C library takes lock-free shortcuts in malloc and in its mutexes,
// which would make allocation and locking look cheaper than they are where
// the library runs. Including this header starts one idle thread.
#pragma once

#include <quorra/quorra.h>

static const bool kProcessIsMultiThreaded = [] {
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE idle = CreateThread(
      nullptr, 0, [](void* event) -> DWORD { return WaitForSingleObject(event, INFINITE); }, never, 0, nullptr);
  CloseHandle(idle);  // detached: it ends with the process
  return idle != nullptr;
}();
