#include "window/options.h"

#include <gtest/gtest.h>

namespace tallivan {
namespace {

TEST(WindowOptionsTest, TheWindowsProgramsHelpSuitsAMessageBox) {
  const std::optional<Reply> reply =
      ReplyTo(ParseWindowArgs({"--book", "b", "-h"}, QtArguments::kRefuse), HelpFor::kWindows);
  ASSERT_TRUE(reply && reply->stream == Reply::Stream::kOut && reply->exit_status == 0);
  const std::string& text = reply->text;
  EXPECT_TRUE(text.starts_with("Usage: tallivan.exe [[--book] PATH]\r\n")) << text;
  EXPECT_NE(text.find("\r\nPATH, --book PATH: open the book at PATH"), text.npos) << text;
  // A box wraps the text itself, and breaks lines only at CR LF: every line ends a sentence.
  for (size_t at = 0, end = 0; at < text.size(); at = end + 2) {
    end = text.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "no CR LF after " << text.substr(at);
    const std::string line = text.substr(at, end - at);
    EXPECT_TRUE(line.empty() ||
                (line.find('\n') == line.npos && line.find_last_of(".]") == line.size() - 1))
        << line;
  }
}

}  // namespace
}  // namespace tallivan
