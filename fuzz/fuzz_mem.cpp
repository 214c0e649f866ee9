// The tracked memory pool driven by operation sequences: allocations, releases (good, repeated
// and foreign), resizes, copies, resets and reports. After every operation the pool's own
// consistency check must pass (the fuzz build also runs it inside every call), and the live
// blocks must be aligned, inside the caller's buffer, reported in address order with their
// sizes, and still hold what was written in them.
#include <fuzzer/FuzzedDataProvider.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "osl_mem.h"
#include "osl_mem_check.h"

namespace {

constexpr int64_t kNode = 16;    // node header bytes
constexpr int64_t kHeader = 56;  // header record bytes

struct Block {
  char *p;
  int64_t size;  // bytes asked for, all of them the caller's
  unsigned char seed;
};

struct Seen {
  char *p;
  int64_t recorded;
};

void collect(void *p, int64_t size, const char *file, int32_t line, void *param) {
  FUZZ_CHECK(file != nullptr && file[0] == '\0' && line == -1);
  static_cast<std::vector<Seen> *>(param)->push_back({static_cast<char *>(p), size});
}

void fill(const Block &b) {
  for (int64_t i = 0; i < b.size; ++i) b.p[i] = static_cast<char>(b.seed + i);
}

bool intact(const Block &b, int64_t upto) {
  for (int64_t i = 0; i < upto; ++i) {
    if (b.p[i] != static_cast<char>(b.seed + i)) return false;
  }
  return true;
}

struct Pool {
  void *h = nullptr;
  char *start = nullptr;  // caller's buffer
  int64_t size = 0;
  int32_t align = 1;
  std::vector<Block> live;
  int64_t mark = 0;

  std::vector<Seen> report() {
    std::vector<Seen> seen;
    const int64_t m = osl_mem_check(h, collect, &seen);
    FUZZ_CHECK(m >= mark && m <= size);  // the mark only rises (until a reset)
    mark = m;
    FUZZ_CHECK(osl_mem_check(h, nullptr, nullptr) == m);
    return seen;
  }

  int64_t recorded(const char *p) {
    for (const Seen &s : report()) {
      if (s.p == p) return s.recorded;
    }
    return -1;
  }

  // Order, overlap and the header record are the consistency check's; here the blocks are
  // held against the model and the caller's buffer, which the pool itself does not know.
  void check() {
    FUZZ_CHECK(osl_mem_broken_rule(h) == nullptr);
    std::vector<Seen> seen = report();
    FUZZ_CHECK(seen.size() == live.size());
    std::vector<Block> sorted = live;
    std::sort(sorted.begin(), sorted.end(), [](const Block &a, const Block &b) { return a.p < b.p; });
    const char *end = start + size;
    for (size_t i = 0; i < sorted.size(); ++i) {
      const Block &b = sorted[i];
      FUZZ_CHECK(seen[i].p == b.p);
      FUZZ_CHECK(seen[i].recorded >= b.size);
      FUZZ_CHECK(reinterpret_cast<uintptr_t>(b.p) % static_cast<uintptr_t>(align) == 0);
      FUZZ_CHECK(b.p >= static_cast<char *>(h) + kHeader + kNode && b.p + seen[i].recorded <= end);
      FUZZ_CHECK(intact(b, b.size));
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int32_t shift = fdp.ConsumeIntegralInRange<int32_t>(0, 6);
  const size_t offset = fdp.ConsumeIntegralInRange<size_t>(0, 15);
  const int64_t bytes = fdp.ConsumeIntegralInRange<int64_t>(0, 4096);

  // The caller's buffer ends exactly where its allocation ends: an overrun is out of bounds.
  std::vector<char> storage(offset + static_cast<size_t>(bytes));
  Pool pool;
  pool.start = storage.data() + offset;
  pool.size = bytes;
  pool.align = 1 << shift;
  pool.h = osl_mem_create(pool.start, pool.size, pool.align);
  // Too small for the padding, header record and alignment: refused.
  if (pool.h == nullptr) {
    FUZZ_CHECK(pool.size < kHeader + 15 + pool.align);
    return 0;
  }
  FUZZ_CHECK(static_cast<char *>(pool.h) >= pool.start &&
             static_cast<char *>(pool.h) + kHeader <= pool.start + pool.size);
  FUZZ_CHECK(reinterpret_cast<uintptr_t>(pool.h) % 16 == 0);
  pool.check();

  unsigned char seed = 1;
  std::vector<char *> dead;  // released blocks, for repeated and foreign releases
  for (int step = 0; step < 160 && fdp.remaining_bytes() > 0; ++step) {
    const int op = fdp.ConsumeIntegralInRange<int>(0, 9);
    const int64_t want = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<int64_t>(0, 96)
                                           : fdp.ConsumeIntegralInRange<int64_t>(-8, 5000);
    const size_t pick = fdp.ConsumeIntegral<uint16_t>();
    switch (op) {
      case 0:
      case 1:
      case 2: {  // allocate
        int64_t memsize = -1;
        const bool empty = pool.live.empty();
        char *p = static_cast<char *>(osl_mem_alloc(pool.h, want, "fuzz", step, &memsize));
        if (empty) {
          // In an empty pool the block goes right after the first node header at the data area
          // start, and is granted exactly when it ends strictly before the end of the buffer.
          const uintptr_t m = static_cast<uintptr_t>(pool.align) - 1;
          const uintptr_t data_start = (reinterpret_cast<uintptr_t>(pool.h) + kHeader + m) & ~m;
          const uintptr_t first = (data_start + kNode + m) & ~m;
          const int64_t pad = ((kNode + static_cast<int64_t>(m)) & ~static_cast<int64_t>(m)) - kNode;
          const int64_t avail = static_cast<int64_t>(reinterpret_cast<uintptr_t>(pool.start + pool.size)) -
                                static_cast<int64_t>(first);
          const int64_t adj = want + pad;
          const int64_t rounded = (adj + static_cast<int64_t>(m)) & ~static_cast<int64_t>(m);
          const bool fits = want >= 0 && adj < avail && rounded <= avail;
          FUZZ_CHECK((p != nullptr) == fits);
          if (p != nullptr) FUZZ_CHECK(reinterpret_cast<uintptr_t>(p) == first);
        }
        if (p == nullptr) {
          FUZZ_CHECK(memsize == 0);
        } else {
          FUZZ_CHECK(want >= 0);
          Block b{p, want, seed++};
          pool.live.push_back(b);
          fill(b);
          FUZZ_CHECK(memsize == pool.recorded(p) + kNode);
        }
        break;
      }
      case 3:
      case 4: {  // release a live block
        if (pool.live.empty()) break;
        const size_t i = pick % pool.live.size();
        const Block b = pool.live[i];
        const int64_t rec = pool.recorded(b.p);
        FUZZ_CHECK(osl_mem_free(pool.h, b.p, "fuzz", step) == rec + kNode);
        pool.live.erase(pool.live.begin() + static_cast<long>(i));
        dead.push_back(b.p);
        break;
      }
      case 5: {  // release something that is not a live block: nothing changes
        char *p = nullptr;
        if (!dead.empty() && pick % 3 == 0) p = dead[pick % dead.size()];
        if (!pool.live.empty() && pick % 3 == 1) p = pool.live[pick % pool.live.size()].p + 1 + pick % 7;
        bool is_live = false;
        for (const Block &b : pool.live) is_live = is_live || b.p == p;
        if (!is_live) FUZZ_CHECK(osl_mem_free(pool.h, p, "fuzz", step) == 0);
        break;
      }
      case 6:
      case 7: {  // resize a live block, or null (an allocation)
        // A null or released pointer gets a new block (nothing is copied from it).
        const bool from_null = pool.live.empty() || pick % 5 == 0;
        const size_t i = from_null ? 0 : pick % pool.live.size();
        char *foreign = (from_null && !dead.empty() && pick % 2 == 0) ? dead[pick % dead.size()] : nullptr;
        Block old = from_null ? Block{foreign, 0, 0} : pool.live[i];
        char *q = static_cast<char *>(osl_mem_realloc(pool.h, old.p, want, "fuzz", step));
        if (q == nullptr) break;  // the old block stays as it was (checked below)
        FUZZ_CHECK(want >= 0);
        if (!from_null) {
          // The bytes both sizes cover are kept.
          Block moved{q, std::min(old.size, want), old.seed};
          FUZZ_CHECK(intact(moved, moved.size));
          pool.live.erase(pool.live.begin() + static_cast<long>(i));
          if (q != old.p) dead.push_back(old.p);
        }
        Block b{q, want, seed++};
        pool.live.push_back(b);
        fill(b);
        break;
      }
      case 8: {  // copy a text
        std::string s(static_cast<size_t>(want < 0 ? 0 : want % 40), static_cast<char>('a' + step % 26));
        char *q = osl_mem_strdup(pool.h, s.c_str(), "fuzz", step);
        if (q == nullptr) break;
        FUZZ_CHECK(strcmp(q, s.c_str()) == 0);
        Block b{q, static_cast<int64_t>(s.size()) + 1, seed++};
        pool.live.push_back(b);
        fill(b);
        break;
      }
      default: {  // forget everything
        if (pick % 4 != 0) break;
        osl_mem_reset(pool.h);
        for (const Block &b : pool.live) dead.push_back(b.p);
        pool.live.clear();
        pool.mark = 0;
        FUZZ_CHECK(osl_mem_check(pool.h, nullptr, nullptr) == 0);
        break;
      }
    }
    // Released addresses that were handed out again are live, not dead.
    dead.erase(std::remove_if(dead.begin(), dead.end(),
                              [&](char *p) {
                                for (const Block &b : pool.live) {
                                  if (b.p == p) return true;
                                }
                                return false;
                              }),
               dead.end());
    pool.check();
  }
  osl_mem_destroy(pool.h);
  return 0;
}
