// The record of one kernel launch as the engine runs it: the kernel's entry
// points, the geometry, the argument bytes and the progress of its blocks.
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
  /// How the kernel runs (cpu_forms.h).
  const KernelOps* ops = nullptr;
  /// The kernel's mangled name, for diagnostics.
  const char* name = "";
  /// Whether blocks run through the block function (else a thread at a time).
  bool block_function = false;
  dim3 grid, block;
  std::uint64_t blocks = 0;  ///< grid.x * grid.y * grid.z
  std::uint64_t serial = 0;  ///< place in the stream, from 0
  alignas(16) std::array<unsigned char, common::kMaxArgumentBytes> args{};

  std::atomic<std::uint64_t> next_block{0};  ///< first block not yet taken by a worker
  std::atomic<std::uint64_t> blocks_done{0};
  std::atomic<int> error{0};  ///< first error raised while running, 0 if none
  /// What the profile and the timeline learn of it (launch_activity.h); null when both are off.
  std::shared_ptr<ObservedLaunch> observed;

  /// Records an error found while running; the first one wins. True when
  /// this one did.
  bool raise(int status) {
    int expected = 0;
    return error.compare_exchange_strong(expected, status);
  }

  /// Fails the launch because the threads of `block` disagreed on barriers:
  /// some stopped at the barrier on `line`, others at the one on
  /// `other_line` (0: at the kernel's end). The first such failure of a
  /// launch writes one line on standard error.
  void report_divergence(uint3 block, int line, int other_line);
};

}  // namespace gpu_runtime::cpu
