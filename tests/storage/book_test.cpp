#include "storage/book.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAreArray;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

class BookTest : public ::testing::Test {
 protected:
  fs::path Dir() const { return fs::path(dir_.path().toStdString()); }
  fs::path Book() const { return Dir() / "book"; }
  QString QBook() const { return BookPathIn(dir_.path()); }

  QTemporaryDir dir_;
};

TEST_F(BookTest, SavesRawUtf16LeOverAnyOldBookAndLoadsItBack) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"ab\r\n", std::string("a\0b\0\r\0\n\0", 8)},
      {u"\u8D26", "\x26\x8D"},
      {u"\uFEFFx", std::string("\xFF\xFEx\0", 4)},
      {u"abc", std::string("a\0b\0c\0", 6)},
      {u"", ""},
  };
  for (const auto& [text, bytes] : cases) {
    WriteBytes(Book(), std::string(100, 'o'));
    ASSERT_TRUE(SaveBook(QBook(), text).ok());
    EXPECT_EQ(ReadBytes(Book()), bytes);
    const Result<std::u16string> loaded = LoadBook(QBook());
    ASSERT_TRUE(loaded.ok()) << loaded.error().description;
    EXPECT_EQ(loaded.value(), text);
  }
}

TEST_F(BookTest, LoadsAnyEvenBytesAsCodeUnitsWithoutConversion) {
  struct Case {
    std::string bytes;
    std::u16string text;
  };
  const Case cases[] = {
      {"", u""},
      {std::string("\xFF\xFE\x41\0", 4), u"\uFEFFA"},     // no byte-order mark is taken off
      {"\xEF\xBB\xBF\xBA", u"\uBBEF\uBABF"},              // nor a UTF-8 one
      {"abcd", u"\u6261\u6463"},                          // an 8-bit file of even length
      {std::string("\0\xD8\0\xDC", 4), u"\xD800\xDC00"},  // a pair stays as two units
      {std::string("\r\0\n\0\n\0", 6), u"\r\n\n"},
  };
  for (const Case& c : cases) {
    WriteBytes(Book(), c.bytes);
    const Result<std::u16string> loaded = LoadBook(QBook());
    ASSERT_TRUE(loaded.ok()) << loaded.error().description;
    EXPECT_EQ(loaded.value(), c.text);
  }
}

TEST_F(BookTest, RoundTripsEveryCodeUnitAndUnpairedSurrogates) {
  std::u16string every;
  std::string every_bytes;
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    every.push_back(static_cast<char16_t>(unit));
    every_bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  }
  const std::pair<std::u16string, std::string> cases[] = {
      {every, every_bytes},
      {u"\xDC00 low first", std::string("\0\xDC \0l\0o\0w\0 \0f\0i\0r\0s\0t\0", 22)},
      {u"x\xD800", std::string("x\0\0\xD8", 4)},
      {u"\xDC00\xD800", std::string("\0\xDC\0\xD8", 4)},
  };
  for (const auto& [text, bytes] : cases) {
    ASSERT_TRUE(SaveBook(QBook(), text).ok());
    EXPECT_TRUE(ReadBytes(Book()) == bytes);
    const Result<std::u16string> loaded = LoadBook(QBook());
    ASSERT_TRUE(loaded.ok());
    EXPECT_TRUE(loaded.value() == text);
  }
}

TEST_F(BookTest, LoadFailuresCarryNumberPathAndReason) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> arrange;
    fs::path relative;  // what is loaded, under the folder
    int32_t number;
    std::string reason;
  };
  const Case cases[] = {
      {"missing", [](const fs::path&) {}, "book", kErrFileNotFound, "No such file"},
      {"missing folder", [](const fs::path&) {}, "gone/book", kErrFileNotFound, "No such file"},
      {"odd length", [](const fs::path& d) { WriteBytes(d / "book", "abc"); }, "book",
       kErrBadFileLength, "odd"},
      {"a folder", [](const fs::path& d) { fs::create_directory(d / "book"); }, "book",
       kErrFileAccess, "Is a directory"},
      {"through a file", [](const fs::path& d) { WriteBytes(d / "shelf", "ab"); }, "shelf/book",
       kErrFileAccess, "Not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const fs::path folder = dir.path().toStdString();
    c.arrange(folder);
    const fs::path path = folder / c.relative;
    const Result<std::u16string> loaded = LoadBookFile(path);
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().number, c.number);
    EXPECT_THAT(loaded.error().description, HasSubstr(path.string()));
    EXPECT_THAT(loaded.error().description, HasSubstr(c.reason));
  }
}

// A way to make a save fail, and the way to take the cause away again.
struct SaveFault {
  std::string name;
  std::function<void(const fs::path& folder)> arrange;
  std::function<Status(const fs::path& book, std::u16string_view text)> save;
  std::function<void(const fs::path& folder)> mend;
  std::string reason;
};

Status SaveWithFileSizeLimit(const fs::path& book, std::u16string_view text) {
  int fds[2];
  if (pipe(fds) != 0) return Error{-1, "pipe"};
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    const Status saved = SaveBookFile(book, text);
    const std::string& message = saved.ok() ? "" : saved.error().description;
    if (write(fds[1], message.data(), message.size()) < 0) _exit(2);
    _exit(saved.ok() ? 0 : 1);
  }
  close(fds[1]);
  std::string message;
  char buffer[512];
  for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, got);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  return Error{kErrFileAccess, message};
}

TEST_F(BookTest, FailedSaveKeepsOldBookLeavesNoTempFileAndCanBeRetried) {
  const auto plain = [](const fs::path& book, std::u16string_view text) {
    return SaveBookFile(book, text);
  };
  const SaveFault faults[] = {
      {"folder replaced by a file",
       [](const fs::path& d) {
         fs::rename(d / "shelf", d / "moved");
         WriteBytes(d / "shelf", "not a folder");
       },
       plain,
       [](const fs::path& d) {
         fs::remove(d / "shelf");
         fs::rename(d / "moved", d / "shelf");
       },
       "Not a directory"},
      {"book is a folder",
       [](const fs::path& d) {
         fs::rename(d / "shelf" / "book", d / "kept");
         fs::create_directory(d / "shelf" / "book");
         WriteBytes(d / "shelf" / "book" / "inside", "x");
       },
       plain,
       [](const fs::path& d) {
         fs::remove_all(d / "shelf" / "book");
         fs::rename(d / "kept", d / "shelf" / "book");
       },
       "Is a directory"},
      {"file size limit", [](const fs::path&) {}, SaveWithFileSizeLimit, [](const fs::path&) {},
       "File too large"},
  };
  const std::string old_bytes = "old book, kept byte for byte";
  const std::u16string text(1000, u'\u8D26');
  for (const SaveFault& fault : faults) {
    SCOPED_TRACE(fault.name);
    QTemporaryDir dir;
    const fs::path folder = dir.path().toStdString();
    const fs::path book = folder / "shelf" / "book";
    fs::create_directory(folder / "shelf");
    WriteBytes(book, old_bytes);
    const std::vector<std::string> shelf_before = Entries(folder / "shelf");

    fault.arrange(folder);
    const Status saved = fault.save(book, text);
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error().number, kErrFileAccess);
    EXPECT_THAT(saved.error().description, HasSubstr(book.string()));
    EXPECT_THAT(saved.error().description, HasSubstr(fault.reason));
    fault.mend(folder);

    EXPECT_EQ(ReadBytes(book), old_bytes);
    EXPECT_THAT(Entries(folder / "shelf"), UnorderedElementsAreArray(shelf_before));
    ASSERT_TRUE(SaveBookFile(book, text).ok());
    EXPECT_EQ(LoadBookFile(book).value(), text);
    EXPECT_THAT(Entries(folder / "shelf"), UnorderedElementsAreArray(shelf_before));
  }
}

TEST_F(BookTest, SavesThroughSymbolicLinksToTheirTargets) {
  struct Case {
    std::string name;
    std::function<void(const fs::path& folder)> arrange;
    fs::path target;  // under the folder
  };
  const Case cases[] = {
      {"a relative link to an absolute one",
       [](const fs::path& d) {
         fs::create_directory(d / "data");
         WriteBytes(d / "data" / "real", "old!");
         fs::create_symlink(d / "data" / "real", d / "middle");
         fs::create_symlink("middle", d / "book");
       },
       "data/real"},
      {"dangling link", [](const fs::path& d) { fs::create_symlink("later", d / "book"); },
       "later"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const fs::path folder = dir.path().toStdString();
    c.arrange(folder);
    ASSERT_TRUE(SaveBookFile(folder / "book", u"new").ok());
    EXPECT_TRUE(fs::is_symlink(folder / "book"));
    EXPECT_EQ(ReadBytes(folder / c.target), std::string("n\0e\0w\0", 6));
    EXPECT_EQ(LoadBookFile(folder / "book").value(), u"new");
  }
}

TEST_F(BookTest, KeepsPermissionBitsAndGivesNewBooksTheUmaskDefault) {
  struct Case {
    mode_t old_mode;  // 0 for no old book
    mode_t umask_bits;
    mode_t expected;
  };
  const Case cases[] = {
      {0640, 022, 0640}, {0604, 077, 0604}, {0755, 022, 0755},
      {0, 022, 0644},    {0, 077, 0600},    {0, 002, 0664},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.old_mode);
    fs::remove(Book());
    if (c.old_mode != 0) {
      WriteBytes(Book(), "ab");
      ASSERT_EQ(chmod(Book().c_str(), c.old_mode), 0);
    }
    const mode_t previous = umask(c.umask_bits);
    const Status saved = SaveBook(QBook(), u"x");
    umask(previous);
    ASSERT_TRUE(saved.ok());
    struct stat st {};
    ASSERT_EQ(stat(Book().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.expected);
  }
}

TEST_F(BookTest, LeftoverTemporaryFilesNeitherBlockNorLeak) {
  WriteBytes(Book(), std::string("o\0l\0d\0", 6));
  WriteBytes(Dir() / ".book.aaaaaaaa.tmp", "half a save");
  fs::create_directory(Dir() / ".book.tmp");
  const std::vector<std::string> before = Entries(Dir());
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(SaveBook(QBook(), u"new " + std::u16string(i, u'+')).ok());
  }
  EXPECT_EQ(LoadBook(QBook()).value(), u"new " + std::u16string(19, u'+'));
  EXPECT_THAT(Entries(Dir()), UnorderedElementsAreArray(before));
}

TEST_F(BookTest, HandlesFolderNamesOutsideAscii) {
  const QString folder = dir_.path() + QStringLiteral("/账本 2024");
  ASSERT_TRUE(QDir().mkpath(folder));
  ASSERT_TRUE(SaveBook(BookPathIn(folder), u"\u8D26").ok());
  EXPECT_EQ(LoadBook(BookPathIn(folder)).value(), u"\u8D26");
  EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/book")));
}

TEST(BookPathTest, JoinsFolderAndNameWithoutNormalising) {
  const std::pair<QString, QString> cases[] = {
      {"/opt/tallivan", "/opt/tallivan/book"},
      {"/", "//book"},
      {"relative/dir", "relative/dir/book"},
      {"/with/../dots", "/with/../dots/book"},
  };
  for (const auto& [folder, expected] : cases) {
    EXPECT_EQ(BookPathIn(folder), expected) << folder.toStdString();
  }
}

TEST(BookPathTest, LiesBesideTheRunningExecutable) {
  int argc = 1;
  char name[] = "book_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  const fs::path executable = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(BookPath().toStdString(), (executable.parent_path() / "book").string());
}

}  // namespace
}  // namespace tallivan
