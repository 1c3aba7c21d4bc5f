#include "storage/safe_folder.h"

#include <atomic>
#include <chrono>
#include <random>

namespace tallivan {
namespace {

constexpr size_t kMaxNameStem = 200;
constexpr size_t kRandomLength = 8;

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
  constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string result = TemporaryPrefix(name);
  for (size_t i = 0; i < kRandomLength; ++i, bits /= 62) result.push_back(kLetters[bits % 62]);
  result.append(kTemporarySuffix);
  return result;
}

std::string Numbered(std::string_view name, int counter) {
  std::string result(name);
  if (counter >= 2) result.append("-").append(std::to_string(counter));
  return result;
}

}  // namespace tallivan
