#include "window/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace tallivan {
namespace {

TEST(WindowOptionsTest, EachProgramsHelpSuitsWhereItShows) {
  // {whose help, its first line, how each line ends, whether it is wrapped for a terminal}
  const std::tuple<HelpFor, std::string, std::string, bool> cases[] = {
      {HelpFor::kLinux, "Usage: tallivan [--book PATH]", "\n", true},
      // A message box wraps its text itself, and only where a line ends in CR LF.
      {HelpFor::kWindows, "Usage: tallivan.exe [--book PATH]", "\r\n", false},
  };
  for (const auto& [help_for, first_line, line_end, wrapped] : cases) {
    const std::optional<Reply> reply =
        ReplyTo(ParseWindowArgs({"--book", "b", "-h"}, QtArguments::kRefuse), help_for);
    ASSERT_TRUE(reply && reply->stream == Reply::Stream::kOut && reply->exit_status == 0);
    const std::string& text = reply->text;
    EXPECT_TRUE(text.starts_with(first_line + line_end)) << text;
    size_t longest = 0;
    bool cut = false;  // some line ends within a sentence
    for (size_t at = 0, end = 0; at < text.size(); at = end + line_end.size()) {
      end = text.find(line_end, at);
      ASSERT_NE(end, std::string::npos) << "no line end after " << text.substr(at);
      const std::string line = text.substr(at, end - at);
      EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
      longest = std::max(longest, line.size());
      cut = cut || (!line.empty() && std::string_view(".]):").find(line.back()) == line.npos);
    }
    EXPECT_EQ(std::pair(cut, longest < 80), std::pair(wrapped, wrapped)) << text;
  }
}

}  // namespace
}  // namespace tallivan
