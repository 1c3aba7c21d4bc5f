#ifndef TALLIVAN_WINDOW_WINDOW_TEXTS_H_
#define TALLIVAN_WINDOW_WINDOW_TEXTS_H_

#include <string>
#include <string_view>

namespace tallivan {

// The window's caption (UTF-8).
inline constexpr char kCaption[] = "Tallivan v1.01 https://tallivan.example";

// The text the box shows until a book is loaded: twelve lines, each ended by CR LF.
extern const std::u16string_view kSampleText;

// The title of the warnings the window gives of its own (UTF-8).
inline constexpr char kWindowWarningTitle[] = "Warning - 警告";

// The warning for a program that runs from a temporary folder, such as the one Explorer runs a
// program in when it is started from inside a zip: English, CR LF, Chinese, naming the program's
// `folder` and the `documents` folder to unpack into (UTF-8).
std::string TemporaryFolderWarning(const std::string& folder, const std::string& documents);

// Why the window holds up the end of the desktop session while it saves (UTF-8, one line).
inline constexpr char kShutdownReason[] = "Saving the ledger - 正在保存账本";

}  // namespace tallivan

#endif  // TALLIVAN_WINDOW_WINDOW_TEXTS_H_
