#include "session/companion_files.h"

#include <cstdint>
#include <cstdio>

#include "storage/file_io.h"
#include "storage/fresh_file.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

// Eight hex digits that tell books with the same name in different folders apart.
std::string PathMark(const fs::path& path) {
  uint64_t hash = 0xCBF29CE484222325ULL;
  for (const auto c : path.native()) {
    hash = (hash ^ static_cast<uint64_t>(c)) * 0x100000001B3ULL;
  }
  char mark[9];
  std::snprintf(mark, sizeof mark, "%08x", static_cast<unsigned>(hash ^ (hash >> 32)));
  return mark;
}

}  // namespace

fs::path CompanionPlace::LockFile() const { return folder / Utf8Path("." + own_stem + ".lock"); }

std::string CompanionPlace::RecoveryCopyPrefix() const { return "." + own_stem + ".recovery-"; }

fs::path CompanionPlace::RecoveryCopy(int slot) const {
  return folder / Utf8Path(RecoveryCopyPrefix() + std::to_string(slot));
}

std::string CompanionPlace::KeptPrefix() const { return kept_stem + ".unsaved-"; }

fs::path CompanionPlace::SeenList() const {
  return folder / Utf8Path("." + kept_stem + ".unsaved-seen");
}

std::vector<CompanionPlace> CompanionPlaces(const fs::path& book) {
  std::error_code error;
  fs::path absolute = fs::absolute(book, error);
  if (error) absolute = book;
  const std::string name = PathUtf8(absolute.filename());
  std::vector<CompanionPlace> places = {{absolute.parent_path(), name, name}};
  if (const std::optional<fs::path> home = HomeFolder(); home && *home != places[0].folder) {
    places.push_back({*home, "tallivan-" + name + "-" + PathMark(absolute), "tallivan-" + name});
  }
  return places;
}

}  // namespace tallivan
