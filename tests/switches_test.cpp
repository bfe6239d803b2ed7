#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdlib>
#include <string>
#include <vector>

using quorra::host::ClearSettings;
using quorra::host::RemoveSetting;
using quorra::host::ScopedSetting;
using quorra::host::ScopedTraceCapture;
using quorra::host::SetSetting;

namespace {

// Sets an environment variable for the lifetime of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~ScopedEnvironment() { unsetenv(name_.c_str()); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
};

class Switches : public ::testing::Test {
 protected:
  void SetUp() override { ClearSettings(); }
  void TearDown() override { ClearSettings(); }
};

}  // namespace

// Each reader, with the table name and the environment variable its switch
// is read from: the table wins over the environment, which wins over the
// default.
TEST_F(Switches, TableOverridesEnvironmentOverridesDefault) {
  struct Case {
    const wchar_t* tableName;
    const char* variable;
    DWORD (*read)();  // the reader with default 7
  };
  const Case cases[] = {
      {L"DEBUG_SITE_MAPPING", "QUORRA_DEBUG_SITE_MAPPING", [] { return JGetDebugDWORD(L"DEBUG_SITE_MAPPING", 7); }},
      {L"Override Document Caching Disable", "QUORRA_Override_Document_Caching_Disable",
       [] { return JGetDebugDWORD(L"Override Document Caching Disable", 7); }},
      {L"Options-Color\\Disabled", "QUORRA_Options_Color_Disabled",
       [] { return JGetUserPrefDWORD(L"Options-Color", L"Disabled", 7); }},
      {L"RuntimePreference\\6", "QUORRA_RuntimePreference_6", [] { return JGetRuntimePreference(6, 0xFFFFFFFF, 7); }},
      {L"IDSDisplayRange", "QUORRA_IDSDisplayRange",
       [] { return static_cast<DWORD>(JRenderRegistryBOOL(L"IDSDisplayRange", 7)); }},
      {L"DISABLE_IDS_HEAP", "QUORRA_DISABLE_IDS_HEAP",
       [] { return static_cast<DWORD>(JGetDebugBOOL(L"DISABLE_IDS_HEAP", 7)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable);
    EXPECT_EQ(c.read(), 7u);
    {
      ScopedEnvironment environment(c.variable, "0");
      EXPECT_EQ(c.read(), 0u);
      SetSetting(c.tableName, L"1");
      EXPECT_EQ(c.read(), 1u);
      RemoveSetting(c.tableName);
      EXPECT_EQ(c.read(), 0u);
    }
    EXPECT_EQ(c.read(), 7u);
  }
}

TEST_F(Switches, EnvironmentNamesReplaceEveryNonPortableCharacter) {
  EXPECT_EQ(quorra::host::SwitchEnvironmentName(L"a b-c.d\\e_F9\u00e9"), "QUORRA_a_b_c_d_e_F9_");
  EXPECT_EQ(quorra::host::SwitchEnvironmentName(
                quorra::host::UserPreferenceSettingName(L"Options-Color", L"Disabled").c_str()),
            "QUORRA_Options_Color_Disabled");
  // Letter case is kept: the environment is case-sensitive.
  ScopedEnvironment lower("QUORRA_restoreconstructiondisplaybehavior", "5");
  EXPECT_EQ(JGetDebugDWORD(L"RestoreConstructionDisplayBehavior", 0), 0u);
}

TEST_F(Switches, BooleanValues) {
  const struct {
    const wchar_t* text;
    BOOL expected;  // 9: not understood, the default applies
  } cases[] = {
      {L"1", TRUE},    {L"0", FALSE},    {L"true", TRUE}, {L"FALSE", FALSE}, {L"On", TRUE},
      {L"off", FALSE}, {L" on\t", TRUE}, {L"2", TRUE},    {L"0x10", TRUE},   {L"0x0", FALSE},
      {L"maybe", 9},   {L"", 9},         {L"yes", 9},     {L"1 0", 9},
  };
  for (const auto& c : cases) {
    ScopedTraceCapture traces;
    SetSetting(L"IDSInvertCulling", c.text);
    EXPECT_EQ(JRenderRegistryBOOL(L"IDSInvertCulling", 9), c.expected) << std::wstring(c.text);
    EXPECT_EQ(traces.Saw("JRenderRegistryBOOL", E_INVALIDARG), c.expected == 9) << std::wstring(c.text);
  }
}

TEST_F(Switches, NumberValues) {
  const struct {
    const wchar_t* text;
    DWORD expected;  // 77: not understood, the default applies
  } cases[] = {
      {L"42", 42},
      {L"0x1F", 0x1F},
      {L"0XfF", 0xFF},
      {L" 10 ", 10},
      {L"4294967295", 0xFFFFFFFF},
      {L"0xFFFFFFFF", 0xFFFFFFFF},
      {L"4294967296", 77},
      {L"0x100000000", 77},
      {L"-1", 77},
      {L"12abc", 77},
      {L"0x", 77},
      {L"0x1G", 77},
      {L"", 77},
      {L"1e3", 77},
  };
  for (const auto& c : cases) {
    SetSetting(L"DEBUG_SIMPLE_STYLE", c.text);
    EXPECT_EQ(JGetDebugDWORD(L"DEBUG_SIMPLE_STYLE", 77), c.expected) << std::wstring(c.text);
  }
}

TEST_F(Switches, RuntimePreferenceMasksTheConfiguredValueOnly) {
  EXPECT_EQ(JGetRuntimePreference(3, 0x400, 0xFFFF), 0xFFFFu);  // default as passed
  SetSetting(quorra::host::RuntimePreferenceSettingName(3).c_str(), L"0x1C34");
  EXPECT_EQ(JGetRuntimePreference(3, 0x400, 0), 0x400u);
  EXPECT_EQ(JGetRuntimePreference(3, 0x0F0, 0), 0x030u);
  EXPECT_EQ(JGetRuntimePreference(3, 0x002, 5), 0u);    // configured, masked to 0: not the default
  EXPECT_EQ(JGetRuntimePreference(6, 0x1FFFF, 0), 0u);  // another preference
}

TEST_F(Switches, TextStaysValidAfterTheTableChanges) {
  const wchar_t* fallback = L"fallback";
  EXPECT_EQ(JGetDebugLPCWSTR(L"CACHE_LOAD_OVERRIDE", fallback), fallback);  // the same pointer
  SetSetting(L"CACHE_LOAD_OVERRIDE", L"first value, long enough not to fit inline");
  const wchar_t* first = JGetDebugLPCWSTR(L"CACHE_LOAD_OVERRIDE", fallback);
  SetSetting(L"CACHE_LOAD_OVERRIDE", L"second");
  const wchar_t* second = JGetDebugLPCWSTR(L"CACHE_LOAD_OVERRIDE", fallback);
  ClearSettings();
  EXPECT_STREQ(first, L"first value, long enough not to fit inline");
  EXPECT_STREQ(second, L"second");
  SetSetting(L"CACHE_LOAD_OVERRIDE", L"");
  EXPECT_STREQ(JGetDebugLPCWSTR(L"CACHE_LOAD_OVERRIDE", fallback), L"");  // set but empty is set

  // Environment text is UTF-8.
  ClearSettings();
  ScopedEnvironment environment("QUORRA_CACHE_LOAD_OVERRIDE", "caf\xC3\xA9 \xE2\x82\xAC \xFF");
  EXPECT_STREQ(JGetDebugLPCWSTR(L"CACHE_LOAD_OVERRIDE", nullptr), L"caf\u00e9 \u20ac \uFFFD");
}

TEST_F(Switches, ScopedSettingRestoresWhatWasThere) {
  SetSetting(L"ENABLE_LEGACY_CULLING", L"1");
  {
    ScopedSetting off(L"ENABLE_LEGACY_CULLING", L"0");
    EXPECT_FALSE(JGetDebugBOOL(L"ENABLE_LEGACY_CULLING", TRUE));
    {
      ScopedSetting unset(L"ENABLE_LEGACY_CULLING", nullptr);
      EXPECT_TRUE(JGetDebugBOOL(L"ENABLE_LEGACY_CULLING", TRUE));
    }
    EXPECT_FALSE(JGetDebugBOOL(L"ENABLE_LEGACY_CULLING", TRUE));
  }
  EXPECT_TRUE(JGetDebugBOOL(L"ENABLE_LEGACY_CULLING", FALSE));
  { ScopedSetting added(L"IDSValidateRange", L"1"); }
  EXPECT_FALSE(quorra::host::GetSetting(L"IDSValidateRange", nullptr));
}

TEST_F(Switches, BadArgumentsAnswerTheDefault) {
  ScopedTraceCapture traces;
  EXPECT_EQ(JGetDebugBOOL(nullptr, TRUE), TRUE);
  EXPECT_EQ(JGetDebugDWORD(nullptr, 3), 3u);
  EXPECT_EQ(JGetDebugLPCWSTR(nullptr, L"d"), std::wstring(L"d"));
  EXPECT_EQ(JGetUserPrefDWORD(nullptr, L"Disabled", 0x808080), 0x808080u);
  EXPECT_EQ(SetSetting(nullptr, L"1"), E_INVALIDARG);
  EXPECT_EQ(SetSetting(L"", L"1"), E_INVALIDARG);
  EXPECT_EQ(SetSetting(L"x", nullptr), E_INVALIDARG);
  EXPECT_EQ(RemoveSetting(L"never set"), S_FALSE);
  EXPECT_TRUE(traces.Saw("JGetDebugBOOL", E_INVALIDARG));
  EXPECT_TRUE(traces.Saw("SetSetting", E_INVALIDARG));
}
