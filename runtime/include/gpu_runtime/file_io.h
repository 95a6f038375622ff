// Files for the programs and the tools, one way for all: read everything that
// was asked for or say why not, and write a new version of a file under a
// temporary name beside it, renamed over the old one only once every byte is
// written. A failed write therefore never destroys what was there before, and
// leaves no temporary file behind.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

/// Reads up to `bytes` bytes of `f` into `dst`; fewer only where the file
/// ends. Returns the number of bytes read and sets *error to 0, or to the
/// errno of the read that failed (EISDIR when `f` is a directory, EIO, ...):
/// a file that cannot be read is never taken for a short one.
inline size_t freadFully(void* dst, size_t bytes, FILE* f, int* error) {
  errno = 0;
  const size_t got = std::fread(dst, 1, bytes, f);
  *error = 0;
  if (got < bytes && std::ferror(f)) *error = errno != 0 ? errno : EIO;
  return got;
}

/// A file being written under a temporary name in the folder of the file it
/// will become. Plain data; outputOpen fills it in.
struct OutputFile {
  FILE* stream;       ///< where the contents go
  char path[4096];    ///< the file it becomes
  char temp[4096 + 32];
};

namespace gpu_runtime::detail {
inline int output_failed(OutputFile* out, int error) {
  if (out->stream) std::fclose(out->stream);
  out->stream = nullptr;
  ::unlink(out->temp);
  errno = error;
  return error;
}
}  // namespace gpu_runtime::detail

/// Creates a temporary file beside `path` and opens it for writing. An
/// existing `path` keeps its permissions in the new version. Returns the
/// stream, or NULL with errno set when the temporary file cannot be made or
/// `path` is a directory (EISDIR; ENAMETOOLONG for a path longer than
/// OutputFile holds).
///
/// A file-size limit makes the process ignore SIGXFSZ from here on: a write
/// past the limit then fails (EFBIG) and is reported like a full disk,
/// instead of killing the process with the temporary file left behind.
inline FILE* outputOpen(OutputFile* out, const char* path, const char* mode) {
  out->stream = nullptr;
  out->temp[0] = '\0';
  if (std::strlen(path) >= sizeof(out->path)) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  std::strcpy(out->path, path);
  std::signal(SIGXFSZ, SIG_IGN);

  mode_t permissions = 0666;  // less the umask, as fopen would make it
  struct stat old;
  const bool exists = ::stat(path, &old) == 0;
  if (exists && S_ISDIR(old.st_mode)) {
    errno = EISDIR;  // refused now rather than after all the writing
    return nullptr;
  }
  const bool keep_mode = exists && S_ISREG(old.st_mode);
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
    std::snprintf(out->temp, sizeof(out->temp), "%s.%ld-%d.tmp", path, (long)::getpid(), attempt);
    fd = ::open(out->temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, permissions);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    out->temp[0] = '\0';
    return nullptr;
  }
  if (keep_mode) ::fchmod(fd, old.st_mode & 07777);
  out->stream = ::fdopen(fd, mode);
  if (!out->stream) {
    const int error = errno;
    ::close(fd);
    gpu_runtime::detail::output_failed(out, error);
    return nullptr;
  }
  return out->stream;
}

/// Finishes the file: writes out what is buffered, closes it and renames it
/// over the file it becomes. Returns 0, or the errno of the first thing that
/// failed (a write, the close, the rename: ENOSPC, EFBIG, EISDIR, ...), in
/// which case the temporary file is removed and the old file is as it was.
inline int outputCommit(OutputFile* out) {
  FILE* stream = out->stream;
  out->stream = nullptr;
  if (!stream) return gpu_runtime::detail::output_failed(out, EBADF);
  // A write that failed earlier left its errno (every later write fails the
  // same way); otherwise the flush and the close are the last to fail.
  int error = 0;
  if (std::ferror(stream)) error = errno != 0 ? errno : EIO;
  else if (std::fflush(stream) != 0) error = errno != 0 ? errno : EIO;
  if (std::fclose(stream) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  if (error != 0) return gpu_runtime::detail::output_failed(out, error);
  if (std::rename(out->temp, out->path) != 0) return gpu_runtime::detail::output_failed(out, errno);
  out->temp[0] = '\0';
  return 0;
}

/// Gives up on the file: closes and removes the temporary file; the old file
/// is as it was.
inline void outputDiscard(OutputFile* out) {
  if (out->temp[0] != '\0') gpu_runtime::detail::output_failed(out, 0);
  out->temp[0] = '\0';
}

namespace gpu_runtime {

/// The rest of the stream `f` in `bytes`; at most `limit` bytes. Returns 0,
/// the errno of a read that failed, or EFBIG for a stream longer than `limit`.
inline int read_whole_stream(FILE* f, std::string& bytes, size_t limit = size_t{1} << 32) {
  bytes.clear();
  char chunk[1 << 16];
  for (;;) {
    int error = 0;
    const size_t got = freadFully(chunk, sizeof(chunk), f, &error);
    if (error != 0) return error;
    if (got > limit - bytes.size()) return EFBIG;
    bytes.append(chunk, got);
    if (got < sizeof(chunk)) return 0;
  }
}

/// The whole of the file at `path` in `bytes`, or false with `error` saying
/// why not in one phrase that names the file ("cannot open X: No such file
/// or directory", "cannot read X: Is a directory"). A file longer than
/// `limit` bytes is refused ("X is longer than N bytes").
inline bool read_whole_file(const std::string& path, std::string& bytes, std::string& error,
                            size_t limit = size_t{1} << 32) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  const int failed = read_whole_stream(f, bytes, limit);
  std::fclose(f);
  if (failed == EFBIG) error = path + " is longer than " + std::to_string(limit) + " bytes";
  else if (failed != 0) error = "cannot read " + path + ": " + std::strerror(failed);
  return failed == 0;
}

/// Writes `bytes` as the new contents of `path` (temporary file and rename,
/// as outputOpen). False with `error` ("cannot write X: No space left on
/// device") when it cannot; the old file is then as it was.
inline bool write_whole_file(const std::string& path, std::string_view bytes, std::string& error) {
  OutputFile out;
  if (!outputOpen(&out, path.c_str(), "wb")) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), out.stream);
  if (const int failed = outputCommit(&out)) {
    error = "cannot write " + path + ": " + std::strerror(failed);
    return false;
  }
  return true;
}

}  // namespace gpu_runtime
