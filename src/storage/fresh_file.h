#ifndef TALLIVAN_STORAGE_FRESH_FILE_H_
#define TALLIVAN_STORAGE_FRESH_FILE_H_

#include <filesystem>
#include <optional>
#include <string_view>

#include "runtime/error.h"

namespace tallivan {

// Writes `text` as raw UTF-16LE to a new file named `wanted`, or `wanted` followed by "-2", "-3"
// and so on when that name is taken, with permission bits `mode`. Never replaces or follows
// anything that is already there. Gives the path written; error 75 naming it and the reason.
Result<std::filesystem::path> WriteFreshFile(const std::filesystem::path& wanted,
                                             std::u16string_view text, unsigned mode);

// Renames the file `from` to `wanted`, or `wanted` with a counter as WriteFreshFile does, never
// replacing anything. Gives the new path.
Result<std::filesystem::path> MoveToFreshName(const std::filesystem::path& from,
                                              const std::filesystem::path& wanted);

// Removes the file at `path`, read-only or not (Windows removes no read-only file by itself).
// Whether it is gone.
bool RemoveFile(const std::filesystem::path& path);

// The user's home folder, or nullopt when there is none fit to keep files in (for one, the root
// folder that an unset HOME would give).
std::optional<std::filesystem::path> HomeFolder();

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_FRESH_FILE_H_
