// vexodl-bench-peak PROGRAM [ARGUMENT...]: runs the program and writes, after whatever it wrote to
// standard output, a line "peak_kb N": its peak resident memory. The benchmark cannot start the
// program itself for this, since a child started by vfork or fork carries its parent's
// high-water mark into the getrusage figure; this small program's own is far below any
// program's it measures. Plain C library calls only, to keep that figure small.
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const pid_t pid = fork();
  if (pid < 0) return 3;
  if (pid == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  printf("peak_kb %ld\n", usage.ru_maxrss);
  return 0;
}
