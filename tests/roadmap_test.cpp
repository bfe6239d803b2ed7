#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <set>
#include <vector>

namespace {

DisplayRoadmap Make(std::initializer_list<DWORD> links) {
  DisplayRoadmap rm;
  for (DWORD l : links) EXPECT_EQ(rm.AddLink(l), S_OK);
  return rm;
}

std::vector<DWORD> Links(const DisplayRoadmap& rm) {
  return std::vector<DWORD>(rm.GetData(), rm.GetData() + rm.GetEntryCount());
}

}  // namespace

TEST(DisplayRoadmap, ConstructionFixesCapacity) {
  DisplayRoadmap none(0, 5);
  EXPECT_EQ(none.GetEntryCount(), 0u);
  EXPECT_EQ(none.GetData(), nullptr);

  struct {
    DWORD asked, expected;
  } cases[] = {{0, 2}, {1, 1}, {10, 10}, {11, 2}, {0xFFFFFFFF, 2}};
  for (auto c : cases) {
    DisplayRoadmap rm(7, c.asked);
    EXPECT_EQ(rm.GetEntryCount(), 1u);
    EXPECT_EQ(rm.GetData(0u), 7u);
    EXPECT_EQ(rm.GetCapacity(), c.expected) << c.asked;
  }
}

TEST(DisplayRoadmap, GrowsByTenAndNeverShrinksOnClear) {
  DisplayRoadmap rm(7, 0);  // room for 2
  rm.AddLink(8);
  EXPECT_EQ(rm.GetCapacity(), 2u);
  rm.AddLink(9);
  EXPECT_EQ(rm.GetCapacity(), 12u);
  rm.Clear();
  EXPECT_EQ(rm.GetEntryCount(), 0u);
  EXPECT_EQ(rm.GetCapacity(), 12u);

  // AddLinks raises the capacity by the larger of count + n and 10.
  DisplayRoadmap many;
  std::vector<DWORD> ids(25);
  for (DWORD i = 0; i < 25; ++i) ids[i] = i + 1;
  EXPECT_EQ(many.AddLinks(25, ids.data()), S_OK);
  EXPECT_EQ(many.GetCapacity(), 25u);
  EXPECT_EQ(many.AddLinks(3, ids.data()), S_OK);
  EXPECT_EQ(many.GetCapacity(), 25u + 28u);
  EXPECT_EQ(many.GetEntryCount(), 28u);
  EXPECT_EQ(many.GetData(27u), 3u);
}

TEST(DisplayRoadmap, NullRoadmapForms) {
  EXPECT_EQ(DisplayRoadmap().IsNullRoadmap(), S_OK);
  EXPECT_EQ(Make({0}).IsNullRoadmap(), S_OK);
  EXPECT_EQ(Make({5}).IsNullRoadmap(), S_FALSE);
  EXPECT_EQ(Make({0, 0}).IsNullRoadmap(), S_FALSE);

  DisplayRoadmap three = Make({1, 2, 3});
  EXPECT_EQ(three.MakeNullRoadmap(), S_OK);
  EXPECT_EQ(Links(three), (std::vector<DWORD>{1, 2, 3, 0}));
  DisplayRoadmap empty;
  EXPECT_EQ(empty.MakeNullRoadmap(), S_OK);
  EXPECT_EQ(empty.IsNullRoadmap(), S_OK);
}

TEST(DisplayRoadmap, CompareAndPartialCompare) {
  DisplayRoadmap two = Make({1, 2}), three = Make({1, 2, 3}), other = Make({1, 2, 4});
  EXPECT_EQ(two.Compare(&three), -1);
  EXPECT_EQ(three.Compare(&two), 1);
  EXPECT_EQ(three.Compare(&three), 0);
  EXPECT_NE(three.Compare(&other), 0);
  EXPECT_EQ(three.PartialCompare(&two), 0);
  EXPECT_LT(two.PartialCompare(&three), 0);
  DisplayRoadmap oneThree = Make({1, 3}), empty;
  EXPECT_NE(other.PartialCompare(&oneThree), 0);
  EXPECT_EQ(three.PartialCompare(&empty), 0);

  // Ordered sets keep distinct roadmaps apart and find equal ones.
  std::set<DisplayRoadmap> set{three, two, other, Make({1, 2})};
  EXPECT_EQ(set.size(), 3u);
  EXPECT_TRUE(set.count(Make({1, 2, 4})));
}

TEST(DisplayRoadmap, EditingOperationsAndTheirBounds) {
  DisplayRoadmap rm = Make({1, 2, 3});
  EXPECT_EQ(rm.GetData(3u), 0xFFFFFFFFu);
  EXPECT_EQ(DisplayRoadmap().GetData(0u), 0xFFFFFFFFu);
  EXPECT_EQ(rm.SetLink(3, 9), E_UNEXPECTED);
  EXPECT_EQ(rm.SetLink(1, 9), S_OK);
  EXPECT_EQ(rm.SetTopLink(8), S_OK);
  EXPECT_EQ(Links(rm), (std::vector<DWORD>{1, 9, 8}));
  rm.InvertPath();
  EXPECT_EQ(Links(rm), (std::vector<DWORD>{8, 9, 1}));
  EXPECT_EQ(rm.RemoveTopLink(), S_OK);
  EXPECT_EQ(Links(rm), (std::vector<DWORD>{8, 9}));

  DisplayRoadmap empty;
  EXPECT_EQ(empty.SetTopLink(1), E_UNEXPECTED);
  EXPECT_EQ(empty.RemoveTopLink(), E_UNEXPECTED);
  EXPECT_EQ(empty.SetLink(0, 1), E_UNEXPECTED);
  empty.InvertPath();  // nothing to reverse, must not touch a missing array

  DisplayRoadmap four = Make({1, 2, 3, 4});
  four.InvertPath();
  EXPECT_EQ(Links(four), (std::vector<DWORD>{4, 3, 2, 1}));
}

TEST(DisplayRoadmap, CopyAndValueSemantics) {
  DisplayRoadmap source = Make({4, 5, 6});
  DisplayRoadmap target = Make({9});
  EXPECT_EQ(target.Copy(&source), S_OK);
  EXPECT_EQ(Links(target), Links(source));
  EXPECT_EQ(target.GetCapacity(), 3u);
  EXPECT_EQ(target.Copy(nullptr), S_OK);
  EXPECT_EQ(Links(target), Links(source));

  DisplayRoadmap copied(source);
  source.SetLink(0, 100);
  EXPECT_EQ(copied.GetData(0u), 4u);  // deep copy
  DisplayRoadmap moved(std::move(copied));
  EXPECT_EQ(Links(moved), (std::vector<DWORD>{4, 5, 6}));
  EXPECT_EQ(copied.GetEntryCount(), 0u);
  copied = moved;
  EXPECT_TRUE(copied == moved);
}

TEST(DisplayRoadmap, DumpWritesOneLine) {
  quorra::host::ScopedDebugOutputCapture capture;
  DisplayRoadmap rm = Make({0x1a, 2});
  rm.Dump();
  const std::wstring& text = capture.Text();
  EXPECT_EQ(text.rfind(L"Roadmap 0x", 0), 0u) << std::string(text.begin(), text.end());
  EXPECT_NE(text.find(L" 2 entries:  1a 2 \n"), std::wstring::npos);
}

TEST(DisplayRoadmap, ExportedCreateAndDelete) {
  DisplayRoadmap* rm = JCreateDisplayRoadmap(3, 4);
  ASSERT_NE(rm, nullptr);
  EXPECT_EQ(rm->GetData(0u), 3u);
  EXPECT_EQ(JDeleteDisplayRoadmap(rm), S_OK);
  EXPECT_EQ(JDeleteDisplayRoadmap(nullptr), E_INVALIDARG);
}
