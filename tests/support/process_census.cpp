#include "process_census.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace vexodl::fake {

std::vector<ChildInfo> ChildrenOfThisProcess() {
  std::vector<ChildInfo> children;
  const pid_t self = getpid();
  DIR* proc = opendir("/proc");
  if (proc == nullptr) throw std::runtime_error("cannot list /proc");
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) continue;
    // "pid (comm) state ppid ...": the command may hold blanks and parentheses.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = '?';
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == self) children.push_back({std::atoi(entry->d_name), state});
  }
  closedir(proc);
  return children;
}

bool IsAlive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

bool PidNamespacesWork() {
  if (::geteuid() != 0) return false;
  const pid_t child = ::fork();  // tries in a child, which changes namespaces for its own forks
  if (child == 0) {
    const int own = ::open("/proc/thread-self/ns/pid_for_children", O_RDONLY | O_CLOEXEC);
    if (own < 0 || ::unshare(CLONE_NEWPID) != 0) ::_exit(1);
    const pid_t init = ::fork();
    if (init == 0) ::_exit(::getpid() == 1 ? 0 : 1);
    int status = 1;
    ::_exit(init > 0 && ::waitpid(init, &status, 0) == init && status == 0 &&
                    ::setns(own, CLONE_NEWPID) == 0
                ? 0
                : 1);
  }
  int status = 1;
  return child > 0 && ::waitpid(child, &status, 0) == child && status == 0;
}

bool SubreapersWork() {
  int subreaper = 0;
  return ::prctl(PR_GET_CHILD_SUBREAPER, &subreaper) == 0;
}

}  // namespace vexodl::fake
