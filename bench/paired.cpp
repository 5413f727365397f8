#include "paired.h"

#include <time.h>

#include <atomic>
#include <cstdio>

namespace vexodl::bench {

namespace {

std::atomic<bool> failed{false};

double Now(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double NanosecondsOfBatch(clockid_t clock, const std::function<void(int)>& call, int batch) {
  const double start = Now(clock);
  for (int i = 0; i < batch; ++i) call(i);
  return Now(clock) - start;
}

}  // namespace

void RunPaired(benchmark::State& state, Timing timing, int batch, const Paired& paired) {
  const clockid_t clock = timing == Timing::kWall ? CLOCK_MONOTONIC : CLOCK_THREAD_CPUTIME_ID;
  double library_ns = 0;
  double baseline_ns = 0;
  bool library_first = true;
  for (auto _ : state) {
    double pair_ns = 0;
    for (const bool library : {library_first, !library_first}) {
      const double ns =
          NanosecondsOfBatch(clock, library ? paired.library : paired.baseline, batch);
      (library ? library_ns : baseline_ns) += ns;
      pair_ns += ns;
      paired.between();
    }
    library_first = !library_first;
    state.SetIterationTime(pair_ns * 1e-9);
  }
  const double calls = static_cast<double>(state.iterations()) * batch;
  if (calls == 0) return;
  state.counters["library_ns"] = library_ns / calls;
  state.counters["baseline_ns"] = baseline_ns / calls;
  state.counters["ratio"] = library_ns / baseline_ns;
  state.counters["excess_ns"] = (library_ns - baseline_ns) / calls;
  state.counters["batch"] = batch;
  state.counters["wall_clock"] = timing == Timing::kWall ? 1 : 0;
}

void FailCheck(benchmark::State& state, const std::string& what) {
  failed = true;
  std::fprintf(stderr, "CHECK FAILED: %s\n", what.c_str());
  state.SkipWithError(("check failed: " + what).c_str());
}

int RunBenchmarks(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return failed ? 1 : 0;
}

}  // namespace vexodl::bench
