// What only POSIX systems have: other users.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "cli/cli.h"
#include "storage/book_location.h"
#include "tests/session/session_test_support.h"
#include "tests/storage/test_posix.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

TEST_F(BookSessionTest, AnUnwritableFolderIsToldAtTheStartAndAWritableBookThereIsWrittenInPlace) {
  // Root's folder, which nobody may read but not write, with nobody's own home beside it.
  fs::permissions(dir_.path(), static_cast<fs::perms>(0755));
  fs::create_directories(dir_.path() / "shelf");
  ASSERT_EQ(chown(Home().c_str(), kNobody, kNogroup), 0);
  WriteBytes(dir_.path() / "shelf/book", Le(u"root's"));
  WriteBytes(dir_.path() / "shelf/mine", Le(u"nobody's"));
  ASSERT_EQ(chown((dir_.path() / "shelf/mine").c_str(), kNobody, kNogroup), 0);
  const fs::path missing = dir_.path() / "shelf/new", readable = dir_.path() / "shelf/book",
                 writable = dir_.path() / "shelf/mine";
  const struct {
    fs::path book;
    const char* told;  // at the start
    bool edited;
    CloseDecision decision;
    size_t messages;  // at closing
  } cases[] = {
      // The book used when none is named, of a program whose folder nobody may write: it goes to
      // the user's data folder, and the first start says so.
      {"", "so the book is kept in your data folder", true, CloseDecision::kClose, 0},
      // A new book cannot be made there: the failed save asks what to do, and its safe answer
      // keeps the text apart in the user's own state folder.
      {missing, "cannot be saved", false, CloseDecision::kClose, 2},
      // Nothing changed, so nothing is written, and nothing fails.
      {readable, "cannot be saved", false, CloseDecision::kClose, 0},
      // The book is written over in place; its old text cannot be kept beside it, which is told.
      {writable, "write the book over in place", true, CloseDecision::kClose, 1},
  };
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
  SetVariable(kStateVariable, PathUtf8(Home() / "state"));
  SetVariable(kHomeVariable, PathUtf8(Home()));
  const std::optional<std::string> data_variable = Variable(kDataVariable);
  SetVariable(kDataVariable, std::nullopt);
  const fs::path data_book = Home() / ".local/share/tallivan/book";
  const std::string said = RunAs(kNobody, kNogroup, {}, [&] {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.book);
      const fs::path book = c.book.empty() ? PrepareDefaultBook(RunningExecutable()).path : c.book;
      EXPECT_EQ(c.book.empty(), book == data_book);
      FakeMessenger messenger;
      auto session = Session(messenger, book);
      const std::u16string shown = session->Open().value_or(kSample);
      EXPECT_GT(messenger.Showing({c.told, book.string()}), 0u);
      messenger.shown.clear();
      const std::u16string text = c.edited ? shown + u"x" : shown;
      EXPECT_EQ(session->Close(Attendance::kAttended, text), c.decision);
      EXPECT_EQ(messenger.shown.size(), c.messages);
    }
    return ::testing::Test::HasFailure() ? "the unprivileged part failed" : "";
  });
  SetVariable(kDataVariable, data_variable);
  EXPECT_EQ(said, "");
  EXPECT_EQ(ReadBytes(readable), Le(u"root's"));
  EXPECT_EQ(ReadBytes(writable), Le(u"nobody'sx"));
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ(ReadBytes(data_book), Le(kSample) + Le(u"x"));
  EXPECT_FALSE(fs::exists(RunningExecutable().parent_path() / "book"));
}
TEST_F(BookSessionTest, TextKeptApartFromABookInASharedFolderGoesToTheOwnersStateFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as the owner";
  const fs::path home = dir_.path() / "owner";
  for (const unsigned folder_mode : {01777u, 02775u, 0755u}) {
    SCOPED_TRACE(folder_mode);
    const fs::path folder = dir_.path() / "folder";
    fs::remove_all(folder);
    fs::remove_all(home);
    fs::create_directories(folder);
    fs::create_directories(home);
    WriteBytes(folder / "book", Le(u"book"));
    fs::permissions(folder / "book", static_cast<fs::perms>(0400));
    // The sticky and the group's folders are root's; the plain one is the owner's own.
    for (const fs::path& owned : {home, folder / "book"}) {
      ASSERT_EQ(chown(owned.c_str(), kOwner, kOwner), 0);
    }
    if (folder_mode == 0755) ASSERT_EQ(chown(folder.c_str(), kOwner, kOwner), 0);
    fs::permissions(folder, static_cast<fs::perms>(folder_mode));
    const std::string said = RunAs(kOwner, kOwner, {kStaff}, [&] {
      SetVariable(kHomeVariable, PathUtf8(home));
      SetVariable(kStateVariable, std::nullopt);
      FakeMessenger messenger;
      auto session = Session(messenger, folder / "book");
      session->Open();
      if (session->Close(Attendance::kUnattended, u"typed") != CloseDecision::kClose) {
        return std::string("not closed");
      }
      return messenger.log.empty() ? std::string("nothing logged") : messenger.log[0];
    });
    const fs::path kept_in =
        folder_mode == 0755 ? folder : home / ".local/state/tallivan" / BookKey(folder / "book");
    EXPECT_THAT(said, ::testing::StartsWith("the text of the window was kept in " +
                                            PathUtf8(kept_in / "book.unsaved-")));
    EXPECT_EQ(Entries(folder).size(), folder_mode == 0755 ? 2u : 1u);
  }
}

// The most memory, in kB, that the process has held at once.
long PeakKilobytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

TEST_F(BookSessionTest, NothingAnotherUserPlantsBesideTheBookOrInTheStateFoldersPlaceIsUsed) {
  // The window opens, types, keeps a recovery copy and saves; then tallivan-calc -i rewrites the
  // book and keeps the text it replaced in the history.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as the owner and another user";
  enum class Planted { kLinkToOwnersFile, kFifo, kLinkToZero, kSparse, kOthersFile, kOthersFolder };
  using enum Planted;
  const fs::path home = dir_.path() / "owner", secret = home / "secret";
  // The first file of the owner's in `at` when it is a folder (not a link to one); "" when none.
  const auto OwnersFileIn = [](const fs::path& at) {
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(at, error))) return std::string();
    for (auto it = fs::recursive_directory_iterator(at, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      struct stat st {};
      if (lstat(it->path().c_str(), &st) == 0 && st.st_uid == kOwner) return it->path().string();
    }
    return std::string();
  };
  const std::string typed = Le(u"PIN [4711]\r\n#");
  const std::string recalculated = Le(u"PIN [4711]\r\n#  (4711.00) ,  4711.00");
  const struct {
    const char* name;      // planted in the shared folder, or (state) as the state folder
    unsigned folder_mode;  // of the shared folder: sticky and open to all, or a group's
    bool state;            // the owner's state folder is named inside the shared folder
  } names[] = {
      {".book.lock", 01777, false},
      {".book.lock", 02775, false},
      {".book.recovery-0", 01777, false},
      {".book.recovery-0", 02775, false},
      {".book.unsaved-seen", 02775, false},
      {"book.unsaved-20260101-000000", 01777, false},
      {"book.history", 01777, false},
      {"book.history", 02775, false},
      {"state", 01777, true},
  };
  for (const auto& n : names) {
    for (const Planted planted :
         {kLinkToOwnersFile, kFifo, kLinkToZero, kSparse, kOthersFile, kOthersFolder}) {
      SCOPED_TRACE(std::string(n.name) + " " + std::to_string(static_cast<int>(planted)));
      const fs::path shared = dir_.path() / "shared";
      fs::remove_all(shared);
      fs::remove_all(home);
      fs::create_directories(home);
      fs::create_directories(shared);
      fs::permissions(shared, static_cast<fs::perms>(n.folder_mode));
      ASSERT_EQ(chown(shared.c_str(), 0, kStaff), 0);
      WriteBytes(secret, "the owner's own");
      WriteBytes(shared / "book", Le(u"book"));
      for (const fs::path& owned : {home, secret, shared / "book"}) {
        ASSERT_EQ(chown(owned.c_str(), kOwner, kOwner), 0);
      }
      fs::permissions(home, static_cast<fs::perms>(0700));
      fs::permissions(shared / "book", static_cast<fs::perms>(0600));
      const fs::path at = n.state ? shared / "state" / "tallivan" : shared / n.name;
      const bool folder = n.state || std::string_view(n.name) == "book.history";
      // The other user plants it, as that user.
      ASSERT_EQ(RunAs(kStranger, kStranger, {kStaff},
                      [&] {
                        std::error_code error;
                        if (n.state) fs::create_directories(at.parent_path(), error);
                        switch (planted) {
                          case kLinkToOwnersFile:
                            fs::create_symlink(folder ? home : secret, at, error);
                            break;
                          case kFifo:
                            if (mkfifo(at.c_str(), 0666) != 0) return std::string("no fifo");
                            break;
                          case kLinkToZero:
                            fs::create_symlink("/dev/zero", at, error);
                            break;
                          case kSparse: {
                            const int fd = open(at.c_str(), O_WRONLY | O_CREAT, 0666);
                            if (fd < 0 || ftruncate(fd, off_t{1} << 30) != 0)
                              return std::string("no file");
                            close(fd);
                            break;
                          }
                          case kOthersFile:
                            WriteBytes(at, "theirs");
                            fs::permissions(at, static_cast<fs::perms>(0666));
                            break;
                          case kOthersFolder:
                            fs::create_directory(at, error);
                            fs::permissions(at, static_cast<fs::perms>(0777), error);
                            break;
                        }
                        return error ? error.message() : std::string();
                      }),
                "");
      // The owner opens the book, types, waits for the recovery copy and closes, as the owner.
      const std::string said = RunAs(kOwner, kOwner, {kStaff}, [&] {
        alarm(20);  // a window that waits on what was planted never ends by itself
        SetVariable(kHomeVariable, PathUtf8(home));
        SetVariable(kStateVariable,
                    n.state ? std::optional(PathUtf8(shared / "state")) : std::nullopt);
        FakeMessenger messenger;
        auto session = Session(messenger, shared / "book");
        session->Open();
        session->KeepRecoveryCopy(FromLe(typed));
        session->FinishRecoveryCopies();
        if (const std::string file = OwnersFileIn(at); !file.empty()) {
          return "the owner's file in the other user's folder: " + file;
        }
        if (session->Close(Attendance::kAttended, FromLe(typed)) != CloseDecision::kClose) {
          return std::string("the window stayed open");
        }
        const int null = open("/dev/null", O_RDWR);
        const int code =
            RunCalc({"-i", PathUtf8(shared / "book")}, CalcStreams{null, null, null}, u".");
        close(null);
        if (code != 0) return "tallivan-calc -i ended with " + std::to_string(code);
        const long peak = PeakKilobytes();
        return peak > 200'000 ? "held " + std::to_string(peak) + " kB" : std::string();
      });
      EXPECT_EQ(said, "");
      EXPECT_EQ(ReadBytes(secret), "the owner's own");
      EXPECT_EQ(ReadBytes(shared / "book"), recalculated);
      EXPECT_EQ(OwnersFileIn(at), "") << "after closing";
      for (const auto& entry : fs::directory_iterator(home)) {
        EXPECT_TRUE(entry.path() == secret || entry.path().filename() == ".local")
            << "made in the owner's home: " << entry.path();
      }
      // What the owner typed is in no file the other user can read.
      EXPECT_EQ(RunAs(kStranger, kStranger, {kStaff},
                      [&] {
                        std::error_code error;
                        for (auto it = fs::recursive_directory_iterator(shared, error);
                             !error && it != fs::recursive_directory_iterator();
                             it.increment(error)) {
                          if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
                          const int fd = open(it->path().c_str(), O_RDONLY | O_NONBLOCK);
                          if (fd < 0) continue;
                          std::string head(4096, '\0');
                          const ssize_t got = read(fd, head.data(), head.size());
                          close(fd);
                          if (got > 0 && head.find(typed) != std::string::npos) {
                            return it->path().string();
                          }
                        }
                        return std::string();
                      }),
                "");
    }
  }
}

}  // namespace
}  // namespace tallivan
