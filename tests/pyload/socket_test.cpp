// The socket channel against listeners in this process: the request of every method and how its
// answer reads, readiness, the deadlines and the answer cap, and nothing left open or inheritable.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "json_text.h"
#include "outside/pyload.h"
#include "scoped_env.h"
#include "socket_client.h"
#include "syslog_capture.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace vexodl::pyload {
namespace {

using std::chrono::milliseconds;
using ::testing::AllOf;
using ::testing::Ge;
using ::testing::Lt;
using Clock = std::chrono::steady_clock;

sockaddr_un Address(const std::string& path) {
  sockaddr_un address{AF_UNIX, {}};
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

// The descriptors of this process that a program it started would inherit.
std::set<int> InheritableDescriptors() {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    if (const int flags = fcntl(fd, F_GETFD); flags >= 0 && (flags & FD_CLOEXEC) == 0) {
      fds.insert(fd);
    }
  }
  return fds;
}

// A Unix stream socket listening at `path`, removed when destroyed. Given an answer, it serves one
// connection in a thread: reads the request to its end, notes which descriptors a program started
// meanwhile would inherit, writes the answer and closes.
class Server {
 public:
  Server(std::string path, int backlog, std::optional<std::string> answer = std::nullopt)
      : path_(std::move(path)) {
    const sockaddr_un address = Address(path_);
    EXPECT_EQ(0, bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
    EXPECT_EQ(0, listen(fd_.get(), backlog));
    if (!answer) return;
    thread_ = std::thread([this, answer = std::move(*answer)] {
      const common::UniqueFd connection(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      char buffer[4096];
      for (ssize_t n; (n = read(connection.get(), buffer, sizeof(buffer))) > 0;) {
        request_.append(buffer, static_cast<std::size_t>(n));
      }
      inheritable_ = InheritableDescriptors();
      for (std::size_t sent = 0; sent < answer.size();) {
        const ssize_t n =
            send(connection.get(), answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
    });
  }
  ~Server() {
    if (thread_.joinable()) thread_.join();
    unlink(path_.c_str());
  }
  int fd() const { return fd_.get(); }
  // What the client sent, and what was inheritable meanwhile.
  std::pair<std::string, std::set<int>> Heard() {
    if (thread_.joinable()) thread_.join();
    return {request_, inheritable_};
  }

 private:
  std::string path_;
  common::UniqueFd fd_{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  std::string request_;
  std::set<int> inheritable_;
  std::thread thread_;
};

class SocketTest : public ::testing::Test {
 protected:
  // Runs `call`, noting how long it took.
  template <typename Call>
  auto Timed(Call&& call) {
    const auto start = Clock::now();
    auto result = call();
    elapsed_ = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    return result;
  }

  // An exchange of `request`; what it said of a failure is in failure_.
  std::optional<std::string> Exchange(milliseconds connect, std::size_t cap = 1 << 20,
                                      const std::string& request = "q") {
    return Timed([&] {
      return internal::ExchangeOverUnixSocket(path_, geteuid(), request, connect,
                                              milliseconds(5000), cap, &failure_);
    });
  }

  fake::TempDir dir_;
  const std::string path_ = dir_ / "pyload.sock";
  fake::ScopedEnv env_{{"VEXODL_PYLOAD_SOCKET", path_}};
  long elapsed_ = 0;
  internal::ChannelFailure failure_;
};

std::string Text(bool done) { return done ? "done" : "failed"; }

// A call of the client: the request it sends, pyLoad's answer, the call's result, and the line it
// logs. Readiness wants pyLoad's version, not any result.
TEST_F(SocketTest, ARequestGoesWholeAndReadinessWantsPyloadsVersion) {
  rpc::DomainSocketHandler h;
  const auto ready = [] { return Text(Utils::IsPyLoadDomainSocketReady()); };
  const struct {
    std::function<std::string()> call;
    std::string request, answer, result, log;
  } rows[] = {
      // clang-format off
      {[&] { return Text(h.UpdateAccount({"Up", "me", "pw"})); },
       R"({"method":"update_account","params":{"login":"me","password":"pw","plugin":"Up"}})",
       R"({"result": true})", "done", ""},
      {ready, R"({"method":"get_server_version","params":{}})", R"({"result": true})", "failed",
       "pyload: get_server_version: pyLoad's result does not fit get_server_version"},
      // clang-format on
  };
  const std::set<int> inheritable = InheritableDescriptors();
  for (const auto& row : rows) {
    Server server(path_, 4, row.answer);
    fake::ClearSyslog();
    EXPECT_EQ(row.result, row.call()) << row.request;
    EXPECT_EQ(row.log.empty() ? std::vector<fake::LogLine>{} : fake::OneLine(LOG_ERR, row.log),
              fake::SyslogLines());
    EXPECT_EQ(std::make_pair(row.request + "\n", inheritable), server.Heard())
        << "the request, and the descriptors a program would inherit meanwhile";
  }
}

TEST_F(SocketTest, AnAnswerOfExactlyTheCapIsTakenOneByteMoreIsRefused) {
  for (const std::size_t size : {100'000, 100'001}) {
    const Server server(path_, 4, std::string(size, 'a'));
    EXPECT_EQ(size == 100'000, Exchange(milliseconds(5000), 100'000).has_value());
  }
  EXPECT_EQ(path_ + " answered more than 100000 bytes", failure_.cause);
}

// No socket is pyLoad absent; a listener that takes no connection, or takes it and never answers,
// is a pyLoad that fails at the deadline for connecting or for the whole exchange.
TEST_F(SocketTest, EachWaitEndsAtItsDeadline) {
  EXPECT_FALSE(Exchange(milliseconds(5000)).has_value());
  EXPECT_THAT(elapsed_, Lt(1000));
  EXPECT_TRUE(failure_.absent);
  EXPECT_EQ(path_ + " does not exist", failure_.cause);
  {
    const Server listener(path_, 0);
    // The one connection that a backlog of 0 admits, never accepted.
    const common::UniqueFd queued(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = Address(path_);
    ASSERT_EQ(0,
              connect(queued.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
    EXPECT_FALSE(Exchange(milliseconds(200)).has_value());
    EXPECT_THAT(elapsed_, AllOf(Ge(180), Lt(2000)));
    EXPECT_EQ(path_ + " accepted no connection within 200 ms", failure_.cause);
  }
  const Server never_accepts(path_, 4);
  const fake::ScopedEnv env{{"VEXODL_PYLOAD_CONNECT_TIMEOUT_MS", "5000"},
                            {"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "200"}};
  fake::ClearSyslog();
  EXPECT_FALSE(Timed([] { return rpc::DomainSocketHandler().UpdateAccount({"Up", "me", "pw"}); }));
  EXPECT_THAT(elapsed_, AllOf(Ge(180), Lt(2500)));
  EXPECT_EQ(fake::OneLine(LOG_ERR, "pyload: update_account \"Up\": " + path_ +
                                       " did not answer within 200 ms"),
            fake::SyslogLines());
}

TEST_F(SocketTest, APeerThatClosesWithoutReadingIsNoAnswerAndRaisesNoSigpipe) {
  const Server listener(path_, 4);
  std::thread closer([&] { close(accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC)); });
  // Larger than the socket buffers: the peer closes while the client is still sending.
  EXPECT_FALSE(Exchange(milliseconds(5000), 1 << 20, std::string(8 << 20, 'r')).has_value());
  closer.join();
}

}  // namespace
}  // namespace vexodl::pyload
