// The nslookup answer reader (osl_nslookup) on arbitrary output: an address it accepts stands
// whole on an "Address" line of the text, and output cut anywhere gives the whole output's
// address or none, never another one. A name it passes to the shell holds no shell syntax.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "osl_nslookup.h"

namespace {

// Whether the dotted text of ip stands in text as a word of a line that begins with "Address"
// (case ignored, leading blanks skipped), ended by a blank, a line end or the end of the text.
bool on_address_line(const std::string &text, uint32_t ip) {
  struct in_addr a;
  a.s_addr = ip;
  char dotted[INET_ADDRSTRLEN];
  FUZZ_CHECK(inet_ntop(AF_INET, &a, dotted, sizeof dotted) != nullptr);
  const size_t n = strlen(dotted);
  for (size_t at = text.find(dotted); at != std::string::npos; at = text.find(dotted, at + 1)) {
    if (at + n < text.size() && strchr(" \t\r\n", text[at + n]) == nullptr) continue;
    size_t line = text.find_last_of("\r\n", at);
    line = line == std::string::npos ? 0 : line + 1;
    line = text.find_first_not_of(" ,\t", line);
    if (strncasecmp(text.c_str() + line, "Address", 7) == 0) return true;
  }
  return false;
}

uint32_t read_as(const std::string &text, bool cut, const std::string &host) {
  std::vector<char> out(text.c_str(), text.c_str() + text.size() + 1);  // exact size
  std::vector<char> name(host.c_str(), host.c_str() + host.size() + 1);
  const uint32_t ip = osl_nslookup::address_of(out.data(), cut, name.data());
  FUZZ_CHECK(memcmp(out.data(), text.c_str(), text.size() + 1) == 0);  // only read
  return ip;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  std::string host = fdp.ConsumeRandomLengthString(32);
  host.resize(strlen(host.c_str()));
  const uint16_t cut_at = fdp.ConsumeIntegral<uint16_t>();
  std::string text = fdp.ConsumeRemainingBytesAsString();
  text.resize(strlen(text.c_str()));  // both are read up to their first NUL

  const uint32_t whole = read_as(text, false, host);
  if (whole != 0) FUZZ_CHECK(on_address_line(text, whole));
  // Cut anywhere: the whole output's address, or none; a complete text read as cut loses only
  // its last line.
  const std::string part = text.substr(0, text.empty() ? 0 : cut_at % (text.size() + 1));
  const uint32_t got = read_as(part, true, host);
  FUZZ_CHECK(got == 0 || got == whole);
  if (!text.empty() && text.back() == '\n') FUZZ_CHECK(read_as(text, true, host) == whole);

  if (osl_nslookup::is_plain_hostname(host.c_str())) {
    FUZZ_CHECK(host.find_first_of(" \t\r\n;&|`$()<>'\"\\*?[]{}~#!=%") == std::string::npos);
    FUZZ_CHECK(host[0] != '-');
  }
  return 0;
}
