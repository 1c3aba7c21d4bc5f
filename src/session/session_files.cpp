#include "session/session_files.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "storage/book_lock.h"
#include "storage/file_io.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr char kRecoveryPrefix[] = "recovery-";
constexpr char kBaseSuffix[] = ".base";
constexpr size_t kMaxKeyName = 64;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

// A number written the one way: digits, no sign, no leading zero.
std::optional<int> CanonicalNumber(std::string_view digits, int limit) {
  if (!AllDigits(digits) || (digits.size() > 1 && digits[0] == '0') || digits.size() > 6) {
    return std::nullopt;
  }
  const int number = std::stoi(std::string(digits));
  return number < limit ? std::optional(number) : std::nullopt;
}

fs::path Absolute(const fs::path& book) {
  std::error_code error;
  fs::path folder = fs::weakly_canonical(
      fs::absolute(book.parent_path().empty() ? "." : book.parent_path(), error), error);
  if (error) folder = fs::absolute(book.parent_path(), error);
  return folder / book.filename();
}

}  // namespace

std::string BookKey(const fs::path& book) {
  const fs::path absolute = Absolute(book);
  uint64_t hash = 0xCBF29CE484222325ULL;
  for (const unsigned char c : absolute.string()) hash = (hash ^ c) * 0x100000001B3ULL;
  std::string name = PathUtf8(absolute.filename()).substr(0, kMaxKeyName);
  for (char& c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' ||
                       c == '_' || (c == '.' && &c != &name[0]);
    if (!plain) c = '_';
  }
  char mark[17];
  std::snprintf(mark, sizeof mark, "%016llx", static_cast<unsigned long long>(hash));
  return name + "-" + mark;
}

std::string WindowName(const fs::path& book) {
  const std::string key = BookKey(book);
  return "window-" + key.substr(key.rfind('-') + 1);
}

SessionFiles::SessionFiles(const fs::path& book)
    : book_name_(PathUtf8(book.filename())), key_(BookKey(book)) {
  if (Result<SafeFolder> folder = SafeFolder::Open(Absolute(book).parent_path())) {
    book_folder_.emplace(std::move(folder).value());
  }
  const std::optional<fs::path> state = StateFolderPath();
  if (!state) {
    trouble_ = "there is no home folder to keep it in";
    return;
  }
  Result<SafeFolder> states = SafeFolder::OpenPrivate(*state, MakeFolder::kPrivate);
  Result<SafeFolder> own =
      states ? states.value().Subfolder(key_, MakeFolder::kPrivate) : states.error();
  if (own) {
    states_.emplace(std::move(states).value());
    state_.emplace(std::move(own).value());
  } else {
    trouble_ = own.error().description;
  }
}

const SafeFolder* SessionFiles::spare(MakeFolder make) {
  if (!spare_ && !(spare_tried_ && make == MakeFolder::kNo)) {
    if (make == MakeFolder::kPrivate) spare_tried_ = true;
    if (const std::optional<fs::path> runtime = RuntimeFolderPath()) {
      Result<SafeFolder> spares = SafeFolder::OpenPrivate(*runtime, make);
      Result<SafeFolder> own = spares ? spares.value().Subfolder(key_, make) : spares.error();
      if (own) {
        spares_.emplace(std::move(spares).value());
        spare_.emplace(std::move(own).value());
      }
    }
  }
  return spare_ ? &*spare_ : nullptr;
}

void SessionFiles::Tidy() {
  if (states_) states_->RemoveEmptyFolder(key_);
  if (spares_) spares_->RemoveEmptyFolder(key_);
}

const SafeFolder* SessionFiles::kept_folder() const {
  if (book_folder_ && book_folder_->is_private()) return &*book_folder_;
  return state_ ? &*state_ : nullptr;
}

std::string SessionFiles::RecoveryName(int slot) { return kRecoveryPrefix + std::to_string(slot); }

std::string SessionFiles::RecoveryBaseName(int slot) { return RecoveryName(slot) + kBaseSuffix; }

std::optional<int> SessionFiles::RecoverySlot(std::string_view name) {
  if (!name.starts_with(kRecoveryPrefix)) return std::nullopt;
  return CanonicalNumber(name.substr(std::size(kRecoveryPrefix) - 1), BookLock::kSlots);
}

bool SessionFiles::IsKeptName(std::string_view name) const {
  if (!name.starts_with(KeptPrefix())) return false;
  const std::string_view stamp = name.substr(KeptPrefix().size());
  // YYYYMMDD-HHMMSS, then perhaps a counter.
  if (stamp.size() < 15 || !AllDigits(stamp.substr(0, 8)) || stamp[8] != '-' ||
      !AllDigits(stamp.substr(9, 6))) {
    return false;
  }
  const std::string_view counter = stamp.substr(15);
  return counter.empty() ||
         (counter[0] == '-' &&
          CanonicalNumber(counter.substr(1), kMaxFreshNames + 1).value_or(0) >= 2);
}

}  // namespace tallivan
