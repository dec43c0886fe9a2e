// SPDX-License-Identifier: MIT
#include "diagnostics/error_texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/socket_errors.h"

namespace zortcp {
namespace {

size_t LineEnds(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(SocketErrorText, GivesTableTextsWithTheirLineEnds) {
  EXPECT_EQ(SocketErrorText(10054),
            "WSAECONNRESET: The virtual circuit was reset by the remote host");

  const std::string invalid = SocketErrorText(10022);
  EXPECT_EQ(invalid.size(), 384u);
  EXPECT_EQ(LineEnds(invalid), 6u);
  EXPECT_EQ(invalid.back(), '\n');
  EXPECT_TRUE(invalid.starts_with(
      "WSAEINVAL: listen():  The socket has not been bound or is already connected\n"
      "WSAEINVAL: recv():    The socket has not been bound\n"));
  EXPECT_TRUE(
      invalid.ends_with("WSAEINVAL: connect(): The socket is not already bound to an address\n"));

  const std::string tooManyFiles = SocketErrorText(10024);
  EXPECT_EQ(tooManyFiles,
            "WSAEMFILE: listen(): No more file descriptors are available\n"
            "WSAEMFILE: accept(): Queue was empty");
  EXPECT_EQ(tooManyFiles.size(), 96u);

  const std::string notSupported = SocketErrorText(10045);
  EXPECT_EQ(notSupported.size(), 235u);
  EXPECT_EQ(LineEnds(notSupported), 2u);
  EXPECT_NE(notSupported.back(), '\n');
}

TEST(SocketErrorText, NumbersWithoutEntryArePrintedUnsigned) {
  EXPECT_EQ(SocketErrorText(10010), "Unknown Error Code: 10010");
  EXPECT_EQ(SocketErrorText(0), "Unknown Error Code: 0");
  EXPECT_EQ(SocketErrorText(10003), "Unknown Error Code: 10003");
  EXPECT_EQ(SocketErrorText(11005), "Unknown Error Code: 11005");
  EXPECT_EQ(SocketErrorText(UINT32_MAX), "Unknown Error Code: 4294967295");
}

TEST(SystemErrorText, NumberWithoutMessageGetsFallbackText) {
  EXPECT_EQ(SystemErrorText(99999), "Windows NT System Error 99999 Has No Message Text");
}

TEST(SystemErrorText, MessageHasNoTrailingLineEnd) {
  const std::string text = SystemErrorText(12);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find("Has No Message Text"), std::string::npos);
  EXPECT_NE(text.back(), '\n');
  EXPECT_NE(text.back(), '\r');
  EXPECT_LT(text.size(), static_cast<size_t>(kSystemMessageCapacity));
}

// One row of the socket error table in docs/errors.md: its text, spelt out
// in the row or in a block below the table, and the system errors named in
// its last column.
struct DocumentedError {
  std::string text;
  std::vector<std::string> systemErrors;
};

// The system error names (EINTR, ...) that a text mentions, sorted.
std::vector<std::string> SystemErrorNames(const std::string& text) {
  std::vector<std::string> names;
  std::string word;
  for (const char c : text + " ") {
    if (c >= 'A' && c <= 'Z') {
      word += c;
      continue;
    }
    if (word.size() > 1 && word.front() == 'E') names.push_back(word);
    word.clear();
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The text of a block shown below the table: the fenced lines after the
// paragraph that starts with the number.
std::string BlockText(const std::vector<std::string>& lines, const std::string& number) {
  auto line = std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.starts_with(number + " ("); });
  if (line == lines.end()) return "(no block for " + number + ")";
  const bool endsInLineEnd = line->find("it ends in a line end") != std::string::npos;
  line = std::find(line, lines.end(), "```");
  std::string text;
  for (++line; line != lines.end() && *line != "```"; ++line) text += *line + "\n";
  if (!endsInLineEnd && !text.empty()) text.pop_back();
  return text;
}

// The cells of a table row "| a | b | c |", without their padding.
std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  size_t start = 1;
  for (size_t bar = line.find('|', start); bar != std::string::npos; bar = line.find('|', start)) {
    cells.push_back(line.substr(start + 1, bar - start - 2));
    start = bar + 1;
  }
  return cells;
}

// A row's text: spelt out between backquotes, or "N lines, M characters,
// below" for a block below the table, whose size is then checked.
std::string RowText(const std::vector<std::string>& lines, const std::string& number,
                    const std::string& cell) {
  size_t lineCount = 0;
  size_t characters = 0;
  if (std::sscanf(cell.c_str(), "%zu lines, %zu characters, below", &lineCount, &characters) == 2) {
    const std::string text = BlockText(lines, number);
    EXPECT_EQ(LineEnds(text) + (text.ends_with('\n') ? 0u : 1u), lineCount) << number;
    EXPECT_EQ(text.size(), characters) << number;
    return text;
  }
  if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`') {
    return cell.substr(1, cell.size() - 2);
  }
  return cell;
}

// The socket error table of docs/errors.md: the rows whose first cell is a
// five-digit number.
std::map<uint32_t, DocumentedError> ReadDocumentedErrors() {
  std::ifstream file(ZORTCP_DOCS_DIR "/errors.md");
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);

  std::map<uint32_t, DocumentedError> documented;
  for (const std::string& line : lines) {
    const std::vector<std::string> cells =
        line.starts_with("| ") ? Cells(line) : std::vector<std::string>();
    if (cells.size() != 3 || cells[0].size() != 5 ||
        cells[0].find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    documented[static_cast<uint32_t>(std::stoul(cells[0]))] = {RowText(lines, cells[0], cells[1]),
                                                               SystemErrorNames(cells[2])};
  }
  return documented;
}

// The error table's numbers with their errno columns, as written.
struct TableRow {
  uint32_t number;
  const char* systemErrors;
};
constexpr TableRow kTableRows[] = {
#define ZOR_TABLE_ROW(rowName, number, errnos, rowText) {number, #errnos},
    ZOR_SOCKET_ERRORS(ZOR_TABLE_ROW)
#undef ZOR_TABLE_ROW
};

TEST(SocketErrorText, ErrorReferenceShowsEveryTableRow) {
  const std::map<uint32_t, DocumentedError> documented = ReadDocumentedErrors();
  EXPECT_EQ(documented.size(), std::size(kTableRows));
  for (const TableRow& row : kTableRows) {
    const auto entry = documented.find(row.number);
    if (entry == documented.end()) {
      ADD_FAILURE() << row.number << " is not in docs/errors.md";
      continue;
    }
    EXPECT_EQ(entry->second.text, SocketErrorText(row.number)) << row.number;
    EXPECT_EQ(entry->second.systemErrors, SystemErrorNames(row.systemErrors)) << row.number;
  }
}

}  // namespace
}  // namespace zortcp
