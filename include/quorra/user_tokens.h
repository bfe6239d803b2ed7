// User tokens: numbered 16-bit slots kept by a tree. A token created with a
// flag bit is cleared whenever ClearAllUserTokens is called with that bit, so
// flag 1 tokens hold their value only while no range in the tree changed.
#pragma once

#include "quorra/host/types.h"

class UserTokenList {
 public:
  UserTokenList() = default;
  UserTokenList(const UserTokenList&) = delete;
  UserTokenList& operator=(const UserTokenList&) = delete;
  ~UserTokenList();

  // Reuses the most recently deleted entry, else appends one.
  HRESULT CreateToken(WORD flags, DWORD* token);
  HRESULT DeleteToken(DWORD token);
  int GetToken(DWORD token) const { return entries_[token].value; }
  // Stores the low 16 bits of value and returns the previous value.
  int SetToken(DWORD token, int value);
  void ClearAll(WORD mask);
  DWORD GetCount() const { return count_; }

 private:
  struct Entry {
    WORD flags;
    WORD value;  // for a deleted entry: index of the next deleted one, 0xFFFF ends
  };
  DWORD count_ = 0;
  Entry* entries_ = nullptr;
  DWORD freeHead_ = 0xFFFFFFFFu;
};
