#include "kernel_times.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/activity.h"
#include "common/trace.h"
#include "vendor.h"

namespace gpu_runtime::cuda {

namespace activity = common::activity;

namespace {

// An event call that failed leaves its status as the vendor's last error;
// clear it so the program's next cudaGetLastError is not about our timing.
bool ok(cudaError_t status) {
  if (status == cudaSuccess) return true;
  __real_cudaGetLastError();
  return false;
}

std::int64_t nanoseconds(float ms) { return std::llround(static_cast<double>(ms) * 1e6); }

}  // namespace

KernelTimes::KernelTimes() {
  const char* path = std::getenv("CUDART_KERNEL_TIMES");
  if (!path || !*path) return;
  file_ = std::fopen(path, "w");
  if (!file_)
    std::fprintf(stderr, "gpu runtime: cannot open kernel times file '%s': %s\n", path, std::strerror(errno));
}

bool KernelTimes::enabled() const { return file_ != nullptr || activity::enabled(); }

cudaEvent_t KernelTimes::start(cudaStream_t stream) {
  if (!origin_ && activity::enabled()) {
    // The device is idle before its first timed work: the origin completes
    // as it is recorded.
    cudaEvent_t origin = nullptr;
    if (ok(cudaEventCreate(&origin))) {
      if (ok(cudaEventRecord(origin, stream)) && ok(cudaEventSynchronize(origin))) {
        origin_ = origin;
        origin_ns_ = activity::now();
        int device = 0;
        cudaDeviceProp prop;
        if (ok(cudaGetDevice(&device)) && ok(__real_cudaGetDeviceProperties(&prop, device)))
          device_ = std::string("GPU ") + std::to_string(device) + ", " + prop.name;
      } else {
        (void)ok(cudaEventDestroy(origin));
      }
    }
  }
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

std::int64_t KernelTimes::host_time(cudaEvent_t event) {
  float ms = 0;
  if (!origin_ || !ok(cudaEventElapsedTime(&ms, origin_, event))) return -1;
  return origin_ns_ + nanoseconds(ms);
}

void KernelTimes::copied(cudaEvent_t started, std::int64_t began, bool done, common::CopySides sides,
                         std::size_t bytes) {
  std::int64_t start = began, end = activity::now();
  if (started) {
    cudaEvent_t stopped = nullptr;
    float ms = 0;
    if (done && ok(cudaEventCreate(&stopped))) {
      if (ok(cudaEventRecord(stopped, nullptr)) && ok(cudaEventSynchronize(stopped)) &&
          ok(cudaEventElapsedTime(&ms, started, stopped))) {
        const std::int64_t at = host_time(started);
        start = at >= 0 ? at : end - nanoseconds(ms);
        end = start + nanoseconds(ms);
      }
      (void)ok(cudaEventDestroy(stopped));
    }
    (void)ok(cudaEventDestroy(started));
  }
  if (done) activity::copy_finished(sides, bytes, start, end);
}

void KernelTimes::flush() {
  for (const Launch& l : pending_) {
    float ms = 0;
    const bool timed = ok(cudaEventSynchronize(l.stop)) && ok(cudaEventElapsedTime(&ms, l.start, l.stop));
    if (timed && file_) {
      std::fprintf(file_, "{\"kernel\": %s, \"grid\": [%u, %u, %u], \"block\": [%u, %u, %u], \"ms\": %.6f}\n",
                   gpu_runtime::common::json_string(l.kernel).c_str(), l.grid.x, l.grid.y, l.grid.z, l.block.x,
                   l.block.y, l.block.z, static_cast<double>(ms));
    }
    if (activity::enabled()) {
      activity::LaunchRun run;
      run.kernel = l.kernel;
      run.grid = {l.grid.x, l.grid.y, l.grid.z};
      run.block = {l.block.x, l.block.y, l.block.z};
      run.timed = timed;
      const std::int64_t at = timed ? host_time(l.start) : -1;
      run.start = at >= 0 ? at : activity::now();
      run.end = run.start + (timed ? nanoseconds(ms) : 0);
      activity::launch_finished(run);
    }
    (void)ok(cudaEventDestroy(l.start));
    (void)ok(cudaEventDestroy(l.stop));
  }
  pending_.clear();
  if (file_) std::fflush(file_);
}

}  // namespace gpu_runtime::cuda
