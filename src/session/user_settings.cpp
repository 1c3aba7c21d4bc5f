#include "session/user_settings.h"

#include <algorithm>
#include <utility>

#include "storage/safe_folder.h"

namespace tallivan {
namespace {

constexpr unsigned kSettingsMode = 0600;

bool IsKeyChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

}  // namespace

UserSettings::UserSettings() : folder_(StateFolderPath()) {}

UserSettings::UserSettings(std::filesystem::path folder) : folder_(std::move(folder)) {}

bool UserSettings::IsKey(std::string_view key) {
  return !key.empty() && key.size() <= kMaxKeyBytes &&
         std::all_of(key.begin(), key.end(), IsKeyChar);
}

bool UserSettings::IsValue(std::string_view value) {
  return value.size() <= kMaxValueBytes && std::none_of(value.begin(), value.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
         });
}

UserSettings::Values UserSettings::Read() const {
  Values values;
  if (!folder_) return values;
  Result<SafeFolder> folder = SafeFolder::OpenPrivate(*folder_, MakeFolder::kNo);
  if (!folder) return values;
  Result<std::string> text = folder.value().Read(kFileName, kMaxSettingsBytes);
  if (!text) return values;
  std::string_view rest = text.value();
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    if (IsKey(key) && IsValue(value)) values.insert_or_assign(std::string(key), std::string(value));
  }
  return values;
}

std::optional<std::string> UserSettings::Get(std::string_view key) const {
  const Values values = Read();
  const auto found = values.find(key);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

Status UserSettings::Set(std::string_view key, std::string_view value) {
  if (!IsKey(key) || !IsValue(value)) return Error{ErrorNumber::kFileAccess, "not a setting"};
  if (!folder_)
    return Error{ErrorNumber::kFileAccess, "there is no home folder to keep settings in"};
  Result<SafeFolder> folder = SafeFolder::OpenPrivate(*folder_, MakeFolder::kPrivate);
  if (!folder) return folder.error();
  Values values = Read();
  values.insert_or_assign(std::string(key), std::string(value));
  std::string text;
  for (const auto& [each, its] : values) text += each + "=" + its + "\n";
  if (text.size() > kMaxSettingsBytes) return Error{ErrorNumber::kFileAccess, "too many settings"};
  return folder.value().Replace(kFileName, text, kSettingsMode);
}

}  // namespace tallivan
