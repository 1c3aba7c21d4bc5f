#ifndef TALLIVAN_STORAGE_FRESH_FILE_H_
#define TALLIVAN_STORAGE_FRESH_FILE_H_

#include <filesystem>
#include <optional>
#include <string_view>

#include "runtime/error.h"

namespace tallivan {

// Removes the file at `path`, read-only or not (Windows removes no read-only file by itself).
// Whether it is gone.
bool RemoveFile(const std::filesystem::path& path);

// The user's home folder, or nullopt when there is none fit to keep files in (for one, the root
// folder that an unset HOME would give).
std::optional<std::filesystem::path> HomeFolder();

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_FRESH_FILE_H_
