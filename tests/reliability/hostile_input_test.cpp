// Very long and deliberately hostile input: each case either works or is refused with a clear
// reason, and nothing crashes. How long they take is measured outside the tests.

#include <gtest/gtest.h>

#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "ledger/ledger.h"
#include "storage/book.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

std::u16string Repeat(std::u16string_view piece, size_t times) {
  std::u16string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// The pieces joined.
std::u16string Cat(std::initializer_list<std::u16string_view> pieces) {
  std::u16string out;
  for (std::u16string_view piece : pieces) out.append(piece);
  return out;
}

// The last line of a text (after its last CR LF).
std::u16string_view LastLine(std::u16string_view text) {
  const size_t at = text.rfind(u"\r\n");
  return at == std::u16string_view::npos ? text : text.substr(at + 2);
}

std::string Ascii(std::u16string_view s) {
  std::string out;
  for (char16_t c : s.substr(0, 60)) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// What a recalculation of a hostile text must come to.
struct Expectation {
  std::string name;
  std::u16string text;
  std::u16string last_line;      // when accepted: the last line of the new text
  std::optional<int32_t> fault;  // when rejected: the error number, or 0 for an unmatched bracket
  int64_t offset = 0;            // when rejected: where the rejected line starts
};

Expectation Accepts(std::string name, std::u16string text, std::u16string last_line) {
  return Expectation{std::move(name), std::move(text), std::move(last_line), std::nullopt, 0};
}

Expectation Rejects(std::string name, std::u16string text, int32_t fault, int64_t offset) {
  return Expectation{std::move(name), std::move(text), u"", fault, offset};
}

void Check(const Expectation& e) {
  SCOPED_TRACE(e.name);
  const RecalcOutcome outcome = Recalculate(e.text);
  if (!e.fault) {
    const auto* text = std::get_if<std::u16string>(&outcome);
    ASSERT_NE(text, nullptr) << "rejected: " << std::get<Rejection>(outcome).message.english;
    const size_t kept = e.text.size() - LastLine(e.text).size();
    EXPECT_TRUE(text->compare(0, kept, e.text, 0, kept) == 0 &&
                text->size() - LastLine(*text).size() == kept)
        << "only the last line may change";
    EXPECT_TRUE(LastLine(*text) == e.last_line)
        << Ascii(LastLine(*text)) << " instead of " << Ascii(e.last_line);
    return;
  }
  const auto* rejection = std::get_if<Rejection>(&outcome);
  ASSERT_NE(rejection, nullptr) << "accepted";
  EXPECT_EQ(rejection->offset, e.offset);
  if (*e.fault == 0) {
    EXPECT_FALSE(rejection->has_message());
  } else {
    ASSERT_TRUE(rejection->has_message());
    EXPECT_EQ(rejection->fault->number, *e.fault);
    EXPECT_FALSE(rejection->message.english.empty());
  }
}

constexpr size_t kTenMillion = 10'000'000;

TEST(HostileInputTest, LinesOfTenMillionCharacters) {
  const std::u16string filler(kTenMillion, u'x');
  const std::u16string zeros(kTenMillion, u'0');
  const std::u16string blanks(kTenMillion, u' ');
  const std::u16string entries = Repeat(u"a [1] ", kTenMillion / 6);  // 1,666,666 brackets
  const Expectation cases[] = {
      Accepts("plain words, then a bracket", Cat({filler, u" [2 3.5]\r\n#"}), u"#  (7.00) ,  7.00"),
      Accepts("a million and a half brackets", Cat({entries, u"\r\n#"}),
              u"#  (1666666.00) ,  1666666.00"),
      Accepts("leading zeros", Cat({u"[", zeros, u"1.5]\r\n#"}), u"#  (1.50) ,  1.50"),
      Accepts("a fraction that underflows", Cat({u"[0.", zeros, u"1]\r\n#"}), u"#  (0.00) ,  0.00"),
      Accepts("a comment", Cat({u"[1] //", filler, u"["}), Cat({u"[1] //", filler, u"["})),
      Accepts("a subtotal line", Cat({u"[1]\r\n#", filler, u"["}), u"#  (1.00) ,  1.00"),
      Rejects("a numeral too big for a double", Cat({u"x\r\n[1", zeros, u"]\r\n#"}),
              kErrTypeMismatch, 3),
      Rejects("blanks only", Cat({u"[", blanks, u"]"}), kErrEmptyBracket, 0),
      Rejects("unclosed at the very end", Cat({u"[1]\r\n[", filler}), 0, 5),
  };
  for (const Expectation& e : cases) Check(e);
}

TEST(HostileInputTest, BracketsOfOneHundredThousandFactors) {
  const Expectation cases[] = {
      Accepts("halves and doubles", Cat({u"[", Repeat(u"2 0.5 ", 50'000), u"]\r\n#"}),
              u"#  (1.00) ,  1.00"),
      Accepts("an even number of minus ones", Cat({u"[", Repeat(u"-1 ", 100'000), u"]\r\n#"}),
              u"#  (1.00) ,  1.00"),
      Accepts("a product that underflows", Cat({u"[", Repeat(u"0.1 ", 100'000), u"]\r\n#"}),
              u"#  (0.00) ,  0.00"),
      Accepts("extra blanks between them", Cat({u"[", Repeat(u"1    ", 100'000), u"7]\r\n#"}),
              u"#  (7.00) ,  7.00"),
      Rejects("a product that overflows a double", Cat({u"[", Repeat(u"10 ", 100'000), u"]"}),
              kErrOverflow, 0),
      Rejects("a word as the last factor", Cat({u"[", Repeat(u"1 ", 99'999), u"x]"}),
              kErrTypeMismatch, 0),
  };
  for (const Expectation& e : cases) Check(e);
}

TEST(HostileInputTest, AMillionSubtotalLinesInARow) {
  constexpr int64_t kLines = 1'000'000;
  const std::u16string subtotals = Repeat(u"\r\n#", kLines);
  {
    const RecalcOutcome outcome = Recalculate(Cat({u"[1.5]", subtotals}));
    const auto* text = std::get_if<std::u16string>(&outcome);
    ASSERT_NE(text, nullptr);
    const std::u16string expected =
        Cat({u"[1.5]\r\n#  (1.50) ,  1.50", Repeat(u"\r\n#  (0.00) ,  1.50", kLines - 1)});
    EXPECT_TRUE(*text == expected);
    const RecalcOutcome again = Recalculate(*text);
    ASSERT_TRUE(std::holds_alternative<std::u16string>(again));
    EXPECT_TRUE(std::get<std::u16string>(again) == expected);
  }
  const Expectation cases[] = {
      Rejects("a bad line after them", Cat({u"[1]", subtotals, u"\r\n[x]"}), kErrTypeMismatch,
              3 + 3 * kLines + 2),
      Rejects("a total that overflows after them",
              Cat({u"[900000000000000]", subtotals, u"\r\n[900000000000000]"}), kErrOverflow,
              17 + 3 * kLines + 2),
  };
  for (const Expectation& e : cases) Check(e);
}

TEST(HostileInputTest, OneHundredThousandNestedBrackets) {
  constexpr size_t kDepth = 100'000;
  const std::u16string opens(kDepth, u'[');
  const std::u16string closes(kDepth, u']');
  const Expectation cases[] = {
      Rejects("opened only", Cat({u"[1]\r\n", opens}), 0, 5),
      Rejects("opened and closed", Cat({opens, u"1", closes}), 0, 0),
      Rejects("closed only", Cat({u"[1]\r\n\r\n", closes}), 0, 7),
      Accepts("in a comment", Cat({u"[1] //", opens, u"\r\n#"}), u"#  (1.00) ,  1.00"),
      Accepts("on a subtotal line", Cat({u"[1]\r\n#", opens}), u"#  (1.00) ,  1.00"),
      Accepts("side by side", Cat({Repeat(u"[1]", kDepth), u"\r\n#"}),
              u"#  (100000.00) ,  100000.00"),
  };
  for (const Expectation& e : cases) Check(e);
}

TEST(HostileInputTest, BookOfTwoHundredMegabytes) {
  constexpr size_t kUnits = 100 * 1024 * 1024;  // 200 MiB
  const std::u16string block = u"午饭 lunch [12.5] // 备注\r\n#\r\n";
  std::u16string text = Repeat(block, kUnits / block.size());
  text.append(kUnits - text.size(), u'.');
  ASSERT_EQ(text.size(), kUnits);

  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString book = BookPathIn(dir.path());
  const fs::path file = book.toStdString();
  {
    const Status saved = SaveBook(book, text);
    ASSERT_TRUE(saved.ok()) << saved.error().description;
    EXPECT_EQ(fs::file_size(file), 2 * kUnits);
    Result<std::u16string> loaded = LoadBook(book);
    ASSERT_TRUE(loaded.ok()) << loaded.error().description;
    EXPECT_TRUE(loaded.value() == text);

    const RecalcOutcome outcome = Recalculate(loaded.value());
    ASSERT_TRUE(std::holds_alternative<std::u16string>(outcome));
    const size_t groups = kUnits / block.size();
    const std::u16string last =
        u"#  (12.50) ,  " + Format(Currency::FromRaw(static_cast<int64_t>(groups) * 125000));
    const std::u16string& computed = std::get<std::u16string>(outcome);
    EXPECT_EQ(computed.substr(computed.rfind(u"\r\n#") + 2, last.size()), last);
  }
  {
    std::ofstream(file, std::ios::binary | std::ios::app) << 'x';
    const Result<std::u16string> odd = LoadBook(book);
    ASSERT_FALSE(odd.ok());
    EXPECT_EQ(odd.error().number, kErrBadFileLength);
    EXPECT_NE(odd.error().description.find(file.string()), std::string::npos);
  }
  EXPECT_TRUE(dir.remove());
}

}  // namespace
}  // namespace tallivan
