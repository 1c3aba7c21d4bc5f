#ifndef TALLIVAN_SESSION_USER_SETTINGS_H_
#define TALLIVAN_SESSION_USER_SETTINGS_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace tallivan {

// The user's own choices for the windows (the totals line, the window's size and place), kept as
// `key=value` lines in the file `settings` in the user's private state folder. Reading tolerates
// anything: a line that is not a setting is skipped, a file that is not the user's own or is
// larger than kMaxSettingsBytes counts as empty. Every Set reads the file again and replaces it
// atomically, so that windows that set different keys keep each other's choices.
class UserSettings {
 public:
  // The largest settings file read.
  static constexpr uint64_t kMaxSettingsBytes = 64 * 1024;
  // The longest key and value kept.
  static constexpr size_t kMaxKeyBytes = 64;
  static constexpr size_t kMaxValueBytes = 1024;
  static constexpr char kFileName[] = "settings";

  // The settings in the user's state folder (StateFolderPath()).
  UserSettings();
  // The settings in the private folder `folder`, made when missing.
  explicit UserSettings(std::filesystem::path folder);

  // The value of `key`; nullopt when it was never set or cannot be read.
  std::optional<std::string> Get(std::string_view key) const;

  // Sets `key` (letters, digits, '.', '-', '_') to `value` (no line breaks nor other control
  // characters) and writes the file at once.
  Status Set(std::string_view key, std::string_view value);

  // Whether `key` and `value` can be kept as they are.
  static bool IsKey(std::string_view key);
  static bool IsValue(std::string_view value);

 private:
  using Values = std::map<std::string, std::string, std::less<>>;
  Values Read() const;

  std::optional<std::filesystem::path> folder_;
};

}  // namespace tallivan

#endif  // TALLIVAN_SESSION_USER_SETTINGS_H_
