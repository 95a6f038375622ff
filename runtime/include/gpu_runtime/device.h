// The kernel dialect on the CPU device. Kernel sources compile as C++ with
// clang and the kernel compiler's pass (compiler/pass, driven by gpucc),
// which gives every kernel a block function: all threads of a block as
// loops over the regions between its barriers.
//
// What the dialect turns into, and who gives it meaning:
// - threadIdx, blockIdx, blockDim, gridDim read their fields through calls
//   to __gpu_<name>_<x|y|z>(). In a block function the pass replaces them
//   by the thread loops' counters and the block's place; code that runs a
//   fiber per thread calls the runtime, which knows the running thread.
// - __syncthreads() and its counting forms pass their source line, which a
//   report of threads disagreeing on barriers names.
// - __shared__ marks a variable the pass places in the block's shared
//   memory; an unsized extern __shared__ array is the dynamic shared memory
//   the launch asked for.
// - __global__ marks a kernel for the pass.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>

#include "gpu_runtime/types.h"

#if !defined(__clang__)
#error "kernel sources build with clang and the kernel compiler's pass: use gpucc"
#endif

extern "C" {
#define GPU_BUILTIN_READS(name)                                           \
  unsigned __gpu_##name##_x(void) __attribute__((const, nothrow, leaf)); \
  unsigned __gpu_##name##_y(void) __attribute__((const, nothrow, leaf)); \
  unsigned __gpu_##name##_z(void) __attribute__((const, nothrow, leaf));
GPU_BUILTIN_READS(thread_idx)
GPU_BUILTIN_READS(block_idx)
GPU_BUILTIN_READS(block_dim)
GPU_BUILTIN_READS(grid_dim)
#undef GPU_BUILTIN_READS

void __gpu_syncthreads(int line) __attribute__((convergent, nothrow));
int __gpu_syncthreads_count(int predicate, int line) __attribute__((convergent, nothrow));
int __gpu_syncthreads_and(int predicate, int line) __attribute__((convergent, nothrow));
int __gpu_syncthreads_or(int predicate, int line) __attribute__((convergent, nothrow));
}

#ifdef GPU_MEMCHECK
// Tells the kernel compiler to check every access of kernel code (gpucc --memcheck).
extern "C" __attribute__((weak)) const int __gpu_memcheck_build = 1;
#endif

namespace gpu_runtime::dialect {

// One built-in index: reads of .x, .y, .z are calls the pass understands.
#define GPU_BUILTIN_TYPE(Type, name)                                                      \
  struct Type {                                                                           \
    __declspec(property(get = get_x)) unsigned x;                                         \
    __declspec(property(get = get_y)) unsigned y;                                         \
    __declspec(property(get = get_z)) unsigned z;                                         \
    static unsigned get_x() { return __gpu_##name##_x(); }                                \
    static unsigned get_y() { return __gpu_##name##_y(); }                                \
    static unsigned get_z() { return __gpu_##name##_z(); }                                \
    operator uint3() const { return uint3{get_x(), get_y(), get_z()}; }                   \
    operator dim3() const { return dim3(get_x(), get_y(), get_z()); }                     \
  };
GPU_BUILTIN_TYPE(ThreadIdx, thread_idx)
GPU_BUILTIN_TYPE(BlockIdx, block_idx)
GPU_BUILTIN_TYPE(BlockDim, block_dim)
GPU_BUILTIN_TYPE(GridDim, grid_dim)
#undef GPU_BUILTIN_TYPE

}  // namespace gpu_runtime::dialect

[[maybe_unused]] static constexpr gpu_runtime::dialect::ThreadIdx threadIdx{};
[[maybe_unused]] static constexpr gpu_runtime::dialect::BlockIdx blockIdx{};
[[maybe_unused]] static constexpr gpu_runtime::dialect::BlockDim blockDim{};
[[maybe_unused]] static constexpr gpu_runtime::dialect::GridDim gridDim{};
[[maybe_unused]] static constexpr int warpSize = 32;

#define __global__ __attribute__((annotate("gpu.kernel"), convergent))
#define __device__ __attribute__((convergent))
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
#define __shared__ __attribute__((annotate("gpu.shared")))
#define __constant__
#define __restrict__ __restrict
#define __launch_bounds__(...)

/// Block-wide barrier: no thread of the block passes until all have arrived.
#define __syncthreads() __gpu_syncthreads(__LINE__)
/// Barriers that also return how many threads of the block passed a
/// non-zero predicate, whether all did, whether any did.
#define __syncthreads_count(predicate) __gpu_syncthreads_count((predicate), __LINE__)
#define __syncthreads_and(predicate) __gpu_syncthreads_and((predicate), __LINE__)
#define __syncthreads_or(predicate) __gpu_syncthreads_or((predicate), __LINE__)

/// Memory fences: the CPU device's threads share one coherent memory.
__device__ inline void __threadfence() { std::atomic_thread_fence(std::memory_order_seq_cst); }
__device__ inline void __threadfence_block() { std::atomic_thread_fence(std::memory_order_seq_cst); }

/// The device's approximate base-2 exponential. On the CPU device: exp2f.
__device__ inline float __ex2approxf(float x) { return std::exp2f(x); }

/// The device's approximate division. On the CPU device: IEEE division.
__device__ inline float __fdividef(float x, float y) { return x / y; }

// Atomics on global and shared memory, relaxed as on a GPU; each returns
// the old value.
namespace gpu_runtime::dialect {
template <typename T>
inline std::atomic_ref<T> atomic(T* address) {
  return std::atomic_ref<T>(*address);
}
template <typename T, typename Op>
inline T atomic_update(T* address, Op op) {
  std::atomic_ref<T> a(*address);
  T old = a.load(std::memory_order_relaxed);
  while (!a.compare_exchange_weak(old, op(old), std::memory_order_relaxed)) {
  }
  return old;
}
}  // namespace gpu_runtime::dialect

#define GPU_ATOMIC_ARITHMETIC(T)                                                                                      \
  __device__ inline T atomicAdd(T* a, T v) { return gpu_runtime::dialect::atomic(a).fetch_add(v, std::memory_order_relaxed); } \
  __device__ inline T atomicSub(T* a, T v) { return gpu_runtime::dialect::atomic(a).fetch_sub(v, std::memory_order_relaxed); } \
  __device__ inline T atomicExch(T* a, T v) { return gpu_runtime::dialect::atomic(a).exchange(v, std::memory_order_relaxed); }
GPU_ATOMIC_ARITHMETIC(int)
GPU_ATOMIC_ARITHMETIC(unsigned)
GPU_ATOMIC_ARITHMETIC(unsigned long long)
#undef GPU_ATOMIC_ARITHMETIC

#define GPU_ATOMIC_ORDER(T)                                                                                    \
  __device__ inline T atomicMin(T* a, T v) {                                                                 \
    return gpu_runtime::dialect::atomic_update(a, [v](T old) { return old < v ? old : v; });                   \
  }                                                                                                            \
  __device__ inline T atomicMax(T* a, T v) {                                                                 \
    return gpu_runtime::dialect::atomic_update(a, [v](T old) { return old > v ? old : v; });                   \
  }                                                                                                            \
  __device__ inline T atomicCAS(T* a, T compare, T v) {                                                      \
    gpu_runtime::dialect::atomic(a).compare_exchange_strong(compare, v, std::memory_order_relaxed);            \
    return compare;                                                                                            \
  }
GPU_ATOMIC_ORDER(int)
GPU_ATOMIC_ORDER(unsigned)
GPU_ATOMIC_ORDER(unsigned long long)
#undef GPU_ATOMIC_ORDER

// Floating-point atomics: additions (and exchange) as CUDA has them.
__device__ inline float atomicAdd(float* a, float v) {
  return gpu_runtime::dialect::atomic_update(a, [v](float old) { return old + v; });
}
__device__ inline double atomicAdd(double* a, double v) {
  return gpu_runtime::dialect::atomic_update(a, [v](double old) { return old + v; });
}
__device__ inline float atomicExch(float* a, float v) {
  return gpu_runtime::dialect::atomic(a).exchange(v, std::memory_order_relaxed);
}
