#include "socket_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "deadline.h"
#include "log.h"
#include "unique_fd.h"

namespace vexodl::pyload::internal {

using common::Deadline;
using common::UniqueFd;

namespace {

// Unix stream sockets honour SO_SNDTIMEO while connect() waits for room in a full backlog,
// which bounds the one blocking call of the exchange.
bool ConnectWithin(int fd, const std::string& path, std::chrono::milliseconds timeout) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path.data(), path.size());

  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0) return false;

  const Deadline deadline(timeout);
  while (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    // A signal interrupts the wait for backlog room without connecting; try again while time
    // is left. Everything else (absent, refused, backlog still full) is final.
    if (errno != EINTR || deadline.Passed()) return false;
  }
  return true;
}

// Whether the listener that `fd` is connected to runs as root or as `listener_uid`; says why not
// in the log.
bool ListenerIsTrusted(int fd, const std::string& path, uid_t listener_uid) {
  ucred peer{};
  socklen_t size = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  if (peer.uid == 0 || peer.uid == listener_uid) return true;
  LogError("refused the socket " + Printable(path) + ": its listener runs as user " +
           std::to_string(peer.uid) + ", neither root nor user " + std::to_string(listener_uid) +
           " (VEXODL_PYLOAD_SOCKET_UID)");
  return false;
}

// Waits until `fd` is ready for `events` or the deadline passes.
bool WaitFor(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, deadline.PollTimeout());
    if (ready > 0) return true;
    // PollTimeout() caps one wait; only the deadline itself ends the exchange.
    if (ready == 0 && deadline.Passed()) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// The socket stays blocking for connect(); every later call passes MSG_DONTWAIT instead, which
// spares two fcntl() calls per exchange and leaves every wait to poll() and the deadline.
bool SendAll(int fd, const std::string& data, const Deadline& deadline) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Waits before the first read: the peer cannot have answered a request it has just been sent,
// and a read that finds nothing costs a system call for no news.
std::optional<std::string> ReceiveAll(int fd, std::size_t max_bytes, const Deadline& deadline) {
  std::string answer;
  char buffer[16 * 1024];
  if (!WaitFor(fd, POLLIN, deadline)) return std::nullopt;
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n == 0) return answer;
    if (n > 0) {
      if (answer.size() + static_cast<std::size_t>(n) > max_bytes) return std::nullopt;
      answer.append(buffer, static_cast<std::size_t>(n));
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitFor(fd, POLLIN, deadline)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
}

}  // namespace

std::optional<std::string> ExchangeOverUnixSocket(const std::string& path, uid_t listener_uid,
                                                  const std::string& request,
                                                  std::chrono::milliseconds connect_timeout,
                                                  std::chrono::milliseconds exchange_timeout,
                                                  std::size_t max_answer_bytes) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() || !ConnectWithin(fd.get(), path, connect_timeout) ||
      !ListenerIsTrusted(fd.get(), path, listener_uid)) {
    return std::nullopt;
  }
  const Deadline deadline(exchange_timeout);
  if (!SendAll(fd.get(), request, deadline)) return std::nullopt;
  // The end of the request is the end of our sending side: one request per connection.
  if (shutdown(fd.get(), SHUT_WR) != 0) return std::nullopt;
  return ReceiveAll(fd.get(), max_answer_bytes, deadline);
}

}  // namespace vexodl::pyload::internal
