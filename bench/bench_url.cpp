// URL layout and query-parameter lookup: osl_url_parse on the shapes the log target and callers
// pass, and osl_url_get_param on a parameter near the start, at the end, and absent (the whole
// text is searched), with the numeric form on top.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include "osl_url.h"

namespace {

// A private, writable copy of a URL text: the layer's URL calls take char_t*.
struct Text {
  char buf[512];
  explicit Text(const char *s) { snprintf(buf, sizeof buf, "%s", s); }
};

void run_parse(benchmark::State &state, const char *url) {
  Text t(url);
  SUrlInfo info;
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_url_parse(t.buf, &info));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(strlen(url)));
}

void BM_UrlParseUdp(benchmark::State &state) { run_parse(state, "udp://192.168.1.10:9000"); }
BENCHMARK(BM_UrlParseUdp);

void BM_UrlParseFull(benchmark::State &state) {
  run_parse(state, "http://user:pw@service.example.net:8080/zov/cdma/enable?enable=1&id=42");
}
BENCHMARK(BM_UrlParseFull);

void BM_UrlParseFile(benchmark::State &state) { run_parse(state, "file:///var/log/osl/app.log"); }
BENCHMARK(BM_UrlParseFile);

// Eight parameters; names chosen so that a search for one also meets others as substrings.
constexpr char kQuery[] =
    "http://127.0.0.1:8668/zov/lum/info?id=42&session=7f3a9c21&lang=zh-CN&enable=1"
    "&page=3&pagesize=50&sort=name&ts=1700000000123";

void run_param(benchmark::State &state, const char *key) {
  Text t(kQuery);
  char name[64];
  snprintf(name, sizeof name, "%s", key);
  char value[64];
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_url_get_param(t.buf, name, value, sizeof value));
    benchmark::ClobberMemory();
  }
}

void BM_UrlGetParamFirst(benchmark::State &state) { run_param(state, "id"); }
BENCHMARK(BM_UrlGetParamFirst);

void BM_UrlGetParamLast(benchmark::State &state) { run_param(state, "ts"); }
BENCHMARK(BM_UrlGetParamLast);

// "size" occurs only inside "pagesize", where it is rejected: every occurrence is examined.
void BM_UrlGetParamAbsent(benchmark::State &state) { run_param(state, "size"); }
BENCHMARK(BM_UrlGetParamAbsent);

void BM_UrlGetParamUint64(benchmark::State &state) {
  Text t(kQuery);
  char name[] = "ts";
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_url_get_param_uint64(t.buf, name));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_UrlGetParamUint64);

// A bare query string, as a form body arrives.
void BM_UrlGetParamBareQuery(benchmark::State &state) {
  Text t("enable=1");
  char name[] = "enable";
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_url_get_param_int(t.buf, name));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_UrlGetParamBareQuery);

}  // namespace

BENCHMARK_MAIN();
