// Date text: the lenient reader on arbitrary bytes never reads past its size (the buffer has
// no terminator), agrees with itself on a terminated copy, and reads back exactly what the
// three formatters write, in a zone fixed to UTC; the formatters stay inside their size.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "osl_string.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("TZ", "UTC0", 1);
  tzset();
  return 0;
}

namespace {

typedef char *(*Formatter)(uint32_t, char *, int32_t);

char *time2str(uint32_t utc, char *buf, int32_t size) {
  osl_str_time2str(utc, buf, size);
  return buf;
}

void check_format(Formatter fn, uint32_t utc, int32_t room) {
  // Cut output: terminated inside room, guard untouched, a prefix of the full text.
  std::vector<char> out(static_cast<size_t>(room) + 16, static_cast<char>(FUZZ_GUARD_BYTE));
  fn(utc, out.data(), room);
  for (size_t i = static_cast<size_t>(room); i < out.size(); ++i) {
    FUZZ_CHECK(static_cast<unsigned char>(out[i]) == FUZZ_GUARD_BYTE);
  }
  FUZZ_CHECK(strnlen(out.data(), static_cast<size_t>(room)) < static_cast<size_t>(room));
  char full[64];
  fn(utc, full, sizeof full);
  FUZZ_CHECK(strncmp(full, out.data(), strlen(out.data())) == 0);
  FUZZ_CHECK(strlen(out.data()) == strlen(full) || strlen(out.data()) == static_cast<size_t>(room) - 1);

  // Read back; where time_t is 32 bits, 2^31 and above are times before 1970 and only the
  // plain range is checked.
  const size_t n = strlen(full);
  if (n > 0 && (sizeof(time_t) > 4 || utc < 0x80000000u)) {
    std::vector<char> exact(full, full + n);  // no terminator: the size is the limit
    FUZZ_CHECK(osl_str_str2time(exact.data(), static_cast<int32_t>(n)) == utc);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const uint32_t utc = fdp.ConsumeIntegral<uint32_t>();
  const int32_t room = fdp.ConsumeIntegralInRange<int32_t>(1, 40);
  std::vector<uint8_t> text = fdp.ConsumeRemainingBytes<uint8_t>();

  // Exactly the text's bytes, no terminator: any read past the size is out of bounds.
  std::vector<char> exact(text.begin(), text.end());
  const int32_t n = static_cast<int32_t>(exact.size());
  const uint32_t got = osl_str_str2time(exact.empty() ? nullptr : exact.data(), n);
  if (!exact.empty()) {
    FUZZ_CHECK(memcmp(exact.data(), text.data(), text.size()) == 0);  // only read
    // The same bytes with a terminator after them read the same; a zero byte ends the text.
    std::vector<char> terminated(exact);
    terminated.push_back('\0');
    FUZZ_CHECK(osl_str_str2time(terminated.data(), n + 1) == got);
    const size_t z = strnlen(exact.data(), exact.size());
    FUZZ_CHECK(osl_str_str2time(terminated.data(), static_cast<int32_t>(z)) == got);
    // A trailing separator changes nothing.
    std::vector<char> more(terminated.begin(), terminated.begin() + static_cast<long>(z));
    more.push_back('-');
    more.push_back('\0');
    FUZZ_CHECK(osl_str_str2time(more.data(), static_cast<int32_t>(z) + 1) == got);
  }

  check_format(osl_str_utc2date, utc, room);
  check_format(osl_str_utc2date_wday, utc, room);
  check_format(time2str, utc, room);
  return 0;
}
