#include "window/options.h"

#include "runtime/version.h"

namespace tallivan {
namespace {

constexpr std::string_view kUsage =
    R"(Usage: tallivan [[--book] PATH]
Keeps a personal cash ledger as free text: put amounts in square brackets,
close a group with a line that starts with "#", and press any of F1-F16 to
rewrite every "#" line with its group sum and the running total. Closing
the window saves the book.

  PATH, --book PATH
               open the book at PATH (created when the window closes)
  --version    show the version and exit
  -h, --help   show this help and exit

Without a PATH, the book beside the program is used if there is one; an
installed copy on Linux keeps its book in $XDG_DATA_HOME/tallivan/book (by
default ~/.local/share/tallivan/book). On Linux, Qt's own options, such as
-platform NAME, are accepted too.
)";

constexpr std::string_view kWindowsUsage =
    "Usage: tallivan.exe [[--book] PATH]\r\n"
    "\r\n"
    "Keeps a personal cash ledger as free text: put amounts in square brackets, close a group "
    "with a line that starts with \"#\", and press any of F1-F16 to rewrite every \"#\" line "
    "with its group sum and the running total. Closing the window saves the book.\r\n"
    "\r\n"
    "PATH, --book PATH: open the book at PATH (created when the window closes); a file dropped "
    "on tallivan.exe, or opened with it, opens that book too.\r\n"
    "--version: show the version and exit.\r\n"
    "-h, --help: show this help and exit.\r\n"
    "\r\n"
    "Without a PATH, the book is the file named \"book\" beside tallivan.exe. Unpack the zip "
    "into a folder of your own, such as Documents, and start tallivan.exe there.\r\n";

constexpr std::string_view kBookOption = "--book";
constexpr int kExitOk = 0;
constexpr int kExitBadUse = 2;

}  // namespace

std::variant<WindowOptions, BadUse> ParseWindowArgs(const std::vector<std::string>& args,
                                                    QtArguments qt_arguments) {
  WindowOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.action = WindowOptions::Action::kHelp;
      return options;
    }
    if (arg == "--version") {
      options.action = WindowOptions::Action::kVersion;
      return options;
    }
    std::optional<std::string> book;
    if (arg == kBookOption) {
      if (i + 1 == args.size()) return BadUse{"--book needs a file name"};
      book = args[++i];
    } else if (arg.starts_with(std::string(kBookOption) + "=")) {
      book = arg.substr(kBookOption.size() + 1);
    } else if (arg.starts_with("--")) {
      return BadUse{"unknown option '" + arg + "'"};
    } else if (qt_arguments == QtArguments::kLeave) {
      continue;  // may be the value of one of Qt's options
    } else if (arg.starts_with("-")) {
      return BadUse{"unknown option '" + arg + "'"};
    } else if (arg.empty()) {
      return BadUse{"the book's file name is empty"};
    } else {
      book = arg;  // as a file manager's "Open With" or a file dropped on the program passes it
    }
    if (!book) continue;
    if (book->empty()) return BadUse{"--book needs a file name"};
    if (options.book)
      return BadUse{"more than one book: '" + *options.book + "' and '" + *book + "'"};
    options.book = std::move(book);
  }
  return options;
}

std::optional<Reply> ReplyTo(const std::variant<WindowOptions, BadUse>& parsed, HelpFor help_for) {
  if (const auto* bad = std::get_if<BadUse>(&parsed)) {
    return Reply{Reply::Stream::kErr, "tallivan: " + bad->reason + " (see --help)\n", kExitBadUse};
  }
  switch (std::get<WindowOptions>(parsed).action) {
    case WindowOptions::Action::kHelp:
      return Reply{Reply::Stream::kOut,
                   std::string(help_for == HelpFor::kWindows ? kWindowsUsage : kUsage), kExitOk};
    case WindowOptions::Action::kVersion:
      return Reply{Reply::Stream::kOut, std::string("tallivan ") + kVersion + "\n", kExitOk};
    case WindowOptions::Action::kOpen:
      break;
  }
  return std::nullopt;
}

}  // namespace tallivan
