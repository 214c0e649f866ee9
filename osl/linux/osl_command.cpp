// Shell commands: osl_excute, osl_excute_timed and the runner they share with the network
// queries. A command runs as /bin/sh -c in a child made with vfork, which sets up its signals,
// process group and descriptors and execs; its output comes back over a pipe, read until the
// buffer is full, the output ends or the shell has ended, with the limit kept on a Deadline.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "osl.h"
#include "osl_command.h"
#include "osl_log.h"
#include "osl_signal.h"
#include "osl_sys.h"

namespace {

constexpr int32_t kShellCheckMs = 50;  // how often a running command's end (or a stop) is looked for
constexpr int kDiscardOutput = -1;     // spawn_shell: standard output on /dev/null
constexpr int kMaxFdScan = 65536;      // the last-resort close walks at most this many numbers

// What the child does between vfork and exec, all prepared by the caller: the child shares its
// memory and may only make system calls.
struct Plan {
  char *argv[4];
  int out_fd;      // standard output, or kDiscardOutput
  int report_fd;   // write end of the pipe on which a failed exec reports its errno; > 2
  bool own_group;
  int max_fd;      // highest descriptor the last-resort close tries
  sigset_t mask;   // the mask the shell starts with
};

// Moves fd onto target and closes fd; false when it could not.
bool put_on(int fd, int target) {
  if (fd < 0) return false;
  if (fd == target) return true;
  const bool ok = dup2(fd, target) == target;
  close(fd);
  return ok;
}

// Closes descriptors first..last (inclusive); false when close_range is not there.
bool close_span(unsigned first, unsigned last) {
  return first > last || close_range(first, last, 0) == 0;
}

// Closes every descriptor above 2 but keep, for kernels without close_range (before 5.9): the
// numbers listed in /proc/self/fd, else every number up to max_fd.
void close_listed(int keep, int max_fd) {
  const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    for (int fd = 3; fd <= max_fd; ++fd) {
      if (fd != keep) close(fd);
    }
    return;
  }
  alignas(struct dirent64) char buf[1024];
  ssize_t n;
  while ((n = getdents64(dir, buf, sizeof buf)) > 0) {
    for (ssize_t at = 0; at < n;) {
      const struct dirent64 *e = reinterpret_cast<const struct dirent64 *>(buf + at);
      at += e->d_reclen;
      uint64_t fd = 0;
      if (osl_sys::parse_digits(e->d_name, strlen(e->d_name), 10, INT_MAX, &fd) && fd > 2 &&
          static_cast<int>(fd) != keep && static_cast<int>(fd) != dir) {
        close(static_cast<int>(fd));
      }
    }
  }
  close(dir);
}

[[noreturn]] void fail_child(const Plan &p) {
  const int err = errno;
  (void)!write(p.report_fd, &err, sizeof err);
  _exit(127);
}

// The child after vfork. Every signal is blocked here (the caller blocked them), so no handler of
// the caller's can run in this copy of it: caught signals go back to their defaults before the
// mask is let go. SIGTTOU is ignored so that a write to a terminal with TOSTOP never stops the
// command, in whatever group it runs.
[[noreturn]] void run_child(const Plan &p) {
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction sa;
    if (sigaction(sig, nullptr, &sa) != 0) continue;
    const bool caught = sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN;
    if (sig == SIGTTOU) {
      sa.sa_handler = SIG_IGN;
    } else if (caught || (p.own_group && (sig == SIGPIPE || sig == SIGCHLD))) {
      sa.sa_handler = SIG_DFL;
    } else {
      continue;
    }
    sa.sa_flags = 0;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
  if (p.own_group && (setpgid(0, 0) != 0 || !put_on(open("/dev/null", O_RDONLY), 0))) {
    fail_child(p);
  }
  const bool out_ok = p.out_fd == kDiscardOutput ? put_on(open("/dev/null", O_WRONLY), 1)
                                                 : dup2(p.out_fd, 1) == 1;
  if (!out_ok) fail_child(p);
  const unsigned keep = static_cast<unsigned>(p.report_fd);
  if (!close_span(3, keep - 1) || !close_span(keep + 1, ~0u)) close_listed(p.report_fd, p.max_fd);
  sigprocmask(SIG_SETMASK, &p.mask, nullptr);
  execve("/bin/sh", p.argv, environ);
  fail_child(p);
}

// fd moved above the standard three (close-on-exec), where a descriptor the child sets up
// cannot land on it; -1 with errno when that failed (fd is closed either way).
int above_std(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  osl_sys::close_keep_errno(fd);
  return moved;
}

pid_t start_child(const Plan &plan) {
  const pid_t pid = vfork();
  if (pid == 0) run_child(plan);
  return pid;
}

// Starts /bin/sh -c cmd with its standard output on out_fd, or on /dev/null for kDiscardOutput,
// and no descriptor above 2. Standard input, error, the signal mask and ignored signals stay the
// caller's; own_group instead makes it the leader of a new process group with standard input on
// /dev/null, the mask empty and SIGPIPE and SIGCHLD at their defaults. False, with errno set,
// when it could not be started.
bool spawn_shell(const char *cmd, int out_fd, bool own_group, pid_t *pid) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  report[1] = above_std(report[1]);
  if (report[1] < 0) {
    osl_sys::close_keep_errno(report[0]);
    return false;
  }
  Plan plan;
  char sh[] = "sh";
  char dash_c[] = "-c";
  plan.argv[0] = sh;
  plan.argv[1] = dash_c;
  plan.argv[2] = const_cast<char *>(cmd);  // execve writes none
  plan.argv[3] = nullptr;
  plan.out_fd = out_fd;
  plan.report_fd = report[1];
  plan.own_group = own_group;
  struct rlimit lim;
  plan.max_fd = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < kMaxFdScan
                    ? static_cast<int>(lim.rlim_cur) - 1
                    : kMaxFdScan - 1;
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  if (own_group) {
    sigemptyset(&plan.mask);
  } else {
    plan.mask = old;
  }
  const pid_t child = start_child(plan);
  const int vfork_err = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(report[1]);
  if (child < 0) {
    close(report[0]);
    errno = vfork_err;
    return false;
  }
  // The child has exec'd (the pipe closed on exec: nothing to read) or failed and said why.
  int err = 0;
  const ssize_t n = osl_sys::read_some(report[0], &err, sizeof err);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err)) {
    osl_sys::wait_child(child, nullptr, 0);
    errno = err;
    return false;
  }
  *pid = child;
  return true;
}

// True once the shell pid has ended: reaped here, its wait status then in *status, or reaped
// by the system because SIGCHLD is ignored.
bool shell_has_ended(pid_t pid, int *status) {
  int ws = 0;
  const pid_t w = osl_sys::wait_child(pid, &ws, WNOHANG);
  if (w == pid) *status = ws;
  return w != 0;
}

// Reads into buf (room bytes) what lies in the pipe fd right now, and nothing that arrives
// later: the caller's answer once the shell has ended, when only a background child can still
// be writing. Returns the bytes read.
size_t read_queued(int fd, char *buf, size_t room) {
  int queued = 0;
  if (ioctl(fd, FIONREAD, &queued) != 0 || queued <= 0) return 0;
  size_t want = static_cast<size_t>(queued) < room ? static_cast<size_t>(queued) : room;
  size_t got = 0;
  while (got < want) {
    const ssize_t n = osl_sys::read_some(fd, buf + got, want - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

using osl_command::Run;

// Why a bounded run should end now: kTimedOut at the limit, kStopped once a watched stop signal
// is pending (stoppable runs only), else kDone. *wait_ms gets the next slice to wait.
Run cut_now(osl_sys::Deadline *limit, bool stoppable, int32_t *wait_ms) {
  if (stoppable && osl_signal::stop_pending()) return Run::kStopped;
  *wait_ms = limit->wait_ms(kShellCheckMs);
  return *wait_ms == 0 ? Run::kTimedOut : Run::kDone;
}

// Waits for the shell pid to end (its wait status in *status): for ever without a limit, else
// until the limit or a stop; kDone when it ended.
Run await_shell(pid_t pid, bool bounded, bool stoppable, osl_sys::Deadline *limit, int *status) {
  if (!bounded) {
    int ws = 0;
    if (osl_sys::wait_child(pid, &ws, 0) == pid) *status = ws;
    return Run::kDone;
  }
  while (!shell_has_ended(pid, status)) {
    int32_t wait_ms = 0;
    const Run cut = cut_now(limit, stoppable, &wait_ms);
    if (cut != Run::kDone) return cut;
    poll(nullptr, 0, wait_ms);
  }
  return Run::kDone;
}

}  // namespace

namespace osl_command {

Run capture(const char *cmd, char *buf, size_t size, int64_t limit_ms, int *status,
            bool stoppable) {
  const bool bounded = limit_ms >= 0;
  stoppable = stoppable && bounded;
  osl_sys::Deadline limit(limit_ms);
  int ws = -1;  // neither an exit nor a signal: no status known
  if (status == nullptr) status = &ws;
  *status = -1;
  if (buf == nullptr) size = 0;
  if (stoppable && osl_signal::stop_pending()) {
    errno = EINTR;
    return Run::kStopped;
  }
  int fds[2] = {-1, -1};
  // With standard output closed the write end may itself be descriptor 1, which the dup2 in
  // the child would leave close-on-exec: it is moved above the standard three first.
  if (buf != nullptr && pipe2(fds, O_CLOEXEC) == 0) fds[1] = above_std(fds[1]);
  pid_t pid = -1;
  // No pipe without a buffer: one would have to be drained to spare the command SIGPIPE, and a
  // background child that inherits it would hold the caller until that child ends.
  const bool started = (buf == nullptr || fds[1] >= 0) &&
                       spawn_shell(cmd, buf == nullptr ? kDiscardOutput : fds[1], bounded, &pid);
  if (!started) {
    const int err = errno;
    if (fds[0] >= 0) close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
    osl_log_warn("popen() error!\r\n");
    errno = err;
    return Run::kNotStarted;
  }
  if (fds[1] >= 0) close(fds[1]);

  if (size > 0) memset(buf, 0, size);
  size_t got = 0;
  bool shell_ended = false;
  Run cut = Run::kDone;
  // Looked at before every read, not only when the pipe is quiet: a background child that
  // writes without pause would otherwise keep the pipe busy and hide the shell's end.
  while (got < size && !(shell_ended = shell_has_ended(pid, status))) {
    int32_t wait_ms = 0;
    if ((cut = cut_now(&limit, stoppable, &wait_ms)) != Run::kDone) break;
    osl_sys::Deadline slice(wait_ms);
    const int ready = osl_sys::wait_fd(fds[0], POLLIN, slice);
    if (ready < 0) break;
    if (ready == 0) continue;
    const ssize_t n = osl_sys::read_some(fds[0], buf + got, size - got);
    if (n <= 0) break;  // the end of the output: every writer has closed the pipe
    got += static_cast<size_t>(n);
  }
  if (shell_ended) got += read_queued(fds[0], buf + got, size - got);
  // Output beyond size stays unread; the command may see EPIPE if it writes more.
  if (fds[0] >= 0) close(fds[0]);
  if (!shell_ended && cut == Run::kDone) cut = await_shell(pid, bounded, stoppable, &limit, status);
  if (cut == Run::kDone) return Run::kDone;
  // The group outlives its leader while any member lives, so its id is not reused meanwhile;
  // the shell itself is killed too, in case it left the group.
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  int killed = 0;
  if (osl_sys::wait_child(pid, &killed, 0) == pid) *status = killed;
  errno = cut == Run::kStopped ? EINTR : ETIMEDOUT;
  return cut;
}

}  // namespace osl_command

extern "C" {

int32_t osl_excute(const char *cmd, char *buf, int32_t size) {
  if (cmd == nullptr || cmd[0] == '\0') return 0;
  if (size <= 0) buf = nullptr;
  return osl_command::capture(cmd, buf, size > 0 ? static_cast<size_t>(size) : 0, -1) ==
                 osl_command::Run::kDone
             ? 0
             : -1;
}

int32_t osl_excute_timed(const char_t *cmd, char_t *buf, int32_t size, int32_t limit_ms,
                         int32_t *status) {
  if (status != nullptr) *status = -1;
  if (buf != nullptr && size > 0) buf[0] = '\0';
  if (cmd == nullptr || cmd[0] == '\0') {
    errno = EINVAL;
    return -1;
  }
  // One byte is kept for the terminator; a buffer with no room beyond it takes no output.
  char *out = buf != nullptr && size > 1 ? buf : nullptr;
  int ws = -1;
  const osl_command::Run run =
      osl_command::capture(cmd, out, out != nullptr ? static_cast<size_t>(size) - 1 : 0,
                           limit_ms, &ws, true);
  if (out != nullptr) out[size - 1] = '\0';
  if (status != nullptr) {
    *status = WIFEXITED(ws) ? WEXITSTATUS(ws) : WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : -1;
  }
  return run == osl_command::Run::kDone ? 0 : -1;
}

}  // extern "C"
