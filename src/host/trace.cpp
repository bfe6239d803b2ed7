// The error tracer and debug output, with replaceable sinks and a ring of
// recent traces that the default sink keeps for diagnostics.
#include "quorra/host/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>

namespace {

constexpr size_t kRingSize = 256;

struct TraceState {
  std::mutex mutex;
  HRerrSink sink = nullptr;
  void* sinkUser = nullptr;
  DebugOutputSink debugSink = nullptr;
  void* debugUser = nullptr;
  std::vector<quorra::host::TraceEntry> ring;
  size_t next = 0;
  bool printTraces = false;
  bool printDebug = false;

  TraceState() {
    const char* t = std::getenv("QUORRA_TRACE");
    printTraces = t && t[0] == '1';
    const char* d = std::getenv("QUORRA_DEBUG_OUTPUT");
    printDebug = d && d[0] == '1';
  }
};

TraceState& State() {
  static TraceState* state = new TraceState();  // never destroyed: traces may come from static destructors
  return *state;
}

std::wstring Widen(const char* text) {
  std::wstring out;
  if (text)
    for (const char* p = text; *p; ++p) out.push_back(static_cast<unsigned char>(*p));
  return out;
}

quorra::host::TraceEntry ToEntry(const HRerrRecord& r) {
  quorra::host::TraceEntry e;
  e.code = r.code;
  if (r.message) e.message = r.message;
  if (r.source) e.source = r.source;
  e.line = r.line;
  if (r.operation) e.operation = r.operation;
  return e;
}

}  // namespace

extern "C" HRESULT HRerrEx(void* /*context*/, const void* object, HRESULT hr, const wchar_t* message,
                           const char* source, int line, const char* operation) {
  HRerrRecord record{hr, object, message, source, line, operation};
  TraceState& s = State();
  HRerrSink sink;
  void* user;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.ring.size() < kRingSize)
      s.ring.push_back(ToEntry(record));
    else
      s.ring[s.next] = ToEntry(record);
    s.next = (s.next + 1) % kRingSize;
    sink = s.sink;
    user = s.sinkUser;
  }
  if (s.printTraces)
    std::fprintf(stderr, "quorra trace: 0x%08X %s (%s:%d)%s%ls\n", static_cast<unsigned>(hr),
                 operation ? operation : "?", source ? source : "?", line, message ? " " : "",
                 message ? message : L"");
  if (sink) sink(record, user);
  return hr;
}

extern "C" void OutputDebugStringW(const wchar_t* text) {
  if (!text) return;
  TraceState& s = State();
  DebugOutputSink sink;
  void* user;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    sink = s.debugSink;
    user = s.debugUser;
  }
  if (sink)
    sink(text, user);
  else if (s.printDebug)
    std::fprintf(stderr, "%ls", text);
}

extern "C" void OutputDebugStringA(const char* text) {
  if (!text) return;
  std::wstring wide = Widen(text);
  OutputDebugStringW(wide.c_str());
}

extern "C" HRerrSink JSetHRerrSink(HRerrSink sink, void* user) {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  HRerrSink previous = s.sink;
  s.sink = sink;
  s.sinkUser = user;
  return previous;
}

extern "C" DebugOutputSink JSetDebugOutputSink(DebugOutputSink sink, void* user) {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  DebugOutputSink previous = s.debugSink;
  s.debugSink = sink;
  s.debugUser = user;
  return previous;
}

namespace quorra::host {

std::vector<TraceEntry> RecentTraces() {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<TraceEntry> out;
  out.reserve(s.ring.size());
  if (s.ring.size() < kRingSize) return s.ring;
  for (size_t i = 0; i < kRingSize; ++i) out.push_back(s.ring[(s.next + i) % kRingSize]);
  return out;
}

void ClearRecentTraces() {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.ring.clear();
  s.next = 0;
}

ScopedTraceCapture::ScopedTraceCapture() {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  previousSink_ = s.sink;
  previousUser_ = s.sinkUser;
  s.sink = &ScopedTraceCapture::Capture;
  s.sinkUser = this;
}

ScopedTraceCapture::~ScopedTraceCapture() {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sink = previousSink_;
  s.sinkUser = previousUser_;
}

void ScopedTraceCapture::Capture(const HRerrRecord& record, void* user) {
  auto* self = static_cast<ScopedTraceCapture*>(user);
  self->entries_.push_back(ToEntry(record));
  if (self->previousSink_) self->previousSink_(record, self->previousUser_);
}

bool ScopedTraceCapture::Saw(const char* operation) const {
  for (const TraceEntry& e : entries_)
    if (e.operation == operation) return true;
  return false;
}

bool ScopedTraceCapture::Saw(const char* operation, HRESULT code) const {
  for (const TraceEntry& e : entries_)
    if (e.operation == operation && e.code == code) return true;
  return false;
}

ScopedDebugOutputCapture::ScopedDebugOutputCapture() {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  previousSink_ = s.debugSink;
  previousUser_ = s.debugUser;
  s.debugSink = &ScopedDebugOutputCapture::Capture;
  s.debugUser = this;
}

ScopedDebugOutputCapture::~ScopedDebugOutputCapture() {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.debugSink = previousSink_;
  s.debugUser = previousUser_;
}

void ScopedDebugOutputCapture::Capture(const wchar_t* text, void* user) {
  static_cast<ScopedDebugOutputCapture*>(user)->text_ += text;
}

}  // namespace quorra::host
