#include "runtime/visible_text.h"

#include <cstdint>

namespace tallivan {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// The length of the well-formed UTF-8 sequence at the start of `text`, 0 when there is none,
// and its code point in `code`.
size_t SequenceAt(std::string_view text, char32_t& code) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  size_t length = 0;
  // The second byte's range narrows where a wider range would allow overlong forms, surrogates
  // or code points beyond U+10FFFF.
  uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 1; i < length; ++i) {
    if (i > 1 && (byte(i) < 0x80 || byte(i) > 0xBF)) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  return length;
}

void AppendHex(std::string& out, uint32_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

bool ShownAsCodePoint(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string VisibleText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  while (!utf8.empty()) {
    char32_t code = 0;
    const size_t length = SequenceAt(utf8, code);
    if (length == 0) {
      out += "<0x";
      AppendHex(out, static_cast<uint8_t>(utf8[0]), 2);
      out += '>';
      utf8.remove_prefix(1);
      continue;
    }
    if ((code < 0x20 && code != '\t') || code == 0x7F) {
      // U+2400 + code, or U+2421 for DEL, always three bytes: E2 90 xx.
      const char32_t picture = code == 0x7F ? 0x2421 : 0x2400 + code;
      out += '\xE2';
      out += static_cast<char>(0x80 | ((picture >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (picture & 0x3F));
    } else if (ShownAsCodePoint(code)) {
      out += "<U+";
      AppendHex(out, static_cast<uint32_t>(code), 4);
      out += '>';
    } else {
      out.append(utf8.substr(0, length));
    }
    utf8.remove_prefix(length);
  }
  return out;
}

}  // namespace tallivan
