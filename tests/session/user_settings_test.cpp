// The user's settings file: what is read from whatever lies there, and how it is replaced.
#include "session/user_settings.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "tests/storage/test_files.h"
#include "tests/storage/test_platform.h"
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include "tests/storage/test_posix.h"
#endif

namespace tallivan {
namespace {

namespace fs = std::filesystem;

using namespace std::string_literals;
using Expected = std::map<std::string, std::optional<std::string>>;

TEST(UserSettingsTest, ReadsEveryGoodLineOfWhateverTheFileHolds) {
  const std::string longest(UserSettings::kMaxValueBytes, 'v');
  const std::string long_key(UserSettings::kMaxKeyBytes, 'k');
  const struct {
    const char* name;
    std::optional<std::string> file;  // nullopt: no file
    Expected expected;
  } cases[] = {
      {"no file", std::nullopt, {{"totals", std::nullopt}}},
      {"plain",
       "totals=1\nwindow.geometry=AdnQywADAAA+/=\n",
       {{"totals", "1"}, {"window.geometry", "AdnQywADAAA+/="}}},
      {"the last of a key wins, CR LF and no last line break",
       "totals=0\r\ntotals=1\r\nx=2",
       {{"totals", "1"}, {"x", "2"}}},
      {"garbage lines are skipped",
       "no equals sign\n=1\nbad key=1\nk\x01=1\nv=a\x01z\ne=\n\0\0=1\n\xFF=1\ntotals=1\n"s,
       {{"totals", "1"}, {"bad key", std::nullopt}, {"v", std::nullopt}, {"e", ""}}},
      {"bounds",
       "v=" + longest + "\nw=" + longest + "x\n" + long_key + "=1\n" + long_key + "k=1\n",
       {{"v", longest}, {"w", std::nullopt}, {long_key, "1"}, {long_key + "k", std::nullopt}}},
      {"too large a file counts as empty",
       "totals=1\n" + std::string(UserSettings::kMaxSettingsBytes, '#'),
       {{"totals", std::nullopt}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.file) WriteBytes(dir.path() / UserSettings::kFileName, *c.file);
    const UserSettings settings(dir.path());
    for (const auto& [key, value] : c.expected) EXPECT_EQ(settings.Get(key), value) << key;
  }
}

TEST(UserSettingsTest, SetKeepsTheOtherKeysAndReplacesTheFileWhole) {
  TempDir dir;
  const fs::path folder = dir.path() / "state" / "tallivan";  // made when missing
  const fs::path file = folder / UserSettings::kFileName;
  UserSettings window(folder);
  UserSettings other(folder);  // another window of the user's
  ASSERT_TRUE(window.Set("totals", "1"));
  ASSERT_TRUE(other.Set("window.geometry", "abc"));
  const uint64_t before = FileId(file);
  ASSERT_TRUE(window.Set("totals", "0"));
  EXPECT_NE(FileId(file), before);  // a new file renamed in, never written in place
  EXPECT_EQ(ReadBytes(file), "totals=0\nwindow.geometry=abc\n");
  EXPECT_EQ(other.Get("totals"), "0");
  // What cannot be read back as it was is refused, and the file stays.
  for (const auto& [key, value] :
       {std::pair{"a=b", "1"}, {"", "1"}, {"a b", "1"}, {"totals", "1\n"}, {"totals", "\x1B[2J"}}) {
    EXPECT_FALSE(window.Set(key, value)) << key;
  }
  EXPECT_EQ(ReadBytes(file), "totals=0\nwindow.geometry=abc\n");
  EXPECT_EQ(Entries(folder), std::vector<std::string>{UserSettings::kFileName});
#ifndef _WIN32
  EXPECT_TRUE(HasMode(file, 0600));
#endif
}

#ifndef _WIN32
// Nothing but the user's own file is read or replaced, whatever another user plants or links in
// its place, and a folder others may write is not used at all.
TEST(UserSettingsTest, NothingButTheUsersOwnFileInAPrivateFolderIsUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as the owner and another user";
  const struct {
    const char* name;
    std::function<void(const fs::path& folder)> plant;  // as root, in the owner's folder
  } cases[] = {
      {"a link to a file of the owner's",
       [](const fs::path& folder) {
         WriteBytes(folder / "elsewhere", "totals=1\n");
         ASSERT_EQ(chown((folder / "elsewhere").c_str(), kOwner, kOwner), 0);
         fs::create_symlink(folder / "elsewhere", folder / UserSettings::kFileName);
       }},
      {"a FIFO",
       [](const fs::path& folder) {
         ASSERT_EQ(mkfifo((folder / UserSettings::kFileName).c_str(), 0666), 0);
       }},
      {"another user's file",
       [](const fs::path& folder) {
         WriteBytes(folder / UserSettings::kFileName, "totals=1\n");
         ASSERT_EQ(chown((folder / UserSettings::kFileName).c_str(), kStranger, kStranger), 0);
       }},
      {"a folder another user may write",
       [](const fs::path& folder) {
         WriteBytes(folder / UserSettings::kFileName, "totals=1\n");
         ASSERT_EQ(chown((folder / UserSettings::kFileName).c_str(), kOwner, kOwner), 0);
         LetEveryoneWrite(folder);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path folder = dir.path() / "state";
    fs::create_directory(folder);
    ASSERT_EQ(chown(folder.c_str(), kOwner, kOwner), 0);
    c.plant(folder);
    const fs::file_status before = fs::symlink_status(folder / UserSettings::kFileName);
    const std::string said = RunAs(kOwner, kOwner, {}, [&] {
      UserSettings settings(folder);
      const std::optional<std::string> got = settings.Get("totals");
      const Status set = settings.Set("totals", "0");
      return std::string(got ? "read " : "") + (set ? "replaced" : "refused");
    });
    EXPECT_EQ(said, "refused");
    EXPECT_EQ(fs::symlink_status(folder / UserSettings::kFileName).type(), before.type());
  }
}
#endif

}  // namespace
}  // namespace tallivan
