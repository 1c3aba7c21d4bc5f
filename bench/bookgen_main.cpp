// Writes a generated book: tallivan-bookgen LINES OUT
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench/book_generator.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tallivan-bookgen LINES OUT\n");
    return 2;
  }
  char* end = nullptr;
  const long long lines = std::strtoll(argv[1], &end, 10);
  if (*end != '\0' || lines < 0) {
    std::fprintf(stderr, "tallivan-bookgen: bad line count '%s'\n", argv[1]);
    return 2;
  }
  const std::string bytes = tallivan::bench::ToUtf16LeBytes(tallivan::bench::GenerateBook(lines));
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "tallivan-bookgen: cannot write '%s'\n", argv[2]);
    return 1;
  }
  return 0;
}
