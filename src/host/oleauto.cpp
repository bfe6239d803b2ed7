// OLE automation strings: a u32 byte length, the bytes, a two-byte zero.
#include "quorra/host/oleauto.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr size_t kPrefix = sizeof(UINT);
}  // namespace

extern "C" BSTR SysAllocStringByteLen(const char* bytes, UINT length) {
  auto* block = static_cast<BYTE*>(std::malloc(kPrefix + size_t{length} + sizeof(OLECHAR)));
  if (!block) return nullptr;
  std::memcpy(block, &length, kPrefix);
  BYTE* text = block + kPrefix;
  if (bytes && length) std::memcpy(text, bytes, length);
  text[length] = 0;
  text[length + 1] = 0;
  return reinterpret_cast<BSTR>(text);
}

extern "C" void SysFreeString(BSTR text) {
  if (text) std::free(reinterpret_cast<BYTE*>(text) - kPrefix);
}

extern "C" UINT SysStringByteLen(BSTR text) {
  if (!text) return 0;
  UINT length;
  std::memcpy(&length, reinterpret_cast<const BYTE*>(text) - kPrefix, kPrefix);
  return length;
}
