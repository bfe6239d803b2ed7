// Feeds arbitrary bytes to the display data reader. Data it accepts must pass
// the writer's checks and encode back to the very same bytes.
#include <quorra/quorra.h>
#include <quorra/refhost/display_data.h>

#include <algorithm>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quorra::refhost::DisplayData read;
  if (FAILED(quorra::refhost::DecodeDisplayData(data, size, &read))) {
    if (!read.levels.empty()) __builtin_trap();
    return 0;
  }
  std::vector<BYTE> again;
  if (FAILED(quorra::refhost::EncodeDisplayData(read, &again))) __builtin_trap();
  if (again.size() != size || !std::equal(again.begin(), again.end(), data)) __builtin_trap();
  return 0;
}
