#include "cli/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace tallivan {
namespace {

// Decodes `bytes` in pieces of `piece` bytes; the decoded text, or the offset of the fault.
struct Decoded {
  bool ok;
  std::u16string text;
  uint64_t error_offset;
};

Decoded DecodeInPieces(const std::string& bytes, size_t piece) {
  Decoded decoded{true, u"", 0};
  Utf8Decoder decoder(decoded.text);
  for (size_t at = 0; at < bytes.size() && decoded.ok; at += piece) {
    decoded.ok = decoder.Decode(std::string_view(bytes).substr(at, piece));
  }
  if (decoded.ok) decoded.ok = decoder.Finish();
  decoded.error_offset = decoder.error_offset();
  return decoded;
}

TEST(Utf8DecoderTest, DecodesWellFormedInputHoweverItIsCut) {
  const struct {
    std::string bytes;
    std::u16string text;
  } cases[] = {
      {"", u""},
      {"coffee [2 3.5]\r\n#", u"coffee [2 3.5]\r\n#"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"\x7F\xC2\x80\xDF\xBF", u"\u007F\u0080\u07FF"},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", u"\u0800\uD7FF\uE000\uFFFF"},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\U00010000\U0010FFFF"},
      {"\xEF\xBB\xBF\xE8\xB4\xA6\xE6\x9C\xAC \xF0\x9F\x98\x80 [1]", u"\uFEFF账本 😀 [1]"},
      {"0123456789abcdef\xC3\xA9"
       "0123456789abcdef",
       u"0123456789abcdefé0123456789abcdef"},
  };
  for (const auto& c : cases) {
    for (const size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1000}}) {
      const Decoded decoded = DecodeInPieces(c.bytes, piece);
      ASSERT_TRUE(decoded.ok) << c.bytes << " in pieces of " << piece;
      EXPECT_EQ(decoded.text, c.text) << c.bytes << " in pieces of " << piece;
    }
  }
}

TEST(Utf8DecoderTest, RefusesMalformedInputAtTheFaultySequence) {
  const struct {
    std::string bytes;
    uint64_t offset;
  } cases[] = {
      {"\x80", 0},              // a continuation byte with no lead
      {"ab\xC0\x80", 2},        // overlong NUL
      {"ab\xC1\xBF", 2},        // overlong two-byte form
      {"\xE0\x9F\xBF", 0},      // overlong three-byte form
      {"x\xED\xA0\x80", 1},     // an encoded surrogate
      {"\xF0\x8F\xBF\xBF", 0},  // overlong four-byte form
      {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
      {"\xF5\x80\x80\x80", 0},
      {"\xFF", 0},
      {"01234567\xFE", 8},  // right after an all-ASCII run of eight
      {"\xC3"
       "A",
       0},  // a lead byte missing its continuation
      {"\xE8\xB4"
       "abc",
       0},
      {"ok \xE8\xB4", 3},  // cut off at the end
      {"ok \xF0\x9F\x98", 3},
  };
  for (const auto& c : cases) {
    for (const size_t piece : {size_t{1}, size_t{2}, size_t{1000}}) {
      const Decoded decoded = DecodeInPieces(c.bytes, piece);
      EXPECT_FALSE(decoded.ok) << c.bytes << " in pieces of " << piece;
      EXPECT_EQ(decoded.error_offset, c.offset) << c.bytes << " in pieces of " << piece;
    }
  }
}

TEST(Utf8EncoderTest, RoundTripsEveryScalarValue) {
  std::u16string text;
  for (char32_t c = 1; c <= 0x10FFFF; c += (c < 0x800 ? 1 : 7)) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    if (c < 0x10000) {
      text.push_back(static_cast<char16_t>(c));
    } else {
      text.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      text.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  std::string bytes = "kept";
  ASSERT_EQ(AppendUtf8(text, bytes), text.size());
  EXPECT_EQ(bytes.substr(0, 4), "kept");
  const Decoded decoded = DecodeInPieces(bytes.substr(4), 4096);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.text, text);
}

TEST(Utf8EncoderTest, StopsAtAnUnpairedSurrogate) {
  const struct {
    std::u16string text;
    size_t taken;
    std::string bytes;
  } cases[] = {
      {u"ab\xD800"
       u"c",
       2, "ab"},
      {u"\xDC00", 0, ""},
      {u"x\xD800", 1, "x"},
      {u"\xD83D\xDE00\xDE00", 2, "\xF0\x9F\x98\x80"},
      {u"é\xDC00\xD800", 1, "\xC3\xA9"},
  };
  for (const auto& c : cases) {
    std::string bytes;
    EXPECT_EQ(AppendUtf8(c.text, bytes), c.taken);
    EXPECT_EQ(bytes, c.bytes);
  }
}

}  // namespace
}  // namespace tallivan
