// The tool's own habits, kept inside cmd/main: ASCII digit classes for the protocol's bytes and
// the time limit of one exchange, kept on the layer's monotonic clock. Locale-free on purpose.
#ifndef WANRADIO_TOOL_SYS_H
#define WANRADIO_TOOL_SYS_H

#include <stdint.h>

namespace tool {

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }

// 0-15 for a hexadecimal digit in either case, -1 for any other byte.
constexpr int32_t hex_value(int c) {
  return is_digit(c)               ? c - '0'
         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                  : -1;
}

// A time limit of limit_ms on osl_get_mono_ms. While that clock cannot be read it is kept on
// the kernel's tick count (10 ms steps, whole steps only); should that fail too, each wait
// lasts at most 10 ms and counts as that long. errno is kept.
class Deadline {
 public:
  explicit Deadline(int32_t limit_ms);

  // Milliseconds the next wait may last: 0 once the limit is reached.
  int32_t wait_ms();

 private:
  int32_t limit_ms_;
  uint64_t start_ms_;  // 0 once the clock could not be read
  int64_t spent_ms_;   // at least this much has passed
  uint32_t start_tick_;
  bool ticking_;       // start_tick_ was read and the tick count still reads
};

}  // namespace tool

#endif  // WANRADIO_TOOL_SYS_H
