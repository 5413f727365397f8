// Handlers on several threads at once: the library shares no state of its own, so every call must
// reach the back-end whole, and each thread's calls must all be there afterwards.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "handler.h"
#include "test_helpers.h"

namespace {

using vexodl::fake::ParseJson;
using vexodl::fake::Pyload;
using vexodl::fake::SyslogLines;
using vexodl::fake::Vexohost;
using vexodl::filehosting::Handler;

constexpr int kThreads = 4;
constexpr int kRounds = 150;

class ConcurrencyTest : public vexodl::fake::BackendTest {};

TEST_F(ConcurrencyTest, EveryCallOfEveryThreadReachesItsBackEndWhole) {
  Vexohost().Fill("List", ParseJson(R"([{"name": "a"}, {"name": "youtube"}, {"name": "b"}])"), 0);
  Vexohost().Fill("AccountGet", ParseJson(R"({"version": "1", "enable": true})"), 0);
  Pyload().Fill("CommandlineHandler.GetAccounts", ParseJson(R"([{"pluginname": "P"}])"), 1);
  Pyload().Return("CommandlineHandler.VerifyAccount", 7);  // refused: one log line per call

  std::vector<int> listing_sizes(kThreads, 0);
  std::vector<int> refusals(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &listing_sizes, &refusals] {
      Handler handler;  // one per thread; they are interchangeable
      const std::string name = "host" + std::to_string(t);
      Json::Value settings;
      settings["username"] = "user" + std::to_string(t);
      settings["password"] = "pass" + std::to_string(t);
      settings["enabled"] = true;
      for (int round = 0; round < kRounds; ++round) {
        handler.Set(name, "vexo", settings);
        Json::Value host;
        handler.Get(host, name, "vexo");
        if (host["name"].asString() != name || !host["enabled"].asBool()) return;
        Json::Value all;
        handler.List(all);
        listing_sizes[t] = std::max(listing_sizes[t], static_cast<int>(all.size()));
        try {
          handler.Verify(name, "pyload", "u", "p");
        } catch (const vexodl::VexoError& error) {
          if (error.code == VEXODL_ERR_VERIFY_ACCOUNT) ++refusals[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> events = Vexohost().Events();
  for (int t = 0; t < kThreads; ++t) {
    const std::string account =
        "AccountSet(\"user" + std::to_string(t) + "\", \"pass" + std::to_string(t) + "\")";
    EXPECT_EQ(kRounds, std::count(events.begin(), events.end(), account)) << "thread " << t;
    EXPECT_EQ(3, listing_sizes[t]) << "thread " << t;  // P, a, b
    EXPECT_EQ(kRounds, refusals[t]) << "thread " << t;
  }
  // Set makes two handlers, Get and List one each: every one was also destroyed.
  const auto opened = std::count_if(events.begin(), events.end(), [](const std::string& e) {
    return e.rfind("Handler(", 0) == 0;
  });
  const auto closed = std::count_if(events.begin(), events.end(), [](const std::string& e) {
    return e.rfind("~Handler(", 0) == 0;
  });
  EXPECT_EQ(kThreads * kRounds * 4, opened);
  EXPECT_EQ(opened, closed);

  const auto lines = SyslogLines();
  ASSERT_EQ(static_cast<std::size_t>(kThreads * kRounds), lines.size());
  for (const auto& line : lines) {
    EXPECT_THAT(line, vexodl::fake::ErrorLine("host/pyload.cpp",
                                              "Failed to verify account " +
                                                  line.text.substr(line.text.rfind(' ') + 1)));
    EXPECT_THAT(line.text, ::testing::MatchesRegex(".* host[0-3]$"));
  }
}

}  // namespace
