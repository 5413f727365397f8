#include "socket_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "deadline.h"
#include "log.h"
#include "unique_fd.h"

namespace vexodl::pyload::internal {

using common::Deadline;
using common::UniqueFd;

namespace {

std::string SystemText(int error) { return std::generic_category().message(error); }

std::string Within(std::chrono::milliseconds timeout) {
  return " within " + std::to_string(timeout.count()) + " ms";
}

// Unix stream sockets honour SO_SNDTIMEO while connect() waits for room in a full backlog,
// which bounds the one blocking call of the exchange.
bool ConnectWithin(int fd, const std::string& path, std::chrono::milliseconds timeout,
                   ChannelFailure* failure) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    *failure = {Printable(path) + " is too long for a socket address"};
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());

  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  int error = 0;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0) error = errno;

  const Deadline deadline(timeout);
  while (error == 0 &&
         connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    // A signal interrupts the wait for backlog room without connecting; try again while time
    // is left. Everything else (absent, refused, backlog still full) is final.
    if (errno != EINTR || deadline.Passed()) error = errno;
  }
  if (error == 0) return true;
  const std::string shown = Printable(path);
  if (error == ENOENT || error == ENOTDIR) {
    *failure = {shown + " does not exist", /*absent=*/true};
  } else if (error == ECONNREFUSED) {
    *failure = {"nothing listens on " + shown, /*absent=*/true};
  } else if (error == EAGAIN || error == EINTR) {
    *failure = {shown + " accepted no connection" + Within(timeout)};
  } else {
    *failure = {"cannot connect to " + shown + ": " + SystemText(error)};
  }
  return false;
}

// Whether the listener that `fd` is connected to runs as root or as `listener_uid`; says why not.
bool ListenerIsTrusted(int fd, const std::string& path, uid_t listener_uid,
                       ChannelFailure* failure) {
  ucred peer{};
  socklen_t size = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    *failure = {"cannot learn who listens on " + Printable(path) + ": " + SystemText(errno)};
    return false;
  }
  if (peer.uid == 0 || peer.uid == listener_uid) return true;
  *failure = {"refused the socket " + Printable(path) + ": its listener runs as user " +
              std::to_string(peer.uid) + ", neither root nor user " + std::to_string(listener_uid) +
              " (VEXODL_PYLOAD_SOCKET_UID)"};
  return false;
}

// Waits until `fd` is ready for `events`: 0, or ETIMEDOUT once the deadline passes, or the error
// of poll().
int WaitFor(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, deadline.PollTimeout());
    if (ready > 0) return 0;
    // PollTimeout() caps one wait; only the deadline itself ends the exchange.
    if (ready == 0 && deadline.Passed()) return ETIMEDOUT;
    if (ready < 0 && errno != EINTR) return errno;
  }
}

// The socket stays blocking for connect(); every later call passes MSG_DONTWAIT instead, which
// spares two fcntl() calls per exchange and leaves every wait to poll() and the deadline.
// Returns 0, ETIMEDOUT or the error of send().
int SendAll(int fd, const std::string& data, const Deadline& deadline) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (const int error = WaitFor(fd, POLLOUT, deadline); error != 0) return error;
    } else {
      return n < 0 ? errno : EPIPE;
    }
  }
  return 0;
}

// Waits before the first read: the peer cannot have answered a request it has just been sent,
// and a read that finds nothing costs a system call for no news. Returns 0 with the whole answer
// in `*answer`, ETIMEDOUT, EFBIG for an answer over `max_bytes`, or the error of recv().
int ReceiveAll(int fd, std::size_t max_bytes, const Deadline& deadline, std::string* answer) {
  char buffer[16 * 1024];
  if (const int error = WaitFor(fd, POLLIN, deadline); error != 0) return error;
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n == 0) return 0;
    if (n > 0) {
      if (answer->size() + static_cast<std::size_t>(n) > max_bytes) return EFBIG;
      answer->append(buffer, static_cast<std::size_t>(n));
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (const int error = WaitFor(fd, POLLIN, deadline); error != 0) return error;
    } else {
      return errno;
    }
  }
}

}  // namespace

std::optional<std::string> ExchangeOverUnixSocket(const std::string& path, uid_t listener_uid,
                                                  const std::string& request,
                                                  std::chrono::milliseconds connect_timeout,
                                                  std::chrono::milliseconds exchange_timeout,
                                                  std::size_t max_answer_bytes,
                                                  ChannelFailure* failure) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *failure = {"cannot make a socket: " + SystemText(errno)};
    return std::nullopt;
  }
  if (!ConnectWithin(fd.get(), path, connect_timeout, failure) ||
      !ListenerIsTrusted(fd.get(), path, listener_uid, failure)) {
    return std::nullopt;
  }
  const std::string shown = Printable(path);
  const Deadline deadline(exchange_timeout);
  int error = SendAll(fd.get(), request, deadline);
  // The end of the request is the end of our sending side: one request per connection.
  if (error == 0 && shutdown(fd.get(), SHUT_WR) != 0) error = errno;
  if (error != 0) {
    *failure = {error == ETIMEDOUT ? shown + " did not take the request" + Within(exchange_timeout)
                                   : "cannot send to " + shown + ": " + SystemText(error)};
    return std::nullopt;
  }
  std::string answer;
  error = ReceiveAll(fd.get(), max_answer_bytes, deadline, &answer);
  if (error == 0) return answer;
  if (error == ETIMEDOUT) {
    *failure = {shown + " did not answer" + Within(exchange_timeout)};
  } else if (error == EFBIG) {
    *failure = {shown + " answered more than " + std::to_string(max_answer_bytes) + " bytes"};
  } else {
    *failure = {"cannot read from " + shown + ": " + SystemText(error)};
  }
  return std::nullopt;
}

}  // namespace vexodl::pyload::internal
