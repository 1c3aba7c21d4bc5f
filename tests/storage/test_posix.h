// Processes for the tests on POSIX systems: other users, and programs whose output is collected.
#ifndef TALLIVAN_TESTS_STORAGE_TEST_POSIX_H_
#define TALLIVAN_TESTS_STORAGE_TEST_POSIX_H_

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test_files.h"
#include "test_platform.h"

namespace tallivan {

// The unprivileged user and group, and a group a user may be given besides.
inline constexpr uid_t kNobody = 65534;
inline constexpr gid_t kNogroup = 65534;
inline constexpr gid_t kStaff = 50;
// Users with no account, each with a group of the same number: one who owns a book, and a
// stranger who would like to read or change it.
inline constexpr uid_t kOwner = 1501;
inline constexpr uid_t kStranger = 1502;

// Runs `body` in a child process with the user `uid`, the group `gid` and the supplementary
// `groups`, and returns what it returned, or why it gave nothing.
inline std::string RunAs(uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
                         const std::function<std::string()>& body) {
  int channel[2];
  if (pipe(channel) != 0) return "no pipe";
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    std::string said = "cannot become the user";
    if (setgroups(groups.size(), groups.data()) == 0 && setresgid(gid, gid, gid) == 0 &&
        setresuid(uid, uid, uid) == 0) {
      said = body();
    }
    const bool written = write(channel[1], said.data(), said.size()) == ssize_t(said.size());
    _exit(written ? 0 : 1);
  }
  close(channel[1]);
  std::string said;
  char buffer[4096];
  for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;)
    said.append(buffer, got);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? said : "ended by signal " + std::to_string(WTERMSIG(status));
}

// Environment variables to set, or to unset (nullopt), for a child process.
using Environment = std::map<std::string, std::optional<std::string>>;

// What a finished program gave.
struct Outcome {
  int code = -1;  // the exit status, or 128 + the signal that ended it
  std::string out, err;
};

// Starts `argv` in `folder` with `environment` applied, its output going to files in `folder`.
inline pid_t Start(const std::vector<std::string>& argv, const Environment& environment,
                   const std::filesystem::path& folder) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child != 0) return child;
  for (const auto& [name, value] : environment) {
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }
  const int out = open((folder / ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open((folder / ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (chdir(folder.c_str()) != 0 || out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
    _exit(126);
  }
  execvp(args[0], args.data());
  _exit(127);
}

// Waits for `child`, started in `folder`, to end; what it gave.
inline Outcome Finish(pid_t child, const std::filesystem::path& folder) {
  int status = 0;
  Outcome outcome;
  if (waitpid(child, &status, 0) == child) {
    outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  outcome.out = ReadBytes(folder / ".out");
  outcome.err = ReadBytes(folder / ".err");
  std::filesystem::remove(folder / ".out");
  std::filesystem::remove(folder / ".err");
  return outcome;
}

// Runs `argv` in `folder` with `environment` applied, to its end.
inline Outcome RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& folder,
                          const Environment& environment = {}) {
  return Finish(Start(argv, environment, folder), folder);
}

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_STORAGE_TEST_POSIX_H_
