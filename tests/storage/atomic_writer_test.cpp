#include "storage/atomic_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::SizeIs;

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

class AtomicWriterTest : public ::testing::Test {
 protected:
  fs::path File() const { return fs::path(dir_.path().toStdString()) / "file"; }

  QTemporaryDir dir_;
};

TEST_F(AtomicWriterTest, FileKeepsOldContentUntilCommit) {
  WriteBytes(File(), "old");
  Result<AtomicWriter> writer = AtomicWriter::Open(File());
  ASSERT_TRUE(writer.ok()) << writer.error().description;
  for (const std::string& piece :
       {std::string("new "), std::string(), std::string("content "), std::string(100000, 'z')}) {
    ASSERT_TRUE(writer.value().Write(piece).ok());
    EXPECT_EQ(ReadBytes(File()), "old");
  }
  ASSERT_TRUE(writer.value().Commit().ok());
  EXPECT_EQ(ReadBytes(File()), "new content " + std::string(100000, 'z'));
  EXPECT_THAT(Entries(File().parent_path()), ElementsAre("file"));
}

TEST_F(AtomicWriterTest, DroppedWriterLeavesFileAndFolderAsTheyWere) {
  WriteBytes(File(), "old");
  {
    Result<AtomicWriter> writer = AtomicWriter::Open(File());
    ASSERT_TRUE(writer.ok());
    AtomicWriter moved(std::move(writer).value());
    ASSERT_TRUE(moved.Write(std::string(5000, 'n')).ok());
    EXPECT_THAT(Entries(File().parent_path()), SizeIs(2));
  }
  EXPECT_EQ(ReadBytes(File()), "old");
  EXPECT_THAT(Entries(File().parent_path()), ElementsAre("file"));
}

TEST_F(AtomicWriterTest, RefusesToReplaceWhatIsNotARegularFile) {
  ASSERT_EQ(mkfifo(File().c_str(), 0600), 0);
  Result<AtomicWriter> writer = AtomicWriter::Open(File());
  ASSERT_FALSE(writer.ok());
  EXPECT_THAT(writer.error().description, HasSubstr(File().string()));
  EXPECT_THAT(writer.error().description, HasSubstr("not a regular file"));
  EXPECT_TRUE(fs::is_fifo(File()));
  EXPECT_THAT(Entries(File().parent_path()), ElementsAre("file"));
}

TEST_F(AtomicWriterTest, RootGivesTheFileBackToItsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can hand a file to another owner";
  WriteBytes(File(), "old");
  ASSERT_EQ(chown(File().c_str(), 4321, 8765), 0);
  Result<AtomicWriter> writer = AtomicWriter::Open(File());
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE(writer.value().Write("new").ok());
  ASSERT_TRUE(writer.value().Commit().ok());
  struct stat st {};
  ASSERT_EQ(stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 8765u);
}

}  // namespace
}  // namespace tallivan
