// Runs of the tallivan-calc executable, and runs of RunCalc in this process for moments that only
// a hook can reach: this executable defines madvise, openat, fsync and renameat, which pass every
// call to the kernel after running the action a test set for that moment.
#include "cli/cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

#include "cli/csv.h"
#include "ledger/ledger.h"
#include "runtime/version.h"
#include "storage/book_file.h"
#include "test_files.h"

namespace {

// What happens at each moment of a run in this process: once the book is mapped, once the new
// file exists, before it is flushed, before it is renamed.
std::function<void()> on_mapped, on_staged, on_flush, on_rename;
bool named_only = false;  // no unnamed temporary files

void At(const std::function<void()>& moment) {
  if (moment) moment();
}

}  // namespace

extern "C" {

int madvise(void* address, size_t length, int advice) {
  At(on_mapped);
  return static_cast<int>(syscall(SYS_madvise, address, length, advice));
}

int openat(int dir_fd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  const mode_t mode = creates ? va_arg(args, mode_t) : 0;
  va_end(args);
  if ((flags & O_TMPFILE) == O_TMPFILE && named_only) return errno = EOPNOTSUPP, -1;
  const int fd = static_cast<int>(syscall(SYS_openat, dir_fd, path, flags, mode));
  if (creates) At(on_staged);
  return fd;
}

int fsync(int fd) {
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) At(on_flush);
  return static_cast<int>(syscall(SYS_fsync, fd));
}

int renameat(int old_dir_fd, const char* old_path, int new_dir_fd, const char* new_path) {
  At(on_rename);
  return static_cast<int>(syscall(SYS_renameat2, old_dir_fd, old_path, new_dir_fd, new_path, 0));
}

}  // extern "C"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

auto Utf8(const std::u16string& text) { return QString::fromStdU16String(text).toStdString(); }

// Every name in `folder` with what it holds, one level into folders; a version that is not one
// of `kept` is shown as "(new)".
std::vector<std::string> Snapshot(const fs::path& folder,
                                  const std::vector<std::string>& kept = {}) {
  std::vector<std::string> items;
  for (const std::string& name : Entries(folder)) {
    const fs::file_status status = fs::symlink_status(folder / name);
    if (fs::is_directory(status)) {
      for (const std::string& inner : Entries(folder / name)) {
        const bool known = std::find(kept.begin(), kept.end(), inner) != kept.end();
        items.push_back(name + "/" + (known ? inner : "(new)") + ": " +
                        ReadBytes(folder / name / inner));
      }
    } else {
      items.push_back(
          name + (fs::is_regular_file(status) ? ": " + ReadBytes(folder / name) : " (not a file)"));
    }
  }
  std::sort(items.begin(), items.end());
  return items;
}

const std::u16string kStale = u"coffee [2 3.5]\r\n  # old [9]\r\n账本 😀 [-3] // note [5]\r\n#\r\n";
const std::u16string kFresh =
    u"coffee [2 3.5]\r\n#  (7.00) ,  7.00\r\n账本 😀 [-3] // note [5]\r\n#  (-3.00) ,  4.00\r\n";
const std::string kStaleCsv =
    "1,entry,7.0000,,,\"coffee [2 3.5]\"\r\n2,subtotal,,7.0000,7.0000,\"  # old [9]\"\r\n"
    "3,entry,-3.0000,,,\"账本 😀 [-3] // note [5]\"\r\n4,subtotal,,-3.0000,4.0000,\"#\"\r\n"
    "5,other,,,,\"\"\r\n";
const std::string kInvalid = " error: Something invalid in the Bracket. 括号中有内容不可识别。\n";
const std::string kVersions[] = {"2024-02-29_235959.book", "2024-03-02_020000.book"};
// Keeps a run that would read without end from taking the machine's memory. AddressSanitizer
// reserves more address space than any such limit allows; its build runs after the plain one, which
// catches the fault, so a time limit does there.
#ifdef __SANITIZE_ADDRESS__
constexpr char kMemoryLimit[] = "timeout 5 ";
#else
constexpr char kMemoryLimit[] = "ulimit -v 999999; ";
#endif
const std::string kNobodyRuns = "setpriv --reuid=65534 --regid=65534 --clear-groups -- ";

// A run of tallivan-calc among sample files, and what must come of it.
struct Call {
  std::vector<std::string> args;
  std::string input;  // standard input
  int code;
  std::string out;            // what `file` holds afterwards, or standard output
  std::string err;            // standard error; for bad use (2), the reason in its one line
  std::string file = "";      // no other file changes, and then nothing goes to standard output
  std::string numeric = "C";  // LC_NUMERIC
  std::string before = "";    // shell commands run first, with the same standard input
};

TEST(CalcTest, GivesTheExitStatusOutputAndFilesOfEachRun) {
  // Long lines of surrogate pairs, so that output is cut into pieces inside them.
  const std::u16string large =
      Repeat(u"账本 [1 0.25] // " + Repeat(u"😀", 40'000) + u"\r\n# stale\r\n", 40);
  const std::u16string large_fresh = std::get<std::u16string>(Recalculate(large));
  std::string large_csv(kCsvHeader);
  for (int i = 1; i <= 40; ++i) {
    std::string total = std::to_string(i / 4) + "." + std::to_string(10000 + i % 4 * 2500);
    large_csv += std::to_string(2 * i - 1) + ",entry,0.2500,,,\"账本 [1 0.25] // " +
                 Utf8(Repeat(u"😀", 40'000)) + "\"\r\n" + std::to_string(2 * i) +
                 ",subtotal,,0.2500," + total.erase(total.find('.') + 1, 1) + ",\"# stale\"\r\n";
  }
  large_csv += "81,other,,,,\"\"\r\n";
  const std::string book = Le(kStale), text = Utf8(kStale), separated = "[1.5]\r\n#  (1";
  // Standard input that stands after the first line, or beyond the first page of memory.
  const std::u16string rest = std::get<std::u16string>(Recalculate(kStale.substr(16)));
  const std::u16string large_rest = std::get<std::u16string>(Recalculate(large.substr(4097)));
  const std::string skip_line = "head -c 32 >/dev/null; ", skip_utf8 = "head -c 16 >/dev/null; ";
  const std::string restored = "Restored \"book\" from \"book.history/" + kVersions[0] +
                               "\"; the text it replaced is kept in \"book.history\".\n";
  const Call calls[] = {
      {{"book"}, "", 0, Le(kFresh), ""},
      {{"-", "-o", "-"}, book, 0, Le(kFresh), ""},
      {{"--utf8", "book.txt"}, "", 0, Utf8(kFresh), ""},
      {{"--utf8"}, text, 0, Utf8(kFresh), ""},
      {{"-o", "odd", "book"}, "", 0, Le(kFresh), "", "odd"},
      {{"-i", "book"}, "", 0, Le(kFresh), "", "book"},
      {{"--utf8", "-i", "book.txt"}, "", 0, Utf8(kFresh), "", "book.txt"},
      {{"-o", "odd", "-"}, Le(large), 0, Le(large_fresh), "", "odd"},
      {{"--utf8"}, Utf8(large), 0, Utf8(large_fresh), ""},
      {{}, book, 0, Le(rest), "", "", "C", skip_line},
      {{"-o", "odd"}, book, 0, Le(rest), "", "odd", "C", skip_line},
      {{}, Le(large), 0, Le(large_rest), "", "", "C", "head -c 8194 >/dev/null; "},
      {{"--utf8"}, text, 0, Utf8(rest), "", "", "C", skip_utf8},
      {{"-h", "--bogus"}, "", 0, std::string(CalcUsage()), ""},
      {{"--utf8"}, "[1.5]\r\n#", 0, separated + ",50) ,  1,50", "", "", "de_DE.UTF-8"},
      {{"--utf8"}, "[1.5]\r\n#", 0, separated + "٫50) ,  1٫50", "", "", "ps_AF.UTF-8"},
      {{"--check", "book"}, "", 3, "", ""},
      {{"--version", "--bogus"}, "", 0, std::string("tallivan-calc ") + kVersion + "\n", ""},
      {{"--csv", "book"}, "", 0, std::string(kCsvHeader) + kStaleCsv, ""},
      {{"--utf8", "--csv"},
       "[1.5] \"a,b\"\nc\r\n#",
       0,
       std::string(kCsvHeader) +
           "1,entry,1.5000,,,\"[1.5] \"\"a,b\"\"\nc\"\r\n2,subtotal,,1.5000,1.5000,\"#\"\r\n",
       "",
       "",
       "de_DE.UTF-8"},
      {{"--csv"}, "", 0, std::string(kCsvHeader), ""},
      {{"--csv", "-"}, Le(large), 0, large_csv, ""},
      {{"--csv", "rejected"}, "", 1, "", "rejected:3:" + kInvalid},
      {{"--csv"}, Le(u"a\r\n\xD800 [1]\r\n#"), 2, "", "<stdin>:2: an unpaired surrogate"},
      {{"--check"}, Le(kFresh), 0, "", ""},
      {{"--check"}, Le(kFresh + u"#"), 3, "", ""},
      {{"--history", "book"},
       "",
       0,
       "replaced             bytes  lines  total  version\n"
       "2024-02-29 23:59:59     48      2  1.00   2024-02-29_235959.book\n"
       "2024-03-02 02:00:00     16      2  -      2024-03-02_020000.book\n"
       "(current)              112      5  -      book\n",
       ""},
      {{"--history", "odd"}, "", 0, "No versions of \"odd\" have been kept yet.\n", ""},
      {{"--restore", kVersions[0], "book"},
       "",
       0,
       Le(u"a [1]\r\n#  (1.00) ,  1.00"),
       restored,
       "book"},
      {{"rejected"}, "", 1, "", "rejected:3:" + kInvalid},
      {{"-i", "rejected"}, "", 1, "", "rejected:3:" + kInvalid},
      {{"-o", "out", "rejected"}, "", 1, "", "rejected:3:" + kInvalid},
      {{"--check", "rejected"}, "", 1, "", "rejected:3:" + kInvalid},
      {{}, Le(u"a ] [2]"), 1, "", "<stdin>:1: error: Unmatched bracket. 括号不配对。\n"},
      {{"--bogus", "book"}, "", 2, "", "unknown option '--bogus' (see --help)"},
      {{"book", "-o"}, "", 2, "", "-o needs a file name"},
      {{"book", "-o", ""}, "", 2, "", "-o needs a file name"},
      {{"--check", "-i", "book"}, "", 2, "", "give only one of --check, --csv, -i, -o, --history"},
      {{"--csv", "-o", "-", "book"}, "", 2, "", "give only one of --check, --csv, -i, -o, --history"},
      {{"book", "odd"}, "", 2, "", "more than one book: 'book' and 'odd'"},
      {{"-i"}, book, 2, "", "-i needs a book file; standard input cannot be written back"},
      {{"--restore", "x"}, book, 2, "", "--restore needs a book file"},
      {{"--utf8", "--history", "book"}, "", 2, "", "work on book files, not on --utf8 text"},
      {{"book", "--restore"}, "", 2, "", "--restore needs a version"},
      {{"--restore", "nothing", "book"}, "", 2, "", "Cannot read \"nothing\": No such file"},
      {{"--restore", "odd", "book"}, "", 2, "", "\"odd\": its length (3 bytes) is odd"},
      {{"--", "-h"}, "", 2, "", "Cannot read \"-h\": No such file or directory"},
      {{".."}, "", 2, "", "Cannot read \"..\": Is a directory"},
      {{}, "odd", 2, "", "\"<stdin>\": its length (3 bytes) is odd, so it is not UTF-16"},
      {{}, "x", 2, "", "\"<stdin>\": its length (1 byte) is odd, so it is not UTF-16"},
      {{},
       book,
       2,
       "",
       "\"<stdin>\": its length (109 bytes) is odd",
       "",
       "C",
       "head -c 3 >/dev/null; "},
      {{"--utf8", "bad.txt"}, "", 2, "", "\"bad.txt\": invalid UTF-8 at byte 9 (line 2)"},
      {{"--utf8"}, "cut \xE8\xB4", 2, "", "\"<stdin>\": invalid UTF-8 at byte 4 (line 1)"},
      {{"-o", "../work", "book"}, "", 2, "", "Cannot save \"../work\": Is a directory"},
      {{"-o", "new/", "book"}, "", 2, "", "\"new/\": a name ending in \"/\" names a folder, not"},
      {{"-i", "read-only"}, "", 2, "", "Cannot save \"read-only\": it is read-only"},
      {{"-i", "book"}, "", 2, "", "Cannot save \"book\": it is read-only", "", "C", kNobodyRuns},
      {{"fifo"}, "", 2, "", "Cannot read \"fifo\": not a regular file"},
      {{"--utf8", "-i", "fifo"}, "", 2, "", "Cannot read \"fifo\": not a regular file"},
      // Without the limits, a device that never ends would be read until memory runs out.
      {{"zero"},
       "",
       2,
       "",
       "\"zero\": not a regular file",
       "",
       "C",
       std::string("ulimit -f 9999; ") + kMemoryLimit},
      {{"--utf8", "zero"},
       "",
       2,
       "",
       "\"zero\": not a regular file",
       "",
       "C",
       kMemoryLimit},
  };
  QTemporaryDir dir;
  const fs::path work = dir.path().toStdString() + "/work";
  fs::create_directory(work);
  // Where the unprivileged user may write, as in a shared folder.
  fs::permissions(dir.path().toStdString(), fs::perms(0755));
  fs::permissions(work, fs::perms(0777));
  const std::string cd = "cd '" + work.string() + "' && unset LC_ALL && ";
  for (const Call& c : calls) {
    // A path, not a bare name: a bare name would install the locale for the whole system.
    const std::string make_locale = cd + "localedef -i " + c.numeric.substr(0, 5) +
                                    " -f UTF-8 ../" + c.numeric + " >/dev/null 2>&1";
    if (c.numeric != "C" && std::system(make_locale.c_str()) != 0) continue;  // no sources here
    if (c.before.starts_with("setpriv") && geteuid() != 0) continue;
    SCOPED_TRACE(::testing::PrintToString(c.args) + " after " + c.before);
    fs::remove_all(work);
    fs::create_directories(work / "book.history");
    fs::permissions(work, fs::perms(0777));
    WriteBytes(work / "book", book);
    WriteBytes(work / "book.txt", text);
    WriteBytes(work / "odd", "odd");
    WriteBytes(work / "bad.txt", "ok\r\nthen \xC0\xAF");
    WriteBytes(work / "rejected", Le(u"a [1]\r\n#\r\ntea [2 x]\r\n#"));
    WriteBytes(work / "read-only", book);
    fs::permissions(work / "read-only", fs::perms(0444));
    WriteBytes(work / "book.history" / kVersions[0], Le(u"a [1]\r\n#  (1.00) ,  1.00"));
    WriteBytes(work / "book.history" / kVersions[1], Le(u"a [1]\r\n#"));
    mkfifo((work / "fifo").c_str(), 0644);
    fs::create_symlink("/dev/zero", work / "zero");
    std::vector<std::string> expected = Snapshot(work, {kVersions[0], kVersions[1]});
    for (size_t i = 0, files = expected.size(); i < files; ++i) {
      if (!expected[i].starts_with(c.file + ": ")) continue;
      // -i and --restore keep what they replace.
      if (c.code == 0 && c.args[0] != "-o") {
        expected.push_back(c.file + ".history/(new): " + expected[i].substr(c.file.size() + 2));
      }
      expected[i] = c.file + ": " + c.out;
    }
    std::sort(expected.begin(), expected.end());
    WriteBytes(work / "../in", c.input);
    // A run that waits for ever, as on a FIFO, is ended and fails.
    std::string command = cd + "{ " + c.before +
                          "timeout -s KILL 60 env LOCPATH=.. LC_NUMERIC=" + c.numeric +
                          " TZ=UTC '" TALLIVAN_CALC_PATH "'";
    for (const std::string& arg : c.args) command += " '" + arg + "'";
    command += "; } <../in >../out 2>../err";
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), c.code);
    const std::string output = ReadBytes(work / "../out"), error = ReadBytes(work / "../err");
    EXPECT_TRUE(output == (c.file.empty() ? c.out : "")) << output.substr(0, 200);
    EXPECT_TRUE(c.code == kExitBadUse ? error.starts_with("tallivan-calc: ") &&
                                            error.find(c.err) < error.find('\n') &&
                                            error.find('\n') + 1 == error.size()
                                      : error == c.err)
        << error;
    EXPECT_TRUE(Snapshot(work, {kVersions[0], kVersions[1]}) == expected) << "files changed";
  }
}

// Runs tallivan-calc in this process with `args`; its exit status and what it said.
std::pair<int, std::string> RunHere(const std::vector<std::string>& args, const fs::path& err) {
  const int null = open("/dev/null", O_RDWR), said = creat(err.c_str(), 0600);
  const int code = RunCalc(args, CalcStreams{null, null, said}, u".");
  close(null), close(said);
  return {code, ReadBytes(err)};
}

// Another program changes the book at some moment of a run. The run must end with exit 2 and
// leave the book as that program made it, with nothing new beside it.
struct Change {
  std::function<void()>* moment;
  std::string command;
  std::vector<std::string> args;  // in the book's folder
  std::string outcome;            // what the message adds
};

TEST(CalcTest, ABookChangedDuringARunIsLeftAsTheOtherProgramMadeIt) {
  QTemporaryDir dir;
  const fs::path work = dir.path().toStdString() + "/work", err = work.parent_path() / "err";
  // Megabytes, so that the text goes out in pieces written straight from the mapped book.
  const std::u16string stale = Repeat(kStale, 40'000);
  const std::string write_over =
      "printf 'x\\000' | dd of=book bs=1 seek=40 conv=notrunc status=none";
  const std::string written = "; nothing was written", saved = "; nothing was saved";
  const Change changes[] = {
      // The pass then touches pages cut off the mapped book (SIGBUS).
      {&on_mapped, "truncate -s 100 book", {"-i", "book"}, written},
      {&on_mapped, "truncate -s 0 book", {"--check", "book"}, written},
      {&on_mapped, write_over, {"book", "-o", "out"}, written},
      // Writing from a mapping cut short fails (EFAULT).
      {&on_staged, "truncate -s 100 book", {"-i", "book"}, saved},
      {&on_staged, "printf x >>book.txt", {"--utf8", "book.txt", "-o", "out"}, saved},
      {&on_flush, write_over, {"-i", "book"}, saved},
      {&on_flush, "cp book copy && mv copy book", {"-i", "book"}, saved},
      {&on_flush, "printf 'x\\000' >>book", {"book", "-o", "out"}, saved},
      {&on_flush, "rm book", {"-i", "book"}, saved},
      {&on_flush, "printf x >>book.txt", {"--utf8", "-i", "book.txt"}, saved},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.command + " during " + ::testing::PrintToString(change.args));
    fs::remove_all(work);
    fs::create_directory(work);
    WriteBytes(work / "book", Le(stale));
    WriteBytes(work / "book.txt", Utf8(stale));
    std::vector<std::string> args;
    for (const std::string& arg : change.args) {
      args.push_back(arg[0] == '-' ? arg : (work / arg).string());
    }
    const fs::path book = work / (change.args[0] == "--utf8" ? "book.txt" : "book");
    std::optional<std::string> made;  // what the other program left
    *change.moment = [&] {
      if (made) return;
      ASSERT_EQ(std::system(("cd '" + work.string() + "' && " + change.command).c_str()), 0);
      made = fs::exists(book) ? ReadBytes(book) : "(removed)";
    };
    std::vector<std::string> left = Snapshot(work);
    const auto [code, said] = RunHere(args, err);
    *change.moment = nullptr;
    ASSERT_TRUE(made.has_value()) << "the moment never came";
    EXPECT_EQ(code, kExitBadUse);
    EXPECT_EQ(said,
              "tallivan-calc: " + ChangedError(book.string()).description + change.outcome + "\n");
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
  QTemporaryDir dir;
  const fs::path book = dir.path().toStdString() + "/book", history = book.string() + ".history";
  const std::string stale = Le(Repeat(kStale, 40'000));
  const auto nothing_left = [&] {
    const std::vector<std::string> left = Entries(book.parent_path());
    EXPECT_TRUE(std::none_of(left.begin(), left.end(),
                             [](const std::string& name) { return name.ends_with(".tmp"); }));
    EXPECT_TRUE(!fs::exists(history) || Entries(history).empty());
  };
  // {the signal, the moment it comes, whether the temporary file has a name from the start}
  const std::tuple<int, std::function<void()>*, bool> cases[] = {
      {SIGTERM, &on_flush, true}, {SIGINT, &on_rename, false}, {SIGHUP, &on_rename, true}};
  for (const auto& [signal_number, moment, named] : cases) {
    SCOPED_TRACE(strsignal(signal_number));
    WriteBytes(book, stale);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      named_only = named;
      *moment = [number = signal_number] { raise(number); };
      _exit(RunHere({"-i", book}, book.string() + ".err").first);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
    EXPECT_TRUE(ReadBytes(book) == stale);
    EXPECT_EQ(ReadBytes(book.string() + ".err"), "");
    fs::remove(book.string() + ".err");
    nothing_left();
  }
  // The program itself, ended at random moments over a run's time.
  using Clock = std::chrono::steady_clock;
  const auto run = [&](int signal_number, Clock::duration after) {
    WriteBytes(book, stale);
    const pid_t child = fork();
    if (child == 0) {
      execl(TALLIVAN_CALC_PATH, "tallivan-calc", "-i", book.c_str(), nullptr);
      _exit(127);
    }
    std::this_thread::sleep_for(after);
    kill(child, signal_number);
    waitpid(child, nullptr, 0);
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
