// Arbitrary bytes as a book file, loaded and saved back.

#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "storage/book_file.h"
#include "tests/storage/test_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallivan;
  static const TempDir folder;  // removed at exit
  const std::filesystem::path book = folder.path() / "book", other = folder.path() / "other";
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  WriteBytes(book, bytes);
  const Result<std::u16string> loaded = LoadBookFile(book);
  FUZZ_CHECK(ReadBytes(book) == bytes, "a load never changes the book");
  if (size % 2 != 0) {
    FUZZ_CHECK(!loaded.ok() && loaded.error().number == ErrorNumber::kBadFileLength &&
                   loaded.error().description.find(book.string()) != std::string::npos,
               "a book of odd length is refused with its own error, naming the book");
    return 0;
  }
  FUZZ_CHECK(loaded.ok() && loaded.value() == fuzz::FromUtf16Le(data, size),
             "a book of even length loads as its raw code units");
  WriteBytes(other, bytes + "xyz");
  for (const std::filesystem::path& target : {book, other}) {  // over itself and a longer book
    FUZZ_CHECK(SaveBookFile(target, loaded.value()).ok() && ReadBytes(target) == bytes,
               "a loaded text saves as the bytes it came from");
  }
  FUZZ_CHECK(Entries(folder.path()).size() == 2, "a save leaves no temporary file");
  return 0;
}
