#ifndef TALLIVAN_BENCH_BOOK_GENERATOR_H_
#define TALLIVAN_BENCH_BOOK_GENERATOR_H_

#include <cstdint>
#include <string>

namespace tallivan::bench {

// The seed every benchmark uses, so that each run measures the same books.
inline constexpr uint64_t kBookSeed = 20240229;

// A book of `lines` lines, each ended by CR LF, the way a person keeps one for years: entries
// with Chinese and English words and one to three factors per bracket, some comments and blank
// lines, and every 30th line a "#" line whose figures are stale. About 50 bytes a line as
// UTF-16LE. The same seed always gives the same book, and the engine accepts every book.
std::u16string GenerateBook(int64_t lines, uint64_t seed = kBookSeed);

// `text` as raw UTF-16LE bytes, the way a book is stored.
std::string ToUtf16LeBytes(const std::u16string& text);

}  // namespace tallivan::bench

#endif  // TALLIVAN_BENCH_BOOK_GENERATOR_H_
