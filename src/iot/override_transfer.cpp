// Moving an override to another path, and turning a configuration member
// roadmap into override nodes and configuration settings.
#include <cstdlib>
#include <cstring>
#include <string>

#include "quorra/host/switches.h"
#include "quorra/host/trace.h"
#include "quorra/member_roadmap.h"
#include "quorra/override_tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/iot";

// A route holding the UTF-16 text of `text` without a terminator.
JMemberRoute Utf16Route(const char* text) {
  std::u16string units;
  for (const char* c = text; *c; ++c) units.push_back(static_cast<char16_t>(*c));
  return JMemberRoute(units.data(), static_cast<DWORD>(units.size() * sizeof(char16_t)));
}

const JMemberRoute& ReferencesRoute() {
  static const JMemberRoute route = Utf16Route("References");
  return route;
}
const JMemberRoute& LayoutsRoute() {
  static const JMemberRoute route = Utf16Route("Layouts");
  return route;
}
const JMemberRoute& PatternsRoute() {
  static const JMemberRoute route = Utf16Route("Patterns");
  return route;
}

// The decimal number written in a link: its text up to the first zero
// character, read as UTF-16 when every second byte is zero, else as bytes.
DWORD ReadNumber(const JMemberRoute& link) {
  const BYTE* bytes = link.GetByteArray();
  const DWORD length = link.GetLength();
  bool wide = length >= 2 && length % 2 == 0;
  for (DWORD i = 1; wide && i < length; i += 2) wide = bytes[i] == 0;
  std::string text;
  for (DWORD i = 0; i < length; i += wide ? 2 : 1) {
    if (bytes[i] == 0) break;
    text.push_back(static_cast<char>(bytes[i]));
  }
  return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
}

// A link of exactly 4 bytes that is not three decimal digits and a zero
// byte holds an attachment id.
bool HoldsAttachmentID(const JMemberRoute& link, DWORD* id) {
  if (link.GetLength() != 4) return false;
  const BYTE* b = link.GetByteArray();
  auto digit = [](BYTE c) { return c >= '0' && c <= '9'; };
  if (digit(b[0]) && digit(b[1]) && digit(b[2]) && b[3] == 0) return false;
  std::memcpy(id, b, 4);
  return true;
}

bool RestoreConstructionDisplay() {
  static const bool restore = JGetDebugDWORD(L"RestoreConstructionDisplayBehavior", 0) != 0;
  return restore;
}

// The display bits of a node made for a configuration link, from the
// configuration's options for that link.
DWORD ConfigEntryProps(DWORD props, DWORD options) {
  if (!(options & 0x2)) props |= IOT_HIDDEN;
  if (options & 0x8000000) props |= IOT_COORDSYS_ON;
  if (options & 0x10000000) props |= IOT_SKETCHES_ON;
  if (options & 0x2000) props |= IOT_REFPLANES_ON;
  if (options & 0x40000000) props |= IOT_REFAXES_ON;
  if (options & 0x10) {
    if (RestoreConstructionDisplay()) {
      if (!(options & 0x20000000)) props |= IOT_SURFACES_ON | IOT_CURVES_ON;
      if (!(options & 0x80000000u)) props |= IOT_CURVES_ON;
    }
    if (!(options & 0x800000)) props |= IOT_ACTIVE;
    if (options & 0x1000000) props |= IOT_SIMPLIFIED;
  }
  if (options & 0x400) props = (options & 0x2) ? (props & ~IOT_HIDDEN) : (props | IOT_HIDDEN);
  return props;
}

constexpr DWORD CONFIG_ENTRY_NO_SETTINGS = 0x1;
constexpr DWORD CONFIG_ENTRY_LAST_IS_ASSEMBLY = 0x20;
constexpr DWORD CONFIG_ENTRY_INNER_OPTIONS = 0x22;
constexpr DWORD CONFIG_SETTING_HIDDEN = 0x1;
constexpr DWORD CONFIG_SETTING_ALL_LAYOUTS = 0xFFFFFFD6u;

}  // namespace

HRESULT JIDSOverrideTree::Transfer(DWORD reserved, DWORD fromCount, const DWORD* fromIds, DWORD toCount,
                                   const DWORD* toIds) {
  if (reserved != 0 || fromCount == 0 || toCount == 0 || !fromIds || !toIds)
    return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::Transfer");
  JIDSOverride* node = Bind(fromCount, fromIds);
  if (!node) return S_FALSE;
  JAsmOverride* oldParent = node->GetParent();
  if (!oldParent || Bind(toCount, toIds)) return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverrideTree::Transfer");
  // The node may not move below itself: making the branch would put it
  // under its own subtree, or replace it when it is a part on the way.
  JIDSOverride* step = root_;
  for (DWORD i = 0; i + 1 < toCount && step && step->IsAssembly(); ++i) {
    step = static_cast<JAsmOverride*>(step)->GetChild(toIds[i]);
    if (step == node) return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverrideTree::Transfer");
  }
  JIDSOverride* newParent = toCount >= 2 ? CreateBranch(root_, toCount - 1, toIds, IOT_ASSEMBLY) : root_;
  if (!newParent || !newParent->IsAssembly()) return QUORRA_TRACE_FAIL(E_FAIL, "JIDSOverrideTree::Transfer");

  node->ClearOccurrencePropertyOverrides();
  oldParent->children_.Erase(node->GetAttachmentID(), node);
  node->SetAttachmentID(toIds[toCount - 1]);
  node->SetParent(static_cast<JAsmOverride*>(newParent));
  HRESULT hr = static_cast<JAsmOverride*>(newParent)->AddChild(node);
  if (FAILED(hr)) {
    // Nothing holds the node any more.
    node->SetParent(nullptr);
    JIDSOverride::Delete(node);
    return QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::Transfer");
  }
  return S_OK;
}

HRESULT JIDSOverrideTree::AddConfigEntry(JMemberRoadmap* memberRoadmap, DWORD options, JIDSOverride** node) {
  if (!memberRoadmap || memberRoadmap->IsEmpty())
    return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::AddConfigEntry");
  JIDSOverride* current = root_;
  const bool settings = !(options & CONFIG_ENTRY_NO_SETTINGS);
  for (const JMemberRouteLink* link = memberRoadmap->GetFirst(); link;) {
    if (*link == ReferencesRoute()) {
      const JMemberRouteLink* named = link->next;
      if (!named) break;
      link = named->next;
      if (!current->IsAssembly()) continue;  // the pair is passed over
      auto* parent = static_cast<JAsmOverride*>(current);
      const bool last = named->next == nullptr;
      DWORD id = 0;
      const bool byId = HoldsAttachmentID(*named, &id);
      JIDSOverride* child = byId ? parent->GetChild(id) : parent->GetChild(static_cast<const JMemberRoute&>(*named));
      if (!child) {
        const DWORD type = (last && !(options & CONFIG_ENTRY_LAST_IS_ASSEMBLY)) ? IOT_PART : IOT_ASSEMBLY;
        child = byId ? parent->AddChild(id, type) : parent->AddChild(static_cast<const JMemberRoute&>(*named), type);
        if (!child) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JIDSOverrideTree::AddConfigEntry");
        child->SetProps(ConfigEntryProps(child->GetProps(), last ? options : CONFIG_ENTRY_INNER_OPTIONS));
      }
      current = child;
      continue;
    }
    if (*link == LayoutsRoute()) {
      const JMemberRouteLink* next = link->next;
      if (settings && !next) current->AddConfigSetting(CONFIG_SETTING_ALL_LAYOUTS, 2, CONFIG_SETTING_HIDDEN);
      if (settings && next && !next->next) current->AddConfigSetting(ReadNumber(*next), 5, CONFIG_SETTING_HIDDEN);
      break;
    }
    if (*link == PatternsRoute()) {
      const JMemberRouteLink* first = link->next;
      const JMemberRouteLink* second = first ? first->next : nullptr;
      if (settings && first && !second) current->AddConfigSetting(ReadNumber(*first), 6, CONFIG_SETTING_HIDDEN);
      if (settings && second && !second->next) current->AddConfigSetting(ReadNumber(*second), 7, CONFIG_SETTING_HIDDEN);
      break;
    }
    break;  // any other link ends the walk
  }
  if (node) *node = current;
  return S_OK;
}
