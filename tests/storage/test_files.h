#ifndef TALLIVAN_TESTS_STORAGE_TEST_FILES_H_
#define TALLIVAN_TESTS_STORAGE_TEST_FILES_H_

#include <algorithm>
#include <filesystem>
#include <fstream>
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

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_STORAGE_TEST_FILES_H_
