#include "storage/book_view.h"

#include <gtest/gtest.h>

#include "test_files.h"
#include "test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

TEST(BookViewTest, GivesWhatLoadBookGivesFromAFileOrAPipe) {
  std::string large;
  for (int i = 0; i < 1'500'000; ++i) large += static_cast<char>(i * 7 % 251);
  TempDir dir;
  const fs::path book = dir.path() / "book";
  for (const std::string& bytes : {std::string(), Le(u"ab\r\n"), Le(u"\uFEFF\u8D26"),
                                   std::string("odd"), large, large + "x"}) {
    WriteBytes(book, bytes);
    const Result<std::u16string> loaded = LoadBookFile(book);
    const PipeFrom pipe(bytes);
    const Result<BookView> views[] = {BookView::Open(book),
                                      BookView::FromFd(pipe.fd(), PathUtf8(book))};
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

}  // namespace
}  // namespace tallivan
