// Compiles the umbrella header with -Werror and calls into the installed library.
#include <quorra/quorra.h>

#include <cstdio>

int main() {
  if (HRerrEx(nullptr, nullptr, E_FAIL, nullptr, "consumer", __LINE__, "Consumer::Main") != E_FAIL) return 1;
  std::puts("consumer: ok");
  return 0;
}
