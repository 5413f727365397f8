#include "paired.h"

#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <vector>

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
  // The sides in the order of an even iteration; an odd one runs them the other way round.
  std::vector<const std::function<void(int)>*> sides = {&paired.library, &paired.baseline};
  if (paired.second_baseline) sides.push_back(&paired.second_baseline);
  std::vector<double> side_ns(sides.size(), 0);
  bool forward = true;
  for (auto _ : state) {
    double iteration_ns = 0;
    for (std::size_t step = 0; step < sides.size(); ++step) {
      const std::size_t side = forward ? step : sides.size() - 1 - step;
      const double ns = NanosecondsOfBatch(clock, *sides[side], batch);
      side_ns[side] += ns;
      iteration_ns += ns;
      paired.between();
    }
    forward = !forward;
    state.SetIterationTime(iteration_ns * 1e-9);
  }
  const double calls = static_cast<double>(state.iterations()) * batch;
  if (calls == 0) return;
  const double library_ns = side_ns[0];
  const double baseline_ns = side_ns[1];
  state.counters["library_ns"] = library_ns / calls;
  state.counters["baseline_ns"] = baseline_ns / calls;
  state.counters["ratio"] = library_ns / baseline_ns;
  state.counters["excess_ns"] = (library_ns - baseline_ns) / calls;
  if (sides.size() > 2) {
    state.counters[paired.second_name + "_ns"] = side_ns[2] / calls;
    state.counters[paired.second_name + "_ratio"] = library_ns / side_ns[2];
  }
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
