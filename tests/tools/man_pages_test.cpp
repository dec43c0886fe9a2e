// SPDX-License-Identifier: MIT
// The man pages against what they describe: zorcat(1) against zorcat's own
// help, and a page per exported call against the header.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <set>
#include <string>

#include "tools/zorcat_process.h"

namespace {

using zorcat::testing::Finished;
using zorcat::testing::Input;
using zorcat::testing::ReadFile;
using zorcat::testing::RunZorcat;

const std::filesystem::path kSource = ZORTCP_SOURCE_DIR;
constexpr std::chrono::milliseconds kHelpWait{30000};

bool IsLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool IsNameChar(char c) { return std::islower(static_cast<unsigned char>(c)) != 0 || c == '-'; }

// The option ("-q" or "--quiet") that starts at `at`, or "" when none does.
std::string OptionAt(const std::string& text, size_t at) {
  size_t end = at;
  while (end < text.size() && end - at < 2 && text[end] == '-') ++end;
  if (end == at || end >= text.size() || !IsLetter(text[end])) return "";
  ++end;
  while (end < text.size() && IsNameChar(text[end])) ++end;
  return text.substr(at, end - at);
}

// The options that CLI11's help lists, each at the start of a line:
// "  -q,--quiet ..." or "  --log ...".
std::set<std::string> HelpedOptions(const std::string& help) {
  std::set<std::string> found;
  size_t line = 0;
  while (line < help.size()) {
    const size_t next = help.find('\n', line);
    const std::string text = help.substr(line, next == std::string::npos ? next : next - line);
    line = next == std::string::npos ? help.size() : next + 1;
    if (text.rfind("  -", 0) != 0) continue;
    std::string first = OptionAt(text, 2);
    std::string second;
    if (first.size() == 2 && text.size() > 4 && text[4] == ',') second = OptionAt(text, 5);
    if (first.rfind("--", 0) == 0) found.insert(first);
    if (second.rfind("--", 0) == 0) found.insert({first, second});
  }
  return found;
}

// The options set in bold, with a backslash before a leading "--": **\--log**.
std::set<std::string> BoldOptions(const std::string& text) {
  std::set<std::string> found;
  for (size_t at = text.find("**"); at != std::string::npos; at = text.find("**", at + 2)) {
    size_t start = at + 2;
    if (start < text.size() && text[start] == '\\') ++start;
    const std::string option = OptionAt(text, start);
    if (!option.empty() && text.compare(start + option.size(), 2, "**") == 0) {
      found.insert(option);
      at = start + option.size();
    }
  }
  return found;
}

// The names that the header declares after ZOR_API: "ZOR_API int ZOR_CALL ZorOpenPort(".
std::set<std::string> DeclaredCalls(const std::string& header) {
  std::set<std::string> found;
  for (size_t at = header.find("ZOR_API "); at != std::string::npos;
       at = header.find("ZOR_API ", at + 1)) {
    const size_t stop = header.find_first_of(";(", at);
    if (stop == std::string::npos || header[stop] != '(') continue;
    size_t begin = stop;
    while (begin > at && (std::isalnum(static_cast<unsigned char>(header[begin - 1])) != 0))
      --begin;
    if (header.compare(begin, 3, "Zor") == 0) found.insert(header.substr(begin, stop - begin));
  }
  return found;
}

// The text of a page's section, from its heading to the next one.
std::string Section(const std::string& page, const std::string& heading) {
  const size_t begin = page.find("# " + heading + "\n");
  if (begin == std::string::npos) return "";
  const size_t end = page.find("\n# ", begin + 1);
  return page.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

TEST(ManPages, ZorcatPageListsExactlyTheOptionsOfItsHelp) {
  std::set<std::string> helped;
  for (const auto& command : {"", "demo", "connect", "listen"}) {
    std::vector<std::string> arguments;
    if (*command != '\0') arguments.push_back(command);
    arguments.push_back("--help");
    const Finished help = RunZorcat(arguments, Input::Null(), kHelpWait);
    ASSERT_EQ(help.status, 0) << help.err;
    helped.merge(HelpedOptions(help.out));
  }
  const std::string page = ReadFile(kSource / "man" / "zorcat.1.md");
  const std::string options = Section(page, "OPTIONS");
  ASSERT_FALSE(options.empty());
  // Options are set in bold, with a backslash before a leading "--".
  const std::set<std::string> documented = BoldOptions(options);

  ASSERT_GE(helped.size(), 10u);  // the help was read at all
  EXPECT_EQ(documented, helped);
}

TEST(ManPages, EveryCallHasAPageWithItsResultsErrorsAndThreadsLinkedFromTheOverview) {
  const std::string header = ReadFile(kSource / "include" / "zortcp.h");
  const std::set<std::string> calls = DeclaredCalls(header);
  ASSERT_EQ(calls.size(), 13u);
  const std::string overview = ReadFile(kSource / "man" / "zortcp.3.md");
  for (const std::string& call : calls) {
    const std::string page = ReadFile(kSource / "man" / (call + ".3.md"));
    EXPECT_EQ(page.rfind("# NAME\n\n" + call + " - ", 0), 0u) << call;
    for (const char* heading : {"SYNOPSIS", "DESCRIPTION", "RETURN VALUE", "ERRORS", "THREADS"}) {
      EXPECT_FALSE(Section(page, heading).empty()) << call << " lacks " << heading;
    }
    EXPECT_NE(Section(page, "SYNOPSIS").find(call + "("), std::string::npos) << call;
    EXPECT_NE(overview.find("**" + call + "**(3)"), std::string::npos) << call;
  }
}

}  // namespace
