// SPDX-License-Identifier: MIT
// The man pages against what they describe: zorcat(1) against zorcat's own
// help, and a page per exported call against the header.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
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

std::set<std::string> Matches(const std::string& text, const std::regex& pattern, size_t group) {
  std::set<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
       it != std::sregex_iterator(); ++it) {
    found.insert((*it)[group].str());
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
    // CLI11 lists each option at the start of a line: "  -q,--quiet ...".
    for (const std::string& names :
         Matches(help.out, std::regex(R"((?:^|\n)  ((?:-[A-Za-z],)?--[a-z-]+))"), 1)) {
      for (const std::string& name : Matches(names, std::regex(R"(--?[A-Za-z][a-z-]*)"), 0)) {
        helped.insert(name);
      }
    }
  }
  const std::string page = ReadFile(kSource / "man" / "zorcat.1.md");
  const std::string options = Section(page, "OPTIONS");
  ASSERT_FALSE(options.empty());
  // Options are set in bold, with a backslash before a leading "--".
  const std::set<std::string> documented =
      Matches(options, std::regex(R"(\*\*\\?(--?[A-Za-z][a-z-]*)\*\*)"), 1);

  EXPECT_EQ(documented, helped);
}

TEST(ManPages, EveryCallHasAPageWithItsResultsErrorsAndThreadsLinkedFromTheOverview) {
  const std::string header = ReadFile(kSource / "include" / "zortcp.h");
  const std::set<std::string> calls =
      Matches(header, std::regex(R"(ZOR_API [^;(]*\b(Zor[A-Za-z]+)\()"), 1);
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
