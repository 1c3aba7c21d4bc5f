#include "ledger/ledger.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "runtime/numeric.h"

namespace tallivan {
namespace {

constexpr int32_t kNoError = 0;

std::string Utf8(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// --- Brackets ---

TEST(BracketTest, EvaluatesProductsRoundedOnce) {
  struct Case {
    std::u16string content;
    int64_t raw;  // ten-thousandths
  };
  const Case cases[] = {
      {u"", 0},
      {u"2 3.5", 70000},
      {u"  2  3.5 ", 70000},
      {u"-12.5", -125000},
      {u"4 0.25", 10000},
      {u"0.00004", 0},
      {u"0.00004 2", 1},
      {u"1000 0.01", 100000},
      {u"922337203685477", 9223372036854770000},
      {u"-922337203685477", -9223372036854770000},
      {u"+3 -2", -60000},
      // Long numerals go through their doubles, which lie off their decimal value.
      {u"5758186968354.7", 57581869683547002},
      {u"9100256979920.13", 91002569799201309},
      {u"0." + std::u16string(199, u'0') + u"1 0." + std::u16string(199, u'0') + u"1", 0},
  };
  for (const Case& c : cases) {
    const Result<Currency> got = EvaluateBracket(c.content);
    ASSERT_TRUE(got.ok()) << Utf8(c.content);
    EXPECT_EQ(got.value().raw(), c.raw) << Utf8(c.content);
  }
}

TEST(BracketTest, ReportsErrorsByNumber) {
  const std::u16string huge = u"1" + std::u16string(200, u'0');
  struct Case {
    std::u16string content;
    int32_t number;
  };
  const Case cases[] = {
      {u" ", kErrEmptyBracket},
      {u"   ", kErrEmptyBracket},
      {u"2 abc", kErrTypeMismatch},
      {u"abc 2", kErrTypeMismatch},
      {u"2\t3", kErrTypeMismatch},
      {u"1e3", kErrTypeMismatch},
      {u"１", kErrTypeMismatch},
      {u"2 " + std::u16string(400, u'9'), kErrTypeMismatch},
      {u"1000000000000000", kErrOverflow},
      {huge + u" " + huge, kErrOverflow},
      {huge + u" " + huge + u" x", kErrOverflow},  // the overflow comes first
      {u"x " + huge + u" " + huge, kErrTypeMismatch},
  };
  for (const Case& c : cases) {
    const Result<Currency> got = EvaluateBracket(c.content);
    ASSERT_FALSE(got.ok()) << Utf8(c.content);
    EXPECT_EQ(got.error().number, c.number) << Utf8(c.content);
    EXPECT_FALSE(got.error().description.empty());
  }
}

// A bracket of one numeral is read as its double rounded to four decimals, whichever way the
// evaluator gets there; short numerals with few decimals are where a shortcut would slip.
TEST(BracketTest, ReadsLoneNumeralsAsTheirRoundedDoubles) {
  std::mt19937_64 rng(424242);
  auto digits = [&](int count) {
    std::u16string out;
    for (int i = 0; i < count; ++i) out += static_cast<char16_t>(u'0' + rng() % 10);
    return out;
  };
  for (int i = 0; i < 300000; ++i) {
    std::u16string numeral = rng() % 8 == 0 ? u"-" : (rng() % 8 == 0 ? u"+" : u"");
    numeral += digits(static_cast<int>(rng() % 17));
    if (rng() % 4 != 0) {
      numeral += u'.';
      numeral += digits(static_cast<int>(rng() % 7));
    }
    if (!IsNumeric(numeral)) continue;
    const Result<Currency> expected = Currency::FromDouble(*ParseNumeric(numeral));
    const Result<Currency> got = EvaluateBracket(numeral);
    ASSERT_EQ(got.ok(), expected.ok()) << Utf8(numeral);
    if (got.ok()) {
      ASSERT_EQ(got.value().raw(), expected.value().raw()) << Utf8(numeral);
    }
  }
}

// --- Lines ---

TEST(ScanTest, ReadsLineAmountsAndFirstFaultWins) {
  struct Case {
    std::u16string line;
    ScanStatus status;
    int64_t raw;     // the amount on success
    int32_t number;  // the fault's error number on rejection, kNoError for none
  };
  const Case cases[] = {
      {u"coffee [2 3.5]", kScanOk, 70000, kNoError},
      {u"coffee [2] cake [3.5]", kScanOk, 55000, kNoError},
      {u"refund [-12.5]", kScanOk, -125000, kNoError},
      {u"[0.00004] [0.00004]", kScanOk, 0, kNoError},
      {u"[0.00004 2]", kScanOk, 1, kNoError},
      {u"no amount", kScanOk, 0, kNoError},
      {u"", kScanOk, 0, kNoError},
      {u"[]", kScanOk, 0, kNoError},
      {u"［2］", kScanOk, 0, kNoError},
      {u"[ ]", kScanRejected, 0, kErrEmptyBracket},
      {u"[2 x]", kScanRejected, 0, kErrTypeMismatch},
      {u"[1000000000000000]", kScanRejected, 0, kErrOverflow},
      {u"[900000000000000] [900000000000000]", kScanRejected, 0, kErrOverflow},
      {u"[2", kScanRejected, 0, kNoError},
      {u"2]", kScanRejected, 0, kNoError},
      {u"[[2]]", kScanRejected, 0, kNoError},
      {u"[2]]", kScanRejected, 0, kNoError},
      {u"[word] ]", kScanRejected, 0, kErrTypeMismatch},
      {u"] [word]", kScanRejected, 0, kNoError},
      {u"[2] [word", kScanRejected, 0, kNoError},
  };
  for (const Case& c : cases) {
    Currency amount = Currency::FromRaw(-777);
    std::optional<Error> fault;
    ASSERT_EQ(ScanLineAmount(c.line, amount, fault), c.status) << Utf8(c.line);
    if (c.status == kScanOk) {
      EXPECT_EQ(amount.raw(), c.raw) << Utf8(c.line);
      EXPECT_FALSE(fault.has_value());
    } else {
      EXPECT_EQ(amount.raw(), -777) << "a rejection leaves the amount alone: " << Utf8(c.line);
      EXPECT_EQ(fault ? fault->number : kNoError, c.number) << Utf8(c.line);
    }
  }
}

TEST(ClassifyTest, TrimsBlanksOnlyAndSpotsNumberSigns) {
  struct Case {
    std::u16string line;
    LineKind kind;
    std::u16string trimmed;
  };
  const Case cases[] = {
      {u"#", LineKind::SubtotalLine, u"#"},
      {u"  # old 1.00  ", LineKind::SubtotalLine, u"# old 1.00"},
      {u"\t#", LineKind::EntryLine, u"\t#"},
      {u"a #", LineKind::EntryLine, u"a #"},
      {u"＃", LineKind::EntryLine, u"＃"},
      {u"\u3000#", LineKind::EntryLine, u"\u3000#"},
      {u"   ", LineKind::EntryLine, u""},
      {u"", LineKind::EntryLine, u""},
      {u"\n#", LineKind::EntryLine, u"\n#"},
  };
  for (const Case& c : cases) {
    std::u16string_view line = c.line;
    EXPECT_EQ(ClassifyLine(line), c.kind) << Utf8(c.line);
    EXPECT_EQ(line, c.trimmed) << Utf8(c.line);
  }
}

TEST(MessageTest, MapsFaultsToBilingualBodies) {
  EXPECT_EQ(RejectionMessage(Error{kErrOverflow, "x"}).Body(),
            "Number / result is too big.\r\n数字/计算结果太大。");
  EXPECT_EQ(RejectionMessage(Error{kErrEmptyBracket, "x"}).Body(),
            "Empty Bracket.\r\n括号里是空的。");
  EXPECT_EQ(RejectionMessage(Error{kErrTypeMismatch, "x"}).Body(),
            "Something invalid in the Bracket.\r\n括号中有内容不可识别。");
  EXPECT_EQ(RejectionMessage(Error{7, "Out of memory"}).Body(), "Out of memory");
  for (const int32_t number : {kErrOverflow, kErrEmptyBracket, kErrTypeMismatch, 7}) {
    EXPECT_EQ(RejectionMessage(Error{number, "x"}).title, "Invalid content - 内容有误");
  }
}

// --- Whole passes ---

std::u16string Accepted(std::u16string_view text, std::u16string_view separator = u".") {
  RecalcOutcome outcome = Recalculate(text, separator);
  EXPECT_TRUE(std::holds_alternative<std::u16string>(outcome)) << Utf8(text);
  return std::holds_alternative<std::u16string>(outcome) ? std::get<std::u16string>(outcome)
                                                         : std::u16string();
}

Rejection Rejected(std::u16string_view text) {
  RecalcOutcome outcome = Recalculate(text);
  EXPECT_TRUE(std::holds_alternative<Rejection>(outcome)) << Utf8(text);
  return std::holds_alternative<Rejection>(outcome) ? std::get<Rejection>(outcome) : Rejection{};
}

TEST(RecalculateTest, RewritesSubtotalLines) {
  struct Case {
    std::u16string text;
    std::u16string expected;
  };
  const Case cases[] = {
      {u"a [12.5]\r\nb [3] // note [99]\r\n  # old words\r\nc [-3]\r\n#",
       u"a [12.5]\r\nb [3] // note [99]\r\n#  (15.50) ,  15.50\r\nc [-3]\r\n#  (-3.00) ,  12.50"},
      {u"[0.004]\r\n[0.004]\r\n#\r\n[0.004]\r\n#",
       u"[0.004]\r\n[0.004]\r\n#  (0.01) ,  0.01\r\n[0.004]\r\n#  (0.00) ,  0.01"},
      {u"no subtotal [5]\r\nat all", u"no subtotal [5]\r\nat all"},
      {u"#\r\n#", u"#  (0.00) ,  0.00\r\n#  (0.00) ,  0.00"},
      {u"[2]\r\n#\r\n#", u"[2]\r\n#  (2.00) ,  2.00\r\n#  (0.00) ,  2.00"},
      {u"[1]\r\n# [5] // x [7]\r\n# old", u"[1]\r\n#  (1.00) ,  1.00\r\n#  (0.00) ,  1.00"},
      {u"[1]\r\n\t#\r\nx #\r\n＃\r\n[2] // # c\r\n#",
       u"[1]\r\n\t#\r\nx #\r\n＃\r\n[2] // # c\r\n#  (3.00) ,  3.00"},
      {u"   \r\n// only [9]\r\n#", u"   \r\n// only [9]\r\n#  (0.00) ,  0.00"},
      {u"[1]\n# stays\r\n#", u"[1]\n# stays\r\n#  (1.00) ,  1.00"},
      {u"[1] after //[2]\r\n#\r\n", u"[1] after //[2]\r\n#  (1.00) ,  1.00\r\n"},
      {u"[1]\r\n#\r\n[2]", u"[1]\r\n#  (1.00) ,  1.00\r\n[2]"},
      {u"\r\n\r\n", u"\r\n\r\n"},
      {u"x\r#", u"x\r#"},
      {u"[-0.001]\r\n#", u"[-0.001]\r\n#  (0.00) ,  0.00"},
      {u"#  (1.00) ,  1.00", u"#  (0.00) ,  0.00"},
  };
  for (const Case& c : cases) {
    const std::u16string once = Accepted(c.text);
    EXPECT_EQ(once, c.expected) << Utf8(c.text);
    EXPECT_EQ(Accepted(once), once) << "recomputing is stable: " << Utf8(c.text);
  }
}

TEST(RecalculateTest, KeepsTheSampleTextsFigures) {
  const std::u16string sample =
      u"买了一支笔[0.01]\r\n#\r\n退了一支笔[-0.01]\r\n#\r\n这行不算 //注释里的数[1000]\r\n#\r\n\r\n"
      u"一千分[1000 0.01]~\r\n#\r\n\r\n按下F1-F12任意一个键...\r\nPress any key between F1 and "
      u"F12...\r\n";
  const std::u16string expected =
      u"买了一支笔[0.01]\r\n#  (0.01) ,  0.01\r\n退了一支笔[-0.01]\r\n#  (-0.01) ,  0.00\r\n"
      u"这行不算 //注释里的数[1000]\r\n#  (0.00) ,  0.00\r\n\r\n一千分[1000 0.01]~\r\n"
      u"#  (10.00) ,  10.00\r\n\r\n按下F1-F12任意一个键...\r\nPress any key between F1 and "
      u"F12...\r\n";
  EXPECT_EQ(Accepted(sample), expected);
}

TEST(RecalculateTest, UsesTheGivenDecimalSeparator) {
  EXPECT_EQ(Accepted(u"[2.5]\r\n#", u","), u"[2.5]\r\n#  (2,50) ,  2,50");
}

TEST(RecalculateTest, AcceptsTheEmptyTextUnchanged) {
  EXPECT_EQ(Accepted(u""), u"");
  const auto edits = RecalculateEdits(u"");
  ASSERT_TRUE(std::holds_alternative<Edits>(edits));
  EXPECT_TRUE(std::get<Edits>(edits).empty());
}

TEST(RecalculateTest, RejectsAtTheFirstBadLineWithItsOffset) {
  struct Case {
    std::u16string text;
    int64_t line_index;
    int64_t offset;
    int32_t number;  // kNoError: an unmatched bracket, shown without a message
  };
  const Case cases[] = {
      {u"ab\r\n\r\nbad[\r\n#", 2, 6, kNoError},
      {u"#\r\n  [x]\r\n#", 1, 3, kErrTypeMismatch},
      {u"[1]\r\n#\r\nlater [ ]", 2, 8, kErrEmptyBracket},
      {u"a [1 // 2]\r\n#", 0, 0, kNoError},
      {u"ok [1]\r\n[2] ]", 1, 8, kNoError},
      {u"[900000000000000]\r\n[900000000000000]\r\n#", 1, 19, kErrOverflow},
      {u"[900000000000000]\r\n#\r\n[900000000000000]\r\n#", 2, 22, kErrOverflow},
      {u"[-900000000000000]\r\n#\r\n[-900000000000000]", 2, 23, kErrOverflow},
      {u"x\ry\nz[\r\n#", 0, 0, kNoError},
  };
  for (const Case& c : cases) {
    const Rejection r = Rejected(c.text);
    EXPECT_EQ(r.line_index, c.line_index) << Utf8(c.text);
    EXPECT_EQ(r.offset, c.offset) << Utf8(c.text);
    EXPECT_EQ(r.has_message(), c.number != kNoError) << Utf8(c.text);
    EXPECT_EQ(r.fault ? r.fault->number : kNoError, c.number) << Utf8(c.text);
    EXPECT_EQ(r.message.Body(), RejectionMessage(r.fault).Body());
  }
}

TEST(RecalculateTest, ReportsOnlyChangedSubtotalLines) {
  const std::u16string text = u"[1]\r\n#  (1.00) ,  1.00\r\n[2]\r\n  # stale\r\n#  (0.00) ,  3.00";
  const auto outcome = RecalculateEdits(text);
  ASSERT_TRUE(std::holds_alternative<Edits>(outcome));
  const Edits& edits = std::get<Edits>(outcome);
  ASSERT_EQ(edits.size(), 1u);
  EXPECT_EQ(edits[0].line_index, 3);
  EXPECT_EQ(edits[0].offset, 29);
  EXPECT_EQ(edits[0].old_length, 9);
  EXPECT_EQ(edits[0].new_line, u"#  (2.00) ,  3.00");
  EXPECT_EQ(ApplyEdits(text, edits), std::get<std::u16string>(Recalculate(text)));
}

TEST(RecalculateTest, HandlesManyLinesInOnePass) {
  std::u16string text;
  std::u16string expected;
  for (int i = 1; i <= 20000; ++i) {
    text += u"item [0.25 4]\r\n";
    expected += u"item [0.25 4]\r\n";
    if (i % 100 == 0) {
      text += u"# stale\r\n";
      const std::string total = std::to_string(i);
      expected += u"#  (100.00) ,  " + std::u16string(total.begin(), total.end()) + u".00\r\n";
    }
  }
  EXPECT_EQ(Accepted(text), expected);
}

}  // namespace
}  // namespace tallivan
