#include "diagnostics/error_texts.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/socket_errors.h"

namespace zortcp {
namespace {

size_t LineEnds(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

TEST(SocketErrorText, GivesTableTextsWithTheirLineEnds) {
  EXPECT_EQ(SocketErrorText(10054), "WSAECONNRESET: The virtual circuit was reset by the remote host");

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

std::vector<std::string> SystemErrorNames(const std::string& text) {
  static const std::regex name(R"(\bE[A-Z]+\b)");
  std::vector<std::string> names;
  for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it) {
    names.push_back(it->str());
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

std::map<uint32_t, DocumentedError> ReadDocumentedErrors() {
  std::ifstream file(ZORTCP_DOCS_DIR "/errors.md");
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);

  static const std::regex row(R"(\| (\d{5}) \| (.*) \| (.*) \|)");
  static const std::regex below(R"((\d+) lines, (\d+) characters, below)");
  std::map<uint32_t, DocumentedError> documented;
  for (const std::string& line : lines) {
    std::smatch fields;
    if (!std::regex_match(line, fields, row)) continue;
    const std::string column = fields[2];
    std::string text = column;
    std::smatch shape;
    if (std::regex_match(column, shape, below)) {
      text = BlockText(lines, fields[1]);
      const size_t lineCount = LineEnds(text) + (text.ends_with('\n') ? 0u : 1u);
      EXPECT_EQ(std::to_string(lineCount), shape[1].str()) << fields[1];
      EXPECT_EQ(std::to_string(text.size()), shape[2].str()) << fields[1];
    } else if (text.size() >= 2 && text.front() == '`' && text.back() == '`') {
      text = text.substr(1, text.size() - 2);
    }
    documented[static_cast<uint32_t>(std::stoul(fields[1]))] = {text,
                                                                SystemErrorNames(fields[3])};
  }
  return documented;
}

TEST(SocketErrorText, ErrorReferenceShowsEveryTableRow) {
  const std::map<uint32_t, DocumentedError> documented = ReadDocumentedErrors();
  size_t rows = 0;
#define ZOR_CHECK_ROW(rowName, number, errnos, rowText)                          \
  ++rows;                                                                        \
  if (const auto entry = documented.find(number); entry == documented.end()) {   \
    ADD_FAILURE() << number << " is not in docs/errors.md";                      \
  } else {                                                                       \
    EXPECT_EQ(entry->second.text, SocketErrorText(number)) << number;            \
    EXPECT_EQ(entry->second.systemErrors, SystemErrorNames(#errnos)) << number;  \
  }
  ZOR_SOCKET_ERRORS(ZOR_CHECK_ROW)
#undef ZOR_CHECK_ROW
  EXPECT_EQ(documented.size(), rows);
}

}  // namespace
}  // namespace zortcp
