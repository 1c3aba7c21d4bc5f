// The programs as a user meets them: their command lines, the Debian package and what an installed
// copy does with the user's folders, the shell completion and the make targets that touch books.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/version.h"
#include "tests/storage/test_files.h"
#include "ui/frm_main.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr auto kPatience = std::chrono::seconds(60);

// Environment variables to set, or to unset (nullopt), for a child process.
using Environment = std::map<std::string, std::optional<std::string>>;

// What a finished program gave.
struct Outcome {
  int code = -1;  // the exit status, or 128 + the signal that ended it
  std::string out, err;
};

// Starts `argv` in `folder` with `environment` applied, its output going to files in `folder`.
pid_t Start(const std::vector<std::string>& argv, const Environment& environment,
            const fs::path& folder) {
  const pid_t child = fork();
  if (child != 0) return child;
  for (const auto& [name, value] : environment) {
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }
  const int out = open((folder / ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open((folder / ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (chdir(folder.c_str()) != 0 || out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
    _exit(126);
  }
  execvp(args[0], args.data());
  _exit(127);
}

Outcome Finish(pid_t child, const fs::path& folder) {
  int status = 0;
  Outcome outcome;
  if (waitpid(child, &status, 0) == child) {
    outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  outcome.out = ReadBytes(folder / ".out");
  outcome.err = ReadBytes(folder / ".err");
  fs::remove(folder / ".out");
  fs::remove(folder / ".err");
  return outcome;
}

Outcome RunProgram(const std::vector<std::string>& argv, const fs::path& folder,
                   const Environment& environment = {}) {
  return Finish(Start(argv, environment, folder), folder);
}

// Waits until `ready` holds; false when it never did.
template <typename Ready>
bool WaitFor(Ready ready) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Every file and folder under `root` with its size and modification time.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    lstat(entry.path().c_str(), &st);
    tree[entry.path().lexically_relative(root)] =
        std::to_string(st.st_size) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
        std::to_string(st.st_mtim.tv_nsec) + "/" + std::to_string(st.st_mode);
  }
  return tree;
}

// Everything under `roots` whose name starts with "book".
std::set<fs::path> BooksUnder(const std::vector<fs::path>& roots) {
  std::set<fs::path> books;
  for (const fs::path& root : roots) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.path().filename().string().starts_with("book")) books.insert(entry.path());
    }
  }
  return books;
}

unsigned ModeOf(const fs::path& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Without a display: a program that tried to open a window would fail.
const Environment kNoDisplay = {
    {"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
const Environment kOffScreen = {{"QT_QPA_PLATFORM", "offscreen"}};

TEST(WindowOptionsTest, AnswersHelpVersionAndBadUseWithoutOpeningTheWindow) {
  const std::string usage = "Usage: tallivan [--book PATH]\n";
  const struct {
    std::vector<std::string> args;
    bool display;  // Qt starts, off screen
    int code;
    std::string out;  // what standard output starts with
    std::string err;  // all of standard error after "tallivan: "
  } cases[] = {
      {{"--version"}, false, 0, std::string("tallivan ") + kVersion + "\n", ""},
      {{"--help", "--bogus"}, false, 0, usage, ""},
      {{"--book", "b", "-h"}, false, 0, usage, ""},
      {{"-platform", "offscreen", "--version"}, false, 0, "tallivan ", ""},
      {{"--book"}, false, 2, "", "--book needs a file name (see --help)\n"},
      {{"--book="}, false, 2, "", "--book needs a file name (see --help)\n"},
      {{"--bogus"}, false, 2, "", "unknown option '--bogus' (see --help)\n"},
      {{"--book", "a", "--book=b"}, false, 2, "", "more than one book: 'a' and 'b' (see --help)\n"},
      {{"-x"}, true, 2, "", "unknown option '-x' (see --help)\n"},
      {{"book"}, true, 2, "", "unexpected argument 'book'; name a book with --book (see --help)\n"},
      {{"-platform", "offscreen", "a", "b"},
       false,
       2,
       "",
       "unexpected argument 'a'; name a book with --book (see --help)\n"},
  };
  QTemporaryDir dir;
  const fs::path folder = dir.path().toStdString();
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> argv = {TALLIVAN_EXECUTABLE};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Outcome outcome = RunProgram(argv, folder, c.display ? kOffScreen : kNoDisplay);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_TRUE(outcome.out.starts_with(c.out) && (c.out.empty() == outcome.out.empty()))
        << outcome.out;
    // Qt may warn on its own lines; the program's message is its last line.
    const size_t own = outcome.err.rfind("tallivan: ");
    EXPECT_EQ(own == std::string::npos ? outcome.err : outcome.err.substr(own + 10), c.err);
    EXPECT_TRUE(BooksUnder({folder}).empty()) << "no book is made";
  }
}

TEST(WindowOptionsTest, OpensTheBookNamedRelativeToTheWorkingFolderAndSavesItThere) {
  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  fs::create_directories(root / "app");
  fs::create_directories(root / "work/ledgers");
  fs::copy_file(TALLIVAN_EXECUTABLE, root / "app/tallivan");
  const fs::path book = root / "work/ledgers/2026";
  const std::string text = Le(u"rent [1000]\r\n#");
  WriteBytes(book, text);
  struct stat before {};
  ASSERT_EQ(stat(book.c_str(), &before), 0);
  // The program reads its book once it catches the signals.
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, book.c_str(), IN_CLOSE_NOWRITE), 0);
  const pid_t child =
      Start({(root / "app/tallivan").string(), "-platform", "offscreen", "--book", "ledgers/2026"},
            {}, root / "work");
  pollfd event{watch, POLLIN, 0};
  const bool read = poll(&event, 1, 60000) == 1;
  close(watch);
  kill(child, SIGTERM);
  const Outcome outcome = Finish(child, root / "work");
  ASSERT_TRUE(read) << "the program never read its book: " << outcome.err;
  EXPECT_EQ(outcome.code, 0) << outcome.err;
  struct stat after {};
  ASSERT_EQ(stat(book.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "nothing changed, so nothing was written";
  EXPECT_EQ(ReadBytes(book), text);
  std::set<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory()) files.insert(entry.path());
  }
  EXPECT_EQ(files, (std::set<fs::path>{root / "app/tallivan", book})) << "nothing beside it";
}

TEST(CompletionTest, OffersEveryOptionTheHelpNames) {
  QTemporaryDir dir;
  const fs::path folder = dir.path().toStdString();
  for (const auto& [program, executable] :
       {std::pair{"tallivan", TALLIVAN_EXECUTABLE}, std::pair{"tallivan-calc", TALLIVAN_CALC}}) {
    SCOPED_TRACE(program);
    const Outcome help = RunProgram({executable, "--help"}, folder, kNoDisplay);
    ASSERT_EQ(help.code, 0);
    std::set<std::string> named;
    const std::regex option(R"((?:^  |, )(--?[a-z0-9][a-z0-9-]*))");
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) {
      for (std::sregex_iterator it(line.begin(), line.end(), option), end; it != end; ++it) {
        if ((*it)[1] != "-h") named.insert((*it)[1]);
      }
    }
    const std::string script = std::string("source '") + TALLIVAN_SOURCE_DIR +
                               "/packaging/completion/" + program + "'; COMP_WORDS=(" + program +
                               " -); COMP_CWORD=1; $(complete -p " + program +
                               " | sed 's/.*-F \\([^ ]*\\).*/\\1/'); printf '%s\\n' "
                               "\"${COMPREPLY[@]}\"";
    const Outcome completion = RunProgram({"bash", "-c", script}, folder);
    ASSERT_EQ(completion.code, 0) << completion.err;
    std::set<std::string> offered;
    std::istringstream words(completion.out);
    for (std::string word; std::getline(words, word);) offered.insert(word);
    EXPECT_GE(named.size(), 3u);
    EXPECT_EQ(offered, named);
  }
}

TEST(MakeCleanTest, RefusesWhileTheBuildFolderHoldsABook) {
  // Files under the temporary folder: "build/..." in the build folder, "build-windows/..." in the
  // Windows one.
  const struct {
    std::vector<std::string> files;
    bool removed;
  } cases[] = {
      {{"build/bin/tallivan", "build/tests/cli_test", "build-windows/bin/tallivan.exe",
        "build/bench-books/book-1m"},
       true},
      {{"build/bin/tallivan", "build/bin/book"}, false},
      {{"build/bin/book.unsaved-20261207-101500"}, false},
      {{"build/bin/tallivan", "build-windows/bin/book"}, false},
      {{"build-windows/bin/book.unsaved-20261207-101500"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files.back());
    QTemporaryDir dir;
    const fs::path root = dir.path().toStdString();
    for (const std::string& file : c.files) {
      fs::create_directories((root / file).parent_path());
      WriteBytes(root / file, "x");
    }
    const Outcome outcome = RunProgram(
        {"make", "-s", "-C", TALLIVAN_SOURCE_DIR, "clean", "BUILD_DIR=" + (root / "build").string(),
         "WINDOWS_DIR=" + (root / "build-windows").string()},
        root);
    EXPECT_EQ(fs::exists(root / "build") || fs::exists(root / "build-windows"), !c.removed);
    EXPECT_EQ(outcome.code == 0, c.removed) << outcome.err;
    if (!c.removed) {
      EXPECT_NE(outcome.err.find((root / c.files.back()).string()), std::string::npos)
          << "names the book: " << outcome.err;
      EXPECT_EQ(ReadBytes(root / c.files.back()), "x");
    }
  }
}

// The package that the package.build test made, unpacked into a temporary root.
class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& entry : fs::directory_iterator(TALLIVAN_PACKAGE_DIR)) {
      const std::string name = entry.path().filename();
      if (name.starts_with(std::string("tallivan_") + kVersion + "_") && name.ends_with(".deb")) {
        package_ = entry.path();
      }
    }
    ASSERT_FALSE(package_.empty()) << "no package in " << TALLIVAN_PACKAGE_DIR;
    ASSERT_EQ(RunProgram({"dpkg-deb", "-x", package_, root()}, folder_).code, 0);
  }

  fs::path root() const { return folder_ / "root"; }

  QTemporaryDir dir_;
  const fs::path folder_ = dir_.path().toStdString();
  fs::path package_;
};

TEST_F(PackageTest, HoldsTheProgramsTheirDesktopFilesAndDocumentsAndNothingElse) {
  const std::string id = kAppId;
  std::set<std::string> expected = {
      "usr/bin/tallivan",
      "usr/bin/tallivan-calc",
      "usr/share/applications/" + id + ".desktop",
      "usr/share/metainfo/" + id + ".metainfo.xml",
      "usr/share/icons/hicolor/scalable/apps/" + id + ".svg",
      "usr/share/man/man1/tallivan.1.gz",
      "usr/share/man/man1/tallivan-calc.1.gz",
      "usr/share/bash-completion/completions/tallivan",
      "usr/share/bash-completion/completions/tallivan-calc",
      "usr/share/doc/tallivan/copyright",
      "usr/share/doc/tallivan/changelog.gz",
  };
  const int sizes[] = {16, 24, 32, 48, 64, 128, 256};
  for (int size : sizes) {
    const std::string folder = std::to_string(size) + "x" + std::to_string(size);
    expected.insert("usr/share/icons/hicolor/" + folder + "/apps/" + id + ".png");
  }
  const Outcome contents = RunProgram({"dpkg-deb", "--contents", package_}, folder_);
  ASSERT_EQ(contents.code, 0);
  std::set<std::string> files;
  std::istringstream lines(contents.out);
  for (std::string line; std::getline(lines, line);) {
    const std::string path = line.substr(line.find("./") + 2);
    if (!line.starts_with("d")) files.insert(path);
    EXPECT_TRUE(line.starts_with(expected.contains(path) && path.starts_with("usr/bin/")
                                     ? "-rwxr-xr-x root/root"
                                 : line.starts_with("d") ? "drwxr-xr-x root/root"
                                                         : "-rw-r--r-- root/root"))
        << line;
  }
  EXPECT_EQ(files, expected);

  // Each PNG is as large as its folder says: width and height from its header.
  for (int size : sizes) {
    const std::string folder = std::to_string(size) + "x" + std::to_string(size);
    const std::string png =
        ReadBytes(root() / ("usr/share/icons/hicolor/" + folder + "/apps/" + id + ".png"));
    ASSERT_GE(png.size(), 24u) << folder;
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n") << folder;
    auto number = [&png](size_t at) {
      return (static_cast<unsigned char>(png[at]) << 24) |
             (static_cast<unsigned char>(png[at + 1]) << 16) |
             (static_cast<unsigned char>(png[at + 2]) << 8) |
             static_cast<unsigned char>(png[at + 3]);
    };
    EXPECT_EQ(png.substr(12, 4), "IHDR") << folder;
    EXPECT_EQ(number(16), static_cast<unsigned>(size)) << folder;
    EXPECT_EQ(number(20), static_cast<unsigned>(size)) << folder;
  }

  const Outcome info = RunProgram({"dpkg-deb", "--info", package_}, folder_);
  ASSERT_EQ(info.code, 0);
  const std::regex depends_line(R"(\n Depends: ([^\n]*))");
  std::smatch depends;
  ASSERT_TRUE(std::regex_search(info.out, depends, depends_line)) << info.out;
  std::set<std::string> packages;  // the names, without their versions
  std::istringstream list(depends[1].str());
  for (std::string item; std::getline(list >> std::ws, item, ',');) {
    packages.insert(item.substr(0, item.find(' ')));
  }
  for (const char* needed : {"libc6", "libstdc++6", "libqt6core6", "libqt6gui6", "libqt6widgets6",
                             "fonts-arphic-uming", "fonts-dejavu-core"}) {
    EXPECT_TRUE(packages.contains(needed)) << needed << " in " << depends[1];
  }
  EXPECT_EQ(depends[1].str().find("libgtest"), std::string::npos);
  EXPECT_NE(info.out.find("\n Package: tallivan\n"), std::string::npos);
  EXPECT_NE(info.out.find(std::string("\n Version: ") + kVersion + "\n"), std::string::npos);
}

TEST_F(PackageTest, PassesTheDesktopAppStreamManualAndPackageChecks) {
  const std::string share = root() / "usr/share";
  const std::string id = kAppId;
  const std::vector<std::string> checks[] = {
      {"desktop-file-validate", share + "/applications/" + id + ".desktop"},
      {"appstreamcli", "validate", "--no-net", share + "/metainfo/" + id + ".metainfo.xml"},
      {"man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", share + "/man/man1/tallivan.1.gz"},
      {"man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z",
       share + "/man/man1/tallivan-calc.1.gz"},
      {"lintian", "--fail-on", "error,warning", package_},
  };
  for (const std::vector<std::string>& check : checks) {
    SCOPED_TRACE(check.back());
    const Outcome outcome = RunProgram(check, folder_, {{"MANWIDTH", "80"}});
    EXPECT_EQ(outcome.code, 0) << outcome.out << outcome.err;
    if (check[0] == "man" || check[0] == "desktop-file-validate") {
      EXPECT_EQ(outcome.err + (check[0] == "man" ? "" : outcome.out), "") << "warnings";
    }
  }
}

TEST_F(PackageTest, InstalledWindowKeepsItsBookInTheHomeDataFolderAndNowhereElse) {
  const fs::path home = folder_ / "home", work = folder_ / "work";
  fs::create_directories(home);
  fs::create_directories(work);
  const std::map<std::string, std::string> installed = Tree(root());
  const Environment environment = {{"HOME", home.string()},
                                   {"XDG_DATA_HOME", std::nullopt},
                                   {"XDG_CONFIG_HOME", std::nullopt},
                                   {"XDG_CACHE_HOME", std::nullopt},
                                   {"QT_QPA_PLATFORM", "offscreen"}};
  const fs::path data = home / ".local/share/tallivan";
  const pid_t child = Start({(root() / "usr/bin/tallivan").string()}, environment, work);
  // The data folder is made once the program catches the signals.
  const bool started = WaitFor([&] { return fs::exists(data); });
  kill(child, SIGTERM);
  const Outcome outcome = Finish(child, work);
  ASSERT_TRUE(started) << outcome.err;
  EXPECT_EQ(outcome.code, 0) << outcome.err;
  EXPECT_EQ(ReadBytes(data / "book"), Le(kSampleText)) << "the sample text, saved on closing";
  for (const fs::path& folder : {home / ".local", home / ".local/share", data}) {
    EXPECT_EQ(ModeOf(folder), 0700u) << folder;
  }
  EXPECT_EQ(BooksUnder({folder_}), std::set<fs::path>{data / "book"});
  EXPECT_TRUE(Tree(root()) == installed) << "the installation is left as it was";
}

}  // namespace
}  // namespace tallivan
