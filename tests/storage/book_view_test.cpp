#include "storage/book_view.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdio>
#include <numeric>

#include "storage/book.h"
#include "test_files.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

TEST(BookViewTest, GivesWhatLoadBookGivesFromAFileOrAPipe) {
  std::string large;
  for (int i = 0; i < 1'500'000; ++i) large += static_cast<char>(i * 7 % 251);
  QTemporaryDir dir;
  const fs::path book = fs::path(dir.path().toStdString()) / "book";
  for (const std::string& bytes : {std::string(), Le(u"ab\r\n"), Le(u"\uFEFF\u8D26"),
                                   std::string("odd"), large, large + "x"}) {
    WriteBytes(book, bytes);
    const Result<std::u16string> loaded = LoadBookFile(book);
    FILE* pipe = popen(("cat '" + book.string() + "'").c_str(), "r");
    const Result<BookView> views[] = {BookView::Open(book),
                                      BookView::FromFd(fileno(pipe), book.string())};
    pclose(pipe);
    for (const Result<BookView>& view : views) {
      ASSERT_EQ(view.ok(), loaded.ok()) << bytes.size() << " bytes";
      EXPECT_TRUE(loaded.ok() ? view.value().text() == loaded.value()
                              : view.error() == loaded.error());
    }
  }
  for (const fs::path& path : {book.parent_path() / "missing", book.parent_path()}) {
    EXPECT_EQ(BookView::Open(path).error(), LoadBookFile(path).error());
  }
}

TEST(BookViewTest, TellsThatAnotherProgramChangedTheBookAndNeverDiesOfIt) {
  QTemporaryDir dir;
  const fs::path book = fs::path(dir.path().toStdString()) / "book";
  const std::u16string text = Repeat(u"账本 [1]\r\n", 100'000);
  // {what another program does to the book once it is open, the length it then has}
  const std::pair<std::string, size_t> cases[] = {
      {"", text.size()},
      {"truncate -s 4 book", 2},
      {"truncate -s 0 book", 0},
      {"printf xy | dd of=book bs=1 seek=6 conv=notrunc status=none", text.size()},
      {"printf xy >>book", text.size() + 1},
      {"cp book copy && mv copy book", text.size()},
      {"touch book", text.size()},
  };
  for (const auto& [command, units] : cases) {
    SCOPED_TRACE(command);
    WriteBytes(book, Le(text));
    const Result<BookView> view = BookView::Open(book);
    ASSERT_TRUE(view.ok());
    const std::string run = "cd '" + dir.path().toStdString() + "' && " + command;
    ASSERT_EQ(std::system(command.empty() ? "true" : run.c_str()), 0);
    // What was cut off reads as zeros.
    const std::u16string_view seen = view.value().text();
    const auto sum = std::accumulate(seen.begin(), seen.end(), uint64_t{0});
    const auto cut =
        std::accumulate(seen.begin() + std::min(units, seen.size()), seen.end(), uint64_t{0});
    EXPECT_EQ(sum > 0, units > 0);
    EXPECT_EQ(cut, 0u);
    const Status unchanged = view.value().Unchanged();
    EXPECT_EQ(unchanged.ok(), command.empty());
    EXPECT_TRUE(unchanged.ok() || unchanged.error() == ChangedError(book.string()));
  }
}

}  // namespace
}  // namespace tallivan
