// The layer's string hot paths beside the C library doing the same work:
//   osl_strcmp_nocase and osl_strncmp_nocase beside strcasecmp and strncasecmp, on texts equal
//   but for case of several lengths and on an early miss;
//   osl_str_snprintf beside snprintf, on the tool's request line, on numbers and on a cut text;
//   osl_str_getval on an nslookup answer and on an HTTP header block.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "osl_string.h"

namespace {

// Two texts of `len` bytes that differ only in ASCII case: the comparison walks all of them.
struct CasePair {
  char a[1024];
  char b[1024];
  explicit CasePair(int64_t len) {
    const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789-_";
    for (int64_t i = 0; i < len; ++i) {
      a[i] = alphabet[i % (sizeof alphabet - 1)];
      b[i] = (a[i] >= 'a' && a[i] <= 'z') ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
    }
    a[len] = '\0';
    b[len] = '\0';
  }
};

void BM_StrcmpNocase(benchmark::State &state) {
  CasePair p(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_strcmp_nocase(p.a, p.b));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StrcmpNocase)->Arg(6)->Arg(16)->Arg(64)->Arg(1000);

void BM_Strcasecmp(benchmark::State &state) {
  CasePair p(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(strcasecmp(p.a, p.b));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Strcasecmp)->Arg(6)->Arg(16)->Arg(64)->Arg(1000);

// The bounded forms, bounded by the length: the same walk plus the count.
void BM_StrncmpNocase(benchmark::State &state) {
  CasePair p(state.range(0));
  const int32_t n = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_strncmp_nocase(p.a, p.b, n));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StrncmpNocase)->Arg(6)->Arg(16)->Arg(64)->Arg(1000);

void BM_Strncasecmp(benchmark::State &state) {
  CasePair p(state.range(0));
  const size_t n = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(strncasecmp(p.a, p.b, n));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Strncasecmp)->Arg(6)->Arg(16)->Arg(64)->Arg(1000);

// wanradio's dispatch: "stop" against "status", a miss at the third byte.
void BM_StrcmpNocaseMiss(benchmark::State &state) {
  char word[] = "status";
  char arg[] = "STOP";
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_strcmp_nocase(word, arg));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StrcmpNocaseMiss);

void BM_StrcasecmpMiss(benchmark::State &state) {
  char word[] = "status";
  char arg[] = "STOP";
  for (auto _ : state) {
    benchmark::DoNotOptimize(strcasecmp(word, arg));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StrcasecmpMiss);

// The request line the tool formats: two strings into a 512-byte buffer.
void BM_StrSnprintfRequestLine(benchmark::State &state) {
  char buf[512];
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        osl_str_snprintf(buf, sizeof buf, "%s %s HTTP/1.1\r\n", "GET", "/zov/lum/info"));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StrSnprintfRequestLine);

void BM_SnprintfRequestLine(benchmark::State &state) {
  char buf[512];
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        snprintf(buf, sizeof buf, "%s %s HTTP/1.1\r\n", "GET", "/zov/lum/info"));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SnprintfRequestLine);

// Numbers: conversion work dominates.
void BM_StrSnprintfNumbers(benchmark::State &state) {
  char buf[128];
  int32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_str_snprintf(buf, sizeof buf, "%d:%u:%08x:%lld", i, 4000000000u,
                                              0xBEEFu, static_cast<long long>(i) * 1000003));
    benchmark::ClobberMemory();
    ++i;
  }
}
BENCHMARK(BM_StrSnprintfNumbers);

void BM_SnprintfNumbers(benchmark::State &state) {
  char buf[128];
  int32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(snprintf(buf, sizeof buf, "%d:%u:%08x:%lld", i, 4000000000u, 0xBEEFu,
                                      static_cast<long long>(i) * 1000003));
    benchmark::ClobberMemory();
    ++i;
  }
}
BENCHMARK(BM_SnprintfNumbers);

// A 200-byte text into 32 bytes: the cut path.
constexpr char kLong[] =
    "a long text that does not fit: the quick brown fox jumps over the lazy dog, the quick brown "
    "fox jumps over the lazy dog, the quick brown fox jumps over the lazy dog and more words";

void BM_StrSnprintfCut(benchmark::State &state) {
  char buf[32];
  const char *text = kLong;  // hidden from the compiler: the cut happens at run time
  benchmark::DoNotOptimize(text);
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_str_snprintf(buf, sizeof buf, "%s", text));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StrSnprintfCut);

void BM_SnprintfCut(benchmark::State &state) {
  char buf[32];
  const char *text = kLong;  // hidden from the compiler: the cut happens at run time
  benchmark::DoNotOptimize(text);
  for (auto _ : state) {
    benchmark::DoNotOptimize(snprintf(buf, sizeof buf, "%s", text));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SnprintfCut);

// What name resolution's fallback reads: the "Address" line after the name in nslookup output.
constexpr char kNslookup[] =
    "Server:\t\t127.0.0.53\n"
    "Address:\t127.0.0.53#53\n"
    "\n"
    "Non-authoritative answer:\n"
    "Name:\tboard.example.net\n"
    "Address: 10.20.30.40\n";

void BM_StrGetvalNslookup(benchmark::State &state) {
  char buf[sizeof kNslookup];
  memcpy(buf, kNslookup, sizeof buf);
  char *from = strstr(buf, "board.example.net");
  char name[] = "Address";
  char value[128];
  const int32_t len = osl_strlen(from);
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_str_getval(from, len, name, value, sizeof value));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StrGetvalNslookup);

// A header block of twelve lines; the looked-up name on the second, the last, or on none.
constexpr char kHeaders[] =
    "HTTP/1.1 200 OK\r\n"
    "Server: lum/2.1\r\n"
    "Date: Mon, 01 Jan 2024 00:00:00 GMT\r\n"
    "Content-Type: application/json\r\n"
    "Cache-Control: no-cache, no-store\r\n"
    "Pragma: no-cache\r\n"
    "X-Request-Id: 5d4c3b2a-1f0e-4d9c-8b7a-6f5e4d3c2b1a\r\n"
    "X-Frame-Options: DENY\r\n"
    "Vary: Accept-Encoding\r\n"
    "Connection: keep-alive\r\n"
    "Keep-Alive: timeout=5\r\n"
    "Content-Length: 42\r\n"
    "\r\n";

void run_getval(benchmark::State &state, const char *key) {
  char buf[sizeof kHeaders];
  memcpy(buf, kHeaders, sizeof buf);
  char name[64];
  snprintf(name, sizeof name, "%s", key);
  char value[128];
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_str_getval(buf, -1, name, value, sizeof value));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof kHeaders - 1));
}

void BM_StrGetvalHeaderEarly(benchmark::State &state) { run_getval(state, "server"); }
BENCHMARK(BM_StrGetvalHeaderEarly);

void BM_StrGetvalHeaderLast(benchmark::State &state) { run_getval(state, "content-length"); }
BENCHMARK(BM_StrGetvalHeaderLast);

void BM_StrGetvalHeaderAbsent(benchmark::State &state) { run_getval(state, "transfer-encoding"); }
BENCHMARK(BM_StrGetvalHeaderAbsent);

}  // namespace

BENCHMARK_MAIN();
