#include "cli/cli.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ledger/ledger.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string Le(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

int MemFile(const std::string& content) {
  const int fd = memfd_create("calc", 0);
  if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) return -1;
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string Drain(int fd) {
  std::string content;
  char buffer[65536];
  lseek(fd, 0, SEEK_SET);  // fails harmlessly on a pipe
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) content.append(buffer, got);
  close(fd);
  return content;
}

enum class Stdout { kMemory, kFull };

struct Call {
  Call(std::vector<std::string> args, std::string input = "", Stdout out = Stdout::kMemory,
       rlim_t file_size_limit = RLIM_INFINITY)
      : args(std::move(args)),
        input(std::move(input)),
        out(out),
        file_size_limit(file_size_limit) {}

  std::vector<std::string> args;
  std::string input;  // standard input
  Stdout out;
  rlim_t file_size_limit;
};

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs the calculator with its standard streams on in-memory files, in a child process when
// `in_process` is false (the real executable) or a limit has to be set.
Outcome Run(const Call& call, bool in_process) {
  const int in = MemFile(call.input);
  const int out = call.out == Stdout::kFull ? open("/dev/full", O_WRONLY) : MemFile("");
  int err_pipe[2];
  if (pipe(err_pipe) != 0) return {};
  const int err = err_pipe[1];
  Outcome outcome;
  if (in_process && call.file_size_limit == RLIM_INFINITY) {
    outcome.code = RunCalc(call.args, {in, out, err}, u".");
  } else {
    const pid_t child = fork();
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{call.file_size_limit, call.file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
      if (in_process) _exit(RunCalc(call.args, {in, out, err}, u"."));
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      setenv("LC_ALL", "C", 1);
      std::vector<char*> argv{const_cast<char*>(TALLIVAN_CALC_PATH)};
      for (const std::string& arg : call.args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  close(in);
  close(err);
  outcome.out = call.out == Stdout::kFull ? (close(out), "") : Drain(out);
  outcome.err = Drain(err_pipe[0]);
  return outcome;
}

const std::u16string kStale = u"coffee [2 3.5]\r\n  # old [9]\r\n账本 😀 [-3] // note [5]\r\n#\r\n";
const std::u16string kFresh =
    u"coffee [2 3.5]\r\n#  (7.00) ,  7.00\r\n账本 😀 [-3] // note [5]\r\n#  (-3.00) ,  4.00\r\n";
const std::string kStaleUtf8 = "coffee [2 3.5]\r\n  # old [9]\r\n账本 😀 [-3] // note [5]\r\n#\r\n";
const std::string kFreshUtf8 =
    "coffee [2 3.5]\r\n#  (7.00) ,  7.00\r\n账本 😀 [-3] // note [5]\r\n#  (-3.00) ,  4.00\r\n";

class CalcTest : public ::testing::TestWithParam<bool> {
 protected:
  Outcome Run(Call call) { return tallivan::Run(call, GetParam()); }
  fs::path Dir() const { return dir_.path().toStdString(); }
  std::string Path(const std::string& name) const { return (Dir() / name).string(); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Dir())) {
      std::string name = entry.path().filename().string();
      if (entry.is_directory()) {
        name += "/";
      } else {
        name.append(":").append(ReadBytes(entry.path()));
      }
      names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  QTemporaryDir dir_;
};

TEST_P(CalcTest, WritesTheNewTextInTheInputsEncoding) {
  WriteBytes(Path("book"), Le(kStale));
  WriteBytes(Path("book.txt"), kStaleUtf8);
  WriteBytes(Path("new"), std::string(1000, 'x'));
  const struct {
    Call call;
    std::string out;
    std::string file;  // a file that holds `content` afterwards
    std::string content;
  } cases[] = {
      {{{Path("book")}}, Le(kFresh), "book", Le(kStale)},
      {{{}, Le(kStale)}, Le(kFresh), "", ""},
      {{{"-", "-o", "-"}, Le(kStale)}, Le(kFresh), "", ""},
      {{{"--utf8", Path("book.txt")}}, kFreshUtf8, "", ""},
      {{{"--utf8"}, kStaleUtf8}, kFreshUtf8, "", ""},
      {{{"--", "-"}, ""}, "", "", ""},
      {{{"-o", Path("new"), Path("book")}}, "", "new", Le(kFresh)},
      {{{"--utf8", "-o", Path("new.txt"), Path("book.txt")}}, "", "new.txt", kFreshUtf8},
      {{{"--utf8", "-i", Path("book.txt")}}, "", "book.txt", kFreshUtf8},
      {{{"-i", Path("book")}}, "", "book", Le(kFresh)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.call.args));
    const Outcome outcome = Run(c.call);
    EXPECT_EQ(outcome.code, kExitOk);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, c.out);
    if (!c.file.empty()) {
      EXPECT_EQ(ReadBytes(Path(c.file)), c.content);
    }
  }
  EXPECT_THAT(Entries(), ::testing::SizeIs(4));
}

TEST_P(CalcTest, CheckTellsWhetherAnySubtotalWouldChange) {
  const struct {
    std::string input;
    std::vector<std::string> extra;
    int code;
  } cases[] = {
      {Le(kStale), {}, kExitOutOfDate},         {Le(kFresh), {}, kExitOk},
      {Le(u"no groups [1]"), {}, kExitOk},      {"", {}, kExitOk},
      {kStaleUtf8, {"--utf8"}, kExitOutOfDate}, {kFreshUtf8, {"--utf8"}, kExitOk},
  };
  for (const auto& c : cases) {
    WriteBytes(Path("book"), c.input);
    std::vector<std::string> args = c.extra;
    args.push_back("--check");
    EXPECT_EQ(Run({args, c.input}).code, c.code) << "from standard input";
    args.push_back(Path("book"));
    const Outcome outcome = Run({args});
    EXPECT_EQ(outcome.code, c.code) << c.input;
    EXPECT_EQ(outcome.out + outcome.err, "");
    EXPECT_EQ(ReadBytes(Path("book")), c.input);
  }
}

TEST_P(CalcTest, RejectedBookGivesOneCompilerStyleLineAndWritesNothing) {
  const struct {
    std::u16string third_line;
    std::string message;
  } cases[] = {
      {u"tea [2 x]", "Something invalid in the Bracket. 括号中有内容不可识别。"},
      {u"tea [ ]", "Empty Bracket. 括号里是空的。"},
      {u"tea [1000000000000000]", "Number / result is too big. 数字/计算结果太大。"},
      {u"tea ] [2]", "Unmatched bracket. 括号不配对。"},
      {u"tea [[2]]", "Unmatched bracket. 括号不配对。"},
      {u"tea [2 // ]", "Unmatched bracket. 括号不配对。"},
  };
  for (const auto& c : cases) {
    const std::u16string text = u"a [1]\r\n#\r\n" + c.third_line + u"\r\n#";
    WriteBytes(Path("book"), Le(text));
    const std::string book = Path("book");
    const Call calls[] = {
        {{book}}, {{"-i", book}}, {{"-o", Path("out"), book}}, {{"--check", book}}, {{}, Le(text)}};
    for (const Call& call : calls) {
      const std::string name = call.args.empty() ? "<stdin>" : book;
      const Outcome outcome = Run(call);
      EXPECT_EQ(outcome.code, kExitRejected);
      EXPECT_EQ(outcome.out, "");
      EXPECT_EQ(outcome.err, name + ":3: error: " + c.message + "\n");
    }
    EXPECT_EQ(ReadBytes(Path("book")), Le(text));
    EXPECT_FALSE(fs::exists(Path("out")));
  }
}

TEST_P(CalcTest, BadUseGivesOneReasonAndTouchesNothing) {
  WriteBytes(Path("book"), Le(kStale));
  WriteBytes(Path("odd"), "abc");
  WriteBytes(Path("bad.txt"), "ok\r\nthen \xC0\xAF");
  WriteBytes(Path("plain"), "a file");
  fs::create_directories(Dir() / "folder" / "inside");
  const std::vector<std::string> before = Entries();
  const std::string book = Path("book");
  const struct {
    Call call;
    std::string reason;
  } cases[] = {
      {{{"--bogus", book}}, "unknown option '--bogus'"},
      {{{book, "-o"}}, "-o needs a file name"},
      {{{"--check", "-i", book}}, "only one of --check, -i and -o"},
      {{{"-o", Path("x"), "-i", book}}, "only one of --check, -i and -o"},
      {{{book, Path("odd")}}, "more than one book"},
      {{{"-i"}, Le(kStale)}, "-i needs a book file"},
      {{{"-i", "-"}, Le(kStale)}, "-i needs a book file"},
      {{{Path("missing")}}, Path("missing") + "\": No such file or directory"},
      {{{"--utf8", Path("missing")}}, "No such file or directory"},
      {{{Path("folder")}}, "Is a directory"},
      {{{Path("odd")}}, "is odd"},
      {{{}, "abc"}, "\"<stdin>\": its length (3 bytes) is odd"},
      {{{"--utf8", Path("bad.txt")}}, "invalid UTF-8 at byte 9 (line 2)"},
      {{{"--utf8"}, "truncated \xE8\xB4"}, "\"<stdin>\": invalid UTF-8 at byte 10 (line 1)"},
      {{{"--utf8"}, "\xED\xA0\x80"}, "invalid UTF-8 at byte 0"},
      {{{"-o", Path("plain/out"), book}}, Path("plain/out") + "\": Not a directory"},
      {{{"-o", Path("folder"), book}}, "Is a directory"},
      {{{book}, "", Stdout::kFull}, "Cannot write standard output: No space left on device"},
      {{{"-i", book}, "", Stdout::kMemory, 16}, book + "\": File too large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.call.args));
    const Outcome outcome = Run(c.call);
    EXPECT_EQ(outcome.code, kExitBadUse);
    EXPECT_EQ(outcome.out, "");
    EXPECT_THAT(outcome.err, StartsWith("tallivan-calc: "));
    EXPECT_THAT(outcome.err, HasSubstr(c.reason));
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1);
    EXPECT_EQ(Entries(), before);
  }
}

TEST_P(CalcTest, HelpPrintsTheUsage) {
  for (const std::string flag : {"--help", "-h"}) {
    const Outcome outcome = Run({{"--utf8", flag, "--bogus"}});
    EXPECT_EQ(outcome.code, kExitOk);
    EXPECT_EQ(outcome.out, CalcUsage());
    EXPECT_THAT(outcome.out, StartsWith("Usage: tallivan-calc [--utf8] [--check | -i | -o OUT]"));
    EXPECT_EQ(outcome.err, "");
  }
}

TEST_P(CalcTest, LargeBookComesOutAsTheEngineMakesIt) {
  std::u16string text;
  for (int group = 0; text.size() < 3'000'000; ++group) {
    for (int line = 0; line < group % 7; ++line) {
      text += u"账本 😀 entry " + std::u16string(group % 50, u'x') + u" [" +
              std::u16string(1, u'1' + line) + u" 0.25]\r\n";
    }
    text += group % 3 == 0 ? u"#  (0.00) ,  0.00\r\n" : u"# stale\r\n";
  }
  const auto expected = std::get<std::u16string>(Recalculate(text));
  const Outcome utf16 = Run({{}, Le(text)});
  EXPECT_EQ(utf16.code, kExitOk);
  EXPECT_TRUE(utf16.out == Le(expected));

  std::string utf8_text;
  QString::fromStdU16String(text).toStdString().swap(utf8_text);
  WriteBytes(Path("book.txt"), utf8_text);
  const Outcome utf8 = Run({{"--utf8", "-i", Path("book.txt")}});
  EXPECT_EQ(utf8.code, kExitOk);
  EXPECT_TRUE(ReadBytes(Path("book.txt")) == QString::fromStdU16String(expected).toStdString());
}

INSTANTIATE_TEST_SUITE_P(Ways, CalcTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "InProcess" : "Executable";
                         });

TEST(CalcSeparatorTest, FiguresUseTheGivenSeparator) {
  for (const std::u16string separator : {u",", u"٫", u"."}) {
    const Call call{{"--utf8"}, "a [1.5] [1]\r\n#"};
    const int in = MemFile(call.input);
    const int out = MemFile("");
    EXPECT_EQ(RunCalc(call.args, {in, out, 2}, separator), kExitOk);
    close(in);
    EXPECT_EQ(QString::fromStdString(Drain(out)).toStdU16String(),
              u"a [1.5] [1]\r\n#  (2" + separator + u"50) ,  2" + separator + u"50");
  }
}

TEST(CalcSeparatorTest, ExecutableTakesTheSeparatorFromLcNumeric) {
  QTemporaryDir dir;
  const std::string locales = dir.path().toStdString();
  const std::string make_locale =
      "localedef -i de_DE -f UTF-8 '" + locales + "/de_DE.UTF-8' >/dev/null 2>&1";
  if (std::system(make_locale.c_str()) != 0) GTEST_SKIP() << "no German locale can be built";
  WriteBytes(locales + "/in", "a [1.5]\r\n#");
  for (const auto& [numeric, expected] : {std::pair{"de_DE.UTF-8", "1,50"}, {"C", "1.50"}}) {
    const std::string command = "env -u LC_ALL LOCPATH='" + locales + "' LC_NUMERIC=" + numeric +
                                " '" TALLIVAN_CALC_PATH "' --utf8 '" + locales + "/in' > '" +
                                locales + "/out'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(ReadBytes(locales + "/out"),
              "a [1.5]\r\n#  (" + std::string(expected) + ") ,  " + expected);
  }
}

}  // namespace
}  // namespace tallivan
