// Placeholders answering E_NOTIMPL until the operations land.
#include "quorra/mercury.h"

HRESULT Mercury::ApplyOverrides(DWORD /*flags*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::ApplyOverrides(IUnknown* /*document*/, DWORD /*flags*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::ClearOverrides(DWORD /*flags*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::ClearOverrides(IUnknown* /*document*/, DWORD /*flags*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::ApplyOverridesHelper(DWORD /*flags*/, SiteNode* /*site*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::ClearOverridesHelper(DWORD /*flags*/, SiteNode* /*site*/) {
  return E_NOTIMPL;
}
