// What only POSIX systems have: runs of tallivan-calc through the shell, and runs of RunCalc in
// this process for moments that only the system's hooks reach (test_posix.h).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>
#include <tuple>

#include "cli/cli.h"
#include "cli_test_support.h"
#include "storage/book_file.h"
#include "storage/history.h"
#include "test_files.h"
#include "test_posix.h"

namespace tallivan {

const bool kPosix = true;

void MakeSystemFiles(const std::filesystem::path& work) {
  // Where the unprivileged user may write, as in a shared folder.
  std::filesystem::permissions(work.parent_path(), std::filesystem::perms(0755));
  std::filesystem::permissions(work, std::filesystem::perms(0777));
  // A book reached through a link is refused as what it links to.
  mkfifo((work / "pipe").c_str(), 0644);
  std::filesystem::create_symlink("pipe", work / "fifo");
}

std::optional<int> RunCalcProgram(const Call& call, const std::filesystem::path& work,
                                  const std::filesystem::path& in, const std::filesystem::path& out,
                                  const std::filesystem::path& err) {
  const std::string cd = "cd '" + work.string() + "' && unset LC_ALL && ";
  const std::string locales = work.parent_path().string();
  if (call.setup.numeric != "C") {
    // A path, not a bare name: a bare name would install the locale for the whole system.
    const std::string make_locale = cd + "localedef -i " + call.setup.numeric.substr(0, 5) +
                                    " -f UTF-8 '" + locales + "/" + call.setup.numeric +
                                    "' >/dev/null 2>&1";
    if (std::system(make_locale.c_str()) != 0) return std::nullopt;
  }
  if (call.setup.before.starts_with("setpriv") && geteuid() != 0) return std::nullopt;
  // A run that waits for ever, as on a FIFO, is ended and fails.
  // time(1) gives the largest of the processes it waited for, tallivan-calc's through timeout's.
  const std::string peak =
      call.setup.peak_kib > 0 ? "/usr/bin/time -f %M -o '" + locales + "/peak' " : "";
  std::string run = call.setup.before + peak + "timeout -s KILL 60 env LOCPATH='" + locales +
                    "' LC_NUMERIC=" + call.setup.numeric + " TZ=UTC '" + CalcPath().string() + "'";
  for (const std::string& arg : call.args) run += " '" + arg + "'";
  const std::string status = work.parent_path() / "status";
  const std::string command =
      call.setup.piped ? cd + "cat '" + in.string() + "' | { " + run + "; echo $? >'" + status +
                             "'; } 2>'" + err.string() + "' | cat >'" + out.string() + "'"
                       : cd + "{ " + run + "; } <'" + in.string() + "' >'" + out.string() +
                             "' 2>'" + err.string() + "'";
  const int code = std::system(command.c_str());
  return call.setup.piped ? std::stoi(ReadBytes(status)) : WEXITSTATUS(code);
}

namespace {

namespace fs = std::filesystem;

// Runs tallivan-calc in this process with `args`; its exit status and what it said.
std::pair<int, std::string> RunHere(const std::vector<std::string>& args, const fs::path& err) {
  const int null = open("/dev/null", O_RDWR), said = creat(err.c_str(), 0600);
  const int code = RunCalc(args, CalcStreams{null, null, said}, u".");
  close(null), close(said);
  return {code, ReadBytes(err)};
}

// Another program changes the book at some moment of a run. The run must end with exit 2 and
// leave the book as that program made it, with nothing new beside it.
TEST(CalcTest, ABookChangedDuringARunIsLeftAsTheOtherProgramMadeIt) {
  TempDir dir;
  const fs::path work = dir.path() / "work", err = work.parent_path() / "err";
  // Megabytes, so that the text goes out in pieces written straight from the mapped book.
  const std::u16string stale = Repeat(kStale, 40'000);
  const std::string write_over =
      "printf 'x\\000' | dd of=book bs=1 seek=40 conv=notrunc status=none";
  const std::string written = "; nothing was written", saved = "; nothing was saved";
  using enum Step;
  // {the moment, the other program's command, the run's arguments (names in the book's folder),
  // what the message adds}
  const std::tuple<Step, std::string, std::vector<std::string>, std::string> changes[] = {
      // The pass then touches pages cut off the mapped book (SIGBUS).
      {kAdvise, "truncate -s 100 book", {"-i", "book"}, written},
      {kAdvise, "truncate -s 0 book", {"--check", "book"}, written},
      {kAdvise, write_over, {"book", "-o", "out"}, written},
      // The CSV goes on reading the book after the pass, while it writes.
      {kWrite, "truncate -s 100 book", {"--csv", "book"}, "; what it wrote is not to be trusted"},
      // Writing from a mapping cut short fails (EFAULT).
      {kCreated, "truncate -s 100 book", {"-i", "book"}, saved},
      {kCreated, "printf x >>book.txt", {"--utf8", "book.txt", "-o", "out"}, saved},
      {kSyncFile, write_over, {"-i", "book"}, saved},
      {kSyncFile, "cp book copy && mv copy book", {"-i", "book"}, saved},
      {kSyncFile, "printf 'x\\000' >>book", {"book", "-o", "out"}, saved},
      {kSyncFile, "rm book", {"-i", "book"}, saved},
      {kSyncFile, "printf x >>book.txt", {"--utf8", "-i", "book.txt"}, saved},
  };
  for (const auto& [moment, command, names, outcome] : changes) {
    SCOPED_TRACE(command + " during " + ::testing::PrintToString(names));
    fs::remove_all(work);
    fs::create_directory(work);
    WriteBytes(work / "book", Le(stale));
    WriteBytes(work / "book.txt", ToUtf8(stale));
    std::vector<std::string> args;
    for (const std::string& arg : names) {
      args.push_back(arg[0] == '-' ? arg : (work / arg).string());
    }
    const fs::path book = work / (names[0] == "--utf8" ? "book.txt" : "book");
    std::optional<std::string> made;  // what the other program left
    before[moment] = [&] {
      if (made) return;
      ASSERT_EQ(std::system(("cd '" + work.string() + "' && " + command).c_str()), 0);
      made = fs::exists(book) ? ReadBytes(book) : "(removed)";
    };
    std::vector<std::string> left = Snapshot(work);
    const auto [code, said] = RunHere(args, err);
    before.clear();
    ASSERT_TRUE(made.has_value()) << "the moment never came";
    EXPECT_EQ(code, kExitBadUse);
    EXPECT_EQ(said, "tallivan-calc: " + ChangedError(book.string()).description + outcome + "\n");
    for (std::string& item : left) {
      if (item.starts_with(book.filename().string() + ": ")) {
        item = made == "(removed)" ? "" : book.filename().string() + ": " + *made;
      }
    }
    std::erase(left, "");
    EXPECT_TRUE(Snapshot(work) == left) << "files changed";
  }
}

// SIGTERM, SIGINT and SIGHUP end a run as they would, once its temporary file is removed.
TEST(CalcTest, TerminationSignalsLeaveNoTemporaryFileBehind) {
  TempDir dir;
  const fs::path book = dir.path() / "book", history = book.string() + ".history";
  const std::string stale = Le(Repeat(kStale, 40'000));
  const auto nothing_left = [&] {
    const std::vector<std::string> left = Entries(book.parent_path());
    EXPECT_TRUE(std::none_of(left.begin(), left.end(),
                             [](const std::string& name) { return name.ends_with(".tmp"); }));
    EXPECT_TRUE(Entries(history).empty());
  };
  // {the signal, the moment it comes, how making the new text's file fails: with EOPNOTSUPP it
  // has a name from the start; with EACCES the book is written in place, and its first flush is
  // that of the old text's copy in the history}
  const std::tuple<int, Step, int> cases[] = {
      {SIGTERM, Step::kSyncFile, EOPNOTSUPP}, {SIGINT, Step::kRename, 0},
      {SIGHUP, Step::kRename, EOPNOTSUPP},    {SIGTERM, Step::kSyncFile, EACCES},
      {SIGKILL, Step::kSyncFile, EACCES},
  };
  for (const auto& [signal_number, moment, staging] : cases) {
    SCOPED_TRACE(strsignal(signal_number));
    WriteBytes(book, stale);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      if (staging != 0) failing[Step::kCreateUnnamed] = {staging, staging == EACCES ? 1 : -1};
      before[moment] = [number = signal_number] { raise(number); };
      _exit(RunHere({"-i", book}, book.string() + ".err").first);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
    EXPECT_TRUE(ReadBytes(book) == stale);
    EXPECT_EQ(ReadBytes(book.string() + ".err"), "");
    fs::remove(book.string() + ".err");
    if (signal_number != SIGKILL) {
      nothing_left();
      continue;
    }
    // A copy cut short by SIGKILL is hidden, is no version, and goes with a later save.
    EXPECT_EQ(Entries(history).size(), 1u);
    for (const std::string& name : Entries(history)) {
      EXPECT_TRUE(name.starts_with(".book.") && name.ends_with(".tmp")) << name;
      Age(history / name);
    }
    EXPECT_EQ(ListVersions(book).value().size(), 0u);
    ASSERT_TRUE(SaveBookFile(book, u"new", {.history = History::kKeep}).ok());
    EXPECT_EQ(ListVersions(book).value().size(), 1u);
    EXPECT_EQ(Entries(history).size(), 1u);
    fs::remove_all(history);
  }
  // The program itself, ended at random moments over a run's time.
  using Clock = std::chrono::steady_clock;
  const auto run = [&](int signal_number, Clock::duration after) {
    WriteBytes(book, stale);
    const pid_t child = Start({CalcPath().string(), "-i", book.string()}, {}, dir.path());
    std::this_thread::sleep_for(after);
    kill(child, signal_number);
    Finish(child, dir.path());
    fs::remove_all(history);
  };
  const Clock::time_point start = Clock::now();
  run(0, {});
  std::uniform_int_distribution<Clock::rep> moment(0, (Clock::now() - start).count());
  std::mt19937 random(20240607);
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    for (int i = 0; i < 20; ++i) run(signal_number, Clock::duration(moment(random)));
  }
  nothing_left();
}

}  // namespace
}  // namespace tallivan
