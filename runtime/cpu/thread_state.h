// What the kernel code of the running GPU thread reads from the runtime when
// it runs a fiber per thread (a block function has all of it as values):
// its indices and its block's shared memory. One per worker thread.
#pragma once

#include "gpu_runtime/types.h"

namespace gpu_runtime::cpu {

struct ThreadState {
  uint3 thread{0, 0, 0};
  uint3 block{0, 0, 0};
  uint3 block_dim{1, 1, 1};
  uint3 grid_dim{1, 1, 1};
  void* shared = nullptr;          ///< the block's static shared memory
  void* dynamic_shared = nullptr;  ///< its extern __shared__ area
};

/// The state of the GPU thread running on this worker.
inline thread_local ThreadState running_thread;

}  // namespace gpu_runtime::cpu
