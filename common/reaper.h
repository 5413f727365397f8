#pragma once

// The reaper under which the process runner runs each program (program_runner.cpp). Internal to
// the runner.

#include <signal.h>
#include <sys/types.h>

namespace vexodl::common {

// A program may leave its process group (setsid, a double fork), and killing the group would miss
// whatever it left there. So the program runs under a reaper: a process forked from the caller to
// which every orphan below it comes; it starts the program, reports how the program ended, and
// kills and reaps every process left below it, then exits: on the caller's word (or the caller's
// end), or as soon as the program has ended and nothing is left below it, so that the caller,
// which waits for the reaper, waits no longer than it must. Nothing the program started outlives
// the call, and the calling process changes no process-wide state: no subreaper flag, no signal
// handler. The library cannot count on an executable of ours being installed, hence a fork rather
// than a helper program.
//
// Where the caller may (root, and a kernel that allows it), the reaper is init of a PID namespace
// of its own. Orphans come to it, no process inside can signal it (the kernel drops what a
// namespace sends its init, but for the signals it handles: SIGCHLD), none can leave, and when it
// ends, however it ends, the kernel kills everything inside. Elsewhere the reaper makes itself a
// child subreaper instead, and a program of the caller's user can kill it: what the program
// started then runs on, and the run ends as kReaperKilled.
//
// The reaper is a copy of a caller that may have other threads, so it calls async-signal-safe
// functions only and allocates nothing: what it needs is prepared before the fork. It is forked
// with fork() rather than _Fork(), so that the fork handlers of the C library and of the
// sanitizers leave their own locks usable in the copy. It starts the program from a vfork child,
// which shares the reaper's memory instead of copying it once more, and which makes system calls
// only until it executes the program (StartProgram): posix_spawn cannot drop privileges.

// What the reaper writes to its caller, once: how the program ended, or why it never started.
struct Report {
  int code;   // CLD_EXITED, CLD_KILLED or CLD_DUMPED as waitid() tells it; 0: it never started
  int value;  // its exit status or the signal that ended it; errno when it never started
};

// Everything the reaper needs, prepared before the fork. Its descriptors are all 3 or above.
struct ReaperPlan {
  const char* path;  // executed by this path unless through `program`
  char* const* argv;
  char* const* envp;
  int input;             // the program's standard input
  int output;            // its standard output
  int errors;            // -1, or its standard error (/dev/null otherwise)
  int word;              // the read end of the caller's word
  int report;            // the write end of the report
  int program;           // -1, or the program (O_PATH), executed through this descriptor
  int folder;            // -1, or the program's working directory (O_PATH)
  bool drop_privileges;  // the program runs as `uid` and `gid`, with no supplementary groups
  uid_t uid;
  gid_t gid;
  pid_t caller;
  bool own_pid_namespace;  // forked as init of a new PID namespace
  sigset_t all;            // the reaper blocks every signal but while it waits
  sigset_t wake;           // all but SIGCHLD: the mask while it waits
};

// Forks the reaper, as init of a PID namespace of its own where it can be, with every signal
// blocked in this thread, so that no handler of the caller ever runs in it; this thread's mask and
// namespace are back before it returns. The child runs `plan` and never returns. Returns the
// reaper's pid, or -1 with errno set.
pid_t ForkReaper(ReaperPlan* plan);

// Whether ForkReaper may put the reaper into a PID namespace of its own
// (SetPidNamespaceForTesting).
void AllowPidNamespace(bool allowed);

}  // namespace vexodl::common
