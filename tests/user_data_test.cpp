#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr DWORD kHostType = 1000;  // a host-owned type the library does not know
int gReleases = 0;
std::vector<DWORD> gSeen;

HRESULT HostCleanup(DWORD type, void** value) {
  if (!value) return E_INVALIDARG;
  gSeen.push_back(type);
  if (type != kHostType) return S_FALSE;
  if (*value) {
    ++gReleases;
    std::free(*value);
    *value = nullptr;
  }
  return S_OK;
}

HRESULT FailingCleanup(DWORD, void**) { return E_UNEXPECTED; }

struct CleanupRegistration {
  explicit CleanupRegistration(UserDataCleanupFunction f) : f(f) { EXPECT_EQ(AddUserDataCleanupFunction(f), S_OK); }
  ~CleanupRegistration() { RemoveUserDataCleanupFunction(f); }
  UserDataCleanupFunction f;
};

}  // namespace

TEST(UserData, MapOperations) {
  UserDataMap* map = nullptr;
  EXPECT_EQ(AddUserData(nullptr, 1, nullptr), E_INVALIDARG);
  EXPECT_EQ(AddUserData(&map, UD_ADAPTABLE, reinterpret_cast<void*>(7)), S_OK);
  ASSERT_NE(map, nullptr);

  {
    quorra::host::ScopedTraceCapture traces;
    EXPECT_EQ(AddUserData(&map, UD_ADAPTABLE, reinterpret_cast<void*>(8)), E_FAIL);
    ASSERT_TRUE(traces.Saw("AddUserData", E_FAIL));
    EXPECT_EQ(traces.Entries().back().message, L"AddUserData no longer supports multiple entries of the same type");
  }
  int found = -1;
  EXPECT_EQ(GetUserData(map, UD_ADAPTABLE, &found), reinterpret_cast<void*>(7));
  EXPECT_EQ(found, 1);

  // A stored null is told apart from a missing entry.
  EXPECT_EQ(AddUserData(&map, UD_USER_COLOR, nullptr), S_OK);
  EXPECT_EQ(GetUserData(map, UD_USER_COLOR, &found), nullptr);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(GetUserData(map, UD_ITEM_NUMBER, &found), nullptr);
  EXPECT_EQ(found, 0);

  void* value = reinterpret_cast<void*>(1);
  EXPECT_EQ(GetUserData(map, UD_ITEM_NUMBER, &value), S_FALSE);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(GetUserData(static_cast<const UserDataMap*>(nullptr), UD_ITEM_NUMBER, &value), S_FALSE);
  EXPECT_EQ(GetUserData(map, UD_ADAPTABLE, static_cast<void**>(nullptr)), E_INVALIDARG);

  EXPECT_EQ(ChangeUserDataType(map, UD_ADAPTABLE, UD_USER_COLOR), E_FAIL);  // target exists
  EXPECT_EQ(GetUserData(map, UD_ADAPTABLE, &found), reinterpret_cast<void*>(7));
  EXPECT_EQ(ChangeUserDataType(map, UD_ITEM_NUMBER, 200), S_FALSE);
  EXPECT_EQ(ChangeUserDataType(map, UD_ADAPTABLE, UD_ITEM_NUMBER), S_OK);
  EXPECT_EQ(GetUserData(map, UD_ITEM_NUMBER, &found), reinterpret_cast<void*>(7));
  EXPECT_EQ(GetUserData(map, UD_ADAPTABLE, &found), nullptr);
  EXPECT_EQ(ChangeUserDataType(nullptr, 1, 2), E_INVALIDARG);

  EXPECT_EQ(RemoveUserData(nullptr, 1), S_FALSE);
  EXPECT_EQ(RemoveUserData(map, UD_ADAPTABLE), S_FALSE);
  EXPECT_EQ(RemoveUserData(map, UD_ITEM_NUMBER), S_OK);
  EXPECT_EQ(map->size(), 1u);  // removing keeps the map
  quorra::DeleteUserDataMap(&map);
  EXPECT_EQ(map, nullptr);
}

TEST(UserData, CleanupRunsInOrderAndReleasesOnce) {
  gReleases = 0;
  gSeen.clear();
  CleanupRegistration first(HostCleanup), second(HostCleanup);  // the same function twice

  quorra::UserDataHolder holder;
  ASSERT_EQ(holder.Add(kHostType, std::malloc(16)), S_OK);
  ASSERT_EQ(holder.Add(5, nullptr), S_OK);
  ASSERT_EQ(holder.Add(kHostType + 1, nullptr), S_OK);
  holder.Release();
  EXPECT_EQ(gReleases, 1);  // the second registration found the value nulled
  // Entries are visited in ascending type order, every function each time.
  EXPECT_EQ(gSeen, (std::vector<DWORD>{5, 5, kHostType, kHostType, kHostType + 1, kHostType + 1}));
  EXPECT_EQ(holder.Map(), nullptr);
}

// Deleting a map runs the cleanup functions while the holder still points
// at the map, and clears the pointer afterwards: a cleanup function may read
// the holder's other entries.
const quorra::UserDataHolder* gInspected = nullptr;
std::vector<bool> gMapVisible;
HRESULT InspectingCleanup(DWORD type, void** value) {
  if (type != kHostType || !value) return S_FALSE;
  int found = 0;
  gInspected->Get(kHostType + 1, &found);
  gMapVisible.push_back(gInspected->Map() != nullptr && found);
  *value = nullptr;
  return S_OK;
}

TEST(UserData, MapDeletionRunsCleanupBeforeTheHolderForgetsTheMap) {
  gMapVisible.clear();
  CleanupRegistration registration(InspectingCleanup);
  quorra::UserDataHolder holder;
  gInspected = &holder;
  ASSERT_EQ(holder.Add(kHostType, &holder), S_OK);
  ASSERT_EQ(holder.Add(kHostType + 1, nullptr), S_OK);
  holder.Release();
  EXPECT_EQ(gMapVisible, std::vector<bool>{true});
  EXPECT_EQ(holder.Map(), nullptr);
  gInspected = nullptr;
}

TEST(UserData, LibraryCleanupReleasesItsTypesAndLeavesOthers) {
  void* block = quorra::AllocUserDataMatrixBlock();
  EXPECT_EQ(quorra::NodeUserDataCleanup(UD_OVERRIDE_MATRIX, &block), S_OK);
  EXPECT_EQ(block, nullptr);
  void* hostValue = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(quorra::NodeUserDataCleanup(kHostType, &hostValue), S_FALSE);
  EXPECT_EQ(quorra::OverrideTableUserDataCleanup(UD_OVERRIDE_MATRIX, &hostValue), S_FALSE);
  EXPECT_EQ(hostValue, reinterpret_cast<void*>(0x1234));
  void* none = nullptr;
  EXPECT_EQ(quorra::NodeUserDataCleanup(UD_EXPLODE_MATRIX, &none), S_OK);
  EXPECT_EQ(quorra::NodeUserDataCleanup(UD_EXPLODE_MATRIX, nullptr), E_INVALIDARG);

  // The library's functions are registered at load: removing a matrix
  // through a map frees it (the sanitizer build catches a leak otherwise).
  UserDataMap* map = nullptr;
  AddUserData(&map, UD_EXPLODE_MATRIX, quorra::AllocUserDataMatrixBlock());
  EXPECT_EQ(RemoveUserData(map, UD_EXPLODE_MATRIX), S_OK);
  quorra::DeleteUserDataMap(&map);
}

TEST(UserData, FirstFailingCleanupStopsTheRun) {
  gSeen.clear();
  CleanupRegistration failing(FailingCleanup), host(HostCleanup);
  void* value = nullptr;
  quorra::host::ScopedTraceCapture traces;
  EXPECT_EQ(quorra::ExecuteUserDataCleanupFunctions(kHostType, &value), E_UNEXPECTED);
  EXPECT_TRUE(gSeen.empty());
  EXPECT_TRUE(traces.Saw("ExecuteUserDataCleanupFunctions", E_UNEXPECTED));
}

TEST(UserData, CleanupListRegistration) {
  EXPECT_EQ(RemoveUserDataCleanupFunction(HostCleanup), S_FALSE);
  ASSERT_EQ(AddUserDataCleanupFunction(HostCleanup), S_OK);
  ASSERT_EQ(AddUserDataCleanupFunction(HostCleanup), S_OK);
  EXPECT_EQ(RemoveUserDataCleanupFunction(HostCleanup), S_OK);
  EXPECT_EQ(RemoveUserDataCleanupFunction(HostCleanup), S_OK);
  EXPECT_EQ(RemoveUserDataCleanupFunction(HostCleanup), S_FALSE);
}
