// Throughput of the recalculation pass on generated books.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <variant>

#include "bench/book_generator.h"
#include "ledger/ledger.h"

namespace {

const std::u16string& Book(int64_t lines) {
  static std::map<int64_t, std::u16string> books;
  auto it = books.find(lines);
  if (it == books.end()) it = books.emplace(lines, tallivan::bench::GenerateBook(lines)).first;
  return it->second;
}

void BM_Recalculate(benchmark::State& state) {
  const std::u16string& book = Book(state.range(0));
  for (auto _ : state) {
    tallivan::RecalcOutcome outcome = tallivan::Recalculate(book);
    if (!std::holds_alternative<std::u16string>(outcome)) {
      state.SkipWithError("the generated book was rejected");
      break;
    }
    benchmark::DoNotOptimize(outcome);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(book.size() * 2));
}

void BM_RecalculateEdits(benchmark::State& state) {
  const std::u16string& book = Book(state.range(0));
  for (auto _ : state) {
    auto edits = tallivan::RecalculateEdits(book);
    benchmark::DoNotOptimize(edits);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(book.size() * 2));
}

}  // namespace

BENCHMARK(BM_Recalculate)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecalculateEdits)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
