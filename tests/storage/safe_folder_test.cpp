// SafeFolder on every system: what stands under a name decides whether it is read, replaced,
// listed or removed; fresh names never replace anything; private folders are the caller's alone.
#include "storage/safe_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <tuple>

#include "test_files.h"
#include "test_platform.h"
#ifndef _WIN32
#include <sys/stat.h>

#include "test_posix.h"
#endif

namespace tallivan {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// Makes something at a path; "" when it did, else why it cannot be made here.
using Plant = std::function<std::string(const fs::path&)>;

// What stands in `folder`: each name with its kind and, for a file, its size and short content.
std::string Snapshot(const fs::path& folder) {
  std::string shot;
  for (const std::string& name : Entries(folder)) {
    const fs::path path = folder / Utf8Path(name);
    const fs::file_type type = fs::symlink_status(path).type();
    shot += name + " " + std::to_string(static_cast<int>(type));
    if (type == fs::file_type::regular) {
      const uintmax_t size = fs::file_size(path);
      shot += " " + std::to_string(size) + " " + (size < 64 ? ReadBytes(path) : "");
    }
    shot += "\n";
  }
  return shot;
}

// What a call gave: its value ("" for a Status), or "error NUMBER: DESCRIPTION".
std::string Said(const Result<std::string>& result) {
  return result.ok() ? result.value()
                     : "error " + std::to_string(Code(result.error().number)) + ": " +
                           result.error().description;
}

std::string Said(const Status& status) {
  return status.ok() ? "" : Said(Result<std::string>(status.error()));
}

void SkipCase(const std::string& what, const std::string& why) {
  std::cout << "[ SKIPPED  ] " << what << ": " << why << "\n";
}

std::vector<std::string> Names(const std::vector<OwnFile>& files) {
  std::vector<std::string> names;
  for (const OwnFile& file : files) names.push_back(file.name);
  std::sort(names.begin(), names.end());
  return names;
}

class SafeFolderTest : public ::testing::Test {
 protected:
  // A new folder inside one whose name is not ASCII.
  fs::path NewFolder(const std::string& name) const {
    const fs::path folder = dir_.path() / Utf8Path("账本") / Utf8Path(name);
    fs::create_directories(folder);
    return folder;
  }

  TempDir dir_;
};

TEST_F(SafeFolderTest, WhatStandsUnderANameDecidesWhetherItIsReadReplacedListedOrRemoved) {
  const Plant own = [](const fs::path& path) { return WriteBytes(path, "old"), ""; };
  const Plant oversized = [](const fs::path& path) {
    WriteBytes(path, "old");
    fs::resize_file(path, kMaxCompanionBytes + 1);  // sparse: nothing is written
    return "";
  };
  const Plant second_name = [](const fs::path& path) {
    WriteBytes(path.parent_path() / "other", "old");
    fs::create_hard_link(path.parent_path() / "other", path);
    return "";
  };
  const Plant link = [](const fs::path& path) {
    WriteBytes(path.parent_path() / "target", "old");
    return MakeSymbolicLink(path.parent_path() / "target", path);
  };
  const Plant folder = [](const fs::path& path) { return fs::create_directory(path), ""; };
#ifndef _WIN32
  const Plant fifo = [](const fs::path& path) {
    return mkfifo(path.c_str(), 0600) == 0 ? "" : SystemText(errno);
  };
  // In a folder where everyone may make files, as in a shared one.
  const Plant others = [](const fs::path& path) {
    LetEveryoneWrite(path.parent_path());
    return RunAs(kNobody, kNogroup, {}, [&] {
      WriteBytes(path, "old");
      return std::string(fs::exists(path) ? "" : "the other user cannot write there");
    });
  };
#endif
  const struct {
    const char* what;
    Plant plant;     // nullptr: nothing stands there
    bool ours;       // read, listed and replaced
    bool removable;  // a regular file of the caller's
    bool folder;     // an empty folder, removed as such
  } cases[] = {
      {"nothing", nullptr, true, true, false},
      {"the caller's own file", own, true, true, false},
      {"a file beyond the largest size", oversized, false, true, false},
      {"a file with a second name", second_name, false, true, false},
      {"a symbolic link to the caller's own file", link, false, false, false},
      {"a folder", folder, false, false, true},
#ifndef _WIN32
      {"a FIFO", fifo, false, false, false},
      {"another user's file", others, false, false, false},
#endif
  };
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = NewFolder(std::to_string(++number)), path = dir / "state";
    if (const std::string why = c.plant ? c.plant(path) : ""; !why.empty()) {
      SkipCase(c.what, why);
      continue;
    }
    const Result<SafeFolder> held = SafeFolder::Open(dir);
    ASSERT_TRUE(held.ok()) << held.error().description;
    const SafeFolder& safe = held.value();
    const std::string before = Snapshot(dir);
    // Every refusal names the path and comes as error 75.
    const std::string refusal = "error 75: Cannot use \"" + PathUtf8(path) + "\": ";

    const std::string read = Said(safe.Read("state"));
    if (c.plant && c.ours) {
      EXPECT_EQ(read, "old");
      // Nor is it read when it is larger than the caller will take.
      EXPECT_TRUE(Said(safe.Read("state", 2)).starts_with(refusal));
    } else {
      EXPECT_TRUE(read.starts_with(c.plant ? refusal : "error 53: ")) << read;
    }
    EXPECT_EQ(Names(safe.List("st")),
              c.plant && c.ours ? std::vector<std::string>{"state"} : std::vector<std::string>{});

    // A fresh name never replaces what stands there, whatever it is.
    const std::string fresh = Said(safe.CreateFresh("state", std::string_view("fresh"), 0600));
    EXPECT_EQ(fresh, c.plant ? "state-2" : "state");
    EXPECT_EQ(ReadIfThere(dir / Utf8Path(fresh)), "fresh");
    fs::remove(dir / Utf8Path(fresh));
    EXPECT_EQ(Snapshot(dir), before);

    // What the caller may not write is replaced all the same the next time.
    const std::string replaced = Said(safe.Replace("state", std::string_view("new"), 0400));
    if (c.ours) {
      EXPECT_EQ(replaced, "");
      EXPECT_TRUE(HasMode(path, 0400));
      EXPECT_EQ(Said(safe.Replace("state", std::string_view("newer"), 0600)), "");
      EXPECT_EQ(ReadIfThere(path), "newer");
      EXPECT_TRUE(HasMode(path, 0600));
    } else {
      EXPECT_TRUE(replaced.starts_with(refusal)) << replaced;
      // Left as it was, and no temporary file beside it.
      EXPECT_EQ(Snapshot(dir), before);
    }

    EXPECT_EQ(safe.Remove("state"), c.removable);
    EXPECT_EQ(fs::exists(fs::symlink_status(path)), !c.removable);
    // Only an empty folder is removed as one (and nothing there is as good as removed).
    EXPECT_EQ(safe.RemoveEmptyFolder("state"), c.removable || c.folder);
    EXPECT_EQ(fs::exists(fs::symlink_status(path)), !c.removable && !c.folder);
  }
}

TEST_F(SafeFolderTest, FreshNamesCountOnAndMovesIntoAnotherFolderNeverReplace) {
  const fs::path from = NewFolder("from"), to = NewFolder("to");
  WriteBytes(from / "mine", "mine");
  WriteBytes(to / "kept", "theirs");
  fs::create_directory(to / "kept-2");
  fs::create_directory(from / "sub");
  Result<SafeFolder> source = SafeFolder::Open(from), target = SafeFolder::Open(to);
  ASSERT_TRUE(source.ok() && target.ok());
  // {what is moved, under which name, the name it takes or the start of the error}
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"mine", "kept", "kept-3"},
      {"mine", "kept", "error 53: "},  // moved already
      {"sub", "kept", "error 75: "},
      {"fresh-2", "kept", "kept-4"},
  };
  for (const char* name : {"fresh", "fresh-2"}) {
    EXPECT_EQ(Said(source.value().CreateFresh("fresh", std::string_view("f"), 0600)), name);
  }
  for (const auto& [moved, name, outcome] : cases) {
    SCOPED_TRACE(moved);
    const std::optional<std::string> content =
        fs::is_regular_file(from / moved) ? ReadIfThere(from / moved) : std::nullopt;
    const std::string taken = Said(source.value().MoveFresh(moved, target.value(), name));
    EXPECT_TRUE(taken.starts_with(outcome)) << taken;
    if (!outcome.starts_with("error")) {
      EXPECT_EQ(ReadIfThere(to / taken), content);
    }
  }
  EXPECT_EQ(ReadBytes(to / "kept"), "theirs");
  EXPECT_TRUE(fs::is_directory(to / "kept-2"));
  EXPECT_EQ(Entries(from), (std::vector<std::string>{"fresh", "sub"}));
}

TEST_F(SafeFolderTest, ListsTheCallersOwnFilesByPrefixWithTheirSizesAndTimes) {
  const fs::path dir = NewFolder("list");
  WriteBytes(dir / "recovery-1", "a");
  WriteBytes(dir / "recovery-2", "bcd");
  WriteBytes(dir / "other", "");
  fs::create_directory(dir / "recovery-3");
  Age(dir / "recovery-1");
  const Result<SafeFolder> held = SafeFolder::Open(dir);
  ASSERT_TRUE(held.ok());
  EXPECT_EQ(Names(held.value().List()),
            (std::vector<std::string>{"other", "recovery-1", "recovery-2"}));
  std::vector<OwnFile> listed = held.value().List("recovery-");
  ASSERT_EQ(Names(listed), (std::vector<std::string>{"recovery-1", "recovery-2"}));
  if (listed[0].name != "recovery-1") std::swap(listed[0], listed[1]);
  EXPECT_EQ(listed[0].bytes, 1u);
  EXPECT_EQ(listed[1].bytes, 3u);
  const auto an_hour_ago = std::chrono::system_clock::now() - std::chrono::hours(1);
  const int64_t then_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(an_hour_ago.time_since_epoch()).count();
  EXPECT_NEAR(static_cast<double>(listed[0].modified_ns), static_cast<double>(then_ns), 60e9);
}

TEST_F(SafeFolderTest, PrivateFoldersAreMadeForTheCallerAloneAndOthersAreRefused) {
  const fs::path base = NewFolder("private");
  const Plant file = [](const fs::path& path) { return WriteBytes(path, "x"), ""; };
  const Plant shared = [](const fs::path& path) {
    fs::create_directory(path);
    return LetEveryoneWrite(path), "";
  };
  const Plant link = [&](const fs::path& path) {
    fs::create_directory(base / "real");
    return MakeSymbolicLink(base / "real", path);
  };
#ifndef _WIN32
  const Plant others = [](const fs::path& path) {
    LetEveryoneWrite(path.parent_path());
    return RunAs(kNobody, kNogroup, {}, [&] {
      return std::string(mkdir(path.c_str(), 0700) == 0 ? "" : "the other user cannot make it");
    });
  };
#endif
  const struct {
    const char* what;
    fs::path path;  // the private folder wanted
    Plant plant;    // what stands there first
    MakeFolder make;
    ErrorNumber error;  // kNone: opened, and private
  } cases[] = {
      {"two missing folders made", base / "a" / "b", nullptr, MakeFolder::kPrivate,
       ErrorNumber::kNone},
      {"made before", base / "a" / "b", nullptr, MakeFolder::kNo, ErrorNumber::kNone},
      {"missing", base / "c", nullptr, MakeFolder::kNo, ErrorNumber::kFileNotFound},
      {"missing above", base / "c" / "d", nullptr, MakeFolder::kNo, ErrorNumber::kFileNotFound},
      {"relative", "a" / fs::path("b"), nullptr, MakeFolder::kPrivate, ErrorNumber::kFileAccess},
      {"a file in its place", base / "f", file, MakeFolder::kPrivate, ErrorNumber::kFileAccess},
      {"a file above it", base / "g" / "h", file, MakeFolder::kPrivate, ErrorNumber::kFileAccess},
      {"others may write it", base / "s", shared, MakeFolder::kPrivate, ErrorNumber::kFileAccess},
      {"a link in its place", base / "l", link, MakeFolder::kPrivate, ErrorNumber::kFileAccess},
#ifndef _WIN32
      {"another user's", base / "o", others, MakeFolder::kPrivate, ErrorNumber::kFileAccess},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path planted = c.path.parent_path() == base ? c.path : c.path.parent_path();
    if (const std::string why = c.plant ? c.plant(planted) : ""; !why.empty()) {
      SkipCase(c.what, why);
      continue;
    }
    const std::string before = Snapshot(base);
    const Result<SafeFolder> opened = SafeFolder::OpenPrivate(c.path, c.make);
    if (c.error != ErrorNumber::kNone || !opened.ok()) {
      EXPECT_EQ(opened.ok() ? ErrorNumber::kNone : opened.error().number, c.error)
          << (opened.ok() ? "" : opened.error().description);
      EXPECT_EQ(Snapshot(base), before);
      continue;
    }
    EXPECT_TRUE(opened.value().is_private());
    EXPECT_TRUE(SafeFolder::Open(c.path).value().is_private());
    // A missing subfolder is made only when asked.
    const bool made = c.make == MakeFolder::kPrivate;
    const Result<SafeFolder> sub = opened.value().Subfolder(made ? "sub" : "none", c.make);
    EXPECT_EQ(sub.ok() ? ErrorNumber::kNone : sub.error().number,
              made ? ErrorNumber::kNone : ErrorNumber::kFileNotFound);
    EXPECT_TRUE(!sub.ok() || sub.value().is_private());
    if (!kWindows) {
      EXPECT_TRUE(HasMode(c.path, 0700));
    }
  }
  // A folder that others may write is held all the same, but not as a private one.
  const Result<SafeFolder> shared_folder = SafeFolder::Open(base / "s");
  ASSERT_TRUE(shared_folder.ok());
  EXPECT_FALSE(shared_folder.value().is_private());

  const Result<SafeFolder> held = SafeFolder::Open(base);
  ASSERT_TRUE(held.ok());
  EXPECT_FALSE(held.value().RemoveEmptyFolder("a")) << "it holds a folder";
  EXPECT_TRUE(fs::is_directory(base / "a" / "b"));
  // Names that are more than one entry, and on Windows names that its programs cannot reach.
  for (const std::string name : {"", ".", "..", "a/b", "a\\b", "a:b", "a."}) {
    SCOPED_TRACE(name);
    const bool one_name = !kWindows && (name == "a\\b" || name == "a:b" || name == "a.");
    const std::string before = Snapshot(base);
    EXPECT_EQ(held.value().Replace(name, std::string_view("x"), 0600).ok(), one_name);
    EXPECT_EQ(held.value().Read(name).ok(), one_name);
    EXPECT_EQ(held.value().Remove(name), one_name);
    EXPECT_EQ(held.value().Subfolder(name, MakeFolder::kPrivate).ok(), one_name);
    if (!one_name) {
      EXPECT_EQ(Snapshot(base), before);
    }
  }
}

TEST(SafeFolderPathTest, StateLivesInTheUsersOwnFolderNamedByAnAbsolutePathOnly) {
  const std::string variable = kStateVariable;
  const std::optional<std::string> saved = Variable(variable), saved_home = Variable(kHomeVariable);
  const TempDir home;
  const fs::path tail = kWindows ? fs::path("Tallivan") / "State" : fs::path("tallivan");
  SetVariable(kHomeVariable, PathUtf8(home.path()));
  SetVariable(variable, PathUtf8(RootFolder() / "state"));
  EXPECT_EQ(StateFolderPath(), RootFolder() / "state" / tail);
  // A relative path is no folder of the user's: the system's own is taken instead.
  SetVariable(variable, "state");
  const std::optional<fs::path> fallback = StateFolderPath();
  ASSERT_TRUE(fallback.has_value());
  EXPECT_TRUE(fallback->is_absolute()) << PathUtf8(*fallback);
  if (kWindows) {
    EXPECT_EQ(fallback->parent_path().filename(), "Tallivan");
    EXPECT_EQ(fallback->filename(), "State");
  } else {
    EXPECT_EQ(*fallback, home.path() / ".local" / "state" / tail);
  }
  SetVariable(variable, saved);
  SetVariable(kHomeVariable, saved_home);
}

}  // namespace
}  // namespace tallivan
