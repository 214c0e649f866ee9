/* The tracked pool: blocks carved from a buffer of your own, with a leak report at the end
 * listing every block still live, and the pool's high-water mark.
 *
 *   cc -std=c99 pool_leaks.c $(pkg-config --cflags --libs --static wanradio-osl) -o pool_leaks
 *   ./pool_leaks
 *
 * Exits 0 when the report shows exactly the one block left live on purpose, 1 otherwise. */
#include <osl/osl_mem.h>

#include <stdio.h>
#include <string.h>

struct report {
  int blocks;
  int64_t bytes;
};

static void leaked(void *p, int64_t size, const char_t *file, int32_t line, void *param) {
  struct report *r = param;
  (void)file; /* the pool keeps no positions: "" and -1 */
  (void)line;
  printf("  live block %p, %lld bytes: \"%s\"\n", p, (long long)size, (const char *)p);
  r->blocks++;
  r->bytes += size;
}

int main(void) {
  static char_t arena[4096]; /* the pool's bookkeeping lives inside it too */
  struct report r = {0, 0};
  char_t *greeting, *scratch, *kept;
  int64_t mark;
  void *pool = osl_mem_create(arena, (int64_t)sizeof arena, 16);

  if (pool == NULL) return 1;
  greeting = osl_mem_strdup(pool, "hello", __FILE__, __LINE__);
  scratch = osl_mem_alloc(pool, 300, __FILE__, __LINE__, NULL);
  kept = osl_mem_strdup(pool, "forgotten on purpose", __FILE__, __LINE__);
  if (greeting == NULL || scratch == NULL || kept == NULL) return 1;
  memset(scratch, 0, 300);
  scratch = osl_mem_realloc(pool, scratch, 600, __FILE__, __LINE__);
  if (scratch == NULL) return 1;
  osl_mem_free(pool, greeting, __FILE__, __LINE__);
  osl_mem_free(pool, scratch, __FILE__, __LINE__);

  printf("leak report:\n");
  mark = osl_mem_check(pool, leaked, &r);
  printf("%d block(s), %lld bytes live; high-water mark %lld of %d bytes\n", r.blocks,
         (long long)r.bytes, (long long)mark, (int)sizeof arena);
  osl_mem_destroy(pool);
  return r.blocks == 1 && strcmp(kept, "forgotten on purpose") == 0 ? 0 : 1;
}
