// SPDX-License-Identifier: MIT
// The stress test's stream checker catches what it is there to catch: a
// changed, repeated or foreign byte, a stream that goes back, a jump that
// no dropped chunk explains; and it lets through what the library does by
// design (a new connection that starts anywhere later, a dropped chunk).
#include "stress/block_stream.h"

#include <gtest/gtest.h>

#include <vector>

namespace zortcp::testing {
namespace {

constexpr uint32_t kTag = 77;

std::vector<uint8_t> StreamPiece(uint64_t from, size_t size, uint32_t tag = kTag) {
  std::vector<uint8_t> bytes(size);
  StreamBytes(tag).Copy(from, bytes.data(), size);
  return bytes;
}

struct Checked {
  uint64_t drops = 0;
  StreamChecker checker{kTag, [this] { return drops; }};

  void Feed(const std::vector<uint8_t>& bytes) { checker.Feed(bytes.data(), bytes.size()); }
};

TEST(StreamCheckerTest, AcceptsConnectionsThatStartAnywhereLaterAndDroppedChunks) {
  Checked checked;
  checked.checker.BeginConnection();
  checked.Feed(StreamPiece(5, 1000));
  checked.checker.BeginConnection();  // bytes lost with the old connection
  checked.Feed(StreamPiece(3001, 700));
  checked.drops = 1;  // a chunk of 4096 or fewer bytes dropped in the same connection
  checked.Feed(StreamPiece(3701 + 4000, 500));
  checked.checker.EndConnection();
  EXPECT_EQ(checked.checker.FinalFailure(), "");
  EXPECT_EQ(checked.checker.figures().verified, 2200u);
  EXPECT_EQ(checked.checker.figures().connections, 2u);
  EXPECT_EQ(checked.checker.figures().jumps, 1u);
  EXPECT_EQ(checked.checker.figures().skipped, 4000u);
}

TEST(StreamCheckerTest, CatchesChangedRepeatedForeignAndUnexplainedBytes) {
  {
    Checked changed;
    changed.checker.BeginConnection();
    std::vector<uint8_t> bytes = StreamPiece(0, 500);
    bytes[300] ^= 1;
    changed.Feed(bytes);
    EXPECT_NE(changed.checker.FinalFailure(), "");
  }
  {
    Checked repeated;
    repeated.checker.BeginConnection();
    repeated.Feed(StreamPiece(0, 500));
    repeated.drops = 1;
    repeated.Feed(StreamPiece(200, 300));
    EXPECT_NE(repeated.checker.FinalFailure(), "");
  }
  {
    Checked foreign;
    foreign.checker.BeginConnection();
    foreign.Feed(StreamPiece(0, 500, kTag + 1));
    EXPECT_NE(foreign.checker.FinalFailure(), "");
  }
  {
    Checked unexplained;
    unexplained.checker.BeginConnection();
    unexplained.Feed(StreamPiece(0, 500));
    unexplained.Feed(StreamPiece(600, 500));  // no chunk was dropped
    EXPECT_NE(unexplained.checker.FinalFailure(), "");
  }
  {
    Checked backwards;
    backwards.checker.BeginConnection();
    backwards.Feed(StreamPiece(1000, 500));
    backwards.checker.BeginConnection();
    backwards.Feed(StreamPiece(900, 500));
    EXPECT_NE(backwards.checker.FinalFailure(), "");
  }
  {
    Checked tooMuch;
    tooMuch.drops = 1;
    tooMuch.checker.BeginConnection();
    tooMuch.Feed(StreamPiece(0, 500));
    tooMuch.Feed(StreamPiece(500 + 5000, 500));  // more than one chunk can hold
    EXPECT_NE(tooMuch.checker.FinalFailure(), "");
  }
  {
    Checked outside;
    outside.Feed(StreamPiece(0, 10));  // no connection yet
    EXPECT_NE(outside.checker.FinalFailure(), "");
  }
}

}  // namespace
}  // namespace zortcp::testing
