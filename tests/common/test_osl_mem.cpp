// Tests of the tracked pool. The pool's in-buffer layout is fixed (header record of 56 bytes at
// the first 16-byte boundary, 16-byte node headers), so the tests read it directly to check the
// list, the search position and the high-water mark after every step.
#include "osl_mem.h"

#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "osl_mem_check.h"
#ifdef OSL_TEST_SHARED_LAYER
// The shared library exports only the public functions, so the pool's private checker is out of
// reach there: its own test is skipped and the model checks go without it.
#define osl_mem_broken_rule(h) ((void)(h), static_cast<const char *>(nullptr))
#endif

namespace {

// ---- reading the documented layout ----

constexpr int64_t kHeaderBytes = 56;
constexpr int64_t kNodeBytes = 16;

template <typename T>
T at(const void* base, size_t off) {
  T v;
  memcpy(&v, static_cast<const char*>(base) + off, sizeof v);
  return v;
}

struct View {
  void* h;
  char* data() const { return at<char*>(h, 0); }
  int64_t capacity() const { return at<int64_t>(h, 8); }
  int32_t align() const { return at<int32_t>(h, 16); }
  char* list() const { return at<char*>(h, 24); }
  char* first() const { return at<char*>(h, 32); }
  char* tail() const { return at<char*>(h, 40); }
  int64_t mark() const { return at<int64_t>(h, 48); }
  uintptr_t m() const { return static_cast<uintptr_t>(align()) - 1; }
  int64_t round(int64_t s) const { return (s + align() - 1) & ~static_cast<int64_t>(align() - 1); }
  int64_t pad() const { return round(kNodeBytes) - kNodeBytes; }
  char* end() const { return data() + capacity(); }

  static int64_t size_of(const char* n) { return at<int64_t>(n, 0); }
  static char* next_of(const char* n) { return at<char*>(n, 8); }
  char* block_of(const char* n) const {
    const uintptr_t a = reinterpret_cast<uintptr_t>(n) + kNodeBytes;
    return const_cast<char*>(n) + (((a + m()) & ~m()) - reinterpret_cast<uintptr_t>(n));
  }
  char* block_end(const char* n) const { return block_of(n) + size_of(n); }
  int64_t off(const void* p) const { return static_cast<const char*>(p) - data(); }
  std::vector<char*> nodes() const {
    std::vector<char*> v;
    for (char* n = list(); n != nullptr && v.size() < 1000000; n = next_of(n)) v.push_back(n);
    return v;
  }
  // Header record and node chain, to prove that a call changed nothing.
  std::string snapshot(bool with_first = true) const {
    std::string s(static_cast<const char*>(h), kHeaderBytes);
    if (!with_first) s.erase(32, 8);
    for (char* n : nodes()) s.append(n, kNodeBytes);
    return s;
  }
};

// A caller buffer starting `skew` bytes past a 16-byte boundary, sized so that the pool gets
// exactly the wanted capacity.
struct Pool {
  Pool(int64_t capacity, int32_t align, size_t skew = 0) {
    storage.assign(static_cast<size_t>(capacity + 16 + kHeaderBytes + align + 16), 0);
    char* base = storage.data();
    base += (16 - reinterpret_cast<uintptr_t>(base) % 16) % 16;
    buf = base + skew;
    // The first creation only tells where the data area begins.
    void* probe = osl_mem_create(buf, capacity + 16 + kHeaderBytes + align, align);
    const int64_t lead = probe == nullptr ? 0 : View{probe}.data() - buf;
    h = osl_mem_create(buf, lead + capacity, align);
    v.h = h;
  }
  std::vector<char> storage;
  char* buf;
  void* h;
  View v;

  void* alloc(int64_t size, int64_t* ms = nullptr) { return osl_mem_alloc(h, size, __FILE__, __LINE__, ms); }
  int64_t free(void* p) { return osl_mem_free(h, p, __FILE__, __LINE__); }
  void* realloc(void* p, int64_t size) { return osl_mem_realloc(h, p, size, __FILE__, __LINE__); }
};

// ---- creation ----

TEST(OslMem, CreateLaysHeaderAndDataArea) {
  alignas(128) static char_t buf[1024];
  struct Case {
    size_t skew;
    int32_t align;
    int64_t header_off;
    int64_t data_off;
  } cases[] = {
      {0, 8, 0, 56},  {0, 16, 0, 64},   {0, 1, 0, 56},  {0, 64, 0, 64},
      {1, 8, 15, 71}, {15, 16, 1, 65},  {8, 32, 8, 88}, {0, 128, 0, 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "skew " << c.skew << " align " << c.align);
    char* start = buf + c.skew;
    const int64_t size = 1000;
    void* h = osl_mem_create(start, size, c.align);
    ASSERT_EQ(static_cast<void*>(start + c.header_off), h);
    View v{h};
    EXPECT_EQ(start + c.data_off, v.data());
    EXPECT_EQ(size - c.data_off, v.capacity());
    EXPECT_EQ(c.align, v.align());
    EXPECT_EQ(nullptr, v.list());
    EXPECT_EQ(nullptr, v.first());
    EXPECT_EQ(nullptr, v.tail());
    EXPECT_EQ(0, v.mark());
  }
}

TEST(OslMem, CreateRefusesBadArguments) {
  alignas(16) static char_t buf[256];
  struct Case {
    char_t* buf;
    int64_t size;
    int32_t align;
    bool ok;
  } cases[] = {
      {nullptr, 256, 8, false}, {buf, 256, 0, false}, {buf, 256, -8, false},
      {buf, 256, 3, false},     {buf, 256, 12, false}, {buf, -1, 8, false},
      {buf, 55, 8, false},      {buf, 56, 8, true},   {buf, 63, 16, false},
      {buf, 64, 16, true},      {buf + 1, 70, 8, false}, {buf + 1, 71, 8, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " align " << c.align);
    void* h = osl_mem_create(c.buf, c.size, c.align);
    EXPECT_EQ(c.ok, h != nullptr);
    if (h != nullptr) {
      // A pool with no capacity refuses every request.
      EXPECT_EQ(0, View{h}.capacity());
      int64_t ms = -1;
      EXPECT_EQ(nullptr, osl_mem_alloc(h, 0, "", 0, &ms));
      EXPECT_EQ(0, ms);
    }
  }
}

// ---- placement, with align 8 over a 16-byte aligned buffer ----

TEST(OslMem, WorkedOffsetsAndMark) {
  Pool pool(1024, 8);
  ASSERT_NE(nullptr, pool.h);
  int64_t ms = 0;
  void* a = pool.alloc(10, &ms);
  EXPECT_EQ(16, pool.v.off(a));
  EXPECT_EQ(32, ms);
  EXPECT_EQ(26, osl_mem_check(pool.h, nullptr, nullptr));

  void* b = pool.alloc(20);
  void* c = pool.alloc(30);
  EXPECT_EQ(48, pool.v.off(b));
  EXPECT_EQ(88, pool.v.off(c));
  EXPECT_EQ(118, osl_mem_check(pool.h, nullptr, nullptr));

  EXPECT_EQ(40, pool.free(b));
  void* d = pool.alloc(8, &ms);
  EXPECT_EQ(48, pool.v.off(d));
  EXPECT_EQ(24, ms);
  EXPECT_EQ(118, osl_mem_check(pool.h, nullptr, nullptr));  // a gap placement below the mark

  EXPECT_EQ(24, pool.free(d));
  EXPECT_EQ(0, pool.free(d));
  EXPECT_EQ(pool.v.tail(), pool.v.nodes().back());
}

TEST(OslMem, RefusesBlockEndingExactlyAtPoolEnd) {
  const int64_t cap = 1024;
  {
    Pool pool(cap, 8);
    int64_t ms = -1;
    EXPECT_EQ(nullptr, pool.alloc(cap - 16, &ms));
    EXPECT_EQ(0, ms);
    EXPECT_EQ(nullptr, pool.v.list());
    void* p = pool.alloc(cap - 17, &ms);
    EXPECT_EQ(16, pool.v.off(p));
    EXPECT_EQ(cap, ms);  // rounded up to 1008, plus the node header
    EXPECT_EQ(nullptr, pool.alloc(0));
  }
  {
    // Behind a first block ending at 32 the next block starts at 48.
    Pool pool(cap, 8);
    ASSERT_NE(nullptr, pool.alloc(10));
    EXPECT_EQ(nullptr, pool.alloc(cap - 48));
    EXPECT_EQ(48, pool.v.off(pool.alloc(cap - 49)));
  }
  {
    // A capacity that is not a multiple of the alignment: the rounded size must still fit.
    Pool pool(100, 8);
    EXPECT_EQ(nullptr, pool.alloc(81));
    void* p = pool.alloc(80);
    ASSERT_NE(nullptr, p);
    EXPECT_LE(pool.v.block_end(pool.v.list()), pool.v.end());
    // Growing the last block in place stops at the same bound.
    EXPECT_EQ(p, pool.realloc(p, 8));
    EXPECT_EQ(nullptr, pool.realloc(p, 84));
    EXPECT_EQ(8, View::size_of(pool.v.list()));
    EXPECT_EQ(p, pool.realloc(p, 80));
    EXPECT_EQ(80, View::size_of(pool.v.list()));
  }
}

TEST(OslMem, ZeroBytesDoubleFreeAndForeignPointers) {
  Pool pool(512, 8);
  int64_t ms = 0;
  void* z = pool.alloc(0, &ms);
  EXPECT_EQ(16, pool.v.off(z));
  EXPECT_EQ(16, ms);
  EXPECT_EQ(0, View::size_of(pool.v.list()));
  void* a = pool.alloc(24);
  EXPECT_EQ(32, pool.v.off(a));

  EXPECT_EQ(40, pool.free(a));
  const std::string before = pool.v.snapshot();
  char local = 0;
  void* bogus[] = {a, nullptr, static_cast<char*>(z) + 8, &local, pool.v.data()};
  for (void* p : bogus) {
    EXPECT_EQ(0, pool.free(p));
    EXPECT_EQ(before, pool.v.snapshot());
  }
  EXPECT_EQ(0, osl_mem_free(nullptr, z, "", 0));
}

TEST(OslMem, FreedHeadIsReusedFromDataStart) {
  Pool pool(1024, 8);
  void* a = pool.alloc(40);
  void* b = pool.alloc(40);
  pool.alloc(40);
  EXPECT_EQ(56, pool.free(a));
  EXPECT_EQ(nullptr, pool.v.first());
  EXPECT_EQ(b, pool.v.block_of(pool.v.list()));
  void* d = pool.alloc(8);
  EXPECT_EQ(16, pool.v.off(d));
  EXPECT_EQ(pool.v.data(), pool.v.first());  // the new head is the search position
}

// The search position skips the packed run before it, even past a gap opened by a shrink,
// until a release steps it back.
TEST(OslMem, SearchPositionRules) {
  Pool pool(1024, 8);
  View& v = pool.v;
  char* blocks[4];
  for (char*& b : blocks) b = static_cast<char*>(pool.alloc(64));
  EXPECT_EQ(16, v.off(blocks[0]));
  EXPECT_EQ(96, v.off(blocks[1]));
  EXPECT_EQ(176, v.off(blocks[2]));
  EXPECT_EQ(256, v.off(blocks[3]));
  EXPECT_EQ(80, v.off(v.first()));  // the node of the second block

  EXPECT_EQ(blocks[0], pool.realloc(blocks[0], 8));  // opens a 40-byte room after block 0
  void* e = pool.alloc(8);
  EXPECT_EQ(336, v.off(e));           // that room lies before the search position
  EXPECT_EQ(160, v.off(v.first()));   // moved on to the third block's node

  EXPECT_EQ(80, pool.free(blocks[1]));
  EXPECT_EQ(0, v.off(v.first()));     // stepped back to the predecessor of the freed node
  void* f = pool.alloc(8);
  EXPECT_EQ(40, v.off(f));
  EXPECT_EQ(0, v.off(v.first()));

  // Releasing a block above the search position leaves it alone.
  EXPECT_EQ(24, pool.free(e));
  EXPECT_EQ(0, v.off(v.first()));
  EXPECT_EQ(240, v.off(v.tail()));
}

// A refused request walks the gaps like any other, whatever its size, so it moves the search
// position past the gap with no room and a following zero-byte request lands after it.
TEST(OslMem, RefusedRequestsAdvanceTheSearchPosition) {
  const int64_t sizes[] = {1000, 1025, INT64_MAX};
  for (int64_t size : sizes) {
    SCOPED_TRACE(size);
    Pool pool(1024, 8);
    View& v = pool.v;
    void* a = pool.alloc(0);
    void* b = pool.alloc(0);
    pool.alloc(0);
    void* x = pool.alloc(8);
    pool.alloc(0);
    ASSERT_EQ(16, v.off(a));
    ASSERT_EQ(64, v.off(x));
    pool.free(b);  // a gap with room 0 after the first block
    pool.free(x);  // a gap with room 8 after the third
    ASSERT_EQ(0, v.off(v.first()));
    int64_t ms = -1;
    EXPECT_EQ(nullptr, pool.alloc(size, &ms));
    EXPECT_EQ(0, ms);
    EXPECT_EQ(32, v.off(v.first()));
    EXPECT_EQ(64, v.off(pool.alloc(0)));
  }
}

TEST(OslMem, AlignmentPaddingOfLargeAlignments) {
  struct Case {
    int32_t align;
    int64_t off, memsize, mark;
  } cases[] = {{16, 16, 32, 26}, {32, 32, 48, 58}, {64, 64, 80, 122}, {4, 16, 28, 26}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.align);
    Pool pool(1024, c.align);
    int64_t ms = 0;
    void* p = pool.alloc(10, &ms);
    EXPECT_EQ(c.off, pool.v.off(p));
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % c.align);
    EXPECT_EQ(c.memsize, ms);
    EXPECT_EQ(c.mark, osl_mem_check(pool.h, nullptr, nullptr));
  }
}

// ---- report and reset ----

struct Seen {
  std::vector<std::pair<void*, int64_t>> blocks;
  int bad_positions = 0;
};

void record(void* p, int64_t size, const char_t* file, int32_t line, void* param) {
  Seen* s = static_cast<Seen*>(param);
  s->blocks.emplace_back(p, size);
  if (file == nullptr || file[0] != '\0' || line != -1) ++s->bad_positions;
}

TEST(OslMem, CheckReportsBlocksInAddressOrderAndResetForgetsThem) {
  Pool pool(1024, 8);
  void* a = pool.alloc(10);
  void* b = pool.alloc(100);
  void* c = pool.alloc(3);
  pool.free(a);
  void* d = pool.alloc(1);  // takes a's place at the front
  Seen seen;
  EXPECT_EQ(pool.v.off(c) + 3, osl_mem_check(pool.h, record, &seen));
  const std::vector<std::pair<void*, int64_t>> want = {{d, 8}, {b, 104}, {c, 8}};
  EXPECT_EQ(want, seen.blocks);
  EXPECT_EQ(0, seen.bad_positions);

  osl_mem_reset(pool.h);
  EXPECT_EQ(0, osl_mem_check(pool.h, nullptr, nullptr));
  EXPECT_EQ(nullptr, pool.v.list());
  EXPECT_EQ(nullptr, pool.v.tail());
  EXPECT_EQ(0, pool.free(b));
  EXPECT_EQ(16, pool.v.off(pool.alloc(50)));
  EXPECT_EQ(66, osl_mem_check(pool.h, nullptr, nullptr));
}

// A callback may release the block it is shown; the walk goes on with the next one.
TEST(OslMem, CheckSurvivesReleaseFromCallback) {
  Pool pool(1024, 8);
  for (int i = 0; i < 5; ++i) pool.alloc(10 + i);
  struct Ctx {
    Pool* pool;
    int calls;
  } ctx{&pool, 0};
  osl_mem_check(
      pool.h,
      [](void* p, int64_t, const char_t*, int32_t, void* param) {
        Ctx* c = static_cast<Ctx*>(param);
        ++c->calls;
        c->pool->free(p);
      },
      &ctx);
  EXPECT_EQ(5, ctx.calls);
  EXPECT_EQ(nullptr, pool.v.list());
}

// ---- resizing and duplication ----

TEST(OslMem, ReallocInPlaceMovingAndFailing) {
  const int64_t cap = 1024;
  Pool pool(cap, 8);
  char* a = static_cast<char*>(pool.realloc(nullptr, 10));  // null behaves as an allocation
  EXPECT_EQ(16, pool.v.off(a));
  EXPECT_EQ(26, osl_mem_check(pool.h, nullptr, nullptr));
  EXPECT_EQ(a, pool.realloc(a, 3));
  EXPECT_EQ(8, View::size_of(pool.v.list()));
  EXPECT_EQ(nullptr, pool.alloc(cap - 16));
  EXPECT_EQ(a, pool.realloc(a, cap - 16));  // the last block may grow to the very end
  EXPECT_EQ(cap - 16, View::size_of(pool.v.list()));
  EXPECT_EQ(26, osl_mem_check(pool.h, nullptr, nullptr));  // growing in place sets no mark
  EXPECT_EQ(nullptr, pool.realloc(a, cap - 15));
  EXPECT_EQ(a, pool.realloc(a, 16));

  // Blocked by a neighbour: the contents move and the old block is released.
  char* b = static_cast<char*>(pool.alloc(16));
  memcpy(a, "0123456789abcdef", 16);
  char* moved = static_cast<char*>(pool.realloc(a, 40));
  ASSERT_NE(nullptr, moved);
  EXPECT_NE(a, moved);
  EXPECT_EQ(0, memcmp(moved, "0123456789abcdef", 16));
  EXPECT_EQ(b, pool.v.block_of(pool.v.list()));
  EXPECT_EQ(0, pool.free(a));

  // No room: null, the block stays where it was with its contents.
  const std::string before = pool.v.snapshot(false);
  EXPECT_EQ(nullptr, pool.realloc(moved, cap));
  EXPECT_EQ(nullptr, pool.realloc(moved, -1));
  EXPECT_EQ(before, pool.v.snapshot(false));
  EXPECT_EQ(0, memcmp(moved, "0123456789abcdef", 16));
}

TEST(OslMem, ReallocOfForeignPointerCopiesNothing) {
  Pool pool(1024, 8);
  char foreign[64];
  memset(foreign, 'X', sizeof foreign);
  char* p = static_cast<char*>(pool.realloc(foreign, 32));
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(16, pool.v.off(p));
  for (int i = 0; i < 32; ++i) ASSERT_EQ(0, p[i]) << i;  // the pool's fresh bytes, untouched
  EXPECT_EQ('X', foreign[0]);
}

TEST(OslMem, NegativeSizesAndNullArguments) {
  Pool pool(1024, 8);
  int64_t ms = -1;
  EXPECT_EQ(nullptr, pool.alloc(-1, &ms));
  EXPECT_EQ(0, ms);
  EXPECT_EQ(nullptr, pool.alloc(INT64_MIN, nullptr));
  EXPECT_EQ(nullptr, pool.alloc(INT64_MAX, &ms));
  EXPECT_EQ(0, ms);
  EXPECT_EQ(nullptr, pool.realloc(nullptr, -5));
  EXPECT_EQ(nullptr, pool.realloc(nullptr, INT64_MAX));
  EXPECT_EQ(nullptr, pool.v.list());
  EXPECT_EQ(nullptr, osl_mem_alloc(nullptr, 8, "", 0, &ms));
  EXPECT_EQ(nullptr, osl_mem_strdup(pool.h, nullptr, "", 0));
  EXPECT_EQ(0, osl_mem_check(nullptr, nullptr, nullptr));
}

TEST(OslMem, StrdupCopiesTextWithTerminator) {
  Pool pool(64, 8);
  char_t* s = osl_mem_strdup(pool.h, "hello", __FILE__, __LINE__);
  ASSERT_NE(nullptr, s);
  EXPECT_STREQ("hello", s);
  EXPECT_EQ(16, pool.v.off(s));
  EXPECT_EQ(8, View::size_of(pool.v.list()));
  // 24 bytes remain behind the next node: 23 characters and their terminator would end exactly
  // at the pool's end.
  EXPECT_EQ(nullptr, osl_mem_strdup(pool.h, "0123456789abcdefghijklm", __FILE__, __LINE__));
  EXPECT_NE(nullptr, osl_mem_strdup(pool.h, "0123456789abcdefghijkl", __FILE__, __LINE__));
}

// ---- the pool's own consistency check ----

template <typename T>
void put(void* base, size_t off, T v) {
  memcpy(static_cast<char*>(base) + off, &v, sizeof v);
}

// Each row breaks one rule of a sound pool (four blocks, one of them in a reused gap); the check
// must name a fault, and must neither loop nor read outside the buffer.
TEST(OslMem, ConsistencyCheckFindsEachBrokenRule) {
#ifdef OSL_TEST_SHARED_LAYER
  GTEST_SKIP() << "the checker is private to the static library";
#endif
  struct Case {
    const char* what;
    void (*spoil)(const View& v, const std::vector<char*>& n);
  } cases[] = {
      {"alignment not a power of two",
       [](const View& v, const std::vector<char*>&) { put<int32_t>(v.h, 16, 12); }},
      {"mark past the capacity",
       [](const View& v, const std::vector<char*>&) { put<int64_t>(v.h, 48, v.capacity() + 1); }},
      {"negative mark",
       [](const View& v, const std::vector<char*>&) { put<int64_t>(v.h, 48, -1); }},
      {"list turns back (a cycle)",
       [](const View&, const std::vector<char*>& n) { put<char*>(n[1], 8, n[0]); }},
      {"list points at itself",
       [](const View&, const std::vector<char*>& n) { put<char*>(n[0], 8, n[0]); }},
      {"block runs into the next node",
       [](const View& v, const std::vector<char*>& n) {
         put<int64_t>(n[0], 0, n[1] - v.block_of(n[0]) + v.align());
       }},
      {"size not a multiple of the alignment",
       [](const View&, const std::vector<char*>& n) { put<int64_t>(n[1], 0, 3); }},
      {"negative size",
       [](const View&, const std::vector<char*>& n) { put<int64_t>(n[1], 0, -8); }},
      {"last block past the pool end",
       [](const View& v, const std::vector<char*>& n) {
         put<int64_t>(n[2], 0, v.round(v.end() - v.block_of(n[2]) + 1));
       }},
      {"node not aligned",
       [](const View&, const std::vector<char*>& n) { put<char*>(n[0], 8, n[1] + 1); }},
      {"list starts below the data area",
       [](const View& v, const std::vector<char*>&) { put<char*>(v.h, 24, v.data() - 16); }},
      {"tail not the last node",
       [](const View& v, const std::vector<char*>& n) { put<char*>(v.h, 40, n[1]); }},
      {"tail null on a non-empty list",
       [](const View& v, const std::vector<char*>&) { put<char*>(v.h, 40, nullptr); }},
      {"search position off the list",
       [](const View& v, const std::vector<char*>& n) { put<char*>(v.h, 32, v.block_of(n[1])); }},
      {"pointer slot not clean",
       [](const View& v, const std::vector<char*>&) { put<uint32_t>(v.h, 28, 1); }},
      {"data area inside the header record",
       [](const View& v, const std::vector<char*>&) {
         put<char*>(v.h, 0, static_cast<char*>(v.h) + 8);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pool pool(1024, 8);
    void* a = pool.alloc(24);
    void* b = pool.alloc(40);
    pool.alloc(8);
    pool.alloc(16);
    pool.free(b);
    pool.alloc(1);  // into b's gap, which puts the search position on the list
    ASSERT_NE(nullptr, a);
    const std::vector<char*> n = pool.v.nodes();
    ASSERT_EQ(4u, n.size());
    ASSERT_STREQ(nullptr, osl_mem_broken_rule(pool.h));
    c.spoil(pool.v, n);
    EXPECT_NE(nullptr, osl_mem_broken_rule(pool.h));
  }
  EXPECT_EQ(nullptr, osl_mem_broken_rule(nullptr));
}

// ---- randomized sequences against a model ----

struct Live {
  int64_t size;   // bytes the caller asked for and may use
  uint8_t seed;   // contents pattern
};

uint8_t pattern(uint8_t seed, int64_t i) { return static_cast<uint8_t>(seed + i * 131); }

void fill(char* p, const Live& b) {
  for (int64_t i = 0; i < b.size; ++i) p[i] = static_cast<char>(pattern(b.seed, i));
}

bool intact(const char* p, int64_t size, uint8_t seed) {
  for (int64_t i = 0; i < size; ++i)
    if (static_cast<uint8_t>(p[i]) != pattern(seed, i)) return false;
  return true;
}

// The pool's own consistency check, then agreement with the model; returns the nodes.
std::vector<char*> check_pool(const View& v, const std::map<char*, Live>& model, int64_t mark) {
  EXPECT_STREQ(nullptr, osl_mem_broken_rule(v.h));
  std::vector<char*> nodes = v.nodes();
  EXPECT_EQ(model.size(), nodes.size());
  for (char* n : nodes) {
    char* b = v.block_of(n);
    auto it = model.find(b);
    if (it == model.end()) {
      ADD_FAILURE() << "unknown block at offset " << v.off(b);
    } else {
      EXPECT_GE(View::size_of(n), it->second.size);
      EXPECT_TRUE(intact(b, it->second.size, it->second.seed)) << "contents at " << v.off(b);
    }
  }
  EXPECT_EQ(mark, osl_mem_check(v.h, nullptr, nullptr));
  return nodes;
}

// True when no gap from the search position on, nor the space after the last block, could have
// taken an adjusted request of `need` bytes.
bool refusal_justified(const View& v, int64_t need) {
  const std::vector<char*> nodes = v.nodes();
  size_t i = 0;
  if (v.first() == nullptr) {
    if (!nodes.empty() && v.block_of(v.data()) + need <= nodes[0]) return false;
  } else {
    while (nodes[i] != v.first()) ++i;
  }
  for (; i + 1 < nodes.size(); ++i)
    if (v.block_of(v.block_end(nodes[i])) + need <= nodes[i + 1]) return false;
  char* node = nodes.empty() ? v.data() : v.block_end(nodes.back());
  char* p = v.block_of(node);
  return p + v.round(need) > v.end() || p + need >= v.end();
}

void run_random(int32_t align, size_t skew, int64_t cap, uint32_t seed, int ops) {
  SCOPED_TRACE(testing::Message() << "align " << align << " skew " << skew << " cap " << cap
                                  << " seed " << seed);
  Pool pool(cap, align, skew);
  ASSERT_NE(nullptr, pool.h);
  const View& v = pool.v;
  ASSERT_EQ(cap, v.capacity());
  std::mt19937 rng(seed);
  auto pick = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };
  auto any_size = [&]() -> int64_t {
    const int64_t r = pick(0, 99);
    if (r < 70) return pick(0, 64);
    if (r < 95) return pick(0, 512);
    return pick(0, cap);
  };
  std::map<char*, Live> model;
  std::vector<char*> gone;  // addresses of released blocks, for bogus releases
  int64_t mark = 0;
  auto live_at = [&](int64_t k) {
    auto it = model.begin();
    std::advance(it, k);
    return it;
  };
  auto placed = [&](char* p, int64_t size) {
    const int64_t reach = v.off(p) + size + v.pad();
    if (reach > mark) mark = reach;
  };
  int successes = 0, failures = 0, moves = 0;

  for (int op = 0; op < ops && !testing::Test::HasFailure(); ++op) {
    SCOPED_TRACE(testing::Message() << "op " << op);
    const int64_t kind = pick(0, 99);
    if (kind < 40 || model.empty()) {  // allocate (sometimes through realloc(null) or strdup)
      const int64_t size = any_size();
      int64_t ms = -1;
      const int64_t how = pick(0, 9);
      char* p;
      std::string text;
      if (how == 0) {
        p = static_cast<char*>(pool.realloc(nullptr, size));
      } else if (how == 1 && size < 600) {
        text.assign(static_cast<size_t>(size), 'q');
        p = osl_mem_strdup(pool.h, text.c_str(), __FILE__, __LINE__);
      } else {
        p = static_cast<char*>(pool.alloc(size, &ms));
      }
      const int64_t want = how == 1 && size < 600 ? size + 1 : size;
      if (p == nullptr) {
        ++failures;
        EXPECT_TRUE(refusal_justified(v, want + v.pad()));
        if (ms != -1) {
          EXPECT_EQ(0, ms);
        }
      } else {
        ++successes;
        if (ms != -1) {
          EXPECT_EQ(v.round(want + v.pad()) + kNodeBytes, ms);
        }
        if (how == 1 && size < 600) {
          EXPECT_EQ(text, std::string(p));
        }
        placed(p, want);
        Live b{want, static_cast<uint8_t>(pick(0, 255))};
        fill(p, b);
        EXPECT_TRUE(model.emplace(p, b).second);
      }
    } else if (kind < 65) {  // resize a live block
      auto it = live_at(pick(0, static_cast<int64_t>(model.size()) - 1));
      char* p = it->first;
      const Live old = it->second;
      const int64_t size = pick(0, 3) == 0 ? any_size() : pick(0, old.size * 2 + 16);
      const std::string before = v.snapshot(false);
      char* node = nullptr;
      for (char* n : v.nodes())
        if (v.block_of(n) == p) node = n;
      ASSERT_NE(nullptr, node);
      const int64_t recorded = View::size_of(node);
      char* limit = View::next_of(node) != nullptr ? View::next_of(node) : v.end();
      const bool in_place = recorded >= size || (size <= cap && p + v.round(size) <= limit);
      char* q = static_cast<char*>(pool.realloc(p, size));
      if (in_place) {
        EXPECT_EQ(p, q);
        EXPECT_EQ(v.round(size), View::size_of(node));
      } else {
        EXPECT_NE(p, q);
      }
      if (q == nullptr) {
        ++failures;
        EXPECT_EQ(before, v.snapshot(false));  // a failed search may only advance `first`
        EXPECT_TRUE(refusal_justified(v, size + v.pad()));
      } else {
        const int64_t keep = size < old.size ? size : old.size;
        EXPECT_TRUE(intact(q, keep, old.seed)) << "contents lost in a resize";
        model.erase(it);
        if (q != p) {
          ++moves;
          placed(q, size);
          gone.push_back(p);
        }
        Live b{size, static_cast<uint8_t>(pick(0, 255))};
        fill(q, b);
        model[q] = b;
      }
    } else if (kind < 95) {  // release a live block
      auto it = live_at(pick(0, static_cast<int64_t>(model.size()) - 1));
      char* node = nullptr;
      for (char* n : v.nodes())
        if (v.block_of(n) == it->first) node = n;
      ASSERT_NE(nullptr, node);
      EXPECT_EQ(View::size_of(node) + kNodeBytes, pool.free(it->first));
      gone.push_back(it->first);
      model.erase(it);
    } else if (kind < 99) {  // release something that is not a live block
      char* p = gone.empty() ? v.data() : gone[static_cast<size_t>(pick(0, gone.size() - 1))];
      if (model.count(p) == 0) {
        const std::string before = v.snapshot();
        EXPECT_EQ(0, pool.free(p));
        EXPECT_EQ(before, v.snapshot());
      }
    } else {
      osl_mem_reset(pool.h);
      model.clear();
      mark = 0;
    }
    check_pool(v, model, mark);
  }
  // The sequence must have exercised both outcomes and the moving resize.
  EXPECT_GT(successes, ops / 10);
  EXPECT_GT(failures, 0);
  EXPECT_GT(moves, 0);
}

TEST(OslMemRandom, LongSequencesKeepInvariantsAndContents) {
  struct Case {
    int32_t align;
    size_t skew;
    int64_t cap;
  } cases[] = {{8, 0, 4096}, {8, 0, 1000},  {16, 3, 6000}, {1, 5, 3001},  {2, 0, 2048},
               {4, 7, 5003}, {32, 1, 4096}, {64, 0, 8192}, {128, 9, 9000}, {8, 0, 600}};
  uint32_t seed = 12345;
  for (const Case& c : cases) {
    run_random(c.align, c.skew, c.cap, seed++, 4000);
    if (testing::Test::HasFailure()) break;
  }
}

}  // namespace
