#include <gtest/gtest.h>
#include <quorra/quorra.h>

using quorra::host::ScopedDebugOutputCapture;
using quorra::host::ScopedTraceCapture;

TEST(Trace, SinkReceivesEveryFieldAndNestedCapturesChain) {
  ScopedTraceCapture outer;
  {
    ScopedTraceCapture inner;
    EXPECT_EQ(HRerrEx(nullptr, nullptr, E_INVALIDARG, L"bad", "SERVICES/quorra/dev/tree", 42, "AsmTree::CreateSite"),
              E_INVALIDARG);
    ASSERT_EQ(inner.Entries().size(), 1u);
    EXPECT_EQ(inner.Entries()[0].message, L"bad");
    EXPECT_EQ(inner.Entries()[0].source, "SERVICES/quorra/dev/tree");
    EXPECT_EQ(inner.Entries()[0].line, 42);
    EXPECT_TRUE(inner.Saw("AsmTree::CreateSite", E_INVALIDARG));
    EXPECT_FALSE(inner.Saw("AsmTree::CreateSite", E_FAIL));
  }
  // The inner capture forwarded to the outer one and then restored it.
  EXPECT_TRUE(outer.Saw("AsmTree::CreateSite"));
  HRerrEx(nullptr, nullptr, E_FAIL, nullptr, "s", 1, "After::Inner");
  EXPECT_TRUE(outer.Saw("After::Inner"));
}

TEST(Trace, RingKeepsTheMostRecentInOrder) {
  quorra::host::ClearRecentTraces();
  for (int i = 0; i < 300; ++i) HRerrEx(nullptr, nullptr, E_FAIL, nullptr, "s", i, "Ring::Fill");
  auto traces = quorra::host::RecentTraces();
  ASSERT_EQ(traces.size(), 256u);
  EXPECT_EQ(traces.front().line, 44);
  EXPECT_EQ(traces.back().line, 299);
}

TEST(Trace, DebugOutputGoesToTheInstalledSink) {
  ScopedDebugOutputCapture capture;
  OutputDebugStringW(L"a\n");
  OutputDebugStringA("b");
  OutputDebugStringW(nullptr);
  EXPECT_EQ(capture.Text(), L"a\nb");
}

TEST(Guid, ParsesAndFormatsRoundTrip) {
  GUID g;
  ASSERT_TRUE(quorra::host::ParseGuid("{00000303-0000-0000-C000-000000000046}", &g));
  EXPECT_EQ(g.Data1, 0x303u);
  EXPECT_EQ(g.Data4[0], 0xC0);
  EXPECT_EQ(g.Data4[7], 0x46);
  char text[39];
  quorra::host::FormatGuid(g, text);
  EXPECT_STREQ(text, "{00000303-0000-0000-C000-000000000046}");
  ASSERT_TRUE(quorra::host::ParseGuid("72805fb0-0b80-11ce-9877-08003601cab2", &g));
  EXPECT_EQ(g.Data2, 0x0B80);
  for (const char* bad : {"", "{00000303-0000-0000-C000-000000000046", "00000303-0000-0000-C000-00000000004",
                          "0000030X-0000-0000-C000-000000000046", "00000303-0000-0000-C000-0000000000460"})
    EXPECT_FALSE(quorra::host::ParseGuid(bad, &g)) << bad;
}
