#include "cli/cli.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QString>
#include <QTemporaryDir>
#include <cstdlib>

#include "cli/csv.h"
#include "ledger/ledger.h"
#include "runtime/version.h"
#include "test_files.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

auto Utf8(const std::u16string& text) { return QString::fromStdU16String(text).toStdString(); }

// Every name in `folder` with what it holds.
std::vector<std::string> Snapshot(const fs::path& folder) {
  std::vector<std::string> items = Entries(folder);
  for (std::string& item : items) item += ": " + ReadBytes(folder / item);
  return items;
}

const std::u16string kStale = u"coffee [2 3.5]\r\n  # old [9]\r\n账本 😀 [-3] // note [5]\r\n#\r\n";
const std::u16string kFresh =
    u"coffee [2 3.5]\r\n#  (7.00) ,  7.00\r\n账本 😀 [-3] // note [5]\r\n#  (-3.00) ,  4.00\r\n";
const std::string kStaleCsv =
    "1,entry,7.0000,,,\"coffee [2 3.5]\"\r\n2,subtotal,,7.0000,7.0000,\"  # old [9]\"\r\n"
    "3,entry,-3.0000,,,\"账本 😀 [-3] // note [5]\"\r\n4,subtotal,,-3.0000,4.0000,\"#\"\r\n"
    "5,other,,,,\"\"\r\n";
const std::string kInvalid = " error: Something invalid in the Bracket. 括号中有内容不可识别。\n";

// A run of tallivan-calc among sample files, and what must come of it.
struct Call {
  std::vector<std::string> args;
  std::string input;  // standard input
  int code;
  std::string out;            // what `file` holds afterwards, or standard output
  std::string err;            // standard error; for bad use (2), the reason in its one line
  std::string file = "";      // no other file changes, and then nothing goes to standard output
  std::string numeric = "C";  // LC_NUMERIC
};

TEST(CalcTest, GivesTheExitStatusOutputAndFilesOfEachRun) {
  // Long lines of surrogate pairs, so that output is cut into pieces inside them.
  const std::u16string large =
      Repeat(u"账本 [1 0.25] // " + Repeat(u"😀", 40'000) + u"\r\n# stale\r\n", 40);
  const std::u16string large_fresh = std::get<std::u16string>(Recalculate(large));
  std::string large_csv(kCsvHeader);
  for (int i = 1; i <= 40; ++i) {
    std::string total = std::to_string(i / 4) + "." + std::to_string(10000 + i % 4 * 2500);
    large_csv += std::to_string(2 * i - 1) + ",entry,0.2500,,,\"账本 [1 0.25] // " +
                 Utf8(Repeat(u"😀", 40'000)) + "\"\r\n" + std::to_string(2 * i) +
                 ",subtotal,,0.2500," + total.erase(total.find('.') + 1, 1) + ",\"# stale\"\r\n";
  }
  large_csv += "81,other,,,,\"\"\r\n";
  const std::string book = Le(kStale), text = Utf8(kStale), separated = "[1.5]\r\n#  (1";
  const Call calls[] = {
      {{"book"}, "", 0, Le(kFresh), ""},
      {{"-", "-o", "-"}, book, 0, Le(kFresh), ""},
      {{"--utf8", "book.txt"}, "", 0, Utf8(kFresh), ""},
      {{"--utf8"}, text, 0, Utf8(kFresh), ""},
      {{"-o", "odd", "book"}, "", 0, Le(kFresh), "", "odd"},
      {{"-i", "book"}, "", 0, Le(kFresh), "", "book"},
      {{"--utf8", "-i", "book.txt"}, "", 0, Utf8(kFresh), "", "book.txt"},
      {{"-o", "odd", "-"}, Le(large), 0, Le(large_fresh), "", "odd"},
      {{"--utf8"}, Utf8(large), 0, Utf8(large_fresh), ""},
      {{"-h", "--bogus"}, "", 0, std::string(CalcUsage()), ""},
      {{"--utf8"}, "[1.5]\r\n#", 0, separated + ",50) ,  1,50", "", "", "de_DE.UTF-8"},
      {{"--utf8"}, "[1.5]\r\n#", 0, separated + "٫50) ,  1٫50", "", "", "ps_AF.UTF-8"},
      {{"--check", "book"}, "", 3, "", ""},
      {{"--version", "--bogus"}, "", 0, std::string("tallivan-calc ") + kVersion + "\n", ""},
      {{"--csv", "book"}, "", 0, std::string(kCsvHeader) + kStaleCsv, ""},
      {{"--utf8", "--csv"},
       "[1.5] \"a,b\"\nc\r\n#",
       0,
       std::string(kCsvHeader) +
           "1,entry,1.5000,,,\"[1.5] \"\"a,b\"\"\nc\"\r\n2,subtotal,,1.5000,1.5000,\"#\"\r\n",
       "",
       "",
       "de_DE.UTF-8"},
      {{"--csv"}, "", 0, std::string(kCsvHeader), ""},
      {{"--csv", "-"}, Le(large), 0, large_csv, ""},
      {{"--csv", "rejected"}, "", 1, "", "rejected:3:" + kInvalid},
      {{"--csv"}, Le(u"a\r\n\xD800 [1]\r\n#"), 2, "", "<stdin>:2: an unpaired surrogate"},
      {{"--check"}, Le(kFresh), 0, "", ""},
      {{"--check"}, Le(kFresh + u"#"), 3, "", ""},
      {{"rejected"}, "", 1, "", "rejected:3:" + kInvalid},
      {{"-i", "rejected"}, "", 1, "", "rejected:3:" + kInvalid},
      {{"-o", "out", "rejected"}, "", 1, "", "rejected:3:" + kInvalid},
      {{"--check", "rejected"}, "", 1, "", "rejected:3:" + kInvalid},
      {{}, Le(u"a ] [2]"), 1, "", "<stdin>:1: error: Unmatched bracket. 括号不配对。\n"},
      {{"--bogus", "book"}, "", 2, "", "unknown option '--bogus' (see --help)"},
      {{"book", "-o"}, "", 2, "", "-o needs a file name"},
      {{"--check", "-i", "book"}, "", 2, "", "give only one of --check, --csv, -i and -o"},
      {{"--csv", "-o", "-", "book"}, "", 2, "", "give only one of --check, --csv, -i and -o"},
      {{"book", "odd"}, "", 2, "", "more than one book: 'book' and 'odd'"},
      {{"-i"}, book, 2, "", "-i needs a book file; standard input cannot be written back"},
      {{"--", "-h"}, "", 2, "", "Cannot read \"-h\": No such file or directory"},
      {{".."}, "", 2, "", "Cannot read \"..\": Is a directory"},
      {{}, "odd", 2, "", "\"<stdin>\": its length (3 bytes) is odd, so it is not UTF-16"},
      {{"--utf8", "bad.txt"}, "", 2, "", "\"bad.txt\": invalid UTF-8 at byte 9 (line 2)"},
      {{"--utf8"}, "cut \xE8\xB4", 2, "", "\"<stdin>\": invalid UTF-8 at byte 4 (line 1)"},
      {{"-o", "../work", "book"}, "", 2, "", "Cannot save \"../work\": Is a directory"},
  };
  QTemporaryDir dir;
  const fs::path work = dir.path().toStdString() + "/work";
  fs::create_directory(work);
  const std::string cd = "cd '" + work.string() + "' && unset LC_ALL && ";
  for (const Call& c : calls) {
    // A path, not a bare name: a bare name would install the locale for the whole system.
    const std::string make_locale = cd + "localedef -i " + c.numeric.substr(0, 5) +
                                    " -f UTF-8 ../" + c.numeric + " >/dev/null 2>&1";
    if (c.numeric != "C" && std::system(make_locale.c_str()) != 0) continue;  // no sources here
    SCOPED_TRACE(::testing::PrintToString(c.args));
    WriteBytes(work / "book", book);
    WriteBytes(work / "book.txt", text);
    WriteBytes(work / "odd", "odd");
    WriteBytes(work / "bad.txt", "ok\r\nthen \xC0\xAF");
    WriteBytes(work / "rejected", Le(u"a [1]\r\n#\r\ntea [2 x]\r\n#"));
    std::vector<std::string> expected = Snapshot(work);
    for (std::string& item : expected) {
      if (item.starts_with(c.file + ": ")) item = c.file + ": " + c.out;
    }
    WriteBytes(work / "../in", c.input);
    std::string command = cd + "LOCPATH=.. LC_NUMERIC=" + c.numeric + " '" TALLIVAN_CALC_PATH "'";
    for (const std::string& arg : c.args) command += " '" + arg + "'";
    EXPECT_EQ(WEXITSTATUS(std::system((command + " <../in >../out 2>../err").c_str())), c.code);
    const std::string output = ReadBytes(work / "../out"), error = ReadBytes(work / "../err");
    EXPECT_TRUE(output == (c.file.empty() ? c.out : "")) << output.substr(0, 200);
    EXPECT_TRUE(c.code == kExitBadUse ? error.starts_with("tallivan-calc: ") &&
                                            error.find(c.err) < error.find('\n') &&
                                            error.find('\n') + 1 == error.size()
                                      : error == c.err)
        << error;
    EXPECT_TRUE(Snapshot(work) == expected) << "files changed";
  }
}

}  // namespace
}  // namespace tallivan
