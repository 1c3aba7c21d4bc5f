#include "storage/atomic_writer.h"

#include <gtest/gtest.h>

#include "test_files.h"

namespace tallivan {
namespace {

TEST(AtomicWriterTest, FileKeepsOldContentUntilCommitAndADroppedWriterLeavesNoTrace) {
  TempDir dir;
  const std::filesystem::path file = dir.path() / "file";
  const std::string pieces[] = {"new ", "", std::string(100'000, 'z')};
  for (const bool commit : {false, true}) {
    WriteBytes(file, "old");
    {
      Result<AtomicWriter> writer = AtomicWriter::Open(file);
      ASSERT_TRUE(writer.ok()) << writer.error().description;
      for (const std::string& piece : pieces) ASSERT_TRUE(writer.value().Write(piece).ok());
      EXPECT_EQ(ReadBytes(file), "old");
      ASSERT_TRUE(!commit || writer.value().Commit().ok());
    }
    EXPECT_EQ(ReadBytes(file), commit ? pieces[0] + pieces[2] : "old");
    EXPECT_EQ(Entries(file.parent_path()), std::vector<std::string>{"file"});
  }
}

}  // namespace
}  // namespace tallivan
