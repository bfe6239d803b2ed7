// Occurrence nodes: construction and destruction, identity, site-derived
// state, host data, visibility, in-place activation, simplified
// representation and dirtiness.
#include <new>
#include <sstream>

#include "core/occurrence_internal.h"
#include "quorra/host/modules.h"
#include "quorra/host/trace.h"
#include "quorra/walk.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/occ";

// Process-wide; every occurrence constructor takes the next value.
DWORD gOccurrenceUidCounter = 0;

// Site flags the occurrence reads.
constexpr DWORD kSiteMissing = 0x800000;
constexpr DWORD kSiteTrueTypeAssembly = 0x1000000;
constexpr DWORD kSiteTrueTypePart = 0x2000000;

// The host's membership rebind (mode 1 before simplifying, 2 after).
HRESULT RebindMembership(OccurrenceNode* occurrence, DWORD mode) {
  static quorra::host::LateBoundFunction<HRESULT(OccurrenceNode*, DWORD)> rebind(L"cordale.dll",
                                                                                 "JAsmRebindMembassyIfNeccessary");
  auto fn = rebind.Get();
  return fn ? fn(occurrence, mode) : E_FAIL;
}

// Asks the tree's data server for key-value data of an occurrence: the
// site's lower-case path, then the server, then `call` (server, path).
template <class Out, class Call>
HRESULT CallKVDataServer(const OccurrenceNode* occurrence, Out** out, const char* operation, Call call) {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
  *out = nullptr;
  SiteNode* site = occurrence->GetSite();
  if (!site) return QUORRA_TRACE_FAIL(E_FAIL, operation);
  GUserText path = site->GetFilePathLowerCase(true);
  if (path.IsEmpty()) return QUORRA_TRACE_FAIL(E_FAIL, operation);
  IKVDataServer* server = nullptr;
  occurrence->GetKVDataServer(&server);
  if (!server) return QUORRA_TRACE_FAIL(E_POINTER, operation);
  HRESULT hr = call(server, path.GetText());
  server->Release();
  if (FAILED(hr)) QUORRA_TRACE_FAIL(hr, operation);
  return hr;
}

}  // namespace

// ---- Construction and destruction ----

OccurrenceNode::OccurrenceNode(DWORD flags, AttachmentNode* attachment, AssemblyOccurrence* parent)
    : flags_(flags),
      range_(kEmptyRange),
      currentToWorld_(tagG4x4::NoInit{}),
      attachment_(attachment),
      parent_(parent),
      uid_(++gOccurrenceUidCounter),
      symbology_(attachment ? attachment->GetSymbology() : 0) {
  currentToWorld_.SetIdentity();
}

// Copies share no owned data: the copy gets a new uid, no user data, no
// caches, no style library and no checksum; the name and animated state
// are duplicated.
OccurrenceNode::OccurrenceNode(const OccurrenceNode& other)
    : IJProbeIt(),
      flags_(other.flags_),
      flagsEx_(other.flagsEx_),
      range_(other.range_),
      currentToWorld_(other.currentToWorld_),
      attachment_(other.attachment_),
      parent_(other.parent_),
      uid_(++gOccurrenceUidCounter),
      symbology_(other.symbology_) {
  if (other.cold_) cold_ = new (std::nothrow) ColdState(*other.cold_);
}

OccurrenceNode& OccurrenceNode::operator=(const OccurrenceNode& other) {
  if (this == &other) return *this;
  flags_ = other.flags_;
  flagsEx_ = other.flagsEx_;
  attachment_ = other.attachment_;
  parent_ = other.parent_;
  symbology_ = other.symbology_;
  range_ = other.range_;
  currentToWorld_ = other.currentToWorld_;
  delete cold_;
  cold_ = other.cold_ ? new (std::nothrow) ColdState(*other.cold_) : nullptr;
  return *this;
}

OccurrenceNode::~OccurrenceNode() {
  userData_.Release();
  delete cold_;
}

OccurrenceNode::ColdState* OccurrenceNode::Cold() {
  if (!cold_) cold_ = new (std::nothrow) ColdState(symbology_);
  return cold_;
}

bool OccurrenceNode::HasCachedGeometry() const { return cold_ && cold_->cachedGeometry; }

DWORD OccurrenceNode::CachedCrc(size_t imageSize) {
  ColdState* cold = Cold();
  if (!cold) return quorra::ObjectChecksum(this, imageSize);
  if (cold->crc == 0) cold->crc = quorra::ObjectChecksum(this, imageSize);
  return cold->crc;
}

HRESULT OccurrenceNode::Init() {
  RefreshXform();
  return S_OK;
}

namespace {
// Site occurrence lists up to this long are searched without a hint.
constexpr DWORD kHintedListLength = 64;
}  // namespace

HRESULT OccurrenceNode::Destroy(BOOL calledFromParent) {
  if (parent_) parent_->SetPossiblyDirty();
  AsmTree* tree = GetAsmTree();
  if (tree) {
    HRESULT hr = tree->CallDeleteOccurrenceCallbacks(this);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::Destroy");
  }
  if (OccurrenceManager* manager = tree ? tree->GetOccurrenceManager() : nullptr) manager->ForgetOrphan(this);
  if (IsAssembly()) static_cast<AssemblyOccurrence*>(this)->DestroyChildren();
  // The site lists each occurrence once, in creation order: searched from
  // both ends, a tree torn down last node first, or branches removed oldest
  // first, cost one step per node. A part placed many times by one parent
  // lists its occurrences in the order of the parent's children, slot for
  // slot (removals leave vacancies in both alike): in a long list, the
  // slot this occurrence has among its siblings is tried first.
  if (SiteNode* site = GetSite()) {
    NodeList<OccurrenceNode>* list = site->GetOccurrencesList();
    list->RemoveUniqueRaw(this, [&] {
      if (calledFromParent || !parent_ || !attachment_ || list->GetRawCount() <= kHintedListLength) return ~DWORD{0};
      return quorra::occ::FindChildSlot(parent_->GetChildList(), attachment_);
    });
  }
  if (!calledFromParent && parent_) parent_->RemoveChild(this);
  delete this;
  return S_OK;
}

AssemblyOccurrence::AssemblyOccurrence(AttachmentNode* attachment, AssemblyOccurrence* parent)
    : OccurrenceNode(OCC_ASSEMBLY, attachment, parent) {}

AssemblyOccurrence::~AssemblyOccurrence() = default;

DWORD AssemblyOccurrence::GetCrc() { return CachedCrc(sizeof(*this)); }

PartOccurrence::PartOccurrence(AttachmentNode* attachment, AssemblyOccurrence* parent)
    : OccurrenceNode(OCC_PART, attachment, parent) {}

PartOccurrence::~PartOccurrence() = default;

DWORD PartOccurrence::GetCrc() { return CachedCrc(sizeof(*this)); }

// ---- IUnknown and probing ----

namespace {

// Answers the probe-related interfaces for an occurrence, which is not
// reference counted: a separate counted object that refers to it.
class OccurrenceProbeAdaptor final : public quorra::host::ComObject<IJProbeText, IJProbeResultsSource, IJProbeTarget> {
 public:
  explicit OccurrenceProbeAdaptor(OccurrenceNode* occurrence) : occurrence_(occurrence) {}

  HRESULT GetProbeText(const JProbeOptions& options, std::wstring* text) override {
    if (!text) return E_POINTER;
    std::wstringstream out;
    HRESULT hr = occurrence_->Probe(out, options, JProbeFormat());
    *text = out.str();
    return hr;
  }
  HRESULT GetProbeResults(IJProbeResults** results, const JProbeOptions& options) override {
    return occurrence_->Probe(results, options);
  }
  IJProbeIt* GetProbeTarget() override { return occurrence_; }

 private:
  OccurrenceNode* occurrence_;
};

}  // namespace

HRESULT OccurrenceNode::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IJProbeIt) {
    *out = static_cast<IJProbeIt*>(this);
    return S_OK;
  }
  if (iid == IID_IJProbeText || iid == IID_IJProbeResultsSource || iid == IID_IJProbeTarget) {
    auto* adaptor = new (std::nothrow) OccurrenceProbeAdaptor(this);
    if (!adaptor) return E_OUTOFMEMORY;
    quorra::host::ComPtr<OccurrenceProbeAdaptor> held(adaptor);
    return adaptor->QueryInterface(iid, out);
  }
  return E_NOINTERFACE;
}

HRESULT OccurrenceNode::Probe(std::wstringstream& out, const JProbeOptions&, const JProbeFormat& format) {
  const std::wstring indent(format.indent, L' ');
  out << indent << (IsAssembly() ? L"AssemblyOccurrence" : L"PartOccurrence") << L" uid " << uid_ << L" id "
      << GetAttachmentID() << L" flags " << quorra::host::FormatWide(L"0x%08X", flags_) << L" flagsEx "
      << quorra::host::FormatWide(L"0x%08X", flagsEx_);
  if (const wchar_t* name = GetUserNameW()) out << L" name " << name;
  out << L"\n";
  return S_OK;
}

HRESULT OccurrenceNode::Probe(IJProbeResults** results, const JProbeOptions&) {
  if (results) *results = nullptr;
  return E_NOTIMPL;
}

// ---- Identity ----

const AttachmentMatrix* OccurrenceNode::GetAttachmentXForm() const {
  return attachment_ ? attachment_->GetXFormFromParent() : nullptr;
}

AssemblyOccurrence* OccurrenceNode::ClearParent() {
  AssemblyOccurrence* old = parent_;
  parent_ = nullptr;
  return old;
}

AssemblyOccurrence* OccurrenceNode::GetRootAssembly() {
  OccurrenceNode* node = this;
  while (node->parent_) node = node->parent_;
  // The top of a tree is always an assembly occurrence.
  return node->IsAssembly() ? static_cast<AssemblyOccurrence*>(node) : nullptr;
}

const wchar_t* OccurrenceNode::GetUserNameW() const {
  if (cold_ && !cold_->userName.IsEmpty()) return cold_->userName.GetText();
  if (SiteNode* site = GetSite()) return site->GetFilePath(false).GetText();
  return nullptr;
}

HRESULT OccurrenceNode::SetUserName(const wchar_t* name) {
  if (!cold_ && (!name || !*name)) return S_OK;  // empty stays empty without a cold block
  ColdState* cold = Cold();
  if (!cold) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "OccurrenceNode::SetUserName");
  cold->userName = name;
  return S_OK;
}

// ---- Site-derived state ----

DWORD OccurrenceNode::GetSiteFlags() const {
  SiteNode* site = GetSite();
  return site ? site->GetFlags() : 0;
}

bool OccurrenceNode::IsLite() const {
  SiteNode* site = GetSite();
  return site && site->IsLite();
}

bool OccurrenceNode::IsLocal() const {
  SiteNode* site = GetSite();
  return site && site->IsLocal();
}

bool OccurrenceNode::IsVirtualComponent() const {
  SiteNode* site = GetSite();
  return site && site->IsVirtualComponent();
}

HRESULT OccurrenceNode::GetVirtualComponent(REFIID iid, void** out) const {
  SiteNode* site = GetSite();
  if (!site) {
    if (out) *out = nullptr;
    return E_FAIL;
  }
  return site->GetVirtualComponent(iid, out);
}

void OccurrenceNode::SetIsLite() {
  if (SiteNode* site = GetSite()) site->SetIsLite();
}

void OccurrenceNode::ClearIsLite() {
  if (SiteNode* site = GetSite()) site->ClearIsLite();
}

bool OccurrenceNode::IsTrueTypeAssembly() const { return IsAssembly() && (GetSiteFlags() & kSiteTrueTypeAssembly); }

bool OccurrenceNode::IsTrueTypePart() const { return IsAssembly() && (GetSiteFlags() & kSiteTrueTypePart); }

bool OccurrenceNode::IsDisplayable() const {
  if (flags_ & (OCC_HIDDEN | OCC_HIDDEN_BY_PARENT)) return false;
  return !(GetSiteFlags() & kSiteMissing);
}

bool OccurrenceNode::IsGhostMode() const {
  if (!JAsmIsGhostMode() || IsDisplayable()) return false;
  if (IsHiddenInSubassembly() && parent_ && parent_->parent_) return false;
  return !(flagsEx_ & OCCX_PROCESS_FOR_GHOSTING);
}

bool OccurrenceNode::IsAdaptable() const {
  int found = 0;
  if (!(flags_ & OCC_ADAPTABLE)) return false;
  GetUserData(UD_ADAPTABLE, &found);
  return found != 0;
}

HRESULT OccurrenceNode::SetAdaptable() {
  int found = 0;
  GetUserData(UD_ADAPTABLE, &found);
  HRESULT hr = found ? S_OK : AddUserData(UD_ADAPTABLE, reinterpret_cast<void*>(uintptr_t{1}));
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::SetAdaptable");
  flags_ |= OCC_ADAPTABLE;
  return S_OK;
}

HRESULT OccurrenceNode::ClearAdaptable() {
  flags_ &= ~OCC_ADAPTABLE;
  RemoveUserData(UD_ADAPTABLE);
  return S_OK;
}

bool OccurrenceNode::IsAdjustablePart() const {
  int found = 0;
  if (!(flags_ & OCC_ADJUSTABLE_PART)) return false;
  GetUserData(UD_ADJUSTABLE_PART, &found);
  return found != 0;
}

HRESULT OccurrenceNode::SetAdjustablePart() {
  int found = 0;
  GetUserData(UD_ADJUSTABLE_PART, &found);
  HRESULT hr = found ? S_OK : AddUserData(UD_ADJUSTABLE_PART, reinterpret_cast<void*>(uintptr_t{1}));
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::SetAdjustablePart");
  flags_ |= OCC_ADJUSTABLE_PART;
  return S_OK;
}

HRESULT OccurrenceNode::ClearAdjustablePart() {
  flags_ &= ~OCC_ADJUSTABLE_PART;
  RemoveUserData(UD_ADJUSTABLE_PART);
  RemoveUserData(UD_ADJUSTABLE_PART_BASEBODY);
  return S_OK;
}

// ---- Host services ----

HRESULT OccurrenceNode::GetHelixReference(REFIID iid, void** out) const {
  if (!attachment_) {
    if (out) *out = nullptr;
    return E_FAIL;
  }
  return attachment_->GetHelixReference(iid, out);
}

HRESULT OccurrenceNode::GetKVDataServer(IKVDataServer** out) const {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetKVDataServer");
  *out = nullptr;
  AsmTree* tree = GetAsmTree();
  if (!tree) return E_FAIL;
  return tree->GetKVDataServer(out);
}

HRESULT OccurrenceNode::GetKVData(DWORD type, KVBaseData** out) {
  return CallKVDataServer(this, out, "OccurrenceNode::GetKVData", [&](IKVDataServer* server, const wchar_t* path) {
    return server->GetBaseData(path, type, this, out);
  });
}

HRESULT PartOccurrence::GetKVData(DWORD type, KVBaseData** out) {
  return CallKVDataServer(this, out, "PartOccurrence::GetKVData", [&](IKVDataServer* server, const wchar_t* path) {
    return server->GetBaseData(path, type, this, out);
  });
}

HRESULT PartOccurrence::GetKVData(DWORD type, KVBaseData** out, DWORD extra) {
  return CallKVDataServer(this, out, "PartOccurrence::GetKVData", [&](IKVDataServer* server, const wchar_t* path) {
    return server->GetPartData(path, type, this, out, extra);
  });
}

HRESULT AssemblyOccurrence::GetKVData(DWORD type, KVBaseData** out) {
  return CallKVDataServer(this, out, "AssemblyOccurrence::GetKVData", [&](IKVDataServer* server, const wchar_t* path) {
    return server->GetAssemblyBaseData(path, type, this, out);
  });
}

HRESULT AssemblyOccurrence::GetKVData(DWORD type, KVAssemblyData** out) {
  return CallKVDataServer(this, out, "AssemblyOccurrence::GetKVData", [&](IKVDataServer* server, const wchar_t* path) {
    return server->GetAssemblyData(path, type, this, out);
  });
}

HRESULT AssemblyOccurrence::GetKVData(DWORD type, KVLiteAssemblyData** out, DWORD extra) {
  return CallKVDataServer(this, out, "AssemblyOccurrence::GetKVData", [&](IKVDataServer* server, const wchar_t* path) {
    return server->GetLiteAssemblyData(path, type, this, out, extra);
  });
}

JGraphicContext* OccurrenceNode::GetGraphicContext() const {
  AsmTree* tree = GetAsmTree();
  return tree ? tree->GetGraphicContext() : nullptr;
}

HRESULT OccurrenceNode::GetTypedGraphic(DWORD* type, void** graphic, DWORD) const {
  if (type) *type = 0;
  if (graphic) *graphic = nullptr;
  return E_FAIL;
}

// ---- Visibility ----

HRESULT OccurrenceNode::Hide(BOOL propagate) {
  flags_ |= OCC_HIDDEN;
  if (propagate && IsAssembly() && !IsHiddenByParent()) {
    ShowHideCallback callback;
    static_cast<AssemblyOccurrence*>(this)->Walk(&callback, reinterpret_cast<void*>(uintptr_t{1}), FALSE);
  }
  return S_OK;
}

HRESULT OccurrenceNode::Show(BOOL propagate) {
  flags_ &= ~OCC_HIDDEN;
  if (propagate && IsAssembly() && !IsHiddenByParent()) {
    ShowHideCallback callback;
    static_cast<AssemblyOccurrence*>(this)->Walk(&callback, nullptr, FALSE);
  }
  return S_OK;
}

// ---- In-place activation ----

HRESULT OccurrenceNode::SetIPA() {
  flags_ |= OCC_IPA;
  if (!IsAssembly()) return S_OK;
  SetIPACallback callback;
  HRESULT hr = static_cast<AssemblyOccurrence*>(this)->Walk(&callback, reinterpret_cast<void*>(uintptr_t{1}), FALSE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::SetIPA");
  return S_OK;
}

HRESULT OccurrenceNode::ClearIPA() {
  flags_ &= ~OCC_IPA;
  // Still active from above, or nothing below: the descendants keep their bits.
  if (IsParentIPA() || IsPart()) return S_OK;
  SetIPACallback callback;
  HRESULT hr = static_cast<AssemblyOccurrence*>(this)->Walk(&callback, nullptr, FALSE);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::ClearIPA");
  return S_OK;
}

extern "C" HRESULT JMarkAllSiteOccurrencesParentIPA(SiteNode* site) {
  if (!site) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JMarkAllSiteOccurrencesParentIPA");
  NodeList<OccurrenceNode>* list = site->GetOccurrencesList();
  if (!list) return S_OK;
  HRESULT result = S_OK;
  for (OccurrenceNode* occurrence : *list) {
    AssemblyOccurrence* parent = occurrence->GetParent();
    if (!parent || !parent->IsParentIPA()) continue;
    occurrence->SetParentIPA();
    if (!occurrence->IsAssembly()) continue;
    SetIPACallback callback;
    result =
        static_cast<AssemblyOccurrence*>(occurrence)->Walk(&callback, reinterpret_cast<void*>(uintptr_t{1}), FALSE);
    if (FAILED(result)) return QUORRA_TRACE_FAIL(result, "JMarkAllSiteOccurrencesParentIPA");
  }
  return result;
}

// ---- Simplified representation ----

HRESULT OccurrenceNode::SetSimplified() {
  if (IsSimplified()) return S_OK;
  if (IsAssembly()) {
    RebindMembership(this, 1);
    if (quorra::occ::IsExactlyEmpty(range_)) SetPossiblyDirty();
  }
  flags_ |= OCC_SIMPLIFIED;
  return S_OK;
}

HRESULT OccurrenceNode::ClearSimplified() {
  if (IsSimplified() && IsAssembly()) RebindMembership(this, 2);
  flags_ &= ~OCC_SIMPLIFIED;
  return S_OK;
}

// ---- Dirtiness ----

void OccurrenceNode::SetPossiblyDirty() {
  if (IsPossiblyDirty()) return;
  OccurrenceNode* node = this;
  for (;;) {
    node->flags_ |= OCC_POSSIBLY_DIRTY;
    OccurrenceNode* parent = node->parent_;
    if (!parent) {
      // The change reached the root's range: range-bound tokens are stale.
      if (AsmTree* tree = node->GetAsmTree()) tree->ClearAllUserTokens(1);
      return;
    }
    if (parent->IsPossiblyDirty()) return;
    node = parent;
  }
}

void OccurrenceNode::SetDirty() {
  flags_ |= OCC_DIRTY;
  if (parent_) parent_->SetPossiblyDirty();
  if (IsAssembly()) {
    for (OccurrenceNode* child : static_cast<AssemblyOccurrence*>(this)->children_) child->SetDirty();
  }
  if (AsmTree* tree = GetAsmTree()) tree->ClearAnimationState();
}

void OccurrenceNode::SetXformDirty() {
  flags_ |= OCC_DIRTY | OCC_XFORM_DIRTY;
  if (IsAssembly()) {
    for (OccurrenceNode* child : static_cast<AssemblyOccurrence*>(this)->children_) child->SetXformDirty();
  }
  if (parent_) parent_->SetPossiblyDirty();
}
