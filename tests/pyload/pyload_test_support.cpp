#include "pyload_test_support.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <json/reader.h>
#include <json/writer.h>

extern char** environ;

namespace vexodl::pyload::testing {

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

void ScopedEnv::Set(const std::string& name, const std::optional<std::string>& value) {
  if (saved_.count(name) == 0) {
    const char* old = std::getenv(name.c_str());
    saved_[name] = old == nullptr ? std::nullopt : std::optional<std::string>(old);
  }
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

namespace {

bool Answers(const std::string& socket_path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
  bool answered = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    const char request[] = "{\"method\":\"get_server_version\",\"params\":{}}\n";
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    char byte = 0;
    answered = send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL) > 0 &&
               shutdown(fd, SHUT_WR) == 0 && recv(fd, &byte, 1, 0) == 1;
  }
  close(fd);
  return answered;
}

}  // namespace

PeerServer::PeerServer(const std::string& socket_path) : socket_path_(socket_path) {
  std::string program = VEXODL_PYLOAD_PEER;
  std::string serve = "serve";
  std::string option = "--socket";
  std::string path = socket_path;
  char* const argv[] = {program.data(), serve.data(), option.data(), path.data(), nullptr};
  if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
    throw std::runtime_error("cannot start " + program);
  }
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Answers(socket_path)) {
    if (std::chrono::steady_clock::now() > give_up) {
      Stop();
      throw std::runtime_error("the peer does not answer on " + socket_path);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

PeerServer::~PeerServer() { Stop(); }

void PeerServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > give_up) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

const char kStandardStore[] = R"({
  "plugins": {
    "Uploaded": {"version": "0.7", "logins": {
        "me": {"password": "secret", "premium": true, "trafficleft": "1048576"},
        "free": {"password": "pw"}}},
    "Zippyshare": {"version": "0.2", "can_be_disabled": false, "is_tested": false, "logins": {}}
  },
  "accounts": {
    "Zippyshare": {"login": "old", "password": "oldpw", "valid": false, "premium": false,
                   "trafficleft": "", "use_premium": false}
  }
})";

PeerEnvironment::PeerEnvironment()
    : socket_path_(dir_ / "pyload.sock"),
      store_path_(dir_ / "accounts.json"),
      fault_path_(dir_ / "fault") {
  WriteStore(kStandardStore);
  env_.Set("VEXODL_PYLOAD_SOCKET", socket_path_);
  env_.Set("VEXODL_PYLOAD_CLI", std::string(VEXODL_PYLOAD_PEER));
  env_.Set("VEXODL_PYLOAD_STORE", store_path_);
  env_.Set("VEXODL_PYLOAD_PEER_FAULT", fault_path_);
  // Long enough for a slow machine (or an emulated one) to start the peer, short enough that a
  // test of a hanging peer ends quickly.
  env_.Set("VEXODL_PYLOAD_CONNECT_TIMEOUT_MS", std::string("1000"));
  env_.Set("VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", std::string("3000"));
  env_.Set("VEXODL_PYLOAD_READY_TIMEOUT_MS", std::string("1000"));
  env_.Set("VEXODL_PYLOAD_CLI_TIMEOUT_MS", std::string("5000"));
  env_.Set("VEXODL_PYLOAD_MAX_ANSWER_BYTES", std::nullopt);
}

void PeerEnvironment::WriteStore(const std::string& json_text) const {
  std::ofstream(store_path_, std::ios::trunc) << json_text;
}

Json::Value PeerEnvironment::ReadStore() const {
  std::ifstream in(store_path_);
  std::stringstream text;
  text << in.rdbuf();
  return ParseJson(text.str());
}

void PeerEnvironment::SetFault(const std::string& line) const {
  std::ofstream(fault_path_, std::ios::trunc) << line << "\n";
}

void PeerEnvironment::StartServer() { server_ = std::make_unique<PeerServer>(socket_path_); }

void PeerEnvironment::StopServer() { server_.reset(); }

}  // namespace vexodl::pyload::testing
