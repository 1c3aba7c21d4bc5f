#include "runtime/error.h"

namespace tallivan {

Error OverflowError() { return Error{kErrOverflow, "Overflow"}; }

}  // namespace tallivan
