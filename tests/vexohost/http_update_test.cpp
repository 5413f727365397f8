// HostUpdate over HTTP from servers on 127.0.0.1 that the test starts itself: Python's
// http.server, and a socket that takes connections and never answers.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "run_program.h"
#include "temp_dir.h"
#include "update_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A server that python3 runs on 127.0.0.1 in a thread of this process, until it is destroyed:
// `python` binds it to port 0 and sets `port` and `step`, one step of serving.
class LocalServer {
 public:
  explicit LocalServer(const std::string& python, const std::vector<std::string>& arguments = {})
      : thread_([this, python, arguments] {
          std::vector<std::string> argv{"python3", "-c", python + kServeUntilRemoved, port_file_};
          argv.insert(argv.end(), arguments.begin(), arguments.end());
          try {
            fake::RunProgram(argv, fake::CurrentEnvironment(), "");
          } catch (const std::system_error&) {  // no port: the test fails below
          }
        }) {
    for (int i = 0; i < 10000 && ReadFile(port_file_) == "<missing>"; ++i) ::usleep(1000);
    const std::string port = ReadFile(port_file_);
    if (port == "<missing>") ADD_FAILURE() << "the server wrote no port";
    url_ = "http://127.0.0.1:" + port + "/";
  }
  ~LocalServer() {
    std::remove(port_file_.c_str());
    thread_.join();
  }
  const std::string& url() const { return url_; }

 private:
  // Says the port in a file that the server serves as long as it is there.
  static constexpr char kServeUntilRemoved[] =
      "\nopen(sys.argv[1] + '.new', 'w').write(str(port))\nos.rename(sys.argv[1] + '.new', "
      "sys.argv[1])\nwhile os.path.exists(sys.argv[1]): step()\n";
  fake::TempDir dir_;
  const std::string port_file_ = dir_ / "port";
  std::thread thread_;
  std::string url_;
};

class HttpUpdateTest : public UpdateServerTest {
 protected:
  HttpUpdateTest() {
    Handler("").HostAdd(Package("rapidbox-1.0.tar.gz", Plugin("rapidbox", "1.0")));
  }

  LocalServer http_{
      "import functools, http.server, os, sys\n"
      "s = http.server.ThreadingHTTPServer(('127.0.0.1', 0), functools.partial("
      "http.server.SimpleHTTPRequestHandler, directory=sys.argv[2]))\n"
      "s.timeout = 0.05\nport, step = s.server_port, s.handle_request",
      {server_.path()}};
};

// An HTTP error is a failed fetch, not a file of what the server said.
TEST_F(HttpUpdateTest, AMissingFileIsAFailedFetch) {
  Publish("2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0")), Signing::kNone);
  EXPECT_THAT(Outcome([&] { Handler("rapidbox").HostUpdate(http_.url()); }),
              AllOf(StartsWith("2400 "), HasSubstr("/index.json.sig: "), HasSubstr("404")));
}

// The download takes no lock: an account change (shared lock) and an installation (exclusive
// lock) both land while the update still waits for a server that never answers.
TEST_F(HttpUpdateTest, AServerThatNeverAnswersIsLeftAtTheDeadlineWhileOtherChangesGoOn) {
  Handler("").HostAdd(Package("bytebin-1.0.tar.gz", Plugin("bytebin", "1.0")));
  const LocalServer silent(
      "import os, socket, sys, time\ns = socket.socket()\ns.bind(('127.0.0.1', 0))\ns.listen(4)\n"
      "port, step = s.getsockname()[1], lambda: time.sleep(0.05)");
  const fake::ScopedEnv env{{"VEXODL_VEXOHOST_UPDATE_TIMEOUT_MS", "1500"}};
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> updating{true};
  std::string update;
  std::thread updater([&] {
    update = Outcome([&] { Handler("rapidbox").HostUpdate(silent.url()); });
    updating = false;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Handler("rapidbox").AccountSet("alice", "secret");
  Handler("").HostAdd(Package("bytebin-2.0.tar.gz", Plugin("bytebin", "2.0")));
  const bool landed_while_updating = updating;
  updater.join();
  EXPECT_TRUE(landed_while_updating);
  EXPECT_THAT(update, AllOf(StartsWith("2400 "), HasSubstr("timed out")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ("2.0", HostObject("bytebin")["version"].asString());
  EXPECT_EQ("NULL|alice|secret", Row("rapidbox"));
}

}  // namespace
}  // namespace vexodl::vexohost::test
