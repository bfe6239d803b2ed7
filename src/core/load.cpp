// Document loading. The readers arrive with the loader; until then a load
// reports that it cannot be done.
#include "quorra/load.h"

#include "quorra/host/trace.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/load";
}  // namespace

HRESULT LoadFile(const wchar_t*, AsmTree* tree, AssemblySite*, tagG4x4*, const void*) {
  if (!tree) return E_INVALIDARG;
  return QUORRA_TRACE_FAIL(E_NOTIMPL, "LoadFile");
}

HRESULT LoadAssembly(const wchar_t*, AsmTree*, AssemblySite*, tagG4x4*) {
  return QUORRA_TRACE_FAIL(E_NOTIMPL, "LoadAssembly");
}

HRESULT LoadWeldment(const wchar_t*, AsmTree*, AssemblySite*, tagG4x4*) {
  return QUORRA_TRACE_FAIL(E_NOTIMPL, "LoadWeldment");
}
