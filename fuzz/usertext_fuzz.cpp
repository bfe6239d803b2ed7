// Feeds arbitrary bytes to GUserText::Serialize through a read context until
// it fails, and writes every text it read back through a write context: the
// bytes written must be the bytes consumed whenever those were valid UTF-16,
// and reading what was written must give the same text again.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../tests/support/byte_stream.h"
#include "quorra/quorra.h"

using quorra::test::ByteStream;

namespace {

// True when `units` little-endian UTF-16 code units hold no unpaired surrogate.
bool IsValidUtf16(const BYTE* bytes, size_t units) {
  for (size_t i = 0; i < units; ++i) {
    unsigned u = bytes[2 * i] | bytes[2 * i + 1] << 8;
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= units) return false;
      unsigned next = bytes[2 * i + 2] | bytes[2 * i + 3] << 8;
      if (next < 0xDC00 || next > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

std::vector<BYTE> Write(const GUserText& text) {
  auto out = ByteStream::Create();
  JIOStreamContext writer(out.Get(), JIOStreamContext::kWriteContext);
  if (FAILED(text.Serialize(writer))) std::abort();
  return out->Bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto in = ByteStream::Create(std::vector<BYTE>(data, data + size));
  JIOStreamContext reader(in.Get(), JIOStreamContext::kReadContext);
  GUserText text;
  for (size_t before = in->Position(); SUCCEEDED(text.Serialize(reader)); before = in->Position()) {
    std::vector<BYTE> written = Write(text);
    const BYTE* consumed = data + before;
    size_t consumedSize = in->Position() - before;
    if (IsValidUtf16(consumed + 4, (consumedSize - 4) / 2) &&
        (written.size() != consumedSize || !std::equal(written.begin(), written.end(), consumed))) {
      std::abort();
    }
    // Replacements are stable: what was written reads back as the same text.
    auto again = ByteStream::Create(written);
    JIOStreamContext rereader(again.Get(), JIOStreamContext::kReadContext);
    GUserText reread;
    if (FAILED(reread.Serialize(rereader)) || !(reread == text) || Write(reread) != written) std::abort();
  }
  return 0;
}
