// Override body data: populating it and comparing assembly names. The
// occurrence user data that holds body data (the current body 41 and the
// previous body 49) is released here.
#include "quorra/override_body_data.h"

#include <new>

#include "quorra/user_data.h"

namespace {

void DeleteBodyData(void* value) { delete static_cast<JOverrideBodyData*>(value); }

struct BodyDataReleases {
  BodyDataReleases() {
    for (DWORD type : {DWORD(UD_OVERRIDE_BODY), DWORD(UD_PREVIOUS_OVERRIDE_BODY)})
      quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, type, DeleteBodyData);
  }
} gBodyDataReleases;

}  // namespace

HRESULT JOverrideBodyData::Populate(const wchar_t* name, const VersionMap& versions, const tagG4x4& matrix) {
  DWORD extra = 0;
  return PopulateEx(name, versions, matrix, extra);
}

HRESULT JOverrideBodyData::PopulateEx(const wchar_t* name, const VersionMap& versions, const tagG4x4& matrix,
                                      DWORD& extra) {
  try {
    // Copy first so that a failure leaves the object as it was (and so that
    // `versions` may be this object's own map).
    VersionMap copy(versions);
    GUserText newName(name);
    versions_.swap(copy);
    name_ = std::move(newName);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  document_.Clear();
  matrix_ = matrix;
  extra_ = extra;
  return S_OK;
}

HRESULT JOverrideBodyData::SetAsmDoc(const wchar_t* name, IUnknown* document) {
  try {
    name_ = name;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  document_.SetObject(document);
  return S_OK;
}

bool JOverrideBodyData::HasSameAssemblyName(const JOverrideBodyData& other) const {
  return quorra::host::EqualsNoCase(name_.View(), other.name_.View());
}
