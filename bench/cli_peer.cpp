// The smallest command-line program that answers one request: reads its standard input to the
// end, writes one fixed answer, exits 0. When VEXODL_BENCH_CLI_RECORD names a file, the request is
// written there too, so that a benchmark can check that two callers sent the same bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main() {
  static char request[64 * 1024];
  size_t size = 0;
  for (;;) {
    char* const at = size < sizeof request ? request + size : request;
    const size_t room = size < sizeof request ? sizeof request - size : sizeof request;
    const ssize_t n = read(STDIN_FILENO, at, room);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<size_t>(n);
  }
  if (const char* record = std::getenv("VEXODL_BENCH_CLI_RECORD")) {
    const int fd = open(record, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || !WriteAll(fd, request, size < sizeof request ? size : sizeof request)) return 3;
    close(fd);
  }
  static const char kAnswer[] = "{\"result\": true}\n";
  return WriteAll(STDOUT_FILENO, kAnswer, sizeof kAnswer - 1) ? 0 : 1;
}
