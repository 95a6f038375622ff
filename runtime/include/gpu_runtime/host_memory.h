// Host buffers for the programs: an allocation that cannot be made is
// reported in the program's own words and ends the program with status 1.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace gpu_runtime::detail {
inline void* host_buffer_or_exit(void* p, size_t bytes, const char* what, const char* message) {
  if (p == nullptr && bytes != 0) {
    std::fprintf(stderr, message, what, bytes);
    std::exit(1);
  }
  return p;
}
}  // namespace gpu_runtime::detail

/// `bytes` of host memory from malloc. When there are none to be had, prints
/// `message` on standard error and exits with status 1; `message` is a printf
/// format given `what` as its first argument (%1$s) and `bytes` as its second
/// (%2$zu). Zero bytes never fail.
inline void* mallocCheck(size_t bytes, const char* what, const char* message) {
  return gpu_runtime::detail::host_buffer_or_exit(std::malloc(bytes), bytes, what, message);
}

/// As mallocCheck, the bytes set to zero (calloc).
inline void* callocCheck(size_t bytes, const char* what, const char* message) {
  return gpu_runtime::detail::host_buffer_or_exit(std::calloc(1, bytes), bytes, what, message);
}
