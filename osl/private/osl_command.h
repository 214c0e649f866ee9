// Shell commands of the layer's services: osl_excute's runs and the network queries' bounded
// runs (nslookup, the board's network-parameter script) start the shell and read what it prints
// in one way. Never installed.
#ifndef OSL_COMMAND_H
#define OSL_COMMAND_H

#include <stddef.h>
#include <stdint.h>

namespace osl_command {

enum class Run { kDone, kNotStarted, kTimedOut, kStopped };

// Runs cmd through /bin/sh -c, zeroes size bytes of buf and reads up to size bytes of the
// command's standard output there. The read ends at size bytes, at the end of the output, or
// once the shell has ended: then what is queued at that moment is taken and nothing after it (a
// child left in the background may keep the pipe open and go on writing). Then the shell is
// waited for. Signals that interrupt the waits are ridden out. A null buf sends the output to
// /dev/null (size is ignored) and makes no pipe. The shell gets no descriptor above 2 and
// ignores SIGTTOU; the caller's handlers are not run in the child.
// limit_ms < 0: no limit; the shell keeps the caller's process group, standard input, signal
// mask and ignored signals. limit_ms >= 0: the shell leads a process group of its own, with
// standard input on /dev/null (a background group that reads the terminal would be stopped),
// the signal mask empty and SIGPIPE and SIGCHLD at their defaults; when it has not ended
// limit_ms after the start (kept on the tick count while the monotonic clock cannot be read), it
// and its whole group are killed and the shell reaped: kTimedOut with errno ETIMEDOUT, buf to be
// ignored. stoppable (bounded runs only): a watched stop signal pending before the start starts
// nothing, one pending meanwhile ends the run as the limit does (seen within 50 ms): kStopped
// with errno EINTR. kNotStarted, with errno from the failed step, is logged at warning level as
// "popen() error!\r\n". A non-null status receives the shell's wait status, or -1 when it has
// none (not started, or reaped by the system because the caller ignores SIGCHLD).
Run capture(const char *cmd, char *buf, size_t size, int64_t limit_ms, int *status = nullptr,
            bool stoppable = false);

}  // namespace osl_command

#endif  // OSL_COMMAND_H
