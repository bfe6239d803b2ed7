#include <gtest/gtest.h>
#include <quorra/quorra.h>

TEST(UserTokens, DeletedEntriesAreReusedLastInFirstOut) {
  UserTokenList list;
  DWORD t[4];
  for (DWORD i = 0; i < 4; ++i) {
    ASSERT_EQ(list.CreateToken(1, &t[i]), S_OK);
    EXPECT_EQ(t[i], i);
    list.SetToken(t[i], 100 + static_cast<int>(i));
  }
  EXPECT_EQ(list.DeleteToken(2), S_OK);
  EXPECT_EQ(list.DeleteToken(0), S_OK);
  DWORD again;
  ASSERT_EQ(list.CreateToken(2, &again), S_OK);
  EXPECT_EQ(again, 0u);  // the last deleted comes back first
  EXPECT_EQ(list.GetToken(again), 0);
  ASSERT_EQ(list.CreateToken(2, &again), S_OK);
  EXPECT_EQ(again, 2u);
  ASSERT_EQ(list.CreateToken(2, &again), S_OK);
  EXPECT_EQ(again, 4u);  // chain exhausted: append
  EXPECT_EQ(list.GetCount(), 5u);

  quorra::host::ScopedTraceCapture traces;
  EXPECT_EQ(list.DeleteToken(5), E_FAIL);
  EXPECT_TRUE(traces.Saw("UserTokenList::DeleteToken", E_FAIL));
}

TEST(UserTokens, SetKeepsSixteenBitsAndClearAllFollowsTheMask) {
  UserTokenList list;
  DWORD a, b;
  list.CreateToken(1, &a);
  list.CreateToken(2, &b);
  EXPECT_EQ(list.SetToken(a, 0x12345), 0);
  EXPECT_EQ(list.GetToken(a), 0x2345);
  list.SetToken(b, 7);
  list.ClearAll(0);
  EXPECT_EQ(list.GetToken(a), 0x2345);
  list.ClearAll(1);
  EXPECT_EQ(list.GetToken(a), 0);
  EXPECT_EQ(list.GetToken(b), 7);
}

TEST(UserTokens, TableHoldsAtMost65535Entries) {
  UserTokenList list;
  DWORD token = 0;
  for (DWORD i = 0; i < 65535; ++i) ASSERT_EQ(list.CreateToken(0, &token), S_OK);
  EXPECT_EQ(token, 65534u);
  quorra::host::ScopedTraceCapture traces;
  EXPECT_EQ(list.CreateToken(0, &token), E_FAIL);
  EXPECT_TRUE(traces.Saw("UserTokenList::CreateToken", E_FAIL));
  // A deleted entry can still be handed out.
  ASSERT_EQ(list.DeleteToken(65534), S_OK);
  ASSERT_EQ(list.CreateToken(0, &token), S_OK);
  EXPECT_EQ(token, 65534u);
}
