// The site reader: builds the whole site graph from the child paths stored in
// the assembly documents (no path search, no display data), then the
// occurrence tree in one pass.
#include "core/attachments_reader.h"
#include "quorra/attachment.h"
#include "quorra/host/compound_file.h"
#include "quorra/host/trace.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/load";

using quorra::host::ComPtr;
using quorra::load::DocumentKind;
}  // namespace

HRESULT AsmTree::PopulateFullTree(const wchar_t* path, DWORD word) {
  constexpr const char* kOperation = "AsmTree::PopulateFullTree";
  AssemblySite* site = nullptr;
  HRESULT hr = CreateAssemblySite(path, word, &site);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  hr = site->CreateChildSitesFromFile();
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  hr = CreateOccurrenceTree(site);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
  return hr;
}

HRESULT AssemblySite::CreateChildSitesFromFile() {
  constexpr const char* kOperation = "AssemblySite::CreateChildSitesFromFile";
  ComPtr<IStorage> document;
  ComPtr<IStream> stream;
  if (FAILED(quorra::load::OpenDocument(GetFilePath().GetText(), quorra::load::kFallbackMode, document.Put())))
    return S_FALSE;
  if (FAILED(quorra::load::OpenChildStream(document.Get(), quorra::load::kAttachmentsStream, stream.Put())))
    return S_FALSE;

  quorra::load::AttachmentsReader reader(stream.Get(), quorra::load::ReadPolicy::kSiteReader, kOperation);
  quorra::load::AttachmentsHeader header;
  HRESULT hr = reader.ReadHeader(&header);
  if (FAILED(hr)) return hr;

  quorra::load::PlacementRecord record;
  for (DWORD c = 0; c < header.componentCount; ++c) {
    DWORD placements = 0;
    HRESULT read = reader.ReadComponent(&placements);
    if (FAILED(read)) return read;
    for (DWORD p = 0; p < placements; ++p) {
      read = reader.ReadPlacement(&record);
      if (FAILED(read)) return read;
      if (record.documentName.empty()) continue;
      const wchar_t* name = record.documentName.c_str();
      const DocumentKind kind = quorra::load::ClassifyDocument(record.documentName);
      AttachmentNode* attachment = nullptr;
      int isNew = 0;
      if (kind == DocumentKind::kPart || kind == DocumentKind::kWeldment) {
        hr = CreateAndAddPart(name, 0, 0, &record.matrix, &attachment, &isNew, nullptr);
        if (FAILED(hr)) return QUORRA_TRACE_FAIL_MSG(hr, name, kOperation);
        if (isNew) {
          hr = static_cast<PartSite*>(attachment->GetAttachmentSite())->InitPartSiteFromFile();
          if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
        }
      } else if (kind == DocumentKind::kAssembly) {
        hr = CreateAndAddAssembly(name, 0, 0, &record.matrix, &attachment, &isNew, nullptr);
        if (FAILED(hr)) return QUORRA_TRACE_FAIL_MSG(hr, name, kOperation);
        if (isNew) {
          hr = static_cast<AssemblySite*>(attachment->GetAttachmentSite())->CreateChildSitesFromFile();
          if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOperation);
        }
      }
    }
  }
  return hr;
}

HRESULT PartSite::InitPartSiteFromFile() {
  ComPtr<IStorage> document, kernel;
  ComPtr<IEnumSTATSTG> elements;
  if (FAILED(quorra::load::OpenDocument(GetFilePath().GetText(), quorra::load::kFallbackMode, document.Put())))
    return S_FALSE;
  if (FAILED(quorra::load::OpenChildStorage(document.Get(), quorra::load::kKernelStorage, kernel.Put())))
    return S_FALSE;
  HRESULT hr = kernel->EnumElements(0, nullptr, 0, elements.Put());
  if (FAILED(hr) || !elements)
    return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_UNEXPECTED, "PartSite::InitPartSiteFromFile");
  STATSTG stat;
  while ((hr = elements->Next(1, &stat, nullptr)) == S_OK) {
    const bool kernelBody =
        stat.type == STGTY_STREAM && stat.pwcsName && quorra::load::IsKernelBodyStreamName(stat.pwcsName);
    ComPtr<IStream> body;
    if (kernelBody && SUCCEEDED(quorra::load::OpenChildStream(kernel.Get(), stat.pwcsName, body.Put()))) {
      SetCommonCache(static_cast<IJGeometryCache*>(nullptr));
      const tagGBox unit(-1, -1, -1, 1, 1, 1);
      SetRange(&unit);
    }
    CoTaskMemFree(stat.pwcsName);
  }
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "PartSite::InitPartSiteFromFile");
  return hr;
}
