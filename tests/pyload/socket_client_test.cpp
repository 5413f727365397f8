// The socket transport against listeners in this process: every way a peer can fail to answer
// ends in "no answer" within the deadlines, and nothing is left open.
#include "socket_client.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "pyload_test_support.h"
#include "temp_dir.h"

namespace vexodl::pyload::internal {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kShort{200};
constexpr milliseconds kLong{5000};

// A Unix stream socket bound to `path`; listening with `backlog` unless that is negative.
class Listener {
 public:
  Listener(const std::string& path, int backlog) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    if (backlog >= 0) {
      EXPECT_EQ(0, listen(fd_, backlog));
    }
  }
  ~Listener() { close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Serves one connection on `listener` in a thread: reads the request to its end, writes
// `answer`, closes.
class OneShotServer {
 public:
  OneShotServer(const Listener& listener, std::string answer)
      : thread_([this, fd = listener.fd(), answer = std::move(answer)] {
          const int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
          if (connection < 0) return;
          char buffer[4096];
          ssize_t n;
          while ((n = read(connection, buffer, sizeof(buffer))) > 0) request_.append(buffer, n);
          std::size_t sent = 0;
          while (sent < answer.size()) {
            const ssize_t w =
                send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
            if (w <= 0) break;
            sent += static_cast<std::size_t>(w);
          }
          close(connection);
        }) {}
  ~OneShotServer() {
    if (thread_.joinable()) thread_.join();
  }
  // What the client sent; call after the exchange.
  const std::string& Request() {
    thread_.join();
    return request_;
  }

 private:
  std::string request_;
  std::thread thread_;
};

class SocketClientTest : public ::testing::Test {
 protected:
  void SetUp() override { descriptors_ = testing::OpenDescriptorCount(); }
  void TearDown() override { EXPECT_EQ(descriptors_, testing::OpenDescriptorCount()); }

  std::optional<std::string> Exchange(const std::string& request, milliseconds connect,
                                      milliseconds exchange, std::size_t cap = 1 << 20) {
    const auto start = Clock::now();
    auto answer = ExchangeOverUnixSocket(path_, request, connect, exchange, cap);
    elapsed_ = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    return answer;
  }

  fake::TempDir dir_;
  const std::string path_ = dir_ / "pyload.sock";
  milliseconds elapsed_{0};
  int descriptors_ = 0;
};

TEST_F(SocketClientTest, SendsTheRequestWhollyAndReturnsTheAnswerUpToTheClose) {
  Listener listener(path_, 4);
  OneShotServer server(listener, "{\"result\": true}\n");
  EXPECT_EQ("{\"result\": true}\n", Exchange("{\"method\":\"x\"}\n", kLong, kLong).value());
  EXPECT_EQ("{\"method\":\"x\"}\n", server.Request());
}

TEST_F(SocketClientTest, ARequestLargerThanTheSocketBuffersArrivesWhole) {
  Listener listener(path_, 4);
  OneShotServer server(listener, "ok");
  const std::string request(3 * 1024 * 1024, 'r');
  EXPECT_EQ("ok", Exchange(request, kLong, kLong).value());
  EXPECT_EQ(request, server.Request());
}

TEST_F(SocketClientTest, AnAnswerOfExactlyTheCapIsTakenOneByteMoreIsRefused) {
  {
    Listener listener(path_, 4);
    OneShotServer server(listener, std::string(100'000, 'a'));
    EXPECT_EQ(100'000u, Exchange("q", kLong, kLong, 100'000).value().size());
  }
  unlink(path_.c_str());
  Listener listener(path_, 4);
  OneShotServer server(listener, std::string(100'001, 'a'));
  EXPECT_FALSE(Exchange("q", kLong, kLong, 100'000).has_value());
}

TEST_F(SocketClientTest, NoSocketFileIsNoAnswer) {
  EXPECT_FALSE(Exchange("q", kLong, kLong).has_value());
  EXPECT_LT(elapsed_, milliseconds(1000));
}

TEST_F(SocketClientTest, ASocketThatRefusesConnectionsIsNoAnswer) {
  Listener bound_only(path_, -1);
  EXPECT_FALSE(Exchange("q", kLong, kLong).has_value());
  EXPECT_LT(elapsed_, milliseconds(1000));
}

TEST_F(SocketClientTest, APathThatIsNotASocketIsNoAnswer) {
  EXPECT_EQ(0, close(open(path_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)));
  EXPECT_FALSE(Exchange("q", kLong, kLong).has_value());
}

TEST_F(SocketClientTest, AFullBacklogEndsAtTheConnectDeadline) {
  Listener listener(path_, 0);
  // The one connection that a backlog of 0 admits, never accepted.
  const int queued = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(0, connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof(address)));

  EXPECT_FALSE(Exchange("q", kShort, kLong).has_value());
  EXPECT_GE(elapsed_, kShort - milliseconds(20));
  EXPECT_LT(elapsed_, milliseconds(2000));
  close(queued);
}

TEST_F(SocketClientTest, APeerThatNeverAnswersEndsAtTheExchangeDeadline) {
  Listener never_accepts(path_, 4);
  EXPECT_FALSE(Exchange("q", kLong, kShort).has_value());
  EXPECT_GE(elapsed_, kShort - milliseconds(20));
  EXPECT_LT(elapsed_, milliseconds(2000));
}

TEST_F(SocketClientTest, APeerThatNeverReadsEndsAtTheExchangeDeadlineWhileSending) {
  Listener never_accepts(path_, 4);
  EXPECT_FALSE(Exchange(std::string(8 * 1024 * 1024, 'r'), kLong, kShort).has_value());
  EXPECT_GE(elapsed_, kShort - milliseconds(20));
  EXPECT_LT(elapsed_, milliseconds(2000));
}

TEST_F(SocketClientTest, APeerThatClosesWithoutReadingIsNoAnswerAndRaisesNoSigpipe) {
  Listener listener(path_, 4);
  std::thread closer([&] { close(accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC)); });
  // Large enough that the peer closes while the client is still sending: EPIPE, not SIGPIPE.
  EXPECT_FALSE(Exchange(std::string(8 * 1024 * 1024, 'r'), kLong, kLong).has_value());
  closer.join();
}

}  // namespace
}  // namespace vexodl::pyload::internal
