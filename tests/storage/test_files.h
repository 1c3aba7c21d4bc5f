#ifndef TALLIVAN_TESTS_STORAGE_TEST_FILES_H_
#define TALLIVAN_TESTS_STORAGE_TEST_FILES_H_

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace tallivan {

// The whole content of the file at `path`.
inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Makes the file at `path` hold exactly `bytes`.
inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The names in `folder`, sorted.
inline std::vector<std::string> Entries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// `text` as UTF-16LE bytes, worked out independently of the code under test.
inline std::string Le(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text)
    bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  return bytes;
}

// `piece` `times` times over.
inline std::u16string Repeat(std::u16string_view piece, size_t times) {
  std::u16string out;
  for (size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// The unprivileged user and group, and a group a user may be given besides.
inline constexpr uid_t kNobody = 65534;
inline constexpr gid_t kNogroup = 65534;
inline constexpr gid_t kStaff = 50;

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
  for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;) said.append(buffer, got);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? said : "ended by signal " + std::to_string(WTERMSIG(status));
}

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_STORAGE_TEST_FILES_H_
