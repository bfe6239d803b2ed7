// Occurrence nodes.
#include "quorra/occurrence.h"

namespace {
const tagGBox kEmptyBox = tagGBox::Empty();
}  // namespace

OccurrenceNode::OccurrenceNode(DWORD flags, AttachmentNode* attachment, AssemblyOccurrence* parent)
    : flags_(flags), attachment_(attachment), range_(kEmptyBox), parent_(parent) {}

OccurrenceNode::~OccurrenceNode() = default;

const tagGBox* OccurrenceNode::GetRange() {
  return (range_.low[0] > -1e30 && range_.low[0] < 1e30) ? &range_ : &kEmptyBox;
}

HRESULT OccurrenceNode::SetRange(const tagGBox* box) {
  range_ = box ? *box : kEmptyBox;
  return S_OK;
}

HRESULT OccurrenceNode::Walk(TreeWalkCallback*, void*, int) { return E_NOTIMPL; }

void OccurrenceNode::Destroy(bool) { delete this; }

AssemblyOccurrence::AssemblyOccurrence(AttachmentNode* attachment, AssemblyOccurrence* parent)
    : OccurrenceNode(OCC_ASSEMBLY, attachment, parent) {}

AssemblyOccurrence::~AssemblyOccurrence() = default;
