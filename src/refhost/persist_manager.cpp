// refhost's persist managers: per document, its live tree, its override
// table and its family-of-assemblies answers, reached through the exported
// functions of "dulcet.dll", "brenik.dex" and "ferrule.dll".
#include "quorra/refhost/persist_manager.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "quorra/host/compound_file.h"
#include "quorra/host/mercury_services.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/override_tree.h"
#include "quorra/roadmap_lookup.h"
#include "quorra/tree.h"
#include "quorra/refhost/occurrence_container.h"

namespace quorra::refhost {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/refhost/persist";

using host::ComPtr;

// {0B7D52E6-3A41-4C8E-9E25-7F1A6C3D5B90}: refhost's own persist-manager
// interface, to tell its managers from other objects.
constexpr IID IID_IRefhostPersistManager = {
    0x0b7d52e6, 0x3a41, 0x4c8e, {0x9e, 0x25, 0x7f, 0x1a, 0x6c, 0x3d, 0x5b, 0x90}};

struct IRefhostPersistManager : IUnknown {
  virtual IUnknown* GetDocument() = 0;

 protected:
  ~IRefhostPersistManager() = default;
};

}  // namespace
}  // namespace quorra::refhost

QUORRA_INTERFACE_ID(quorra::refhost::IRefhostPersistManager, quorra::refhost::IID_IRefhostPersistManager);

namespace quorra::refhost {
namespace {

// Document ids are handed out in the order the managers are made, from 1.
DWORD NextDocumentID() {
  static std::atomic<DWORD> next{1};
  return next++;
}

class PersistManager final
    : public host::ComObject<IRefhostPersistManager, IJOverrideTreeHolder, IJDocumentIdServer> {
 public:
  explicit PersistManager(IUnknown* document)
      : document_(document), styles_(new StyleManager), documentId_(NextDocumentID()) {}

  IUnknown* GetDocument() override { return document_.Get(); }

  HRESULT GetOverrideTree(JIDSOverrideTree** out, DWORD) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!tree_) {
      auto tree = std::unique_ptr<JIDSOverrideTree>(new (std::nothrow) JIDSOverrideTree());
      if (!tree) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "PersistManager::GetOverrideTree");
      tree->SetAssembly(document_.Get());
      tree->SetStyleManager(static_cast<IJStyleManager*>(styles_.Get()));
      GUserText name;
      if (SUCCEEDED(GetAssemblyFileName(document_.Get(), &name))) {
        tree->SetAssemblyName(name);
        // A damaged table keeps what was read; the failure is traced. A
        // document that is no compound file on disk has no stored table.
        const wchar_t* path = name.Str().c_str();
        if (name.Str().find(L'|') != std::wstring::npos || StgIsStorageFile(path) == S_OK)
          LoadDocumentOverrideTable(path, tree.get());
      }
      tree_ = std::move(tree);
    }
    *out = tree_.get();
    return S_OK;
  }

  // Binds the member roadmap in the document's live tree and reads the
  // bound occurrence's display roadmap.
  HRESULT ConvertMemberRoadmap(JMemberRoadmap* memberRoadmap, DisplayRoadmap* displayRoadmap) override {
    if (!memberRoadmap || !displayRoadmap) return QUORRA_TRACE_FAIL(E_INVALIDARG, "PersistManager::ConvertMemberRoadmap");
    displayRoadmap->Clear();
    AssemblyOccurrence* root = asmTree ? asmTree->GetRootAssembly() : nullptr;
    if (!root) return QUORRA_TRACE_FAIL(E_FAIL, "PersistManager::ConvertMemberRoadmap");
    // The first route names the document itself: with nothing after it the
    // roadmap is the root's, the empty one.
    if (memberRoadmap->GetRouteCount() <= 1) return S_OK;
    OccurrenceNode* occurrence = nullptr;
    HRESULT hr = JBindRoadmapToOccLite(root, memberRoadmap, &occurrence);
    if (FAILED(hr)) return hr;
    if (!occurrence) return QUORRA_TRACE_FAIL(E_FAIL, "PersistManager::ConvertMemberRoadmap");
    HRESULT read = occurrence->GetDisplayRoadmap(displayRoadmap);
    return occurrence == root ? S_OK : read;  // the root has the empty roadmap
  }

  // Applies the document's table below an assembly occurrence (of any
  // tree); a part has nothing below it.
  HRESULT ApplyOverrides(OccurrenceNode* occurrence, DWORD flags) override {
    if (!occurrence) return QUORRA_TRACE_FAIL(E_INVALIDARG, "PersistManager::ApplyOverrides");
    if (!occurrence->IsAssembly()) return S_OK;
    JIDSOverrideTree* tree = nullptr;
    HRESULT hr = GetOverrideTree(&tree, 0);
    if (FAILED(hr)) return hr;
    return tree->Apply(occurrence->GetStyleLibrary(), static_cast<AssemblyOccurrence*>(occurrence), flags);
  }

  HRESULT GetDocumentID(IUnknown* document, DWORD* id) override;
  DWORD DocumentID() const { return documentId_; }

  AsmTree* asmTree = nullptr;
  BOOL master = 1;
  BOOL editMode = 0;
  bool filedVersionSet = false;
  WORD filedMajor = 0;
  WORD filedMinor = 0;
  StyleManager* Styles() const { return styles_.Get(); }

 private:
  ComPtr<IUnknown> document_;
  ComPtr<StyleManager> styles_;
  std::unique_ptr<JIDSOverrideTree> tree_;
  DWORD documentId_;
};

// Managers by the document's canonical IUnknown. The manager holds the
// document, so the key stays valid while the entry exists.
struct Registry {
  std::mutex lock;
  std::map<IUnknown*, ComPtr<PersistManager>> managers;
};
Registry& GetRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

IUnknown* Canonical(IUnknown* object) {
  IUnknown* unknown = nullptr;
  if (FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown))) || !unknown) return nullptr;
  unknown->Release();  // the object holds it; only the address is kept
  return unknown;
}

// The manager of `object`: the object itself when it is one, else its
// document's (made on first request). Not AddRef'd.
PersistManager* ManagerOf(IUnknown* object, bool create) {
  if (!object) return nullptr;
  IRefhostPersistManager* own = nullptr;
  if (SUCCEEDED(object->QueryInterface(IID_IRefhostPersistManager, reinterpret_cast<void**>(&own))) && own) {
    own->Release();
    return static_cast<PersistManager*>(own);
  }
  IUnknown* key = Canonical(object);
  if (!key) return nullptr;
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.managers.find(key);
  if (it != r.managers.end()) return it->second.Get();
  if (!create) return nullptr;
  ComPtr<PersistManager> manager(new (std::nothrow) PersistManager(key));
  if (!manager) return nullptr;
  PersistManager* raw = manager.Get();
  r.managers.emplace(key, std::move(manager));
  return raw;
}

// Any document's id, its own manager's (made when it has none).
HRESULT PersistManager::GetDocumentID(IUnknown* document, DWORD* id) {
  if (!document || !id) return QUORRA_TRACE_FAIL(E_INVALIDARG, "PersistManager::GetDocumentID");
  PersistManager* manager = ManagerOf(document, true);
  if (!manager) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "PersistManager::GetDocumentID");
  *id = manager->DocumentID();
  return S_OK;
}

}  // namespace

HRESULT SetDocumentTree(IUnknown* document, AsmTree* tree) {
  PersistManager* manager = ManagerOf(document, tree != nullptr);
  if (!document) return E_INVALIDARG;
  if (manager) manager->asmTree = tree;
  return S_OK;
}

std::vector<ComPtr<IUnknown>> DocumentsWithTree(AsmTree* tree) {
  std::vector<ComPtr<IUnknown>> documents;
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& [key, manager] : r.managers)
    if (manager->asmTree && (!tree || manager->asmTree == tree)) documents.emplace_back(manager->GetDocument());
  return documents;
}

HRESULT SetDocumentFoaState(IUnknown* document, BOOL master, BOOL editMode) {
  PersistManager* manager = ManagerOf(document, true);
  if (!manager) return E_INVALIDARG;
  manager->master = master;
  manager->editMode = editMode;
  return S_OK;
}

HRESULT SetDocumentFiledVersion(IUnknown* document, WORD major, WORD minor) {
  PersistManager* manager = ManagerOf(document, true);
  if (!manager) return E_INVALIDARG;
  manager->filedVersionSet = true;
  manager->filedMajor = major;
  manager->filedMinor = minor;
  return S_OK;
}

HRESULT GetDocFiledVersion(IUnknown* document, WORD* major, WORD* minor) {
  if (!major || !minor) return E_POINTER;
  PersistManager* manager = ManagerOf(document, false);
  if (!manager || !manager->filedVersionSet) return E_FAIL;
  *major = manager->filedMajor;
  *minor = manager->filedMinor;
  return S_OK;
}

HRESULT LoadDocumentOverrideTable(const wchar_t* path, JIDSOverrideTree* tree) {
  if (!path || !tree) return QUORRA_TRACE_FAIL(E_INVALIDARG, "LoadDocumentOverrideTable");
  ComPtr<IStorage> storage;
  HRESULT hr = JStgOpenStorage(path, nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put(), 0);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "LoadDocumentOverrideTable");
  ComPtr<IStorage> table;
  if (FAILED(storage->OpenStorage(L"IOT", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, table.Put())))
    return S_FALSE;
  table.Reset();
  hr = tree->Load(storage.Get());
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "LoadDocumentOverrideTable");
  return S_OK;
}

HRESULT SaveDocumentOverrideTable(const wchar_t* path, JIDSOverrideTree* tree) {
  if (!path || !tree) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SaveDocumentOverrideTable");
  ComPtr<IStorage> storage;
  HRESULT hr = StgOpenStorage(path, nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_TRANSACTED, nullptr, 0,
                              storage.Put());
  if (SUCCEEDED(hr)) hr = tree->Save(storage.Get());
  if (SUCCEEDED(hr)) hr = storage->Commit(0);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "SaveDocumentOverrideTable");
  return S_OK;
}

HRESULT SaveDocumentOverrides(IUnknown* document) {
  PersistManager* manager = ManagerOf(document, true);
  if (!manager) return QUORRA_TRACE_FAIL(E_INVALIDARG, "SaveDocumentOverrides");
  JIDSOverrideTree* tree = nullptr;
  HRESULT hr = manager->GetOverrideTree(&tree, 0);
  GUserText path;
  if (SUCCEEDED(hr)) hr = GetAssemblyFileName(document, &path);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "SaveDocumentOverrides");
  return SaveDocumentOverrideTable(path.Str().c_str(), tree);
}

HRESULT GetDocumentStyleManager(IUnknown* document, StyleManager** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  PersistManager* manager = ManagerOf(document, true);
  if (!manager) return E_INVALIDARG;
  *out = manager->Styles();
  (*out)->AddRef();
  return S_OK;
}

HRESULT ReleasePersistManager(IUnknown* document) {
  if (!document) return E_INVALIDARG;
  IUnknown* key = Canonical(document);
  ComPtr<PersistManager> released;
  {
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.managers.find(key);
    if (it == r.managers.end()) return S_FALSE;
    released = std::move(it->second);
    r.managers.erase(it);
  }
  return S_OK;  // released outside the lock: the override table may call back
}

void ReleasePersistManagers() {
  std::map<IUnknown*, ComPtr<PersistManager>> released;
  {
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    released.swap(r.managers);
  }
}

HRESULT GetPersistManager(IUnknown* object, IUnknown** persistManager) {
  if (!persistManager) return E_POINTER;
  *persistManager = nullptr;
  if (!object) return QUORRA_TRACE_FAIL(E_INVALIDARG, "GetPersistManager");
  PersistManager* manager = ManagerOf(object, true);
  if (!manager) return QUORRA_TRACE_FAIL(E_FAIL, "GetPersistManager");
  *persistManager = static_cast<IRefhostPersistManager*>(manager);
  manager->AddRef();
  return S_OK;
}

HRESULT GetGraphicSupportObject(IUnknown* persistManager, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  PersistManager* manager = ManagerOf(persistManager, true);
  if (!manager) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JGetGraphicSupportObject");
  return manager->QueryInterface(iid, out);
}

HRESULT GetIDSAsmTree(IUnknown* document, AsmTree** tree, BOOL) {
  if (!tree) return E_POINTER;
  *tree = nullptr;
  PersistManager* manager = ManagerOf(document, false);
  if (!manager || !manager->asmTree) return E_FAIL;
  *tree = manager->asmTree;
  return S_OK;
}

HRESULT GetAssemblyFileName(IUnknown* document, GUserText* fileName) {
  if (!document || !fileName) return E_INVALIDARG;
  IUnknown* target = document;
  if (PersistManager* manager = ManagerOf(document, false)) target = manager->GetDocument();
  IRefhostDocument* refDocument = nullptr;
  if (FAILED(target->QueryInterface(IID_IRefhostDocument, reinterpret_cast<void**>(&refDocument))) || !refDocument)
    return E_FAIL;
  *fileName = GUserText(refDocument->GetPath());
  refDocument->Release();
  return S_OK;
}

HRESULT CheckFoaMasterAndEditMode2(IUnknown* document, BOOL* master, BOOL* editMode) {
  if (!master || !editMode) return E_POINTER;
  PersistManager* manager = ManagerOf(document, false);
  *master = manager ? manager->master : 1;
  *editMode = manager ? manager->editMode : 0;
  return S_OK;
}

}  // namespace quorra::refhost
