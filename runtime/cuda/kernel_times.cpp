#include "kernel_times.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/trace.h"
#include "vendor.h"

namespace gpu_runtime::cuda {

namespace {

// An event call that failed leaves its status as the vendor's last error;
// clear it so the program's next cudaGetLastError is not about our timing.
bool ok(cudaError_t status) {
  if (status == cudaSuccess) return true;
  __real_cudaGetLastError();
  return false;
}

}  // namespace

KernelTimes::KernelTimes() {
  const char* path = std::getenv("CUDART_KERNEL_TIMES");
  if (!path || !*path) return;
  file_ = std::fopen(path, "w");
  if (!file_)
    std::fprintf(stderr, "gpu runtime: cannot open kernel times file '%s': %s\n", path, std::strerror(errno));
}

cudaEvent_t KernelTimes::start(cudaStream_t stream) {
  cudaEvent_t event = nullptr;
  if (!ok(cudaEventCreate(&event))) return nullptr;
  if (!ok(cudaEventRecord(event, stream))) {
    (void)ok(cudaEventDestroy(event));
    return nullptr;
  }
  return event;
}

void KernelTimes::stop(cudaEvent_t started, bool launched, const std::string& kernel, dim3 grid,
                       dim3 block, cudaStream_t stream) {
  if (!started) return;
  cudaEvent_t stopped = nullptr;
  if (launched && ok(cudaEventCreate(&stopped))) {
    if (ok(cudaEventRecord(stopped, stream))) {
      pending_.push_back(Launch{kernel, grid, block, started, stopped});
      return;
    }
    (void)ok(cudaEventDestroy(stopped));
  }
  (void)ok(cudaEventDestroy(started));
}

void KernelTimes::flush() {
  for (const Launch& l : pending_) {
    float ms = 0;
    if (ok(cudaEventSynchronize(l.stop)) && ok(cudaEventElapsedTime(&ms, l.start, l.stop))) {
      std::fprintf(file_, "{\"kernel\": %s, \"grid\": [%u, %u, %u], \"block\": [%u, %u, %u], \"ms\": %.6f}\n",
                   gpu_runtime::common::json_string(l.kernel).c_str(), l.grid.x, l.grid.y, l.grid.z, l.block.x,
                   l.block.y, l.block.z, static_cast<double>(ms));
    }
    (void)ok(cudaEventDestroy(l.start));
    (void)ok(cudaEventDestroy(l.stop));
  }
  pending_.clear();
  std::fflush(file_);
}

}  // namespace gpu_runtime::cuda
