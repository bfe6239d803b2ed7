// Starts test bodies on threads made by the host layer's CreateThread.
#pragma once

#include <quorra/quorra.h>

namespace quorra::test {

// Runs `body()` on a new thread; `body` must outlive the thread. The caller
// waits for and closes the handle.
template <class Body>
HANDLE StartThread(Body& body, SIZE_T stackSize = 0, DWORD* id = nullptr) {
  auto trampoline = [](void* p) -> DWORD { return (*static_cast<Body*>(p))(); };
  return CreateThread(nullptr, stackSize, trampoline, &body, 0, id);
}

}  // namespace quorra::test
