// Whom the client hands a request, passwords and all: a socket's listener that runs as root or as
// VEXODL_PYLOAD_SOCKET_UID, and a program that no other user could have changed. Anything else
// hears nothing, and the request's log line says why.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "outside/pyload.h"
#include "scoped_env.h"
#include "syslog_capture.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace vexodl::pyload {
namespace {

using common::UniqueFd;
using fake::LogLine;

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// Asks whether pyLoad is ready while a child listens at `path` as user 4242: it binds as we are and
// gives its ids up before listen(), which is when SO_PEERCRED takes them, then answers one
// connection with a server version. Returns the answer and what the listener received.
std::pair<bool, std::string> AskListenerOfAnotherUser(const std::string& path) {
  constexpr uid_t uid = 4242;
  int fds[2];
  EXPECT_EQ(0, pipe2(fds, O_CLOEXEC));
  const UniqueFd heard(fds[0]);
  UniqueFd tell(fds[1]);
  const UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  EXPECT_EQ(0, bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0 ||
        listen(listener.get(), 4) != 0 || write(tell.get(), "+", 1) != 1) {
      _exit(1);
    }
    const UniqueFd connection(accept(listener.get(), nullptr, nullptr));
    const std::string request = ReadAll(connection.get());
    const std::string answer = R"({"result": "0.5.0"})";
    send(connection.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
    _exit(write(tell.get(), request.data(), request.size()) < 0);
  }
  tell.Reset();
  char listening = 0;
  EXPECT_EQ(1, read(heard.get(), &listening, 1));  // back once it listens
  const bool result = Utils::IsPyLoadDomainSocketReady();
  std::string received = ReadAll(heard.get());
  waitpid(pid, nullptr, 0);
  return {result, received};
}

TEST(ChannelTrustTest, ASocketWhoseListenerRunsAsAnotherUserHearsNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a listener as another user";
  const fake::TempDir dir;
  const std::string path = dir / "pyload\x1b.sock";
  fake::ScopedEnv env{{"VEXODL_PYLOAD_SOCKET", path}};
  env.Unset("VEXODL_PYLOAD_SOCKET_UID");
  fake::ClearSyslog();
  EXPECT_EQ(std::make_pair(false, std::string()), AskListenerOfAnotherUser(path));
  EXPECT_EQ(fake::OneLine(LOG_ERR, "pyload: get_server_version: refused the socket " + dir.path() +
                                       "/pyload\\u001b.sock: its listener runs as user 4242, "
                                       "neither root nor user 0 (VEXODL_PYLOAD_SOCKET_UID)"),
            fake::SyslogLines());
  unlink(path.c_str());
  env.Set("VEXODL_PYLOAD_SOCKET_UID", "4242");
  EXPECT_EQ(
      std::make_pair(true, std::string("{\"method\":\"get_server_version\",\"params\":{}}\n")),
      AskListenerOfAnotherUser(path));
}

// The folders above the program may be sticky, as /tmp is; the program itself must be writable by
// its owner alone (the walk itself: tests/common/trusted_path_test.cpp).
TEST(ChannelTrustTest, OnlyAProgramNoOtherUserCouldHaveChangedIsRun) {
  const fake::TempDir dir;
  const std::string bin = dir / "bin\x1b";
  const std::string program = bin + "/pyload-cli";
  const std::string mark = dir / "ran";
  ASSERT_EQ(0, mkdir(bin.c_str(), 0700));
  std::ofstream(program) << "#!/bin/sh\ntouch " << mark << "\necho '{\"result\": true}'\n";
  const std::string shown = dir.path() + "/bin\\u001b/pyload-cli";
  const struct {
    mode_t folder;
    mode_t file;
    std::string cli;
    std::vector<LogLine> log;
  } rows[] = {
      {0700, 0700, program, {}},
      {01777, 0755, program, {}},
      {0700, 0720, program,
       fake::OneLine(LOG_ERR, "pyload: update_account \"Up\": refused the program " + shown +
                                  ": file " + shown + " (mode 0720) can be written by other " +
                                  "users, who could change it: take that away (chmod go-w " +
                                  shown + ")")},
      // No program is pyLoad not installed: a note, not an error.
      {0700, 0700, dir / "absent",
       fake::OneLine(LOG_INFO,
                     "pyload: update_account \"Up\": " + dir / "absent" + " does not exist")},
  };
  for (const auto& row : rows) {
    const fake::ScopedEnv env{{"VEXODL_PYLOAD_CLI", row.cli}};
    ASSERT_EQ(0, chmod(bin.c_str(), row.folder));
    ASSERT_EQ(0, chmod(program.c_str(), row.file));
    unlink(mark.c_str());
    fake::ClearSyslog();
    EXPECT_EQ(row.log.empty(), rpc::CommandlineHandler().UpdateAccount({"Up", "me", "pw"}))
        << row.cli;
    EXPECT_EQ(row.log.empty(), access(mark.c_str(), F_OK) == 0) << row.cli;
    EXPECT_EQ(row.log, fake::SyslogLines());
  }
}

}  // namespace
}  // namespace vexodl::pyload
