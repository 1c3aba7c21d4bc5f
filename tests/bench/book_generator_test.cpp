#include "bench/book_generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ledger/ledger.h"

namespace tallivan::bench {
namespace {

std::vector<std::u16string_view> Lines(std::u16string_view text) {
  std::vector<std::u16string_view> lines;
  size_t start = 0;
  for (size_t end; (end = text.find(u"\r\n", start)) != std::u16string_view::npos;
       start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "every line ends with CR LF";
  return lines;
}

TEST(BookGeneratorTest, WritesTheRequestedNumberOfLines) {
  for (const int64_t count : {0, 1, 29, 30, 31, 1000}) {
    EXPECT_EQ(Lines(GenerateBook(count)).size(), static_cast<size_t>(count)) << count;
  }
}

TEST(BookGeneratorTest, SameSeedGivesSameBook) {
  EXPECT_EQ(GenerateBook(500), GenerateBook(500));
  EXPECT_EQ(GenerateBook(500, 7), GenerateBook(500, 7));
  EXPECT_NE(GenerateBook(500, 7), GenerateBook(500, 8));
}

TEST(BookGeneratorTest, EngineAcceptsItAndRewritesEveryThirtiethLine) {
  const int64_t count = 3000;
  const std::u16string book = GenerateBook(count);
  const auto outcome = RecalculateEdits(book);
  ASSERT_TRUE(std::holds_alternative<Edits>(outcome))
      << "rejected at line " << std::get<Rejection>(outcome).line_index;
  const Edits& edits = std::get<Edits>(outcome);
  ASSERT_EQ(edits.size(), static_cast<size_t>(count / 30)) << "every '#' line is stale";
  for (size_t i = 0; i < edits.size(); ++i) {
    EXPECT_EQ(edits[i].line_index, static_cast<int64_t>(i * 30 + 29));
  }
}

TEST(BookGeneratorTest, LooksLikeAPersonalLedger) {
  const std::u16string book = GenerateBook(100000);
  const double bytes_per_line = static_cast<double>(book.size() * 2) / 100000;
  EXPECT_GT(bytes_per_line, 40);
  EXPECT_LT(bytes_per_line, 60);

  int chinese = 0, english = 0, comments = 0, empty = 0;
  int brackets_by_factors[4] = {};
  for (const std::u16string_view line : Lines(book)) {
    if (line.empty()) ++empty;
    if (line.find(u"//") != std::u16string_view::npos) ++comments;
    if (std::any_of(line.begin(), line.end(),
                    [](char16_t c) { return c >= 0x4E00 && c <= 0x9FFF; })) {
      ++chinese;
    }
    if (line.find_first_of(u"abcdefghijklmnopqrstuvwxyz") != std::u16string_view::npos) ++english;
    for (size_t open = 0; (open = line.find(u'[', open)) != std::u16string_view::npos; ++open) {
      const std::u16string_view content = line.substr(open + 1, line.find(u']', open) - open - 1);
      const size_t blanks = std::count(content.begin(), content.end(), u' ');
      ASSERT_LT(blanks, 3u) << "at most three factors";
      ++brackets_by_factors[blanks + 1];
    }
  }
  EXPECT_GT(chinese, 50000);
  EXPECT_GT(english, 50000);
  EXPECT_GT(comments, 3000);
  EXPECT_GT(empty, 1000);
  for (int factors = 1; factors <= 3; ++factors) {
    EXPECT_GT(brackets_by_factors[factors], 1000) << factors << " factors";
  }
}

TEST(BookGeneratorTest, StoresLowByteFirst) {
  const struct {
    std::u16string text;
    std::string bytes;
  } cases[] = {
      {u"", ""},
      {u"ab\r\n", std::string("a\0b\0\r\0\n\0", 8)},
      {u"\u8D26", "\x26\x8D"},
      {u"\uFEFF", "\xFF\xFE"},
  };
  for (const auto& c : cases) EXPECT_EQ(ToUtf16LeBytes(c.text), c.bytes);
}

}  // namespace
}  // namespace tallivan::bench
