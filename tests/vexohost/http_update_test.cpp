// HostUpdate over HTTP from a server on 127.0.0.1 that the test starts itself (Python's
// http.server on an ephemeral port), and from one that accepts connections and never answers.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "process_census.h"
#include "update_fixture.h"

extern char** environ;

namespace vexodl::vexohost::test {
namespace {

using ::testing::HasSubstr;

// HttpServer serves `folder` on 127.0.0.1 with python3 -m http.server on a port the kernel picks,
// and stops it (SIGKILL, reaped) when destroyed.
class HttpServer {
 public:
  explicit HttpServer(const std::string& folder) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"python3", "-u",        "-m",          "http.server",  "0",
                          "--bind",  "127.0.0.1", "--directory", folder.c_str(), nullptr};
    const int spawned =
        posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
      close(out[0]);
      throw std::runtime_error("cannot start python3");
    }
    // "Serving HTTP on 127.0.0.1 port 40123 (http://127.0.0.1:40123/) ..."
    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (said.find(") ...") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd entry{out[0], POLLIN, 0};
      if (poll(&entry, 1, 100) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      said.append(buffer, static_cast<std::size_t>(n));
    }
    // Kept open until the server stops: it may still be writing the line's end, and a closed pipe
    // would end it with BrokenPipeError.
    output_ = out[0];
    const std::size_t at = said.find("http://127.0.0.1:");
    if (at == std::string::npos) {
      Stop();
      throw std::runtime_error("http.server said: " + said);
    }
    url_ = said.substr(at, said.find('/', at + 17) + 1 - at);
  }
  ~HttpServer() { Stop(); }
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  const std::string& url() const { return url_; }  // "http://127.0.0.1:<port>/"

 private:
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    close(output_);
  }

  pid_t pid_ = -1;
  int output_ = -1;
  std::string url_;
};

class HttpUpdateTest : public UpdateServerTest {
 protected:
  HttpUpdateTest() : http_(server_.path()) {
    Handler("").HostAdd(Package("rapidbox-1.0.tar.gz", Plugin("rapidbox", "1.0")));
    descriptors_ = fake::OpenDescriptorCount();
    children_ = fake::ChildrenOfThisProcess().size();
  }
  ~HttpUpdateTest() override {
    ::unsetenv("VEXODL_VEXOHOST_UPDATE_TIMEOUT_MS");
    EXPECT_EQ(descriptors_, fake::OpenDescriptorCount());
    EXPECT_EQ(children_, fake::ChildrenOfThisProcess().size());  // the server alone
  }

  void Update() { Handler("rapidbox").HostUpdate(http_.url()); }

  HttpServer http_;
  int descriptors_ = 0;
  std::size_t children_ = 0;
};

TEST_F(HttpUpdateTest, ANewerSignedPackageIsFetchedAndInstalled) {
  Publish({{"rapidbox", "1.10", Package("rapidbox-1.10.tgz", Plugin("rapidbox", "1.10"))}});
  Update();
  EXPECT_EQ("1.10", Get("rapidbox")["version"].asString());
  EXPECT_EQ("", Listing(Path("staging")));
}

TEST_F(HttpUpdateTest, AWrongSignatureIsRefusedAndNothingChanges) {
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0"))}},
          Signing::kOtherKey);
  const std::string before = Listing(state());
  EXPECT_EQ(2401, ErrorOf([&] { Update(); }).code);
  EXPECT_EQ(before, Listing(state()));
}

TEST_F(HttpUpdateTest, AMissingSignatureOrPackageIsAFailedFetch) {
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0"))}}, Signing::kNone);
  const Thrown signature = ErrorOf([&] { Update(); });
  EXPECT_EQ(2400, signature.code);
  EXPECT_THAT(signature.message, HasSubstr("index.json.sig"));
  EXPECT_THAT(signature.message, HasSubstr("404"));

  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0"))}});
  ::unlink((server_ / "r.tar.gz").c_str());
  const Thrown package = ErrorOf([&] { Update(); });
  EXPECT_EQ(2400, package.code);
  EXPECT_THAT(package.message, HasSubstr("r.tar.gz"));
  EXPECT_EQ("1.0", Get("rapidbox")["version"].asString());
}

TEST_F(HttpUpdateTest, AWrongDigestIsRefused) {
  const std::string package = Package("r.tar.gz", Plugin("rapidbox", "2.0"));
  Publish({{"rapidbox", "2.0", package}});
  WriteArchive(package, Plugin("rapidbox", "2.0", "", 0));  // replaced after publishing
  EXPECT_EQ(2404, ErrorOf([&] { Update(); }).code);
  EXPECT_EQ("1.0", Get("rapidbox")["version"].asString());
}

// A listening socket on 127.0.0.1 whose connections the kernel queues and nobody ever accepts,
// so no answer ever comes.
class SilentServer {
 public:
  SilentServer() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
  }
  ~SilentServer() { close(fd_); }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;

  const std::string& url() const { return url_; }

 private:
  int fd_;
  std::string url_;
};

TEST_F(HttpUpdateTest, AServerThatNeverAnswersIsLeftAtTheDeadline) {
  const SilentServer silent;
  ::setenv("VEXODL_VEXOHOST_UPDATE_TIMEOUT_MS", "300", 1);
  const auto start = std::chrono::steady_clock::now();
  const Thrown thrown = ErrorOf([&] { Handler("rapidbox").HostUpdate(silent.url()); });
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(2400, thrown.code);
  EXPECT_THAT(thrown.message, HasSubstr("timed out"));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST_F(HttpUpdateTest, OtherChangesDoNotWaitForAnUpdateThatIsDownloading) {
  Handler("").HostAdd(Package("bytebin-1.0.tar.gz", Plugin("bytebin", "1.0")));
  const SilentServer silent;
  ::setenv("VEXODL_VEXOHOST_UPDATE_TIMEOUT_MS", "3000", 1);
  std::atomic<bool> updating{true};
  Thrown update;
  std::thread updater([&] {
    update = ErrorOf([&] { Handler("rapidbox").HostUpdate(silent.url()); });
    updating = false;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // An account change (shared lock) and an installation (exclusive lock) both land while the
  // update still waits for its server.
  Handler("rapidbox").AccountSet("alice", "secret");
  Handler("").HostAdd(Package("bytebin-2.0.tar.gz", Plugin("bytebin", "2.0")));
  const bool landed_while_updating = updating;
  updater.join();
  EXPECT_TRUE(landed_while_updating);
  EXPECT_EQ(2400, update.code);
  EXPECT_EQ("2.0", Get("bytebin")["version"].asString());
  EXPECT_EQ("NULL|alice|secret", Row("rapidbox"));
}

}  // namespace
}  // namespace vexodl::vexohost::test
