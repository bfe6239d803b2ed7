// Installing the reference host into the process.
#include "quorra/refhost.h"

#include <cstdio>
#include <mutex>

#include "quorra/host/documents.h"
#include "quorra/host/modules.h"
#include "quorra/host/switches.h"
#include "quorra/host/text.h"
#include "quorra/refhost/apply_host.h"
#include "quorra/refhost/persist_manager.h"
#include "refhost/host_modules.h"

namespace quorra::refhost {
namespace {

struct State {
  std::mutex mutex;
  bool installed = false;
  bool traceToStderr = false;
  host::TraceEntry last;
  uint64_t outOfMemoryTraces = 0;
  std::vector<std::wstring> settingNames;
};

State& GetState() {
  static State* state = new State();
  return *state;
}

void Sink(const HRerrRecord& record, void*) {
  State& s = GetState();
  bool print;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.last.code = record.code;
    s.last.message = record.message ? record.message : L"";
    s.last.source = record.source ? record.source : "";
    s.last.line = record.line;
    s.last.operation = record.operation ? record.operation : "";
    if (record.code == E_OUTOFMEMORY || record.code == STG_E_INSUFFICIENTMEMORY) ++s.outOfMemoryTraces;
    print = s.traceToStderr;
  }
  if (print)
    std::fprintf(stderr, "trace: %s failed with 0x%08X (%s:%d)%s%ls\n", record.operation ? record.operation : "?",
                 static_cast<unsigned>(record.code), record.source ? record.source : "?", record.line,
                 record.message ? " " : "", record.message ? record.message : L"");
}

// Modules that are loaded on request (JLoadLibrary) rather than up front.
HRESULT LoadOnDemand(const wchar_t* name, DWORD) {
  for (const std::wstring& module : ModuleNames())
    if (host::EqualsNoCase(module, name)) {
      host::RegisterModule(module.c_str(), ModuleExports(module));
      return S_OK;
    }
  return E_FAIL;
}

}  // namespace

const std::vector<std::wstring>& ModuleNames() {
  static const std::vector<std::wstring> names = {L"brenik.dex", L"dulcet.dll",  L"cordale.dll", L"ferrule.dll",
                                                  L"gimbal.dll", L"hawser.dll",  L"inkle.dll",   L"jolter.dll"};
  return names;
}

void Install(const Options& options) {
  State& s = GetState();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.traceToStderr = options.traceToStderr;
  }
  // Every module but hawser.dll is loaded with the host; hawser.dll is
  // brought in by JLoadLibrary for one call and released after it.
  for (const std::wstring& module : ModuleNames())
    if (module != L"hawser.dll") host::RegisterModule(module.c_str(), ModuleExports(module));
  host::SetModuleLoader(LoadOnDemand);
  InstallGeometryCaches();
  for (const auto& [name, value] : options.settings) {
    host::SetSetting(name.c_str(), value.c_str());
    s.settingNames.push_back(name);
  }
  host::SetExtraSearchDirectories(options.searchPaths);
  JSetHRerrSink(Sink, nullptr);
  s.installed = true;
}

void Uninstall() {
  State& s = GetState();
  if (!s.installed) return;
  JSetHRerrSink(nullptr, nullptr);
  host::SetModuleLoader(nullptr);
  host::SetExtraSearchDirectories({});
  UninstallGeometryCaches();
  ReleasePersistManagers();
  ResetApplyHost();
  for (const std::wstring& module : ModuleNames()) host::UnregisterModule(module.c_str());
  for (const std::wstring& name : s.settingNames) host::RemoveSetting(name.c_str());
  s.settingNames.clear();
  s.installed = false;
}

bool IsInstalled() { return GetState().installed; }

host::TraceEntry LastTrace() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.last;
}

uint64_t OutOfMemoryTraces() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.outOfMemoryTraces;
}

std::string DescribeLastTrace() {
  host::TraceEntry e = LastTrace();
  if (e.operation.empty()) return "no failure was traced";
  char text[512];
  std::snprintf(text, sizeof text, "%s failed with 0x%08X (%s:%d)", e.operation.c_str(),
                static_cast<unsigned>(e.code), e.source.c_str(), e.line);
  std::string out = text;
  if (!e.message.empty()) out += ": " + host::ToUtf8(e.message);
  return out;
}

}  // namespace quorra::refhost
