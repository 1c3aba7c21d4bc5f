#include "storage/history.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "storage/book_file.h"
#include "storage/file_io.h"

namespace tallivan {
namespace {

namespace chrono = std::chrono;

constexpr std::string_view kVersionSuffix = ".book";
constexpr int64_t kDaySeconds = 24 * 60 * 60;

chrono::sys_days DayOf(int64_t seconds) {
  return chrono::floor<chrono::days>(chrono::sys_seconds(chrono::seconds(seconds)));
}

chrono::year_month MonthOf(chrono::sys_days day) {
  const chrono::year_month_day date(day);
  return date.year() / date.month();
}

// Reads `count` decimal digits at `at`; nullopt when they are not all digits.
std::optional<int> Digits(std::string_view text, size_t at, size_t count) {
  if (at + count > text.size()) return std::nullopt;
  int value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::string VersionName(const VersionTime& time) {
  const chrono::sys_days day = DayOf(time.seconds);
  const chrono::year_month_day date(day);
  const int64_t of_day = time.seconds - chrono::sys_seconds(day).time_since_epoch().count();
  char name[64];
  std::snprintf(name, sizeof name, "%04d-%02u-%02u_%02d%02d%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(of_day / 3600), static_cast<int>(of_day / 60 % 60),
                static_cast<int>(of_day % 60));
  std::string result = name;
  if (time.sequence > 1) {
    std::snprintf(name, sizeof name, "_%02d", time.sequence);
    result += name;
  }
  return result.append(kVersionSuffix);
}

std::optional<VersionTime> ParseVersionName(std::string_view name) {
  // YYYY-MM-DD_HHMMSS[_NN].book
  if (!name.ends_with(kVersionSuffix) || name.size() < 17 + kVersionSuffix.size()) {
    return std::nullopt;
  }
  const std::optional<int> year = Digits(name, 0, 4), month = Digits(name, 5, 2),
                           day = Digits(name, 8, 2), hour = Digits(name, 11, 2),
                           minute = Digits(name, 13, 2), second = Digits(name, 15, 2);
  if (!year || !month || !day || !hour || !minute || !second || name[4] != '-' || name[7] != '-' ||
      name[10] != '_') {
    return std::nullopt;
  }
  const chrono::year_month_day date{chrono::year(*year), chrono::month(*month), chrono::day(*day)};
  if (!date.ok() || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
  VersionTime time;
  time.seconds = chrono::sys_seconds(chrono::sys_days(date)).time_since_epoch().count() +
                 *hour * 3600 + *minute * 60 + *second;
  const size_t rest = name.size() - kVersionSuffix.size() - 17;
  if (rest > 0) {
    const std::optional<int> sequence =
        name[17] == '_' && rest <= 6 ? Digits(name, 18, rest - 1) : std::nullopt;
    if (!sequence || *sequence < 2) return std::nullopt;
    time.sequence = *sequence;
  }
  // Only the one spelling VersionName gives: no extra leading zeros in the number.
  if (VersionName(time) != name) return std::nullopt;
  return time;
}

std::vector<std::string> VersionsToPrune(const std::vector<std::string>& names, int64_t now) {
  struct Kept {
    VersionTime time;
    const std::string* name;
    bool keep = false;
  };
  std::vector<Kept> versions;
  for (const std::string& name : names) {
    if (const std::optional<VersionTime> time = ParseVersionName(name)) {
      versions.push_back({*time, &name});
    }
  }
  std::sort(versions.begin(), versions.end(),
            [](const Kept& a, const Kept& b) { return a.time < b.time; });
  const chrono::sys_days today = DayOf(now);
  int recent = 0;
  for (size_t i = versions.size(); i-- > 0;) {
    const int64_t seconds = versions[i].time.seconds;
    const bool newest = i + 1 == versions.size();
    const chrono::sys_days day = DayOf(seconds);
    const chrono::sys_days next_day = newest ? day : DayOf(versions[i + 1].time.seconds);
    const bool last_of_day = newest || next_day != day;
    const bool last_of_month = newest || MonthOf(next_day) != MonthOf(day);
    const bool in_last_day = now - seconds < kDaySeconds && recent++ < kKeepRecent;
    const bool in_last_days = day > today - chrono::days(kKeepDays);
    versions[i].keep = newest || in_last_day || (last_of_day && in_last_days) || last_of_month;
  }
  std::vector<std::string> pruned;
  for (const Kept& version : versions) {
    if (!version.keep) pruned.push_back(*version.name);
  }
  return pruned;
}

#ifdef _WIN32
// The Windows history is read by path for now; POSIX systems read it through the folder they
// checked (history_posix.cpp).
Result<std::u16string> LoadVersion(const std::filesystem::path& path, std::string_view name) {
  const Result<std::filesystem::path> folder = HistoryFolder(path);
  if (!folder) return folder.error();
  const std::filesystem::path version = folder.value() / Utf8Path(name);
  if (!ParseVersionName(name)) {
    return Error{ErrorNumber::kFileNotFound,
                 "Cannot read \"" + PathUtf8(version) + "\": no such version"};
  }
  return LoadBookFile(version);
}
#endif

}  // namespace tallivan
