#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/threads.h"

using quorra::host::AddExport;
using quorra::host::LateBinding;
using quorra::host::LateBoundFunction;
using quorra::host::ModuleLoadCount;
using quorra::host::RegisterModule;
using quorra::host::ScopedTraceCapture;
using quorra::host::UnregisterModule;

namespace {

int ReturnOne() { return 1; }
int ReturnTwo() { return 2; }
int AddInts(int a, int b) { return a + b; }

void* Address(int (*f)()) { return reinterpret_cast<void*>(f); }

class Modules : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    quorra::host::UnregisterAllModules();
    quorra::host::SetModuleLoader(nullptr, nullptr);
  }
};

// A loader that brings in the modules it knows and records what it was asked.
struct RecordingLoader {
  std::vector<std::wstring> loads;
  std::vector<DWORD> flags;
  std::vector<std::wstring> unloads;
  std::vector<quorra::host::ModuleExport> exports{{"ReturnOne", Address(ReturnOne)}};

  void Install() {
    quorra::host::SetModuleLoader(
        [this](LPCWSTR name, DWORD f) -> HRESULT {
          loads.emplace_back(name);
          flags.push_back(f);
          if (std::wstring(name) == L"missing.dll") return E_FAIL;
          if (std::wstring(name) == L"silent.dll") return S_OK;  // claims success, registers nothing
          return RegisterModule(name, exports) ? S_OK : E_FAIL;
        },
        [this](LPCWSTR name) { unloads.emplace_back(name); });
  }
};

}  // namespace

TEST_F(Modules, LookupIgnoresLetterCaseAndDefaultsToDll) {
  RecordingLoader loader;
  loader.Install();
  HMODULE dulcet = RegisterModule(L"dulcet.dll", {{"ReturnOne", Address(ReturnOne)}});
  ASSERT_NE(dulcet, nullptr);
  for (LPCWSTR name : {L"dulcet.dll", L"DULCET.dll", L"Dulcet.DLL", L"dulcet", L"DULCET"})
    EXPECT_EQ(GetModuleHandleW(name), dulcet) << std::wstring(name);
  for (LPCWSTR name : {L"dulcet.dex", L"dulce.dll", L"dulcet.dll ", L"brenik.dex"})
    EXPECT_EQ(GetModuleHandleW(name), nullptr) << std::wstring(name);
  EXPECT_TRUE(loader.loads.empty());  // looking up never loads
  EXPECT_EQ(ModuleLoadCount(dulcet), 0u);
}

TEST_F(Modules, GetProcAddressFindsExactExportNamesOnly) {
  HMODULE module = RegisterModule(L"brenik.dex", {{"ReturnOne", Address(ReturnOne)}});
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "ReturnOne")), Address(ReturnOne));
  EXPECT_EQ(GetProcAddress(module, "returnone"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(uintptr_t{7})), nullptr);  // ordinal
  EXPECT_EQ(GetProcAddress(module, nullptr), nullptr);
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(uintptr_t{0x1234}), "ReturnOne"), nullptr);

  EXPECT_EQ(AddExport(L"BRENIK.dex", "ReturnTwo", Address(ReturnTwo)), S_OK);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "ReturnTwo")), Address(ReturnTwo));

  // Re-registering replaces the table and keeps the handle.
  EXPECT_EQ(RegisterModule(L"brenik.dex", {{"ReturnTwo", Address(ReturnTwo)}}), module);
  EXPECT_EQ(GetProcAddress(module, "ReturnOne"), nullptr);

  EXPECT_EQ(UnregisterModule(L"brenik.dex"), S_OK);
  EXPECT_EQ(UnregisterModule(L"brenik.dex"), S_FALSE);
  EXPECT_EQ(GetProcAddress(module, "ReturnTwo"), nullptr);  // stale handle
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Modules, BadRegistrationsAreRefusedAndTraced) {
  ScopedTraceCapture traces;
  EXPECT_EQ(RegisterModule(nullptr, {}), nullptr);
  EXPECT_EQ(RegisterModule(L"", {}), nullptr);
  EXPECT_EQ(RegisterModule(L"a.dll", {{"f", nullptr}}), nullptr);
  EXPECT_EQ(RegisterModule(L"a.dll", {{nullptr, Address(ReturnOne)}}), nullptr);
  EXPECT_TRUE(traces.Saw("RegisterModule", E_INVALIDARG));
  EXPECT_EQ(GetModuleHandleW(L"a.dll"), nullptr);  // nothing half-registered
  EXPECT_EQ(AddExport(L"a.dll", "f", Address(ReturnOne)), E_FAIL);
  EXPECT_EQ(AddExport(L"a.dll", nullptr, Address(ReturnOne)), E_INVALIDARG);
  EXPECT_EQ(UnregisterModule(nullptr), E_INVALIDARG);
  EXPECT_EQ(GetModuleHandleW(nullptr), nullptr);
}

TEST_F(Modules, LateBoundFunctionRetriesAfterAMissAndForgetsUnregisteredModules) {
  static LateBoundFunction<int(int, int)> add(L"inkle.dll", "AddInts");
  EXPECT_EQ(add.Get(), nullptr);  // not registered
  EXPECT_EQ(add.Get(), nullptr);  // still not: nothing was registered since the miss

  RegisterModule(L"inkle.dll", {{"Other", Address(ReturnOne)}});
  EXPECT_EQ(add.Get(), nullptr);  // registered, but without the export
  AddExport(L"inkle.dll", "AddInts", reinterpret_cast<void*>(AddInts));
  ASSERT_NE(add.Get(), nullptr);
  EXPECT_EQ(add.Get()(2, 3), 5);

  UnregisterModule(L"inkle.dll");
  EXPECT_EQ(add.Get(), nullptr);

  // Registered again with another function under the same name: the new one.
  static LateBoundFunction<int()> value(L"inkle.dll", "Value");
  RegisterModule(L"INKLE.DLL", {{"Value", Address(ReturnOne)}});
  EXPECT_EQ(value.Get()(), 1);
  RegisterModule(L"inkle.dll", {{"Value", Address(ReturnTwo)}});  // table replaced
  EXPECT_EQ(value.Get()(), 2);
  AddExport(L"inkle.dll", "Value", Address(ReturnOne));  // export replaced
  EXPECT_EQ(value.Get()(), 1);
  quorra::host::UnregisterAllModules();
  EXPECT_EQ(value.Get(), nullptr);
}

TEST_F(Modules, LateBoundFunctionCanLoadItsModuleOnce) {
  RecordingLoader loader;
  loader.Install();
  static LateBoundFunction<int()> loading(L"brenik.dex", "ReturnOne", LateBinding::kLoadWhenMissing);
  static LateBoundFunction<int()> absent(L"brenik.dex", "NotThere", LateBinding::kLoadWhenMissing);
  static LateBoundFunction<int()> lookupOnly(L"gimbal.dll", "ReturnOne");

  EXPECT_EQ(lookupOnly.Get(), nullptr);
  EXPECT_TRUE(loader.loads.empty());  // lookup-only never loads

  ASSERT_NE(loading.Get(), nullptr);
  EXPECT_EQ(loading.Get()(), 1);
  EXPECT_EQ(absent.Get(), nullptr);  // the module is there now: no second load
  EXPECT_EQ(absent.Get(), nullptr);
  ASSERT_EQ(loader.loads.size(), 1u);
  EXPECT_EQ(loader.loads[0], L"brenik.dex");
  EXPECT_EQ(ModuleLoadCount(GetModuleHandleW(L"brenik.dex")), 1u);  // the load is kept
}

TEST_F(Modules, LoadsAreCountedAndTheLoaderReleasesWhatItBroughtIn) {
  RecordingLoader loader;
  loader.Install();

  // A module the host registered: counted, never handed to the loader, and
  // still registered when the count returns to zero.
  HMODULE dulcet = RegisterModule(L"dulcet.dll", {{"ReturnOne", Address(ReturnOne)}});
  EXPECT_EQ(LoadLibraryW(L"DULCET.DLL"), dulcet);
  EXPECT_EQ(JLoadLibrary(L"dulcet.dll", 8), dulcet);
  EXPECT_EQ(ModuleLoadCount(dulcet), 2u);
  EXPECT_TRUE(JFreeLibrary(dulcet));
  EXPECT_TRUE(FreeLibrary(dulcet));
  EXPECT_EQ(GetModuleHandleW(L"dulcet.dll"), dulcet);
  ScopedTraceCapture traces;
  EXPECT_FALSE(JFreeLibrary(dulcet));  // no load left
  EXPECT_TRUE(loader.loads.empty());

  // A module the loader brings in: loaded once, counted, released at zero.
  HMODULE hawser = JLoadLibrary(L"hawser.dll", 0x40000);
  ASSERT_NE(hawser, nullptr);
  EXPECT_EQ(JLoadLibrary(L"Hawser.dll", 0), hawser);
  ASSERT_EQ(loader.loads.size(), 1u);
  EXPECT_EQ(loader.flags[0], 0x40000u);
  EXPECT_EQ(ModuleLoadCount(hawser), 2u);
  EXPECT_TRUE(JFreeLibrary(hawser));
  EXPECT_TRUE(loader.unloads.empty());
  EXPECT_NE(GetModuleHandleW(L"hawser.dll"), nullptr);
  EXPECT_TRUE(JFreeLibrary(hawser));
  ASSERT_EQ(loader.unloads.size(), 1u);
  EXPECT_EQ(loader.unloads[0], L"hawser.dll");
  EXPECT_EQ(GetModuleHandleW(L"hawser.dll"), nullptr);
  EXPECT_FALSE(JFreeLibrary(hawser));  // stale handle

  // Loaded again: the loader is asked again.
  EXPECT_NE(JLoadLibrary(L"hawser.dll", 0), nullptr);
  EXPECT_EQ(loader.loads.size(), 2u);
}

TEST_F(Modules, FailedLoadsAnswerNull) {
  ScopedTraceCapture traces;
  EXPECT_EQ(LoadLibraryW(L"brenik.dex"), nullptr);  // no loader at all
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  RecordingLoader loader;
  loader.Install();
  EXPECT_EQ(JLoadLibrary(L"missing.dll", 0), nullptr);  // the loader fails
  EXPECT_EQ(JLoadLibrary(L"silent.dll", 0), nullptr);   // succeeds without registering
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_TRUE(traces.Saw("JLoadLibrary", HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)));
  EXPECT_EQ(JLoadLibrary(nullptr, 0), nullptr);
  quorra::host::SetModuleLoader([](LPCWSTR, DWORD) -> HRESULT { throw 1; });
  EXPECT_EQ(LoadLibraryW(L"throws.dll"), nullptr);
}

TEST_F(Modules, LookupsRunSafelyAlongsideRegistryChanges) {
  static LateBoundFunction<int()> value(L"cordale.dll", "Value");
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  auto reader = [&]() -> DWORD {
    while (!stop)
      if (auto* f = value.Get()) calls += f();
    return 0;
  };
  HANDLE a = quorra::test::StartThread(reader);
  for (int i = 0; i < 2000; ++i) {
    RegisterModule(L"cordale.dll", {{"Value", Address(i % 2 ? ReturnOne : ReturnTwo)}});
    if (i % 3 == 0) UnregisterModule(L"cordale.dll");
  }
  // Once the last table is in place, every call answers from it.
  RegisterModule(L"cordale.dll", {{"Value", Address(ReturnTwo)}});
  EXPECT_EQ(value.Get()(), 2);
  stop = true;
  WaitForSingleObject(a, INFINITE);
  CloseHandle(a);
}
