#include "runtime/visible_text.h"

#include <gtest/gtest.h>

#include <string>

namespace tallivan {
namespace {

using namespace std::string_literals;

TEST(VisibleTextTest, ShowsWhatCouldChangeHowTextIsShown) {
  // {text, as shown}
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      // The tab, printable ASCII, Chinese, an emoji, U+FFFF and U+10FFFF are kept.
      {"a\tb ~ 账本 😀 \xEF\xBF\xBF \xF4\x8F\xBF\xBF",
       "a\tb ~ 账本 😀 \xEF\xBF\xBF \xF4\x8F\xBF\xBF"},
      {"\x1B]0;title\x07\x1B[2J", "␛]0;title␇␛[2J"},
      {"a\0\r\nb\x1F\x7F"s, "a␀␍␊b␟␡"},
      // C1 controls, but not the no-break space after them.
      {"\xC2\x80\xC2\x9B\xC2\x9F\xC2\xA0", "<U+0080><U+009B><U+009F>\xC2\xA0"},
      // Embeddings, overrides and isolates, but not the marks and separators beside them.
      {"\u202A\u202E\u2066\u2069 \u200F\u2029\u202F\u2065\u206A",
       "<U+202A><U+202E><U+2066><U+2069> \u200F\u2029\u202F\u2065\u206A"},
      // Stray continuation bytes and bytes no sequence starts with.
      {"\x80x\xBF\xC1\xF5\x80\x80\x80\xFF", "<0x80>x<0xBF><0xC1><0xF5><0x80><0x80><0x80><0xFF>"},
      // Overlong forms, a surrogate and a code point beyond U+10FFFF.
      {"\xC0\xAF\xE0\x9F\xBF\xF0\x8F\xBF\xBF",
       "<0xC0><0xAF><0xE0><0x9F><0xBF><0xF0><0x8F><0xBF><0xBF>"},
      {"\xED\xA0\x80\xF4\x90\x80\x80", "<0xED><0xA0><0x80><0xF4><0x90><0x80><0x80>"},
      // Sequences cut short, inside the text and at its end.
      {"\xE8\xB4x\xF0\x9F\x98\xE8\xB4", "<0xE8><0xB4>x<0xF0><0x9F><0x98><0xE8><0xB4>"},
      {"\xE8\xB4\xA6\xE8\xC2\x85", "账<0xE8><U+0085>"},
  };
  for (const auto& [text, shown] : cases) {
    EXPECT_EQ(VisibleText(text), shown) << ::testing::PrintToString(text);
  }
}

}  // namespace
}  // namespace tallivan
