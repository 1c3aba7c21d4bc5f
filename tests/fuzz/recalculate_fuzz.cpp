// Arbitrary bytes, read as UTF-16LE, as a ledger for the recalculation pass.

#include <algorithm>
#include <cstdint>
#include <string>
#include <variant>

#include "fuzz_check.h"
#include "ledger/ledger.h"
#include "tests/ledger/plain_ledger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallivan;
  const std::u16string text = fuzz::FromUtf16Le(data, size);
  const plain::Outcome expected = plain::Read(text);
  for (const Sharing sharing : {Sharing{}, Sharing{1, 3}}) {
    FUZZ_CHECK(plain::Agrees(text, expected, RecalculateEdits(text, u".", sharing)),
               "the pass gives what the plain reading gives, however the text is shared");
  }
  const RecalcOutcome outcome = Recalculate(text);
  const auto* rewritten = std::get_if<std::u16string>(&outcome);
  FUZZ_CHECK(expected.rejected
                 ? rewritten == nullptr
                 : rewritten && std::ranges::equal(plain::SplitLines(*rewritten), expected.lines),
             "the new text is the lines read plainly, joined by CR LF");
  return 0;
}
