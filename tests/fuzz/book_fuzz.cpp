// Arbitrary bytes as a book file: loading gives exactly their code units, or, for an odd length,
// a refusal that names the book; saving what was loaded writes the same bytes back and leaves
// nothing beside the book. A load never changes the file.

#include <QTemporaryDir>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_check.h"
#include "storage/book.h"

namespace {

// `name` in a fresh folder of this process, removed at exit.
QString PathIn(const char* name) {
  static const QTemporaryDir folder;
  FUZZ_CHECK(folder.isValid(), "a scratch folder can be made");
  return folder.filePath(name);
}

std::string ReadBytes(const QString& path) {
  std::ifstream in(path.toStdString(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallivan;
  const QString book = PathIn("book");
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::ofstream(book.toStdString(), std::ios::binary) << bytes;
  const Result<std::u16string> loaded = LoadBook(book);
  FUZZ_CHECK(ReadBytes(book) == bytes, "a load never changes the book");
  if (size % 2 != 0) {
    FUZZ_CHECK(!loaded.ok() && loaded.error().number == kErrBadFileLength &&
                   loaded.error().description.find(book.toStdString()) != std::string::npos,
               "a book of odd length is refused with its own error, naming the book");
    return 0;
  }
  FUZZ_CHECK(loaded.ok() && loaded.value() == fuzz::FromUtf16Le(data, size),
             "a book of even length loads as its raw code units");
  std::ofstream(PathIn("other").toStdString(), std::ios::binary) << bytes << "xyz";
  for (const QString& target : {book, PathIn("other")}) {  // over itself and over a longer book
    FUZZ_CHECK(SaveBook(target, loaded.value()).ok() && ReadBytes(target) == bytes,
               "a loaded text saves as the bytes it came from");
  }
  FUZZ_CHECK(std::distance(std::filesystem::directory_iterator(PathIn("").toStdString()), {}) == 2,
             "a save leaves no temporary file");
  return 0;
}
