// Run-time switches: the host's settings table, then the environment, then
// the caller's default.
#include "quorra/host/switches.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string_view>

#include "quorra/host/trace.h"

namespace {

constexpr const char* kTraceSource = "quorra/host/switches";

struct SettingsTable {
  std::mutex mutex;
  std::map<std::wstring, std::wstring, std::less<>> values;
  // Texts handed out by JGetDebugLPCWSTR; never shrinks, so the pointers
  // stay valid whatever happens to the table afterwards.
  std::set<std::wstring, std::less<>> handedOutTexts;
};

SettingsTable& Table() {
  static SettingsTable* table = new SettingsTable();  // never destroyed: read from static initialisers and destructors
  return *table;
}

bool IsPortableEnvironmentChar(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'_';
}

// Decodes UTF-8; a malformed sequence becomes U+FFFD.
std::wstring FromUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
    uint32_t code = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
    bool valid = extra >= 0 && i + static_cast<size_t>(extra) < text.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid || code > 0x10FFFF) {
      out.push_back(L'\uFFFD');
      ++i;
      continue;
    }
    out.push_back(static_cast<wchar_t>(code));
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

std::wstring_view Trimmed(std::wstring_view text) {
  const auto isBlank = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<DWORD> ParseDword(std::wstring_view text) {
  text = Trimmed(text);
  unsigned base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (wchar_t c : text) {
    unsigned digit;
    if (c >= L'0' && c <= L'9')
      digit = static_cast<unsigned>(c - L'0');
    else if (base == 16 && c >= L'a' && c <= L'f')
      digit = static_cast<unsigned>(c - L'a' + 10);
    else if (base == 16 && c >= L'A' && c <= L'F')
      digit = static_cast<unsigned>(c - L'A' + 10);
    else
      return std::nullopt;
    if (digit >= base) return std::nullopt;
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<DWORD>(value);
}

bool EqualsIgnoringCase(std::wstring_view text, std::wstring_view lowerCaseWord) {
  if (text.size() != lowerCaseWord.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != lowerCaseWord[i]) return false;
  }
  return true;
}

std::optional<BOOL> ParseBool(std::wstring_view text) {
  text = Trimmed(text);
  for (std::wstring_view word : {L"true", L"on"})
    if (EqualsIgnoringCase(text, word)) return TRUE;
  for (std::wstring_view word : {L"false", L"off"})
    if (EqualsIgnoringCase(text, word)) return FALSE;
  if (std::optional<DWORD> number = ParseDword(text)) return *number != 0 ? TRUE : FALSE;
  return std::nullopt;
}

// The configured text of a setting: the table's, else the environment's.
std::optional<std::wstring> Lookup(std::wstring_view name) {
  SettingsTable& table = Table();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.values.find(name);
    if (found != table.values.end()) return found->second;
  }
  const std::string variable = quorra::host::SwitchEnvironmentName(std::wstring(name).c_str());
  if (const char* value = std::getenv(variable.c_str())) return FromUtf8(value);
  return std::nullopt;
}

void TraceBadValue(std::wstring_view name, const std::wstring& value, const char* operation) {
  std::wstring message = L"switch \"";
  message.append(name);
  message += L"\" has the value \"" + value + L"\", which is not understood; the default applies";
  QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, message.c_str(), operation);
}

BOOL ReadBool(LPCWSTR name, BOOL defaultValue, const char* operation) {
  if (!name) {
    QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
    return defaultValue;
  }
  try {
    std::optional<std::wstring> text = Lookup(name);
    if (!text) return defaultValue;
    if (std::optional<BOOL> value = ParseBool(*text)) return *value;
    TraceBadValue(name, *text, operation);
  } catch (const std::bad_alloc&) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, operation);
  }
  return defaultValue;
}

std::optional<DWORD> ReadDword(std::wstring_view name, const char* operation) {
  try {
    std::optional<std::wstring> text = Lookup(name);
    if (!text) return std::nullopt;
    if (std::optional<DWORD> value = ParseDword(*text)) return value;
    TraceBadValue(name, *text, operation);
  } catch (const std::bad_alloc&) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, operation);
  }
  return std::nullopt;
}

}  // namespace

extern "C" BOOL JGetDebugBOOL(LPCWSTR name, BOOL defaultValue) { return ReadBool(name, defaultValue, "JGetDebugBOOL"); }

extern "C" BOOL JRenderRegistryBOOL(LPCWSTR name, BOOL defaultValue) {
  return ReadBool(name, defaultValue, "JRenderRegistryBOOL");
}

extern "C" DWORD JGetDebugDWORD(LPCWSTR name, DWORD defaultValue) {
  if (!name) {
    QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetDebugDWORD");
    return defaultValue;
  }
  return ReadDword(name, "JGetDebugDWORD").value_or(defaultValue);
}

extern "C" LPCWSTR JGetDebugLPCWSTR(LPCWSTR name, LPCWSTR defaultValue) {
  if (!name) {
    QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetDebugLPCWSTR");
    return defaultValue;
  }
  try {
    std::optional<std::wstring> text = Lookup(name);
    if (!text) return defaultValue;
    SettingsTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.handedOutTexts.insert(std::move(*text)).first->c_str();
  } catch (const std::bad_alloc&) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JGetDebugLPCWSTR");
    return defaultValue;
  }
}

extern "C" DWORD JGetRuntimePreference(DWORD preference, DWORD mask, DWORD defaultValue) {
  try {
    const std::wstring name = quorra::host::RuntimePreferenceSettingName(preference);
    if (std::optional<DWORD> value = ReadDword(name, "JGetRuntimePreference")) return *value & mask;
  } catch (const std::bad_alloc&) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JGetRuntimePreference");
  }
  return defaultValue;
}

extern "C" DWORD JGetUserPrefDWORD(LPCWSTR section, LPCWSTR key, DWORD defaultValue) {
  if (!section || !key) {
    QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetUserPrefDWORD");
    return defaultValue;
  }
  try {
    const std::wstring name = quorra::host::UserPreferenceSettingName(section, key);
    return ReadDword(name, "JGetUserPrefDWORD").value_or(defaultValue);
  } catch (const std::bad_alloc&) {
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JGetUserPrefDWORD");
    return defaultValue;
  }
}

namespace quorra::host {

HRESULT SetSetting(LPCWSTR name, LPCWSTR value) {
  if (!name || name[0] == L'\0' || !value) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SetSetting");
  try {
    SettingsTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.values.insert_or_assign(std::wstring(name), std::wstring(value));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "SetSetting");
  }
}

HRESULT RemoveSetting(LPCWSTR name) {
  if (!name) return QUORRA_TRACE_FAIL(E_INVALIDARG, "RemoveSetting");
  SettingsTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.values.find(std::wstring_view(name));
  if (found == table.values.end()) return S_FALSE;
  table.values.erase(found);
  return S_OK;
}

void ClearSettings() {
  SettingsTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.values.clear();
}

bool GetSetting(LPCWSTR name, std::wstring* value) {
  if (!name) return false;
  SettingsTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.values.find(std::wstring_view(name));
  if (found == table.values.end()) return false;
  if (value) *value = found->second;
  return true;
}

std::wstring UserPreferenceSettingName(LPCWSTR section, LPCWSTR key) {
  std::wstring name = section ? section : L"";
  name += L'\\';
  if (key) name += key;
  return name;
}

std::wstring RuntimePreferenceSettingName(DWORD preference) {
  return L"RuntimePreference\\" + std::to_wstring(preference);
}

std::string SwitchEnvironmentName(LPCWSTR name) {
  std::string variable = "QUORRA_";
  if (name)
    for (const wchar_t* c = name; *c; ++c)
      variable.push_back(IsPortableEnvironmentChar(*c) ? static_cast<char>(*c) : '_');
  return variable;
}

ScopedSetting::ScopedSetting(LPCWSTR name, LPCWSTR value) : name_(name ? name : L"") {
  hadPrevious_ = GetSetting(name_.c_str(), &previous_);
  if (value)
    SetSetting(name_.c_str(), value);
  else
    RemoveSetting(name_.c_str());
}

ScopedSetting::~ScopedSetting() {
  if (hadPrevious_)
    SetSetting(name_.c_str(), previous_.c_str());
  else
    RemoveSetting(name_.c_str());
}

}  // namespace quorra::host
