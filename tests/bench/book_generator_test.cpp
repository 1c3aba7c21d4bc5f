#include "bench/book_generator.h"

#include <gtest/gtest.h>

#include <variant>

#include "ledger/ledger.h"

namespace tallivan::bench {
namespace {

TEST(BookGeneratorTest, SameSeedGivesSameBook) {
  EXPECT_EQ(GenerateBook(500, 7), GenerateBook(500, 7));
  EXPECT_NE(GenerateBook(500, 7), GenerateBook(500, 8));
}

// The benchmarks time a whole pass, so a generated book must be accepted and every "#" line stale.
TEST(BookGeneratorTest, EngineAcceptsItAndRewritesEveryThirtiethLine) {
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
