// Kernels the runtime tests launch, in the CUDA dialect.
#pragma once

#include <cstdint>

#include "gpu_runtime.h"

// out[i] = in[i] * 2 + 1 for every thread of a 1-D grid of any block size.
__global__ void scale_kernel(int* in, int* out, int n) {
  int i = (int)(blockIdx.x * blockDim.x + threadIdx.x);
  if (i < n) out[i] = in[i] * 2 + 1;
}

// Reverses each block's 256-element slice through shared memory.
__global__ void reverse_block_kernel(int* data) {
  __shared__ int tile[256];
  const unsigned base = blockIdx.x * blockDim.x;
  tile[threadIdx.x] = data[base + threadIdx.x];
  __syncthreads();
  data[base + threadIdx.x] = tile[blockDim.x - 1 - threadIdx.x];
}

// Sums each block's 256 elements by a tree reduction in shared memory, with a
// barrier at every level; thread 0 stores the block's sum.
__global__ void block_sum_kernel(const int* in, long long* sums) {
  __shared__ long long partial[256];
  const unsigned t = threadIdx.x;
  partial[t] = in[blockIdx.x * blockDim.x + t];
  __syncthreads();
  for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
    if (t < stride) partial[t] += partial[t + stride];
    __syncthreads();
  }
  if (t == 0) sums[blockIdx.x] = partial[0];
}

// Every thread keeps a local array across a barrier (when asked for one)
// and sums it in another order: threads must not see each other's locals.
__global__ void local_probe_kernel(int* out, int with_barrier) {
  const unsigned t = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
  const unsigned threads = blockDim.x * blockDim.y * blockDim.z;
  int local[4];
  for (int k = 0; k < 4; ++k) local[k] = int(t * 4 + blockIdx.x + k);
  if (with_barrier) __syncthreads();
  int sum = 0;
  for (int k = 0; k < 4; ++k) sum = sum * 3 + local[(k + t) % 4];
  out[blockIdx.x * threads + t] = sum;
}

// Records the built-in indices of every thread of a 3-D grid of 3-D blocks.
__global__ void index_probe_kernel(unsigned* out) {
  const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
  const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
  unsigned* slot = out + 6 * (block * blockDim.x * blockDim.y * blockDim.z + thread);
  slot[0] = threadIdx.x; slot[1] = threadIdx.y; slot[2] = threadIdx.z;
  slot[3] = blockIdx.x; slot[4] = blockIdx.y; slot[5] = blockIdx.z;
}

// Only thread 0 skips the barrier: a block that disagrees on barriers.
__global__ void divergent_barrier_kernel(int* out) {
  if (threadIdx.x != 0) __syncthreads();
  out[threadIdx.x] = 1;
}

// Parameter lists of the system's kernels, to check argument placement.
struct NodeRecord {
  int first_edge;
  int edge_count;
};
__global__ void params_ints(int* a, int* b, int n) { (void)a; (void)b; (void)n; }
__global__ void params_three_floats(float* in, float* w, float* out) { (void)in; (void)w; (void)out; }
__global__ void params_search(NodeRecord* nodes, int* edges, bool* mask, bool* visited, int* cost, bool* over, int n) {
  (void)nodes; (void)edges; (void)mask; (void)visited; (void)cost; (void)over; (void)n;
}
__global__ void params_diffusion_1(float* e, float* w, float* n, float* s, float* j, float* c, int cols, int rows, float q0sqr) {
  (void)e; (void)w; (void)n; (void)s; (void)j; (void)c; (void)cols; (void)rows; (void)q0sqr;
}
__global__ void params_diffusion_2(float* e, float* w, float* n, float* s, float* j, float* c, int cols, int rows, float lambda, float q0sqr) {
  (void)e; (void)w; (void)n; (void)s; (void)j; (void)c; (void)cols; (void)rows; (void)lambda; (void)q0sqr;
}

// Receives a mix of sizes and echoes them into device memory.
__global__ void echo_kernel(char c, double d, int* out_i, float f, long long* out_ll, long long ll) {
  if (threadIdx.x != 0) return;
  out_i[0] = c;
  out_i[1] = (int)(d * 4);
  out_i[2] = (int)(f * 8);
  out_ll[0] = ll;
}

GPU_DEVICE_CODE(
    GPU_KERNEL(scale_kernel, "_Z12scale_kernelPiS_i"),
    GPU_KERNEL(reverse_block_kernel, "_Z20reverse_block_kernelPi"),
    GPU_KERNEL(block_sum_kernel, "_Z16block_sum_kernelPKiPx"),
    GPU_KERNEL(local_probe_kernel, "_Z18local_probe_kernelPii"),
    GPU_KERNEL(index_probe_kernel, "_Z18index_probe_kernelPj"),
    GPU_KERNEL(divergent_barrier_kernel, "_Z24divergent_barrier_kernelPi"),
    GPU_KERNEL(echo_kernel, "_Z11echo_kernelcdPifPxx"))
