// Helpers shared by the test suites: private temporary directories and capture of stdout.
#ifndef OSL_TEST_UTIL_H
#define OSL_TEST_UTIL_H

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace osltest {

// A directory made with mkdtemp under $TMPDIR (or /tmp), removed with its contents at scope end.
class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/osltest.XXXXXX";
    char buf[4096];
    snprintf(buf, sizeof buf, "%s", tmpl.c_str());
    if (mkdtemp(buf) != nullptr) path_ = buf;
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      if (system(cmd.c_str()) != 0) { /* best effort */ }
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Redirects descriptor 1 into a temporary file between start() and stop(); stop() returns what
// was written. stdout's buffer is flushed at both ends.
class StdoutCapture {
 public:
  void start() {
    fflush(stdout);
    char tmpl[] = "/tmp/osltest.out.XXXXXX";
    fd_ = mkstemp(tmpl);
    unlink(tmpl);
    saved_ = dup(1);
    dup2(fd_, 1);
  }
  std::string stop() {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    std::string out;
    lseek(fd_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd_);
    return out;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
};

// The real wall clock, for stand-in gettimeofday() definitions to fall through to (the
// system's gettimeofday is the one they replace).
inline int real_gettimeofday(struct timeval *tv) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
  return 0;
}

// Keeps TZ as it was before the test and puts it back, with tzset(), when it ends.
class SavedTz {
 public:
  SavedTz() {
    const char *tz = getenv("TZ");
    had_ = tz != nullptr;
    if (had_) saved_ = tz;
  }
  ~SavedTz() {
    if (had_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  SavedTz(const SavedTz &) = delete;
  SavedTz &operator=(const SavedTz &) = delete;

 private:
  bool had_ = false;
  std::string saved_;
};

// Counts this process's open descriptors (the directory's own included); -1 if unreadable.
inline int open_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

// The whole content of the file at path, or "<missing>" when it cannot be opened.
inline std::string read_file(const std::string &path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<missing>";
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

// Creates or empties the file at path and writes text into it; false when that failed.
inline bool write_file(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

// True when a directory entry named path exists (a dangling symbolic link counts).
inline bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Changes the working directory for one scope and goes back at its end.
class CwdGuard {
 public:
  explicit CwdGuard(const std::string &dir) {
    if (getcwd(old_, sizeof old_) == nullptr) old_[0] = '\0';
    ok_ = chdir(dir.c_str()) == 0;
  }
  ~CwdGuard() {
    if (old_[0] != '\0' && chdir(old_) != 0) { /* nothing better to do */ }
  }
  CwdGuard(const CwdGuard &) = delete;
  CwdGuard &operator=(const CwdGuard &) = delete;
  bool ok() const { return ok_; }

 private:
  char old_[4096];
  bool ok_ = false;
};

}  // namespace osltest

#endif
