// Throughput of the recalculation pass on generated books of 100,000 and 1,000,000 lines.
//
// Recalculate hands back a whole new text, so each pass writes a buffer as large as the book. How
// much that costs depends on whether its pages are new to the process: the first touch of a page
// traps into the kernel, and on some machines that costs more than the pass itself. Both cases
// are measured: "fresh" maps every large buffer anew, as in the first pass after start-up;
// "reused" keeps freed buffers in the heap, as in later passes. FreshCopy is the floor the first
// case sets: copying the book into new memory, nothing else.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <map>
#include <string>
#include <variant>

#include "bench/book_generator.h"
#include "ledger/ledger.h"

namespace {

enum class Memory { kFresh, kReused };

constexpr int kOneMiB = 1 << 20;
constexpr int kOneGiB = 1 << 30;
constexpr int kDefaultMmapMax = 65536;

void UseMemory(Memory memory) {
  if (memory == Memory::kFresh) {
    mallopt(M_MMAP_MAX, kDefaultMmapMax);
    mallopt(M_MMAP_THRESHOLD, kOneMiB);
  } else {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, kOneGiB);
  }
}

const std::u16string& Book(int64_t lines) {
  static std::map<int64_t, std::u16string> books;
  auto it = books.find(lines);
  if (it == books.end()) it = books.emplace(lines, tallivan::bench::GenerateBook(lines)).first;
  return it->second;
}

void SetBytes(benchmark::State& state, const std::u16string& book) {
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(book.size() * 2));
}

void BM_Recalculate(benchmark::State& state, int64_t lines, Memory memory) {
  const std::u16string& book = Book(lines);
  UseMemory(memory);
  for (auto _ : state) {
    tallivan::RecalcOutcome outcome = tallivan::Recalculate(book);
    if (!std::holds_alternative<std::u16string>(outcome)) {
      state.SkipWithError("the generated book was rejected");
      break;
    }
    benchmark::DoNotOptimize(outcome);
  }
  SetBytes(state, book);
}

void BM_RecalculateEdits(benchmark::State& state, int64_t lines) {
  const std::u16string& book = Book(lines);
  for (auto _ : state) {
    auto edits = tallivan::RecalculateEdits(book);
    benchmark::DoNotOptimize(edits);
  }
  SetBytes(state, book);
}

void BM_FreshCopy(benchmark::State& state, int64_t lines) {
  const std::u16string& book = Book(lines);
  UseMemory(Memory::kFresh);
  for (auto _ : state) {
    std::u16string copy = book;
    benchmark::DoNotOptimize(copy);
  }
  SetBytes(state, book);
}

void Register(const std::string& name, auto function, auto... args) {
  benchmark::RegisterBenchmark(name.c_str(), function, args...)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  for (const int64_t lines : {100000, 1000000}) {
    const std::string size = "/" + std::to_string(lines);
    Register("Recalculate/fresh" + size, BM_Recalculate, lines, Memory::kFresh);
    Register("FreshCopy" + size, BM_FreshCopy, lines);
  }
  for (const int64_t lines : {100000, 1000000}) {
    const std::string size = "/" + std::to_string(lines);
    Register("Recalculate/reused" + size, BM_Recalculate, lines, Memory::kReused);
    Register("RecalculateEdits" + size, BM_RecalculateEdits, lines);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
