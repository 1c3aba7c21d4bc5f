#ifndef TALLIVAN_WINDOW_OPTIONS_H_
#define TALLIVAN_WINDOW_OPTIONS_H_

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tallivan {

// What the window program is asked to do.
struct WindowOptions {
  enum class Action { kOpen, kHelp, kVersion };
  Action action = Action::kOpen;
  std::optional<std::string> book;  // --book PATH, or PATH alone
};

// Why the arguments cannot be used.
struct BadUse {
  std::string reason;
};

// What to make of single-dash arguments other than -h, and of words: before Qt has taken its own
// options (-platform NAME, -session ID, ...) they are left alone; after, they are refused.
enum class QtArguments { kLeave, kRefuse };

// Reads `tallivan [[--book] PATH] [--version] [--help]` from `args` (the program's name left out).
std::variant<WindowOptions, BadUse> ParseWindowArgs(const std::vector<std::string>& args,
                                                    QtArguments qt_arguments);

// What the program says instead of opening its window, where, and its exit status.
struct Reply {
  enum class Stream { kOut, kErr };
  Stream stream = Stream::kOut;
  std::string text;
  int exit_status = 0;
};

// Which program's help --help gives: the Linux one's, wrapped for a terminal, or the Windows
// one's, which often shows in a message box and so has a line for each paragraph and CR LF ends.
enum class HelpFor { kLinux, kWindows };

// The reply to --help, --version or bad use; nullopt when the window is to open.
std::optional<Reply> ReplyTo(const std::variant<WindowOptions, BadUse>& parsed,
                             HelpFor help_for = HelpFor::kLinux);

}  // namespace tallivan

#endif  // TALLIVAN_WINDOW_OPTIONS_H_
