// A 64 MB answer streamed to disk: throughput, and the growth of the process's peak memory,
// which stays far below the body's size because the body never sits in memory whole.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "appliance_sim.h"
#include "http_helper.h"

namespace {

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_Download64MB(benchmark::State& state) {
  unsetenv("http_proxy");
  tarn::test::ApplianceSim sim;
  constexpr size_t kSize = 64u << 20;
  sim.Configure({{"responses", {{"/big", {{"kind", "large"}, {"size", kSize}}}}}});
  const std::string target =
      (std::filesystem::temp_directory_path() / "tarn-download-benchmark.bin").string();
  const long before = PeakRssKb();
  for (auto _ : state) {
    tarn::web::CHttpHelper helper(0);
    if (helper.DownloadToFile("http://" + sim.host() + "/big", target) != 0) {
      state.SkipWithError(helper.m_strLastError.c_str());
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSize));
  state.counters["peak_rss_growth_MB"] = static_cast<double>(PeakRssKb() - before) / 1024.0;
  std::filesystem::remove(target);
}
BENCHMARK(BM_Download64MB)->Unit(benchmark::kMillisecond)->Iterations(3);

// The marker scan of a 64 MB download that has no line feed at all: its memory stays flat.
void BM_CheckAnswer64MBWithoutLineFeed(benchmark::State& state) {
  constexpr size_t kSize = 64u << 20;
  const auto path = std::filesystem::temp_directory_path() / "tarn-check-benchmark.bin";
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const std::string block(1 << 20, 'u');
    for (size_t i = 0; i < kSize / block.size(); ++i)
      std::fwrite(block.data(), 1, block.size(), file);
    std::fclose(file);
  }
  const long before = PeakRssKb();
  for (auto _ : state) {
    tarn::web::CHttpHelper helper(0);
    benchmark::DoNotOptimize(helper.CheckAnswerFile(path.string()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSize));
  state.counters["peak_rss_growth_MB"] = static_cast<double>(PeakRssKb() - before) / 1024.0;
  std::filesystem::remove(path);
}
BENCHMARK(BM_CheckAnswer64MBWithoutLineFeed)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
