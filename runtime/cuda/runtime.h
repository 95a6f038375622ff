// The thin layer over the vendor CUDA runtime: the legacy launch calls on top
// of cudaLaunchKernel, cudaThreadSynchronize, the CTA tracker with allocation
// bounds from our own table of cudaMalloc results, the call trace and fault
// injection of the CPU device runtime, and kernel times. Everything else is
// the vendor's. Created on first use (registration runs before main) and
// never destroyed, so exit handlers can always reach it. Calls are serialised
// by one lock; the programs call from one host thread.
#pragma once

#include <cuda_runtime_api.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "allocation_table.h"
#include "common/tracker_calls.h"
#include "kernel_times.h"

namespace gpu_runtime::cuda {

/// Largest argument block a launch may set up, as on the CPU device.
inline constexpr std::size_t kMaxArgumentBytes = 4096;

class Runtime {
 public:
  static Runtime& get();

  cudaError_t malloc(void** ptr, std::size_t size);
  cudaError_t free(void* ptr);
  cudaError_t memcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);
  cudaError_t thread_synchronize();
  cudaError_t get_last_error();
  cudaError_t get_device_count(int* count);
  cudaError_t get_device_properties(cudaDeviceProp* prop, int device);
  cudaError_t set_device(int device);
  cudaError_t configure_call(dim3 grid, dim3 block, std::size_t shared, cudaStream_t stream);
  cudaError_t setup_argument(const void* arg, std::size_t size, std::size_t offset);
  cudaError_t launch(const void* entry);
  cudaError_t set_cta_tracker(void* base, int element_size, const int start[4], const int end[4]);
  cudaError_t flush_cta_tracker();

  void** register_fat_binary(void* image);
  void unregister_fat_binary(void** handle);
  void register_function(void** handle, const char* host_entry, char* device_fun, const char* device_name,
                         int thread_limit, uint3* tid, uint3* bid, dim3* block_dim, dim3* grid_dim, int* warp_size);
  void register_var(void** handle, char* host_var, char* device_address, const char* device_name, int ext,
                    std::size_t size, int constant, int global);

 private:
  Runtime();
  static void at_exit();

  struct PendingLaunch {
    dim3 grid, block;
    std::size_t shared = 0;
    cudaStream_t stream = nullptr;
    std::vector<std::pair<std::size_t, std::size_t>> args;  ///< (offset, size) in set-up order
    std::vector<unsigned char> bytes;
  };

  /// Records a non-zero status as the last error and returns it.
  cudaError_t finish(cudaError_t status);
  /// `p` for the trace: {"alloc": i, "offset": o}, null, or "unknown".
  std::string describe(const void* p) const;
  /// One side of a copy for the trace: a device address, "host" or null.
  std::string describe_side(const void* p, bool device) const;
  /// Whether a copy side on the device lies in a known allocation but runs past its end.
  bool overruns(const void* p, std::size_t count) const;
  /// FNV-1a digest of the `count` bytes a successful copy left at `dst`.
  std::string copied_digest(void* dst, const void* src, std::size_t count, bool dst_device, bool src_device);
  /// False only when the vendor's description of the kernel's parameters
  /// shows that the set-up arguments are not exactly those parameters.
  bool arguments_fit(const void* entry, const PendingLaunch& launch);

  std::mutex mu_;
  AllocationTable memory_;
  std::map<const void*, std::string> kernel_names_;  ///< host entry -> mangled device name
  gpu_runtime::common::TrackerCalls tracker_;
  std::vector<PendingLaunch> configured_;
  KernelTimes times_;
  cudaError_t last_error_ = cudaSuccess;
};

}  // namespace gpu_runtime::cuda
