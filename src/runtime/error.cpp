#include "runtime/error.h"

namespace tallivan {

Error OverflowError() { return Error{ErrorNumber::kOverflow, "Overflow"}; }

}  // namespace tallivan
