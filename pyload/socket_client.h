#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "log.h"

namespace vexodl::pyload::internal {

// ExchangeOverUnixSocket sends `request` over a new connection to the Unix stream socket at
// `path`, ends its sending side, and returns everything the peer writes until it closes the
// connection. The connection must be made within `connect_timeout`; sending and receiving
// together must end within `exchange_timeout`. Returns nothing when the peer is absent, refuses,
// misses a deadline, resets the connection, or writes more than `max_answer_bytes`, and says why
// in `*failure`: absent when `path` does not exist or nothing listens there. Never raises
// SIGPIPE; leaves no descriptor behind.
//
// The request holds passwords, and whoever can create `path` first can listen there: a listener
// that runs as neither root nor `listener_uid` (as SO_PEERCRED tells) gets nothing, and
// `*failure` says that the socket was refused. Returns nothing then too.
std::optional<std::string> ExchangeOverUnixSocket(const std::string& path, uid_t listener_uid,
                                                  const std::string& request,
                                                  std::chrono::milliseconds connect_timeout,
                                                  std::chrono::milliseconds exchange_timeout,
                                                  std::size_t max_answer_bytes,
                                                  ChannelFailure* failure);

}  // namespace vexodl::pyload::internal
