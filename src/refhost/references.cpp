// Reading the references of an assembly as the file loader does, and telling
// which of them a tree does not hold.
#include "quorra/refhost/references.h"

#include <string_view>
#include <unordered_map>

#include "core/attachments_reader.h"
#include "quorra/host/compound_file.h"
#include "quorra/host/documents.h"
#include "quorra/host/text.h"
#include "quorra/occurrence.h"
#include "quorra/refhost/describe.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace quorra::refhost {
namespace {

constexpr const char* kOperation = "refhost::ScanReferences";

std::wstring Key(std::wstring_view path) { return host::LowerCase(path); }

// The storage the loader reads an assembly from: a component's storage, the
// document, or a family's seed member.
HRESULT OpenAssemblyStorage(const std::wstring& path, host::ComPtr<IStorage>* out) {
  std::wstring_view file, component;
  host::SplitSubstorageComponent(path, &file, &component);
  host::ComPtr<IStorage> storage;
  if (!component.empty() && !host::IsMasterComponent(component)) {
    if (SUCCEEDED(JStgOpenStorage(path.c_str(), nullptr, STGM_PRIORITY, nullptr, 0, storage.Put(), 1)) && storage) {
      *out = std::move(storage);
      return S_OK;
    }
  }
  const std::wstring document(file);
  HRESULT hr = quorra::load::OpenDocument(document.c_str(), quorra::load::kAssemblyFallbackMode, storage.Put());
  if (FAILED(hr)) return hr;
  if (IsFileFamilyByStorage(storage.Get())) {
    std::vector<std::wstring> members;
    DWORD seed = 0;
    hr = host::GetFamilyMembers(storage.Get(), &members, &seed);
    if (FAILED(hr)) return hr;
    host::ComPtr<IStorage> member;
    hr = storage->OpenStorage(members[seed].c_str(), nullptr, quorra::load::kElementMode, nullptr, 0, member.Put());
    if (FAILED(hr)) return hr;
    storage = std::move(member);
  }
  *out = std::move(storage);
  return S_OK;
}

class Scanner {
 public:
  explicit Scanner(ReferenceGraph* graph) : graph_(graph) {}

  HRESULT Run(const wchar_t* top) {
    Add(top);
    for (size_t next = 0; next < graph_->documents.size(); ++next) {
      if (quorra::load::ClassifyDocument(graph_->documents[next]) != quorra::load::DocumentKind::kAssembly) continue;
      ReadAssembly(next);
    }
    return S_OK;
  }

 private:
  size_t Add(const std::wstring& path) {
    auto [at, added] = index_.try_emplace(Key(path), graph_->documents.size());
    if (added) graph_->documents.push_back(path);
    return at->second;
  }

  void ReadAssembly(size_t document) {
    const std::wstring path = graph_->documents[document];
    host::ComPtr<IStorage> storage;
    host::ComPtr<IStream> stream;
    HRESULT hr = OpenAssemblyStorage(path, &storage);
    if (SUCCEEDED(hr))
      hr = quorra::load::OpenChildStream(storage.Get(), quorra::load::kAttachmentsStream, stream.Put());
    if (FAILED(hr)) {
      graph_->unreadable.push_back({document, hr, false});
      return;
    }
    quorra::load::AttachmentsReader reader(stream.Get(), quorra::load::ReadPolicy::kFileLoader, kOperation);
    quorra::load::AttachmentsHeader header;
    reader.ReadHeader(&header);
    const std::wstring directory(quorra::load::DocumentDirectory(path));
    // The references of this document by stored name, in first-seen order.
    std::unordered_map<std::wstring, size_t> byName;
    hr = reader.ReadNamedPlacements(header, [&](const quorra::load::PlacementRecord& record) {
      auto [at, added] = byName.try_emplace(record.documentName, graph_->references.size());
      if (added) {
        DocumentReference reference;
        reference.placedBy = document;
        reference.name = record.documentName;
        wchar_t found[quorra::load::kChildSearchUnits];
        if (quorra::load::FindChildDocument(directory.c_str(), record.documentName.c_str(), found)) {
          reference.path = found;
          Add(reference.path);
        }
        graph_->references.push_back(std::move(reference));
      }
      ++graph_->references[at->second].placements;
    });
    if (FAILED(hr)) graph_->unreadable.push_back({document, hr, true});
  }

  ReferenceGraph* graph_;
  std::unordered_map<std::wstring, size_t> index_;
};

// The site a document was loaded as, or null.
SiteNode* FindLoadedSite(AsmTree* tree, const std::wstring& path, bool top) {
  if (top) {
    AssemblyOccurrence* root = tree->GetRootAssembly();
    SiteNode* rootSite = root ? root->GetSite() : nullptr;
    // A part loaded on its own sits below a root named "ROOT".
    if (rootSite && quorra::load::ClassifyDocument(path) != quorra::load::DocumentKind::kPart) return rootSite;
  }
  SiteNode* site = nullptr;
  return tree->FindSiteEx(true, path.c_str(), &site) == S_OK ? site : nullptr;
}

// True when the site holds what its document should have given it: a part
// its display cache, an assembly or weldment at least one placement.
bool HasContent(SiteNode* site) {
  if (!site->IsAssembly()) return static_cast<PartSite*>(site)->GetCommonCache() != nullptr;
  DWORD count = 0;
  AttachmentNode* const* list = nullptr;
  static_cast<AssemblySite*>(site)->GetAttachments(&count, &list);
  return count > 0;
}

}  // namespace

HRESULT ScanReferences(const wchar_t* top, ReferenceGraph* graph) {
  if (!top || !*top || !graph) return E_INVALIDARG;
  *graph = ReferenceGraph();
  try {
    return Scanner(graph).Run(top);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

std::vector<LoadProblem> FindLoadProblems(AsmTree* tree, const ReferenceGraph& graph) {
  std::vector<LoadProblem> problems;
  if (!tree || graph.documents.empty()) return problems;
  // Per document: its site and whether it has content.
  std::vector<SiteNode*> sites(graph.documents.size());
  for (size_t i = 0; i < graph.documents.size(); ++i) sites[i] = FindLoadedSite(tree, graph.documents[i], i == 0);
  std::unordered_map<size_t, const UnreadableDocument*> unreadable;
  for (const UnreadableDocument& u : graph.unreadable) unreadable[u.document] = &u;
  std::vector<size_t> placed(graph.documents.size(), 0);  // references each document makes
  for (const DocumentReference& reference : graph.references) ++placed[reference.placedBy];

  // Why a found document is missing from the tree or empty in it.
  auto why = [&](size_t document) -> std::string {
    std::string problem = DescribeFileProblem(host::ToUtf8(graph.documents[document]));
    if (!problem.empty()) return problem;
    if (auto u = unreadable.find(document); u != unreadable.end() && !u->second->partlyRead)
      return DescribeResult(u->second->result);
    if (!sites[document]) return "not loaded";
    if (!sites[document]->IsAssembly()) return "its display data could not be read";
    const bool isAssembly =
        quorra::load::ClassifyDocument(graph.documents[document]) == quorra::load::DocumentKind::kAssembly;
    return isAssembly && placed[document] == 0 ? "it places no documents" : "nothing in it could be loaded";
  };
  std::unordered_map<std::wstring, size_t> documentIndex;
  for (size_t i = 0; i < graph.documents.size(); ++i) documentIndex.emplace(Key(graph.documents[i]), i);

  if (!sites[0] || !HasContent(sites[0])) problems.push_back({L"", graph.documents[0], graph.documents[0], 1, why(0)});
  for (const DocumentReference& reference : graph.references) {
    if (!sites[reference.placedBy]) continue;  // its placer is listed instead
    LoadProblem problem{graph.documents[reference.placedBy], reference.name, reference.path, reference.placements, {}};
    if (reference.path.empty()) {
      problem.reason = "not found";
    } else {
      const size_t document = documentIndex.at(Key(reference.path));
      if (sites[document] && HasContent(sites[document])) continue;
      problem.reason = why(document);
    }
    problems.push_back(std::move(problem));
  }
  for (const UnreadableDocument& u : graph.unreadable)
    if (u.partlyRead && sites[u.document])
      problems.push_back({graph.documents[u.document], L"", L"", 0,
                          "its \"Attachments\" stream is damaged: " + DescribeResult(u.result)});
  return problems;
}

}  // namespace quorra::refhost
