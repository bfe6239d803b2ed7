// JOverrideBodyData: the description of a replacement body, the geometry an
// occurrence shows in place of its own when an assembly overrides its body.
// It names the assembly document the body comes from (by file name, with a
// cached weak identity of the open document), the versions of the items it
// was made from (item id -> version), the body's placement matrix and one
// further 32-bit word (the body's property word in the override stream).
//
// Override nodes and occurrences keep their own copies; copying copies all
// five fields (the document identity as the host copies identities).
#pragma once

#include <map>

#include "quorra/host/com.h"
#include "quorra/host/geometry.h"
#include "quorra/host/identity.h"
#include "quorra/host/text.h"
#include "quorra/host/types.h"

class DisplayRoadmap;

class JOverrideBodyData {
 public:
  using VersionMap = std::map<DWORD, DWORD>;

  // No name, no document, no versions, the identity matrix, extra 0.
  JOverrideBodyData() = default;
  JOverrideBodyData(const JOverrideBodyData& other) = default;
  JOverrideBodyData& operator=(const JOverrideBodyData& other) = default;
  ~JOverrideBodyData() = default;

  // Takes the name, a copy of the versions and the matrix; forgets the
  // document identity; extra becomes 0. S_OK (E_OUTOFMEMORY, unchanged,
  // when the copy cannot be made).
  HRESULT Populate(const wchar_t* name, const VersionMap& versions, const tagG4x4& matrix);
  // Populate with extra = `extra`.
  HRESULT PopulateEx(const wchar_t* name, const VersionMap& versions, const tagG4x4& matrix, DWORD& extra);
  // The name, and the identity of the open document of that name.
  HRESULT SetAsmDoc(const wchar_t* name, IUnknown* document);
  // The assembly document in interface `iid`: the cached identity's
  // document when it is still open, else the open document of that name
  // (then cached). Success with *out null means it is not open. The switches
  // "Override Document Caching Disable" and "Override Document Caching
  // Validate" are read once per process.
  HRESULT GetAsmDoc(REFIID iid, void** out);

  const GUserText& GetAssemblyName() const { return name_; }
  const JDocIdentity& GetAssemblyDocumentIdentity() const { return document_; }
  const VersionMap& GetVersionMap() const { return versions_; }
  const tagG4x4& GetMatrix() const { return matrix_; }
  void SetMatrix(const tagG4x4& matrix) { matrix_ = matrix; }
  DWORD GetExtra() const { return extra_; }

  // True when both bodies come from the same assembly (names compared
  // without regard to case).
  bool HasSameAssemblyName(const JOverrideBodyData& other) const;

 private:
  GUserText name_;
  JDocIdentity document_;
  VersionMap versions_;
  tagG4x4 matrix_;
  DWORD extra_ = 0;
};

extern "C" {
// The assembly document of `bodyData` (GetAsmDoc); E_INVALIDARG (traced) for
// a null body data or out pointer.
HRESULT JGetAssemblyDocumentOfOverrideBodyData(JOverrideBodyData* bodyData, REFIID iid, void** out);
// The body data of the occurrence a membassy stands for in the override
// table of `assemblyDocument`: one process-wide object, overwritten by each
// call (copy it to keep it). E_FAIL when there is none.
HRESULT JGetOverrideBodyData(IUnknown* assemblyDocument, IUnknown* membassy, JOverrideBodyData** out);
}
