// Roadmap lookup (AsmTree::Lookup and its walk callback OccLookup), binding
// member roadmaps (JBindRoadmapToOccLite), readable roadmap names through the
// host's occurrence containers, and occurrence names through the host
// reference.
#include "quorra/roadmap_lookup.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/tree.h"
#include "quorra/user_data.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/tree";

constexpr const wchar_t* kNoOccurrenceName = L"NoOccurrenceName";

// Every child has an attachment.
inline DWORD ChildID(const OccurrenceNode* child) { return child->GetWritableAttachment()->GetAttachmentID(); }

// Member routes stored on attachments are released with them.
struct MemberRouteReleases {
  MemberRouteReleases() {
    for (DWORD type : {DWORD(UD_OCC_ROADMAP), DWORD(UD_IOT_ROUTE), DWORD(91)})
      quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, type,
                                             [](void* value) { delete static_cast<JMemberRoute*>(value); });
  }
} gMemberRouteReleases;

// The lookup of AsmTree::Lookup: the walk's answers, reached by binary
// search of the children instead of visiting every sibling.
//
// What the walk answers: at each level it visits the children in list order;
// a child whose id is not the target's id at that level is pruned (or, for a
// part, ignored). At the last level an assembly ends the walk as the result,
// while a part is recorded and the walk goes on, so a later match replaces
// it. With unique ids there is at most one match. With repeated ids (which
// the list keeps next to each other, in insertion order) the answer is the
// first assembly match in walk order, else the last part match; the search
// below follows every child of the run in order, so it gives the same.
class RoadmapSearch {
 public:
  RoadmapSearch(const DWORD* ids, DWORD count) : ids_(ids), count_(count) {}

  // An assembly that ends the search, or null (then Recorded() holds the
  // answer).
  const OccurrenceNode* Search(const AssemblyOccurrence* assembly, DWORD level) {
    const DWORD id = ids_[level];
    const DWORD n = assembly->GetChildCount();
    OccurrenceNode* const* children = assembly->GetChildList().GetData();
    OccurrenceNode* const* end = children + n;
    // The first child whose id is not below `id`.
    OccurrenceNode* const* at = children;
    for (DWORD size = n; size > 0;) {
      const DWORD half = size / 2;
      if (ChildID(at[half]) < id) {
        at += half + 1;
        size -= half + 1;
      } else {
        size = half;
      }
    }
    if (at == end || ChildID(*at) != id) {
      // Not where the id order puts it: after a name sort the list is in
      // another order, so look through it as the walk would.
      for (OccurrenceNode* const* child = children; child != end; ++child)
        if (ChildID(*child) == id)
          if (const OccurrenceNode* found = Visit(*child, level)) return found;
      return nullptr;
    }
    for (; at != end && ChildID(*at) == id; ++at)
      if (const OccurrenceNode* found = Visit(*at, level)) return found;
    return nullptr;
  }

  const OccurrenceNode* Recorded() const { return recorded_; }

 private:
  const OccurrenceNode* Visit(const OccurrenceNode* child, DWORD level) {
    const bool last = level + 1 == count_;
    if (child->IsAssembly()) {
      if (last) return child;
      return Search(static_cast<const AssemblyOccurrence*>(child), level + 1);
    }
    if (last && child->IsPart()) recorded_ = child;
    return nullptr;
  }

  const DWORD* ids_;
  DWORD count_;
  const OccurrenceNode* recorded_ = nullptr;
};

// The route made of the 20 bytes of the UTF-16 text "References".
const JMemberRoute& ReferencesRoute() {
  static const JMemberRoute route = [] {
    BYTE bytes[20];
    const char* text = "References";
    for (int i = 0; i < 10; ++i) {
      bytes[2 * i] = static_cast<BYTE>(text[i]);
      bytes[2 * i + 1] = 0;
    }
    return JMemberRoute(bytes, sizeof bytes);
  }();
  return route;
}

// Three decimal digit characters and a zero byte.
bool IsThreeDigitText(const JMemberRoute& route) {
  if (route.GetLength() != 4) return false;
  const BYTE* b = route.GetByteArray();
  auto digit = [](BYTE c) { return c >= '0' && c <= '9'; };
  return digit(b[0]) && digit(b[1]) && digit(b[2]) && b[3] == 0;
}

// The name of a Helix reference's member, when it has one.
bool ReferenceName(IJComponent* component, GUserText* name) {
  if (!component) return false;
  const HRESULT hr = component->GetName(name);
  component->Release();
  return hr == S_OK && !name->IsEmpty();
}

// The process-wide buffer of JDisplayRoadmapToOccNameString.
constexpr size_t kNameBufferChars = 1024;
char gOccNameBuffer[kNameBufferChars];

// Appends what fits (the terminator always stays).
void AppendBounded(const char* text, size_t* used) {
  const size_t room = kNameBufferChars - 1 - *used;
  const size_t n = std::min(std::strlen(text), room);
  std::memcpy(gOccNameBuffer + *used, text, n);
  *used += n;
  gOccNameBuffer[*used] = 0;
}

}  // namespace

// ---- Lookup ----

HRESULT OccLookup::BeginAssembly(AssemblyOccurrence*, TreeWalkContext*) {
  working_.AddLink(0);
  return WALK_CONTINUE;
}

HRESULT OccLookup::EndAssembly(AssemblyOccurrence*, TreeWalkContext*) {
  working_.RemoveTopLink();
  return WALK_CONTINUE;
}

HRESULT OccLookup::VisitPart(PartOccurrence* part, TreeWalkContext*) {
  working_.SetTopLink(part->GetAttachmentID());
  if (working_.Compare(target_) == 0) found_ = part;
  return WALK_CONTINUE;
}

HRESULT OccLookup::VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext*) {
  // At the root the working roadmap is empty: the replacement fails and
  // changes nothing.
  working_.SetTopLink(assembly->GetAttachmentID());
  if (working_.Compare(target_) == 0) {
    found_ = assembly;
    return WALK_ABORT;
  }
  const DWORD n = working_.GetEntryCount();
  const bool prefix = n <= target_->GetEntryCount() &&
                      (n == 0 || std::memcmp(working_.GetData(), target_->GetData(), n * sizeof(DWORD)) == 0);
  return prefix ? WALK_CONTINUE : WALK_PRUNE;
}

const OccurrenceNode* AsmTree::Lookup(DisplayRoadmap* rm) {
  AssemblyOccurrence* root = GetRootAssembly();
  if (!root || !rm) return nullptr;
  if (rm->GetEntryCount() == 0) return root;
  RoadmapSearch search(rm->GetData(), rm->GetEntryCount());
  if (const OccurrenceNode* found = search.Search(root, 0)) return found;
  return search.Recorded();
}

// ---- Binding member roadmaps ----

BindRoadmapToOccLite::BindRoadmapToOccLite(AssemblyOccurrence* root, const JMemberRoadmap* roadmap)
    : root_(root), roadmap_(roadmap), current_(roadmap ? roadmap->GetFirst() : nullptr) {}

void BindRoadmapToOccLite::Advance() {
  if (!current_) return;
  do {
    current_ = current_->next;
  } while (current_ && *current_ == ReferencesRoute());
}

bool BindRoadmapToOccLite::Matches(const AttachmentNode* attachment, const JMemberRoute& route) {
  if (!attachment) return false;
  int found = 0;
  void* stored = attachment->GetUserData(UD_OCC_ROADMAP, &found);
  if (found) return stored && *static_cast<const JMemberRoute*>(stored) == route;
  const DWORD id = attachment->GetAttachmentID();
  if (route.GetLength() == 4 && !IsThreeDigitText(route)) return route == JMemberRoute(id);
  const std::string text = std::to_string(id);
  return route == JMemberRoute(text.c_str());
}

HRESULT BindRoadmapToOccLite::Visit(OccurrenceNode* node) {
  if (!current_ || !Matches(node->GetAttachment(), *current_)) return WALK_PRUNE;
  Advance();
  if (current_) return WALK_CONTINUE;
  found_ = node;
  return WALK_ABORT;
}

HRESULT BindRoadmapToOccLite::VisitPart(PartOccurrence* part, TreeWalkContext*) { return Visit(part); }

HRESULT BindRoadmapToOccLite::VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext*) {
  return Visit(assembly);
}

extern "C" HRESULT JBindRoadmapToOccLite(AssemblyOccurrence* root, JMemberRoadmap* rm, OccurrenceNode** occ) {
  if (occ) *occ = nullptr;
  if (!root || !rm || !occ) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JBindRoadmapToOccLite");
  BindRoadmapToOccLite callback(root, rm);
  callback.Advance();  // the first route names the document itself
  const HRESULT hr = root->Walk(&callback, nullptr, FALSE);
  if (FAILED(hr)) return hr;
  *occ = callback.GetFound();
  return hr;
}

// ---- Names ----

extern "C" const char* JDisplayRoadmapToOccNameString(IUnknown* context, DisplayRoadmap* rm) {
  gOccNameBuffer[0] = 0;
  if (!context || !rm) return gOccNameBuffer;
  size_t used = 0;
  IJOccurrenceContainer* container = nullptr;
  if (FAILED(context->QueryInterface(IID_IJOccurrenceContainer, reinterpret_cast<void**>(&container))))
    container = nullptr;
  const DWORD count = rm->GetEntryCount();
  for (DWORD i = 0; i < count && container; ++i) {
    IJComponent* member = nullptr;
    HRESULT hr = container->GetMember(rm->GetData(i), IID_IJComponent, reinterpret_cast<void**>(&member));
    container->Release();
    container = nullptr;
    if (FAILED(hr) || !member) break;
    GUserText name;
    if (member->GetName(&name) == S_OK) AppendBounded(name.GetUtf8(), &used);
    if (i + 1 < count) AppendBounded("/", &used);
    if (!member->IsLeaf() && FAILED(member->GetOccurrenceContainer(&container))) container = nullptr;
    member->Release();
  }
  if (container) container->Release();
  return gOccNameBuffer;
}

namespace quorra {

GUserText GetOccurrenceName(const OccurrenceNode* occurrence) {
  GUserText name;
  IJComponent* component = nullptr;
  if (occurrence &&
      SUCCEEDED(occurrence->GetHelixReference(IID_IJComponent, reinterpret_cast<void**>(&component))) &&
      ReferenceName(component, &name))
    return name;
  return GUserText(kNoOccurrenceName);
}

GUserText GetAttachmentName(const AttachmentNode* attachment) {
  GUserText name;
  IJComponent* component = nullptr;
  if (attachment &&
      SUCCEEDED(attachment->GetHelixReference(IID_IJComponent, reinterpret_cast<void**>(&component))) &&
      ReferenceName(component, &name))
    return name;
  return GUserText(kNoOccurrenceName);
}

}  // namespace quorra

// ---- The source document ----

HRESULT OccurrenceNode::GetSourceDocument(REFIID iid, void** out) const {
  if (!out) return QUORRA_TRACE_FAIL(E_INVALIDARG, "OccurrenceNode::GetSourceDocument");
  *out = nullptr;
  IJOccurrenceDocument* document = nullptr;
  HRESULT hr = GetHelixReference(IID_IJOccurrenceDocument, reinterpret_cast<void**>(&document));
  if (FAILED(hr) || !document) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_FAIL, "OccurrenceNode::GetSourceDocument");
  hr = document->GetSourceDocument(iid, out);
  document->Release();
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "OccurrenceNode::GetSourceDocument");
  return hr;
}
