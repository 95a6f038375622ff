// The CPU device runtime behind the API: memory, device choice, registered
// code, the stream of launches, the tracker, and the host-side call state.
// Created on first use (registration runs before main) and never destroyed,
// so exit handlers and detached workers can always reach it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device.h"
#include "common/tracker_calls.h"
#include "launch_engine.h"
#include "memory.h"
#include "registry.h"

namespace gpu_runtime::cpu {

class Runtime {
 public:
  static Runtime& get();

  cudaError_t malloc(void** ptr, std::size_t size);
  cudaError_t free(void* ptr);
  cudaError_t memcpy(void* dst, const void* src, std::size_t count, int kind);
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
  void register_function(void** handle, const char* host_entry, const char* name);
  void register_var(void** handle, const char* host_var, const char* name, std::size_t size, int constant);
  void attach_region_form(const void* host_entry, gpu_runtime::RegionRunner run, std::size_t args_size);
  void attach_row_form(const void* host_entry, gpu_runtime::RowRunner run, std::size_t args_size);

 private:
  Runtime();
  static void at_exit();

  /// Records a non-zero status as the last error and returns it.
  cudaError_t finish(cudaError_t status);
  /// `p` for the trace: {"alloc": i, "offset": o}, null, or "unknown".
  std::string describe(const void* p) const;

  struct PendingLaunch {
    dim3 grid, block;
    std::size_t shared = 0;
    cudaStream_t stream = nullptr;
    std::size_t args_end = 0;
    std::vector<std::pair<std::size_t, std::size_t>> args;  ///< (offset, size) in set-up order
    std::vector<unsigned char> bytes;
  };

  AllocationTable memory_;
  Registry registry_;
  LaunchEngine engine_;
  gpu_runtime::common::TrackerCalls tracker_;
  std::vector<PendingLaunch> configured_;
  cudaError_t last_error_ = cudaSuccess;
  int current_device_ = 0;
};

}  // namespace gpu_runtime::cpu
