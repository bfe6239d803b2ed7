// Run-time switches: named settings the library asks the host for, each with
// a default.
//
// A switch is looked up, in this order, in
//   1. the process-wide settings table the host fills (SetSetting),
//   2. the environment variable QUORRA_<name>, where every character of the
//      name that is not an ASCII letter, digit or '_' (spaces included)
//      becomes '_': "Override Document Caching Disable" is read from
//      QUORRA_Override_Document_Caching_Disable,
//   3. the default the caller passes.
// User preferences are named "<section>\<key>" in the table and so read from
// QUORRA_<section>_<key> ("Options-Color", "Disabled" from
// QUORRA_Options_Color_Disabled). Runtime preference n is named
// "RuntimePreference\<n>" (decimal), read from QUORRA_RuntimePreference_<n>.
//
// Values are text. A BOOL is "1"/"0", "true"/"false" or "on"/"off" (any
// letter case), or any number (non-zero is TRUE). A DWORD is decimal or
// hexadecimal with "0x". Surrounding blanks are ignored. A value that does
// not parse is traced (E_INVALIDARG) and the default is answered.
//
// Every call reads afresh; a caller that wants a switch once per process
// keeps what it read.
#pragma once

#include <string>

#include "quorra/host/types.h"

extern "C" {

BOOL JGetDebugBOOL(LPCWSTR name, BOOL defaultValue);
DWORD JGetDebugDWORD(LPCWSTR name, DWORD defaultValue);
// A configured text stays valid until the process ends (equal texts share
// one copy); the default is answered as passed.
LPCWSTR JGetDebugLPCWSTR(LPCWSTR name, LPCWSTR defaultValue);
BOOL JRenderRegistryBOOL(LPCWSTR name, BOOL defaultValue);
// The configured value of runtime preference `preference` with only the
// bits of `mask` kept; `defaultValue` as passed (not masked) when the
// preference is not configured.
DWORD JGetRuntimePreference(DWORD preference, DWORD mask, DWORD defaultValue);
DWORD JGetUserPrefDWORD(LPCWSTR section, LPCWSTR key, DWORD defaultValue);

}  // extern "C"

namespace quorra::host {

// The settings table. Names compare exactly (letter case included).
// SetSetting replaces an existing value; E_INVALIDARG for a null or empty
// name or a null value. RemoveSetting answers S_FALSE when there was none.
HRESULT SetSetting(LPCWSTR name, LPCWSTR value);
HRESULT RemoveSetting(LPCWSTR name);
void ClearSettings();
// The table's value of a name (not the environment's); false when unset.
bool GetSetting(LPCWSTR name, std::wstring* value);

// Table names of preferences: "<section>\<key>" and "RuntimePreference\<n>".
std::wstring UserPreferenceSettingName(LPCWSTR section, LPCWSTR key);
std::wstring RuntimePreferenceSettingName(DWORD preference);
// The environment variable a setting name is read from.
std::string SwitchEnvironmentName(LPCWSTR name);

// Sets (or, with a null value, removes) a setting for the lifetime of the
// object and then restores what the table held before.
class ScopedSetting {
 public:
  ScopedSetting(LPCWSTR name, LPCWSTR value);
  ~ScopedSetting();
  ScopedSetting(const ScopedSetting&) = delete;
  ScopedSetting& operator=(const ScopedSetting&) = delete;

 private:
  std::wstring name_;
  std::wstring previous_;
  bool hadPrevious_ = false;
};

}  // namespace quorra::host
