// The record of one kernel launch as the engine runs it: the kernel's forms,
// the geometry, the argument bytes and the progress of its blocks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "common/api_shell.h"
#include "gpu_runtime/cpu_forms.h"
#include "gpu_runtime/types.h"

namespace gpu_runtime::cpu {

struct ObservedLaunch;

struct Launch {
  /// The kernel's thread form (KernelThunk), which every kernel has.
  const KernelOps* ops = nullptr;
  /// Runs a whole block region by region, when the kernel has that form (RegionThunk).
  RegionRunner run_regions = nullptr;
  /// Runs runs of blocks side by side, when the kernel has that form (RowThunk).
  RowRunner run_rows = nullptr;
  dim3 grid, block;
  std::uint64_t blocks = 0;  ///< grid.x * grid.y * grid.z
  std::uint64_t serial = 0;  ///< place in the stream, from 0
  alignas(16) std::array<unsigned char, common::kMaxArgumentBytes> args{};

  std::atomic<std::uint64_t> next_block{0};  ///< first block not yet taken by a worker
  std::atomic<std::uint64_t> blocks_done{0};
  std::atomic<int> error{0};  ///< first error raised while running, 0 if none
  /// What the profile and the timeline learn of it (launch_activity.h); null when both are off.
  std::shared_ptr<ObservedLaunch> observed;

  /// Records an error found while running; the first one wins.
  void raise(int status) {
    int expected = 0;
    error.compare_exchange_strong(expected, status);
  }
};

}  // namespace gpu_runtime::cpu
