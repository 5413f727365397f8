// HostUpdate over HTTP from servers on 127.0.0.1 that the test starts itself: Python's
// http.server, and a socket that takes connections and never answers.
#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "run_program.h"
#include "update_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::HasSubstr;

// A server that python3 runs with `arguments` on 127.0.0.1, and whose first line names its port
// ("... port 40123 ..."); killed when destroyed.
class LocalServer {
 public:
  explicit LocalServer(const std::vector<std::string>& arguments)
      : program_(arguments, fake::CurrentEnvironment()) {
    const std::optional<std::string> line = program_.ReadLine(std::chrono::seconds(10));
    const std::size_t at = line ? line->find("port ") : std::string::npos;
    if (at == std::string::npos) throw std::runtime_error("the server said " + line.value_or(""));
    url_ = "http://127.0.0.1:" + std::to_string(std::stoi(line->substr(at + 5))) + "/";
  }
  const std::string& url() const { return url_; }

 private:
  fake::StartedProgram program_;
  std::string url_;
};

class HttpUpdateTest : public UpdateServerTest {
 protected:
  HttpUpdateTest() {
    Handler("").HostAdd(Package("rapidbox-1.0.tar.gz", Plugin("rapidbox", "1.0")));
  }

  LocalServer http_{{"python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
                     "--directory", server_.path()}};
};

TEST_F(HttpUpdateTest, FilesComeOverHttpAndAMissingOneIsAFailedFetch) {
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0"))}}, Signing::kNone);
  const Thrown missing = ErrorOf([&] { Handler("rapidbox").HostUpdate(http_.url()); });
  EXPECT_EQ(2400, missing.code);
  EXPECT_THAT(missing.message, HasSubstr("/index.json.sig: "));
  EXPECT_THAT(missing.message, HasSubstr("404"));
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0"))}});
  Handler("rapidbox").HostUpdate(http_.url());
  EXPECT_EQ("2.0", Get("rapidbox")["version"].asString());
}

// The download takes no lock: an account change (shared lock) and an installation (exclusive
// lock) both land while the update still waits for a server that never answers.
TEST_F(HttpUpdateTest, AServerThatNeverAnswersIsLeftAtTheDeadlineWhileOtherChangesGoOn) {
  Handler("").HostAdd(Package("bytebin-1.0.tar.gz", Plugin("bytebin", "1.0")));
  const LocalServer silent({"python3", "-c",
                            "import socket, sys\ns = socket.socket()\ns.bind(('127.0.0.1', 0))\n"
                            "s.listen(4)\nprint('port', s.getsockname()[1], flush=True)\n"
                            "sys.stdin.read()"});
  const fake::ScopedEnv env{{"VEXODL_VEXOHOST_UPDATE_TIMEOUT_MS", "1500"}};
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> updating{true};
  Thrown update;
  std::thread updater([&] {
    update = ErrorOf([&] { Handler("rapidbox").HostUpdate(silent.url()); });
    updating = false;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Handler("rapidbox").AccountSet("alice", "secret");
  Handler("").HostAdd(Package("bytebin-2.0.tar.gz", Plugin("bytebin", "2.0")));
  const bool landed_while_updating = updating;
  updater.join();
  EXPECT_TRUE(landed_while_updating);
  EXPECT_EQ(2400, update.code);
  EXPECT_THAT(update.message, HasSubstr("timed out"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ("2.0", Get("bytebin")["version"].asString());
  EXPECT_EQ("NULL|alice|secret", Row("rapidbox"));
}

}  // namespace
}  // namespace vexodl::vexohost::test
