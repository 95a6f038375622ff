// Kernel times (CUDART_KERNEL_TIMES=<file>): every launch is bracketed by two
// device events, and once the host has waited for the device the file gets
// one JSON line per finished launch: {"kernel": name, "grid": [x, y, z],
// "block": [x, y, z], "ms": time on the device}. Kept out of the call trace so
// that traces of the two builds stay comparable line for line.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdio>
#include <string>
#include <vector>

namespace gpu_runtime::cuda {

class KernelTimes {
 public:
  /// Opens the file named by CUDART_KERNEL_TIMES, if any; a file that cannot
  /// be opened is reported once on standard error and timing stays off.
  KernelTimes();
  KernelTimes(const KernelTimes&) = delete;
  KernelTimes& operator=(const KernelTimes&) = delete;

  bool enabled() const { return file_ != nullptr; }

  /// Before a launch on `stream`: records its start event (null on failure).
  cudaEvent_t start(cudaStream_t stream);

  /// After the launch call: a launch that happened gets its stop event and
  /// waits to be written; one that did not drops its start event.
  void stop(cudaEvent_t started, bool launched, const std::string& kernel, dim3 grid, dim3 block,
            cudaStream_t stream);

  /// Writes every launch recorded so far, waiting for each to finish.
  void flush();

 private:
  struct Launch {
    std::string kernel;
    dim3 grid, block;
    cudaEvent_t start, stop;
  };

  std::FILE* file_ = nullptr;
  std::vector<Launch> pending_;
};

}  // namespace gpu_runtime::cuda
