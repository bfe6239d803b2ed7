// refhost's functions of "brenik.dex" around applying override tables: the
// re-apply after a change notification, configuration settings, route
// identities, part style libraries and the product-manufacturing-information
// pair.
#include <map>
#include <mutex>
#include <string>

#include "quorra/host/apply_services.h"
#include "quorra/host/container.h"
#include "quorra/host/override_services.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/member_roadmap.h"
#include "quorra/occurrence.h"
#include "quorra/override_tree.h"
#include "quorra/refhost/apply_host.h"
#include "quorra/refhost/occurrence_container.h"
#include "quorra/refhost/persist_manager.h"
#include "quorra/tree.h"
#include "refhost/host_modules.h"

namespace quorra::refhost {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/refhost/apply";
constexpr BYTE kLayoutOrReferencePlane = 5;
constexpr BYTE kReferencePlane = 4;

struct ApplyHostState {
  std::mutex lock;
  std::vector<ConfigSettingsCall> configCalls;
  std::vector<PmiCall> pmiCalls;
  std::map<std::wstring, host::ComPtr<host::ReferenceStyleLibrary>> partStyles;  // by lower-case path
};
ApplyHostState& State() {
  static ApplyHostState* state = new ApplyHostState();
  return *state;
}

std::wstring DocumentPath(IUnknown* object) {
  if (!object) return {};
  IRefhostDocument* document = nullptr;
  if (FAILED(object->QueryInterface(IID_IRefhostDocument, reinterpret_cast<void**>(&document))) || !document) return {};
  std::wstring path = document->GetPath();
  document->Release();
  return path;
}

// The name a route holds: UTF-16 text when every second byte is zero, else
// the bytes; up to the first zero character.
std::wstring RouteText(const JMemberRoute& route) {
  const BYTE* bytes = route.GetByteArray();
  const DWORD length = route.GetLength();
  bool wide = length >= 2 && length % 2 == 0;
  for (DWORD i = 1; wide && i < length; i += 2) wide = bytes[i] == 0;
  std::wstring text;
  for (DWORD i = 0; i < length; i += wide ? 2 : 1) {
    if (bytes[i] == 0) break;
    text.push_back(static_cast<wchar_t>(bytes[i]));
  }
  return text;
}

// Applies the override table of `document` to `tree`.
HRESULT Reapply(IUnknown* document, AsmTree* tree) {
  AssemblyOccurrence* root = tree ? tree->GetRootAssembly() : nullptr;
  if (!root) return S_FALSE;
  host::ComPtr<IJOverrideTreeHolder> holder;
  HRESULT hr = JGetIOT(document, IID_IJOverrideTreeHolder, reinterpret_cast<void**>(holder.Put()));
  JIDSOverrideTree* table = nullptr;
  if (SUCCEEDED(hr) && holder) hr = holder->GetOverrideTree(&table, 0);
  if (FAILED(hr) || !table) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_FAIL, "refhost::NotifyIDS");
  hr = table->Apply(nullptr, root, kReapplyKinds);
  return FAILED(hr) ? QUORRA_TRACE_FAIL(hr, "refhost::NotifyIDS") : S_OK;
}

}  // namespace

HRESULT NotifyIDS(void* tree, void* document, DWORD, void*) {
  auto* asmTree = static_cast<AsmTree*>(tree);
  if (!asmTree && document) {
    AsmTree* documentTree = nullptr;
    if (FAILED(GetIDSAsmTree(static_cast<IUnknown*>(document), &documentTree, 0)) || !documentTree) return S_FALSE;
    return Reapply(static_cast<IUnknown*>(document), documentTree);
  }
  HRESULT result = S_OK;
  for (const host::ComPtr<IUnknown>& each : DocumentsWithTree(asmTree)) {
    AsmTree* documentTree = nullptr;
    if (FAILED(GetIDSAsmTree(each.Get(), &documentTree, 0)) || !documentTree) continue;
    HRESULT hr = Reapply(each.Get(), documentTree);
    if (FAILED(hr)) result = hr;
  }
  return result;
}

HRESULT ApplyConfigSettings(IUnknown* document, JConfigSetting* settings, DWORD count, DWORD flags) {
  if (count && !settings) return QUORRA_TRACE_FAIL(E_INVALIDARG, "refhost::ApplyConfigSettings");
  ConfigSettingsCall call;
  call.document = DocumentPath(document);
  call.settings.assign(settings, settings + count);
  call.flags = flags;
  for (DWORD i = 0; i < count; ++i)
    if (settings[i].GetType() == kLayoutOrReferencePlane) settings[i].SetType(kReferencePlane);
  ApplyHostState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.configCalls.push_back(std::move(call));
  return S_OK;
}

HRESULT UpdateAttachmentIDs(AssemblyOccurrence* occurrence, JAsmOverride* asmOverride) {
  if (!occurrence || !asmOverride) return QUORRA_TRACE_FAIL(E_INVALIDARG, "refhost::UpdateAttachmentIDs");
  // The member names of the child occurrences.
  std::map<std::wstring, DWORD> byName;
  for (DWORD i = 0; i < occurrence->GetChildCount(); ++i) {
    OccurrenceNode* child = occurrence->GetChildByIndex(i);
    IJComponent* member = nullptr;
    if (!child || FAILED(child->GetHelixReference(IID_IJComponent, reinterpret_cast<void**>(&member))) || !member)
      continue;
    GUserText name;
    if (member->GetName(&name) == S_OK) byName.emplace(host::LowerCase(name.GetText()), child->GetAttachmentID());
    member->Release();
  }
  std::vector<JIDSOverride*> children;
  HRESULT hr = asmOverride->GetChildren(children);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "refhost::UpdateAttachmentIDs");
  for (JIDSOverride* child : children) {
    const JMemberRoute* route = child->GetAttachmentID() == 0 ? child->GetRoute() : nullptr;
    if (!route) continue;
    auto found = byName.find(host::LowerCase(RouteText(*route)));
    if (found != byName.end() && !asmOverride->GetChild(found->second)) child->UpdateAttachmentID(found->second);
  }
  return S_OK;
}

HRESULT GetPartStyleLib(IUnknown* reference, IJStyleLibrary** library) {
  if (!library) return E_POINTER;
  *library = nullptr;
  if (!reference) return E_INVALIDARG;
  IJOccurrenceDocument* placed = nullptr;
  if (FAILED(reference->QueryInterface(IID_IJOccurrenceDocument, reinterpret_cast<void**>(&placed))) || !placed)
    return E_FAIL;
  IUnknown* document = nullptr;
  HRESULT hr = placed->GetSourceDocument(IID_IUnknown, reinterpret_cast<void**>(&document));
  placed->Release();
  const std::wstring path = SUCCEEDED(hr) ? DocumentPath(document) : std::wstring();
  if (document) document->Release();
  if (path.empty()) return E_FAIL;
  return GetPartStyleLibrary(path.c_str(), library);
}

HRESULT GetPartStyleLibrary(const wchar_t* path, IJStyleLibrary** out) {
  if (!path || !out) return E_INVALIDARG;
  ApplyHostState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  auto& library = s.partStyles[host::LowerCase(path)];
  if (!library) library = host::ComPtr<host::ReferenceStyleLibrary>(new host::ReferenceStyleLibrary());
  *out = library.Get();
  (*out)->AddRef();
  return S_OK;
}

HRESULT ApplyIOTForPMI(void* a, void* b) {
  ApplyHostState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.pmiCalls.push_back({false, a, b});
  return S_OK;
}

HRESULT PopulateIOTForPMI(void* a, void* b) {
  ApplyHostState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.pmiCalls.push_back({true, a, b});
  return S_OK;
}

std::vector<ConfigSettingsCall> TakeConfigSettingsCalls() {
  ApplyHostState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  std::vector<ConfigSettingsCall> calls;
  calls.swap(s.configCalls);
  return calls;
}

std::vector<PmiCall> TakePmiCalls() {
  ApplyHostState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  std::vector<PmiCall> calls;
  calls.swap(s.pmiCalls);
  return calls;
}

void ResetApplyHost() {
  std::map<std::wstring, host::ComPtr<host::ReferenceStyleLibrary>> released;
  ApplyHostState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.configCalls.clear();
  s.pmiCalls.clear();
  released.swap(s.partStyles);
}

}  // namespace quorra::refhost
