#ifndef TALLIVAN_TESTS_FUZZ_FUZZ_CHECK_H_
#define TALLIVAN_TESTS_FUZZ_FUZZ_CHECK_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tallivan::fuzz {

// The bytes as UTF-16LE code units; an odd last byte is dropped.
inline std::u16string FromUtf16Le(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = data[2 * i] | (data[2 * i + 1] << 8);
  return text;
}

}  // namespace tallivan::fuzz

// Stops the run with `what` when an invariant does not hold; libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition, what)                                                                \
  ((condition) ? void()                                                                            \
               : (std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, what), \
                  std::abort()))

#endif  // TALLIVAN_TESTS_FUZZ_FUZZ_CHECK_H_
