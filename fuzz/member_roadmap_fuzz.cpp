// Fuzz target for the member-roadmap readers: the bytes are read as a stored
// roadmap in version 0 and version 1 (stream form), as a route, and in the
// memory form through the bounded reader (which the library uses for bytes
// from outside). Whatever reads back must write and read again unchanged.
#include <quorra/quorra.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using quorra::host::ComPtr;

ComPtr<IStream> StreamOn(const uint8_t* data, size_t size) {
  ComPtr<IStream> stream;
  if (FAILED(quorra::host::CreateMemoryStreamOnBytes(data, size, stream.Put()))) std::abort();
  return stream;
}

void RoundTrip(const JMemberRoadmap& rm, WORD version) {
  ComPtr<IStream> out;
  if (FAILED(quorra::host::CreateMemoryStream(out.Put()))) std::abort();
  if (FAILED(rm.Save(out.Get(), version))) std::abort();
  LARGE_INTEGER start{};
  out->Seek(start, STREAM_SEEK_SET, nullptr);
  JMemberRoadmap back;
  if (back.Load(out.Get(), version) != S_OK || !(back == rm)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 16)) return 0;
  for (WORD version : {WORD{0}, WORD{1}}) {
    JMemberRoadmap rm;
    if (rm.Load(StreamOn(data, size).Get(), version) == S_OK) RoundTrip(rm, version);
    JMemberRoute route;
    route.Load(StreamOn(data, size).Get(), version);
  }
  JMemberRoadmap memory;
  size_t used = 0;
  if (memory.LoadBounded(data, size, &used) == S_OK) {
    if (used > size) std::abort();
    RoundTrip(memory, 0);
  }
  const BYTE* cursor = data;
  JMemberRoute route;
  while (route.LoadBounded(&cursor, data + size) == S_OK) {
  }
  return 0;
}
