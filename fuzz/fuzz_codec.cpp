// URL encoders and decoders on arbitrary bytes: decoding what an encoder wrote gives the input
// back where the rules promise it, every output is terminated inside its size (guards after
// it stay intact), a cut output is a prefix of the full one, and decoders read only their input.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "osl_url.h"

namespace {

// An output buffer of exactly `room` bytes followed by a guard.
struct Out {
  explicit Out(size_t room) : room(room), bytes(room + 16, static_cast<char>(FUZZ_GUARD_BYTE)) {}
  char *data() { return bytes.data(); }
  void check_guard() const {
    for (size_t i = room; i < bytes.size(); ++i) {
      FUZZ_CHECK(static_cast<unsigned char>(bytes[i]) == FUZZ_GUARD_BYTE);
    }
  }
  size_t room;
  std::vector<char> bytes;
};

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

void check_form(const std::vector<char> &in, int32_t room) {
  const int32_t n = static_cast<int32_t>(in.size());
  if (n == 0) return;
  // Full room: three bytes per input byte and the terminator always suffice.
  Out full(3 * in.size() + 1);
  const int32_t len = osl_url_encode(in.data(), n, full.data(), static_cast<int32_t>(full.room));
  full.check_guard();
  FUZZ_CHECK(len > 0 && full.data()[len] == '\0' && strlen(full.data()) == static_cast<size_t>(len));
  for (int32_t i = 0; i < len; ++i) {
    const char c = full.data()[i];
    FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               strchr(".-_*+%", c) != nullptr);
    if (c == '%') FUZZ_CHECK(i + 2 < len && is_hex(full.data()[i + 1]) && is_hex(full.data()[i + 2]));
  }
  // Both decoders give the input back.
  std::vector<char> strict(full.data(), full.data() + len + 1);
  const int32_t back = url_decode(strict.data(), len);
  FUZZ_CHECK(back == n && memcmp(strict.data(), in.data(), in.size()) == 0 && strict[back] == '\0');
  Out lenient(in.size() + 1);
  const int32_t back2 = osl_url_decode(full.data(), len, lenient.data(), n + 1);
  lenient.check_guard();
  FUZZ_CHECK(back2 == n && memcmp(lenient.data(), in.data(), in.size()) == 0);

  // Any room: terminated inside it, a prefix of the full encoding; 0 means an escape did not
  // fit, and then what stands in the buffer is still a terminated prefix.
  Out cut(static_cast<size_t>(room));
  const int32_t got = osl_url_encode(in.data(), n, cut.data(), room);
  cut.check_guard();
  const size_t clen = strnlen(cut.data(), cut.room);
  FUZZ_CHECK(clen < cut.room);
  FUZZ_CHECK(got == 0 || static_cast<size_t>(got) == clen);
  FUZZ_CHECK(strncmp(cut.data(), full.data(), clen) == 0);
  if (room > len) FUZZ_CHECK(got == len);
}

void check_component(const std::string &text, int32_t room) {
  std::vector<char> in(text.c_str(), text.c_str() + text.size() + 1);
  const size_t n = text.size();
  Out full(3 * n + 1);
  const int32_t len = osl_url_encode_component(in.data(), -1, full.data(), static_cast<int32_t>(full.room));
  full.check_guard();
  FUZZ_CHECK(len >= 0 && full.data()[len] == '\0' && strlen(full.data()) == static_cast<size_t>(len));
  for (int32_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(full.data()[i]);
    FUZZ_CHECK(c >= 0x21 && c <= 0x7E && strchr(" +;/?:@&=$,{}[]\"", c) == nullptr);
  }
  // "%" is kept as it is, so the strict decoder gives the text back when it holds no "%".
  if (text.find('%') == std::string::npos) {
    std::vector<char> strict(full.data(), full.data() + len + 1);
    const int32_t back = url_decode(strict.data(), len);
    FUZZ_CHECK(static_cast<size_t>(back) == n && memcmp(strict.data(), text.data(), n) == 0);
  } else {
    FUZZ_CHECK(static_cast<size_t>(len) >= n);
  }
  Out cut(static_cast<size_t>(room));
  const int32_t got = osl_url_encode_component(in.data(), 0, cut.data(), room);
  cut.check_guard();
  FUZZ_CHECK(got >= 0 && static_cast<size_t>(got) < cut.room && cut.data()[got] == '\0');
  FUZZ_CHECK(strncmp(cut.data(), full.data(), static_cast<size_t>(got)) == 0);
  // Cut only before the first item (one byte, or a three-byte escape) that would not fit with
  // the terminator: never inside an escape.
  size_t boundary = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t item = (c < 0x21 || c > 0x7E || strchr("+;/?:@&=$,{}[]\"", c) != nullptr) ? 3 : 1;
    if (boundary + item > static_cast<size_t>(room) - 1) break;
    boundary += item;
  }
  FUZZ_CHECK(static_cast<size_t>(got) == boundary);
}

void check_decoders(const std::string &text, int32_t urllen, int32_t room) {
  // Lenient: input terminated exactly; output inside its room whatever urllen says.
  std::vector<char> in(text.c_str(), text.c_str() + text.size() + 1);
  Out out(static_cast<size_t>(room));
  const int32_t got = osl_url_decode(in.data(), urllen, out.data(), room);
  out.check_guard();
  FUZZ_CHECK(got >= 0 && got < room && out.data()[got] == '\0');
  FUZZ_CHECK(got <= static_cast<int32_t>(text.size()));
  if (urllen >= 0) FUZZ_CHECK(got <= urllen);
  // Without "%" and "+" nothing is decoded: a plain copy, cut to the room and urllen.
  if (text.find_first_of("%+") == std::string::npos) {
    const size_t want = std::min<size_t>(std::min<size_t>(text.size(), room - 1),
                                         urllen < 0 ? 0 : static_cast<size_t>(urllen));
    FUZZ_CHECK(static_cast<size_t>(got) == want && memcmp(out.data(), text.data(), want) == 0);
  }

  // Strict, in place over the len bytes: the byte after them is never written, and a result
  // shorter than len is terminated.
  const int32_t len = static_cast<int32_t>(text.size());
  std::vector<char> place(text.begin(), text.end());
  place.push_back(static_cast<char>(FUZZ_GUARD_BYTE));
  const int32_t back = url_decode(place.data(), len);
  FUZZ_CHECK(back >= 0 && back <= len && place[len] == static_cast<char>(FUZZ_GUARD_BYTE));
  FUZZ_CHECK(back == len || place[back] == '\0');
  if (text.find_first_of("%+") == std::string::npos) {
    FUZZ_CHECK(back == len && memcmp(place.data(), text.data(), text.size()) == 0);
  }
  // htoi on two hexadecimal digits is their value.
  if (text.size() >= 2 && is_hex(text[0]) && is_hex(text[1])) {
    const char two[3] = {text[0], text[1], '\0'};
    FUZZ_CHECK(htoi(text.data()) == strtol(two, nullptr, 16));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int32_t room = fdp.ConsumeIntegralInRange<int32_t>(1, 48);
  const int32_t urllen = fdp.ConsumeIntegralInRange<int32_t>(-2, 300);
  std::vector<char> bytes = fdp.ConsumeRemainingBytes<char>();
  const std::string all(bytes.begin(), bytes.end());
  const std::string text = all.substr(0, all.find('\0'));

  check_form(bytes, room);
  check_component(text, room);
  check_decoders(text, urllen, room);
  return 0;
}
