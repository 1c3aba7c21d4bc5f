#ifndef TALLIVAN_WIN32_WIDE_TEXT_H_
#define TALLIVAN_WIN32_WIDE_TEXT_H_

#include <string>
#include <string_view>

namespace tallivan {

// `utf8` as UTF-16; an invalid sequence becomes U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);

// `text` as UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view text);

// The UTF-16 code units of `text` as the system's wide characters, and back.
inline std::wstring_view AsWide(std::u16string_view text) {
  return {reinterpret_cast<const wchar_t*>(text.data()), text.size()};
}
inline std::u16string_view AsUtf16(std::wstring_view text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}

}  // namespace tallivan

#endif  // TALLIVAN_WIN32_WIDE_TEXT_H_
