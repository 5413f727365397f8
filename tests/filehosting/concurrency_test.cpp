// Handlers on several threads at once: the library shares no state of its own, so every call of
// every thread reaches its back-end whole. ThreadSanitizer runs this program.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "handler.h"
#include "test_helpers.h"

namespace {

using vexodl::fake::Pyload;
using vexodl::fake::Vexohost;

constexpr int kThreads = 4;
constexpr int kRounds = 150;

class ConcurrencyTest : public vexodl::fake::BackendTest {};

TEST_F(ConcurrencyTest, EveryCallOfEveryThreadReachesItsBackEndWhole) {
  Vexohost().Fill("List", vexodl::fake::ParseJson(R"([{"name": "a"}, {"name": "b"}])"), 0);
  Pyload().Return("CommandlineHandler.VerifyAccount", 7);  // refused: one log line per call
  std::vector<int> listed(kThreads, 0);
  std::vector<int> refused(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &listed, &refused] {
      vexodl::filehosting::Handler handler;
      const std::string name = "host" + std::to_string(t);
      Json::Value settings;
      settings["username"] = name;
      settings["password"] = "p";
      for (int round = 0; round < kRounds; ++round) {
        handler.Set(name, "vexo", settings);
        Json::Value all;
        handler.List(all);
        listed[t] += static_cast<int>(all.size());
        try {
          handler.Verify(name, "pyload", "u", "p");
        } catch (const vexodl::VexoError& error) {
          refused[t] += error.code == 1604 ? 1 : 0;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> events = Vexohost().Events();
  for (int t = 0; t < kThreads; ++t) {
    const std::string name = "host" + std::to_string(t);
    const std::string account = "\"" + name + "\".AccountSet(\"" + name + "\", \"p\")";
    EXPECT_EQ(kRounds, std::count(events.begin(), events.end(), account)) << name;
    EXPECT_EQ(2 * kRounds, listed[t]) << name;
    EXPECT_EQ(kRounds, refused[t]) << name;
  }
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kRounds), vexodl::fake::SyslogLines().size());
}

}  // namespace
