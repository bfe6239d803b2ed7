// The "IDS" stream: AsmTree::SaveIDS writes the sites (flags, ranges, version
// stamp, value sets) and the attachments between them, naming files by their
// ids in a SiteFileToUniversalIdentifierMap; AsmTree::LoadIDS rebuilds the
// sites, attachments and occurrence tree from it into an empty tree.
//
// Layout (every integer little-endian, texts through GUserText::Serialize):
//   u32 x 4 versions (1, 3, 2, 1); "Sites"; u32 total sites; u32 A; u32 P;
//   A assembly site records, P part site records; "Atts";
//   per assembly site: u32 site id, u32 N, N attachment records.
//   Site record: "Site", u32 id, u32 flags, f64 x 6 range,
//     [version 2 > 1] u32 geometric version stamp,
//     [version 2 > 2] (u32 type, payload)... ended by type 0xFFFFFFFF;
//     type 133: u32 count, count u32 values ascending.
//   Attachment record: "Att", u32 child id, u32 attachment id, u32 symbology,
//     f64 x 16 matrix, [version 3 > 1] occurrence name.
#include "quorra/ids_stream.h"

#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "quorra/attachment.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/tree";

constexpr DWORD kCreateMode = STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE;  // 0x1012
constexpr DWORD kOpenMode = STGM_READ | STGM_SHARE_EXCLUSIVE;                       // 0x10

// Index of the version that governs each record.
constexpr DWORD kSiteVersion = 1;        // version 2
constexpr DWORD kAttachmentVersion = 2;  // version 3
constexpr DWORD kEndOfUserData = 0xFFFFFFFFu;

static_assert(sizeof(tagGBox) == 6 * sizeof(double));
static_assert(sizeof(tagG4x4) == 16 * sizeof(double));

// The library's release rules for the two value types this stream stores.
struct StreamUserDataReleases {
  StreamUserDataReleases() {
    quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, UD_OCC_NAME,
                                           [](void* value) { delete static_cast<GUserText*>(value); });
    quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, quorra::kSiteValueSetUserData,
                                           [](void* value) { delete static_cast<quorra::SiteValueSet*>(value); });
  }
} gStreamUserDataReleases;

template <class T>
HRESULT Transfer(const JIOStreamContext& context, T* value) {
  return context.DoIO(value, sizeof *value);
}

// ---- Writing ------------------------------------------------------------------

HRESULT WriteText(const IDSStreamContext& context, const wchar_t* text) { return GUserText(text).Serialize(context); }

HRESULT WriteSiteRecord(const IDSStreamContext& context, SiteFileToUniversalIdentifierMap& map, SiteNode* site,
                        bool assembly) {
  HRESULT hr = WriteText(context, L"Site");
  if (FAILED(hr)) return hr;
  DWORD id = map.Find(site->GetFilePath(true).GetText());
  if (id == 0) return E_UNEXPECTED;
  DWORD flags = site->GetFlags();
  tagGBox range = assembly ? tagGBox::Empty() : *static_cast<PartSite*>(site)->GetRange();
  if (FAILED(hr = Transfer(context, &id)) || FAILED(hr = Transfer(context, &flags)) ||
      FAILED(hr = Transfer(context, &range)))
    return hr;

  const DWORD version = context.GetProgramVersion(kSiteVersion);
  if (version > 1) {
    DWORD stamp =
        static_cast<DWORD>(reinterpret_cast<uintptr_t>(site->GetUserData(UD_GEOMETRIC_VERSION_STAMP, nullptr)));
    if (FAILED(hr = Transfer(context, &stamp))) return hr;
  }
  if (version > 2) {
    auto* values = static_cast<quorra::SiteValueSet*>(site->GetUserData(quorra::kSiteValueSetUserData, nullptr));
    if (values && !values->empty()) {
      DWORD type = quorra::kSiteValueSetUserData;
      DWORD count = static_cast<DWORD>(values->size());
      if (FAILED(hr = Transfer(context, &type)) || FAILED(hr = Transfer(context, &count))) return hr;
      for (DWORD value : *values)
        if (FAILED(hr = Transfer(context, &value))) return hr;
    }
    DWORD end = kEndOfUserData;
    if (FAILED(hr = Transfer(context, &end))) return hr;
  }
  return S_OK;
}

HRESULT WriteAttachmentBlock(const IDSStreamContext& context, SiteFileToUniversalIdentifierMap& map,
                             AssemblySite* site) {
  DWORD id = map.Find(site->GetFilePath(true).GetText());
  if (id == 0) return E_UNEXPECTED;
  DWORD count = 0;
  AttachmentNode* const* attachments = nullptr;
  site->GetAttachments(&count, &attachments);
  HRESULT hr;
  if (FAILED(hr = Transfer(context, &id)) || FAILED(hr = Transfer(context, &count))) return hr;
  const bool withName = context.GetProgramVersion(kAttachmentVersion) > 1;
  for (DWORD i = 0; i < count; ++i) {
    AttachmentNode* attachment = attachments[i];
    SiteNode* child = attachment->GetAttachmentSite();
    if (FAILED(hr = WriteText(context, L"Att"))) return hr;
    DWORD childId = child ? map.Find(child->GetFilePath(true).GetText()) : 0;
    if (childId == 0) return E_UNEXPECTED;
    DWORD attachmentId = attachment->GetAttachmentID();
    DWORD symbology = attachment->GetSymbology();
    tagG4x4 matrix = attachment->GetXFormFromParent()->GiveAsG4x4();
    if (FAILED(hr = Transfer(context, &childId)) || FAILED(hr = Transfer(context, &attachmentId)) ||
        FAILED(hr = Transfer(context, &symbology)) || FAILED(hr = Transfer(context, &matrix)))
      return hr;
    if (withName) {
      int found = 0;
      auto* name = static_cast<const GUserText*>(attachment->GetUserData(UD_OCC_NAME, &found));
      hr = (found && name) ? name->Serialize(context) : child->GetBaseName().Serialize(context);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

// ---- Reading --------------------------------------------------------------------

// One site record as stored.
struct SiteRecord {
  DWORD id = 0;
  DWORD flags = 0;
  tagGBox range;
  DWORD stamp = 0;
  std::unique_ptr<quorra::SiteValueSet> values;  // only with at least one value
};

HRESULT ReadSiteRecord(const IDSStreamContext& context, GUserText& tag, SiteRecord* record) {
  HRESULT hr;
  if (FAILED(hr = tag.Serialize(context)) || FAILED(hr = Transfer(context, &record->id)) ||
      FAILED(hr = Transfer(context, &record->flags)) || FAILED(hr = Transfer(context, &record->range)))
    return hr;
  const DWORD version = context.GetStreamVersion(kSiteVersion);
  if (version > 1 && FAILED(hr = Transfer(context, &record->stamp))) return hr;
  if (version <= 2) return S_OK;
  for (;;) {
    DWORD type = 0;
    if (FAILED(hr = Transfer(context, &type))) return hr;
    if (type == kEndOfUserData) return S_OK;
    if (type != quorra::kSiteValueSetUserData) continue;  // no payload known: nothing more to read
    DWORD count = 0;
    if (FAILED(hr = Transfer(context, &count))) return hr;
    // Values are read one by one, so a count larger than the stream ends at
    // the stream's end rather than in a large allocation.
    auto values = std::make_unique<quorra::SiteValueSet>();
    for (DWORD i = 0; i < count; ++i) {
      DWORD value = 0;
      if (FAILED(hr = Transfer(context, &value))) return hr;
      values->insert(values->end(), value);
    }
    if (values->empty()) continue;
    if (record->values) {
      record->values->merge(*values);
    } else {
      record->values = std::move(values);
    }
  }
}

// Reads one site record and makes its site. The first assembly site made
// becomes `*root`.
HRESULT LoadSite(AsmTree* tree, const IDSStreamContext& context, SiteFileToUniversalIdentifierMap& map, GUserText& tag,
                 bool assembly, AssemblySite** root) {
  constexpr const char* kOperation = "AsmTree::LoadIDSSite";
  SiteRecord record;
  HRESULT hr = ReadSiteRecord(context, tag, &record);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  // The kind bits must name the record's kind: the occurrence code reads a
  // site's kind from them, and a part's bit on an assembly site (or neither
  // bit) cannot be built into occurrences.
  const DWORD kind = record.flags & (SITE_PART | SITE_ASSEMBLY);
  if (kind != (assembly ? SITE_ASSEMBLY : SITE_PART)) return QUORRA_TRACE_FAIL(E_UNEXPECTED, kOperation);
  const wchar_t* path = map.Find(static_cast<uint64_t>(record.id));
  if (!path || !*path) return QUORRA_TRACE_FAIL(E_UNEXPECTED, kOperation);
  SiteNode* site = nullptr;
  hr = tree->CreateSite(path, 0, assembly, &site);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  if (!site) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
  // A flag word SetFlags refuses leaves the site's own flags.
  site->SetFlags(record.flags);
  if (record.stamp != 0) {
    hr = site->AddUserData(UD_GEOMETRIC_VERSION_STAMP, reinterpret_cast<void*>(uintptr_t{record.stamp}));
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  }
  if (record.values) {
    hr = site->AddUserData(quorra::kSiteValueSetUserData, record.values.get());
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
    record.values.release();  // the site owns it now
  }
  if (assembly) {
    if (!*root) *root = dynamic_cast<AssemblySite*>(site);
  } else {
    static_cast<PartSite*>(site)->SetRange(&record.range);
  }
  return S_OK;
}

// The site of a stored id, through its path and FindSite. Answers
// are remembered per id for the rest of the load: attachments are added
// while no site is made or renamed, so a repeated lookup gives the same site.
class SiteResolver {
 public:
  SiteResolver(const AsmTree* tree, const SiteFileToUniversalIdentifierMap& map) : tree_(tree), map_(map) {}

  HRESULT Resolve(DWORD id, SiteNode** site) {
    *site = nullptr;
    if (id == 0) return E_UNEXPECTED;
    auto hit = found_.find(id);
    if (hit != found_.end()) {
      *site = hit->second;
      return S_OK;
    }
    const wchar_t* path = map_.Find(static_cast<uint64_t>(id));
    if (!path) return E_POINTER;
    HRESULT hr = tree_->FindSite(path, site);
    if (FAILED(hr)) return hr;
    // A weldment (".pwd") is read as an assembly site while its name
    // classifies as a part's: look in both managers before giving up.
    if (!*site && FAILED(hr = tree_->FindSiteEx(true, path, site))) return hr;
    if (!*site) return E_POINTER;
    found_.emplace(id, *site);
    return S_OK;
  }

 private:
  const AsmTree* tree_;
  const SiteFileToUniversalIdentifierMap& map_;
  std::unordered_map<DWORD, SiteNode*> found_;
};

// Buffers reused from one attachment block to the next.
struct AttachmentBuffers {
  std::vector<AttachmentBundle> bundles;
  std::vector<GUserText> names;
  std::vector<AttachmentNode*> nodes;
  GUserText tag;
};

HRESULT LoadAttachmentBlock(const IDSStreamContext& context, SiteResolver& sites, AttachmentBuffers& buffers) {
  DWORD id = 0, count = 0;
  HRESULT hr;
  if (FAILED(hr = Transfer(context, &id))) return hr;
  if (id == 0) return E_UNEXPECTED;
  SiteNode* site = nullptr;
  if (FAILED(hr = sites.Resolve(id, &site))) return hr;
  auto* parent = dynamic_cast<AssemblySite*>(site);
  if (!parent) return E_UNEXPECTED;
  if (FAILED(hr = Transfer(context, &count))) return hr;

  // The arrays grow with the records actually read, never by the stored
  // count alone.
  const bool withName = context.GetStreamVersion(kAttachmentVersion) > 1;
  auto& bundles = buffers.bundles;
  auto& names = buffers.names;
  bundles.clear();
  for (DWORD i = 0; i < count; ++i) {
    AttachmentBundle bundle;
    DWORD childId = 0;
    if (FAILED(hr = buffers.tag.Serialize(context)) || FAILED(hr = Transfer(context, &childId)) ||
        FAILED(hr = Transfer(context, &bundle.attachmentId)) || FAILED(hr = Transfer(context, &bundle.symbology)) ||
        FAILED(hr = Transfer(context, &bundle.matrix.GiveAsG4x4())))
      return hr;
    if (names.size() <= i) names.emplace_back();
    if (withName) {
      if (FAILED(hr = names[i].Serialize(context))) return hr;
    } else {
      names[i].Empty();
    }
    if (childId == 0) return E_UNEXPECTED;
    if (FAILED(hr = sites.Resolve(childId, &bundle.site))) return hr;
    bundles.push_back(bundle);
  }

  buffers.nodes.assign(bundles.size(), nullptr);
  // Later attachments made by the host must not repeat a stored id: raise
  // the site's counter as reading them from the documents would have.
  for (const AttachmentBundle& bundle : bundles) {
    DWORD stored = bundle.attachmentId;
    if (stored != 0) parent->CheckAttachmentID(stored);
  }
  const DWORD made = static_cast<DWORD>(bundles.size());
  hr = parent->AddAttachments(made, bundles.data(), buffers.nodes.data());
  if (FAILED(hr)) return hr;
  for (DWORD i = 0; i < made; ++i) {
    AttachmentNode* node = buffers.nodes[i];
    if (!node || names[i].IsEmpty()) continue;
    auto* name = new (std::nothrow) GUserText(names[i]);
    if (!name) return E_OUTOFMEMORY;
    hr = node->AddUserData(UD_OCC_NAME, name);
    if (FAILED(hr)) {
      delete name;
      return hr;
    }
  }
  return S_OK;
}

}  // namespace

// ---- IDSStreamContext -----------------------------------------------------------

IDSStreamContext::IDSStreamContext(IStream* stream, DWORD mode) : JIOStreamContext(stream, mode) {}

IDSStreamContext::~IDSStreamContext() = default;

HRESULT IDSStreamContext::DoIOVersions() { return DoIO(streamVersions_, sizeof streamVersions_); }

// ---- AsmTree::SaveIDS / LoadIDS ----------------------------------------------------

HRESULT AsmTree::SaveIDS(IStorage* storage, SiteFileToUniversalIdentifierMap& map) {
  constexpr const char* kOperation = "AsmTree::SaveIDS";
  if (!storage) return QUORRA_TRACE_FAIL(E_INVALIDARG, kOperation);
  if (!assemblySites_ || !partSites_) return QUORRA_TRACE_FAIL(E_UNEXPECTED, kOperation);
  IStream* created = nullptr;
  HRESULT hr = storage->CreateStream(quorra::kIDSStreamName, kCreateMode, 0, 0, &created);
  if (!created) return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, kOperation) : hr;
  auto stream = quorra::host::ComPtr<IStream>::Adopt(created);

  IDSStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
  if (FAILED(hr = context.DoIOVersions())) return QUORRA_TRACE_FAIL(hr, kOperation);

  const std::vector<SiteNode*>& assemblies = assemblySites_->Nodes();
  const std::vector<SiteNode*>& parts = partSites_->Nodes();
  DWORD assemblyCount = static_cast<DWORD>(assemblies.size());
  DWORD partCount = static_cast<DWORD>(parts.size());
  DWORD total = assemblyCount + partCount;
  if (FAILED(hr = WriteText(context, L"Sites")) || FAILED(hr = Transfer(context, &total)) ||
      FAILED(hr = Transfer(context, &assemblyCount)) || FAILED(hr = Transfer(context, &partCount)))
    return QUORRA_TRACE_FAIL(hr, kOperation);
  for (SiteNode* site : assemblies)
    if (FAILED(hr = WriteSiteRecord(context, map, site, true))) return QUORRA_TRACE_FAIL(hr, kOperation);
  for (SiteNode* site : parts)
    if (FAILED(hr = WriteSiteRecord(context, map, site, false))) return QUORRA_TRACE_FAIL(hr, kOperation);

  if (FAILED(hr = WriteText(context, L"Atts"))) return QUORRA_TRACE_FAIL(hr, kOperation);
  for (SiteNode* site : assemblies) {
    auto* assembly = dynamic_cast<AssemblySite*>(site);
    if (!assembly) continue;
    if (FAILED(hr = WriteAttachmentBlock(context, map, assembly))) return QUORRA_TRACE_FAIL(hr, kOperation);
  }

  hr = stream->Commit(0);
  return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, kOperation) : hr;
}

HRESULT AsmTree::LoadIDS(IStorage* storage, SiteFileToUniversalIdentifierMap& map) {
  constexpr const char* kOperation = "AsmTree::LoadIDS";
  if (!storage) return QUORRA_TRACE_FAIL(E_INVALIDARG, kOperation);
  if (!assemblySites_ || !partSites_ || !attachments_ || assemblySites_->GetCount() || partSites_->GetCount() ||
      attachments_->GetCount() || GetRootAssembly())
    return QUORRA_TRACE_FAIL(E_UNEXPECTED, kOperation);
  IStream* opened = nullptr;
  HRESULT hr = storage->OpenStream(quorra::kIDSStreamName, nullptr, kOpenMode, 0, &opened);
  if (!opened) return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, kOperation) : hr;
  auto stream = quorra::host::ComPtr<IStream>::Adopt(opened);

  IDSStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
  GUserText tag;
  DWORD total = 0, assemblyCount = 0, partCount = 0;
  if (FAILED(hr = context.DoIOVersions()) || FAILED(hr = tag.Serialize(context)) ||
      FAILED(hr = Transfer(context, &total)) || FAILED(hr = Transfer(context, &assemblyCount)) ||
      FAILED(hr = Transfer(context, &partCount)))
    return QUORRA_TRACE_FAIL(hr, kOperation);

  AssemblySite* root = nullptr;
  for (DWORD i = 0; i < assemblyCount; ++i)
    if (FAILED(hr = LoadSite(this, context, map, tag, true, &root))) return QUORRA_TRACE_FAIL(hr, kOperation);
  for (DWORD i = 0; i < partCount; ++i)
    if (FAILED(hr = LoadSite(this, context, map, tag, false, &root))) return QUORRA_TRACE_FAIL(hr, kOperation);

  if (FAILED(hr = tag.Serialize(context))) return QUORRA_TRACE_FAIL(hr, kOperation);
  SiteResolver sites(this, map);
  AttachmentBuffers buffers;
  for (DWORD i = 0; i < assemblyCount; ++i)
    if (FAILED(hr = LoadAttachmentBlock(context, sites, buffers))) return QUORRA_TRACE_FAIL(hr, kOperation);

  if (FAILED(hr = CreateOccurrenceTree(root))) return QUORRA_TRACE_FAIL(hr, kOperation);
  AssemblyOccurrence* rootOccurrence = GetRootAssembly();
  if (!rootOccurrence) return QUORRA_TRACE_FAIL(E_POINTER, kOperation);
  rootOccurrence->FlushRangeCache();
  tagGBox range = tagGBox::Empty();
  rootOccurrence->GetRange(&range);
  return S_OK;
}
