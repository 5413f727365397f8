// stress_worker: one process of the stress test (stress_test.cpp starts it with posix_spawn).
//
//   stress_worker REPORT PACKAGES_DIR MILLISECONDS SEED ID...
//
// Runs one worker (stress_worker.h) per ID, each on a thread of its own, for MILLISECONDS; the
// worker of the i-th ID draws its calls from SEED + i. Then writes one JSON object to REPORT:
// every worker's report, the files that define the back-end classes, the descriptors open before
// and after, the children left, and the log lines the library wrote. The report is written
// beside REPORT and renamed, so the test reads all of it or nothing. Exit status 0 once the report
// is written, 2 for a bad command line, 1 when the report cannot be written.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <json/value.h>

#include "json_text.h"
#include "loaded_from.h"
#include "process_census.h"
#include "stress_worker.h"
#include "syslog_capture.h"

namespace {

using vexodl::stress::RunWorker;
using vexodl::stress::WorkerConfig;
using vexodl::stress::WorkerReport;

// vexodl::vexohost::Handler::List(Json::Value&) and vexodl::pyload::Utils::
// IsPyLoadDomainSocketReady(): which file each back-end was loaded from.
constexpr char kVexohostSymbol[] = "_ZN6vexodl8vexohost7Handler4ListERN4Json5ValueE";
constexpr char kPyloadSymbol[] = "_ZN6vexodl6pyload5Utils25IsPyLoadDomainSocketReadyEv";

int Run(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s REPORT PACKAGES_DIR MILLISECONDS SEED ID...\n", argv[0]);
    return 2;
  }
  const std::string report_path = argv[1];
  const std::string packages_dir = argv[2];
  const std::chrono::milliseconds duration(std::stoll(argv[3]));
  const auto seed = static_cast<std::uint32_t>(std::stoul(argv[4]));

  const int descriptors_before = vexodl::fake::OpenDescriptorCount();
  std::vector<WorkerReport> reports(static_cast<std::size_t>(argc - 5));
  std::vector<std::thread> threads;
  for (int i = 5; i < argc; ++i) {
    WorkerConfig config;
    config.id = argv[i];
    config.packages_dir = packages_dir;
    config.duration = duration;
    config.seed = seed + static_cast<std::uint32_t>(i - 5);
    threads.emplace_back(
        [config, &reports, i] { reports[static_cast<std::size_t>(i - 5)] = RunWorker(config); });
  }
  for (std::thread& thread : threads) thread.join();

  Json::Value out(Json::objectValue);
  out["workers"] = Json::Value(Json::arrayValue);
  for (const WorkerReport& report : reports) out["workers"].append(ToJson(report));
  out["vexohost"] = vexodl::fake::FileDefining(kVexohostSymbol);
  out["pyload"] = vexodl::fake::FileDefining(kPyloadSymbol);
  out["descriptors_before"] = descriptors_before;
  out["descriptors_after"] = vexodl::fake::OpenDescriptorCount();
  out["children"] = Json::Value(Json::arrayValue);
  for (const vexodl::fake::ChildInfo& child : vexodl::fake::ChildrenOfThisProcess()) {
    out["children"].append(std::to_string(child.pid) + " " + child.state);
  }
  out["log"] = Json::Value(Json::arrayValue);
  for (const vexodl::fake::LogLine& line : vexodl::fake::SyslogLines()) {
    out["log"].append(std::to_string(line.priority) + " " + line.text);
  }

  const std::string partial = report_path + ".partial";
  {
    std::ofstream file(partial, std::ios::trunc);
    file << vexodl::fake::Compact(out) << "\n";
    if (!file.flush()) {
      std::fprintf(stderr, "cannot write %s\n", partial.c_str());
      return 1;
    }
  }
  if (std::rename(partial.c_str(), report_path.c_str()) != 0) {
    std::perror(("rename " + partial).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
    return 1;
  }
}
