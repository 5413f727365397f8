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

using fake::LogLine;
using std::chrono::milliseconds;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Ge;
using ::testing::IsEmpty;
using ::testing::Lt;
using Clock = std::chrono::steady_clock;

sockaddr_un Address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
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
    Join();
    unlink(path_.c_str());
  }
  int fd() const { return fd_.get(); }
  // What the client sent, and what was inheritable meanwhile; once the exchange is over.
  const std::string& Request() { return Join(), request_; }
  const std::set<int>& Inheritable() { return Join(), inheritable_; }

 private:
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  std::string path_;
  common::UniqueFd fd_{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  std::string request_;
  std::set<int> inheritable_;
  std::thread thread_;
};

class SocketTest : public ::testing::Test {
 protected:
  template <typename Call>
  auto Timed(Call&& call) {
    const auto start = Clock::now();
    auto result = call();
    elapsed_ = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    return result;
  }

  std::optional<std::string> Exchange(milliseconds connect, milliseconds exchange,
                                      std::size_t cap = 1 << 20) {
    return Timed([&] {
      return internal::ExchangeOverUnixSocket(path_, geteuid(), "q", connect, exchange, cap,
                                              &failure_);
    });
  }

  // What the last Exchange said of its failure.
  std::string Failure() const { return failure_.cause + (failure_.absent ? " (absent)" : ""); }

  fake::TempDir dir_;
  const std::string path_ = dir_ / "pyload.sock";
  fake::ScopedEnv env_{{"VEXODL_PYLOAD_SOCKET", path_}};
  milliseconds elapsed_{0};
  internal::ChannelFailure failure_;
};

// A call of the client, the request it must send, pyLoad's answer, the call's result, and the
// line that the client logs when the call fails.
struct MethodRow {
  std::function<std::string()> call;
  std::string request;
  std::string answer;
  std::string result;
  std::string log = "";
};

std::string Text(bool done) { return done ? "done" : "failed"; }

TEST_F(SocketTest, EveryMethodSendsItsRequestAndReadsItsAnswer) {
  using rpc::DomainSocketHandler;
  const auto update = [] { return Text(DomainSocketHandler().UpdateAccount({"Up", "me", "pw"})); };
  const auto verify = [] {
    return std::to_string(DomainSocketHandler().VerifyAccount({"Up", "me", "pw"}));
  };
  const auto ready = [] { return Text(Utils::IsPyLoadDomainSocketReady()); };
  const std::string update_request =
      R"({"method":"update_account","params":{"login":"me","password":"pw","plugin":"Up"}})";
  const std::string version_request = R"({"method":"get_server_version","params":{}})";
  const MethodRow rows[] = {
      {update, update_request, R"({"result": true})", "done"},
      {[] {
         return Text(DomainSocketHandler().EnableAccount({"Up", true}));
       },
       R"({"method":"enable_account","params":{"enabled":true,"plugin":"Up"}})",
       R"({"result": true})", "done"},
      {verify,
       R"({"method":"verify_account","params":{"login":"me","password":"pw","plugin":"Up"}})",
       R"({"result": 3})", "3"},
      {verify,
       R"({"method":"verify_account","params":{"login":"me","password":"pw","plugin":"Up"}})",
       R"({"error": {"name": "NoAccount", "message": "x"}})", "0",
       R"(pyload: verify_account "Up": no such plug-in or account)"},
      {[] {
         Json::Value out;
         MethodGetAccounts method;
         method.refresh = true;
         const bool done = DomainSocketHandler().GetAccounts(out, method);
         return Text(done) + fake::Compact(out);
       },
       R"({"method":"get_accounts","params":{"refresh":true}})", R"({"result": [{"type": "Up"}]})",
       R"(done[{"type":"Up"}])"},
      {[] { return Text(DomainSocketHandler().RemoveAccount({"Up"})); },
       R"({"method":"remove_account","params":{"plugin":"Up"}})", R"({"result": true})", "done"},
      {ready, version_request, R"({"result": "0.5.0"})", "done"},
      {ready, version_request, R"({"result": true})", "failed",  // no version: something else
       "pyload: get_server_version: pyLoad's result does not fit get_server_version"},
  };
  const std::set<int> inheritable = InheritableDescriptors();
  for (const MethodRow& row : rows) {
    Server server(path_, 4, row.answer);
    fake::ClearSyslog();
    EXPECT_EQ(row.result, row.call()) << row.request << " answered " << row.answer;
    if (row.log.empty()) {
      EXPECT_THAT(fake::SyslogLines(), IsEmpty());
    } else {
      EXPECT_THAT(fake::SyslogLines(), ElementsAre(LogLine{LOG_ERR, row.log}));
    }
    EXPECT_EQ(row.request + "\n", server.Request());
    EXPECT_EQ(inheritable, server.Inheritable()) << "the client's socket is inheritable";
  }
}

TEST_F(SocketTest, RequestsWaitTheSocketTimeoutAndReadinessTheReadyTimeout) {
  const Server never_accepts(path_, 4);
  const fake::ScopedEnv env{{"VEXODL_PYLOAD_CONNECT_TIMEOUT_MS", "5000"},
                            {"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "200"},
                            {"VEXODL_PYLOAD_READY_TIMEOUT_MS", "1200"}};
  fake::ClearSyslog();
  EXPECT_FALSE(Timed([] { return rpc::DomainSocketHandler().UpdateAccount({"Up", "me", "pw"}); }));
  EXPECT_THAT(elapsed_.count(), AllOf(Ge(180), Lt(2500)));
  EXPECT_FALSE(Timed([] { return Utils::IsPyLoadDomainSocketReady(); }));
  EXPECT_THAT(elapsed_.count(), AllOf(Ge(1180), Lt(4000)));
  EXPECT_THAT(fake::SyslogLines(),
              ElementsAre(LogLine{LOG_ERR, "pyload: update_account \"Up\": " + path_ +
                                               " did not answer within 200 ms"},
                          LogLine{LOG_ERR, "pyload: get_server_version: " + path_ +
                                               " did not answer within 1200 ms"}));
}

TEST_F(SocketTest, AnAnswerOfExactlyTheCapIsTakenOneByteMoreIsRefused) {
  for (const std::size_t size : {100'000, 100'001}) {
    const Server server(path_, 4, std::string(size, 'a'));
    EXPECT_EQ(size == 100'000,
              Exchange(milliseconds(5000), milliseconds(5000), 100'000).has_value());
  }
  EXPECT_EQ(path_ + " answered more than 100000 bytes", Failure());
}

// No socket, or a socket nobody listens on, is pyLoad absent; a listener that takes no connection
// is a pyLoad that fails.
TEST_F(SocketTest, NoServerIsNoAnswerAtOnceAndAFullBacklogAtTheConnectDeadline) {
  EXPECT_FALSE(Exchange(milliseconds(5000), milliseconds(5000)).has_value());
  EXPECT_LT(elapsed_, milliseconds(1000));
  EXPECT_EQ(path_ + " does not exist (absent)", Failure());
  {
    const common::UniqueFd stale(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = Address(path_);
    ASSERT_EQ(0, bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
  }
  EXPECT_FALSE(Exchange(milliseconds(5000), milliseconds(5000)).has_value());
  EXPECT_EQ("nothing listens on " + path_ + " (absent)", Failure());
  unlink(path_.c_str());
  const Server listener(path_, 0);
  // The one connection that a backlog of 0 admits, never accepted.
  const common::UniqueFd queued(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = Address(path_);
  ASSERT_EQ(0, connect(queued.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
  EXPECT_FALSE(Exchange(milliseconds(200), milliseconds(5000)).has_value());
  EXPECT_THAT(elapsed_.count(), AllOf(Ge(180), Lt(2000)));
  EXPECT_EQ(path_ + " accepted no connection within 200 ms", Failure());
}

TEST_F(SocketTest, APeerThatClosesWithoutReadingIsNoAnswerAndRaisesNoSigpipe) {
  const Server listener(path_, 4);
  std::thread closer([&] { close(accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC)); });
  // Larger than the socket buffers: the peer closes while the client is still sending.
  internal::ChannelFailure failure;
  EXPECT_FALSE(internal::ExchangeOverUnixSocket(path_, geteuid(), std::string(8 << 20, 'r'),
                                                milliseconds(5000), milliseconds(5000), 1 << 20,
                                                &failure)
                   .has_value());
  closer.join();
}

}  // namespace
}  // namespace vexodl::pyload
