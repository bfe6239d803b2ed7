// Placeholders answering E_NOTIMPL until the operations land.
#include "quorra/mercury.h"

HRESULT Mercury::SetDisplaySetting(DWORD /*key*/, DWORD /*type*/, DWORD /*flags*/, bool /*enable*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::SetDisplaySetting(IUnknown* /*document*/, DWORD /*type*/, DWORD /*flags*/, bool /*enable*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetDisplaySetting(DWORD /*key*/, DWORD /*mask*/, bool* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::GetDisplaySetting(IUnknown* /*document*/, DWORD /*mask*/, bool* /*out*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::RemoveDisplaySetting(DWORD /*key*/, DWORD /*type*/) {
  return E_NOTIMPL;
}

HRESULT Mercury::RemoveDisplaySetting(IUnknown* /*document*/, DWORD /*type*/) {
  return E_NOTIMPL;
}

HRESULT JAddDisplaySetting(JIDSOverride*, DWORD, DWORD, DWORD, bool) { return E_NOTIMPL; }
