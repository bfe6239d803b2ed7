// User-token table with its chain of deleted entries.
#include "quorra/user_tokens.h"

#include <cstdlib>

#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/quorra";
constexpr DWORD kMaxTokens = 65535;
constexpr WORD kEndOfChain = 0xFFFF;
}  // namespace

UserTokenList::~UserTokenList() { std::free(entries_); }

HRESULT UserTokenList::CreateToken(WORD flags, DWORD* token) {
  if (!token) return E_INVALIDARG;
  DWORD index;
  if (freeHead_ != 0xFFFFFFFFu) {
    index = freeHead_;
    WORD next = entries_[index].value;
    freeHead_ = next == kEndOfChain ? 0xFFFFFFFFu : next;
  } else {
    if (count_ >= kMaxTokens) return QUORRA_TRACE_FAIL(E_FAIL, "UserTokenList::CreateToken");
    auto* grown = static_cast<Entry*>(std::realloc(entries_, (count_ + 1) * sizeof(Entry)));
    if (!grown) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "UserTokenList::CreateToken");
    entries_ = grown;
    index = count_++;
  }
  entries_[index] = Entry{flags, 0};
  *token = index;
  return S_OK;
}

HRESULT UserTokenList::DeleteToken(DWORD token) {
  if (token >= count_) return QUORRA_TRACE_FAIL(E_FAIL, "UserTokenList::DeleteToken");
  entries_[token] = Entry{0, static_cast<WORD>(freeHead_)};
  freeHead_ = token;
  return S_OK;
}

int UserTokenList::SetToken(DWORD token, int value) {
  int previous = entries_[token].value;
  entries_[token].value = static_cast<WORD>(value);
  return previous;
}

void UserTokenList::ClearAll(WORD mask) {
  if (mask == 0) return;
  for (DWORD i = 0; i < count_; ++i)
    if (entries_[i].flags & mask) entries_[i].value = 0;
}
