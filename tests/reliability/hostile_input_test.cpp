// Very long and deliberately hostile books; how long they take is measured in the benchmarks.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <variant>

#include "ledger/ledger.h"
#include "storage/book.h"
#include "test_files.h"

namespace tallivan {
namespace {

TEST(HostileInputTest, EachBookWorksOrIsRefusedWithAReason) {
  constexpr size_t kLong = 10'000'000;
  const std::u16string filler(kLong, u'x'), zeros(kLong, u'0'), blanks(kLong, u' ');
  const std::u16string opens(100'000, u'['), subtotals = Repeat(u"\r\n#", 1'000'000);
  const std::u16string halves = Repeat(u"2 0.5 ", 50'000), tens = Repeat(u"10 ", 100'000);
  const std::u16string meal = u"午饭 lunch [12.5] // 备注\r\n";
  const size_t meals = 100 * 1024 * 1024 / meal.size();  // 200 MB of them
  const struct {
    std::string name;
    std::u16string text;
    std::u16string tail;               // accepted: what replaces the text from its first "#" on
    std::optional<ErrorNumber> fault;  // refused: the error number, kNone for an unmatched bracket
    int64_t offset = 0;                // refused: where the refused line starts
  } cases[] = {
      {"10M words, then a bracket", filler + u" [2 3.5]\r\n#", u"#  (7.00) ,  7.00"},
      {"1.6M brackets on a line", Repeat(u"a [1] ", kLong / 6) + u"\r\n#",
       u"#  (1666666.00) ,  1666666.00"},
      {"10M leading zeros", u"[" + zeros + u"1.5]\r\n#", u"#  (1.50) ,  1.50"},
      {"a comment of 10M", u"[1] //" + filler + u"[", u""},
      {"a numeral of 10M digits", u"x\r\n[1" + zeros + u"]\r\n#", u"", ErrorNumber::kTypeMismatch,
       3},
      {"10M blanks in a bracket", u"[" + blanks + u"]", u"", ErrorNumber::kEmptyBracket, 0},
      {"unclosed, then 10M", u"[1]\r\n[" + filler, u"", ErrorNumber::kNone, 5},
      {"100k factors", u"[" + halves + u"]\r\n#", u"#  (1.00) ,  1.00"},
      {"100k factors overflow", u"[" + tens + u"]", u"", ErrorNumber::kOverflow, 0},
      {"1M subtotal lines", u"[1.5]" + subtotals,
       u"#  (1.50) ,  1.50" + Repeat(u"\r\n#  (0.00) ,  1.50", 999'999)},
      {"a bad line after them", u"[1]" + subtotals + u"\r\n[x]", u"", ErrorNumber::kTypeMismatch,
       3'000'005},
      {"100k [ opened", u"[1]\r\n" + opens, u"", ErrorNumber::kNone, 5},
      {"100k [ opened and closed", opens + u"1" + std::u16string(100'000, u']'), u"",
       ErrorNumber::kNone, 0},
      {"100k [ in a comment", u"[1] //" + opens + u"\r\n#", u"#  (1.00) ,  1.00"},
      {"a book of 200 MB", Repeat(meal, meals) + u"#", u"#  (56987825.00) ,  56987825.00"},
  };
  QTemporaryDir dir;
  const QString book = BookPathIn(dir.path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(SaveBook(book, c.text).ok());
    const Result<std::u16string> loaded = LoadBook(book);
    ASSERT_TRUE(loaded.ok() && loaded.value() == c.text);
    const RecalcOutcome outcome = Recalculate(loaded.value());
    if (const auto* text = std::get_if<std::u16string>(&outcome)) {
      ASSERT_FALSE(c.fault) << "accepted";
      EXPECT_TRUE(*text == c.text.substr(0, c.text.find(u'#')) + c.tail);
      EXPECT_TRUE(std::get<std::u16string>(Recalculate(*text)) == *text) << "changed again";
    } else {
      const Rejection& rejection = std::get<Rejection>(outcome);
      ASSERT_TRUE(c.fault) << rejection.message.english;
      EXPECT_EQ(rejection.fault ? rejection.fault->number : ErrorNumber::kNone, *c.fault);
      EXPECT_EQ(rejection.offset, c.offset);
    }
  }
}

}  // namespace
}  // namespace tallivan
