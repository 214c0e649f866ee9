// Runs a piece of a test in a forked child whose standard output is captured, for tests that
// install signal handlers, enter namespaces or change process-wide state.
#ifndef OSL_TEST_CHILD_RUN_H
#define OSL_TEST_CHILD_RUN_H

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace osltest {

// Exit code a child body returns when what it needs (a namespace, a device) cannot be had.
constexpr int kChildSkip = 77;

// Writes text to a /proc file of this process; false when that failed.
inline bool WriteProcFile(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t len = static_cast<ssize_t>(strlen(text));
  const bool ok = write(fd, text, static_cast<size_t>(len)) == len;
  return close(fd) == 0 && ok;
}

// Moves this process into new namespaces of the kinds in flags (CLONE_NEW...). Where that
// needs privileges the process lacks, it first makes a user namespace in which this user is
// root, as `unshare --user --map-root-user` does, so the tests run as any user. The process
// must have one thread (a forked child). Returns 0, or -1 with errno set.
inline int EnterNamespaces(int flags) {
  if (unshare(flags) == 0) return 0;
  if (errno != EPERM) return -1;
  const unsigned uid = geteuid(), gid = getegid();
  if (unshare(CLONE_NEWUSER | flags) != 0) return -1;
  char map[64];
  snprintf(map, sizeof map, "0 %u 1\n", uid);
  if (!WriteProcFile("/proc/self/uid_map", map)) return -1;
  // An unprivileged user may map its group only once it has given up setgroups().
  if (!WriteProcFile("/proc/self/setgroups", "deny") && errno != ENOENT) return -1;
  snprintf(map, sizeof map, "0 %u 1\n", gid);
  return WriteProcFile("/proc/self/gid_map", map) ? 0 : -1;
}

struct ChildResult {
  int code = -1;    // the body's return value; 128 + N when killed by signal N
  std::string out;  // everything written to descriptor 1
};

// Forks, runs body in the child with descriptor 1 on a pipe, and exits with body's result.
// A child still running after limit_s seconds is killed (code 128 + SIGKILL).
inline ChildResult RunInChild(const std::function<int()>& body, int limit_s = 60) {
  ChildResult res;
  int fds[2];
  if (pipe(fds) != 0) return res;
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return res;
  }
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    close(fds[1]);
    int code = body();
    fflush(stdout);
    _exit(code);
  }
  close(fds[1]);
  time_t deadline = time(nullptr) + limit_s;
  char buf[4096];
  for (;;) {
    struct pollfd p = {fds[0], POLLIN, 0};
    int left = static_cast<int>(deadline - time(nullptr));
    if (left <= 0 || poll(&p, 1, left * 1000) == 0) {
      kill(pid, SIGKILL);
      break;
    }
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    res.out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) res.code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) res.code = 128 + WTERMSIG(status);
  return res;
}

}  // namespace osltest

#endif
