#include "storage/book_view.h"

#include <gtest/gtest.h>

#include <functional>

#include "test_files.h"
#include "test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

TEST(BookViewTest, TellsThatAnotherProgramChangedTheBookSinceItWasReadAndNeverDiesOfIt) {
  TempDir dir;
  const fs::path book = dir.path() / Utf8Path("账本"), copy = dir.path() / "copy";
  // Megabytes, so that a mapped book spans many pages.
  const std::u16string text = Repeat(u"账本 [1]\r\n", 100'000);
  // {what another program does to the book once it has been read}
  const std::pair<std::string, std::function<void()>> cases[] = {
      {"nothing", [] {}},
      {"cuts it short", [&] { fs::resize_file(book, 4); }},
      {"empties it", [&] { fs::resize_file(book, 0); }},
      {"writes over a part",
       [&] { std::fstream(book, std::ios::in | std::ios::out).seekp(6) << "xy"; }},
      {"writes more", [&] { std::ofstream(book, std::ios::app | std::ios::binary) << "xy"; }},
      {"puts another file in its place",
       [&] { WriteBytes(copy, Le(text)), fs::rename(copy, book); }},
  };
  for (const auto& [what, change] : cases) {
    SCOPED_TRACE(what);
    WriteBytes(book, Le(text));
    const Result<BookView> view = BookView::Open(book);
    ASSERT_TRUE(view.ok()) << view.error().description;
    EXPECT_TRUE(view.value().text() == text);
    change();
    // A book read into memory stays as it was read; a mapped one shows what the other program
    // left, and zeros where it was cut short.
    std::string left = ReadBytes(book);
    left.resize(text.size() * 2, '\0');
    EXPECT_TRUE(view.value().text() == text || Le(view.value().text()) == left);
    const Status unchanged = view.value().Unchanged();
    EXPECT_EQ(unchanged.ok(), what == "nothing");
    EXPECT_TRUE(unchanged.ok() || unchanged.error() == ChangedError(PathUtf8(book)));
  }
}

}  // namespace
}  // namespace tallivan
