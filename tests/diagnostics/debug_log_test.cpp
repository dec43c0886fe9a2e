// SPDX-License-Identifier: MIT
#include "diagnostics/debug_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/control_block.h"
#include "platform/platform.h"
#include "support/library_fixture.h"
#include "support/temp_directory.h"
#include "support/wait_until.h"

namespace zortcp {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::ReadLogFile;
using testing::WaitUntil;
using testing::WriteFile;

const std::string kFullRow =
    "0000:  41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50   ABCDEFGHIJKLMNOP\n";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Splits "[dd/mm/yyyy hh:mm:ss.mmm] text" into its date and its text; false
// when the line does not begin with a time stamp of that shape.
bool SplitTimeStamp(const std::string& line, platform::LocalTime* date, std::string* text) {
  static const std::string kShape = "[00/00/0000 00:00:00.000] ";
  if (line.size() < kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if (kShape[i] == '0' ? !digit : line[i] != kShape[i]) return false;
  }
  date->day = std::stoi(line.substr(1, 2));
  date->month = std::stoi(line.substr(4, 2));
  date->year = std::stoi(line.substr(7, 4));
  *text = line.substr(kShape.size());
  return true;
}

class DebugLogTest : public testing::LoadedLibrary {
 protected:
  void TearDown() override {
    CloseDebugLog(block_);
    LoadedLibrary::TearDown();
  }

  void OpenLog(int32_t level) {
    std::strcpy(block_.log.fileName, path_.c_str());
    block_.log.level = level;
    OpenDebugLog(block_);
  }

  void Dump(const std::string& bytes, int32_t level = 1) {
    LogDataDump(block_, level, bytes.data(), static_cast<int32_t>(bytes.size()));
  }

  std::string Log() const { return ReadLogFile(path_); }

  testing::TempDirectory directory_;
  std::string path_ = directory_.File("port.log");
  PortControlBlock& block_ = PortTable()[0];
};

TEST_F(DebugLogTest, LineStartsWithDayMonthYearTimeStamp) {
  OpenLog(1);
  const platform::LocalTime before = platform::CurrentLocalTime();
  LogMessage(block_, 1, "ZorWritePort() - Port: %d, Packet Size: %d\n", 3, 42);
  const platform::LocalTime after = platform::CurrentLocalTime();

  const std::string log = Log();
  platform::LocalTime date{};
  std::string text;
  ASSERT_TRUE(SplitTimeStamp(log, &date, &text)) << log;
  EXPECT_EQ(text, "ZorWritePort() - Port: 3, Packet Size: 42\n");
  const auto sameDay = [&](const platform::LocalTime& time) {
    return date.day == time.day && date.month == time.month && date.year == time.year;
  };
  EXPECT_TRUE(sameDay(before) || sameDay(after)) << log;
}

TEST_F(DebugLogTest, DumpRowsLineUpTheirCharactersAtColumn59) {
  OpenLog(1);
  const std::string letters = "ABCDEFGHIJKLMNOPQRST";
  Dump(letters.substr(0, 16));
  Dump(letters.substr(0, 8));
  Dump(letters.substr(0, 12));
  Dump(letters.substr(0, 17));
  Dump(letters);
  Dump("");
  LogMessage(block_, 1, "next\n");

  const std::string expected = "Raw Data Dump - 16 Bytes\n" + kFullRow +
                               "Raw Data Dump - 8 Bytes\n"
                               "0000:  41 42 43 44 45 46 47 48" +
                               std::string(29, ' ') +
                               "ABCDEFGH\n"
                               "Raw Data Dump - 12 Bytes\n"
                               "0000:  41 42 43 44 45 46 47 48 - 49 4a 4b 4c" +
                               std::string(15, ' ') +
                               "ABCDEFGHIJKL\n"
                               "Raw Data Dump - 17 Bytes\n" +
                               kFullRow + "0010:  51" + std::string(50, ' ') +
                               "Q\n"
                               "Raw Data Dump - 20 Bytes\n" +
                               kFullRow + "0010:  51 52 53 54" + std::string(41, ' ') +
                               "QRST\n"
                               "Raw Data Dump - 0 Bytes\n"
                               "0000:  \n";
  const std::string log = Log();
  ASSERT_TRUE(log.starts_with(expected)) << log;
  EXPECT_TRUE(log.substr(expected.size()).starts_with("[")) << log;
}

TEST_F(DebugLogTest, DumpShowsControlBytesAsDotsAndOthersUnchanged) {
  OpenLog(1);
  Dump(std::string("\r\n\0\x1f \x7f\x80\xff", 8));
  EXPECT_EQ(Log(),
            "Raw Data Dump - 8 Bytes\n"
            "0000:  0d 0a 00 1f 20 7f 80 ff" +
                std::string(29, ' ') + ".... \x7f\x80\xff\n");
}

TEST_F(DebugLogTest, OffsetsTakeFiveDigitsFrom0x10000) {
  OpenLog(1);
  Dump(std::string(0x10000 + 20, 'Z'));

  const std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(lines.size(), 1u + 0x1000 + 2);
  EXPECT_EQ(lines[0], "Raw Data Dump - 65556 Bytes");
  const std::string fullHex = "5a 5a 5a 5a 5a 5a 5a 5a - 5a 5a 5a 5a 5a 5a 5a 5a   ";
  EXPECT_EQ(lines[0x1000], "fff0:  " + fullHex + std::string(16, 'Z'));
  EXPECT_EQ(lines[0x1001], "10000:  " + fullHex + std::string(16, 'Z'));
  EXPECT_EQ(lines[0x1002], "10010:  5a 5a 5a 5a" + std::string(41, ' ') + "ZZZZ");
}

TEST_F(DebugLogTest, OnlyLevelsUpToDebugLevelAreWritten) {
  OpenLog(2);
  for (int32_t level = 1; level <= 4; ++level) {
    LogMessage(block_, level, "level %d line\n", level);
    Dump(std::string(static_cast<size_t>(level), 'x'), level);
  }
  const std::string log = Log();
  EXPECT_NE(log.find("level 1 line\n"), std::string::npos);
  EXPECT_NE(log.find("level 2 line\n"), std::string::npos);
  EXPECT_EQ(log.find("level 3 line"), std::string::npos);
  EXPECT_EQ(log.find("level 4 line"), std::string::npos);
  EXPECT_NE(log.find("Raw Data Dump - 2 Bytes\n"), std::string::npos);
  EXPECT_EQ(log.find("Raw Data Dump - 3 Bytes"), std::string::npos);
  EXPECT_EQ(Lines(log).size(), 2u + 2u * 2u);
}

TEST_F(DebugLogTest, NegativeLevelEmptiesTheFileAndWritesNothing) {
  WriteFile(path_, "left from an earlier run\n");
  OpenLog(-1);
  EXPECT_TRUE(LogIsOpen(block_));
  for (int32_t level = 1; level <= 4; ++level) {
    LogMessage(block_, level, "level %d line\n", level);
    Dump("abc", level);
  }
  EXPECT_TRUE(std::filesystem::exists(path_));
  EXPECT_EQ(Log(), "");
}

TEST_F(DebugLogTest, NothingIsWrittenOnceTheLogIsClosed) {
  LogMessage(block_, 1, "before the open\n");
  OpenLog(4);
  EXPECT_TRUE(LogIsOpen(block_));
  LogMessage(block_, 1, "while open\n");
  CloseDebugLog(block_);
  EXPECT_FALSE(LogIsOpen(block_));
  LogMessage(block_, 1, "after the close\n");
  Dump("after the close");

  const std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with("] while open"));
  EXPECT_EQ(block_.log.level, 4);
}

TEST_F(DebugLogTest, LogThatCannotBeCreatedTurnsTheLevelOff) {
  path_ = directory_.File("no-such-directory/port.log");
  OpenLog(3);
  EXPECT_EQ(block_.log.level, 0);
  EXPECT_FALSE(LogIsOpen(block_));
  LogMessage(block_, 1, "nowhere to go\n");
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(DebugLogTest, ConcurrentLinesAndDumpsNeverInterleave) {
  constexpr int kWriters = 3;
  constexpr int kLinesEach = 2000;
  const std::string payload(100, '*');
  const std::string letters = "ABCDEFGHIJKLMNOPQRST";
  OpenLog(3);

  // Released together so that the writers overlap from their first line.
  std::atomic<bool> start{false};
  const auto awaitStart = [&] {
    while (!start.load()) std::this_thread::yield();
  };
  std::vector<std::thread> threads;
  for (int writer = 0; writer < kWriters; ++writer) {
    threads.emplace_back([&, writer] {
      awaitStart();
      for (int line = 0; line < kLinesEach; ++line) {
        LogMessage(block_, 1, "writer %d line %d %s\n", writer, line, payload.c_str());
      }
    });
  }
  threads.emplace_back([&] {
    awaitStart();
    for (int dump = 0; dump < kLinesEach; ++dump) Dump(letters, 3);
  });
  start.store(true);
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> lines = Lines(Log());
  std::vector<int> nextLine(kWriters, 0);
  int dumps = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "Raw Data Dump - 20 Bytes") {
      ASSERT_LT(i + 2, lines.size());
      EXPECT_EQ(lines[i + 1] + "\n", kFullRow);
      EXPECT_EQ(lines[i + 2], "0010:  51 52 53 54" + std::string(41, ' ') + "QRST");
      i += 2;
      ++dumps;
    } else {
      platform::LocalTime date{};
      std::string text;
      int writer = -1;
      int line = -1;
      int consumed = 0;
      ASSERT_TRUE(SplitTimeStamp(lines[i], &date, &text)) << lines[i];
      ASSERT_EQ(std::sscanf(text.c_str(), "writer %d line %d %n", &writer, &line, &consumed), 2)
          << lines[i];
      ASSERT_TRUE(writer >= 0 && writer < kWriters) << lines[i];
      EXPECT_EQ(text.substr(static_cast<size_t>(consumed)), payload) << lines[i];
      EXPECT_EQ(line, nextLine[static_cast<size_t>(writer)]++);
    }
  }
  EXPECT_EQ(dumps, kLinesEach);
  for (int count : nextLine) EXPECT_EQ(count, kLinesEach);
}

TEST_F(DebugLogTest, CloseAmidWritersLeavesOnlyWholeLinesBeforeIt) {
  constexpr int kWriters = 3;
  constexpr int kAttemptsAfterClose = 200;
  OpenLog(3);

  std::atomic<bool> closed{false};
  std::atomic<int> attemptsAfterClose{0};
  std::vector<std::thread> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([&, writer] {
      while (attemptsAfterClose.load() < kAttemptsAfterClose) {
        const bool afterClose = closed.load();
        LogMessage(block_, 1, "writer %d %s\n", writer, afterClose ? "late" : "early");
        Dump("0123456789abcdefghij", 3);
        if (afterClose) attemptsAfterClose.fetch_add(1);
      }
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::file_size(path_) > 4096; }, 10s));
  CloseDebugLog(block_);
  closed.store(true);
  const std::string atClose = Log();
  for (std::thread& writer : writers) writer.join();

  EXPECT_EQ(Log(), atClose);
  EXPECT_TRUE(atClose.ends_with("\n"));
  EXPECT_EQ(atClose.find("late"), std::string::npos);
}

}  // namespace
}  // namespace zortcp
