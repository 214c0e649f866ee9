// The tool's time limit; see tool_sys.h.
#include "tool_sys.h"

#include <errno.h>
#include <sys/times.h>

#include "osl.h"

namespace tool {

namespace {

constexpr int64_t kBlindWaitMs = 10;

// The kernel's tick count (USER_HZ, 100 on every Linux architecture) into *out; false when it
// cannot be read, which shows as a buffer the kernel left unwritten. errno is kept.
bool ticks(uint32_t *out) {
  const int saved = errno;
  struct tms buf;
  buf.tms_utime = static_cast<clock_t>(-1);
  *out = static_cast<uint32_t>(times(&buf));
  errno = saved;
  return buf.tms_utime != static_cast<clock_t>(-1);
}

}  // namespace

Deadline::Deadline(int32_t limit_ms)
    : limit_ms_(limit_ms), start_ms_(osl_get_mono_ms()), spent_ms_(0), start_tick_(0),
      ticking_(ticks(&start_tick_)) {}

int32_t Deadline::wait_ms() {
  if (start_ms_ != 0) {
    const uint64_t now = osl_get_mono_ms();  // 0: the clock cannot be read
    if (now != 0) {
      spent_ms_ = static_cast<int64_t>(now - start_ms_);
    } else {
      start_ms_ = 0;
    }
  }
  uint32_t now_tick;
  if (start_ms_ == 0 && ticking_) {
    if (ticks(&now_tick)) {
      // The first step may come at once: only the steps after it surely passed.
      const uint32_t steps = now_tick - start_tick_;
      const int64_t passed = steps > 0 ? static_cast<int64_t>(steps - 1) * 10 : 0;
      if (passed > spent_ms_) spent_ms_ = passed;
    } else {
      ticking_ = false;
    }
  }
  int64_t left = spent_ms_ >= limit_ms_ ? 0 : limit_ms_ - spent_ms_;
  if (start_ms_ == 0 && !ticking_) {  // no clock at all: the waits keep the limit
    if (left > kBlindWaitMs) left = kBlindWaitMs;
    spent_ms_ += left;
  }
  return static_cast<int32_t>(left);
}

}  // namespace tool
