// Writing a file over in place, for saves that cannot replace it; not part of the storage's
// interface.
#ifndef TALLIVAN_STORAGE_IN_PLACE_POSIX_H_
#define TALLIVAN_STORAGE_IN_PLACE_POSIX_H_

#include <cstdint>

namespace tallivan::posix {

// Finds the room for `new_size` bytes in `target`, which holds `old_size`, before a byte of it
// changes: reserved where the file system can, else by writing the part of `staged` beyond
// `old_size` first. 0, or the errno that stopped it with `target` left as it was.
int ReserveRoom(int target, int staged, uint64_t old_size, uint64_t new_size);

// Writes the first `new_size` bytes of `staged` over `target`, cuts it to that length and flushes
// it to disk. 0 or the errno that stopped it, after which `target` may be damaged.
int WriteOver(int target, int staged, uint64_t new_size);

}  // namespace tallivan::posix

#endif  // TALLIVAN_STORAGE_IN_PLACE_POSIX_H_
