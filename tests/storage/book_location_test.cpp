#include "storage/book_location.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <tuple>

#include "test_files.h"
#include "test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr char kMetainfo[] = "share/metainfo/example.tallivan.Tallivan.metainfo.xml";

// `path`, where a leading "/" stands for the root of the temporary folder's drive.
fs::path Absolute(const std::string& path) {
  return path.starts_with("/") ? RootFolder() / Utf8Path(path.substr(1)) : Utf8Path(path);
}

// How many files and folders there are under `root`.
size_t Tree(const fs::path& root) {
  return std::distance(fs::recursive_directory_iterator(root), fs::recursive_directory_iterator());
}

TEST(BookLocationTest, KeepsAnInstalledCopysBookInTheUsersDataFolderAndAPortableOnesBesideIt) {
  // The program is p/bin/tallivan, installed when its metainfo lies beside p/bin.
  const std::string meta = std::string("p/") + kMetainfo, data = "/h/.local/share/tallivan/book";
  const std::string wrong = "p/bin/share/metainfo/x.metainfo.xml";
  const struct {
    const char* name;
    std::vector<std::string> files;  // besides the program; "@name" (first) is a link to nowhere
    UserFolders folders;
    std::optional<std::string> book;  // under the test folder, or "/..." as it is; nullopt: error
  } cases[] = {
      {"unpacked copy", {}, {"/data", "/h"}, "p/bin/book"},
      {"installed copy", {meta}, {"/data", "/h"}, "/data/tallivan/book"},
      {"installed, no XDG_DATA_HOME", {meta}, {"", "/h"}, data},
      {"installed, relative XDG_DATA_HOME", {meta}, {"data", "/h"}, data},
      {"installed with a book beside it", {"p/bin/book", meta}, {"/data", "/h"}, "p/bin/book"},
      {"a link to nowhere beside it", {"@p/bin/book", meta}, {"/data", "/h"}, "p/bin/book"},
      {"metainfo of the wrong folder", {wrong}, {"/data", "/h"}, "p/bin/book"},
      {"installed, no home folder", {meta}, {"", ""}, std::nullopt},
      {"installed, relative home folder", {meta}, {"", "home"}, std::nullopt},
      {"relative home, absolute XDG_DATA_HOME", {meta}, {"/d", "home"}, "/d/tallivan/book"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!kMakesSymbolicLinks && !c.files.empty() && c.files[0].starts_with("@")) continue;
    TempDir dir;
    const fs::path root = dir.path();
    std::vector<std::string> files = c.files;
    files.push_back("p/bin/tallivan");
    for (const std::string& file : files) {
      const fs::path path = root / file.substr(file.starts_with("@"));
      fs::create_directories(path.parent_path());
      file.starts_with("@") ? fs::create_symlink(root / "nowhere", path) : WriteBytes(path, "");
    }
    const size_t items = Tree(root);
    const UserFolders folders{PathUtf8(Absolute(c.folders.xdg_data_home)),
                              PathUtf8(Absolute(c.folders.home))};
    const Result<fs::path> book = DefaultBookPath(root / "p/bin/tallivan", folders);
    EXPECT_EQ(Tree(root), items) << "deciding makes nothing";
    ASSERT_EQ(book.ok(), c.book.has_value())
        << (book.ok() ? PathUtf8(book.value()) : book.error().description);
    if (!book.ok()) {
      EXPECT_EQ(book.error().number, ErrorNumber::kFileAccess);
      continue;
    }
    EXPECT_EQ(book.value(), c.book->starts_with("/") ? Absolute(*c.book) : root / *c.book);
  }
}

TEST(BookLocationTest, ReadsTheUsersFoldersFromTheEnvironment) {
  using Setting = std::optional<std::string>;
  const std::string own = SystemHome();
  // {the data folder's variable, the home folder's (nullopt: unset), the folders then found}
  const std::tuple<Setting, Setting, UserFolders> cases[] = {
      {"/x/数据", "/x/home", {"/x/数据", "/x/home"}},
      {std::nullopt, "/x/home", {"", "/x/home"}},
      {"/x/data", std::nullopt, {"/x/data", own}},
      {std::nullopt, "", {"", own}},
  };
  const Setting data = Variable(kDataVariable), home = Variable(kHomeVariable);
  for (const auto& [data_setting, home_setting, expected] : cases) {
    SetVariable(kDataVariable, data_setting);
    SetVariable(kHomeVariable, home_setting);
    const UserFolders got = CurrentUserFolders();
    EXPECT_EQ(got.xdg_data_home + "|" + got.home, expected.xdg_data_home + "|" + expected.home);
  }
  SetVariable(kDataVariable, data);
  SetVariable(kHomeVariable, home);
}

TEST(BookLocationTest, MakesMissingFoldersPrivateAndLeavesOthersAlone) {
  const struct {
    std::vector<std::string> existing;  // folders made first, 0755; "=name": a file
    std::string folder;
    std::vector<std::string> private_folders;  // 0700 afterwards
    std::string error;                         // in the description; empty: none
  } cases[] = {
      {{}, ".local/share/tallivan", {".local", ".local/share", ".local/share/tallivan"}, ""},
      {{".local/share"}, ".local/share/tallivan", {".local/share/tallivan"}, ""},
      {{".local/share/tallivan"}, ".local/share/tallivan", {}, ""},
      {{"=.local"}, ".local/share/tallivan", {}, ".local\": Not a directory"},
  };
  const unsigned old_mask = SetCreationMask(022);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder + (c.existing.empty() ? "" : " after " + c.existing.back()));
    TempDir dir;
    const fs::path root = dir.path();
    for (const std::string& item : c.existing) {
      item.starts_with("=") ? WriteBytes(root / item.substr(1), "")
                            : void(fs::create_directories(root / item));
    }
    const Status made = MakePrivateFolders(root / c.folder);
    EXPECT_EQ(made.ok(), c.error.empty());
    if (!made.ok()) {
      EXPECT_EQ(made.error().number, ErrorNumber::kFileAccess);
      EXPECT_THAT(made.error().description,
                  HasSubstr(PathUtf8((root / Utf8Path(c.error)).make_preferred())));
      continue;
    }
    EXPECT_TRUE(fs::is_directory(root / c.folder));
    for (fs::path at = root / c.folder; at != root; at = at.parent_path()) {
      const bool made_here =
          std::ranges::count(c.private_folders, at.lexically_relative(root).generic_string()) > 0;
      EXPECT_TRUE(HasMode(at, made_here ? 0700u : 0755u)) << PathUtf8(at);
    }
  }
  SetCreationMask(old_mask);
}

}  // namespace
}  // namespace tallivan
