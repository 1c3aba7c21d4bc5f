#include "cli/utf8.h"

#include <cstring>

namespace tallivan {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ULL;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

bool Utf8Decoder::Decode(std::string_view piece) {
  const auto* begin = reinterpret_cast<const unsigned char*>(piece.data());
  const auto* end = begin + piece.size();
  const size_t old_size = out_.size();
  // Each byte gives at most one unit, except that a four-byte sequence finished here gives two.
  out_.resize(old_size + piece.size() + 1);
  char16_t* out = out_.data() + old_size;
  const unsigned char* in = begin;
  bool ok = true;
  while (in < end) {
    if (missing_ == 0) {
      uint64_t eight;
      if (end - in >= 8 && (std::memcpy(&eight, in, 8), (eight & kHighBits) == 0)) {
        for (int i = 0; i < 8; ++i) *out++ = in[i];
        in += 8;
        continue;
      }
      const unsigned char lead = *in;
      if (lead < 0x80) {
        *out++ = lead;
        ++in;
        continue;
      }
      sequence_start_ = consumed_ + static_cast<uint64_t>(in - begin);
      low_ = 0x80;
      high_ = 0xBF;
      if (lead >= 0xC2 && lead <= 0xDF) {
        missing_ = 1;
        code_point_ = lead & 0x1F;
      } else if (lead >= 0xE0 && lead <= 0xEF) {
        missing_ = 2;
        code_point_ = lead & 0x0F;
        if (lead == 0xE0) low_ = 0xA0;   // shorter forms exist
        if (lead == 0xED) high_ = 0x9F;  // surrogates
      } else if (lead >= 0xF0 && lead <= 0xF4) {
        missing_ = 3;
        code_point_ = lead & 0x07;
        if (lead == 0xF0) low_ = 0x90;
        if (lead == 0xF4) high_ = 0x8F;  // above U+10FFFF
      } else {
        ok = false;
        break;
      }
      ++in;
      continue;
    }
    const unsigned char next = *in;
    if (next < low_ || next > high_) {
      ok = false;
      break;
    }
    low_ = 0x80;
    high_ = 0xBF;
    code_point_ = (code_point_ << 6) | (next & 0x3F);
    ++in;
    if (--missing_ > 0) continue;
    if (code_point_ < 0x10000) {
      *out++ = static_cast<char16_t>(code_point_);
    } else {
      *out++ = static_cast<char16_t>(0xD800 + ((code_point_ - 0x10000) >> 10));
      *out++ = static_cast<char16_t>(0xDC00 + ((code_point_ - 0x10000) & 0x3FF));
    }
  }
  out_.resize(static_cast<size_t>(out - out_.data()));
  consumed_ += static_cast<uint64_t>(in - begin);
  return ok;
}

bool Utf8Decoder::Finish() { return missing_ == 0; }

size_t AppendUtf8(std::u16string_view text, std::string& out) {
  const size_t old_size = out.size();
  out.resize(old_size + 3 * text.size());
  auto* bytes = reinterpret_cast<unsigned char*>(out.data() + old_size);
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0x80) {
      *bytes++ = static_cast<unsigned char>(unit);
    } else if (unit < 0x800) {
      *bytes++ = static_cast<unsigned char>(0xC0 | (unit >> 6));
      *bytes++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    } else if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      const uint32_t code_point = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      *bytes++ = static_cast<unsigned char>(0xF0 | (code_point >> 18));
      *bytes++ = static_cast<unsigned char>(0x80 | ((code_point >> 12) & 0x3F));
      *bytes++ = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
      *bytes++ = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      break;
    } else {
      *bytes++ = static_cast<unsigned char>(0xE0 | (unit >> 12));
      *bytes++ = static_cast<unsigned char>(0x80 | ((unit >> 6) & 0x3F));
      *bytes++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    }
  }
  out.resize(static_cast<size_t>(reinterpret_cast<char*>(bytes) - out.data()));
  return i;
}

}  // namespace tallivan
