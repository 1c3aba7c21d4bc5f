#include <windows.h>

#include <string>

#include "cli/cli.h"

namespace tallivan {

std::u16string LocaleDecimalSeparator() {
  wchar_t separator[8] = {};
  const int length =
      GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, std::size(separator));
  if (length <= 1) return u".";
  return std::u16string(separator, separator + length - 1);
}

}  // namespace tallivan
