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

TEST(JIOStreamContext, DirectionFollowsTheModeBits) {
  struct Case {
    DWORD mode;
    bool reading;
    bool writing;
  } cases[] = {{6, true, false}, {5, false, true}, {7, true, false}, {4, false, false}, {0, false, false}};
  for (const Case& c : cases) {
    JIOStreamContext context(nullptr, c.mode);
    EXPECT_EQ(context.IsReading(), c.reading) << c.mode;
    EXPECT_EQ(context.IsWriting(), c.writing) << c.mode;
  }
}

TEST(JIOStreamContext, DoIOWithoutAStreamIsUnexpected) {
  BYTE buffer[4] = {};
  EXPECT_EQ(JIOStreamContext(nullptr, 6).DoIO(buffer, 4), E_UNEXPECTED);
  EXPECT_EQ(JIOStreamContext(nullptr, 5).DoIO(buffer, 4), E_UNEXPECTED);
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

TEST(JIOStreamContext, DoIOWritesInWriteMode) {
  auto stream = ByteStream::Create();
  JIOStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
  BYTE data[3] = {7, 8, 9};
  ASSERT_EQ(context.DoIO(data, 3), S_OK);
  EXPECT_EQ(stream->Bytes(), (std::vector<BYTE>{7, 8, 9}));
  EXPECT_EQ(stream->ReadCalls(), 0);
}

TEST(JIOStreamContext, DoIOWithNeitherDirectionTouchesNothing) {
  auto stream = ByteStream::Create({1, 2, 3, 4});
  BYTE buffer[4] = {};
  EXPECT_EQ(JIOStreamContext(stream.Get(), 4).DoIO(buffer, 4), E_UNEXPECTED);
  EXPECT_EQ(JIOStreamContext(stream.Get(), 0).DoIO(buffer, 4), E_UNEXPECTED);
  EXPECT_EQ(stream->ReadCalls() + stream->WriteCalls(), 0);
}

TEST(JIOStreamContext, ReadWinsWhenBothBitsAreSet) {
  auto stream = ByteStream::Create({42});
  BYTE b = 0;
  EXPECT_EQ(JIOStreamContext(stream.Get(), 7).DoIO(&b, 1), S_OK);
  EXPECT_EQ(b, 42);
  EXPECT_EQ(stream->WriteCalls(), 0);
}

}  // namespace
