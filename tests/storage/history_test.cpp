#include "storage/history.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

namespace tallivan {
namespace {

TEST(HistoryTest, VersionNamesSortByTimeAndAreReadBackExactly) {
  // In time order; the names must sort the same way.
  const std::pair<VersionTime, std::string> names[] = {
      {{0, 1}, "1970-01-01_000000.book"},
      {{951868799, 1}, "2000-02-29_235959.book"},
      {{1796609585, 1}, "2026-12-07_021305.book"},
      {{1796609585, 2}, "2026-12-07_021305_02.book"},
      {{1796609585, 12}, "2026-12-07_021305_12.book"},
      {{1796609585, 100}, "2026-12-07_021305_100.book"},
      {{1796609586, 1}, "2026-12-07_021306.book"},
  };
  for (size_t i = 0; i < std::size(names); ++i) {
    const auto& [time, name] = names[i];
    EXPECT_EQ(VersionName(time), name);
    EXPECT_EQ(ParseVersionName(name), time) << name;
    EXPECT_TRUE(i == 0 || time.sequence >= 100 || names[i - 1].second < name) << name;
  }
  for (const char* other :
       {"2026-12-07_021305.book.tmp", ".2026-12-07_021305.book", "2026-12-07_021305.BOOK",
        "2026-12-07_021305_01.book", "2026-12-07_021305_1.book", "2026-12-07_021305_002.book",
        "2026-12-07_021305_.book", "2026-13-07_021305.book", "2026-02-29_000000.book",
        "2026-12-07_240000.book", "2026-12-07_026005.book", "2026-12-07-021305.book",
        "226-12-07_021305.book", "notes.txt", ""}) {
    EXPECT_EQ(ParseVersionName(other), std::nullopt) << other;
  }
}

TEST(HistoryTest, PruningKeepsTheLastDayTheLastOfEachOf90DaysAndOfEveryMonth) {
  const int64_t now = ParseVersionName("2026-12-07_120000.book")->seconds;
  const auto ago = [now](int64_t seconds, int sequence = 1) {
    return VersionName({now - seconds, sequence});
  };
  constexpr int64_t kHour = 3600, kDay = 24 * kHour;
  std::vector<std::string> hour_of_saves, hour_pruned;  // one a minute
  for (int minute = 1; minute <= 60; ++minute) {
    hour_of_saves.push_back(ago(minute * 60));
    if (minute > kKeepRecent) hour_pruned.push_back(ago(minute * 60));
  }
  // {what, versions (and other names), the versions pruned}
  const std::tuple<std::string, std::vector<std::string>, std::vector<std::string>> cases[] = {
      {"the newest is kept however old", {ago(900 * kDay)}, {}},
      {"every version of the last day", {ago(11 * kHour), ago(kHour, 2), ago(kHour), ago(1)}, {}},
      {"a day old is no longer of the last day", {ago(kDay), ago(kDay - 1), ago(1)}, {ago(kDay)}},
      {"but only the newest 50 of them", hour_of_saves, hour_pruned},
      {"before that, the last of each day",
       {"2026-12-05_080000.book", "2026-12-05_230000.book", "2026-12-06_000000.book",
        "2026-12-06_110000.book", ago(1)},
       {"2026-12-05_080000.book", "2026-12-06_000000.book"}},
      {"for 90 days, then the last of each month",
       {"2026-08-20_100000.book", "2026-08-31_100000.book", "2026-09-08_100000.book",
        "2026-09-09_100000.book", "2026-10-02_100000.book", "2026-10-03_100000.book",
        "2024-02-29_100000.book", ago(1)},
       {"2026-08-20_100000.book", "2026-09-08_100000.book"}},
      {"the last of a month, the same month of other years apart",
       {"2024-03-10_100000.book", "2024-03-20_100000.book", "2025-03-05_100000.book",
        "2025-03-25_100000.book", ago(1)},
       {"2024-03-10_100000.book", "2025-03-05_100000.book"}},
      {"what is not a version stays",
       {"notes.txt", "2026-01-01_000000.book.tmp", "2026-01-01_000000_01.book",
        "2026-01-02_000000.book", "2026-01-03_000000.book", ago(1)},
       {"2026-01-02_000000.book"}},
      {"versions from the future count as recent",
       {VersionName({now + kHour, 1}), VersionName({now + 2 * kHour, 1})},
       {}},
  };
  for (const auto& [what, names, pruned] : cases) {
    EXPECT_THAT(VersionsToPrune(names, now), ::testing::UnorderedElementsAreArray(pruned)) << what;
  }
}

}  // namespace
}  // namespace tallivan
