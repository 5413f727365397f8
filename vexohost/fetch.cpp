#include "fetch.h"

#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "errors.h"
#include "file.h"
#include "on_demand.h"

namespace vexodl::vexohost::internal {

namespace {

constexpr char kFileScheme[] = "file://";

struct CurlFree {
  void operator()(CURL* handle) const { Curl().curl_easy_cleanup(handle); }
};

struct Body {
  std::string bytes;
  std::uint64_t max_bytes = 0;
  bool too_large = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
  Body* body = static_cast<Body*>(user);
  const size_t n = size * count;
  if (body->bytes.size() + n > body->max_bytes) {
    body->too_large = true;
    return 0;  // curl ends the transfer with CURLE_WRITE_ERROR
  }
  body->bytes.append(data, n);
  return n;
}

// curl's own sockets are not close-on-exec; a verifier started by another thread meanwhile would
// inherit them.
curl_socket_t OpenSocket(void*, curlsocktype, curl_sockaddr* address) {
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// curl reads a file:// URL by opening the file as it is, blocking: a FIFO in its place would hold
// the update past every deadline, and a device would be read. So those are read here instead:
// a regular file only, opened without blocking (ReadSmallFile).
std::string FetchFile(const CurlApi& lib, CURL* curl, const std::string& url,
                      std::uint64_t max_bytes, bool* too_large) {
  const auto fail = [&](const std::string& why) {
    Fail(kErrUpdateFetch, "cannot fetch " + Printable(url) + ": " + why);
  };
  std::string encoded = url.substr(std::strlen(kFileScheme));
  if (encoded.compare(0, 10, "localhost/") == 0) encoded.erase(0, 9);
  if (encoded.empty() || encoded[0] != '/') fail("only files of this host can be read");
  int length = 0;
  const std::unique_ptr<char, decltype(lib.curl_free)> decoded(
      lib.curl_easy_unescape(curl, encoded.data(), static_cast<int>(encoded.size()), &length),
      lib.curl_free);
  if (!decoded) fail("curl_easy_unescape failed");
  const std::string path(decoded.get(), static_cast<std::size_t>(length));
  if (path.find('\0') != std::string::npos) fail("the path holds a NUL byte");
  try {
    return ReadSmallFile(path, max_bytes);
  } catch (const FileReadError& error) {
    if (error.error() != EFBIG || too_large == nullptr) fail(error.what());
    *too_large = true;
    return "";
  }
}

}  // namespace

std::string Fetch(const std::string& url, std::uint64_t max_bytes,
                  std::chrono::milliseconds timeout, bool* too_large) {
  const CurlApi& lib = Curl();
  const std::unique_ptr<CURL, CurlFree> handle(lib.curl_easy_init());
  const auto fail = [&](const std::string& why) {
    Fail(kErrUpdateFetch, "cannot fetch " + Printable(url) + ": " + why);
  };
  if (!handle) fail("curl_easy_init failed");
  if (strncasecmp(url.c_str(), kFileScheme, std::strlen(kFileScheme)) == 0) {
    return FetchFile(lib, handle.get(), url, max_bytes, too_large);
  }
  Body body;
  body.max_bytes = max_bytes;
  char error[CURL_ERROR_SIZE] = "";
  CURL* curl = handle.get();
  lib.curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  lib.curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  lib.curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  lib.curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  lib.curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 3L);
  lib.curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  lib.curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  lib.curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  lib.curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  lib.curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  lib.curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
  lib.curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  const CURLcode code = lib.curl_easy_perform(curl);
  // The cap is kept by Collect alone: curl's own (CURLOPT_MAXFILESIZE) would judge an error page
  // by its length before its status.
  if (body.too_large) {
    if (too_large == nullptr) fail("larger than " + std::to_string(max_bytes) + " bytes");
    *too_large = true;
    return std::move(body.bytes);
  }
  if (code != CURLE_OK) fail(error[0] != '\0' ? error : lib.curl_easy_strerror(code));
  return std::move(body.bytes);
}

}  // namespace vexodl::vexohost::internal
