// What the tests need from the system they run on, the same way on each; the test_platform_*.cpp
// files give it.
#ifndef TALLIVAN_TESTS_STORAGE_TEST_PLATFORM_H_
#define TALLIVAN_TESTS_STORAGE_TEST_PLATFORM_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

namespace tallivan {

// The system's error numbers for a file that does not exist, and for a path that goes through a
// file as if it were a folder; and the storage's error number for a book on such a path (Windows
// tells it from a missing folder no more than from a missing book).
extern const int kNotFoundCode;
extern const int kThroughFileCode;
extern const int kThroughFileError;

// The system's text for its error number `code`, worked out apart from the code under test.
std::string SystemText(int code);

// Whether std::filesystem makes symbolic links here (MinGW's library makes none).
extern const bool kMakesSymbolicLinks;

// A device that is no regular file ("/dev/null", "NUL").
extern const char kDevicePath[];

// The environment variable `name`; nullopt when unset.
std::optional<std::string> Variable(const std::string& name);

// Sets the environment variable `name`, or unsets it for nullopt.
void SetVariable(const std::string& name, const std::optional<std::string>& value);

// The variable that names the user's home folder ("HOME", or "USERPROFILE" on Windows).
extern const char kHomeVariable[];

// The root folder of the drive the temporary folder is on.
std::filesystem::path RootFolder();

// Which file `path` names (its inode, or its file index on Windows); 0 when none.
uint64_t FileId(const std::filesystem::path& path);

// The permission bits of the file at `path`, where the system has them (not on Windows).
std::optional<unsigned> PosixMode(const std::filesystem::path& path);

// Sets the permission bits that new files and folders do not get; the previous ones.
unsigned SetCreationMask(unsigned mask);

// Keeps a file open as a save under way keeps its temporary file, until dropped: meanwhile no
// other process takes it for a killed save's.
class HeldOpen {
 public:
  explicit HeldOpen(const std::filesystem::path& path);
  ~HeldOpen();
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;

 private:
  intptr_t handle_;
};

// A pipe whose read end gives `bytes` and then ends; a thread writes them.
class PipeFrom {
 public:
  explicit PipeFrom(std::string bytes);
  ~PipeFrom();
  PipeFrom(const PipeFrom&) = delete;
  PipeFrom& operator=(const PipeFrom&) = delete;

  // The read end: a file descriptor (of the C runtime on Windows).
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::thread writer_;
};

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_STORAGE_TEST_PLATFORM_H_
