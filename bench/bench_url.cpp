// URL layout and query-parameter lookup: osl_url_parse on the shapes the log target and callers
// pass, and osl_url_get_param on a parameter near the start, at the end, and absent (the whole
// text is searched), with the numeric form on top. The two encoders on 1 KiB of mixed text,
// beside plain table-driven loops that apply the same rules (the yardstick).
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

// 1 KiB of mixed text: words, digits, spaces, punctuation and UTF-8 bytes, as form values and
// path pieces carry them.
struct Mixed {
  char text[1025];
  Mixed() {
    const char piece[] =
        "name=Zhang San&city=\xE5\x8C\x97\xE4\xBA\xAC (Beijing); tel: +86-10-1234 5678 / ok?"
        " id_42*v.1 {\"a\":[1,2]} 100% done\t\r\n";
    for (size_t i = 0; i < 1024; ++i) text[i] = piece[i % (sizeof piece - 1)];
    text[1024] = '\0';
  }
};

// The yardstick: each rule as a 256-entry table, a plain loop, an output known to be large
// enough (so no room checks), escapes written from a digit table.
struct PlainEncoder {
  enum : unsigned char { kKeep, kPlus, kEscape };
  unsigned char form[256];
  bool component_escapes[256];
  PlainEncoder() {
    for (int c = 0; c < 256; ++c) {
      const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      form[c] = alnum || strchr(".-_*", c) != nullptr ? kKeep : (c == ' ' ? kPlus : kEscape);
      component_escapes[c] =
          c < 0x21 || c > 0x7E || (c != 0 && strchr("+;/?:@&=$,{}[]\"", c) != nullptr);
    }
  }
  int32_t encode_form(const char *in, int32_t n, char *out) const {
    static const char hex[] = "0123456789ABCDEF";
    char *o = out;
    for (int32_t i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(in[i]);
      if (form[c] == kKeep) {
        *o++ = static_cast<char>(c);
      } else if (form[c] == kPlus) {
        *o++ = '+';
      } else {
        o[0] = '%';
        o[1] = hex[c >> 4];
        o[2] = hex[c & 15];
        o += 3;
      }
    }
    *o = '\0';
    return static_cast<int32_t>(o - out);
  }
  int32_t encode_component(const char *in, char *out) const {
    static const char hex[] = "0123456789ABCDEF";
    char *o = out;
    for (; *in != '\0'; ++in) {
      const unsigned char c = static_cast<unsigned char>(*in);
      if (component_escapes[c]) {
        o[0] = '%';
        o[1] = hex[c >> 4];
        o[2] = hex[c & 15];
        o += 3;
      } else {
        *o++ = static_cast<char>(c);
      }
    }
    *o = '\0';
    return static_cast<int32_t>(o - out);
  }
};

// The layer's encoders on the mixed text, as encode(text, out) with room for any result.
constexpr int32_t kOutRoom = 3 * 1024 + 1;
const auto kLayerForm = [](const char *in, char *out) {
  return osl_url_encode(in, 1024, out, kOutRoom);
};
const auto kLayerComponent = [](const char *in, char *out) {
  return osl_url_encode_component(in, 0, out, kOutRoom);
};

// Times encode(text, out) on the mixed text.
template <typename Encode>
void time_encoder(benchmark::State &state, Encode encode) {
  Mixed m;
  char out[kOutRoom];
  for (auto _ : state) {
    benchmark::DoNotOptimize(encode(m.text, out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * 1024);
}

// Times the yardstick plain(text, out) after checking that it gives exactly what the layer's
// encoder layer(text, out) gives.
template <typename Layer, typename Plain>
void time_yardstick(benchmark::State &state, Layer layer, Plain plain) {
  Mixed m;
  char out[kOutRoom];
  char want[kOutRoom];
  const int32_t n = layer(m.text, want);
  if (plain(m.text, out) != n || memcmp(out, want, static_cast<size_t>(n)) != 0) {
    state.SkipWithError("the yardstick does not apply the same rules");
  }
  time_encoder(state, plain);
}

void BM_UrlEncodeForm(benchmark::State &state) { time_encoder(state, kLayerForm); }
BENCHMARK(BM_UrlEncodeForm);

void BM_PlainEncodeForm(benchmark::State &state) {
  const PlainEncoder plain;
  time_yardstick(state, kLayerForm,
                 [&plain](const char *in, char *out) { return plain.encode_form(in, 1024, out); });
}
BENCHMARK(BM_PlainEncodeForm);

void BM_UrlEncodeComponent(benchmark::State &state) { time_encoder(state, kLayerComponent); }
BENCHMARK(BM_UrlEncodeComponent);

void BM_PlainEncodeComponent(benchmark::State &state) {
  const PlainEncoder plain;
  time_yardstick(state, kLayerComponent,
                 [&plain](const char *in, char *out) { return plain.encode_component(in, out); });
}
BENCHMARK(BM_PlainEncodeComponent);

}  // namespace

BENCHMARK_MAIN();
