// The tracked memory pool. All bookkeeping lives in the caller's buffer: a 56-byte header record
// at its first 16-byte boundary, then the data area (aligned to the pool's alignment) holding a
// 16-byte node header before each used block. Used blocks form a singly linked list in address
// order; every operation walks it. No heap calls; nothing prints.
#include "osl_mem.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "osl_mem_check.h"

namespace {

// Bytes a node header takes in the pool, on every target.
constexpr int64_t kNodeBytes = 16;

struct SMemNode;

// A used block's node header. Pointers sit in 8-byte slots so that the record has the same
// layout on 32- and 64-bit targets; the header is zero-filled first, so the spare half is 0.
struct SMemNode {
  int64_t size;  // recorded size: the request rounded up to the alignment
  union {
    SMemNode *next;  // next used block (higher address), null for the last
    uint64_t next_slot;
  };
};
static_assert(sizeof(SMemNode) == kNodeBytes, "a node header takes 16 bytes");
static_assert(offsetof(SMemNode, next) == 8, "node next at offset 8");

// The pool's header record; the handle is its address.
struct SMemHeader {
  union {
    char_t *buf;  // data area start
    uint64_t buf_slot;
  };
  int64_t size;   // capacity: bytes from buf to the end of the caller's buffer
  int32_t align;  // power of two
  int32_t pad0;
  union {
    SMemNode *list;  // lowest used node, null when empty
    uint64_t list_slot;
  };
  union {
    SMemNode *first;  // gap search starts after this node; null: at buf
    uint64_t first_slot;
  };
  union {
    SMemNode *tail;  // highest used node, null when empty
    uint64_t tail_slot;
  };
  int64_t history_max_size;  // high-water mark, bytes from buf
};
static_assert(sizeof(SMemHeader) == 56, "header record takes 56 bytes");
static_assert(offsetof(SMemHeader, size) == 8 && offsetof(SMemHeader, align) == 16 &&
                  offsetof(SMemHeader, list) == 24 && offsetof(SMemHeader, first) == 32 &&
                  offsetof(SMemHeader, tail) == 40 && offsetof(SMemHeader, history_max_size) == 48,
              "header record field offsets");

// A node header is handled by its byte address and its fields are read through memcpy: with an
// alignment below 8 it need not be aligned for its int64_t field, so it is never dereferenced as
// an SMemNode. The header record stores typed SMemNode pointers; node_addr and node_rec convert
// between the stored form and the byte address (same address, no access).
typedef char_t *NodeAddr;

inline uintptr_t addr(const void *p) { return reinterpret_cast<uintptr_t>(p); }

inline NodeAddr node_addr(SMemNode *n) { return reinterpret_cast<NodeAddr>(n); }
inline SMemNode *node_rec(NodeAddr n) { return reinterpret_cast<SMemNode *>(n); }

inline int64_t node_size(NodeAddr n) {
  int64_t v;
  memcpy(&v, n + offsetof(SMemNode, size), sizeof v);
  return v;
}
inline void set_node_size(NodeAddr n, int64_t v) {
  memcpy(n + offsetof(SMemNode, size), &v, sizeof v);
}
inline NodeAddr node_next(NodeAddr n) {
  SMemNode *v;
  memcpy(&v, n + offsetof(SMemNode, next), sizeof v);
  return node_addr(v);
}
inline void set_node_next(NodeAddr n, NodeAddr next) {
  SMemNode *v = node_rec(next);
  memcpy(n + offsetof(SMemNode, next), &v, sizeof v);
}

inline SMemHeader *header(void *h) { return static_cast<SMemHeader *>(h); }

inline uintptr_t mask(const SMemHeader *hd) { return static_cast<uintptr_t>(hd->align) - 1; }

// Rounds a size up to the alignment. Callers keep size within the capacity, so no overflow.
inline int64_t round_size(const SMemHeader *hd, int64_t size) {
  const int64_t m = hd->align - 1;
  return (size + m) & ~m;
}

// Rounds an address in the data area up to the alignment, keeping the pointer's provenance.
inline char_t *round_addr(const SMemHeader *hd, char_t *p) {
  const uintptr_t m = mask(hd);
  return p + (((addr(p) + m) & ~m) - addr(p));
}

// Address handed to the caller for a node at n.
inline char_t *block_of(const SMemHeader *hd, NodeAddr n) { return round_addr(hd, n + kNodeBytes); }

inline char_t *block_end(const SMemHeader *hd, NodeAddr n) {
  return block_of(hd, n) + node_size(n);
}

inline char_t *pool_end(const SMemHeader *hd) { return hd->buf + hd->size; }

// Signed byte distance to - from (negative when to lies below from).
inline ptrdiff_t distance(const void *from, const void *to) {
  return static_cast<ptrdiff_t>(addr(to) - addr(from));
}

// Room of the gap from e up to the node at s: what a node placed at e could give its block.
inline ptrdiff_t gap_room(const SMemHeader *hd, char_t *e, NodeAddr s) {
  return distance(block_of(hd, e), s);
}

// Zero-fills a node header at n and records size rounded up to the alignment.
inline void place(const SMemHeader *hd, NodeAddr n, int64_t size, NodeAddr next) {
  memset(n, 0, kNodeBytes);
  set_node_size(n, round_size(hd, size));
  set_node_next(n, next);
}

// Node whose block address is p, or null; *pred receives its predecessor (null for the head).
NodeAddr find(const SMemHeader *hd, const void *p, NodeAddr *pred) {
  NodeAddr prev = nullptr;
  if (p != nullptr) {
    for (NodeAddr n = node_addr(hd->list); n != nullptr; prev = n, n = node_next(n)) {
      if (block_of(hd, n) == p) {
        if (pred != nullptr) *pred = prev;
        return n;
      }
    }
  }
  return nullptr;
}

// First fit in the gaps between used blocks, starting after `first`. Gives the new block's
// address or null; the space after the last block is left to the caller.
//
// The search position `first` spares later searches the crowded start of the list. Node and
// block addresses are multiples of the alignment, so every gap's room is one too: a room of at
// most align - 1 bytes is no room at all (a zero-byte request aside). A search moves `first`
// onto a node only while every gap it has passed since its start had no room; from the first
// gap with room on, `first` stays before that gap so the next search sees it again. Releasing
// a block at or before `first` steps it back (osl_mem_free), so freed room is never skipped.
char_t *fit_in_gap(SMemHeader *hd, int64_t size) {
  const ptrdiff_t m = static_cast<ptrdiff_t>(mask(hd));
  NodeAddr n;
  ptrdiff_t passed_room;  // room of the gap just before n; 0 when the search starts at `first`
  if (hd->first == nullptr) {
    if (hd->list == nullptr) return nullptr;
    const ptrdiff_t room = gap_room(hd, hd->buf, node_addr(hd->list));
    if (room >= size) {
      NodeAddr node = hd->buf;
      place(hd, node, size, node_addr(hd->list));
      hd->list = node_rec(node);
      hd->first = node_rec(node);
      return block_of(hd, node);
    }
    passed_room = room;
    n = node_addr(hd->list);
  } else {
    n = node_addr(hd->first);
    passed_room = 0;
  }
  for (NodeAddr s = node_next(n); s != nullptr; n = s, s = node_next(n)) {
    char_t *e = block_end(hd, n);
    const ptrdiff_t room = gap_room(hd, e, s);
    if (passed_room <= m) {  // every gap behind n had no room: start later searches at n
      hd->first = node_rec(n);
      passed_room = room;
    }
    if (room >= size) {
      place(hd, e, size, s);
      set_node_next(n, e);
      return block_of(hd, e);
    }
  }
  return nullptr;
}

// Reads the 8-byte slot at p (a pointer field and its spare half on a 32-bit target).
inline uint64_t slot_at(const void *p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// Runs the consistency check after a mutating call in debug builds (and where OSL_MEM_SELF_CHECK
// is defined, as in the fuzz build); a broken pool stops the program at the call that broke it.
#if !defined(NDEBUG) || defined(OSL_MEM_SELF_CHECK)
constexpr bool kSelfCheck = true;
#else
constexpr bool kSelfCheck = false;
#endif

inline void self_check(const void *h) {
  if (kSelfCheck && osl_mem_broken_rule(h) != nullptr) abort();
}

// osl_mem_alloc for a valid pool and a non-negative size.
void *alloc_in(SMemHeader *hd, int64_t size, int64_t *memsize) {
  // Nothing larger than the capacity fits, and the padding and rounding below could overflow.
  // The gap search still runs: a failed search moves the search position on like any other.
  if (size > hd->size) {
    (void)fit_in_gap(hd, size);
    return nullptr;
  }
  // Room for the padding between a node header and an aligned block (none up to 16).
  size += round_size(hd, kNodeBytes) - kNodeBytes;

  char_t *p = fit_in_gap(hd, size);
  if (p == nullptr) {
    NodeAddr node =
        hd->tail != nullptr ? round_addr(hd, block_end(hd, node_addr(hd->tail))) : hd->buf;
    char_t *end = pool_end(hd);
    if (addr(node) > addr(end) || distance(node, end) < kNodeBytes) return nullptr;
    p = block_of(hd, node);
    if (addr(p) >= addr(end)) return nullptr;
    const ptrdiff_t avail = distance(p, end);
    // The block must end strictly before the end of the pool, and its recorded (rounded) size
    // must not reach past the caller's buffer when the capacity is not a multiple of align.
    if (size >= avail || round_size(hd, size) > avail) return nullptr;
    place(hd, node, size, nullptr);
    if (hd->tail != nullptr) {
      set_node_next(node_addr(hd->tail), node);
    } else {
      hd->list = node_rec(node);
    }
    hd->tail = node_rec(node);
  }
  const int64_t reach = static_cast<int64_t>(distance(hd->buf, p)) + size;
  if (reach > hd->history_max_size) hd->history_max_size = reach;
  if (memsize != nullptr) *memsize = round_size(hd, size) + kNodeBytes;
  return p;
}

}  // namespace

extern "C" {

void *osl_mem_create(char_t *buf, int64_t size, int32_t align) {
  if (buf == nullptr || size < 0 || align <= 0 || (align & (align - 1)) != 0) return nullptr;
  // 64-bit arithmetic so that no step can wrap on a 32-bit target.
  const uint64_t start = addr(buf);
  if (static_cast<uint64_t>(size) > UINTPTR_MAX - start) return nullptr;
  const uint64_t end = start + static_cast<uint64_t>(size);
  const uint64_t hdr = (start + 15) & ~static_cast<uint64_t>(15);
  const uint64_t m = static_cast<uint64_t>(align) - 1;
  const uint64_t data = (hdr + sizeof(SMemHeader) + m) & ~m;
  if (data > end) return nullptr;

  SMemHeader *hd = reinterpret_cast<SMemHeader *>(buf + (hdr - start));
  memset(static_cast<void *>(hd), 0, sizeof *hd);
  hd->align = align;
  hd->buf = buf + (data - start);
  hd->size = static_cast<int64_t>(end - data);
  self_check(hd);
  return hd;
}

void osl_mem_destroy(void *h) { (void)h; }

void osl_mem_reset(void *h) {
  if (h == nullptr) return;
  SMemHeader *hd = header(h);
  hd->list = nullptr;
  hd->first = nullptr;
  hd->tail = nullptr;
  hd->history_max_size = 0;
  self_check(hd);
}

void *osl_mem_alloc(void *h, int64_t size, const char_t *file, int32_t line, int64_t *memsize) {
  (void)file;
  (void)line;
  if (memsize != nullptr) *memsize = 0;
  if (h == nullptr || size < 0) return nullptr;
  void *p = alloc_in(header(h), size, memsize);
  self_check(h);  // a failed search may still have moved the search position
  return p;
}

void *osl_mem_realloc(void *h, void *p, int64_t size, const char_t *file, int32_t line) {
  if (h == nullptr || size < 0) return nullptr;
  SMemHeader *hd = header(h);
  NodeAddr node = find(hd, p, nullptr);
  int64_t old_size = 0;
  if (node != nullptr) {
    old_size = node_size(node);
    if (old_size >= size) {
      set_node_size(node, round_size(hd, size));
      self_check(hd);
      return p;
    }
    if (size <= hd->size) {
      NodeAddr next = node_next(node);
      char_t *limit = next != nullptr ? next : pool_end(hd);
      // Grow in place up to the next node, or up to exactly the end of the pool.
      if (addr(limit) >= addr(p) && round_size(hd, size) <= distance(p, limit)) {
        set_node_size(node, round_size(hd, size));
        self_check(hd);
        return p;
      }
    }
  }
  // Placed before p is released, so the copy never overlaps; on failure p stays as it was.
  void *q = osl_mem_alloc(h, size, file, line, nullptr);
  if (q == nullptr || node == nullptr) return q;
  memcpy(q, p, static_cast<size_t>(old_size));
  osl_mem_free(h, p, file, line);
  return q;
}

char_t *osl_mem_strdup(void *h, const char_t *s, const char_t *file, int32_t line) {
  if (s == nullptr) return nullptr;
  const size_t len = strlen(s);
  char_t *q = static_cast<char_t *>(
      osl_mem_alloc(h, static_cast<int64_t>(len) + 1, file, line, nullptr));
  if (q != nullptr) memcpy(q, s, len + 1);
  return q;
}

int64_t osl_mem_free(void *h, void *p, const char_t *file, int32_t line) {
  (void)file;
  (void)line;
  if (h == nullptr) return 0;
  SMemHeader *hd = header(h);
  NodeAddr pred = nullptr;
  NodeAddr node = find(hd, p, &pred);
  if (node == nullptr) return 0;
  const int64_t given = node_size(node) + kNodeBytes;
  NodeAddr next = node_next(node);
  if (pred == nullptr) {
    hd->list = node_rec(next);
  } else {
    set_node_next(pred, next);
  }
  // Step the search position back so that the next search sees the new gap.
  if (hd->first != nullptr && addr(hd->first) >= addr(node)) hd->first = node_rec(pred);
  if (node_addr(hd->tail) == node) hd->tail = node_rec(pred);
  self_check(hd);
  return given;
}

int64_t osl_mem_check(void *h, PMemCheckCallback pProc, void *param) {
  if (h == nullptr) return 0;
  SMemHeader *hd = header(h);
  if (pProc != nullptr) {
    for (NodeAddr n = node_addr(hd->list); n != nullptr;) {
      pProc(block_of(hd, n), node_size(n), "", -1, param);
      n = node_next(n);  // read after the callback, which may have released the block
    }
  }
  return hd->history_max_size;
}

const char *osl_mem_broken_rule(const void *h) {
  if (h == nullptr) return nullptr;
  const SMemHeader *hd = static_cast<const SMemHeader *>(h);
  const char_t *rec = static_cast<const char_t *>(h);
  if (hd->align <= 0 || (hd->align & (hd->align - 1)) != 0) return "alignment not a power of two";
  const uintptr_t m = mask(hd);
  const uintptr_t lo = addr(hd->buf);
  if ((lo & m) != 0) return "data area not aligned";
  if (lo < addr(h) + sizeof *hd) return "data area overlaps the header record";
  if (hd->size < 0 || static_cast<uint64_t>(hd->size) > UINTPTR_MAX - lo) return "bad capacity";
  const uintptr_t hi = lo + static_cast<uintptr_t>(hd->size);
  if (hd->history_max_size < 0 || hd->history_max_size > hd->size) return "mark outside the pool";
  if (slot_at(rec + offsetof(SMemHeader, buf)) != lo ||
      slot_at(rec + offsetof(SMemHeader, list)) != addr(hd->list) ||
      slot_at(rec + offsetof(SMemHeader, first)) != addr(hd->first) ||
      slot_at(rec + offsetof(SMemHeader, tail)) != addr(hd->tail)) {
    return "header pointer slot not clean";
  }
  // Each node must lie at or past the end of the block before it, so every step leads upward
  // by at least a node header and the walk ends inside the pool.
  uintptr_t floor = lo;
  NodeAddr last = nullptr;
  bool first_seen = hd->first == nullptr;
  for (NodeAddr n = node_addr(hd->list); n != nullptr; n = node_next(n)) {
    const uintptr_t at = addr(n);
    if (at < floor) return last == nullptr ? "list starts below the data area" : "blocks overlap";
    if ((at & m) != 0) return "node not aligned";
    if (at > hi || hi - at < static_cast<uintptr_t>(kNodeBytes)) return "node past the pool end";
    const int64_t size = node_size(n);
    if (size < 0 || (size & (hd->align - 1)) != 0) return "block size not a multiple of align";
    const uintptr_t block = (at + kNodeBytes + m) & ~m;
    if (block < at || block > hi || static_cast<uint64_t>(size) > hi - block) {
      return "block past the pool end";
    }
    if (slot_at(n + offsetof(SMemNode, next)) != addr(node_next(n))) return "node slot not clean";
    if (node_rec(n) == hd->first) first_seen = true;
    floor = block + static_cast<uintptr_t>(size);
    last = n;
  }
  if (node_rec(last) != hd->tail) return "tail is not the last node";
  if (!first_seen) return "search position not on the list";
  return nullptr;
}

}  // extern "C"
