// Occurrence nodes (placeholder until the occurrence work lands), and
// placeholders of the occurrence-tree construction members of sites.
#include "quorra/occurrence.h"

#include "quorra/attachment.h"
#include "quorra/site.h"

namespace {
const tagGBox kEmptyBox = tagGBox::Empty();
}  // namespace

OccurrenceNode::OccurrenceNode(DWORD flags, AttachmentNode* attachment, AssemblyOccurrence* parent)
    : flags_(flags), attachment_(attachment), range_(kEmptyBox), parent_(parent) {}

OccurrenceNode::~OccurrenceNode() = default;

SiteNode* OccurrenceNode::GetSite() const { return attachment_ ? attachment_->GetAttachmentSite() : nullptr; }

HRESULT OccurrenceNode::GetTypedGraphic(DWORD* type, void** graphic, DWORD) {
  if (type) *type = 0;
  if (graphic) *graphic = nullptr;
  return E_FAIL;
}

const tagGBox* OccurrenceNode::GetRange() {
  return (range_.low[0] > -1e30 && range_.low[0] < 1e30) ? &range_ : &kEmptyBox;
}

HRESULT OccurrenceNode::SetRange(const tagGBox* box) {
  range_ = box ? *box : kEmptyBox;
  return S_OK;
}

HRESULT OccurrenceNode::Walk(TreeWalkCallback*, void*, int) { return E_NOTIMPL; }

HRESULT OccurrenceNode::Destroy(BOOL) {
  delete this;
  return S_OK;
}

AssemblyOccurrence::AssemblyOccurrence(AttachmentNode* attachment, AssemblyOccurrence* parent)
    : OccurrenceNode(OCC_ASSEMBLY, attachment, parent) {}

AssemblyOccurrence::~AssemblyOccurrence() = default;

HRESULT AssemblyOccurrence::CreateOccurrences(DWORD n, AttachmentNode* const*) { return n ? S_OK : S_FALSE; }

OccurrenceNode* AssemblyOccurrence::FindOccurrenceOfAttachment(AttachmentNode* attachment) const {
  for (OccurrenceNode* child : children_)
    if (child->GetAttachment() == attachment) return child;
  return nullptr;
}

// ---- occurrence-tree construction members of sites (placeholders) ----

HRESULT SiteNode::CreateOccurrence(AttachmentNode*, AssemblyOccurrence*, OccurrenceNode** occurrence) {
  if (occurrence) *occurrence = nullptr;
  return E_NOTIMPL;
}
HRESULT SiteNode::AddOccurrences(DWORD n, OccurrenceNode** occurrences) {
  return occurrences_.AddNodes(n, occurrences);
}
HRESULT SiteNode::PreAllocOccurrence() { return S_OK; }
HRESULT SiteNode::PreAllocOccurrencesSpace(DWORD n) { return occurrences_.Reserve(n); }
HRESULT AssemblySite::PreAllocOccurrenceLists() { return S_OK; }
HRESULT AssemblySite::CreateAndAddAssembly(const wchar_t*, DWORD, DWORD, tagG4x4*, AttachmentNode**, int*,
                                           NodeList<OccurrenceNode>*) {
  return E_NOTIMPL;
}
HRESULT AssemblySite::CreateAndAddPart(const wchar_t*, DWORD, DWORD, tagG4x4*, AttachmentNode**, int*,
                                       NodeList<OccurrenceNode>*) {
  return E_NOTIMPL;
}
HRESULT AssemblySite::InternalCreateAndAddOcc(SiteNode*, DWORD, DWORD, tagG4x4*, AttachmentNode**, int*,
                                              NodeList<OccurrenceNode>*) {
  return E_NOTIMPL;
}
HRESULT SiteManager::VerifyNoOccurrences() const {
  for (SiteNode* site : Nodes())
    if (site->GetOccurrencesList()->GetCount() != 0) return S_FALSE;
  return S_OK;
}
HRESULT SiteManager::FinishPreAlloc() { return S_OK; }
