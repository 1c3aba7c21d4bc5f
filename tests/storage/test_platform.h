// What the tests need from the system they run on, the same way on each (test_platform_*.cpp).
#ifndef TALLIVAN_TESTS_STORAGE_TEST_PLATFORM_H_
#define TALLIVAN_TESTS_STORAGE_TEST_PLATFORM_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "runtime/error.h"

namespace tallivan {

// Where the code under test calls the system. On POSIX systems, the calls at these steps run the
// test's action first and, at a step a test has armed, fail with the error it chose. On Windows,
// only kLinkVersion (CreateHardLinkW) and kRename (MoveFileExW) do, with the system's error
// codes, and kStepsFail is false; there, the calls that name files refuse paths too long for
// Windows without the "\\?\" prefix, as Windows does and Wine does not.
enum class Step {
  kCreateUnnamed,  // an unnamed file is to be made (O_TMPFILE)
  kCreateTemp,     // a named file is to be made (O_CREAT)
  kCreated,        // either has just been made
  kSyncFile,       // a file is to be flushed
  kSyncFolder,     // a folder is to be flushed
  kLinkVersion,    // a file is to be linked by name (not through /proc)
  kRename,
  kReserve,  // room is to be reserved (fallocate)
  kRead,     // only while some action is armed
  kAdvise,   // a mapping is advised (madvise)
  kWrite,    // only while some action is armed
};

// The error a step fails with, and how many more times (-1: every time).
struct Failing {
  int error = 0;
  int times = 1;
};

// Whether every step above fails when armed on this system; the steps armed to fail, and the
// actions that run each time a step comes.
extern const bool kStepsFail;
extern std::map<Step, Failing> failing;
extern std::map<Step, std::function<void()>> before;

// Limits the files this process writes to 64 bytes (POSIX), or lifts the limit.
void LimitFileSize(bool limited);

// The system's error numbers for a missing file and for a path through a file as if it were a
// folder; the storage's error number for a book on such a path (on Windows, as for a missing one).
extern const int kNotFoundCode;
extern const int kThroughFileCode;
extern const ErrorNumber kThroughFileError;

// The system's text for its error number `code`, worked out apart from the code under test.
std::string SystemText(int code);

// Whether std::filesystem makes symbolic links here (MinGW's library makes none).
extern const bool kMakesSymbolicLinks;

// Makes `link` a symbolic link to the file or folder `target`; "" when it did, else why it cannot
// be made here.
std::string MakeSymbolicLink(const std::filesystem::path& target,
                             const std::filesystem::path& link);

// Lets everyone make and remove files in the folder `path`.
void LetEveryoneWrite(const std::filesystem::path& path);

// A device that is no regular file ("/dev/null", "NUL").
extern const char kDevicePath[];

// The environment variable `name`; nullopt when unset.
std::optional<std::string> Variable(const std::string& name);

// Sets the environment variable `name`, or unsets it for nullopt.
void SetVariable(const std::string& name, const std::optional<std::string>& value);

// The variables that name the user's home and data folders (HOME and XDG_DATA_HOME on POSIX).
extern const char kHomeVariable[];
extern const char kDataVariable[];
// The variables that name the user's state folder and the folder in memory for files that need
// not outlive the machine.
extern const char kStateVariable[];
extern const char kRuntimeVariable[];

// The home folder the system knows when no variable names one ("" on Windows).
std::string SystemHome();

// The root folder of the drive the temporary folder is on.
std::filesystem::path RootFolder();

// Which file `path` names (its inode, or its file index on Windows); 0 when none.
uint64_t FileId(const std::filesystem::path& path);

// Whether the file at `path` has exactly the permission bits `mode` (POSIX), or is read-only as
// they say (Windows).
bool HasMode(const std::filesystem::path& path, unsigned mode);

// Sets the permission bits that new files and folders do not get; the previous ones.
unsigned SetCreationMask(unsigned mask);

// Keeps a file open as a save under way keeps its temporary file, until dropped.
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

  // The read end: a file descriptor (of the C runtime on Windows).
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::thread writer_;
};

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_STORAGE_TEST_PLATFORM_H_
