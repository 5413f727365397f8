#pragma once

#include <sys/types.h>

#include <vector>

// The child processes of this process as /proc shows them, and what the process runner may use.
namespace vexodl::fake {

// One child process of this process: its pid and state letter ('Z' for a zombie).
struct ChildInfo {
  pid_t pid;
  char state;
};
std::vector<ChildInfo> ChildrenOfThisProcess();

// Whether a process of pid `pid` (> 0) exists, a zombie included.
bool IsAlive(pid_t pid);

// Whether processes may become child subreapers here, so that the orphans below one come to it:
// qemu-user 7 refuses the prctl() to everything it runs.
bool SubreapersWork();

// Whether this process may fork init of a new PID namespace and fork into its own again, as the
// process runner does as root: root, and a kernel (or emulator) that allows it.
bool PidNamespacesWork();

}  // namespace vexodl::fake
