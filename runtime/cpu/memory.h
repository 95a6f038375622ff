// Device memory of the CPU device: page-backed blocks, so 256-byte aligned
// and zero-filled, up to the device's capacity. Which blocks are live is the
// API shell's table (common/allocation_table.h); calls come under its lock.
// memory.cpp also holds the back end's memory and copy calls (common/back_end.h).
#pragma once

#include <cstddef>

namespace gpu_runtime::cpu {

class DeviceMemory {
 public:
  explicit DeviceMemory(std::size_t capacity) : capacity_(capacity) {}
  DeviceMemory(const DeviceMemory&) = delete;
  DeviceMemory& operator=(const DeviceMemory&) = delete;

  /// A fresh block of `size` bytes, or null when the device memory is exhausted.
  void* map(std::size_t size);

  /// Gives back the block of `size` bytes that map() returned at `base`.
  void unmap(void* base, std::size_t size);

 private:
  const std::size_t capacity_;
  std::size_t used_ = 0;
};

/// The device's memory (16 GiB), made on first use and never destroyed.
DeviceMemory& device_memory();

}  // namespace gpu_runtime::cpu
