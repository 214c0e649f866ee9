// Shell commands: osl_excute, osl_excute_timed and the runner they share with the network queries. A command runs
// as /bin/sh -c through posix_spawn; its output comes back over a pipe, read until the buffer is
// full, the output ends or the shell has ended, with the limit kept on the layer's Deadline.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "osl.h"
#include "osl_command.h"
#include "osl_log.h"
#include "osl_sys.h"

namespace {

constexpr int32_t kShellCheckMs = 50;  // how often a running command's end is looked for

constexpr int kDiscardOutput = -1;  // spawn_shell: standard output on /dev/null

// Starts /bin/sh -c cmd with its standard output on out_fd, or on /dev/null for kDiscardOutput.
// Standard input, error, the signal mask and dispositions stay the caller's; own_group instead
// makes it the leader of a new process group with standard input on /dev/null, the mask empty
// and SIGPIPE and SIGCHLD at their defaults. False, with errno set, when it could not be started.
bool spawn_shell(const char *cmd, int out_fd, bool own_group, pid_t *pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  int err = posix_spawn_file_actions_init(&actions);
  if (err == 0 && (err = posix_spawnattr_init(&attr)) != 0) {
    posix_spawn_file_actions_destroy(&actions);
  }
  if (err != 0) {
    errno = err;
    return false;
  }
  char sh[] = "sh";
  char dash_c[] = "-c";
  char *argv[] = {sh, dash_c, const_cast<char *>(cmd), nullptr};  // posix_spawn writes none
  err = out_fd == kDiscardOutput
                ? posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0)
                : posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  if (own_group) {
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    if (err == 0) {
      err = posix_spawnattr_setflags(
          &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    if (err == 0) err = posix_spawnattr_setpgroup(&attr, 0);
    if (err == 0) err = posix_spawnattr_setsigmask(&attr, &none);
    if (err == 0) err = posix_spawnattr_setsigdefault(&attr, &defaults);
    if (err == 0) err = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (err == 0) err = posix_spawn(pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) errno = err;
  return err == 0;
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

// Waits for the shell pid to end (its wait status in *status): for ever without a limit, else
// until limit expires; false when the limit came first.
bool await_shell(pid_t pid, bool bounded, osl_sys::Deadline *limit, int *status) {
  if (!bounded) {
    int ws = 0;
    if (osl_sys::wait_child(pid, &ws, 0) == pid) *status = ws;
    return true;
  }
  while (!shell_has_ended(pid, status)) {
    const int32_t wait_ms = limit->wait_ms(kShellCheckMs);
    if (wait_ms == 0) return false;
    poll(nullptr, 0, wait_ms);
  }
  return true;
}

}  // namespace

namespace osl_command {

Run capture(const char *cmd, char *buf, size_t size, int64_t limit_ms, int *status) {
  const bool bounded = limit_ms >= 0;
  osl_sys::Deadline limit(limit_ms);
  int ws = -1;  // neither an exit nor a signal: no status known
  if (status == nullptr) status = &ws;
  *status = -1;
  if (buf == nullptr) size = 0;
  int fds[2] = {-1, -1};
  // With standard output closed the write end may itself be descriptor 1, which the dup2 in
  // the child would leave close-on-exec: move it above the standard three first.
  if (buf != nullptr && pipe2(fds, O_CLOEXEC) == 0 && fds[1] <= 2) {
    const int moved = fcntl(fds[1], F_DUPFD_CLOEXEC, 3);
    close(fds[1]);
    fds[1] = moved;
  }
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
  bool late = false;
  // Looked at before every read, not only when the pipe is quiet: a background child that
  // writes without pause would otherwise keep the pipe busy and hide the shell's end.
  while (got < size && !(shell_ended = shell_has_ended(pid, status))) {
    const int32_t wait_ms = limit.wait_ms(kShellCheckMs);
    if (wait_ms == 0) {
      late = true;
      break;
    }
    struct pollfd p = {fds[0], POLLIN, 0};
    int ready = poll(&p, 1, wait_ms);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    const ssize_t n = osl_sys::read_some(fds[0], buf + got, size - got);
    if (n <= 0) break;  // the end of the output: every writer has closed the pipe
    got += static_cast<size_t>(n);
  }
  if (shell_ended) got += read_queued(fds[0], buf + got, size - got);
  // Output beyond size stays unread; the command may see EPIPE if it writes more.
  if (fds[0] >= 0) close(fds[0]);
  if (!shell_ended && !late) late = !await_shell(pid, bounded, &limit, status);
  if (!late) return Run::kDone;
  // The group outlives its leader while any member lives, so its id is not reused meanwhile.
  kill(-pid, SIGKILL);
  int killed = 0;
  if (osl_sys::wait_child(pid, &killed, 0) == pid) *status = killed;
  errno = ETIMEDOUT;
  return Run::kTimedOut;
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
                           limit_ms, &ws);
  if (out != nullptr) out[size - 1] = '\0';
  if (status != nullptr) {
    *status = WIFEXITED(ws) ? WEXITSTATUS(ws) : WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : -1;
  }
  return run == osl_command::Run::kDone ? 0 : -1;
}

}  // extern "C"
