// The file handles of osl_file.h: the open descriptor plus 1, so that descriptor 0 is a valid
// handle and null means no file. Private to the layer.
#ifndef OSL_FILE_HANDLE_H
#define OSL_FILE_HANDLE_H

#include <stdint.h>

namespace osl_file {

// The descriptor of a handle; null gives -1, which every call rejects with EBADF.
inline int fd_of(void *fp) { return static_cast<int>(reinterpret_cast<intptr_t>(fp) - 1); }
inline void *handle_of(int fd) { return reinterpret_cast<void *>(static_cast<intptr_t>(fd) + 1); }

}  // namespace osl_file

#endif  // OSL_FILE_HANDLE_H
