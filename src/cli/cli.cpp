#include "cli/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <clocale>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <utility>
#include <variant>

#include "cli/csv.h"
#include "cli/utf8.h"
#include "ledger/ledger.h"
#include "runtime/error.h"
#include "runtime/version.h"
#include "storage/atomic_writer.h"
#include "storage/book_file.h"
#include "storage/book_view.h"

namespace tallivan {
namespace {

constexpr std::string_view kUsage =
    R"(Usage: tallivan-calc [--utf8] [--check | --csv | -i | -o OUT] [BOOK]
Recomputes every subtotal line ("#" line) of a Tallivan book.

  BOOK        the book file, raw UTF-16LE; absent or "-": standard input
  --utf8      read and write UTF-8 text instead of UTF-16LE
  --check     write nothing; exit 0 when the book is up to date, 3 when not
  --csv       write the book as CSV: line,kind,amount,group_sum,running_total,text
  -i          write the result back into BOOK
  -o OUT      write the result to OUT ("-": standard output)
  --version   show the version and exit
  -h, --help  show this help and exit

Without --check, -i or -o the result goes to standard output. Files are
replaced atomically: a failed write leaves them as they were. Lines end
with CR LF, as in the book.

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
enum class Mode { kPrint, kCheck, kCsv, kInPlace, kOutput };

struct Options {
  Encoding encoding = Encoding::kUtf16;
  Mode mode = Mode::kPrint;
  std::string book = "-";
  std::string out;
  bool help = false;
  bool version = false;
};

// Why the arguments cannot be used.
struct BadArgs {
  std::string reason;
};

std::string Reason(int error_number) { return std::system_category().message(error_number); }

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
    } else if (arg == "--check" || arg == "--csv" || arg == "-i" || arg == "-o") {
      if (options.mode != Mode::kPrint) {
        return BadArgs{"give only one of --check, --csv, -i and -o"};
      }
      if (arg == "--check" || arg == "--csv") {
        options.mode = arg == "--csv" ? Mode::kCsv : Mode::kCheck;
      } else if (arg == "-i") {
        options.mode = Mode::kInPlace;
      } else if (i + 1 == args.size()) {
        return BadArgs{"-o needs a file name"};
      } else {
        options.mode = Mode::kOutput;
        options.out = args[++i];
      }
    } else {
      return BadArgs{"unknown option '" + arg + "'"};
    }
  }
  if (options.mode == Mode::kInPlace && options.book == "-") {
    return BadArgs{"-i needs a book file; standard input cannot be written back"};
  }
  return options;
}

Status WriteAll(int fd, std::span<const char> bytes, std::string_view name) {
  if (const int error_number = WriteFully(fd, bytes); error_number != 0) {
    return Error{kErrFileAccess, "Cannot write " + std::string(name) + ": " + Reason(error_number)};
  }
  return {};
}

// Writes one line to `fd`; there is nowhere left to report a failure.
void Say(int fd, std::string line) {
  line.push_back('\n');
  [[maybe_unused]] Status ignored = WriteAll(fd, line, "standard error");
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
          return Error{kErrFileAccess, "an unpaired surrogate cannot be written as UTF-8"};
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
  return Error{kErrFileAccess, "Cannot read \"" + name + "\": invalid UTF-8 at byte " +
                                   std::to_string(offset) + " (line " + std::to_string(line) + ")"};
}

Result<std::u16string> ReadUtf8(int fd, const std::string& name) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return ReadError(name, errno);
  if (S_ISDIR(st.st_mode)) return ReadError(name, EISDIR);
  std::u16string text;
  // UTF-8 never has fewer bytes than UTF-16 has units; one unit more lets the decoder work in
  // place.
  if (S_ISREG(st.st_mode)) text.reserve(static_cast<size_t>(st.st_size) + 1);
  Utf8Decoder decoder(text);
  std::string buffer(kReadChunk, '\0');
  for (;;) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ReadError(name, errno);
    if (got == 0) break;
    if (!decoder.Decode({buffer.data(), static_cast<size_t>(got)})) {
      return InvalidUtf8(name, decoder.error_offset(), text);
    }
  }
  if (!decoder.Finish()) return InvalidUtf8(name, decoder.error_offset(), text);
  return text;
}

// The text to recompute: a book as it lies in its file, or UTF-8 turned into UTF-16.
struct Input {
  std::optional<BookView> book;
  std::u16string decoded;

  std::u16string_view text() const { return book ? book->text() : decoded; }
};

Result<Input> ReadInput(const Options& options, int in_fd) {
  const bool from_stdin = options.book == "-";
  const std::string name = from_stdin ? std::string(kStdinName) : options.book;
  Input input;
  if (options.encoding == Encoding::kUtf16) {
    Result<BookView> book = from_stdin ? BookView::FromFd(in_fd, name) : BookView::Open(name);
    if (!book) return book.error();
    input.book.emplace(std::move(book).value());
    return input;
  }
  int fd = in_fd;
  if (!from_stdin && (fd = open(name.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    return ReadError(name, errno);
  }
  Result<std::u16string> decoded = ReadUtf8(fd, name);
  if (!from_stdin) close(fd);
  if (!decoded) return decoded.error();
  input.decoded = std::move(decoded).value();
  return input;
}

std::string Diagnostic(const Options& options, const Rejection& rejection) {
  const std::string name = options.book == "-" ? std::string(kStdinName) : options.book;
  std::string message = rejection.message.english;
  if (!rejection.message.chinese.empty()) message += " " + rejection.message.chinese;
  return name + ":" + std::to_string(rejection.line_index + 1) + ": error: " + message;
}

// Writes the new text to standard output or, atomically, to a file.
Status Deliver(const Options& options, const CalcStreams& streams, std::u16string_view text,
               const Edits& edits) {
  if (options.mode == Mode::kPrint || (options.mode == Mode::kOutput && options.out == "-")) {
    Output output(options.encoding, [fd = streams.out](std::span<const char> bytes) {
      return WriteAll(fd, bytes, "standard output");
    });
    return WriteText(output, text, edits);
  }
  Result<AtomicWriter> writer =
      AtomicWriter::Open(options.mode == Mode::kInPlace ? options.book : options.out);
  if (!writer) return writer.error();
  Output output(options.encoding,
                [&writer](std::span<const char> bytes) { return writer.value().Write(bytes); });
  if (Status written = WriteText(output, text, edits); !written) return written;
  const Result<SaveReport> committed = writer.value().Commit();
  if (!committed) return committed.error();
  for (const std::string& warning : committed.value().warnings) {
    Say(streams.err, "tallivan-calc: warning: " + warning);
  }
  return {};
}

int Run(const std::vector<std::string>& args, const CalcStreams& streams,
        std::u16string_view decimal_separator) {
  std::variant<Options, BadArgs> parsed = ParseArgs(args);
  if (const auto* bad = std::get_if<BadArgs>(&parsed)) {
    Say(streams.err, "tallivan-calc: " + bad->reason + " (see --help)");
    return kExitBadUse;
  }
  const Options& options = std::get<Options>(parsed);
  if (options.help || options.version) {
    const std::string text =
        options.help ? std::string(kUsage) : "tallivan-calc " + std::string(kVersion) + "\n";
    return WriteAll(streams.out, text, "standard output").ok() ? kExitOk : kExitBadUse;
  }

  const Result<Input> input = ReadInput(options, streams.in);
  if (!input) {
    Say(streams.err, "tallivan-calc: " + input.error().description);
    return kExitBadUse;
  }
  const std::u16string_view text = input.value().text();
  const std::variant<Edits, Rejection> outcome = RecalculateEdits(text, decimal_separator);
  if (const auto* rejection = std::get_if<Rejection>(&outcome)) {
    Say(streams.err, Diagnostic(options, *rejection));
    return kExitRejected;
  }
  const Edits& edits = std::get<Edits>(outcome);
  if (options.mode == Mode::kCheck) return edits.empty() ? kExitOk : kExitOutOfDate;
  if (options.mode == Mode::kCsv) {
    const std::string name = options.book == "-" ? std::string(kStdinName) : options.book;
    if (Status written = WriteCsv(text, streams.out, name); !written) {
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
  if (Status delivered = Deliver(options, streams, text, edits); !delivered) {
    Say(streams.err, "tallivan-calc: " + delivered.error().description);
    return kExitBadUse;
  }
  return kExitOk;
}

}  // namespace

int RunCalc(const std::vector<std::string>& args, const CalcStreams& streams,
            std::u16string_view decimal_separator) {
  try {
    return Run(args, streams, decimal_separator);
  } catch (const std::bad_alloc&) {
    Say(streams.err, "tallivan-calc: not enough memory");
    return kExitBadUse;
  }
}

std::u16string LocaleDecimalSeparator() {
  const char* current = std::setlocale(LC_NUMERIC, nullptr);
  const std::string previous = current != nullptr ? current : "C";
  std::u16string separator;
  if (std::setlocale(LC_NUMERIC, "") != nullptr) {
    const char* point = std::localeconv()->decimal_point;
    Utf8Decoder decoder(separator);
    if (point == nullptr || !decoder.Decode(point) || !decoder.Finish()) separator.clear();
  }
  std::setlocale(LC_NUMERIC, previous.c_str());
  return separator.empty() ? u"." : separator;
}

std::string_view CalcUsage() { return kUsage; }

}  // namespace tallivan
