#include <clocale>
#include <string>

#include "cli/cli.h"
#include "cli/utf8.h"

namespace tallivan {

std::u16string LocaleDecimalSeparator() {
  const char* current = std::setlocale(LC_NUMERIC, nullptr);
  const std::string previous = current != nullptr ? current : "C";
  std::u16string separator;
  if (std::setlocale(LC_NUMERIC, "") != nullptr) {
    const char* point = std::localeconv()->decimal_point;
    Utf8Decoder decoder(separator);
    if (point == nullptr || !decoder.Decode(point) || !decoder.Finish()) separator.clear();
  }
  std::setlocale(LC_NUMERIC, previous.c_str());
  return separator.empty() ? u"." : separator;
}

}  // namespace tallivan
