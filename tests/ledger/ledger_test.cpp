#include "ledger/ledger.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/ledger/plain_ledger.h"

namespace tallivan {
namespace {

constexpr int32_t kNoError = 0;
constexpr int64_t kNoAmount = -777;

std::string Ascii(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out.substr(0, 60);
}

TEST(ScanTest, ReadsLineAmountsAsProductsRoundedOnceAndTheFirstFaultWinsAsThePassDoes) {
  const std::u16string huge = u"1" + std::u16string(200, u'0');
  const std::u16string tiny = u"0." + std::u16string(199, u'0') + u"1";
  const std::tuple<std::u16string, int64_t, int32_t> cases[] = {
      {u"coffee [  2  3.5 ]", 70000, kNoError},
      {u"1/2 kg [3]", 30000, kNoError},
      {u"[4 0.25]", 10000, kNoError},
      {u"[-1.2345]", -12345, kNoError},
      {u"[0.00015]", 1, kNoError},  // the double is just below 1.5 ten-thousandths
      {u"[0.00004 2]", 1, kNoError},
      {u"[0.00004] [0.00004]", 0, kNoError},
      {u"[+3 -2]", -60000, kNoError},
      {u"[922337203685477]", 9223372036854770000, kNoError},
      {u"[5758186968354.7]", 57581869683547002, kNoError},  // the double lies off the decimal
      {u"[" + tiny + u" " + tiny + u"]", 0, kNoError},
      {u"[-0." + std::u16string(400, u'0') + u"1 3]", 0, kNoError},  // below a double's range
      {u"no amount", 0, kNoError},
      {u"[]", 0, kNoError},
      {u"［2］", 0, kNoError},
      {u"[ ]", kNoAmount, kErrEmptyBracket},
      {u"[2 x]", kNoAmount, kErrTypeMismatch},
      {u"[abc 2]", kNoAmount, kErrTypeMismatch},
      {u"[2\t3]", kNoAmount, kErrTypeMismatch},
      {u"[1e3]", kNoAmount, kErrTypeMismatch},
      {u"[2 " + std::u16string(400, u'9') + u"]", kNoAmount, kErrTypeMismatch},
      {u"[1000000000000000]", kNoAmount, kErrOverflow},
      {u"[" + huge + u" " + huge + u" x]", kNoAmount, kErrOverflow},  // the overflow comes first
      {u"[x " + huge + u" " + huge + u"]", kNoAmount, kErrTypeMismatch},
      {u"[900000000000000] [900000000000000]", kNoAmount, kErrOverflow},
      {u"[922337203685477] [1]", kNoAmount, kErrOverflow},
      {u"[+2.] [-.5] [007]", 85000, kNoError},
      {u"[1.2.3]", kNoAmount, kErrTypeMismatch},
      {u"[-]", kNoAmount, kErrTypeMismatch},
      {u"[word] ]", kNoAmount, kErrTypeMismatch},
      {u"[2", kNoAmount, kNoError},
      {u"2]", kNoAmount, kNoError},
      {u"a [x [2]", kNoAmount, kNoError},
      {u"[2]]", kNoAmount, kNoError},
      {u"] [word]", kNoAmount, kNoError},
      {u"[2] [word", kNoAmount, kNoError},
  };
  for (const auto& [line, raw, number] : cases) {
    Currency amount = Currency::FromRaw(kNoAmount);
    std::optional<Error> fault;
    const ScanStatus status = ScanLineAmount(line, amount, fault);
    EXPECT_EQ(status, raw == kNoAmount ? kScanRejected : kScanOk) << Ascii(line);
    EXPECT_EQ(amount.raw(), raw) << "a rejection leaves the amount alone: " << Ascii(line);
    EXPECT_EQ(fault ? fault->number : kNoError, number) << Ascii(line);
    const std::u16string text = line + u"\r\n#";
    EXPECT_TRUE(plain::Agrees(text, plain::Read(text), RecalculateEdits(text)))
        << "the pass reads it as the plain reading does: " << Ascii(line);
  }
}

TEST(ClassifyTest, TrimsBlanksOnlyAndSpotsLeadingNumberSigns) {
  const std::tuple<std::u16string, LineKind, std::u16string> cases[] = {
      {u"  # old 1.00  ", LineKind::SubtotalLine, u"# old 1.00"},
      {u"\t#", LineKind::EntryLine, u"\t#"},
      {u"a #", LineKind::EntryLine, u"a #"},
      {u"＃", LineKind::EntryLine, u"＃"},
      {u"\u3000#", LineKind::EntryLine, u"\u3000#"},
      {u"\n#", LineKind::EntryLine, u"\n#"},
      {u"   ", LineKind::EntryLine, u""},
  };
  for (const auto& [text, kind, trimmed] : cases) {
    std::u16string_view line = text;
    EXPECT_EQ(ClassifyLine(line), kind) << Ascii(text);
    EXPECT_EQ(line, trimmed) << Ascii(text);
  }
}

TEST(MessageTest, MapsFaultsToBilingualBodies) {
  const std::pair<std::optional<Error>, std::string> cases[] = {
      {Error{kErrOverflow, "x"}, "Number / result is too big.\r\n数字/计算结果太大。"},
      {Error{kErrEmptyBracket, "x"}, "Empty Bracket.\r\n括号里是空的。"},
      {Error{kErrTypeMismatch, "x"}, "Something invalid in the Bracket.\r\n括号中有内容不可识别。"},
      {Error{7, "Out of memory"}, "Out of memory"},
      {std::nullopt, "Unmatched bracket.\r\n括号不配对。"},
  };
  for (const auto& [fault, body] : cases) {
    EXPECT_EQ(RejectionMessage(fault).Body(), body);
    EXPECT_EQ(RejectionMessage(fault).title, "Invalid content - 内容有误");
  }
}

TEST(RecalculateTest, RewritesSubtotalLinesAndIsStable) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"a [12.5]\r\nb [3] // note [99]\r\n  # old words\r\nc [-3]\r\n#",
       u"a [12.5]\r\nb [3] // note [99]\r\n#  (15.50) ,  15.50\r\nc [-3]\r\n#  (-3.00) ,  12.50"},
      {u"[0.004]\r\n[0.004]\r\n#\r\n[0.004]\r\n#",
       u"[0.004]\r\n[0.004]\r\n#  (0.01) ,  0.01\r\n[0.004]\r\n#  (0.00) ,  0.01"},
      {u"no subtotal [5]\r\n\r\nat all\r\n", u"no subtotal [5]\r\n\r\nat all\r\n"},
      {u"", u""},
      {u"[1]\r\n# [5] // x [7]\r\n#  (1.00) ,  1.00",
       u"[1]\r\n#  (1.00) ,  1.00\r\n#  (0.00) ,  1.00"},
      {u"[1]\r\n\t#\r\n\u3000# [2]\r\nx #\r\n＃\r\n[2] // # c\r\n   \r\n// [9]\r\n#",
       u"[1]\r\n\t#\r\n\u3000# [2]\r\nx #\r\n＃\r\n[2] // # c\r\n   \r\n// [9]\r\n#  (5.00) ,  "
       u"5.00"},
      {u"[1]\n# stays\rx // c\r[5]\r\n # old\rx [9]\r\n#\r\n",
       u"[1]\n# stays\rx // c\r[5]\r\n#  (1.00) ,  1.00\r\n#  (0.00) ,  1.00\r\n"},
  };
  for (const auto& [text, expected] : cases) {
    const RecalcOutcome once = Recalculate(text);
    ASSERT_TRUE(std::holds_alternative<std::u16string>(once)) << Ascii(text);
    EXPECT_EQ(std::get<std::u16string>(once), expected) << Ascii(text);
    EXPECT_TRUE(std::get<Edits>(RecalculateEdits(expected)).empty()) << Ascii(text);
  }
}

TEST(RecalculateTest, RejectsAtTheFirstBadLineWithItsOffset) {
  const std::tuple<std::u16string, int64_t, int64_t, int32_t> cases[] = {
      {u"ab\r\n\r\nbad[\r\n#", 2, 6, kNoError},
      {u"#\r\n  [x]\r\n#", 1, 3, kErrTypeMismatch},
      {u"[1]\r\n#\r\nlater [ ]", 2, 8, kErrEmptyBracket},
      {u"a [1 // 2]\r\n#", 0, 0, kNoError},
      {u"x\ry\nz[\r\n#", 0, 0, kNoError},
  };
  for (const auto& [text, line_index, offset, number] : cases) {
    const RecalcOutcome outcome = Recalculate(text);
    ASSERT_TRUE(std::holds_alternative<Rejection>(outcome)) << Ascii(text);
    const Rejection& r = std::get<Rejection>(outcome);
    EXPECT_EQ(r.line_index, line_index) << Ascii(text);
    EXPECT_EQ(r.offset, offset) << Ascii(text);
    EXPECT_EQ(r.fault ? r.fault->number : kNoError, number) << Ascii(text);
    const std::optional<Rejection> read = ReadLines(text, [](const LineFigures&) {});
    ASSERT_TRUE(read) << "ReadLines rejects it too: " << Ascii(text);
    EXPECT_EQ(std::tie(read->line_index, read->offset, read->fault),
              std::tie(r.line_index, r.offset, r.fault));
  }
}

TEST(ReadLinesTest, TellsEachLinesRoleAndFigures) {
  // Roles: E entry, S subtotal, O other; figures in ten-thousandths (for a subtotal line, the
  // group sum and the running total).
  const std::tuple<std::u16string, std::string, std::vector<int64_t>> cases[] = {
      {u"coffee [2 3.5]\r\n  # old [9]\r\n\r\n   \r\n// [5]\r\nMarch\r\n[]\r\n#",
       "ESOOOOES",
       {70000, 70000, 70000, 0, 0, 70000}},
      {u"[-0.005] x // [1]\r\n＃\r\n［2］\r\na\rb\nc [1]\r\n#\r\n#\r\n",
       "EOOESSO",
       {-50, 10000, 9950, 9950, 0, 9950}},
  };
  for (const auto& [text, roles, figures] : cases) {
    std::string got_roles;
    std::vector<int64_t> got_figures;
    const std::optional<Rejection> rejection = ReadLines(text, [&](const LineFigures& line) {
      got_roles += "ESO"[static_cast<int>(line.role)];
      if (line.role == LineRole::kEntry) got_figures.push_back(line.amount.raw());
      if (line.role == LineRole::kSubtotal) {
        got_figures.insert(got_figures.end(), {line.group_sum.raw(), line.running_total.raw()});
      }
      EXPECT_TRUE(line.role == LineRole::kEntry || line.amount == Currency());
    });
    EXPECT_FALSE(rejection) << Ascii(text);
    EXPECT_EQ(got_roles, roles) << Ascii(text);
    EXPECT_EQ(got_figures, figures) << Ascii(text);
  }
}

// A ledger of `lines` random lines: amounts of either sign, `huge_percent` of them so large that
// the text may overflow, with comments, stale subtotal lines, now and then a faulty line, lone CRs
// and LFs.
std::u16string RandomLedger(std::mt19937_64& rng, int lines, uint64_t huge_percent) {
  const std::u16string_view others[] = {
      u"",  u"  ",  u"// [5]", u"[1 2] // [x", u"a\rb [1]\n", u"  # old // [9]",
      u"#", u"[x]", u"[ ]",    u"[2",          u"2]"};
  std::u16string text;
  for (int i = 0; i < lines; ++i) {
    if (i > 0) text += u"\r\n";
    const uint64_t pick = rng() % 100;
    if (pick < 70) {
      const bool huge = pick < huge_percent;
      const int64_t units = huge ? 400000000000000 : static_cast<int64_t>(rng() % 100000);
      text += rng() % 2 ? u"item [-" : u"item [";
      for (char c : std::to_string(units)) text += static_cast<char16_t>(c);
      text += rng() % 2 ? u".25]" : u" 2]";
    } else {
      const size_t kinds = std::size(others);
      text += others[rng() % 40 == 0 ? rng() % kinds : rng() % (kinds - 4)];
    }
  }
  if (rng() % 2) text += u"\r\n";
  return text;
}

TEST(RecalculateTest, GivesTheOutcomeOfAPlainReadingHoweverTheTextIsShared) {
  std::mt19937_64 rng(20261206);
  int accepted = 0, overflowed = 0;
  for (int round = 0; round < 400; ++round) {
    const std::u16string text = RandomLedger(rng, 1 + static_cast<int>(rng() % 300), round % 2 * 6);
    const plain::Outcome expected = plain::Read(text);
    accepted += !expected.rejected;
    overflowed += expected.error == kErrOverflow;
    for (unsigned parts : {1u, 2u, 3u, 8u}) {
      EXPECT_TRUE(plain::Agrees(text, expected, RecalculateEdits(text, u".", Sharing{1, parts})))
          << "round " << round << ", " << parts << " parts";
    }
  }
  EXPECT_GT(accepted, 100);
  EXPECT_GT(overflowed, 50);
}

}  // namespace
}  // namespace tallivan
