#ifndef TALLIVAN_TESTS_STORAGE_TEST_FILES_H_
#define TALLIVAN_TESTS_STORAGE_TEST_FILES_H_

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "storage/file_io.h"

namespace tallivan {

// The whole content of the file at `path`.
inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The whole content of the file at `path`; nullopt when there is none.
inline std::optional<std::string> ReadIfThere(const std::filesystem::path& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  return ReadBytes(path);
}

// Makes the file at `path` hold exactly `bytes`.
inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Makes `path` look as if it had last been written an hour ago.
inline void Age(const std::filesystem::path& path) {
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
}

// Removes the file at `path` if there is one, read-only or not.
inline void RemoveIfThere(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove(path, ignored);
}

// The names in `folder` (UTF-8), sorted; none when there is no such folder.
inline std::vector<std::string> Entries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code missing;
  for (const auto& entry : std::filesystem::directory_iterator(folder, missing)) {
    names.push_back(PathUtf8(entry.path().filename()));
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

// `text` (well-formed UTF-16) as UTF-8, converted by the standard library, not the code under test.
// The text whose UTF-16LE bytes are `bytes`.
inline std::u16string FromLe(const std::string& bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return text;
}

inline std::string ToUtf8(std::u16string_view text) {
  const std::u8string bytes = std::filesystem::path(text).u8string();
  return std::string(bytes.begin(), bytes.end());
}

// `piece` `times` times over.
inline std::u16string Repeat(std::u16string_view piece, size_t times) {
  std::u16string out;
  for (size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// Removes `path` with everything in it, read-only or not (Windows removes no read-only file).
inline void RemoveTree(const std::filesystem::path& path) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ignored)) {
    std::filesystem::permissions(
        entry.path(), std::filesystem::perms::owner_write,
        std::filesystem::perm_options::add | std::filesystem::perm_options::nofollow, ignored);
  }
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path, ignored);
}

// A new empty folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    do {
      path_ = std::filesystem::temp_directory_path() /
              ("tallivan-test-" + std::to_string(random()) + std::to_string(random()));
    } while (!std::filesystem::create_directory(path_));
  }
  ~TempDir() { RemoveTree(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_STORAGE_TEST_FILES_H_
