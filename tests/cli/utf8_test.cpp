#include "cli/utf8.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <variant>

#include "test_files.h"

namespace tallivan {
namespace {

using Decoded = std::variant<std::u16string, uint64_t>;  // the text, or where it is refused

Decoded DecodeInPieces(std::string_view bytes, size_t piece) {
  std::u16string text;
  Utf8Decoder decoder(text);
  for (size_t at = 0; at < bytes.size(); at += piece) {
    if (!decoder.Decode(bytes.substr(at, piece))) return decoder.error_offset();
  }
  return decoder.Finish() ? Decoded(text) : Decoded(decoder.error_offset());
}

TEST(Utf8Test, RoundTripsEveryScalarValueAndStopsEncodingAtAnUnpairedSurrogate) {
  std::u32string scalars = U"\uD7FF\uE000\uFFFF\U00010000\U0010FFFF";  // the ends of the ranges
  for (char32_t c = 0; c <= 0x10FFFF; c += c < 0x800 ? 1 : 7) {  // all below U+0800, then 1 in 7
    if (c < 0xD800 || c > 0xDFFF) scalars += c;
  }
  // In UTF-16 as the standard library converts it, apart from the code under test.
  const std::u16string text = std::filesystem::path(scalars).u16string();
  std::string bytes = "kept";
  ASSERT_EQ(AppendUtf8(text, bytes), text.size());
  EXPECT_TRUE(bytes == "kept" + ToUtf8(text));
  for (const size_t piece : {1, 2, 3, 7, 4096}) {
    EXPECT_TRUE(DecodeInPieces(bytes, piece) == Decoded(u"kept" + text)) << piece;
  }
  const std::pair<std::u16string, size_t> unpaired[] = {
      {u"ab\xD800!", 2}, {u"\xDC00", 0}, {u"\xD83D\xDE00\xDE00", 2}, {u"é\xDC00\xD800", 1}};
  for (const auto& [units, taken] : unpaired) {
    bytes.clear();
    EXPECT_EQ(AppendUtf8(units, bytes), taken);
    EXPECT_TRUE(DecodeInPieces(bytes, 1) == Decoded(units.substr(0, taken))) << bytes;
  }
}

TEST(Utf8DecoderTest, RefusesTheFirstMalformedSequenceHoweverTheBytesAreCut) {
  // Stray and missing continuation bytes, overlong forms, an encoded surrogate, values above
  // U+10FFFF, bytes that never occur in UTF-8, and sequences cut off at the end.
  const std::string malformed[] = {
      "\x80",  "\xC0\x80",    "\xC1\xBF",     "\xE0\x9F\xBF",     "\xF0\x8F\xBF\xBF",
      "\xC3!", "\xE8\xB4!!!", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
      "\xFF",  "\xE8\xB4",    "\xF0\x9F\x98"};
  for (const std::string& bad : malformed) {
    for (const std::string ok : {"", "\xC3\xA9", "0123456789abcdef"}) {
      for (const size_t piece : {1, 2, 3, 7, 1000}) {
        EXPECT_TRUE(DecodeInPieces(ok + bad, piece) == Decoded(ok.size())) << ok + bad << piece;
      }
    }
  }
}

}  // namespace
}  // namespace tallivan
