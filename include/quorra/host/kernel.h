// Kernel services with their Windows names and values: critical sections,
// threads and events behind waitable handles, interlocked arithmetic, the
// per-thread last error, and private heaps that can enumerate their live
// blocks.
//
// Handles of threads and events are process-wide numbers, not addresses: a
// closed or never-issued handle is recognised and refused (FALSE, WAIT_FAILED
// with ERROR_INVALID_HANDLE and a trace), never dereferenced. Heap handles are
// the heap objects themselves, as on Windows: they must come from HeapCreate
// or GetProcessHeap and be used only until HeapDestroy.
#pragma once

#include <cstddef>

#include "quorra/host/types.h"

using HANDLE = void*;
using SIZE_T = size_t;
using PVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Wait results and timeouts.
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
// GetExitCodeThread's answer while the thread runs.
constexpr DWORD STILL_ACTIVE = 259;

// CreateThread flags. A thread always starts running; CREATE_SUSPENDED is
// refused (null handle, ERROR_NOT_SUPPORTED).
constexpr DWORD CREATE_SUSPENDED = 0x00000004u;
constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x00010000u;

// Last-error values used here.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;

constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
  return error == 0 ? S_OK : static_cast<HRESULT>((error & 0x0000FFFFu) | 0x80070000u);
}

// A recursive lock, entered any number of times by its owner and left as
// often. InitializeCriticalSection constructs it in place, so the structure
// may live in memory that no constructor ran over; DeleteCriticalSection
// releases it. Entering one that is not initialised, or leaving one the
// calling thread does not own, is traced and ignored.
struct CRITICAL_SECTION {
  alignas(16) unsigned char Opaque[64];  // the underlying mutex
  DWORD OwningThread;                    // owner's thread id, 0 when free
  LONG RecursionCount;                   // entries by the owner not yet left
  DWORD Initialized;                     // a marker while initialised
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

// Per-heap options and per-call flags.
constexpr DWORD HEAP_NO_SERIALIZE = 0x00000001u;         // no internal lock (one thread only)
constexpr DWORD HEAP_GENERATE_EXCEPTIONS = 0x00000004u;  // accepted; failures are always null/FALSE
constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008u;
constexpr DWORD HEAP_REALLOC_IN_PLACE_ONLY = 0x00000010u;

// PROCESS_HEAP_ENTRY::wFlags. Only busy (live) blocks are ever listed.
constexpr WORD PROCESS_HEAP_REGION = 0x0001;
constexpr WORD PROCESS_HEAP_UNCOMMITTED_RANGE = 0x0002;
constexpr WORD PROCESS_HEAP_ENTRY_BUSY = 0x0004;
constexpr WORD PROCESS_HEAP_ENTRY_MOVEABLE = 0x0010;
constexpr WORD PROCESS_HEAP_ENTRY_DDESHARE = 0x0020;

struct PROCESS_HEAP_ENTRY_BLOCK {
  HANDLE hMem;
  DWORD dwReserved[3];
};
struct PROCESS_HEAP_ENTRY_REGION {
  DWORD dwCommittedSize;
  DWORD dwUnCommittedSize;
  LPVOID lpFirstBlock;
  LPVOID lpLastBlock;
};

// One entry of a HeapWalk: the block's address (lpData), its requested size
// (cbData) and PROCESS_HEAP_ENTRY_BUSY in wFlags.
struct PROCESS_HEAP_ENTRY {
  PVOID lpData;
  DWORD cbData;
  BYTE cbOverhead;
  BYTE iRegionIndex;
  WORD wFlags;
  union {
    PROCESS_HEAP_ENTRY_BLOCK Block;
    PROCESS_HEAP_ENTRY_REGION Region;
  };
};
using LPPROCESS_HEAP_ENTRY = PROCESS_HEAP_ENTRY*;

extern "C" {

// ---- Last error (per thread) ----
DWORD GetLastError();
void SetLastError(DWORD error);

// ---- Critical sections ----
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
// TRUE when the section was entered (free, or already owned by the caller).
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
// The section must not be held. Deleting twice, or deleting one that was
// never initialised, does nothing.
void DeleteCriticalSection(CRITICAL_SECTION* section);

// ---- Threads ----
// Starts `start(parameter)` on a new thread and returns a handle to wait on;
// the thread's id goes to *threadId when it is not null. security is ignored;
// a non-zero stackSize sets the thread's stack size. Null on failure (bad
// argument, unsupported flag, no resources), with the last error set.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId);
// STILL_ACTIVE while the thread runs, then the routine's result. An exception
// escaping the routine ends the thread with exit code E_UNEXPECTED.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// The caller's id: non-zero, unique among the process's threads.
DWORD GetCurrentThreadId();
void Sleep(DWORD milliseconds);

// ---- Events ----
// Unnamed events only: a non-null name is refused (ERROR_NOT_SUPPORTED).
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// ---- Waiting and closing ----
// Waits until a thread has ended or an event is set, for at most the given
// milliseconds (INFINITE: no limit). WAIT_OBJECT_0, WAIT_TIMEOUT, or
// WAIT_FAILED for an invalid handle and for a thread waiting on itself with
// INFINITE. A satisfied wait on an auto-reset event resets it.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Releases the handle. Closing the handle of a running thread detaches it:
// the thread runs to its end and its resources are released then.
BOOL CloseHandle(HANDLE handle);

// ---- Private heaps ----
// Blocks are 16-byte aligned. HeapCreate's initial size is a hint only; a
// non-zero maximum caps the bytes the heap hands out at once.
HANDLE HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize);
// Frees every block the heap still holds. The process heap cannot be
// destroyed (FALSE).
BOOL HeapDestroy(HANDLE heap);
HANDLE GetProcessHeap();
// Null when the heap cannot supply the block. HEAP_ZERO_MEMORY zeroes it.
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
// Resizes a block, keeping its content; HEAP_ZERO_MEMORY zeroes what grows,
// HEAP_REALLOC_IN_PLACE_ONLY fails rather than move it. Null on failure, the
// old block then stays valid.
LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes);
// TRUE for a null block (nothing to free).
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);
// The requested size of the block, or (SIZE_T)-1 for a bad argument.
SIZE_T HeapSize(HANDLE heap, DWORD flags, LPCVOID block);
// With a block: TRUE when it is a live block of this heap (found by address,
// never dereferenced first). Without one: TRUE when the heap's block list is
// consistent.
BOOL HeapValidate(HANDLE heap, DWORD flags, LPCVOID block);
// Lists the heap's live blocks, one per call: start with lpData null, pass
// the same entry back each time. Answers FALSE with ERROR_NO_MORE_ITEMS
// after the last one. Blocks allocated during a walk may or may not be
// listed; freeing the block just listed is allowed. Other changes by other
// threads need HeapLock around the whole walk.
BOOL HeapWalk(HANDLE heap, LPPROCESS_HEAP_ENTRY entry);
// Hold the heap's lock (recursively) so that a walk sees a stable heap; the
// holder may keep using the heap.
BOOL HeapLock(HANDLE heap);
BOOL HeapUnlock(HANDLE heap);
// The usable size of a block of the general heap (malloc); 0 for null.
size_t _msize(void* block);

// ---- Interlocked arithmetic (sequentially consistent) ----
inline LONG InterlockedIncrement(LONG volatile* value) { return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* value) { return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST); }
// Stores `exchange`, returns the previous value.
inline LONG InterlockedExchange(LONG volatile* target, LONG exchange) {
  return __atomic_exchange_n(target, exchange, __ATOMIC_SEQ_CST);
}
// Adds, returns the previous value.
inline LONG InterlockedExchangeAdd(LONG volatile* target, LONG addend) {
  return __atomic_fetch_add(target, addend, __ATOMIC_SEQ_CST);
}
// Stores `exchange` when *target equals `comparand`; returns the previous value.
inline LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

}  // extern "C"

namespace quorra::host {

// Holds a critical section for the lifetime of the object.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
  explicit CriticalSectionLock(CRITICAL_SECTION& section) : CriticalSectionLock(&section) {}
  ~CriticalSectionLock() { LeaveCriticalSection(section_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

// A critical section initialised and deleted with its owner, for classes
// that need one as a member.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  ~CriticalSection() { DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  CRITICAL_SECTION* Get() { return &section_; }

 private:
  CRITICAL_SECTION section_;
};

}  // namespace quorra::host
