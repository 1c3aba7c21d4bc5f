// Feeds every file of the folders given to a fuzz target without libFuzzer, so that the corpus and
// every crash kept in it run as ordinary tests.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) files.push_back(entry);
  }
  for (const std::filesystem::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    // Exactly the input's size, so that a read past its end is caught by a sanitizer.
    const std::vector<uint8_t> data(std::istreambuf_iterator<char>(in), {});
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.string().c_str(), data.size());
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  return files.empty() ? 1 : 0;  // an empty corpus would pass without testing anything
}
