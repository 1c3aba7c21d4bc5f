// What only POSIX systems have: other users, and folders whose flushing can fail.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "session/book_session.h"
#include "tests/session/session_test_support.h"
#include "tests/storage/test_files.h"

// A flushed folder cannot be made to fail on demand, so this executable defines fsync itself: it
// passes every call to the kernel, except for folders while `folder_flush_fails` is set.
namespace {
bool folder_flush_fails = false;
}  // namespace

extern "C" int fsync(int fd) {
  struct stat st {};
  if (folder_flush_fails && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace tallivan {

bool CanFailFolderFlushes() { return true; }
void FailFolderFlushes(bool fail) { folder_flush_fails = fail; }

namespace {

namespace fs = std::filesystem;

const std::u16string kSample = u"sample [1]\r\n#\r\n";

class BookSessionPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(Home());
    setenv("HOME", Home().c_str(), 1);
  }

  fs::path Home() const { return dir_.path() / "home"; }
  std::unique_ptr<BookSession> Session(FakeMessenger& messenger, const fs::path& book) const {
    return std::make_unique<BookSession>(book, kSample, messenger, clock_);
  }

  TempDir dir_;
  FakeClock clock_;
};

// Runs `body` in a child process as the unprivileged user nobody; the test fails with it.
void AsNobody(const std::function<void()>& body) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
  const pid_t child = fork();
  if (child == 0) {
    const bool dropped = setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                         setresuid(65534, 65534, 65534) == 0;
    if (dropped) body();
    _exit(!dropped || ::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unprivileged part failed";
}

TEST_F(BookSessionPosixTest,
       AnUnwritableFolderIsToldAtTheStartAndAWritableBookThereIsWrittenInPlace) {
  // Root's folder, which nobody may read but not write, with nobody's own home beside it.
  fs::permissions(dir_.path(), static_cast<fs::perms>(0755));
  fs::create_directories(dir_.path() / "shelf");
  ASSERT_EQ(chown(Home().c_str(), 65534, 65534), 0);
  WriteBytes(dir_.path() / "shelf/book", Le(u"root's"));
  WriteBytes(dir_.path() / "shelf/mine", Le(u"nobody's"));
  ASSERT_EQ(chown((dir_.path() / "shelf/mine").c_str(), 65534, 65534), 0);
  const fs::path missing = dir_.path() / "shelf/new", readable = dir_.path() / "shelf/book",
                 writable = dir_.path() / "shelf/mine";
  const struct {
    fs::path book;
    const char* told;  // at the start
    bool edited;
    CloseDecision decision;
    size_t messages;  // at closing
  } cases[] = {
      // A new book cannot be made there: the failed save asks what to do.
      {missing, "cannot be saved", false, CloseDecision::kStayOpen, 1},
      // Nothing changed, so nothing is written, and nothing fails.
      {readable, "cannot be saved", false, CloseDecision::kClose, 0},
      // The book is written over in place; its old text cannot be kept beside it, which is told.
      {writable, "write the book over in place", true, CloseDecision::kClose, 1},
  };
  AsNobody([&] {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.book);
      FakeMessenger messenger;
      auto session = Session(messenger, c.book);
      const std::u16string shown = session->Open().value_or(kSample);
      const bool warned =
          std::any_of(messenger.shown.begin(), messenger.shown.end(), [&](const auto& shown) {
            return shown.body.find(c.told) != std::string::npos &&
                   shown.body.find(c.book.string()) != std::string::npos;
          });
      EXPECT_TRUE(warned);
      messenger.shown.clear();
      const std::u16string text = c.edited ? shown + u"x" : shown;
      EXPECT_EQ(session->Close(Attendance::kAttended, text), c.decision);
      EXPECT_EQ(messenger.shown.size(), c.messages);
    }
  });
  EXPECT_EQ(ReadBytes(readable), Le(u"root's"));
  EXPECT_EQ(ReadBytes(writable), Le(u"nobody'sx"));
  EXPECT_FALSE(fs::exists(missing));
}
}  // namespace
}  // namespace tallivan
