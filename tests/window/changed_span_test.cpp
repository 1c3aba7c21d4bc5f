#include "window/changed_span.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <variant>

#include "window/window_texts.h"

namespace tallivan {
namespace {

// The offset where line `index` (0-based) of `text` starts, and where it ends before its CR LF.
std::pair<size_t, size_t> LineBounds(std::u16string_view text, int index) {
  size_t start = 0;
  for (int i = 0; i < index; ++i) start = text.find(u"\r\n", start) + 2;
  return {start, std::min(text.find(u"\r\n", start), text.size())};
}

TEST(ChangedSpanTest, CoversTheFirstToTheLastChangedLineAndSplicesToTheRecalculatedText) {
  const std::u16string up_to_date = u"a [1]\r\n#  (1.00) ,  1.00\r\n";
  // Each text, and the first and the last line that change (-1: none).
  const std::tuple<std::u16string, int, int> cases[] = {
      {std::u16string(kSampleText), 1, 8},
      {up_to_date, -1, -1},
      {up_to_date + u"b [2]\r\n#\r\nc [-2]\r\n#  (-2.00) ,  1.00", 3, 3},
      {u"#\r\nx\ry\nz\u2028 [1]\r\n" + up_to_date + u"#", 0, 4},
      {u"\xD800 [3]\r\n#old", 1, 1},
  };
  for (const auto& [text, first_changed, last_changed] : cases) {
    const std::optional<SpanReplacement> span =
        ChangedSpan(text, std::get<Edits>(RecalculateEdits(text)));
    ASSERT_EQ(span.has_value(), first_changed >= 0) << first_changed;
    if (!span) continue;
    EXPECT_EQ(span->start, LineBounds(text, first_changed).first);
    EXPECT_EQ(span->start + span->length, LineBounds(text, last_changed).second);
    std::u16string spliced = text;
    spliced.replace(span->start, span->length, span->text);
    EXPECT_TRUE(spliced == std::get<std::u16string>(Recalculate(text))) << first_changed;
  }
}

}  // namespace
}  // namespace tallivan
