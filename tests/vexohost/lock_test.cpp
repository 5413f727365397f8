// The store-wide lock, and many threads changing one store at once.
#include "lock.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using internal::StoreLock;
using std::chrono::milliseconds;

class StoreLockTest : public StateDirTest {
 protected:
  std::string lock() const { return Path("lock"); }
};

TEST_F(StoreLockTest, SharedHoldersShareAndAnExclusiveHolderMakesOthersGiveUp) {
  {
    const StoreLock first(lock(), StoreLock::Mode::kShared, milliseconds(0));
    const StoreLock second(lock(), StoreLock::Mode::kShared, milliseconds(0));
  }
  const StoreLock held(lock(), StoreLock::Mode::kExclusive);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(
      "2102 gave up waiting for the store lock " + lock() + ", held by another process or thread",
      Outcome([&] { StoreLock(lock(), StoreLock::Mode::kShared, milliseconds(200)); }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(200));
}

// Each thread owns one host and writes it over and over while another thread lists: no call fails
// and every thread's last write is what is stored.
TEST_F(StoreLockTest, EveryThreadsLastWriteIsStored) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 25;
  std::vector<std::string> failures(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    const std::string name = "host" + std::to_string(t);
    WritePlugin(t % 2 == 0 ? "shipped" : "user", name, ManifestText(name));
  }
  for (int t = 0; t <= kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      const std::string name = "host" + std::to_string(t);
      failures[t] = Outcome([&] {
        for (int round = 0; round < kRounds; ++round) {
          if (t == kThreads) {
            Json::Value listing;
            Handler("").List(listing);
          } else {
            Handler(name).AccountSet("user" + std::to_string(round), "pw" + std::to_string(round));
            Handler(name).HostEnabledSet(round % 2 == 0);
          }
        }
      });
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ("ok", failures[t]);
    EXPECT_EQ("1|user24|pw24", Row("host" + std::to_string(t)));
  }
  EXPECT_EQ("ok", failures[kThreads]);
}

}  // namespace
}  // namespace vexodl::vexohost::test
