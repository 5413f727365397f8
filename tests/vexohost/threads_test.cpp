// Many threads changing accounts and enabled states at once lose nothing.
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 25;

class ThreadsTest : public StateDirTest {};

// Each thread owns one host and writes it kRounds times, while another thread keeps listing; the
// last write of every thread must be what is stored, and no call may fail.
TEST_F(ThreadsTest, EveryThreadsLastWriteIsStored) {
  for (int t = 0; t < kThreads; ++t) {
    const std::string name = "host" + std::to_string(t);
    WritePlugin(t % 2 == 0 ? "shipped" : "user", name, ManifestText(name));
  }
  std::vector<std::string> failures(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      const std::string name = "host" + std::to_string(t);
      try {
        for (int round = 0; round < kRounds; ++round) {
          Handler(name).AccountSet("user" + std::to_string(round), "pw" + std::to_string(round));
          Handler(name).HostEnabledSet(round % 2 == 0);
        }
      } catch (const VexoError& error) {
        failures[t] = std::to_string(error.code) + " " + error.what();
      }
    });
  }
  threads.emplace_back([&failures] {
    try {
      for (int round = 0; round < kRounds; ++round) {
        Json::Value listing;
        Handler("").List(listing);
        if (listing.size() != kThreads) failures[kThreads] = "listed " + Text(listing);
      }
    } catch (const VexoError& error) {
      failures[kThreads] = std::to_string(error.code) + " " + error.what();
    }
  });
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t <= kThreads; ++t) EXPECT_EQ("", failures[t]) << "thread " << t;
  const std::string last = std::to_string(kRounds - 1);
  const std::string enabled = (kRounds - 1) % 2 == 0 ? "1" : "0";
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(enabled + "|user" + last + "|pw" + last, Row("host" + std::to_string(t)));
  }
}

}  // namespace
}  // namespace vexodl::vexohost::test
