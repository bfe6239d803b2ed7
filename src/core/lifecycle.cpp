// Exported entry points of a tree's life: creation and loading (also on a
// worker thread), locking with deferred deletion, validation and queries.
#include "quorra/lifecycle.h"

#include <new>

#include "core/tree_registry.h"
#include "host/fault_injection.h"
#include "quorra/graphic_context.h"
#include "quorra/host/trace.h"
#include "quorra/load.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "quorra/tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/tree";

void Report(JProgress* progress, const wchar_t* text) {
  if (progress) progress->ReportProgress(text);
}

DWORD ThreadedLoad(void* parameter) {
  auto* context = static_cast<ThreadedLoadContext*>(parameter);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Report(context->progress, L"Starting Threaded Load");
  context->tree->SetBusy();
  LoadFile(context->file.GetText(), context->tree, nullptr, nullptr, nullptr);
  context->tree->ClearBusy();
  Report(context->progress, L"Ending Threaded Load");
  CoUninitialize();
  return 0;
}

}  // namespace

extern "C" HRESULT CreateAsmTree(AsmTree** tree, JProgress* progress) {
  auto* created = quorra::AllocationFails() ? nullptr : new (std::nothrow) AsmTree();
  if (!created) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "CreateAsmTree");
  HRESULT hr = created->Init();
  if (FAILED(hr)) {
    delete created;
    return QUORRA_TRACE_FAIL(hr, "CreateAsmTree");
  }
  created->SetUserProgress(progress);
  if (tree) *tree = created;
  return S_OK;
}

extern "C" HRESULT AsmTreeCreateAndLoad(const wchar_t* file, AsmTree** tree, JProgress* progress) {
  GUserText name(file);
  AsmTree* created = nullptr;
  HRESULT hr = CreateAsmTree(&created, progress);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "AsmTreeCreateAndLoad");
  if (tree) *tree = created;
  return LoadFile(name.GetText(), created, nullptr, nullptr, nullptr);
}

extern "C" HRESULT AsmTreeThreadedCreateAndLoad(const wchar_t* file, AsmTree** tree, ThreadedLoadContext** context,
                                                JProgress* progress) {
  if (tree) *tree = nullptr;
  if (context) *context = nullptr;
  AsmTree* created = nullptr;
  HRESULT hr = CreateAsmTree(&created, progress);
  if (FAILED(hr)) return hr;
  auto* load = new (std::nothrow) ThreadedLoadContext();
  if (!load) {
    delete created;
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "AsmTreeThreadedCreateAndLoad");
  }
  load->tree = created;
  load->file = GUserText(file);
  load->progress = progress;
  InitializeCriticalSection(&load->lock);
  // The tree is busy from here, not only once the worker has started, so a
  // caller that asks for its range at once sees the zero box.
  created->SetBusy();
  load->thread = CreateThread(nullptr, 0, ThreadedLoad, load, 0, &load->threadId);
  if (!load->thread) {
    created->ClearBusy();
    DeleteCriticalSection(&load->lock);
    delete load;
    delete created;
    return QUORRA_TRACE_FAIL(E_FAIL, "AsmTreeThreadedCreateAndLoad");
  }
  if (tree) *tree = created;
  if (context) *context = load;
  return hr;
}

extern "C" HRESULT DeleteAsmTree(AsmTree* tree) {
  if (!tree) return E_INVALIDARG;
  if (quorra::LockedTrees().count(tree)) {
    quorra::DeferredTreeDeletions().insert(tree);
    return S_OK;
  }
  quorra::LockedTrees().erase(tree);
  delete tree;
  return S_OK;
}

extern "C" HRESULT AsmTreeDelete(AsmTree* tree) {
  delete tree;
  return S_OK;
}

extern "C" HRESULT AsmTreeUnloadAndDelete(AsmTree* tree) {
  if (SiteManager* parts = tree->GetPartSiteManager())
    for (SiteNode* site : parts->Nodes())
      if (site->GetCommonCache()) site->ClearCommonCache();
  return AsmTreeDelete(tree);
}

extern "C" HRESULT AsmTreeThreadedUnloadAndDelete(AsmTree* tree) { return AsmTreeUnloadAndDelete(tree); }

extern "C" HRESULT AsmTreeLock(AsmTree* tree) {
  quorra::LockedTrees().insert(tree);
  return S_OK;
}

extern "C" HRESULT AsmTreeUnlock(AsmTree* tree) {
  if (quorra::DeferredTreeDeletions().erase(tree) && tree) {
    quorra::LockedTrees().erase(tree);
    delete tree;  // the destructor also leaves every registry
    return S_OK;
  }
  quorra::LockedTrees().erase(tree);
  return S_OK;
}

extern "C" HRESULT AsmTreeValidate(AsmTree* tree) { return quorra::IsLiveTree(tree) ? S_OK : E_UNEXPECTED; }

extern "C" HRESULT AsmTreeInvalidate(AsmTree* tree) {
  if (tree) tree->SetDirty(tree->GetDirty() | ASMTREE_DIRTY_INVALID);
  return S_OK;
}

extern "C" HRESULT AsmTreeGetRange(AsmTree* tree, tagGBox* box) {
  if (!tree || !box) return E_UNEXPECTED;
  CutawayContext* cutaway = nullptr;
  JGraphicContext* context = tree->BeginGraphicContext(&cutaway);
  *box = tree->GetRange(0);
  if (context) tree->EndGraphicContext(context, cutaway);
  delete cutaway;
  return S_OK;
}

extern "C" HRESULT AsmTreeGetRoadmap(OccurrenceNode* occurrence, JRoadmap* roadmap) {
  if (roadmap) *roadmap = occurrence ? occurrence->GetRoadmap() : JRoadmap();
  return S_OK;
}

extern "C" JGraphicContext* AsmTreeGetContext(AsmTree* tree) { return tree ? tree->GetGraphicContext() : nullptr; }

extern "C" void SetAbortStatus(int code, DWORD* status) {
  if (!status) return;
  *status = code == 4 ? 1 : code == 5 ? 2 : 0;
}

namespace quorra {

void FreeThreadedLoadContext(ThreadedLoadContext* context) {
  if (!context) return;
  if (context->thread) {
    WaitForSingleObject(context->thread, INFINITE);
    CloseHandle(context->thread);
  }
  DeleteCriticalSection(&context->lock);
  delete context;
}

bool IsTreeLocked(const AsmTree* tree) { return LockedTrees().count(const_cast<AsmTree*>(tree)) != 0; }
bool IsTreeDeletionDeferred(const AsmTree* tree) {
  return DeferredTreeDeletions().count(const_cast<AsmTree*>(tree)) != 0;
}

}  // namespace quorra
