// Occurrence-property overrides of override nodes (user data 101), and the
// definition levels of an overridden property over the documents that
// override it for an occurrence.
#include <algorithm>
#include <new>

#include "quorra/host/modules.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/override_extensions.h"
#include "quorra/override_tree.h"
#include "quorra/site.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/iot";

quorra::host::LateBoundFunction<HRESULT(const wchar_t*, REFIID, void**)> gGetDocumentIfOpen(L"dulcet.dll",
                                                                                            "JGetDocumentIfOpen");

// Level of the k-th candidate counted from the innermost (k = 1) of n.
int DefinitionLevel(size_t k, size_t n) {
  if (k == n) return 1;
  if (k == 1) return 3;
  return 2;
}

}  // namespace

// ---- node operations ----

quorra::OccPropertyOverrides* JIDSOverride::GetOccurrencePropertyOverrides(bool create) {
  auto* pairs = static_cast<quorra::OccPropertyOverrides*>(GetUserData(UD_OCC_PROPERTIES_OVERRIDE, nullptr));
  if (pairs || !create) return pairs;
  pairs = new (std::nothrow) quorra::OccPropertyOverrides();
  if (pairs && FAILED(AddUserData(UD_OCC_PROPERTIES_OVERRIDE, pairs))) {
    delete pairs;
    pairs = nullptr;
  }
  return pairs;
}

HRESULT JIDSOverride::AddOccurrencePropertyOverride(JOverrideExtensionsType type, int value) {
  quorra::OccPropertyOverrides* pairs = GetOccurrencePropertyOverrides(true);
  if (!pairs) return E_OUTOFMEMORY;
  auto it = std::find_if(pairs->begin(), pairs->end(), [&](const auto& p) { return p.first == type; });
  try {
    if (it != pairs->end())
      it->second = value;
    else
      pairs->emplace_back(type, value);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  dwPropsEx_ |= IOTX_OCC_PROPERTIES;
  return S_OK;
}

HRESULT JIDSOverride::RemoveOccurrencePropertyOverride(JOverrideExtensionsType type) {
  quorra::OccPropertyOverrides* pairs = GetOccurrencePropertyOverrides(false);
  if (!pairs) return S_OK;
  auto it = std::find_if(pairs->begin(), pairs->end(), [&](const auto& p) { return p.first == type; });
  if (it != pairs->end()) pairs->erase(it);
  if (pairs->empty()) return ClearOccurrencePropertyOverrides();
  return S_OK;
}

HRESULT JIDSOverride::ClearOccurrencePropertyOverrides() {
  int found = 0;
  GetUserData(UD_OCC_PROPERTIES_OVERRIDE, &found);
  if (found && RemoveUserData(UD_OCC_PROPERTIES_OVERRIDE) != S_OK)
    return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverride::ClearOccurrencePropertyOverrides");
  dwPropsEx_ &= ~IOTX_OCC_PROPERTIES;
  MarkDirty(1, 1);
  return S_OK;
}

// ---- the occurrence's extension record ----

namespace quorra {

HRESULT RebuildOverrideExtensions(OccurrenceNode* occurrence, JIDSOverride* node, const JDocIdentity& document) {
  if (!occurrence || !document.DocumentSet()) return E_INVALIDARG;
  try {
    // The types 1 to 7 some record of the occurrence already names.
    bool named[8] = {};
    std::vector<JOverrideExtensions*>* records = nullptr;
    if (SUCCEEDED(occurrence->GetOverrideExtensions(&records, false)) && records)
      for (const JOverrideExtensions* record : *records)
        for (DWORD type : record->StoredOverrides())
          if (type >= 1 && type <= 7) named[type] = true;
    DWORD steps = 0;
    for (const OccurrenceNode* o = occurrence; o->GetParent(); o = o->GetParent()) ++steps;

    std::vector<DWORD> kept;
    if (const OccPropertyOverrides* pairs = node ? node->GetOccurrencePropertyOverrides(false) : nullptr) {
      for (const auto& [type, value] : *pairs) {
        const bool known = type >= 1 && type <= 7 && named[type];
        if (value != 0 || steps > 1 || known) kept.push_back(type);
      }
    }
    return occurrence->SetOverrideExtensions(document, kept);
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "RebuildOverrideExtensions");
  }
}

}  // namespace quorra

// ---- definition levels ----

extern "C" HRESULT JGetOverrideExtensionDefinitionLevels(OccurrenceNode* occurrence, DWORD type,
                                                         std::vector<std::pair<JDocIdentity, int>>* levels) {
  constexpr const char* kOperation = "JGetOverrideExtensionDefinitionLevels";
  if (!occurrence || type == 0 || !levels) return QUORRA_TRACE_FAIL(E_INVALIDARG, kOperation);
  levels->clear();
  try {
    if (type == JOET_CUSTOM) {
      quorra::CustomOccPropertyOverrides entries;
      HRESULT hr = occurrence->GetOverriddenCustomOccProperties(entries);
      if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
      const size_t n = entries.size();
      for (size_t k = 1; k <= n; ++k) {
        const GUserText& name = entries[n - k].first;
        IUnknown* document = nullptr;
        auto* lookup = gGetDocumentIfOpen.Get();
        HRESULT found = lookup ? lookup(name.GetText(), IID_IUnknown, reinterpret_cast<void**>(&document)) : E_FAIL;
        if (FAILED(found) || !document) {
          QUORRA_TRACE_FAIL_MSG(E_FAIL, name.GetText(), kOperation);
          return S_OK;
        }
        levels->emplace_back(JDocIdentity(document), DefinitionLevel(k, n));
        document->Release();
      }
      return S_OK;
    }

    std::vector<JOverrideExtensions*>* records = nullptr;
    if (FAILED(occurrence->GetOverrideExtensions(&records, false)) || !records) return E_FAIL;
    if (records->empty()) return QUORRA_TRACE_FAIL(E_FAIL, kOperation);
    std::vector<JOverrideExtensions*> candidates(*records);
    if (occurrence->IsTrueTypeAssembly()) {
      // An assembly's own document does not override the assembly: its
      // records without stored overrides are left out.
      SiteNode* site = occurrence->GetSite();
      JDocIdentity own;
      IUnknown* document = nullptr;
      if (site && SUCCEEDED(site->GetDocument(IID_IUnknown, reinterpret_cast<void**>(&document))) && document) {
        own.SetObject(document);
        document->Release();
      }
      const GUserText ownName = site ? site->GetFilePathLowerCase() : GUserText();
      candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                      [&](JOverrideExtensions* record) {
                                        if (!record->StoredOverrides().empty()) return false;
                                        return own.DocumentSet() ? record->IsForDocument(own)
                                                                 : record->IsForDocument(ownName);
                                      }),
                       candidates.end());
    }
    const size_t n = candidates.size();
    for (size_t k = 1; k <= n; ++k) {
      JOverrideExtensions* record = candidates[n - k];
      if (record->HasOverride(type)) levels->emplace_back(record->GetStoredDocumentID(), DefinitionLevel(k, n));
    }
  } catch (const std::bad_alloc&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, kOperation);
  }
  return S_OK;
}
