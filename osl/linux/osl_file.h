/*
 * osl_file.h - files by path and by handle.
 *
 * A file handle is a void* whose value is the open descriptor plus 1, so descriptor 0 is a valid
 * handle and null means no file. The handle belongs to whoever opened it and is released with
 * osl_file_close. Positions and sizes are 64-bit on every target (the large-file calls are used
 * on the 32-bit board too). Results are those of the system calls underneath, reduced to 0/-1
 * where stated; the reason stays in the calling thread's errno, nothing is printed or logged or
 * retried (copy, move and the line reader only resume reads and writes a signal interrupted),
 * and no call keeps state. Compiles as C99 and C++17.
 */
#ifndef OSL_FILE_H
#define OSL_FILE_H

#include <stdint.h>

#include "osl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Kind of a directory entry. */
typedef enum EDirNodeType {
  DFTYPE_NULL = 0, /* no kind */
  DFTYPE_FILE = 1, /* regular file */
  DFTYPE_DIR = 2,  /* directory */
  DFTYPE_LINK = 3  /* symbolic link */
} EDirNodeType;

/* What osl_file_get_info reports about a path. */
typedef struct SFileNodeInfo {
  uint32_t modify_utc; /* last modification, seconds since 1970-01-01 00:00 UTC */
  int64_t size;        /* bytes */
} SFileNodeInfo;

/* Description of one directory entry (declared for callers; no call of the layer fills it). */
typedef struct SDirNodeInfo {
  EDirNodeType type;   /* kind of entry */
  uint32_t modify_utc; /* last modification, seconds since 1970-01-01 00:00 UTC */
  int64_t size;        /* bytes */
} SDirNodeInfo;

/* Open modes of osl_file_open, also the permission modes of osl_file_chmod. */
#define OSL_FILE_READ 1      /* open: read only, never creates; chmod: 0444 */
#define OSL_FILE_CREATE 2    /* open: read/write, created 0664 when missing, emptied; chmod: 0774 */
#define OSL_FILE_READWRITE 4 /* open: read/write, created 0664 when missing, kept; chmod: 0774 */

/* ---- operations on paths ---- */

/* rename(srcfile, dstfile): 0 done (an existing dstfile is replaced), -1 otherwise. */
int32_t osl_file_rename(const char *srcfile, const char *dstfile);

/* Copies the content of srcfile into dstfile through a 4096-byte buffer, keeping holes between
 * regular files (dstfile created 0664 less umask, or emptied; an existing dstfile keeps its
 * permissions): 0 when all was copied, -1 when either file cannot be opened, srcfile is a
 * directory, dstfile is srcfile itself, or a read or write fails part-way (dstfile then holds
 * what was written). In the first three cases dstfile is left untouched. */
int32_t osl_file_copy(const char *srcfile, const char *dstfile);

/* Moves srcfile to dstfile as rename(2) does (an existing dstfile is replaced); across file
 * systems a regular file or symbolic link is copied (holes, mode, times, owner where permitted),
 * flushed, and only the file copied is removed. 0 when done; -1 with errno (EISDIR, EXDEV for a
 * directory or special file across, EINVAL when both name one file, not one entry named twice,
 * EBUSY when srcfile kept changing or was replaced meanwhile), both names then as they were
 * (the exceptions, and the rest, in docs/design.md). */
int32_t osl_file_mv(const char_t *srcfile, const char_t *dstfile);

/* unlink(file): 0 done, -1 otherwise. */
int32_t osl_file_delete(const char *file);

/* 0 when file exists and is a regular file, following symbolic links; -1 when it is missing,
 * cannot be examined, or is anything else (directory, device, pipe, dangling link).
 * Note the inverted yes/no: 0 means yes. */
int32_t osl_file_exist(const char *file);

/* Describes file without following a symbolic link (a link reports its own size and time):
 * 0 on success with *node filled when node is not null, -1 when the path cannot be examined
 * (node untouched). */
int32_t osl_file_get_info(const char *file, SFileNodeInfo *node);

/* Sets file's modification time to modify_utc seconds since 1970 UTC (up to 2106, on the board
 * too), leaving the access time as it was: 0 or -1. */
int32_t osl_file_set_modify_utc(const char *file, uint32_t modify_utc);

/* Sets file's permissions: mode 1 gives 0444, modes 2 and 4 give 0774, any other mode changes
 * nothing. A failure is not reported. */
void osl_file_chmod(const char *file, int32_t mode);

/* ---- operations on a handle ---- */

/* Opens file with mode 1, 2 or 4 (see OSL_FILE_*; position 0, no append, no close-on-exec):
 * the handle, owned by the caller, or null when nothing was opened (including any other mode). */
void *osl_file_open(const char *file, int32_t mode);

/* Closes the handle's descriptor; a null handle does nothing. */
void osl_file_close(void *fp);

/* Moves the position to pos relative to base (0 start, 1 current, 2 end; any other base moves
 * nothing, errno EINVAL). Neither the new position nor a failure is reported; check with
 * osl_file_tell. */
void osl_file_seek(void *fp, int64_t pos, int32_t base);

/* The current position in bytes from the start, -1 on failure (a null handle). */
int64_t osl_file_tell(void *fp);

/* One read of at most size bytes into buf: the count read, 0 at end of file, -1 on failure
 * (also for a negative size). */
int32_t osl_file_read(void *fp, void *buf, int32_t size);

/* One write of size bytes from buf: the count written (possibly fewer), -1 on failure (also for
 * a negative size). */
int32_t osl_file_write(void *fp, const void *buf, int32_t size);

/* Reads one line into buf, without its newline, terminated, at most size bytes written; a
 * longer line is cut to size - 1 characters, a zero byte ends the text, the rest of the line is
 * dropped. Returns the bytes the line took, newline included (> strlen(buf) + 1 when cut), 0 at
 * end of file, -1 with errno. Signals do not cut it; nothing past the newline is consumed. */
int32_t osl_file_gets(void *fp, char_t *buf, int32_t size);

/* 1 when the position equals the file's size, 0 when not (also beyond the end), -1 when the
 * size cannot be read (a null handle). The position is left where it was. */
int32_t osl_file_eof(void *fp);

#ifdef __cplusplus
}
#endif

#endif /* OSL_FILE_H */
