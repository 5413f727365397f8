#pragma once

#include <functional>
#include <string>

#include <benchmark/benchmark.h>

namespace vexodl::bench {

// Paired is one measurement and its baseline: `library` and `baseline` each do the job once (the
// argument is the call's index within its batch, so that a call can keep its output apart);
// `between` runs after every batch, outside the timing (dropping outputs, forgetting what a fake
// recorded).
struct Paired {
  std::function<void(int)> library;
  std::function<void(int)> baseline;
  std::function<void()> between = [] {};
  // A second baseline, timed in the same iterations when set, reported as `second_name`.
  std::function<void(int)> second_baseline = nullptr;
  std::string second_name = "";
};

// Which clock a measurement reads. Work done in this thread alone is timed by the thread's CPU
// clock, which a machine shared with other jobs does not inflate by descheduling us; work that
// waits for another thread or process (a socket peer, a child) needs the wall clock.
enum class Timing { kThreadCpu, kWall };

// RunPaired times `paired` in alternating batches of `batch` calls inside one benchmark, so that
// allocator state, caches and the machine's drift hit both alike: each iteration runs a library
// batch and a baseline batch, and the next iteration runs them in the other order. Reports the
// mean time per call of each as the counters "library_ns" and "baseline_ns", their ratio as
// "ratio" and their difference as "excess_ns"; the benchmark's own time is the pair's. With a
// second baseline, each iteration runs library, baseline and second baseline, the next one the
// other way round, and the second is reported as "<second_name>_ns" and, the library's time over
// it, "<second_name>_ratio"; the benchmark's own time is then that of all three.
// REQUIRES: the benchmark uses manual time (->UseManualTime()).
void RunPaired(benchmark::State& state, Timing timing, int batch, const Paired& paired);

// Marks the benchmark as failed: its outputs differ from its baseline's, so its numbers mean
// nothing. The program then exits non-zero (ExitStatus).
void FailCheck(benchmark::State& state, const std::string& what);

// Runs the benchmarks that the command line selects; 1 when any check failed, else 0.
int RunBenchmarks(int argc, char** argv);

}  // namespace vexodl::bench
