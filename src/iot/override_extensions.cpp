// Override-extension records: keying a record by document identity or
// name, and the list of overridden property types. The occurrence user data
// that holds records (100) and custom property overrides (104) is released
// here.
#include "quorra/override_extensions.h"

#include <algorithm>
#include <new>

#include "quorra/host/trace.h"
#include "quorra/user_data.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/iot";

struct ExtensionReleases {
  ExtensionReleases() {
    quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, UD_OVERRIDE_EXTENSIONS, [](void* value) {
      auto* records = static_cast<quorra::OverrideExtensionsList*>(value);
      for (JOverrideExtensions* record : *records) delete record;
      delete records;
    });
    quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, UD_CUSTOMOCCPROP_OVERRIDE, [](void* value) {
      delete static_cast<quorra::CustomOccPropertyOverrides*>(value);
    });
  }
} gExtensionReleases;

GUserText LowerCased(const GUserText& name) {
  GUserText lower(name);
  lower.ToLower();
  return lower;
}

}  // namespace

HRESULT JOverrideExtensions::KeyByDocument(const JDocIdentity& document, HRESULT conflict, const char* operation) {
  if (!document.DocumentSet()) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
  if (document_.DocumentSet() && document_ != document) return QUORRA_TRACE_FAIL(conflict, operation);
  document_ = document;
  name_.Empty();
  return S_OK;
}

HRESULT JOverrideExtensions::KeyByName(const GUserText& name, HRESULT conflict, const char* operation) {
  GUserText lower = LowerCased(name);
  if (lower.IsEmpty()) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
  if (name_.IsNotEmpty() && name_ != lower) return QUORRA_TRACE_FAIL(conflict, operation);
  name_ = std::move(lower);
  document_.Clear();
  return S_OK;
}

HRESULT JOverrideExtensions::SetOverrideDocument(const JDocIdentity& document) {
  return KeyByDocument(document, E_FAIL, "JOverrideExtensions::SetOverrideDocument");
}

HRESULT JOverrideExtensions::SetOverrideDocument(const GUserText& name) {
  return KeyByName(name, E_FAIL, "JOverrideExtensions::SetOverrideDocument");
}

HRESULT JOverrideExtensions::SetOverride(const JDocIdentity& document, DWORD type) {
  HRESULT hr = KeyByDocument(document, E_INVALIDARG, "JOverrideExtensions::SetOverride");
  if (FAILED(hr)) return hr;
  overrides_.push_back(type);
  return S_OK;
}

HRESULT JOverrideExtensions::SetOverride(const JDocIdentity& document, const std::vector<DWORD>& types) {
  HRESULT hr = KeyByDocument(document, E_INVALIDARG, "JOverrideExtensions::SetOverride");
  if (FAILED(hr)) return hr;
  overrides_ = types;
  return S_OK;
}

HRESULT JOverrideExtensions::SetOverride(const GUserText& name, DWORD type) {
  HRESULT hr = KeyByName(name, E_INVALIDARG, "JOverrideExtensions::SetOverride");
  if (FAILED(hr)) return hr;
  overrides_.push_back(type);
  return S_OK;
}

HRESULT JOverrideExtensions::AddOverride(DWORD type) {
  if (!IsKeyed()) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JOverrideExtensions::AddOverride");
  overrides_.push_back(type);
  return S_OK;
}

HRESULT JOverrideExtensions::RemoveOverride(DWORD type) {
  if (!IsKeyed()) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JOverrideExtensions::RemoveOverride");
  auto it = std::find(overrides_.begin(), overrides_.end(), type);
  if (it != overrides_.end()) overrides_.erase(it);
  return S_OK;
}

HRESULT JOverrideExtensions::RemoveAllOverrides() {
  if (!IsKeyed()) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JOverrideExtensions::RemoveAllOverrides");
  overrides_.clear();
  return S_OK;
}

HRESULT JOverrideExtensions::GetStoredOverrides(std::vector<DWORD>& out) const {
  out = overrides_;
  return S_OK;
}

HRESULT JOverrideExtensions::GetStoredOverridesInStringForm(std::vector<GUserText>& out) const {
  for (DWORD type : overrides_) out.emplace_back(quorra::OverrideExtensionsTypeName(type));
  return S_OK;
}

bool JOverrideExtensions::IsForDocument(const JDocIdentity& document) const {
  return document.DocumentSet() && document_.DocumentSet() && document_ == document;
}

bool JOverrideExtensions::IsForDocument(const GUserText& lowerCaseName) const {
  return lowerCaseName.IsNotEmpty() && name_ == lowerCaseName;
}

bool JOverrideExtensions::HasOverride(DWORD type) const {
  return std::find(overrides_.begin(), overrides_.end(), type) != overrides_.end();
}

namespace quorra {

const wchar_t* OverrideExtensionsTypeName(DWORD type) {
  static const wchar_t* const kNames[] = {
      L"JOET_UNKNOWN",
      L"JOET_HIDE_IN_DRAWING",
      L"JOET_HIDE_IN_SUBASSEMBLY",
      L"JOET_NOT_SELECTABLE",
      L"JOET_DISPLAY_AS_DRAFTREF",
      L"JOET_EXCLUDE_FROM_PHYPROPS",
      L"JOET_EXCLUDE_FROM_REPORTS",
      L"JOET_EXCLUDE_FROM_INTERFERENCE",
  };
  if (type < sizeof(kNames) / sizeof(kNames[0])) return kNames[type];
  return L"I do not know what this entry is!";
}

}  // namespace quorra
