// How large a book may be.
#ifndef TALLIVAN_RUNTIME_LARGEST_BOOK_H_
#define TALLIVAN_RUNTIME_LARGEST_BOOK_H_

#include <cstdint>

namespace tallivan {

// The largest book, in bytes, that is read into memory: 1 GiB, 512 Mi code units, five times the
// largest book the tests compute. A file beyond it is not read (tallivan-calc --history lists
// such a version with its size alone).
inline constexpr uint64_t kLargestBookBytes = uint64_t{1} << 30;

}  // namespace tallivan

#endif  // TALLIVAN_RUNTIME_LARGEST_BOOK_H_
