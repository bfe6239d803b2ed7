// The error tracer and the debugger output channel. Every failing operation
// hands (code, message, source, line, operation) to the tracer; diagnostic
// text goes to the debug output. Both have replaceable sinks so that hosts
// and tests can capture what the library reports.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "quorra/host/types.h"

extern "C" {

// One trace as handed to a sink. Pointers are valid only during the call.
struct HRerrRecord {
  HRESULT code;
  const void* object;      // optional object the failure concerns
  const wchar_t* message;  // optional, may be null
  const char* source;      // source name, e.g. "SERVICES/quorra/dev/tree"
  int line;
  const char* operation;  // "Class::Operation"
};

using HRerrSink = void (*)(const HRerrRecord& record, void* user);
using DebugOutputSink = void (*)(const wchar_t* text, void* user);

// The tracer. `context` is always null in the library's calls. Returns `hr`.
HRESULT HRerrEx(void* context, const void* object, HRESULT hr, const wchar_t* message, const char* source,
                int line, const char* operation);

// Writes text to the debug output sink.
void OutputDebugStringW(const wchar_t* text);
void OutputDebugStringA(const char* text);

// Replace the sinks; null restores the default. Return the previous sink.
HRerrSink JSetHRerrSink(HRerrSink sink, void* user);
DebugOutputSink JSetDebugOutputSink(DebugOutputSink sink, void* user);

}  // extern "C"

namespace quorra::host {

// A copy of one trace, as kept by the default sink's ring.
struct TraceEntry {
  HRESULT code = 0;
  std::wstring message;
  std::string source;
  int line = 0;
  std::string operation;
};

// The default sink keeps the most recent traces (a ring of 256) whatever sink
// is installed, and prints each to stderr when QUORRA_TRACE=1.
std::vector<TraceEntry> RecentTraces();
void ClearRecentTraces();

// Installs a capturing sink for the lifetime of the object (tests, tools).
class ScopedTraceCapture {
 public:
  ScopedTraceCapture();
  ~ScopedTraceCapture();
  ScopedTraceCapture(const ScopedTraceCapture&) = delete;
  ScopedTraceCapture& operator=(const ScopedTraceCapture&) = delete;
  const std::vector<TraceEntry>& Entries() const { return entries_; }
  bool Saw(const char* operation) const;
  bool Saw(const char* operation, HRESULT code) const;

 private:
  static void Capture(const HRerrRecord& record, void* user);
  std::vector<TraceEntry> entries_;
  HRerrSink previousSink_ = nullptr;
  void* previousUser_ = nullptr;
};

// Captures debug output text for the lifetime of the object.
class ScopedDebugOutputCapture {
 public:
  ScopedDebugOutputCapture();
  ~ScopedDebugOutputCapture();
  ScopedDebugOutputCapture(const ScopedDebugOutputCapture&) = delete;
  ScopedDebugOutputCapture& operator=(const ScopedDebugOutputCapture&) = delete;
  const std::wstring& Text() const { return text_; }

 private:
  static void Capture(const wchar_t* text, void* user);
  std::wstring text_;
  DebugOutputSink previousSink_ = nullptr;
  void* previousUser_ = nullptr;
};

// Traces `hr` under `operation` when it is a failure; returns it either way.
inline HRESULT TraceIfFailed(HRESULT hr, const char* source, int line, const char* operation) {
  return hr < 0 ? ::HRerrEx(nullptr, nullptr, hr, nullptr, source, line, operation) : hr;
}

// Runs an entry point's body so that no exception leaves it: an exception
// becomes `onException`; a failure is traced under `operation`.
template <class Body>
HRESULT RunGuarded(const char* source, int line, const char* operation, HRESULT onException, Body&& body) {
  HRESULT hr;
  try {
    hr = body();
  } catch (const std::exception&) {
    hr = onException;
  }
  return TraceIfFailed(hr, source, line, operation);
}

}  // namespace quorra::host

// Traces a failure from inside the library. Each source file defines
// `kTraceSource` (e.g. "SERVICES/quorra/dev/tree") at namespace scope:
//   return QUORRA_TRACE_FAIL(E_INVALIDARG, "AsmTree::CreateSite");
#define QUORRA_TRACE_FAIL(hr, operation) ::HRerrEx(nullptr, nullptr, (hr), nullptr, kTraceSource, __LINE__, (operation))
#define QUORRA_TRACE_FAIL_MSG(hr, message, operation) \
  ::HRerrEx(nullptr, nullptr, (hr), (message), kTraceSource, __LINE__, (operation))
