#include "storage/book_view.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "storage/book.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

// The book at `path` opened by name, from an open descriptor, and through a pipe.
const std::pair<const char*, std::function<Result<BookView>(const fs::path&)>> kWays[] = {
    {"by name", [](const fs::path& path) { return BookView::Open(path); }},
    {"from a descriptor",
     [](const fs::path& path) {
       const int fd = open(path.c_str(), O_RDONLY);
       Result<BookView> view = BookView::FromFd(fd, path.string());
       close(fd);
       return view;
     }},
    {"through a pipe",
     [](const fs::path& path) {
       int fds[2];
       if (pipe(fds) != 0) return Result<BookView>(Error{-1, "pipe"});
       if (fork() == 0) {
         close(fds[0]);
         dup2(fds[1], 1);
         execlp("cat", "cat", path.c_str(), nullptr);
         _exit(127);
       }
       close(fds[1]);
       Result<BookView> view = BookView::FromFd(fds[0], path.string());
       close(fds[0]);
       wait(nullptr);
       return view;
     }},
};

TEST(BookViewTest, GivesWhatLoadBookGives) {
  std::string large;
  for (int i = 0; i < 1'500'000; ++i) large += static_cast<char>(i * 7 % 251);
  const std::string contents[] = {
      "", std::string("a\0b\0\r\0\n\0", 8), "\xFF\xFE\x26\x8D", "odd", large, large + "x"};
  for (const std::string& bytes : contents) {
    QTemporaryDir dir;
    const fs::path book = fs::path(dir.path().toStdString()) / "book";
    std::ofstream(book, std::ios::binary) << bytes;
    const Result<std::u16string> loaded = LoadBookFile(book);
    for (const auto& [way, open_view] : kWays) {
      SCOPED_TRACE(std::string(way) + ", " + std::to_string(bytes.size()) + " bytes");
      const Result<BookView> view = open_view(book);
      ASSERT_EQ(view.ok(), loaded.ok());
      if (loaded.ok()) {
        EXPECT_TRUE(view.value().text() == loaded.value());
      } else {
        EXPECT_EQ(view.error(), loaded.error());
      }
    }
  }
}

TEST(BookViewTest, FailsLikeLoadBook) {
  QTemporaryDir dir;
  const fs::path folder = dir.path().toStdString();
  for (const fs::path& path : {folder / "missing", folder}) {
    const Result<BookView> view = BookView::Open(path);
    ASSERT_FALSE(view.ok());
    EXPECT_EQ(view.error(), LoadBookFile(path).error());
  }
}

}  // namespace
}  // namespace tallivan
