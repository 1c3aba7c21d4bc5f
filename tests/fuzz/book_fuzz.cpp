// Arbitrary bytes as a book file: loading gives exactly their code units, or, for an odd length,
// a refusal with a description; saving what was loaded writes the same bytes back. The file
// is never changed by a load, and a save leaves nothing beside the book.

#include <stdlib.h>

#include <QString>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "fuzz_check.h"
#include "storage/book.h"

namespace tallivan::fuzz {
namespace {

namespace fs = std::filesystem;

// A fresh folder for this process, removed at exit.
const fs::path& Folder() {
  static const fs::path folder = [] {
    std::string pattern = (fs::temp_directory_path() / "tallivan-book-fuzz-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "a scratch folder can be made");
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(Folder(), ignored);
    });
    return fs::path(pattern);
  }();
  return folder;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  FUZZ_CHECK(out.good(), "the input can be written to a file");
}

size_t EntryCount(const fs::path& folder) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
  return count;
}

}  // namespace
}  // namespace tallivan::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallivan;
  using namespace tallivan::fuzz;
  const fs::path book = Folder() / "book";
  const fs::path copy = Folder() / "copy";
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  WriteBytes(book, bytes);
  const QString book_path = QString::fromStdString(book.string());

  const Result<std::u16string> loaded = LoadBook(book_path);
  FUZZ_CHECK(ReadBytes(book) == bytes, "a load never changes the book");
  if (size % 2 != 0) {
    FUZZ_CHECK(!loaded.ok(), "a book of odd length is refused");
    FUZZ_CHECK(loaded.error().number == kErrBadFileLength, "an odd length has its own error");
    FUZZ_CHECK(loaded.error().description.find(book.string()) != std::string::npos,
               "the refusal names the book");
    return 0;
  }
  FUZZ_CHECK(loaded.ok(), "a book of even length loads");
  FUZZ_CHECK(loaded.value() == FromUtf16Le(data, size), "the book loads as its raw code units");

  // Over itself, and over another book of a different length.
  WriteBytes(copy, bytes + "xyz");
  for (const fs::path& target : {book, copy}) {
    const Status saved = SaveBook(QString::fromStdString(target.string()), loaded.value());
    FUZZ_CHECK(saved.ok(), "a loaded text saves");
    FUZZ_CHECK(ReadBytes(target) == bytes, "a loaded text saves as the bytes it came from");
  }
  FUZZ_CHECK(EntryCount(Folder()) == 2, "a save leaves no temporary file");
  const Result<std::u16string> reloaded = LoadBook(QString::fromStdString(copy.string()));
  FUZZ_CHECK(reloaded.ok() && reloaded.value() == loaded.value(), "a saved text loads again");
  return 0;
}
