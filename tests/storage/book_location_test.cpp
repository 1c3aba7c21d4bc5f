#include "storage/book_location.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>

#include "test_files.h"
#include "test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr char kMetainfo[] = "share/metainfo/example.tallivan.Tallivan.metainfo.xml";

// `path` as written, where one starting with "/" starts at the root of the temporary folder's
// drive.
fs::path Absolute(const std::string& path) {
  return path.starts_with("/") ? RootFolder() / Utf8Path(path.substr(1)) : Utf8Path(path);
}

// How many files and folders there are under `root`.
size_t Tree(const fs::path& root) {
  return std::distance(fs::recursive_directory_iterator(root), fs::recursive_directory_iterator());
}

TEST(BookLocationTest, KeepsAnInstalledCopysBookInTheUsersDataFolderAndAPortableOnesBesideIt) {
  const struct {
    const char* name;
    std::vector<std::string> files;  // made under the test folder; "@name" is a link to nowhere
    std::string executable;
    UserFolders folders;
    std::optional<std::string> book;  // under the test folder, or "/..." as it is; nullopt: error
  } cases[] = {
      {"unpacked copy", {"app/tallivan"}, "app/tallivan", {"/data", "/home/u"}, "app/book"},
      {"installed copy",
       {"usr/bin/tallivan", std::string("usr/") + kMetainfo},
       "usr/bin/tallivan",
       {"/data", "/home/u"},
       "/data/tallivan/book"},
      {"installed, no XDG_DATA_HOME",
       {"p/bin/tallivan", std::string("p/") + kMetainfo},
       "p/bin/tallivan",
       {"", "/home/u"},
       "/home/u/.local/share/tallivan/book"},
      {"installed, relative XDG_DATA_HOME",
       {"p/bin/tallivan", std::string("p/") + kMetainfo},
       "p/bin/tallivan",
       {"data", "/home/u"},
       "/home/u/.local/share/tallivan/book"},
      {"installed with a book beside it",
       {"p/bin/book", std::string("p/") + kMetainfo},
       "p/bin/tallivan",
       {"/data", "/home/u"},
       "p/bin/book"},
      {"installed with a link to nowhere beside it",
       {"@p/bin/book", std::string("p/") + kMetainfo},
       "p/bin/tallivan",
       {"/data", "/home/u"},
       "p/bin/book"},
      {"metainfo of the wrong folder",
       {"p/bin/tallivan", "p/bin/share/metainfo/x.metainfo.xml"},
       "p/bin/tallivan",
       {"/data", "/home/u"},
       "p/bin/book"},
      {"installed, no home folder",
       {"p/bin/tallivan", std::string("p/") + kMetainfo},
       "p/bin/tallivan",
       {"", ""},
       std::nullopt},
      {"installed, relative home folder",
       {"p/bin/tallivan", std::string("p/") + kMetainfo},
       "p/bin/tallivan",
       {"", "home"},
       std::nullopt},
      {"installed, relative home but absolute XDG_DATA_HOME",
       {"p/bin/tallivan", std::string("p/") + kMetainfo},
       "p/bin/tallivan",
       {"/d", "home"},
       "/d/tallivan/book"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!kMakesSymbolicLinks &&
        std::any_of(c.files.begin(), c.files.end(),
                    [](const std::string& file) { return file.starts_with("@"); })) {
      continue;
    }
    TempDir dir;
    const fs::path root = dir.path();
    for (const std::string& file : c.files) {
      const bool link = file.starts_with("@");
      const fs::path path = root / file.substr(link ? 1 : 0);
      fs::create_directories(path.parent_path());
      if (link) {
        fs::create_symlink(root / "nowhere", path);
      } else {
        WriteBytes(path, "");
      }
    }
    const size_t items = Tree(root);
    const UserFolders folders{
        c.folders.xdg_data_home.empty() ? "" : PathUtf8(Absolute(c.folders.xdg_data_home)),
        c.folders.home.empty() ? "" : PathUtf8(Absolute(c.folders.home))};
    const Result<fs::path> book = DefaultBookPath(root / c.executable, folders);
    EXPECT_EQ(Tree(root), items) << "deciding makes nothing";
    ASSERT_EQ(book.ok(), c.book.has_value())
        << (book.ok() ? PathUtf8(book.value()) : book.error().description);
    if (!book.ok()) {
      EXPECT_EQ(book.error().number, kErrFileAccess);
      continue;
    }
    EXPECT_EQ(book.value(), c.book->starts_with("/") ? Absolute(*c.book) : root / *c.book);
  }
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
      {{"a", "=a/b"}, "a/b/c", {}, "a/b\": Not a directory"},
  };
  const unsigned old_mask = SetCreationMask(022);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder + (c.existing.empty() ? "" : " after " + c.existing.back()));
    TempDir dir;
    const fs::path root = dir.path();
    for (const std::string& item : c.existing) {
      if (item.starts_with("=")) {
        WriteBytes(root / item.substr(1), "");
      } else {
        fs::create_directories(root / item);
      }
    }
    const Status made = MakePrivateFolders(root / c.folder);
    EXPECT_EQ(made.ok(), c.error.empty());
    if (!made.ok()) {
      EXPECT_EQ(made.error().number, kErrFileAccess);
      EXPECT_NE(
          made.error().description.find(PathUtf8((root / Utf8Path(c.error)).make_preferred())),
          std::string::npos)
          << made.error().description;
      continue;
    }
    EXPECT_TRUE(fs::is_directory(root / c.folder));
    for (fs::path at = root / c.folder; at != root; at = at.parent_path()) {
      const bool made_here =
          std::find(c.private_folders.begin(), c.private_folders.end(),
                    at.lexically_relative(root).generic_string()) != c.private_folders.end();
      if (const std::optional<unsigned> mode = PosixMode(at)) {
        EXPECT_EQ(*mode, made_here ? 0700u : 0755u) << PathUtf8(at);
      }
    }
  }
  SetCreationMask(old_mask);
}

}  // namespace
}  // namespace tallivan
