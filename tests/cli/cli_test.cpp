// Runs of the tallivan-calc executable, the same on every system.
#include "cli/cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "cli/csv.h"
#include "cli_test_support.h"
#include "ledger/ledger.h"
#include "runtime/version.h"
#include "storage/book_location.h"
#include "test_files.h"
#include "test_platform.h"

namespace tallivan {

std::filesystem::path CalcPath() {
  return RunningExecutable().parent_path() / TALLIVAN_CALC_FROM_TESTS;
}

namespace {

namespace fs = std::filesystem;

const std::u16string kFresh =
    u"coffee [2 3.5]\r\n#  (7.00) ,  7.00\r\n账本 😀 [-3] // note [5]\r\n#  (-3.00) ,  4.00\r\n";
// Code units that a program reading text would be tempted to change, in a book that is up to date.
const std::u16string kAwkward =
    u"a\rb\nc\u2028 [1]\r\n#  (1.00) ,  1.00\r\n\xD800 x \xDC00\r\n\r\n\n\r";
const std::string kStaleCsv =
    "1,entry,7.0000,,,\"coffee [2 3.5]\"\r\n2,subtotal,,7.0000,7.0000,\"  # old [9]\"\r\n"
    "3,entry,-3.0000,,,\"账本 😀 [-3] // note [5]\"\r\n4,subtotal,,-3.0000,4.0000,\"#\"\r\n"
    "5,other,,,,\"\"\r\n";
const std::string kInvalid = " error: Something invalid in the Bracket. 括号中有内容不可识别。\n";
const std::string kVersions[] = {"2024-02-29_235959.book", "2024-03-02_020000.book"};
// Its subtotal line ends in blanks, which the history's total column leaves out.
const std::string kFirstVersion = Le(u"a [1]\r\n#  (1.00) ,  1.00  ");
const std::string kNobodyRuns = "setpriv --reuid=65534 --regid=65534 --clear-groups -- ";
// The book's history becomes another user's, which nobody else trusts (as root, like kNobodyRuns).
const std::string kForeignHistory = "setpriv --reuid=0 -- chown 65534 book.history && ";

// Shell commands that run `make`, which makes the file `path`, and remove that file again once
// the run is over, before the folder is compared.
std::string Briefly(const std::string& make, const std::string& path) {
  return make + " && trap \"rm -f '" + path + "'\" EXIT && ";
}

// Which file each regular file under `folder` is and when it was last written, by path.
std::map<std::string, std::pair<uint64_t, fs::file_time_type>> Stamps(const fs::path& folder) {
  std::map<std::string, std::pair<uint64_t, fs::file_time_type>> stamps;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_symlink() && entry.is_regular_file()) {
      stamps[PathUtf8(entry.path().lexically_relative(folder))] = {FileId(entry.path()),
                                                                   entry.last_write_time()};
    }
  }
  return stamps;
}

TEST(CalcTest, GivesTheExitStatusOutputAndFilesOfEachRun) {
  // Long lines of surrogate pairs, so that output is cut into pieces inside them.
  const std::u16string large =
      Repeat(u"账本 [1 0.25] // " + Repeat(u"😀", 40'000) + u"\r\n# stale\r\n", 40);
  const std::u16string large_fresh = std::get<std::u16string>(Recalculate(large));
  std::string large_csv(kCsvHeader);
  for (int i = 1; i <= 40; ++i) {
    std::string total = std::to_string(i / 4) + "." + std::to_string(10000 + i % 4 * 2500);
    large_csv += std::to_string(2 * i - 1) + ",entry,0.2500,,,\"账本 [1 0.25] // " +
                 ToUtf8(Repeat(u"😀", 40'000)) + "\"\r\n" + std::to_string(2 * i) +
                 ",subtotal,,0.2500," + total.erase(total.find('.') + 1, 1) + ",\"# stale\"\r\n";
  }
  large_csv += "81,other,,,,\"\"\r\n";
  const std::string book = Le(kStale), text = ToUtf8(kStale), separated = "[1.5]\r\n#  (1";
  // Standard input that stands after the first line, or beyond the first page of memory.
  const std::u16string rest = std::get<std::u16string>(Recalculate(kStale.substr(16)));
  const std::u16string large_rest = std::get<std::u16string>(Recalculate(large.substr(4097)));
  const std::string skip_line = "head -c 32 >/dev/null; ", skip_utf8 = "head -c 16 >/dev/null; ";
  const std::string restored = "Restored \"book\" from \"" +
                               PathUtf8(fs::path("book.history") / kVersions[0]) +
                               "\"; the text it replaced is kept in \"book.history\".\n";
  const std::string not_found = SystemText(kNotFoundCode);
  const std::string foreign =
      "Cannot read the history of \"book\" in \"book.history\": "
      "it belongs to another user, so it is not used";
  const std::string invalid = "rejected:3:" + kInvalid;
  const std::string de = "de_DE.UTF-8", ps = "ps_AF.UTF-8", odd_stdin = "\"<stdin>\": its length (";
  // A link to a FIFO on POSIX systems, a device on Windows; neither is a book.
  const std::string other = kPosix ? "fifo" : "NUL";
  const std::string not_a_file = "Cannot read \"" + other + "\": not a regular file";
  const std::string quoted_csv =
      std::string(kCsvHeader) +
      "1,entry,1.5000,,,\"[1.5] \"\"a,b\"\"\nc\"\r\n2,subtotal,,1.5000,1.5000,\"#\"\r\n";
  const std::string history =
      "replaced             bytes  lines  total  version\n"
      "2024-02-29 23:59:59     52      2  1.00   2024-02-29_235959.book\n"
      "2024-03-02 02:00:00     16      2  -      2024-03-02_020000.book\n"
      "(current)              112      5  -      book\n";
  const std::string empty_history =
      "replaced             bytes  lines  total  version\n"
      "2024-01-01 00:00:00      0      0  -      2024-01-01_000000.book\n"
      "(current)                0      0  -      empty\n";
  const std::string escape_history =
      "replaced             bytes  lines  total              version\n"
      "2024-02-29 23:59:59     52      2  1.00               2024-02-29_235959.book\n"
      "2024-03-02 02:00:00     16      2  -                  2024-03-02_020000.book\n"
      "2024-03-03 00:00:00     52      2  <U+202E>␛[2J␇1.00  2024-03-03_000000.book\n"
      "(current)              112      5  -                  book\n";
  const std::string huge_history =
      "replaced                  bytes  lines  total  version\n"
      "2024-02-29 23:59:59          52      2  1.00   2024-02-29_235959.book\n"
      "2024-03-02 02:00:00          16      2  -      2024-03-02_020000.book\n"
      "2099-01-01 00:00:00  8589934592      -  -      2099-01-01_000000.book (too large)\n"
      "(current)                   112      5  -      book\n";
  const std::string signed_csv =
      std::string(kCsvHeader) +
      "1,entry,-0.5000,,,\"[-0.5]\"\r\n2,subtotal,,-0.5000,-0.5000,\"#\"\r\n"
      "3,entry,0.2500,,,\"[0.25]\"\r\n4,subtotal,,0.2500,-0.2500,\"#\"\r\n";
  // Texts a spreadsheet would take for formulas, and the groups their lines belong to.
  const std::u16string formulas =
      u"=1+2 [1]\r\n+cmd [2]\r\n-x [3]\r\n@SUM(A1)\r\n# g1\r\n\t[1]\r\n\rcr\r\nplain -x\r\n#\r\n "
      u"after";
  const std::string formula_rows[][2] = {{"1,entry,1.0000,,,", "5,\"'=1+2 [1]\""},
                                         {"2,entry,2.0000,,,", "5,\"'+cmd [2]\""},
                                         {"3,entry,3.0000,,,", "5,\"'-x [3]\""},
                                         {"4,other,,,,", "5,\"'@SUM(A1)\""},
                                         {"5,subtotal,,6.0000,6.0000,", "5,\"# g1\""},
                                         {"6,entry,1.0000,,,", "9,\"'\t[1]\""},
                                         {"7,other,,,,", "9,\"'\rcr\""},
                                         {"8,other,,,,", "9,\"plain -x\""},
                                         {"9,subtotal,,1.0000,7.0000,", "9,\"#\""},
                                         {"10,other,,,,", ",\" after\""}};
  std::string spreadsheet = "\xEF\xBB\xBF" + std::string(kSpreadsheetHeader);
  std::string verbatim_csv(kCsvHeader);
  for (const auto& [figures, rest] : formula_rows) {
    spreadsheet += figures + rest + "\r\n";
    std::string text = rest.substr(rest.find('"'));
    if (text[1] == '\'') text.erase(1, 1);
    verbatim_csv += figures + text + "\r\n";
  }
  const std::string no_versions = "No versions of \"odd<U+202E>\" have been kept yet.\n";
  const std::string coffee = "1\t7.00\tcoffee [2 3.5]\n";
  const std::string only_one = "give only one of --check, --csv, --spreadsheet, -i, -o, --find";
  // The files and commands of single rows: an up-to-date book, a history that cannot be read, a
  // version whose subtotal line would clear the screen and ring, one of 8 GB (sparse), a book named
  // with a control sequence.
  const RunSetup fresh{.files = {{"fresh", Le(kFresh)}}};
  const RunSetup read_only_fresh{.before = "chmod a-w fresh && ", .files = fresh.files};
  const RunSetup empty{.files = {{"empty", ""}, {"empty.history/2024-01-01_000000.book", ""}}};
  const RunSetup locked{.before = "chmod 000 book.history && " + kNobodyRuns};
  const RunSetup not_a_folder{.files = {{"odd.history", "not a folder"}}};
  const RunSetup escape{.files = {{"book.history/2024-03-03_000000.book",
                                   Le(u"#  (1.00) ,  \u202E\x1B[2J\a1.00\r\nx")}}};
  const std::string huge_name = "book.history/2099-01-01_000000.book", named = "r\x1B[2J\a";
  const RunSetup huge{.before = Briefly("truncate -s 8G " + huge_name, huge_name),
                      .peak_kib = 64 << 10};
  const RunSetup control_name{.before = Briefly("cp rejected '" + named + "'", named)};
  const Call calls[] = {
      {{"book"}, "", 0, Le(kFresh), ""},
      {{"-i", "book"}, "", 0, Le(kFresh), "", {"book"}},
      // A book already up to date is not written, nor kept in its history.
      {{"-i", "fresh"}, "", 0, "", "", fresh},
      {{"-i", "fresh"}, "", 0, "", "", read_only_fresh},
      {{"--utf8", "-i", "book.txt"}, "", 0, ToUtf8(kFresh), "", {"book.txt"}},
      {{"-o", "odd", "-"}, Le(large), 0, Le(large_fresh), "", {"odd"}},
      {{"--utf8"}, ToUtf8(large), 0, ToUtf8(large_fresh), ""},
      // Through pipes, a book comes back byte for byte.
      {{}, Le(kAwkward), 0, Le(kAwkward), "", {.piped = true}},
      {{"-", "-o", "-"}, Le(large_fresh), 0, Le(large_fresh), "", {.piped = true}},
      {{}, book, 0, Le(kFresh), "", {.piped = true}},
      {{"--utf8"}, text, 0, ToUtf8(kFresh), "", {.piped = true}},
      {{}, book, 0, Le(rest), "", {.before = skip_line}},
      {{"-o", "odd"}, book, 0, Le(rest), "", {.file = "odd", .before = skip_line}},
      {{}, Le(large), 0, Le(large_rest), "", {.before = "head -c 8194 >/dev/null; "}},
      {{"--utf8"}, text, 0, ToUtf8(rest), "", {.before = skip_utf8}},
      {{"-h", "--bogus"}, "", 0, std::string(CalcUsage()), ""},
      {{"--utf8"}, "[1.5]\r\n#", 0, separated + ",50) ,  1,50", "", {.numeric = de}},
      {{"--utf8"}, "[1.5]\r\n#", 0, separated + "٫50) ,  1٫50", "", {.numeric = ps}},
      {{"--version", "--bogus"}, "", 0, std::string("tallivan-calc ") + kVersion + "\n", ""},
      {{"--csv", "book"}, "", 0, std::string(kCsvHeader) + kStaleCsv, ""},
      {{"--utf8", "--csv"}, "[1.5] \"a,b\"\nc\r\n#", 0, quoted_csv, "", {.numeric = de}},
      {{"--csv"}, "", 0, std::string(kCsvHeader), ""},
      // Figures between -1 and 0 keep their sign.
      {{"--csv"}, Le(u"[-0.5]\r\n#\r\n[0.25]\r\n#"), 0, signed_csv, ""},
      {{"--csv", "-"}, Le(large), 0, large_csv, ""},
      {{"--csv", "rejected"}, "", 1, "", invalid},
      {{"--csv"}, Le(formulas), 0, verbatim_csv, ""},
      {{"--spreadsheet", "-"}, Le(formulas), 0, spreadsheet, ""},
      {{"--csv"}, Le(u"a\r\n\xD800 [1]\r\n#"), 2, "", "<stdin>:2: an unpaired surrogate"},
      // --find lists the entries holding the text, A to Z in either case, shown visibly.
      {{"--find", "COFFEE", "book"}, "", 0, coffee + "1 entry, 7.00\n", ""},
      {{"--find", "["},
       Le(kStale),
       0,
       coffee + "3\t-3.00\t账本 😀 [-3] // note [5]\n2 entries, 4.00\n",
       ""},
      {{"--find", "x"},
       Le(u"x [1] \x1B\u202E\xD800\r\nx [2\r\nx [922337203685477]\r\nX [922337203685477]"),
       0,
       "1\t1.00\tx [1] ␛<U+202E>\uFFFD\n3\t922337203685477.00\tx [922337203685477]\n"
       "4\t922337203685477.00\tX [922337203685477]\n3 entries, too big\n",
       ""},
      {{"--utf8", "--find", "é"},
       "é [1.5]\r\ne\r\n",
       0,
       "1\t1,50\té [1.5]\n1 entry, 1,50\n",
       "",
       {.numeric = de}},
      {{"--find", "tea", "book"}, "", 0, "0 entries, 0.00\n", ""},
      // With --csv or --spreadsheet (either side of it), the entries found as CSV records.
      {{"--find", "A", "--csv"},
       Le(u"a \"b\" [1.5]\r\n=a [2]\r\nb [3]"),
       0,
       "line,amount,text\r\n1,1.5000,\"a \"\"b\"\" [1.5]\"\r\n2,2.0000,\"=a [2]\"\r\n",
       ""},
      {{"--spreadsheet", "--find", "a"},
       Le(u"=a [2]\r\nb [3]"),
       0,
       "\xEF\xBB\xBFline,amount,text\r\n1,2.0000,\"'=a [2]\"\r\n",
       ""},
      {{"--find", "a", "--csv"},
       Le(u"a\r\na \xD800 [1]"),
       2,
       "",
       "<stdin>:2: an unpaired surrogate"},
      {{"--find", "a", "--csv", "--spreadsheet"}, "", 2, "", "give only one of --check, --csv"},
      {{"book", "--find"}, "", 2, "", "--find needs a text"},
      {{"--check"}, Le(kFresh), 0, "", ""},
      {{"--check"}, Le(kFresh + u"#"), 3, "", ""},
      {{"--history", "book"}, "", 0, history, ""},
      {{"--history", "odd\u202E"}, "", 0, no_versions, ""},
      {{"--history", "empty"}, "", 0, empty_history, "", empty},
      {{"--history", "book"}, "", 0, escape_history, "", escape},
      {{"--history", "book"}, "", 0, huge_history, "", huge},
      {{"--history", "book"}, "", 2, "", "\"book.history\": Permission denied", locked},
      {{"--history", "odd"}, "", 2, "", "Cannot read the history of \"odd\"", not_a_folder},
      {{"--restore", kVersions[0], "book"}, "", 0, kFirstVersion, restored, {"book"}},
      {{"--history", "book"}, "", 2, "", foreign, {.before = kForeignHistory}},
      {{"--restore", kVersions[0], "book"}, "", 2, "", foreign, {.before = kForeignHistory}},
      {{"rejected"}, "", 1, "", invalid},
      {{named}, "", 1, "", "r␛[2J␇:3:" + kInvalid, control_name},
      {{}, Le(u"a ] [2]"), 1, "", "<stdin>:1: error: Unmatched bracket. 括号不配对。\n"},
      {{"--bogus", "book"}, "", 2, "", "unknown option '--bogus' (see --help)"},
      {{"book", "-o"}, "", 2, "", "-o needs a file name"},
      {{"book", "-o", ""}, "", 2, "", "-o needs a file name"},
      {{"--check", "-i", "book"}, "", 2, "", only_one + ", --history"},
      {{"book", "odd"}, "", 2, "", "more than one book: 'book' and 'odd'"},
      {{"-i"}, book, 2, "", "-i needs a book file; standard input cannot be written back"},
      {{"--restore", "x"}, book, 2, "", "--restore needs a book file"},
      {{"--utf8", "--history", "book"}, "", 2, "", "work on book files, not on --utf8 text"},
      {{"book", "--restore"}, "", 2, "", "--restore needs a version"},
      {{"--restore", "x\u202E\u0085", "book"}, "", 2, "", "\"x<U+202E><U+0085>\": " + not_found},
      {{"--", "-h"}, "", 2, "", "Cannot read \"-h\": " + not_found},
      {{"账本"}, "", 2, "", "Cannot read \"账本\": " + not_found},
      {{}, "odd", 2, "", odd_stdin + "3 bytes) is odd, so it is not UTF-16"},
      {{}, "x", 2, "", odd_stdin + "1 byte) is odd, so it is not UTF-16", {.piped = true}},
      {{}, book, 2, "", odd_stdin + "109 bytes) is odd", {.before = "head -c 3 >/dev/null; "}},
      {{"--utf8", "bad.txt"}, "", 2, "", "\"bad.txt\": invalid UTF-8 at byte 9 (line 2)"},
      {{"--utf8"}, "cut \xE8\xB4", 2, "", "\"<stdin>\": invalid UTF-8 at byte 4 (line 1)"},
      {{"-o", "new/", "book"}, "", 2, "", "\"new/\": a name ending in \"/\" names a folder, not"},
      {{"-i", "read-only"}, "", 2, "", "Cannot save \"read-only\": it is read-only"},
      {{"-i", "book"}, "", 2, "", "Cannot save \"book\": it is read-only", {.before = kNobodyRuns}},
      {{other}, "", 2, "", not_a_file},
      {{"--utf8", "-i", other}, "", 2, "", not_a_file},
  };
  TempDir dir;
  const fs::path work = dir.path() / "work";
  for (const Call& c : calls) {
    const RunSetup& setup = c.setup;
    // Shell commands and locales are for POSIX systems only.
    if ((!setup.before.empty() || setup.numeric != "C" || setup.peak_kib > 0) && !kPosix) {
      continue;
    }
    SCOPED_TRACE(::testing::PrintToString(c.args) + (setup.piped ? " through pipes" : "") +
                 " after " + setup.before);
    RemoveIfThere(work / "read-only");
    fs::remove_all(work);
    fs::create_directories(work / "book.history");
    WriteBytes(work / "book", book);
    WriteBytes(work / "book.txt", text);
    WriteBytes(work / "odd", "odd");
    WriteBytes(work / "bad.txt", "ok\r\nthen \xC0\xAF");
    WriteBytes(work / "rejected", Le(u"a [1]\r\n#\r\ntea [2 x]\r\n#"));
    WriteBytes(work / "read-only", book);
    fs::permissions(work / "read-only", fs::perms(0444));
    WriteBytes(work / "book.history" / kVersions[0], kFirstVersion);
    WriteBytes(work / "book.history" / kVersions[1], Le(u"a [1]\r\n#"));
    for (const auto& [name, bytes] : setup.files) {
      fs::create_directories((work / Utf8Path(name)).parent_path());
      WriteBytes(work / Utf8Path(name), bytes);
    }
    MakeSystemFiles(work);
    std::vector<std::string> expected = Snapshot(work, {kVersions[0], kVersions[1]});
    // Every file an hour old, so that writing one shows even within the clock's tick.
    for (const auto& [name, stamp] : Stamps(work)) {
      std::error_code read_only;
      fs::last_write_time(work / Utf8Path(name), stamp.second - std::chrono::hours(1), read_only);
    }
    std::map<std::string, std::pair<uint64_t, fs::file_time_type>> untouched = Stamps(work);
    untouched.erase(setup.file);
    for (size_t i = 0, files = expected.size(); i < files; ++i) {
      if (!expected[i].starts_with(setup.file + ": ")) continue;
      // -i and --restore keep what they replace.
      if (c.code == 0 && c.args[0] != "-o") {
        expected.push_back(setup.file +
                           ".history/(new): " + expected[i].substr(setup.file.size() + 2));
      }
      expected[i] = setup.file + ": " + c.out;
    }
    std::sort(expected.begin(), expected.end());
    WriteBytes(dir.path() / "in", c.input);
    const std::optional<int> code =
        RunCalcProgram(c, work, dir.path() / "in", dir.path() / "out", dir.path() / "err");
    if (!code) continue;  // no locale sources here
    EXPECT_EQ(*code, c.code);
    const std::string output = ReadBytes(dir.path() / "out"), error = ReadBytes(dir.path() / "err");
    EXPECT_TRUE(output == (setup.file.empty() ? c.out : "")) << output.substr(0, 200);
    EXPECT_TRUE(c.code == kExitBadUse ? error.starts_with("tallivan-calc: ") &&
                                            error.find(c.err) < error.find('\n') &&
                                            error.find('\n') + 1 == error.size()
                                      : error == c.err)
        << error;
    EXPECT_TRUE(Snapshot(work, {kVersions[0], kVersions[1]}) == expected) << "files changed";
    const std::map<std::string, std::pair<uint64_t, fs::file_time_type>> stamps = Stamps(work);
    for (const auto& [name, stamp] : untouched) {
      EXPECT_TRUE(stamps.contains(name) && stamps.at(name) == stamp) << name << " was written";
    }
    if (setup.peak_kib > 0) {
      // The figure is the last line; a line before it tells of a signal that ended the run.
      const std::string peak = ReadBytes(dir.path() / "peak");
      int64_t kib = -1;
      std::istringstream(peak.substr(peak.find_last_of('\n', peak.size() - 2) + 1)) >> kib;
      EXPECT_TRUE(kib >= 0 && kib < setup.peak_kib) << peak;
    }
  }
  RemoveIfThere(work / "read-only");
}

}  // namespace
}  // namespace tallivan
