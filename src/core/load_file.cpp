// The file loader: LoadFile places one document (asking the progress sink
// first), LoadAssembly reads an assembly's "Attachments" stream and loads
// every child it finds on disk, LoadWeldment adds a weldment's members, and
// the part display load fills a part site's geometry cache and range. The
// occurrence tree grows as the sites are placed.
#include <cwchar>
#include <string>
#include <unordered_map>

#include "core/attachments_reader.h"
#include "quorra/attachment.h"
#include "quorra/host/compound_file.h"
#include "quorra/host/documents.h"
#include "quorra/host/geometry_cache.h"
#include "quorra/host/modules.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/load.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/load";

using quorra::host::ComPtr;
using quorra::load::DocumentKind;

// The part display load has no exported name; its failures are traced
// under this one.
constexpr const char* kPartDisplayOperation = "LoadPartDisplay";

// The capacity of the names read from families.
constexpr DWORD kComponentUnits = FAMILY_MEMBER_NAME_MAX + 1;

quorra::host::LateBoundFunction<GetFamilyMemberStorageSignature> g_getFamilyMemberStorage(L"hawser.dll",
                                                                                          "GetFamilyMemberStorage");
quorra::host::LateBoundFunction<JMGetPreviewBodyCacheIdSignature> g_getPreviewBodyCacheId(L"gimbal.dll",
                                                                                          "JMGetPreviewBodyCacheId");

// Releases a module loaded for one call when it goes out of scope.
class ModuleLoad {
 public:
  ModuleLoad() = default;
  ModuleLoad(const ModuleLoad&) = delete;
  ModuleLoad& operator=(const ModuleLoad&) = delete;
  ~ModuleLoad() {
    if (module_) JFreeLibrary(module_);
  }
  HMODULE Load(const wchar_t* name) { return module_ = JLoadLibrary(name, 0); }

 private:
  HMODULE module_ = nullptr;
};

// True for the component "Master" U+0001, compared over the first eight
// UTF-16 units of the component buffer (terminator included).
bool IsMasterComponentBuffer(const wchar_t* component) {
  static constexpr wchar_t kMaster[8] = {L'M', L'a', L's', L't', L'e', L'r', 0x0001, 0};
  return std::wmemcmp(component, kMaster, 8) == 0;
}

// Fills a new geometry cache from a display storage for body `cacheId`: the
// range kind, then the detail kind unless the cache says it is complete.
// Hands out the cache and its range; the result is the range query's.
HRESULT LoadGeometryCache(AsmTree* tree, IStorage* display, DWORD cacheId, const char* operation, IJGeometryCache** out,
                          tagGBox* range) {
  ComPtr<IJGeometryCache> cache;
  HRESULT hr = JCreateGeometryCache(GEOMETRY_CACHE_KIND_DOCUMENT, tree->GetGraphicContext(), cache.Put());
  if (SUCCEEDED(hr)) hr = cache->Initialize();
  if (SUCCEEDED(hr))
    hr = cache->LoadFromStorage(display, cacheId, GEOMETRY_CACHE_LOAD_RANGE, GEOMETRY_CACHE_LOAD_PARAMETER);
  if (SUCCEEDED(hr)) {
    DWORD state = 0;
    cache->Query(GEOMETRY_CACHE_QUERY_STATE, &state);
    if (!(state & GEOMETRY_CACHE_STATE_COMPLETE))
      hr = cache->LoadFromStorage(display, cacheId, GEOMETRY_CACHE_LOAD_DETAIL, GEOMETRY_CACHE_LOAD_PARAMETER);
  }
  if (FAILED(hr)) return ::HRerrEx(nullptr, nullptr, hr, nullptr, kTraceSource, __LINE__, operation);
  hr = cache->Query(GEOMETRY_CACHE_QUERY_RANGE, range);
  if (FAILED(hr)) ::HRerrEx(nullptr, nullptr, hr, L"range", kTraceSource, __LINE__, operation);
  *out = cache.Detach();
  return hr;
}

// Loads the part's display cache and range from its document, or from the
// host's display cache when the document does not open.
HRESULT LoadPartDisplay(const wchar_t* path, AsmTree* tree, PartSite* site) {
  tagGBox range = tagGBox::Null();
  DWORD cacheId = 0;
  if (auto getCacheId = g_getPreviewBodyCacheId.Get()) cacheId = getCacheId(path);

  ComPtr<IJGeometryCache> cache;
  HRESULT hr;
  ComPtr<IStorage> document;
  if (SUCCEEDED(quorra::load::OpenDocument(path, quorra::load::kFallbackMode, document.Put()))) {
    ComPtr<IStorage> display;
    hr = quorra::load::OpenChildStorage(document.Get(), quorra::load::kPartDisplayStorage, display.Put());
    if (FAILED(hr)) return QUORRA_TRACE_FAIL_MSG(E_FAIL, L"no display storage", kPartDisplayOperation);
    hr = LoadGeometryCache(tree, display.Get(), cacheId, kPartDisplayOperation, cache.Put(), &range);
    if (!cache) return hr;
  } else {
    cache = ComPtr<IJGeometryCache>::Adopt(JCreateDisplayCache(path));
    if (!cache) return QUORRA_TRACE_FAIL_MSG(E_FAIL, L"no display cache", kPartDisplayOperation);
    hr = cache->Query(GEOMETRY_CACHE_QUERY_RANGE, &range);
    if (FAILED(hr)) QUORRA_TRACE_FAIL_MSG(hr, L"range", kPartDisplayOperation);
  }
  site->SetCommonCache(cache.Get());
  site->SetRange(&range);
  return hr;
}

// The storage LoadAssembly reads: the component's storage, the document, or
// the seed member of a family document (for which "hawser.dll" is loaded).
HRESULT OpenAssemblyStorage(const wchar_t* path, ModuleLoad& hawser, ComPtr<IStorage>& document,
                            ComPtr<IStorage>& member, IStorage** storage) {
  *storage = nullptr;
  wchar_t component[kComponentUnits] = {};
  if (GetSubstorageComponentFromFileName(path, component, kComponentUnits) == S_OK &&
      !IsMasterComponentBuffer(component)) {
    if (SUCCEEDED(JStgOpenStorage(path, nullptr, STGM_PRIORITY, nullptr, 0, document.Put(), 1)) && document)
      *storage = document.Get();
  }
  if (!*storage) {
    // The path without its component (the host's buffer is 260 units; the
    // copy here is as long as the path).
    std::wstring file(path);
    RemoveSubstorageComponentFromFileName(file.data());
    file.resize(std::wcslen(file.c_str()));
    if (FAILED(quorra::load::OpenDocument(file.c_str(), quorra::load::kAssemblyFallbackMode, document.Put())))
      return QUORRA_TRACE_FAIL_MSG(E_FAIL, path, "LoadAssembly");
    *storage = document.Get();
  }
  if (!IsFileFamilyByStorage(*storage)) return S_OK;

  wchar_t seed[kComponentUnits] = {};
  if (FAILED(GetFamilySeedNameByStorage(*storage, seed, kComponentUnits)))
    return QUORRA_TRACE_FAIL_MSG(E_FAIL, L"family without a seed", "LoadAssembly");
  if (!hawser.Load(L"hawser.dll")) return QUORRA_TRACE_FAIL_MSG(E_FAIL, L"hawser.dll", "LoadAssembly");
  auto getMember = g_getFamilyMemberStorage.Get();
  if (!getMember || FAILED(getMember(*storage, seed, STGM_PRIORITY, member.Put())) || !member)
    return QUORRA_TRACE_FAIL_MSG(E_FAIL, seed, "LoadAssembly");
  *storage = member.Get();
  return S_OK;
}

}  // namespace

HRESULT LoadFile(const wchar_t* path, AsmTree* tree, AssemblySite* parent, tagG4x4* matrix, const void* extra) {
  (void)extra;  // handed on by LoadAssembly, not read
  if (!tree) return QUORRA_TRACE_FAIL(E_INVALIDARG, "LoadFile");
  if (!path || !*path) return QUORRA_TRACE_FAIL(E_INVALIDARG, "LoadFile");
  if (JProgress* progress = tree->GetUserProgress()) {
    // Any other answer stops the load and is handed back as it is.
    const HRESULT answer = progress->ReportProgress(path);
    if (answer != static_cast<HRESULT>(LOAD_CONTINUE))
      return FAILED(answer) ? QUORRA_TRACE_FAIL_MSG(answer, L"stopped by the progress sink", "LoadFile") : answer;
  }

  const DocumentKind kind = quorra::load::ClassifyDocument(path);
  if (kind == DocumentKind::kUnknown) return QUORRA_TRACE_FAIL_MSG(E_INVALIDARG, path, "LoadFile");
  const bool isPart = kind == DocumentKind::kPart;

  AssemblySite* site = nullptr;  // the assembly or weldment to read into
  if (!parent) {
    AssemblyOccurrence* root = nullptr;
    HRESULT hr = tree->CreateRootAssembly(isPart ? L"ROOT" : path, 0, &root);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "LoadFile");
    SiteNode* rootSite = root ? root->GetSite() : nullptr;
    if (!rootSite || !rootSite->IsAssembly()) return QUORRA_TRACE_FAIL(E_FAIL, "LoadFile");
    parent = static_cast<AssemblySite*>(rootSite);
    if (!isPart) site = parent;
  }

  PartSite* part = nullptr;
  if (!site) {
    NodeList<OccurrenceNode> created;
    AttachmentNode* attachment = nullptr;
    int isNew = 0;
    HRESULT hr = isPart ? parent->CreateAndAddPart(path, 0, 0, matrix, &attachment, &isNew, &created)
                        : parent->CreateAndAddAssembly(path, 0, 0, matrix, &attachment, &isNew, &created);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "LoadFile");
    SiteNode* placed = attachment ? attachment->GetAttachmentSite() : nullptr;
    if (!placed) return QUORRA_TRACE_FAIL(E_FAIL, "LoadFile");
    if (isPart) {
      part = static_cast<PartSite*>(placed);
    } else {
      if (!isNew) return S_OK;  // read once, when its site was made
      site = static_cast<AssemblySite*>(placed);
    }
  }

  switch (kind) {
    case DocumentKind::kWeldment:
      return LoadWeldment(path, tree, site, matrix);
    case DocumentKind::kAssembly:
      return LoadAssembly(path, tree, site, matrix);
    default:
      if (part->GetCommonCache()) return S_OK;
      return LoadPartDisplay(path, tree, part);
  }
}

HRESULT LoadAssembly(const wchar_t* path, AsmTree* tree, AssemblySite* site, tagG4x4*) {
  if (!path || !tree || !site) return QUORRA_TRACE_FAIL(E_INVALIDARG, "LoadAssembly");
  // Declared first so that the module is released after the storages.
  ModuleLoad hawser;
  ComPtr<IStorage> document, member;
  ComPtr<IStream> stream;
  IStorage* storage = nullptr;
  HRESULT hr = OpenAssemblyStorage(path, hawser, document, member, &storage);
  if (FAILED(hr)) return hr;
  if (FAILED(quorra::load::OpenChildStream(storage, quorra::load::kAttachmentsStream, stream.Put())))
    return QUORRA_TRACE_FAIL_MSG(E_FAIL, L"no \"Attachments\" stream", "LoadAssembly");

  quorra::load::AttachmentsReader reader(stream.Get(), quorra::load::ReadPolicy::kFileLoader, "LoadAssembly");
  quorra::load::AttachmentsHeader header;
  reader.ReadHeader(&header);

  const std::wstring directory(quorra::load::DocumentDirectory(path));
  wchar_t found[quorra::load::kChildSearchUnits];
  // An assembly usually places one document many times: the disk is
  // searched once per name (an empty path: not found).
  std::unordered_map<std::wstring, std::wstring> searched;
  DWORD loaded = 0;
  reader.ReadNamedPlacements(header, [&](quorra::load::PlacementRecord& record) {
    auto [entry, isNew] = searched.try_emplace(record.documentName);
    if (isNew && quorra::load::FindChildDocument(directory.c_str(), record.documentName.c_str(), found))
      entry->second = found;
    if (entry->second.empty()) return;
    const HRESULT child = LoadFile(entry->second.c_str(), tree, site, &record.matrix, record.extra);
    if (SUCCEEDED(child) && child != LOAD_S_NOT_LOADED) ++loaded;
  });
  if (loaded == 0) return QUORRA_TRACE_FAIL_MSG(E_FAIL, L"no child loaded", "LoadAssembly");
  return S_OK;
}

HRESULT LoadWeldment(const wchar_t* path, AsmTree* tree, AssemblySite* site, tagG4x4* matrix) {
  if (!path || !tree || !site) return QUORRA_TRACE_FAIL(E_INVALIDARG, "LoadWeldment");
  ComPtr<IStorage> document, kernel, display;
  if (FAILED(quorra::load::OpenDocument(path, quorra::load::kFallbackMode, document.Put())) ||
      FAILED(quorra::load::OpenChildStorage(document.Get(), quorra::load::kKernelStorage, kernel.Put())) ||
      FAILED(quorra::load::OpenChildStorage(document.Get(), quorra::load::kWeldmentDisplayStorage, display.Put())))
    return QUORRA_TRACE_FAIL_MSG(E_FAIL, path, "LoadWeldment");

  ComPtr<IEnumSTATSTG> elements;
  if (FAILED(display->EnumElements(0, nullptr, 0, elements.Put())) || !elements)
    return QUORRA_TRACE_FAIL(E_FAIL, "LoadWeldment");

  DWORD loaded = 0;
  STATSTG stat;
  while (elements->Next(1, &stat, nullptr) == S_OK) {
    const DWORD number =
        stat.type == STGTY_STORAGE && stat.pwcsName ? quorra::load::WeldmentMemberNumber(stat.pwcsName) : 0;
    CoTaskMemFree(stat.pwcsName);
    if (number == 0) continue;

    const std::wstring memberPath = std::wstring(path) + L"\\Weldment" + std::to_wstring(number);
    NodeList<OccurrenceNode> created;
    AttachmentNode* attachment = nullptr;
    HRESULT hr = site->CreateAndAddPart(memberPath.c_str(), 0, 0, matrix, &attachment, nullptr, &created);
    if (FAILED(hr) || !attachment) {
      QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_FAIL, "LoadWeldment");
      break;
    }
    auto* member = static_cast<PartSite*>(attachment->GetAttachmentSite());
    if (member->GetCommonCache()) continue;
    ComPtr<IJGeometryCache> cache;
    tagGBox range = tagGBox::Null();
    hr = LoadGeometryCache(tree, display.Get(), number, "LoadWeldment", cache.Put(), &range);
    if (!cache) continue;
    member->SetCommonCache(cache.Get());
    member->SetRange(&range);
    if (SUCCEEDED(hr)) ++loaded;
  }
  if (loaded == 0) return QUORRA_TRACE_FAIL_MSG(E_FAIL, L"no member loaded", "LoadWeldment");
  return S_OK;
}
