// The device the CPU runtime reports: its count, compute capability and
// limits. device.cpp also answers the back end's device calls
// (common/back_end.h), the current device among them.
#pragma once

#include "gpu_runtime/cpu_forms.h"
#include "gpu_runtime/types.h"

namespace gpu_runtime::cpu {

struct DeviceLimits {
  static constexpr unsigned kMaxThreadsPerBlock = gpu_runtime::kMaxThreadsPerBlock;
  static constexpr unsigned kMaxBlock[3] = {1024, 1024, 64};
  static constexpr unsigned kMaxGrid[3] = {2147483647u, 65535, 65535};
  static constexpr std::size_t kSharedMemoryPerBlock = 48 * 1024;
  static constexpr std::size_t kGlobalMemory = std::size_t{16} << 30;
};

/// Whether a launch of `grid` x `block` with `shared` bytes of dynamic shared
/// memory fits the device.
bool launch_fits(dim3 grid, dim3 block, std::size_t shared);

/// The properties record of a device of this runtime.
cudaDeviceProp device_properties(int major, int minor, int workers);

}  // namespace gpu_runtime::cpu
