// Roadmap lookup (AsmTree::Lookup and its walk callback OccLookup), binding
// member roadmaps (JBindRoadmapToOccLite), readable roadmap names through the
// host's occurrence containers, and occurrence names through the host
// reference.
#include "quorra/roadmap_lookup.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/occurrence_internal.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/tree.h"
#include "quorra/user_data.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/tree";

constexpr const wchar_t* kNoOccurrenceName = L"NoOccurrenceName";

// Every child has an attachment.
using quorra::occ::ChildID;

// Member routes stored on attachments are released with them.
struct MemberRouteReleases {
  MemberRouteReleases() {
    for (DWORD type : {DWORD(UD_OCC_ROADMAP), DWORD(UD_IOT_ROUTE), DWORD(91)})
      quorra::RegisterLibraryUserDataRelease(quorra::UserDataReleaser::kNode, type,
                                             [](void* value) { delete static_cast<JMemberRoute*>(value); });
  }
} gMemberRouteReleases;

// The first child at or after `from` whose attachment id is `id`, by
// binary search of children sorted by id; `count` when there is none.
DWORD LowerBoundWithID(OccurrenceNode* const* children, DWORD from, DWORD count, DWORD id) {
  const DWORD at = static_cast<DWORD>(
      std::lower_bound(children + from, children + count, id,
                       [](const OccurrenceNode* node, DWORD value) { return ChildID(node) < value; }) -
      children);
  return at < count && ChildID(children[at]) == id ? at : count;
}

// The same answer, found at once in the usual case: ids run 1, 2, 3, ... so
// slot id - 1 is tried first. It is the answer when it holds the id and its
// left neighbour (unless it is `from`) lies below the id: two loads whose
// cache misses overlap, where a binary search in a large tree pays a chain
// of dependent ones.
DWORD FirstWithID(OccurrenceNode* const* children, DWORD from, DWORD count, DWORD id) {
  const DWORD slot = id - 1;
  if (slot >= from && slot < count) {
    const DWORD here = ChildID(children[slot]);
    const DWORD left = slot > from ? ChildID(children[slot - 1]) : 0;
    if (here == id && (slot == from || left < id)) return slot;
  }
  return LowerBoundWithID(children, from, count, id);
}

// The lookup of AsmTree::Lookup: the walk's answers, reached by searching
// the children by id instead of visiting every sibling (while every list is
// in id order; otherwise by looking through each list in walk order).
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
  // `sortedById`: every children list is in id order (the usual case,
  // where the dense slot of an id is tried before searching).
  RoadmapSearch(const DWORD* ids, DWORD count, bool sortedById) : ids_(ids), count_(count), sortedById_(sortedById) {}

  // An assembly that ends the search, or null (then Recorded() holds the
  // answer).
  const OccurrenceNode* Search(const AssemblyOccurrence* assembly, DWORD level) {
    const DWORD id = ids_[level];
    DWORD n = 0;
    OccurrenceNode* const* children = assembly->GetChildList().GetData(&n);
    OccurrenceNode* const* end = children + n;
    if (!sortedById_) {
      // A sort by name or an id change disturbed the id order: a binary
      // search could land on a later child of the id than the walk meets
      // first, so look through the list as the walk would.
      for (OccurrenceNode* const* child = children; child != end; ++child)
        if (ChildID(*child) == id)
          if (const OccurrenceNode* found = Visit(*child, level)) return found;
      return nullptr;
    }
    // In id order the children of `id` lie together, from the first one on.
    for (OccurrenceNode* const* at = children + FirstWithID(children, 0, n, id); at != end && ChildID(*at) == id; ++at)
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
  const bool sortedById_;
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

bool IsReferencesRoute(const JMemberRoute& route) { return route == ReferencesRoute(); }

// The attachment id a route names when the attachment has no route of its
// own (BindRoadmapToOccLite::Matches): a 4-byte route that is not three
// digits and a zero is the id itself; otherwise the route must be the id's
// decimal text with its terminating zero, as std::to_string writes it (no
// sign, no leading zero). False when no id has that route.
bool RouteAttachmentID(const JMemberRoute& route, DWORD* id) {
  const DWORD length = route.GetLength();
  const BYTE* bytes = route.GetByteArray();
  if (length == 4 && !IsThreeDigitText(route)) {
    *id = DWORD(bytes[0]) | DWORD(bytes[1]) << 8 | DWORD(bytes[2]) << 16 | DWORD(bytes[3]) << 24;
    return true;
  }
  const DWORD digits = length - 1;
  if (length < 2 || digits > 10 || bytes[digits] != 0) return false;
  if (bytes[0] == '0' && digits > 1) return false;
  uint64_t value = 0;
  for (DWORD i = 0; i < digits; ++i) {
    if (bytes[i] < '0' || bytes[i] > '9') return false;
    value = value * 10 + (bytes[i] - '0');
  }
  if (value > UINT32_MAX) return false;
  *id = static_cast<DWORD>(value);
  return true;
}

// What the walk of JBindRoadmapToOccLite answers, without visiting every
// sibling. The walk goes through the children of each level in list order
// with one position in the roadmap: a child matching the current route
// moves the position on (and, an assembly, is then entered; a part lets
// the walk go on with its next sibling); a child that does not match is
// passed over. The match is the last route's child.
//
// While no attachment holds user data, a child matches exactly when its
// attachment id is the one the route names, so the next match after a
// position in a list sorted by id is found by binary search (the children
// of one id lie together in list order).
class MemberRoadmapSearch {
 public:
  MemberRoadmapSearch(const JMemberRoadmap* roadmap, bool sortedById)
      : route_(roadmap->GetFirst()), sortedById_(sortedById) {
    Advance();  // the first route names the document itself
  }

  // True when the search ended at the last route's child (Found()).
  bool Search(const AssemblyOccurrence* assembly) {
    DWORD count = 0;
    OccurrenceNode* const* children = assembly->GetChildList().GetData(&count);
    for (DWORD from = 0; route_ && routeHasID_ && from < count;) {
      from = NextWithID(children, from, count);
      if (from == count) return false;
      OccurrenceNode* child = children[from++];
      Advance();
      if (!route_) {
        found_ = child;
        return true;
      }
      if (child->IsAssembly() && Search(static_cast<const AssemblyOccurrence*>(child))) return true;
    }
    return false;
  }

  OccurrenceNode* Found() const { return found_; }

 private:
  // Moves to the next route that is not "References".
  void Advance() {
    do {
      route_ = route_ ? route_->next : nullptr;
    } while (route_ && IsReferencesRoute(*route_));
    routeHasID_ = route_ && RouteAttachmentID(*route_, &routeID_);
  }

  // The first child at or after `from` whose id is the route's, else count.
  DWORD NextWithID(OccurrenceNode* const* children, DWORD from, DWORD count) const {
    if (sortedById_) return FirstWithID(children, from, count, routeID_);
    while (from < count && ChildID(children[from]) != routeID_) ++from;
    return from;
  }

  const JMemberRouteLink* route_;
  DWORD routeID_ = 0;
  bool routeHasID_ = false;
  const bool sortedById_;
  OccurrenceNode* found_ = nullptr;
};

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
  RoadmapSearch search(rm->GetData(), rm->GetEntryCount(),
                       quorra::ChildOrderAccess::ChildrenSortedById(GetOccurrenceManager()));
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
  } while (current_ && IsReferencesRoute(*current_));
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

HRESULT BindRoadmapToOccLite::VisitAssembly(AssemblyOccurrence* assembly, TreeWalkContext*) { return Visit(assembly); }

extern "C" HRESULT JBindRoadmapToOccLite(AssemblyOccurrence* root, JMemberRoadmap* rm, OccurrenceNode** occ) {
  if (occ) *occ = nullptr;
  if (!root || !rm || !occ) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JBindRoadmapToOccLite");
  if (quorra::AttachmentsHoldingUserData() == 0) {
    // The walk's answer by search; the walk is counted as the walk counts it.
    AsmTree* tree = root->GetAsmTree();
    if (tree) tree->BeginWalk();
    MemberRoadmapSearch search(
        rm, quorra::ChildOrderAccess::ChildrenSortedById(tree ? tree->GetOccurrenceManager() : nullptr));
    const bool found = search.Search(root);
    *occ = search.Found();
    return found ? WALK_ABORT : WALK_CONTINUE;
  }
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
  if (occurrence && SUCCEEDED(occurrence->GetHelixReference(IID_IJComponent, reinterpret_cast<void**>(&component))) &&
      ReferenceName(component, &name))
    return name;
  return GUserText(kNoOccurrenceName);
}

GUserText GetAttachmentName(const AttachmentNode* attachment) {
  GUserText name;
  IJComponent* component = nullptr;
  if (attachment && SUCCEEDED(attachment->GetHelixReference(IID_IJComponent, reinterpret_cast<void**>(&component))) &&
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
