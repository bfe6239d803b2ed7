#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include "support/byte_stream.h"

using quorra::test::ByteStream;

namespace {

TEST(JIOStreamContext, HoldsAReferenceOnItsStreamForItsLifetime) {
  auto stream = ByteStream::Create();
  {
    JIOStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
    EXPECT_EQ(stream->RefCount(), 2u);
    EXPECT_EQ(context.GetStream(), stream.Get());
  }
  EXPECT_EQ(stream->RefCount(), 1u);
}

// Read wins when both bits are set; with neither, or without a stream,
// DoIO touches nothing.
TEST(JIOStreamContext, ModeBitsChooseTheDirectionOfDoIO) {
  struct Case {
    DWORD mode;
    bool reading;
    bool writing;
  } cases[] = {{6, true, false}, {5, false, true}, {7, true, false}, {4, false, false}, {0, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    auto stream = ByteStream::Create({42});
    JIOStreamContext context(stream.Get(), c.mode);
    EXPECT_EQ(context.IsReading(), c.reading);
    EXPECT_EQ(context.IsWriting(), c.writing);
    BYTE b = 9;
    EXPECT_EQ(context.DoIO(&b, 1), c.reading || c.writing ? S_OK : E_UNEXPECTED);
    EXPECT_EQ(stream->ReadCalls() > 0, c.reading);
    EXPECT_EQ(stream->WriteCalls() > 0, c.writing);
    EXPECT_EQ(b, c.reading ? 42 : 9);
    EXPECT_EQ(stream->Bytes(), std::vector<BYTE>{BYTE(c.writing ? 9 : 42)});
    EXPECT_EQ(JIOStreamContext(nullptr, c.mode).DoIO(&b, 1), E_UNEXPECTED);
  }
}

TEST(JIOStreamContext, DoIOReadsExactlyOrReportsAShortRead) {
  auto stream = ByteStream::Create({1, 2, 3, 4, 5, 6});
  JIOStreamContext context(stream.Get(), 6);
  BYTE buffer[4] = {};
  ASSERT_EQ(context.DoIO(buffer, 4), S_OK);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[3], 4);
  EXPECT_EQ(context.DoIO(buffer, 4), STG_E_READFAULT);  // only two bytes left
  EXPECT_EQ(buffer[0], 5);
  EXPECT_EQ(stream->WriteCalls(), 0);
}

TEST(JIOStreamContext, DoIOPassesOnTheStreamsFailures) {
  auto stream = ByteStream::Create({1, 2, 3, 4});
  stream->FailReadsWith(STG_E_ACCESSDENIED);
  stream->FailWritesWith(STG_E_MEDIUMFULL);
  BYTE buffer[4] = {};
  EXPECT_EQ(JIOStreamContext(stream.Get(), 6).DoIO(buffer, 4), STG_E_ACCESSDENIED);
  EXPECT_EQ(JIOStreamContext(stream.Get(), 5).DoIO(buffer, 4), STG_E_MEDIUMFULL);
}

}  // namespace
