// What the split probe programs share: copies to and from the device, and
// the lines they print for the tests to read ("status <launch> <sync>",
// "<name>: v v v ...").
#pragma once

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gpu_runtime.h"

template <typename T>
T* device_copy(const std::vector<T>& host) {
  T* p = nullptr;
  cudaMalloc((void**)&p, host.size() * sizeof(T));
  cudaMemcpy(p, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice);
  return p;
}

template <typename T>
std::vector<T> host_copy(const T* device, size_t count) {
  std::vector<T> host(count);
  cudaMemcpy(host.data(), device, count * sizeof(T), cudaMemcpyDeviceToHost);
  return host;
}

// The launch's status (or the error it left), then the synchronisation's.
inline void print_status(cudaError_t launch) {
  const cudaError_t last = cudaGetLastError();
  const cudaError_t sync = cudaThreadSynchronize();
  printf("status %d %d\n", launch != cudaSuccess ? (int)launch : (int)last, (int)sync);
}

inline void print_ints(const char* name, const std::vector<int>& values) {
  printf("%s:", name);
  for (int v : values) printf(" %d", v);
  printf("\n");
}

inline void print_floats(const char* name, const std::vector<float>& values) {
  printf("%s:", name);
  for (float v : values) printf(" %.9g", v);
  printf("\n");
}

// A probe's command line: <scenario> [bx by bz gx gy gz] (one thread if no
// shape is given).
struct ProbeArgs {
  const char* scenario = nullptr;
  dim3 block{1}, grid{1};
  size_t total = 1;  ///< threads in the launch
};

// Reads the command line; on a wrong count prints the usage and exits 2.
inline ProbeArgs probe_args(int argc, char** argv, const char* program) {
  if (argc != 2 && argc != 8) {
    fprintf(stderr, "usage: %s <scenario> [bx by bz gx gy gz]\n", program);
    exit(2);
  }
  ProbeArgs a;
  a.scenario = argv[1];
  if (argc == 8) {
    a.block = dim3(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
    a.grid = dim3(atoi(argv[5]), atoi(argv[6]), atoi(argv[7]));
  }
  a.total = (size_t)a.block.x * a.block.y * a.block.z * a.grid.x * a.grid.y * a.grid.z;
  return a;
}
