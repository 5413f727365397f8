#include "locked_database.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace vexodl::vexohost::test {

namespace {

// Takes the lock, says so, and holds it until its standard input ends. To crash, it overflows a
// small page cache, which makes SQLite sync the journal and write changed pages into the file.
constexpr char kHolder[] =
    "import os, sqlite3, sys\n"
    "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
    "crash = sys.argv[3] == 'crash'\n"
    "db.execute('PRAGMA cache_size = 8')\n"
    "db.execute('BEGIN ' + sys.argv[2])\n"
    "if crash:\n"
    "    db.execute(\"UPDATE hosts SET username = 'torn', password = 'torn'\")\n"
    "    db.execute('CREATE TABLE spill(b)')\n"
    "    db.execute('INSERT INTO spill VALUES (zeroblob(1 << 16))')\n"
    "print('locked', flush=True)\n"
    "sys.stdin.read()\n"
    "if crash:\n"
    "    os._exit(0)\n"
    "db.execute('ROLLBACK')\n";

}  // namespace

LockedDatabase::LockedDatabase(const std::string& path, const std::string& mode, Ending ending) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    throw std::runtime_error("pipe2");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  const char* argv[] = {"python3",    "-c",         kHolder,
                        path.c_str(), mode.c_str(), ending == Ending::kCrash ? "crash" : "rollback",
                        nullptr};
  const int spawned =
      posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  if (spawned != 0) {
    pid_ = -1;
    close(out[0]);
    Release();
    throw std::runtime_error("cannot start python3");
  }
  std::string said;
  pollfd entry{out[0], POLLIN, 0};
  char buffer[64];
  ssize_t n = 0;
  while (said.find('\n') == std::string::npos && poll(&entry, 1, 10000) > 0 &&
         (n = read(out[0], buffer, sizeof buffer)) > 0) {
    said.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  if (said != "locked\n") {
    Release();
    throw std::runtime_error("python3 did not lock " + path + " (" + mode + ")");
  }
}

LockedDatabase::~LockedDatabase() { Release(); }

void LockedDatabase::Release() {
  if (input_ >= 0) close(input_);
  input_ = -1;
  if (pid_ <= 0) return;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace vexodl::vexohost::test
