// The tracked pool beside glibc malloc/free. Every pool operation walks the used list, so its
// cost grows with the number of live blocks; the working sets 16, 256 and 4096 show how.
//   pair:  with N blocks live, allocate one more block and release it again.
//   mixed: with N blocks live, replace a random one (release + allocate) or resize it.
// Sizes are 16..128 bytes, drawn once from a fixed seed so that both allocators see the same
// sequence. Times are per iteration: one alloc/free pair, or one mixed step.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <vector>

#include "osl_mem.h"

namespace {

constexpr size_t kSeq = 1 << 14;  // length of the pre-drawn size and slot sequences

struct Draws {
  std::vector<int64_t> sizes;
  std::vector<uint32_t> slots;  // uniform in 0..65535, reduced modulo the working set
  std::vector<uint8_t> kinds;   // 0..2: release + allocate; 3: resize
  Draws() {
    std::mt19937 rng(20240607);
    std::uniform_int_distribution<int64_t> size(16, 128);
    std::uniform_int_distribution<uint32_t> slot(0, 65535), kind(0, 3);
    for (size_t i = 0; i < kSeq; ++i) {
      sizes.push_back(size(rng));
      slots.push_back(slot(rng));
      kinds.push_back(static_cast<uint8_t>(kind(rng)));
    }
  }
};

const Draws& draws() {
  static const Draws d;
  return d;
}

// A pool with generous room, so that fragmentation never makes a request fail.
struct PoolFixture {
  explicit PoolFixture(size_t live) : storage(live * 1024 + (1 << 20)) {
    h = osl_mem_create(storage.data(), static_cast<int64_t>(storage.size()), 8);
  }
  std::vector<char_t> storage;
  void* h;
};

void BM_PoolPair(benchmark::State& state) {
  const size_t live = static_cast<size_t>(state.range(0));
  const Draws& d = draws();
  PoolFixture pool(live);
  for (size_t i = 0; i < live; ++i) osl_mem_alloc(pool.h, d.sizes[i % kSeq], "", 0, nullptr);
  size_t i = 0;
  for (auto _ : state) {
    char* p = static_cast<char*>(osl_mem_alloc(pool.h, d.sizes[i++ % kSeq], "", 0, nullptr));
    if (p == nullptr) {
      state.SkipWithError("pool exhausted");
      break;
    }
    p[0] = 1;
    benchmark::DoNotOptimize(p);
    osl_mem_free(pool.h, p, "", 0);
  }
}

void BM_MallocPair(benchmark::State& state) {
  const size_t live = static_cast<size_t>(state.range(0));
  const Draws& d = draws();
  std::vector<void*> blocks;
  for (size_t i = 0; i < live; ++i) blocks.push_back(malloc(static_cast<size_t>(d.sizes[i % kSeq])));
  size_t i = 0;
  for (auto _ : state) {
    char* p = static_cast<char*>(malloc(static_cast<size_t>(d.sizes[i++ % kSeq])));
    p[0] = 1;
    benchmark::DoNotOptimize(p);
    free(p);
  }
  for (void* b : blocks) free(b);
}

void BM_PoolMixed(benchmark::State& state) {
  const size_t live = static_cast<size_t>(state.range(0));
  const Draws& d = draws();
  PoolFixture pool(live);
  std::vector<void*> blocks;
  for (size_t i = 0; i < live; ++i)
    blocks.push_back(osl_mem_alloc(pool.h, d.sizes[i % kSeq], "", 0, nullptr));
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i % kSeq;
    void*& slot = blocks[d.slots[k] % live];
    const int64_t size = d.sizes[k];
    void* p;
    if (d.kinds[k] < 3) {
      osl_mem_free(pool.h, slot, "", 0);
      p = osl_mem_alloc(pool.h, size, "", 0, nullptr);
    } else {
      p = osl_mem_realloc(pool.h, slot, size, "", 0);
    }
    if (p == nullptr) {
      state.SkipWithError("pool exhausted");
      break;
    }
    static_cast<char*>(p)[0] = 1;
    slot = p;
    ++i;
  }
}

void BM_MallocMixed(benchmark::State& state) {
  const size_t live = static_cast<size_t>(state.range(0));
  const Draws& d = draws();
  std::vector<void*> blocks;
  for (size_t i = 0; i < live; ++i) blocks.push_back(malloc(static_cast<size_t>(d.sizes[i % kSeq])));
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i % kSeq;
    void*& slot = blocks[d.slots[k] % live];
    const size_t size = static_cast<size_t>(d.sizes[k]);
    void* p;
    if (d.kinds[k] < 3) {
      free(slot);
      p = malloc(size);
    } else {
      p = realloc(slot, size);
    }
    static_cast<char*>(p)[0] = 1;
    slot = p;
    ++i;
  }
  for (void* b : blocks) free(b);
}

BENCHMARK(BM_PoolPair)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(BM_MallocPair)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(BM_PoolMixed)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(BM_MallocMixed)->Arg(16)->Arg(256)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
