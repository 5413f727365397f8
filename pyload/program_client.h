#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "log.h"

namespace vexodl::pyload::internal {

// ExchangeWithProgram runs pyLoad's command-line program at `program` with `request` on its
// standard input, as common::RunProgram does, and returns its answer: what it wrote when it
// exited with status 0 within `timeout`, at most `max_answer_bytes` of it. Returns nothing
// otherwise, and says why in `*failure` ("<program> exited with status 1"): absent when `program`
// does not exist.
//
// The request holds passwords, and whoever could change the program could read them: it runs
// only when it and every folder above it belong to root or the effective user and can be written
// by their owner alone (common::CheckTrustedPath), links followed. A folder above it may be
// writable by others when it has the sticky bit, as /tmp: nobody else can replace the program
// there; the program itself may not. Any other program is refused, and `*failure` says why.
// A relative `program` is taken from the working directory, once: the path checked is the path
// run.
std::optional<std::string> ExchangeWithProgram(const std::string& program,
                                               const std::string& request,
                                               std::chrono::milliseconds timeout,
                                               std::size_t max_answer_bytes,
                                               ChannelFailure* failure);

}  // namespace vexodl::pyload::internal
