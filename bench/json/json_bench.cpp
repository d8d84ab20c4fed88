// Reads and writes the agent's JSON texts, next to a widely used JSON library on the same
// inputs, so that one run gives the ratio between the two.
#include <benchmark/benchmark.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <nlohmann/json.hpp>
#include <string>

#include "json/json_value.h"
#include "json_bench_inputs.h"

using namespace morvanix;

namespace {

const std::string& inputText(int which) {
  static const std::string texts[] = {morvanix::BenchRequestText(), morvanix::BenchResponseText(),
                                      morvanix::BenchLargeDocumentText()};
  return texts[which];
}

void setLabel(benchmark::State& state, int which) {
  static const char* const kNames[] = {"request", "response", "large"};
  state.SetLabel(std::string(kNames[which]) + " " + std::to_string(inputText(which).size()) + " B");
}

void BM_Parse(benchmark::State& state) {
  const std::string& text = inputText(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(JsonValue::parse(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  setLabel(state, static_cast<int>(state.range(0)));
}

void BM_ParseReference(benchmark::State& state) {
  const std::string& text = inputText(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  setLabel(state, static_cast<int>(state.range(0)));
}

void BM_Dump(benchmark::State& state) {
  const JsonValue value = JsonValue::parse(inputText(static_cast<int>(state.range(0))));
  std::size_t written = 0;
  for (auto _ : state) {
    std::string text = value.dump();
    written = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * written));
  setLabel(state, static_cast<int>(state.range(0)));
}

void BM_DumpReference(benchmark::State& state) {
  const nlohmann::json value = nlohmann::json::parse(inputText(static_cast<int>(state.range(0))));
  std::size_t written = 0;
  for (auto _ : state) {
    std::string text = value.dump(2);
    written = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * written));
  setLabel(state, static_cast<int>(state.range(0)));
}

BENCHMARK(BM_Parse)->DenseRange(0, 2);
BENCHMARK(BM_ParseReference)->DenseRange(0, 2);
BENCHMARK(BM_Dump)->DenseRange(0, 2);
BENCHMARK(BM_DumpReference)->DenseRange(0, 2);

// The C library's allocator decides between fresh mapped pages and reused heap memory from the
// history of earlier releases, so the cost of growing a 1 MB output text depended on which
// benchmark happened to run before. A fixed policy gives every case the same allocator.
void fixAllocatorPolicy() {
#ifdef __GLIBC__
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  fixAllocatorPolicy();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
