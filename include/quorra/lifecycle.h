// The exported entry points through which a host creates, loads, locks,
// validates and deletes trees.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/geometry.h"
#include "quorra/host/identity.h"
#include "quorra/host/kernel.h"
#include "quorra/host/text.h"

class AsmTree;
class JGraphicContext;
class OccurrenceNode;

// Handed to the caller of AsmTreeThreadedCreateAndLoad; the library never
// frees it or closes its thread handle.
struct ThreadedLoadContext {
  AsmTree* tree = nullptr;
  GUserText file;
  JProgress* progress = nullptr;
  CRITICAL_SECTION lock;  // for the caller's use
  DWORD threadId = 0;
  HANDLE thread = nullptr;
};

extern "C" {
HRESULT CreateAsmTree(AsmTree** tree, JProgress* progress);
HRESULT AsmTreeCreateAndLoad(const wchar_t* file, AsmTree** tree, JProgress* progress);
HRESULT AsmTreeThreadedCreateAndLoad(const wchar_t* file, AsmTree** tree, ThreadedLoadContext** context,
                                     JProgress* progress);
HRESULT DeleteAsmTree(AsmTree* tree);
HRESULT AsmTreeDelete(AsmTree* tree);
HRESULT AsmTreeUnloadAndDelete(AsmTree* tree);
HRESULT AsmTreeThreadedUnloadAndDelete(AsmTree* tree);
HRESULT AsmTreeLock(AsmTree* tree);
HRESULT AsmTreeUnlock(AsmTree* tree);
HRESULT AsmTreeValidate(AsmTree* tree);
HRESULT AsmTreeInvalidate(AsmTree* tree);
HRESULT AsmTreeGetRange(AsmTree* tree, tagGBox* box);
HRESULT AsmTreeGetRoadmap(OccurrenceNode* occurrence, JRoadmap* roadmap);
JGraphicContext* AsmTreeGetContext(AsmTree* tree);
void SetAbortStatus(int code, DWORD* status);
}

namespace quorra {
// Frees a threaded-load context once its worker has ended (a convenience
// for callers: waits for the thread, closes its handle, frees the context).
void FreeThreadedLoadContext(ThreadedLoadContext* context);
bool IsTreeLocked(const AsmTree* tree);
bool IsTreeDeletionDeferred(const AsmTree* tree);
}  // namespace quorra
