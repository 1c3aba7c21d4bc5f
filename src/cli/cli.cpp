#include "cli/cli.h"

#include <algorithm>
#include <array>
#include <bit>
#include <ctime>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "cli/csv.h"
#include "cli/utf8.h"
#include "ledger/ledger.h"
#include "ledger/line_totals.h"
#include "runtime/error.h"
#include "runtime/largest_book.h"
#include "runtime/version.h"
#include "runtime/visible_text.h"
#include "storage/atomic_writer.h"
#include "storage/book_file.h"
#include "storage/book_location.h"
#include "storage/book_view.h"
#include "storage/file_io.h"
#include "storage/history.h"
#include "window/totals_text.h"

namespace tallivan {
namespace {

constexpr std::string_view kUsage =
    R"(Usage: tallivan-calc [--utf8] [--check | --csv | --spreadsheet | -i | -o OUT]
                     [BOOK]
       tallivan-calc --find TEXT [BOOK]
       tallivan-calc --history [BOOK]
       tallivan-calc --restore VERSION BOOK
Recomputes every subtotal line ("#" line) of a Tallivan book.

  BOOK        the book file, raw UTF-16LE; absent or "-": standard input
  --utf8      read and write UTF-8 text instead of UTF-16LE
  --check     write nothing; exit 0 when the book is up to date, 3 when not
  --csv       write the book as CSV: line,kind,amount,group_sum,running_total,text
  --spreadsheet
              CSV for spreadsheets: a UTF-8 byte-order mark, a group column
              (the "#" line closing the line's group) before text, and a "'"
              before a text that starts with =, +, -, @, tab or CR
  -i          write the result back into BOOK, keeping the text it
              replaces in BOOK's history (the folder BOOK.history)
  -o OUT      write the result to OUT ("-": standard output)
  --find TEXT list the entries whose line holds TEXT (A to Z in either
              case): line number, amount and text, then their count
              and total; lines that cannot be read are left out
  --history   list the versions kept in BOOK's history (without BOOK:
              the book the window opens)
  --restore VERSION
              put VERSION (a file, or a name --history lists) back as
              BOOK, keeping the text it replaces in the history too
  --version   show the version and exit
  -h, --help  show this help and exit

Without --check, -i or -o the result goes to standard output. Files are
replaced atomically: a failed write leaves them as they were. A book that
another program changes during the run is left as that program made it.
Lines end with CR LF, as in the book.

Exit status: 0 done, 1 a line cannot be read (reported as
BOOK:LINE: error: MESSAGE), 2 bad use, unreadable input or failed write,
3 out of date (--check).
)";

constexpr std::string_view kStdinName = "<stdin>";
constexpr size_t kReadChunk = size_t{1} << 20;
constexpr size_t kOutputBuffer = size_t{1} << 20;
constexpr size_t kDirectWrite = kOutputBuffer / 4;
constexpr size_t kEncodeSlice = size_t{1} << 16;

enum class Encoding { kUtf16, kUtf8 };
enum class Mode {
  kPrint,
  kCheck,
  kCsv,
  kSpreadsheet,
  kInPlace,
  kOutput,
  kHistory,
  kRestore,
  kFind
};

struct Options {
  Encoding encoding = Encoding::kUtf16;
  Mode mode = Mode::kPrint;
  std::string book = "-";
  std::string out;
  std::string restore;  // --restore VERSION
  std::string find;     // --find TEXT
  bool help = false;
  bool version = false;
};

// Why the arguments cannot be used.
struct BadArgs {
  std::string reason;
};

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

std::variant<Options, BadArgs> ParseArgs(const std::vector<std::string>& args) {
  Options options;
  bool book_given = false;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      if (book_given)
        return BadArgs{"more than one book: '" + options.book + "' and '" + arg + "'"};
      options.book = arg;
      book_given = true;
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    } else if (arg == "--version") {
      options.version = true;
      return options;
    } else if (arg == "--utf8") {
      options.encoding = Encoding::kUtf8;
    } else if (arg == "--check" || arg == "--csv" || arg == "--spreadsheet" || arg == "-i" ||
               arg == "-o" || arg == "--history" || arg == "--restore" || arg == "--find") {
      if (options.mode != Mode::kPrint) {
        return BadArgs{
            "give only one of --check, --csv, --spreadsheet, -i, -o, --find, --history "
            "and --restore"};
      }
      if (arg == "--check") {
        options.mode = Mode::kCheck;
      } else if (arg == "--csv" || arg == "--spreadsheet") {
        options.mode = arg == "--csv" ? Mode::kCsv : Mode::kSpreadsheet;
      } else if (arg == "-i") {
        options.mode = Mode::kInPlace;
      } else if (arg == "--history") {
        options.mode = Mode::kHistory;
      } else if (i + 1 == args.size() || args[i + 1].empty()) {
        return BadArgs{arg == "-o"       ? "-o needs a file name"
                       : arg == "--find" ? "--find needs a text"
                                         : "--restore needs a version"};
      } else if (arg == "--find") {
        options.mode = Mode::kFind;
        options.find = args[++i];
      } else {
        options.mode = arg == "-o" ? Mode::kOutput : Mode::kRestore;
        (arg == "-o" ? options.out : options.restore) = args[++i];
      }
    } else {
      return BadArgs{"unknown option '" + arg + "'"};
    }
  }
  if (options.mode == Mode::kInPlace && options.book == "-") {
    return BadArgs{"-i needs a book file; standard input cannot be written back"};
  }
  if (options.mode == Mode::kHistory || options.mode == Mode::kRestore) {
    if (options.mode == Mode::kRestore && options.book == "-") {
      return BadArgs{"--restore needs a book file"};
    }
    if (options.encoding == Encoding::kUtf8) {
      return BadArgs{"--history and --restore work on book files, not on --utf8 text"};
    }
  }
  return options;
}

Status WriteAll(int fd, std::span<const char> bytes, std::string_view name) {
  if (const int error_number = WriteFully(fd, bytes); error_number != 0) {
    return Error{ErrorNumber::kFileAccess,
                 "Cannot write " + std::string(name) + ": " + SystemErrorText(error_number)};
  }
  return {};
}

// Writes one line to `fd`, with the controls and broken UTF-8 of the file names and texts it
// quotes made visible; there is nowhere left to report a failure.
void Say(int fd, std::string_view line) {
  std::string shown = VisibleText(line);
  shown.push_back('\n');
  WriteAll(fd, shown, "standard error").IgnoreError();
}

// Gathers text in the chosen encoding and hands it on in large pieces.
class Output {
 public:
  using Sink = std::function<Status(std::span<const char>)>;

  Output(Encoding encoding, Sink sink) : encoding_(encoding), sink_(std::move(sink)) {
    buffer_.reserve(kOutputBuffer + 3 * kEncodeSlice);
  }

  Status Put(std::u16string_view text) {
    if (encoding_ == Encoding::kUtf16 && std::endian::native == std::endian::little) {
      return PutBytes({reinterpret_cast<const char*>(text.data()), text.size() * 2});
    }
    while (!text.empty()) {
      size_t slice = std::min(text.size(), kEncodeSlice);
      if (slice < text.size() && IsHighSurrogate(text[slice - 1])) --slice;
      if (encoding_ == Encoding::kUtf8) {
        if (AppendUtf8(text.substr(0, slice), buffer_) != slice) {
          return Error{ErrorNumber::kFileAccess,
                       "an unpaired surrogate cannot be written as UTF-8"};
        }
      } else {
        for (char16_t unit : text.substr(0, slice)) {
          buffer_.push_back(static_cast<char>(unit & 0xFF));
          buffer_.push_back(static_cast<char>(unit >> 8));
        }
      }
      text.remove_prefix(slice);
      if (buffer_.size() >= kOutputBuffer) {
        if (Status flushed = Flush(); !flushed) return flushed;
      }
    }
    return {};
  }

  Status Flush() {
    if (buffer_.empty()) return {};
    Status written = sink_(buffer_);
    buffer_.clear();
    return written;
  }

 private:
  Status PutBytes(std::span<const char> bytes) {
    if (bytes.size() >= kDirectWrite) {
      if (Status flushed = Flush(); !flushed) return flushed;
      return sink_(bytes);
    }
    buffer_.append(bytes.data(), bytes.size());
    return buffer_.size() >= kOutputBuffer ? Flush() : Status();
  }

  Encoding encoding_;
  Sink sink_;
  std::string buffer_;
};

// Puts `text` with `edits` applied into `output`, without building the new text.
Status WriteText(Output& output, std::u16string_view text, const Edits& edits) {
  size_t at = 0;
  for (const LineEdit& edit : edits) {
    const auto start = static_cast<size_t>(edit.offset);
    if (Status put = output.Put(text.substr(at, start - at)); !put) return put;
    if (Status put = output.Put(edit.new_line); !put) return put;
    at = start + static_cast<size_t>(edit.old_length);
  }
  if (Status put = output.Put(text.substr(at)); !put) return put;
  return output.Flush();
}

Error InvalidUtf8(const std::string& name, uint64_t offset, std::u16string_view before) {
  size_t line = 1;
  for (size_t at = before.find(u"\r\n"); at != std::u16string_view::npos;
       at = before.find(u"\r\n", at + 2)) {
    ++line;
  }
  return Error{ErrorNumber::kFileAccess, "Cannot read \"" + name + "\": invalid UTF-8 at byte " +
                                             std::to_string(offset) + " (line " +
                                             std::to_string(line) + ")"};
}

Result<std::u16string> ReadUtf8(int fd, const std::string& name) {
  std::u16string text;
  // UTF-8 never has fewer bytes than UTF-16 has units; one unit more lets the decoder work in
  // place.
  if (const std::optional<uint64_t> left = BytesLeft(fd)) {
    text.reserve(static_cast<size_t>(*left) + 1);
  }
  Utf8Decoder decoder(text);
  std::string buffer(kReadChunk, '\0');
  for (;;) {
    size_t got = 0;
    if (const int error_number = ReadSome(fd, buffer, got); error_number != 0) {
      return ReadError(name, error_number);
    }
    if (got == 0) break;
    if (!decoder.Decode({buffer.data(), got})) {
      return InvalidUtf8(name, decoder.error_offset(), text);
    }
  }
  if (!decoder.Finish()) return InvalidUtf8(name, decoder.error_offset(), text);
  return text;
}

// The text to recompute: a book as it lies in its file, or UTF-8 turned into UTF-16, and where
// it came from.
struct Input {
  std::optional<BookView> book;
  std::optional<BookSource> source;  // of the UTF-8 text
  std::u16string decoded;

  std::u16string_view text() const { return book ? book->text() : decoded; }

  // Whether the input is still as it was read.
  Status Unchanged() const {
    if (book) return book->Unchanged();
    return source ? source->Unchanged() : Status();
  }
};

Result<Input> ReadInput(const Options& options, int in_fd) {
  const bool from_stdin = options.book == "-";
  const std::string name = from_stdin ? std::string(kStdinName) : options.book;
  Input input;
  if (options.encoding == Encoding::kUtf16) {
    Result<BookView> book =
        from_stdin ? BookView::FromFd(in_fd, name) : BookView::Open(Utf8Path(name));
    if (!book) return book.error();
    input.book.emplace(std::move(book).value());
    return input;
  }
  Result<BookSource> source =
      from_stdin ? BookSource::Adopt(in_fd, name) : BookSource::Open(Utf8Path(name));
  if (!source) return source.error();
  Result<std::u16string> decoded = ReadUtf8(source.value().fd(), name);
  if (!decoded) return decoded.error();
  input.source.emplace(std::move(source).value());
  input.source->CloseFile();
  input.decoded = std::move(decoded).value();
  return input;
}

std::string Diagnostic(const Options& options, const Rejection& rejection) {
  const std::string name = options.book == "-" ? std::string(kStdinName) : options.book;
  std::string message = rejection.message.english;
  if (!rejection.message.chinese.empty()) message += " " + rejection.message.chinese;
  return name + ":" + std::to_string(rejection.line_index + 1) + ": error: " + message;
}

// The error to report when the input changed after it was read, with what that means for the
// run (`outcome`); nullopt while it is as it was.
std::optional<Error> ChangedInput(const Input& input, const CalcSettings& settings,
                                  const char* outcome) {
  if (settings.change_check == ChangeCheck::kOff) return std::nullopt;
  const Status same = input.Unchanged();
  if (same) return std::nullopt;
  return Error{same.error().number, same.error().description + outcome};
}

// Writes the new text to standard output or, atomically, to a file.
Status Deliver(const Options& options, const CalcStreams& streams, const CalcSettings& settings,
               const Input& input, const Edits& edits) {
  if (options.mode == Mode::kPrint || (options.mode == Mode::kOutput && options.out == "-")) {
    Output output(options.encoding, [fd = streams.out](std::span<const char> bytes) {
      return WriteAll(fd, bytes, "standard output");
    });
    const Status written = WriteText(output, input.text(), edits);
    if (auto changed = ChangedInput(input, settings, "; what it wrote is not to be trusted")) {
      return *changed;
    }
    return written;
  }
  SaveOptions save;
  if (options.mode == Mode::kInPlace) save.history = settings.history;
  Result<AtomicWriter> writer = AtomicWriter::Open(
      Utf8Path(options.mode == Mode::kInPlace ? options.book : options.out), save);
  if (!writer) return writer.error();
  Output output(options.encoding,
                [&writer](std::span<const char> bytes) { return writer.value().Write(bytes); });
  // Text copied from a book cut shorter meanwhile fails to write (EFAULT): that is the change.
  if (Status written = WriteText(output, input.text(), edits); !written) {
    if (auto changed = ChangedInput(input, settings, "; nothing was saved")) return *changed;
    return written;
  }
  const Result<SaveReport> committed = writer.value().Commit([&]() -> Status {
    if (auto changed = ChangedInput(input, settings, "; nothing was saved")) return *changed;
    return {};
  });
  if (!committed) return committed.error();
  for (const std::string& warning : committed.value().warnings) {
    Say(streams.err, "tallivan-calc: warning: " + warning);
  }
  return {};
}

// The line count of `text` and the running total its last subtotal line shows ("-" when that
// line holds none, or there is no such line).
std::pair<uint64_t, std::string> Summarize(std::u16string_view text) {
  uint64_t lines = text.empty() ? 0 : 1;
  for (size_t at = text.find(u"\r\n"); at != text.npos; at = text.find(u"\r\n", at + 2)) ++lines;
  constexpr std::u16string_view kBeforeTotal = u") ,  ";
  for (std::u16string_view rest = text;;) {
    const size_t cut = rest.rfind(u"\r\n");
    std::u16string_view line = cut == rest.npos ? rest : rest.substr(cut + 2);
    line = line.substr(0, line.find(u"//"));
    if (ClassifyLine(line) == LineKind::SubtotalLine) {
      const size_t total = line.rfind(kBeforeTotal);
      std::string shown;
      if (total != line.npos) AppendUtf8(line.substr(total + kBeforeTotal.size()), shown);
      return {lines, shown.empty() ? "-" : shown};
    }
    if (cut == rest.npos) return {lines, "-"};
    rest = rest.substr(0, cut);
  }
}

std::string LocalTime(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  char shown[32] = "?";
  if (const std::tm* local = std::localtime(&time)) {
    std::strftime(shown, sizeof shown, "%Y-%m-%d %H:%M:%S", local);
  }
  return shown;
}

// The text of the book file `source`, which holds `bytes` bytes, read into memory of that size;
// nullopt when the file does not hold a book of that length (odd, cut short or grown).
std::optional<std::u16string> ReadWhole(const BookSource& source, uint64_t bytes) {
  if (bytes % 2 != 0) return std::nullopt;
  // One unit more than the file holds, to see a file that grew while it was read.
  std::u16string text(static_cast<size_t>(bytes / 2 + 1), u'\0');
  const std::span<char> room(reinterpret_cast<char*>(text.data()), text.size() * 2);
  size_t done = 0;
  for (;;) {
    size_t got = 0;
    if (ReadSome(source.fd(), room.subspan(done), got) != 0) return std::nullopt;
    if (got == 0) break;
    done += got;
    if (done > bytes) return std::nullopt;
  }
  if (done != bytes) return std::nullopt;
  text.resize(done / 2);
  if constexpr (std::endian::native == std::endian::big) {
    for (char16_t& unit : text) unit = static_cast<char16_t>((unit >> 8) | (unit << 8));
  }
  return text;
}

// The number of characters in `utf8`, which is well-formed.
size_t Width(std::string_view utf8) {
  return static_cast<size_t>(
      std::ranges::count_if(utf8, [](char byte) { return (byte & 0xC0) != 0x80; }));
}

// Lists the versions kept for the book, oldest first, then the book itself.
int ListHistory(const Options& options, const CalcStreams& streams) {
  const std::filesystem::path book = Utf8Path(options.book);
  const Result<std::vector<Version>> versions = ListVersions(book);
  if (!versions) {
    Say(streams.err, "tallivan-calc: " + versions.error().description);
    return kExitBadUse;
  }
  using Row = std::array<std::string, 5>;
  std::vector<Row> rows = {{"replaced", "bytes", "lines", "total", "version"}};
  const auto add = [&rows](const std::string& when, const std::filesystem::path& path,
                           const std::string& name) {
    const std::string shown = VisibleText(name);
    const Result<BookSource> source = BookSource::Open(path);
    const std::optional<uint64_t> bytes =
        source ? BytesLeft(source.value().fd()) : std::optional<uint64_t>();
    if (!bytes) return rows.push_back({when, "-", "-", "-", shown + " (unreadable)"});
    // A file larger than any book would take that much memory and time, and is no book.
    if (*bytes > kLargestBookBytes) {
      return rows.push_back({when, std::to_string(*bytes), "-", "-", shown + " (too large)"});
    }
    const std::optional<std::u16string> text = ReadWhole(source.value(), *bytes);
    if (!text) return rows.push_back({when, "-", "-", "-", shown + " (unreadable)"});
    const auto [lines, total] = Summarize(*text);
    rows.push_back(
        {when, std::to_string(*bytes), std::to_string(lines), VisibleText(total), shown});
  };
  for (const Version& version : versions.value()) {
    add(LocalTime(version.time.seconds), version.path, PathUtf8(version.path.filename()));
  }
  if (std::error_code error; std::filesystem::exists(book, error)) {
    add("(current)", book, options.book);
  }
  std::array<size_t, 5> widths{};
  for (const Row& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
  }
  std::string table;
  for (const Row& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      // Figures line up on the right, words on the left.
      const std::string pad(widths[i] - Width(row[i]), ' ');
      const bool figure = i == 1 || i == 2;
      table += figure ? pad + row[i] : row[i];
      if (i + 1 < row.size()) table += figure ? "  " : pad + "  ";
    }
    table += '\n';
  }
  if (versions.value().empty()) {
    table = "No versions of \"" + VisibleText(options.book) + "\" have been kept yet.\n";
  }
  return WriteAll(streams.out, table, "standard output").ok() ? kExitOk : kExitBadUse;
}

// Puts a version back as the book, keeping the book's text in the history first.
int Restore(const Options& options, const CalcStreams& streams, const CalcSettings& settings) {
  const std::filesystem::path book = Utf8Path(options.book);
  std::filesystem::path version = Utf8Path(options.restore);
  // A name from the list is read from the history the list came from; anything else is a path.
  Result<std::u16string> text = Error{ErrorNumber::kFileNotFound, ""};
  if (version.filename() == version) text = LoadVersion(book, options.restore);
  if (const Result<std::filesystem::path> folder = HistoryFolder(book); text && folder) {
    version = folder.value() / version;
  } else if (!text && text.error().number == ErrorNumber::kFileNotFound) {
    text = LoadBookFile(version);
  }
  if (!text) {
    Say(streams.err, "tallivan-calc: " + text.error().description);
    return kExitBadUse;
  }
  SaveOptions save;
  save.history = settings.history;
  const Result<SaveReport> saved = SaveBookFile(book, text.value(), save);
  if (!saved) {
    Say(streams.err, "tallivan-calc: " + saved.error().description);
    return kExitBadUse;
  }
  for (const std::string& warning : saved.value().warnings) {
    Say(streams.err, "tallivan-calc: warning: " + warning);
  }
  std::string note = "Restored \"" + options.book + "\" from \"" + PathUtf8(version) + "\"";
  if (const std::filesystem::path& kept = saved.value().kept_version; !kept.empty()) {
    note += "; the text it replaced is kept in \"" + PathUtf8(kept.parent_path()) + "\"";
  }
  Say(streams.err, note + ".");
  return kExitOk;
}

// `unit` with A to Z made lower case.
char16_t FoldAscii(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? unit + 32 : unit; }

// Writes the entries of `text` whose line holds `needle` (A to Z in either case), one a line
// (number, amount, text shown visibly, separated by tabs), then their count and total.
Status ListFound(std::u16string_view text, std::u16string_view needle, int fd,
                 std::u16string_view decimal_separator) {
  const auto folded_equal = [](char16_t a, char16_t b) { return FoldAscii(a) == FoldAscii(b); };
  std::string report;
  std::vector<int64_t> found;
  std::u16string found_lines;  // the lines found, joined by CR LF
  int64_t index = 0;
  for (size_t start = 0; !text.empty() && start <= text.size(); ++index) {
    const size_t end = std::min(text.find(u"\r\n", start), text.size());
    const std::u16string_view line = text.substr(start, end - start);
    start = end + 2;
    if (std::ranges::search(line, needle, folded_equal).empty()) continue;
    LineTotals one(line, decimal_separator);
    const EntrySum entry = one.SumRange(0, 0);
    if (entry.count == 0) continue;
    if (!found.empty()) found_lines += u"\r\n";
    found_lines += line;
    found.push_back(index);
    std::string amount, shown;
    AppendUtf8(Format(entry.sum, decimal_separator), amount);
    // An unpaired surrogate, which UTF-8 cannot hold, is shown as U+FFFD.
    for (std::u16string_view rest = line;;) {
      const size_t done = AppendUtf8(rest, shown);
      if (done == rest.size()) break;
      shown += "\xEF\xBF\xBD";
      rest.remove_prefix(done + 1);
    }
    report += std::to_string(index + 1) + "\t" + amount + "\t" + VisibleText(shown) + "\n";
  }
  const EntrySum total =
      LineTotals(found_lines, decimal_separator).SumRange(0, std::ssize(found) - 1);
  AppendUtf8(DescribeEntries(total, decimal_separator), report);
  report += "\n";
  return WriteAll(fd, report, "standard output");
}

int Run(const std::vector<std::string>& args, const CalcStreams& streams,
        std::u16string_view decimal_separator, const CalcSettings& settings) {
  std::variant<Options, BadArgs> parsed = ParseArgs(args);
  if (const auto* bad = std::get_if<BadArgs>(&parsed)) {
    Say(streams.err, "tallivan-calc: " + bad->reason + " (see --help)");
    return kExitBadUse;
  }
  Options& options = std::get<Options>(parsed);
  if (options.help || options.version) {
    const std::string text =
        options.help ? std::string(kUsage) : "tallivan-calc " + std::string(kVersion) + "\n";
    return WriteAll(streams.out, text, "standard output").ok() ? kExitOk : kExitBadUse;
  }
  RemoveTemporaryFilesOnTermination();
  if (options.mode == Mode::kHistory && options.book == "-") {
    // No book named: the one the window opens.
    const Result<std::filesystem::path> book =
        DefaultBookPath(RunningExecutable(), CurrentUserFolders());
    if (!book) {
      Say(streams.err, "tallivan-calc: " + book.error().description);
      return kExitBadUse;
    }
    options.book = PathUtf8(book.value());
  }
  if (options.mode == Mode::kHistory) return ListHistory(options, streams);
  if (options.mode == Mode::kRestore) return Restore(options, streams, settings);

  const Result<Input> input = ReadInput(options, streams.in);
  if (!input) {
    Say(streams.err, "tallivan-calc: " + input.error().description);
    return kExitBadUse;
  }
  const std::u16string_view text = input.value().text();
  if (options.mode == Mode::kFind) {
    std::u16string needle;
    Utf8Decoder decoder(needle);
    if (!decoder.Decode(options.find) || !decoder.Finish()) {
      Say(streams.err, "tallivan-calc: --find needs a text in UTF-8");
      return kExitBadUse;
    }
    Status listed = ListFound(text, needle, streams.out, decimal_separator);
    if (auto changed =
            ChangedInput(input.value(), settings, "; what it wrote is not to be trusted")) {
      listed = *changed;
    }
    if (!listed) {
      Say(streams.err, "tallivan-calc: " + listed.error().description);
      return kExitBadUse;
    }
    return kExitOk;
  }
  const std::variant<Edits, Rejection> outcome = RecalculateEdits(text, decimal_separator);
  // What was computed from a book that changed meanwhile counts for nothing, a rejection included.
  if (auto changed = ChangedInput(input.value(), settings, "; nothing was written")) {
    Say(streams.err, "tallivan-calc: " + changed->description);
    return kExitBadUse;
  }
  if (const auto* rejection = std::get_if<Rejection>(&outcome)) {
    Say(streams.err, Diagnostic(options, *rejection));
    return kExitRejected;
  }
  const Edits& edits = std::get<Edits>(outcome);
  if (options.mode == Mode::kCheck) return edits.empty() ? kExitOk : kExitOutOfDate;
  if (options.mode == Mode::kCsv || options.mode == Mode::kSpreadsheet) {
    const std::string name = options.book == "-" ? std::string(kStdinName) : options.book;
    Status written =
        WriteCsv(text, streams.out, name,
                 options.mode == Mode::kCsv ? CsvReader::kScript : CsvReader::kSpreadsheet);
    if (auto changed =
            ChangedInput(input.value(), settings, "; what it wrote is not to be trusted")) {
      written = *changed;
    }
    if (!written) {
      Say(streams.err, "tallivan-calc: " + written.error().description);
      return kExitBadUse;
    }
    return kExitOk;
  }
  if (options.encoding == Encoding::kUtf8) {
    // The rest came in as UTF-8, so only the rewritten lines could fail to go out as UTF-8.
    for (const LineEdit& edit : edits) {
      std::string scratch;
      if (AppendUtf8(edit.new_line, scratch) != edit.new_line.size()) {
        Say(streams.err, "tallivan-calc: line " + std::to_string(edit.line_index + 1) +
                             " would get an unpaired surrogate, which UTF-8 cannot hold");
        return kExitBadUse;
      }
    }
  }
  if (options.mode == Mode::kInPlace && edits.empty()) return kExitOk;
  if (Status delivered = Deliver(options, streams, settings, input.value(), edits); !delivered) {
    Say(streams.err, "tallivan-calc: " + delivered.error().description);
    return kExitBadUse;
  }
  return kExitOk;
}

}  // namespace

int RunCalc(const std::vector<std::string>& args, const CalcStreams& streams,
            std::u16string_view decimal_separator, const CalcSettings& settings) {
  try {
    return Run(args, streams, decimal_separator, settings);
  } catch (const std::bad_alloc&) {
    Say(streams.err, "tallivan-calc: not enough memory");
    return kExitBadUse;
  }
}

std::string_view CalcUsage() { return kUsage; }

}  // namespace tallivan
