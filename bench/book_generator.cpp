#include "bench/book_generator.h"

#include <array>
#include <string_view>

namespace tallivan::bench {

namespace {

constexpr int64_t kGroupLength = 30;

constexpr std::array<std::u16string_view, 32> kChineseWords = {
    u"午饭",   u"早餐",   u"晚饭", u"咖啡",   u"超市", u"地铁", u"公交", u"房租",
    u"水电费", u"电话费", u"书",   u"电影票", u"水果", u"蔬菜", u"牛奶", u"面包",
    u"打车",   u"药",     u"衣服", u"鞋",     u"礼物", u"工资", u"退款", u"红包",
    u"加油",   u"停车",   u"理发", u"快递",   u"网费", u"外卖", u"茶叶", u"文具"};

constexpr std::array<std::u16string_view, 24> kEnglishWords = {
    u"lunch",    u"breakfast", u"dinner", u"coffee", u"groceries", u"metro",   u"bus",      u"rent",
    u"power",    u"phone",     u"books",  u"cinema", u"fruit",     u"milk",    u"bread",    u"taxi",
    u"pharmacy", u"shoes",     u"gift",   u"fuel",   u"parking",   u"haircut", u"delivery", u"tea"};

constexpr std::array<std::u16string_view, 8> kNotes = {
    u"老王请客", u"with Anna", u"发票已开", u"card", u"打折 sale", u"shared", u"报销", u"cash"};

// SplitMix64: small, fast, and the same sequence on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // Uniform in [0, n).
  uint64_t Below(uint64_t n) { return Next() % n; }

  // True with probability percent / 100.
  bool Chance(uint64_t percent) { return Below(100) < percent; }

  template <typename Array>
  std::u16string_view Pick(const Array& words) {
    return words[Below(words.size())];
  }

 private:
  uint64_t state_;
};

void AppendNumber(std::u16string& out, uint64_t value) {
  char16_t digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) out.push_back(digits[--count]);
}

// A price as people write it: "12", "3.5", "0.85".
void AppendPrice(std::u16string& out, Random& random) {
  const uint64_t cents = 10 + random.Below(random.Chance(80) ? 5000 : 200000);
  AppendNumber(out, cents / 100);
  const uint64_t fraction = cents % 100;
  if (fraction == 0) return;
  out.push_back(u'.');
  out.push_back(static_cast<char16_t>(u'0' + fraction / 10));
  if (fraction % 10 != 0) out.push_back(static_cast<char16_t>(u'0' + fraction % 10));
}

// One to three factors: a price, a count and a price, or two counts and a price.
void AppendBracket(std::u16string& out, Random& random) {
  out.push_back(u'[');
  if (random.Chance(5)) out.push_back(u'-');
  const uint64_t roll = random.Below(100);
  const int counts = roll < 70 ? 0 : (roll < 92 ? 1 : 2);
  for (int i = 0; i < counts; ++i) {
    AppendNumber(out, 1 + random.Below(12));
    out.push_back(u' ');
  }
  AppendPrice(out, random);
  out.push_back(u']');
}

void AppendDate(std::u16string& out, Random& random) {
  AppendNumber(out, 1 + random.Below(12));
  out.push_back(u'/');
  AppendNumber(out, 1 + random.Below(28));
  out.push_back(u' ');
}

void AppendEntry(std::u16string& out, Random& random) {
  if (random.Chance(70)) AppendDate(out, random);
  out.append(random.Pick(kChineseWords));
  out.push_back(u' ');
  if (random.Chance(80)) {
    out.append(random.Pick(kEnglishWords));
    out.push_back(u' ');
  }
  AppendBracket(out, random);
  if (random.Chance(12)) {
    out.push_back(u' ');
    out.append(random.Pick(kChineseWords));
    out.push_back(u' ');
    AppendBracket(out, random);
  }
  if (random.Chance(20)) {
    out.append(u"  // ");
    out.append(random.Pick(kNotes));
    if (random.Chance(30)) {
      out.push_back(u' ');
      AppendBracket(out, random);
    }
  }
}

// A "#" line as a pass would have left it long ago, or as the user first typed it.
void AppendStaleSubtotal(std::u16string& out, Random& random) {
  const uint64_t roll = random.Below(10);
  if (roll < 6) {
    out.append(u"#  (");
    AppendPrice(out, random);
    out.append(u") ,  ");
    AppendNumber(out, random.Below(1000000));
    out.append(u".00");
  } else if (roll < 9) {
    out.append(u"# ");
    out.append(random.Pick(kChineseWords));
    out.push_back(u' ');
    out.append(random.Pick(kEnglishWords));
  } else {
    out.append(u"  #");
  }
}

}  // namespace

std::u16string GenerateBook(int64_t lines, uint64_t seed) {
  Random random(seed);
  std::u16string book;
  book.reserve(static_cast<size_t>(lines) * 26);
  for (int64_t i = 0; i < lines; ++i) {
    if (i % kGroupLength == kGroupLength - 1) {
      AppendStaleSubtotal(book, random);
    } else {
      const uint64_t roll = random.Below(100);
      if (roll < 3) {
        // an empty line between days
      } else if (roll < 6) {
        book.append(u"// ");
        book.append(random.Pick(kNotes));
      } else {
        AppendEntry(book, random);
      }
    }
    book.append(u"\r\n");
  }
  return book;
}

std::string ToUtf16LeBytes(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

}  // namespace tallivan::bench
