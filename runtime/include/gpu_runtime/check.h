// Checked calls: a failed runtime call, launch or timer call prints one line
// naming the source file's base name and line, and ends the program with 1.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __CUDACC__
#include <cuda_runtime.h>
#else
#include "gpu_runtime/host_api.h"
#endif

namespace gpu_runtime {

inline const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

inline void check_call(cudaError_t status, const char* file, int line) {
  if (status == cudaSuccess) return;
  std::fprintf(stderr, "Cuda error in file '%s' in line %i : %s.\n", base_name(file), line,
               cudaGetErrorString(status));
  std::exit(1);
}

inline void check_launch(const char* what, const char* file, int line) {
  const cudaError_t status = cudaGetLastError();
  if (status == cudaSuccess) return;
  std::fprintf(stderr, "Cuda error: %s in file '%s' in line %i : %s.\n", what, base_name(file),
               line, cudaGetErrorString(status));
  std::exit(1);
}

inline void check_timer(int result, const char* file, int line) {
  if (result == 1) return;
  std::fprintf(stderr, "Cut error in file '%s' in line %i.\n", base_name(file), line);
  std::exit(1);
}

}  // namespace gpu_runtime

/// Runtime call whose failure ends the program.
#define CUDA_SAFE_CALL(call) ::gpu_runtime::check_call((call), __FILE__, __LINE__)
/// After a launch: a pending launch error ends the program.
#define CUT_CHECK_ERROR(what) ::gpu_runtime::check_launch((what), __FILE__, __LINE__)
/// Timer call whose result other than 1 ends the program.
#define CUT_SAFE_CALL(call) ::gpu_runtime::check_timer((call), __FILE__, __LINE__)
