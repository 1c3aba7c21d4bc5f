#include "bench/book_generator.h"

#include <gtest/gtest.h>

#include <variant>

#include "ledger/ledger.h"

namespace tallivan::bench {
namespace {

// The benchmarks time a whole pass over the same books at every run, so a generated book must
// depend on its seed alone, be accepted and have every "#" line stale.
TEST(BookGeneratorTest, SameSeedGivesSameBookThatIsAcceptedWithEveryThirtiethLineStale) {
  EXPECT_EQ(GenerateBook(500, 7), GenerateBook(500, 7));
  for (const int64_t count : {29, 30, 3000}) {
    const auto outcome = RecalculateEdits(GenerateBook(count));
    ASSERT_TRUE(std::holds_alternative<Edits>(outcome))
        << "rejected at line " << std::get<Rejection>(outcome).line_index;
    const Edits& edits = std::get<Edits>(outcome);
    ASSERT_EQ(edits.size(), static_cast<size_t>(count / 30));
    for (size_t i = 0; i < edits.size(); ++i) {
      EXPECT_EQ(edits[i].line_index, static_cast<int64_t>(i * 30 + 29));
    }
  }
}

}  // namespace
}  // namespace tallivan::bench
