// The kernel dialect on the CPU device: kernels compile as ordinary C++.
// Built-in indices are per worker thread and switched with each GPU thread's
// fiber; __shared__ arrays are per worker thread, and a worker runs one block
// at a time, so every thread of a block sees the same array.
#pragma once

#include <cmath>

#include "gpu_runtime/types.h"

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
#define __shared__ static __thread
#define __constant__

extern __thread uint3 threadIdx;
extern __thread uint3 blockIdx;
extern __thread uint3 blockDim;
extern __thread uint3 gridDim;

/// Block-wide barrier: no thread of the block passes until all have arrived.
void __syncthreads();

/// The device's approximate base-2 exponential. On the CPU device: exp2f.
inline float __ex2approxf(float x) { return std::exp2f(x); }

/// The device's approximate division. On the CPU device: IEEE division.
inline float __fdividef(float x, float y) { return x / y; }
