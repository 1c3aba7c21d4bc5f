#include "storage/safe_folder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <utility>

namespace tallivan {
namespace {

constexpr size_t kMaxNameStem = 200;
constexpr size_t kRandomLength = 8;
constexpr std::string_view kLetters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

}  // namespace

std::string TemporaryPrefix(std::string_view name) {
  std::string prefix(1, '.');
  prefix.append(name.substr(0, kMaxNameStem));
  prefix.push_back('.');
  return prefix;
}

std::string TemporaryName(std::string_view name) {
  static const uint64_t seed = std::random_device{}();
  static std::atomic<uint64_t> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  uint64_t bits = SplitMix(seed ^ static_cast<uint64_t>(now) ^ SplitMix(++counter));
  std::string result = TemporaryPrefix(name);
  for (size_t i = 0; i < kRandomLength; ++i, bits /= kLetters.size()) {
    result.push_back(kLetters[bits % kLetters.size()]);
  }
  result.append(kTemporarySuffix);
  return result;
}

bool IsTemporaryNameOf(std::string_view name, std::string_view candidate) {
  const std::string prefix = TemporaryPrefix(name);
  const std::string_view suffix = kTemporarySuffix;
  if (candidate.size() != prefix.size() + kRandomLength + suffix.size() ||
      !candidate.starts_with(prefix) || !candidate.ends_with(suffix)) {
    return false;
  }
  const std::string_view random = candidate.substr(prefix.size(), kRandomLength);
  return std::all_of(random.begin(), random.end(),
                     [](char c) { return kLetters.find(c) != std::string_view::npos; });
}

std::string Numbered(std::string_view name, int counter) {
  std::string result(name);
  if (counter >= 2) result.append("-").append(std::to_string(counter));
  return result;
}

SafeFolder::SafeFolder(intptr_t native, std::filesystem::path path, bool is_private)
    : native_(native), path_(std::move(path)), private_(is_private) {}

SafeFolder::SafeFolder(SafeFolder&& other) noexcept
    : native_(std::exchange(other.native_, -1)),
      path_(std::move(other.path_)),
      private_(other.private_) {}

SafeFolder& SafeFolder::operator=(SafeFolder&& other) noexcept {
  if (this != &other) {
    if (native_ != -1) CloseNative(native_);
    native_ = std::exchange(other.native_, -1);
    path_ = std::move(other.path_);
    private_ = other.private_;
  }
  return *this;
}

SafeFolder::~SafeFolder() {
  if (native_ != -1) CloseNative(native_);
}

}  // namespace tallivan
