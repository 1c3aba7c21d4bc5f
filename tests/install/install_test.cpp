// The programs as a user meets them: their command lines, the Debian package and what an installed
// copy does with the user's folders, the shell completion and the make targets that touch books.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/version.h"
#include "tests/storage/test_files.h"
#include "tests/storage/test_posix.h"
#include "ui/frm_main.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;

// The files and folders under `folder` whose names match `pattern`, each with what `format` (of
// find's -printf) says of it, sorted; the output of the find itself left out.
std::string Find(const fs::path& folder, const std::string& pattern, const std::string& format) {
  const std::string list = "find . -mindepth 1 -name '" + pattern +
                           "' ! -name .out ! -name .err -printf '" + format + "\\n' | sort";
  return RunProgram({"sh", "-c", list}, folder).out;
}

// Without a display: a program that tried to open a window would fail.
const Environment kNoDisplay = {
    {"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
const Environment kOffScreen = {{"QT_QPA_PLATFORM", "offscreen"}};

// Runs `argv` in `work` until `made` appears (the program makes it once it catches the signals),
// or for a minute, then ends it with SIGTERM; whether `made` appeared, and what the program gave.
std::pair<bool, Outcome> RunUntilMade(const std::vector<std::string>& argv,
                                      const Environment& environment, const fs::path& work,
                                      const fs::path& made) {
  const pid_t child = Start(argv, environment, work);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(made) && std::chrono::steady_clock::now() < deadline) usleep(20'000);
  const bool appeared = fs::exists(made);
  kill(child, SIGTERM);
  return {appeared, Finish(child, work)};
}

TEST(WindowOptionsTest, AnswersHelpVersionAndBadUseWithoutOpeningTheWindow) {
  const std::string usage = "Usage: tallivan [[--book] PATH]\n";
  const std::string two_books = "more than one book: 'a' and 'b' (see --help)\n";
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
      {{"--book", "a", "--book=b"}, false, 2, "", two_books},
      {{"-x"}, true, 2, "", "unknown option '-x' (see --help)\n"},
      {{""}, true, 2, "", "the book's file name is empty (see --help)\n"},
      {{"-platform", "offscreen", "a", "b"}, false, 2, "", two_books},
      {{"a", "--book", "b"}, true, 2, "", two_books},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> argv = {TALLIVAN_EXECUTABLE};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Outcome outcome = RunProgram(argv, dir.path(), c.display ? kOffScreen : kNoDisplay);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_TRUE(outcome.out.starts_with(c.out) && (c.out.empty() == outcome.out.empty()))
        << outcome.out;
    // Qt may warn on its own lines; the program's message is its last line.
    const size_t own = outcome.err.rfind("tallivan: ");
    EXPECT_EQ(own == std::string::npos ? outcome.err : outcome.err.substr(own + 10), c.err);
    EXPECT_EQ(Find(dir.path(), "book*", "%p"), "") << "no book is made";
  }
}

// The desktop entry's Exec line as a desktop runs it to open `file`: split into words (it holds no
// quotes or escapes), %f standing for the file as one word.
std::vector<std::string> DesktopExec(const std::string& file) {
  const std::string entry = ReadBytes(TALLIVAN_DESKTOP_ENTRY);
  std::smatch exec;
  std::regex_search(entry, exec, std::regex(R"(\nExec=([^\n]*))"));
  EXPECT_EQ(exec[1].str().find_first_of("\"'\\`$"), std::string::npos) << exec[1];
  std::vector<std::string> words;
  std::istringstream line(exec[1].str());
  bool named = false;
  for (std::string word; line >> word;) {
    named = named || word == "%f";
    words.push_back(word == "%f" ? file : word);
  }
  if (named) return words;
  ADD_FAILURE() << "the Exec line takes no file: " << exec[1];
  return {"false"};  // rather than open the book beside the built program
}

TEST(WindowOptionsTest, OpensABookNamedAloneOrThroughTheDesktopEntry) {
  TempDir dir;
  const fs::path work = dir.path() / "work", state = dir.path() / "state";
  const fs::path opened = dir.path() / "a folder/my book";
  fs::create_directories(work);
  fs::create_directories(opened.parent_path());
  const Environment environment = {
      {"PATH", fs::path(TALLIVAN_EXECUTABLE).parent_path().string() + ":/usr/bin:/bin"},
      {"XDG_STATE_HOME", state.string()},
      {"QT_QPA_PLATFORM", "offscreen"}};
  const struct {
    std::vector<std::string> argv;
    fs::path book;
  } cases[] = {
      {{"tallivan", "my book"}, work / "my book"},
      {{"tallivan", "-platform", "offscreen", "../a folder/my book"}, opened},
      {DesktopExec(opened.string()), opened},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.argv));
    const Outcome outcome = RunUntilMade(c.argv, environment, work, state / "tallivan").second;
    EXPECT_EQ(outcome.code, 0) << outcome.err;
    EXPECT_EQ(ReadIfThere(c.book), Le(kSampleText)) << "the sample text, saved on closing";
    EXPECT_EQ(Find(dir.path(), "*book*", "%p"),
              "./" + fs::relative(c.book, dir.path()).string() + "\n")
        << "no other book";
    fs::remove(c.book);
    fs::remove_all(state);
  }
}

enum class Shell { kBash, kZsh, kFish };

// The words `shell`, with the completion in packaging/completion, offers for the last of `words`
// (each as typed, quotes and backslashes included), one a line and sorted.
Outcome Offered(Shell shell, const std::vector<std::string>& words, const fs::path& dir) {
  const std::string completion = std::string(TALLIVAN_SOURCE_DIR) + "/packaging/completion";
  std::string line;
  for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
  std::vector<std::string> argv;
  switch (shell) {
    case Shell::kBash:
      argv = {"bash", "-c",
              "source \"$0\"; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); "
              "$(complete -p \"$1\" | sed 's/.*-F \\([^ ]*\\).*/\\1/'); "
              "((${#COMPREPLY[@]} == 0)) || printf '%s\\n' \"${COMPREPLY[@]}\" | sort",
              completion + "/" + words.front()};
      argv.insert(argv.end(), words.begin(), words.end());
      break;
    case Shell::kZsh:
      argv = {std::string(TALLIVAN_SOURCE_DIR) + "/tests/install/complete-in-zsh", completion,
              line};
      break;
    case Shell::kFish:
      argv = {"fish", "-c", "source $argv[1].fish; complete -C $argv[2] | cut -f1 | sort",
              completion + "/" + words.front(), line};
      break;
  }
  // Fish keeps its own settings: in hidden folders here rather than in the user's home.
  return RunProgram(argv, dir,
                    {{"XDG_CONFIG_HOME", (dir / ".config").string()},
                     {"XDG_DATA_HOME", (dir / ".local/share").string()}});
}

TEST(CompletionTest, OffersEveryOptionTheHelpNames) {
  TempDir dir;
  for (const auto& [program, executable] :
       {std::pair{"tallivan", TALLIVAN_EXECUTABLE}, std::pair{"tallivan-calc", TALLIVAN_CALC}}) {
    const Outcome help = RunProgram({executable, "--help"}, dir.path(), kNoDisplay);
    ASSERT_EQ(help.code, 0);
    std::set<std::string> named;
    const std::regex option(R"((?:\n  |, )(--?[a-z0-9][a-z0-9-]*))");
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), option), end; it != end; ++it) {
      named.insert((*it)[1]);
    }
    EXPECT_GE(named.size(), 4u);
    for (const Shell shell : {Shell::kBash, Shell::kZsh, Shell::kFish}) {
      SCOPED_TRACE(std::string(program) + " in shell " + std::to_string(static_cast<int>(shell)));
      const Outcome completion = Offered(shell, {program, "-"}, dir.path());
      ASSERT_EQ(completion.code, 0) << completion.err;
      std::set<std::string> offered;
      std::istringstream words(completion.out);
      for (std::string word; std::getline(words, word);) offered.insert(word);
      // Bash leaves out -h, which --help stands for.
      std::set<std::string> expected = named;
      if (shell == Shell::kBash) expected.erase("-h");
      EXPECT_EQ(offered, expected);
    }
  }
}

TEST(CompletionTest, CompletesFileNamesWithBlanksAsOneName) {
  TempDir dir;
  for (const char* name : {"my book", "my bag", "other"}) WriteBytes(dir.path() / name, "");
  const struct {
    Shell shell;
    std::vector<std::string> words;  // as typed, the last one being completed
    std::string offered;             // one name a line
  } cases[] = {
      {Shell::kBash, {"tallivan", "my"}, "my bag\nmy book\n"},
      {Shell::kBash, {"tallivan", "my\\ bo"}, "my book\n"},
      {Shell::kBash, {"tallivan", "--book", "'my b"}, "my bag\nmy book\n"},
      {Shell::kBash, {"tallivan-calc", "--csv", "\"my ba"}, "my bag\n"},
      {Shell::kBash, {"tallivan-calc", "-o", "my\\ b"}, "my bag\nmy book\n"},
      {Shell::kBash, {"tallivan-calc", "--restore", "o"}, "other\n"},
      {Shell::kBash, {"tallivan-calc", "--find", "o"}, ""},
      {Shell::kZsh, {"tallivan", "--book", "my\\ b"}, "my\\ bag\nmy\\ book\n"},
      {Shell::kZsh, {"tallivan-calc", "other", "-o", "my\\ b"}, "my\\ bag\nmy\\ book\n"},
      {Shell::kZsh, {"tallivan-calc", "--find", "o"}, ""},
      {Shell::kFish, {"tallivan", "--book", "my\\ b"}, "my bag\nmy book\n"},
      {Shell::kFish, {"tallivan-calc", "--restore", "my\\ bo"}, "my book\n"},
      {Shell::kFish, {"tallivan-calc", "--find", "o"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words) + " in shell " +
                 std::to_string(static_cast<int>(c.shell)));
    const Outcome completion = Offered(c.shell, c.words, dir.path());
    EXPECT_EQ(completion.code, 0) << completion.err;
    EXPECT_EQ(completion.out, c.offered);
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
    TempDir dir;
    const fs::path& root = dir.path();
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
      EXPECT_THAT(outcome.err, HasSubstr((root / c.files.back()).string())) << "names the book";
      EXPECT_EQ(ReadBytes(root / c.files.back()), "x");
    }
  }
}

TEST(MakeInstallTest, InstallsIntoAPrefixAndUninstallsAllOfItButTheBook) {
  TempDir dir;
  const fs::path prefix = dir.path() / "prefix";
  // What was there before: a book where an installed window keeps it, and another program's file.
  fs::create_directories(prefix / "share/tallivan");
  fs::create_directories(prefix / "share/applications");
  WriteBytes(prefix / "share/tallivan/book", Le(kSampleText));
  WriteBytes(prefix / "share/applications/other.desktop", "[Desktop Entry]\n");
  // Folders change their times as files come and go; files must not.
  const auto list = [&prefix] {
    return Find(prefix, "*", "%p %y %m") + Find(prefix, "book", "%p %s %T@") +
           Find(prefix, "other.desktop", "%p %s %T@");
  };
  const std::string before = list();
  const auto make = [&](const std::string& target) {
    return RunProgram(
        {"make", "-s", "-C", TALLIVAN_SOURCE_DIR, target,
         "BUILD_DIR=" + std::string(TALLIVAN_BINARY_DIR), "PREFIX=" + prefix.string()},
        dir.path());
  };
  const Outcome installed = make("install");
  ASSERT_EQ(installed.code, 0) << installed.err;
  for (const char* file : {"bin/tallivan", "bin/tallivan-calc", "share/man/man1/tallivan.1.gz",
                           "share/applications/example.tallivan.Tallivan.desktop"}) {
    EXPECT_TRUE(fs::is_regular_file(prefix / file)) << file;
  }
  const Outcome version =
      RunProgram({(prefix / "bin/tallivan-calc").string(), "--version"}, dir.path());
  EXPECT_EQ(version.out, std::string("tallivan-calc ") + kVersion + "\n");

  const Outcome uninstalled = make("uninstall");
  EXPECT_EQ(uninstalled.code, 0) << uninstalled.err;
  EXPECT_EQ(list(), before) << "only what was installed is gone";
  const Outcome again = make("uninstall");
  EXPECT_NE(again.code, 0);
  EXPECT_THAT(again.err, HasSubstr("nothing was installed"));
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

  TempDir dir_;
  const fs::path folder_ = dir_.path();
  fs::path package_;
};

TEST_F(PackageTest, HoldsItsFilesAndDependenciesAloneAndPassesTheDesktopAppStreamAndLintianChecks) {
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
      "usr/share/zsh/vendor-completions/_tallivan",
      "usr/share/fish/vendor_completions.d/tallivan.fish",
      "usr/share/fish/vendor_completions.d/tallivan-calc.fish",
      "usr/share/doc/tallivan/copyright",
      "usr/share/doc/tallivan/changelog.gz",
      "usr/share/doc/tallivan/NEWS.md.gz",
      "usr/share/doc/tallivan/README.md.gz",
      "usr/share/doc/tallivan/command-line.md.gz",
      "usr/share/doc/tallivan/history.md.gz",
      "usr/share/doc/tallivan/installing.md.gz",
      "usr/share/doc/tallivan/reliability.md.gz",
  };
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    const std::string folder = std::to_string(size) + "x" + std::to_string(size);
    expected.insert("usr/share/icons/hicolor/" + folder + "/apps/" + id + ".png");
  }
  const Outcome contents = RunProgram({"dpkg-deb", "--contents", package_}, folder_);
  ASSERT_EQ(contents.code, 0);
  std::set<std::string> files;
  std::istringstream lines(contents.out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("d")) files.insert(line.substr(line.find("./") + 2));
  }
  EXPECT_EQ(files, expected);

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
  EXPECT_THAT(packages,
              IsSupersetOf({"libc6", "libstdc++6", "libqt6core6", "libqt6gui6", "libqt6widgets6",
                            "fonts-arphic-uming", "fonts-dejavu-core"}));
  EXPECT_THAT(depends[1].str(), Not(HasSubstr("libgtest")));

  const std::string share = root() / "usr/share";
  const std::vector<std::string> checks[] = {
      {"desktop-file-validate", share + "/applications/" + id + ".desktop"},
      {"appstreamcli", "validate", "--no-net", share + "/metainfo/" + id + ".metainfo.xml"},
      // Lintian also reads the manual pages with man --warnings, and checks each file's owner and
      // mode and that each icon is the size its folder says.
      {"lintian", "--fail-on", "error,warning", package_},
  };
  for (const std::vector<std::string>& check : checks) {
    SCOPED_TRACE(check.back());
    const Outcome outcome = RunProgram(check, folder_);
    EXPECT_EQ(outcome.code, 0) << outcome.out << outcome.err;
    if (check[0] == "desktop-file-validate") {
      EXPECT_EQ(outcome.err + outcome.out, "") << "warnings";
    }
  }
}

TEST_F(PackageTest, ReleaseNotesAndMetainfoDescribeThisVersion) {
  const fs::path doc = root() / "usr/share/doc/tallivan";
  const Outcome news = RunProgram({"gzip", "-dc", (doc / "NEWS.md.gz").string()}, folder_);
  ASSERT_EQ(news.code, 0) << news.err;
  std::smatch newest;
  ASSERT_TRUE(std::regex_search(news.out, newest, std::regex(R"(\n## ([^ \n]+))")));
  EXPECT_EQ(newest[1].str(), kVersion) << "the newest release noted";
  const std::string metainfo =
      ReadBytes(root() / "usr/share/metainfo" / (std::string(kAppId) + ".metainfo.xml"));
  std::smatch release;
  ASSERT_TRUE(std::regex_search(
      metainfo, release, std::regex(R"re(<release version="([^"]+)"[^>]*>\s*<description>)re")));
  EXPECT_EQ(release[1].str(), kVersion) << "the newest release described";
}

TEST_F(PackageTest, InstalledWindowKeepsItsBookInTheHomeDataFolderAndNowhereElse) {
  const fs::path home = folder_ / "home", work = folder_ / "work";
  fs::create_directories(home);
  fs::create_directories(work);
  const std::string installed = Find(root(), "*", "%p %s %T@ %m");
  const Environment environment = {{"HOME", home.string()},
                                   {"XDG_DATA_HOME", std::nullopt},
                                   {"XDG_CONFIG_HOME", std::nullopt},
                                   {"XDG_CACHE_HOME", std::nullopt},
                                   {"QT_QPA_PLATFORM", "offscreen"}};
  const fs::path data = home / ".local/share/tallivan";
  const auto [started, outcome] =
      RunUntilMade({(root() / "usr/bin/tallivan").string()}, environment, work, data);
  ASSERT_TRUE(started) << outcome.err;
  EXPECT_EQ(outcome.code, 0) << outcome.err;
  EXPECT_EQ(ReadBytes(data / "book"), Le(kSampleText)) << "the sample text, saved on closing";
  for (const fs::path& folder : {home / ".local", home / ".local/share", data}) {
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
  }
  EXPECT_EQ(Find(folder_, "book*", "%p"), "./home/.local/share/tallivan/book\n");
  EXPECT_EQ(Find(root(), "*", "%p %s %T@ %m"), installed) << "the installation is left as it was";
}

}  // namespace
}  // namespace tallivan
