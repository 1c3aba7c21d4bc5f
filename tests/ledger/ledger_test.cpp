#include "ledger/ledger.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ledger/line_totals.h"
#include "tests/ledger/plain_ledger.h"

namespace tallivan {
namespace {

constexpr ErrorNumber kNoError = ErrorNumber::kNone;
constexpr int64_t kNoAmount = -777;

std::string Ascii(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out.substr(0, 60);
}

TEST(ScanTest, ReadsLineAmountsAsProductsRoundedOnceAndTheFirstFaultWinsAsThePassDoes) {
  const std::u16string huge = u"1" + std::u16string(200, u'0');
  const std::u16string tiny = u"0." + std::u16string(199, u'0') + u"1";
  const std::tuple<std::u16string, int64_t, ErrorNumber> cases[] = {
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
      {u"[ ]", kNoAmount, ErrorNumber::kEmptyBracket},
      {u"[2 x]", kNoAmount, ErrorNumber::kTypeMismatch},
      {u"[abc 2]", kNoAmount, ErrorNumber::kTypeMismatch},
      {u"[2 " + std::u16string(400, u'9') + u"]", kNoAmount, ErrorNumber::kTypeMismatch},
      {u"[1000000000000000]", kNoAmount, ErrorNumber::kOverflow},
      {u"[" + huge + u" " + huge + u" x]", kNoAmount,
       ErrorNumber::kOverflow},  // the overflow comes first
      {u"[x " + huge + u" " + huge + u"]", kNoAmount, ErrorNumber::kTypeMismatch},
      {u"[900000000000000] [900000000000000]", kNoAmount, ErrorNumber::kOverflow},
      {u"[922337203685477] [1]", kNoAmount, ErrorNumber::kOverflow},
      {u"[+2.] [-.5] [007]", 85000, kNoError},
      {u"[1.2.3]", kNoAmount, ErrorNumber::kTypeMismatch},
      {u"[-]", kNoAmount, ErrorNumber::kTypeMismatch},
      {u"[word] ]", kNoAmount, ErrorNumber::kTypeMismatch},
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

TEST(MessageTest, MapsFaultsToBilingualBodies) {
  const std::pair<std::optional<Error>, std::string> cases[] = {
      {Error{ErrorNumber::kOverflow, "x"}, "Number / result is too big.\r\n数字/计算结果太大。"},
      {Error{ErrorNumber::kEmptyBracket, "x"}, "Empty Bracket.\r\n括号里是空的。"},
      {Error{ErrorNumber::kTypeMismatch, "x"},
       "Something invalid in the Bracket.\r\n括号中有内容不可识别。"},
      {Error{static_cast<ErrorNumber>(7), "Out of memory"}, "Out of memory"},
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
  const std::tuple<std::u16string, int64_t, int64_t, ErrorNumber> cases[] = {
      {u"ab\r\n\r\nbad[\r\n#", 2, 6, kNoError},
      {u"#\r\n  [x]\r\n#", 1, 3, ErrorNumber::kTypeMismatch},
      {u"[1]\r\n#\r\nlater [ ]", 2, 8, ErrorNumber::kEmptyBracket},
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
    overflowed += expected.error == ErrorNumber::kOverflow;
    for (unsigned parts : {1u, 2u, 3u, 8u}) {
      EXPECT_TRUE(plain::Agrees(text, expected, RecalculateEdits(text, u".", Sharing{1, parts})))
          << "round " << round << ", " << parts << " parts";
    }
  }
  EXPECT_GT(accepted, 100);
  EXPECT_GT(overflowed, 50);
}

// The lines of `lines` from `first` to `last` joined by CR LF.
std::u16string Join(const std::vector<std::u16string>& lines, size_t first, size_t last) {
  std::u16string text;
  for (size_t i = first; i <= last && i < lines.size(); ++i) {
    if (i > first) text += u"\r\n";
    text += lines[i];
  }
  return text;
}

// Whether the plain reading takes `line` for a subtotal line: only then do the figures it gets
// depend on the line before.
bool PlainSubtotal(const std::u16string& line) {
  const plain::Outcome one = plain::Read(u"[1]\r\n" + line);
  const plain::Outcome two = plain::Read(u"[2]\r\n" + line);
  return !one.rejected && !two.rejected && one.lines[1] != two.lines[1];
}

// A subtotal line for `sums`, or "none", to compare with the plain reading's lines.
std::u16string Written(const std::optional<LineSums>& sums) {
  if (!sums) return u"none";
  return u"#  (" + Format(sums->group_sum) + u") ,  " + Format(sums->running_total);
}

// Checks every figure `totals` gives for the text made of `lines` against the plain reading:
// the sums at each line, the first rejection, the stale subtotal lines and the entries of
// `selections` (first and last line).
void ExpectPlainFigures(LineTotals& totals, const std::vector<std::u16string>& lines,
                        const std::vector<std::pair<size_t, size_t>>& selections,
                        const std::string& where) {
  const std::u16string text = Join(lines, 0, lines.size());
  ASSERT_EQ(totals.line_count(), std::ssize(lines)) << where;
  const plain::Outcome whole = plain::Read(text);
  const std::optional<Rejection> rejection = totals.FirstRejection();
  const std::variant<Edits, Rejection> got =
      rejection ? std::variant<Edits, Rejection>(*rejection) : Edits{};
  EXPECT_EQ(bool(rejection), bool(whole.rejected)) << where;
  if (rejection) {
    EXPECT_TRUE(plain::Agrees(text, whole, got)) << where;
  }
  int64_t stale = 0;
  for (size_t i = 0; !whole.rejected && i < lines.size(); ++i) stale += whole.lines[i] != lines[i];
  EXPECT_EQ(totals.StaleSubtotals(), stale) << where;
  for (size_t line = 0; line < lines.size(); ++line) {
    // What a subtotal line in place of this one (for a subtotal line) or after it would show.
    const std::u16string before = PlainSubtotal(lines[line])
                                      ? (line == 0 ? u"" : Join(lines, 0, line - 1))
                                      : Join(lines, 0, line);
    const plain::Outcome at = plain::Read(before + u"\r\n#");
    const std::u16string expected = at.rejected ? u"none" : at.lines.back();
    EXPECT_EQ(Ascii(Written(totals.SumsAt(static_cast<int64_t>(line)))), Ascii(expected))
        << where << ", line " << line;
  }
  for (const auto& [first, last] : selections) {
    int64_t count = 0, rejected = 0;
    std::u16string entries;
    for (size_t i = first; i <= last && i < lines.size(); ++i) {
      if (plain::Read(lines[i]).rejected) {
        ++rejected;
      } else if (!PlainSubtotal(lines[i])) {
        count += lines[i].substr(0, lines[i].find(u"//")).find(u'[') != std::u16string::npos;
        entries += lines[i] + u"\r\n";
      }
    }
    const plain::Outcome sum = plain::Read(entries + u"#");
    const EntrySum got_sum =
        totals.SumRange(static_cast<int64_t>(first), static_cast<int64_t>(last));
    EXPECT_EQ(got_sum.count, count) << where << ", lines " << first << "-" << last;
    EXPECT_EQ(got_sum.rejected, rejected) << where << ", lines " << first << "-" << last;
    EXPECT_EQ(got_sum.overflow, sum.rejected.has_value()) << where;
    if (!sum.rejected && !got_sum.overflow) {
      EXPECT_EQ(Ascii(u"#  (" + Format(got_sum.sum) + u") ,  " + Format(got_sum.sum)),
                Ascii(sum.lines.back()))
          << where << ", lines " << first << "-" << last;
    }
  }
}

std::vector<std::u16string> Lines(std::u16string_view text) {
  std::vector<std::u16string> lines;
  for (const std::u16string_view line : plain::SplitLines(text)) lines.emplace_back(line);
  return lines;
}

TEST(LineTotalsTest, FiguresOfBooksCaretsAndSelectionsAgreeWithThePlainReading) {
  const std::u16string huge = u"[900000000000000]";
  const std::u16string_view cases[] = {
      u"lunch [12.80]\r\ncoffee [2 3.5]\r\n# old\r\nrent [1000] // [99]\r\n#",
      u"no subtotal [5]\r\n\r\nat all [-2.5]\r\n",
      u"[1]\r\n#  (1.00) ,  1.00\r\n[2]\r\n#  (2.00) ,  3.00\r\n  #  (0.00) ,  3.00",
      u"[0.004]\r\n#  (0.00) ,  0.00\r\n[-0.004]\r\n#  (-0.00) ,  0.00\r\n#  (0.00) ,  00.00",
      u"[1]\r\n[x]\r\n#\r\n[2",
      u"#\r\n[1] [2\r\n[3]",
      u"[900000000000000]\r\n#\r\n[-900000000000000]\r\n[-900000000000000]\r\n#",
      u"[900000000000000]\r\n[900000000000000]\r\n#\r\n[1]",
      u"[900000000000000] [900000000000000]\r\n#",
      u"a\rb [1]\n\r\n\u3000# [2]\r\n＃\r\n\t#\r\nx #\r\n\n# [3]\r\n[ ]\r\n#",
      u"[]\r\n#  (0.00) ,  0.00",
      u"",
  };
  int index = 0;
  for (const std::u16string_view text : cases) {
    LineTotals totals(text);
    const std::vector<std::u16string> lines = Lines(text);
    std::vector<std::pair<size_t, size_t>> selections;
    for (size_t first = 0; first < lines.size(); ++first) {
      for (size_t last = first; last < lines.size(); ++last) selections.emplace_back(first, last);
    }
    ExpectPlainFigures(totals, lines, selections, "case " + std::to_string(index++));
  }
}

TEST(LineTotalsTest, KnowsStaleSubtotalLinesWrittenWithTheLocalesSeparator) {
  const std::tuple<std::u16string, std::u16string, int64_t> cases[] = {
      {u"[1.5]\r\n#  (1,50) ,  1,50", u",", 0},
      {u"[1.5]\r\n#  (1.50) ,  1.50", u",", 1},
      {u"[1.5]\r\n#  (1.50) ,  1.50", u".", 0},
      {u"[-1.5]\r\n#  (-1٫50) ,  -1٫50\r\n#  (0٫00) ,  -1٫50", u"٫", 0},
      {u"[1.5]\r\n#  (1,50) ,  1,50 ", u",", 1},
  };
  for (const auto& [text, separator, stale] : cases) {
    LineTotals totals(text, separator);
    EXPECT_EQ(totals.StaleSubtotals(), stale) << Ascii(text);
    const auto edits = std::get<Edits>(RecalculateEdits(text, separator));
    EXPECT_EQ(std::ssize(edits), stale) << "as the pass counts them: " << Ascii(text);
  }
}

TEST(LineTotalsTest, KeepsAgreeingWithThePlainReadingThroughRandomEdits) {
  std::mt19937_64 rng(20261207);
  int rejected = 0, overflowed = 0, stale = 0;
  for (int round = 0; round < 120; ++round) {
    std::vector<std::u16string> lines =
        Lines(RandomLedger(rng, 1 + static_cast<int>(rng() % 40), round % 3 * 4));
    LineTotals totals(Join(lines, 0, lines.size()));
    for (int edit = 0; edit < 6; ++edit) {
      const size_t first = rng() % (lines.size() + 1);
      const size_t removed = std::min<size_t>(rng() % 4, lines.size() - first);
      std::vector<std::u16string> added =
          Lines(RandomLedger(rng, 1 + static_cast<int>(rng() % 3), round % 3 * 4));
      if (added.empty()) added.emplace_back();
      totals.ReplaceLines(static_cast<int64_t>(first), static_cast<int64_t>(removed),
                          Join(added, 0, added.size()));
      lines.erase(lines.begin() + first, lines.begin() + first + removed);
      lines.insert(lines.begin() + first, added.begin(), added.end());
      // Carets and selections are asked for in a random order, and the figures carried lazily.
      totals.SumsAt(static_cast<int64_t>(rng() % lines.size()));
      std::vector<std::pair<size_t, size_t>> selections;
      for (int s = 0; s < 4; ++s) {
        const size_t a = rng() % lines.size(), b = rng() % lines.size();
        selections.emplace_back(std::min(a, b), std::max(a, b));
      }
      ExpectPlainFigures(totals, lines, selections,
                         "round " + std::to_string(round) + " edit " + std::to_string(edit));
      const plain::Outcome outcome = plain::Read(Join(lines, 0, lines.size()));
      rejected += outcome.rejected.has_value();
      overflowed += outcome.error == ErrorNumber::kOverflow;
      stale += totals.StaleSubtotals() > 0;
    }
  }
  EXPECT_GT(rejected, 50);
  EXPECT_GT(overflowed, 20);
  EXPECT_GT(stale, 50);
}

}  // namespace
}  // namespace tallivan
