// refhost's family documents as the library's override-table reader reaches
// them: the root storage of a family file, which also answers
// IJFamilyMemberStorage with the storage that holds one sub-storage per
// member (in refhost's files, the root itself).
#include <atomic>
#include <new>

#include "quorra/host/compound_file.h"
#include "quorra/host/documents.h"
#include "quorra/host/trace.h"
#include "quorra/refhost/persist_manager.h"

namespace quorra::refhost {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/refhost/documents";

// Every storage call goes to the family's root.
class FamilyStorage final : public IStorage, public IJFamilyMemberStorage {
 public:
  explicit FamilyStorage(IStorage* root) : root_(root) { root_->AddRef(); }

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IStorage)
      *out = static_cast<IStorage*>(this);
    else if (iid == IID_IJFamilyMemberStorage)
      *out = static_cast<IJFamilyMemberStorage*>(this);
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    const ULONG refs = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (refs == 0) delete this;
    return refs;
  }

  HRESULT GetMemberStorage(IStorage** out) override {
    if (!out) return E_POINTER;
    *out = root_;
    root_->AddRef();
    return S_OK;
  }

  HRESULT CreateStream(const wchar_t* name, DWORD mode, DWORD r1, DWORD r2, IStream** out) override {
    return root_->CreateStream(name, mode, r1, r2, out);
  }
  HRESULT OpenStream(const wchar_t* name, void* r1, DWORD mode, DWORD r2, IStream** out) override {
    return root_->OpenStream(name, r1, mode, r2, out);
  }
  HRESULT CreateStorage(const wchar_t* name, DWORD mode, DWORD r1, DWORD r2, IStorage** out) override {
    return root_->CreateStorage(name, mode, r1, r2, out);
  }
  HRESULT OpenStorage(const wchar_t* name, IStorage* priority, DWORD mode, SNB exclude, DWORD reserved,
                      IStorage** out) override {
    return root_->OpenStorage(name, priority, mode, exclude, reserved, out);
  }
  HRESULT CopyTo(DWORD count, const IID* iids, SNB exclude, IStorage* target) override {
    return root_->CopyTo(count, iids, exclude, target);
  }
  HRESULT MoveElementTo(const wchar_t* name, IStorage* target, const wchar_t* newName, DWORD flags) override {
    return root_->MoveElementTo(name, target, newName, flags);
  }
  HRESULT Commit(DWORD flags) override { return root_->Commit(flags); }
  HRESULT Revert() override { return root_->Revert(); }
  HRESULT EnumElements(DWORD r1, void* r2, DWORD r3, IEnumSTATSTG** out) override {
    return root_->EnumElements(r1, r2, r3, out);
  }
  HRESULT DestroyElement(const wchar_t* name) override { return root_->DestroyElement(name); }
  HRESULT RenameElement(const wchar_t* oldName, const wchar_t* newName) override {
    return root_->RenameElement(oldName, newName);
  }
  HRESULT SetElementTimes(const wchar_t* name, const FILETIME* c, const FILETIME* a, const FILETIME* m) override {
    return root_->SetElementTimes(name, c, a, m);
  }
  HRESULT SetClass(REFCLSID clsid) override { return root_->SetClass(clsid); }
  HRESULT SetStateBits(DWORD bits, DWORD mask) override { return root_->SetStateBits(bits, mask); }
  HRESULT Stat(STATSTG* stat, DWORD flags) override { return root_->Stat(stat, flags); }

 private:
  ~FamilyStorage() { root_->Release(); }
  IStorage* root_;
  std::atomic<ULONG> refs_{1};
};

}  // namespace

HRESULT OpenFamilyDocument(const wchar_t* path, IStorage** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!path) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OpenFamilyDocument");
  IStorage* root = nullptr;
  HRESULT hr = StgOpenStorage(path, nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &root);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "OpenFamilyDocument");
  std::vector<std::wstring> members;
  hr = host::GetFamilyMembers(root, &members, nullptr);
  if (FAILED(hr)) {
    root->Release();
    return QUORRA_TRACE_FAIL(E_INVALIDARG, "OpenFamilyDocument");
  }
  auto* family = new (std::nothrow) FamilyStorage(root);
  root->Release();
  if (!family) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OpenFamilyDocument");
  *out = static_cast<IStorage*>(family);
  return S_OK;
}

}  // namespace quorra::refhost
