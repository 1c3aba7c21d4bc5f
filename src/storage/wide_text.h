// Text between UTF-8, which the program speaks, and the wide characters of the Windows calls;
// on Windows only.
#ifndef TALLIVAN_STORAGE_WIDE_TEXT_H_
#define TALLIVAN_STORAGE_WIDE_TEXT_H_

#include <string>
#include <string_view>

namespace tallivan {

// `utf8` as UTF-16; an invalid sequence becomes U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);

// `wide` as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view wide);

// The system's wide characters `text` as UTF-16 code units.
inline std::u16string_view AsUtf16(std::wstring_view text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_WIDE_TEXT_H_
