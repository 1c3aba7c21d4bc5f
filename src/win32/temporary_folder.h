#ifndef TALLIVAN_WIN32_TEMPORARY_FOLDER_H_
#define TALLIVAN_WIN32_TEMPORARY_FOLDER_H_

#include <filesystem>

namespace tallivan {

// Whether `path` lies in the user's temporary folder, where Explorer runs a program started from
// inside a zip and which it empties later. Folders are told apart as the system's files, so that
// short (8.3) names, a folder reached through another drive and any case all count.
bool IsInTemporaryFolder(const std::filesystem::path& path);

// The user's Documents folder; empty when the system names none.
std::filesystem::path DocumentsFolder();

}  // namespace tallivan

#endif  // TALLIVAN_WIN32_TEMPORARY_FOLDER_H_
