// The kernel dialect on the CPU device: kernels compile as ordinary C++.
//
// The built-in indices are per worker thread and private to the translation
// unit that holds the kernels (static): the runtime hands them to that unit's
// kernel entry points (see cpu_forms.h), which set them. Because no other
// code can reach them, the compiler knows a kernel's own stores never change
// them, so a barrier-free kernel inlined into its loop over threads keeps them
// in registers. A barrier switches to other threads of the block on the same
// worker, so __syncthreads keeps the calling thread's index across it.
//
// __shared__ arrays are per worker thread, and a worker runs one block at a
// time, so every thread of a block sees the same array.
#pragma once

#include <cmath>

#include "gpu_runtime/types.h"

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
#define __shared__ static __thread
#define __constant__

[[maybe_unused]] static __thread uint3 threadIdx;
[[maybe_unused]] static __thread uint3 blockIdx;
[[maybe_unused]] static __thread uint3 blockDim;
[[maybe_unused]] static __thread uint3 gridDim;

namespace gpu_runtime {
/// Waits until every thread of the running block has arrived (the runtime's side).
void block_barrier();
}  // namespace gpu_runtime

/// Block-wide barrier: no thread of the block passes until all have arrived.
[[maybe_unused]] static inline void __syncthreads() {
  const uint3 mine = threadIdx;
  gpu_runtime::block_barrier();
  threadIdx = mine;
}

/// The device's approximate base-2 exponential. On the CPU device: exp2f.
inline float __ex2approxf(float x) { return std::exp2f(x); }

/// The device's approximate division. On the CPU device: IEEE division.
inline float __fdividef(float x, float y) { return x / y; }
