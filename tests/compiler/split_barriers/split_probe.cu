// split_probe <scenario> [bx by bz gx gy gz]: launches kernels whose barriers
// stand at the top of their bodies, so the build splits them into region
// loops, and prints what they computed. The tests run it with
// CUDART_BARRIERS=regions and =fibers and compare both with the host.
//
// Output: "status <launch> <sync>" after each launch, then one line per
// result array: "<name>:" followed by its values.
#include <cstdint>  // defines: uintptr_t
#include <cstdio>   // defines: printf, fprintf
#include <cstdlib>  // defines: atoi
#include <cstring>  // defines: strcmp
#include <set>
#include <vector>

#include "gpu_runtime.h"  // defines: the runtime API, launchKernel, GPU_DEVICE_CODE
#include "probe_io.h"     // defines: device_copy, host_copy, print_status, print_ints

// Shared arrays are sized for the largest block the device allows.
#define MAX_BLOCK 1024

// Every thread of a 3-D block of any shape keeps ints, floats and pointers
// across three barriers while swapping values with other threads through
// shared memory. out and scaled: (blocks, threads per block); bias: (blocks).
__global__ void carry_locals(int* out, float* scaled, const float* bias) {
  __shared__ int stage[MAX_BLOCK];
  int t = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z), n = blockDim.x * blockDim.y * blockDim.z;
  int block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
  float scale = 0.5f * (float)(t + 1);
  const float* my_bias = bias + block;
  int* slot = out + block * n + t;
  int mirror;
  unsigned steps = 0, spread = (unsigned)t * 7u;  // spread is read before the first barrier only
  stage[t] = t * 3 + block + (int)(spread % 5u);
  __syncthreads();

  mirror = stage[n - 1 - t];
  steps++;
  __syncthreads();

  // Declared after the first barrier: still one array for the whole block.
  __shared__ float late[MAX_BLOCK];
  stage[t] = mirror + 2 * t;
  late[t] = scale + *my_bias;
  steps++;
  __syncthreads();

  *slot = stage[(t + 1) % n] + (int)steps * 1000;
  scaled[block * n + t] = late[n - 1 - t] * 2.0f - scale;
}

// 1-D blocks; thread t reads its right neighbour's square, then threads with
// t % 3 == 1 stop before writing anything and threads with t % 3 == 2 after
// writing out only. out and after: (blocks, threads per block).
__global__ void early_exit(int* out, int* after) {
  __shared__ int seen[MAX_BLOCK];
  int t = threadIdx.x;
  int i = blockIdx.x * blockDim.x + t;
  seen[t] = t * t + (int)blockIdx.x;
  __syncthreads();
  int neighbour = seen[(t + 1) % blockDim.x];
  if (t % 3 == 1) return;
  out[i] = neighbour;
  if (t % 3 == 2) return;
  after[i] = neighbour + 1;
}

namespace probe_ns {

// 1-D blocks; out[i] is the value thread (t + 3) % n of the same block stored.
__global__ void rotate(int* out) {
  __shared__ int ring[MAX_BLOCK];
  int t = threadIdx.x, n = blockDim.x;
  ring[t] = t + 100 * (int)blockIdx.x;
  __syncthreads();
  out[blockIdx.x * n + t] = ring[(t + 3) % n];
}

}  // namespace probe_ns

// As rotate, by a stride of n - 1, with C linkage.
extern "C" __global__ void rotate_back(int* out) {
  __shared__ int ring[MAX_BLOCK];
  int t = threadIdx.x, n = blockDim.x;
  ring[t] = t + 100 * (int)blockIdx.x;
  __syncthreads();
  out[blockIdx.x * n + t] = ring[(t + n - 1) % n];
}

// A tree sum per 1-D block of power-of-two size. Its barrier stands in a
// loop, so it always runs on fibers. in: (blocks, threads); sums: (blocks).
__global__ void loop_reduce(const int* in, int* sums) {
  __shared__ int partial[MAX_BLOCK];
  int t = threadIdx.x;
  partial[t] = in[blockIdx.x * blockDim.x + t];
  __syncthreads();
  for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
    if (t < (int)stride) partial[t] += partial[t + stride];
    __syncthreads();
  }
  if (t == 0) sums[blockIdx.x] = partial[0];
}

// Records where the calling thread's stack frame lies: on fibers every
// thread has a stack of its own, in a region loop the block shares one.
__device__ void record_frame(unsigned long long* where, int i) {
  volatile int here = i;
  where[i] = (unsigned long long)(uintptr_t)&here;
}

// 1-D blocks; where and out: (blocks, threads per block).
__global__ void stack_address(unsigned long long* where, int* out) {
  __shared__ int values[MAX_BLOCK];
  int t = threadIdx.x, n = blockDim.x;
  int i = blockIdx.x * n + t;
  values[t] = 2 * t + 1;
  __syncthreads();
  record_frame(where, i);
  out[i] = values[n - 1 - t];
}

// Defined in another translation unit, out of the build step's sight: it
// meets a barrier the region loops cannot honour.
__device__ void far_barrier();

// 1-D blocks; out: (blocks, threads per block), the right neighbour's t + 1.
__global__ void synced_elsewhere(int* out) {
  __shared__ int values[MAX_BLOCK];
  int t = threadIdx.x, n = blockDim.x;
  int i = blockIdx.x * n + t;
  values[t] = t + 1;
  __syncthreads();
  far_barrier();
  out[i] = values[(t + 1) % n];
}

// No barrier and no shared memory: the build gives it a row form instead,
// which runs blocks side by side along x. out: (rows, width), one thread per
// element of a 2-D grid of 2-D blocks that covers it exactly.
__global__ void fill_rows(int* out, int width) {
  int col = blockIdx.x * blockDim.x + threadIdx.x;
  int row = blockIdx.y * blockDim.y + threadIdx.y;
  if (col % 5 == 4) return;
  out[row * width + col] = row * 1000 + col + (int)(blockIdx.x * 7);
}

// The order the threads ran in: each takes the next ticket. Run with one
// worker, so the tickets are not raced for. In rows, thread row y of every
// block of a grid row runs before row y + 1 of any; block by block, a block's
// threads all run before the next block's.
int next_ticket;

__global__ void take_tickets(int* out) {
  int i = ((blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x) * (blockDim.x * blockDim.y * blockDim.z) +
          (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
  out[i] = next_ticket++;
}

struct Window {
  int lo, hi;
};

// Each thread widens its own copy of the window by its index before the
// barrier: out[i] = w.hi + t - w.lo.
__global__ void widen_window(Window w, int* out) {
  int t = threadIdx.x;
  w.hi += t;
  __syncthreads();
  out[blockIdx.x * blockDim.x + t] = w.hi - w.lo;
}

__device__ void add_thread_index(int& v) { v += threadIdx.x; }

// Each thread moves its own copy of base by its index through a reference:
// out[i] = base + t.
__global__ void offset_by_reference(int base, int* out) {
  int t = threadIdx.x;
  add_thread_index(base);
  __syncthreads();
  out[blockIdx.x * blockDim.x + t] = base;
}

GPU_DEVICE_CODE(GPU_KERNEL(carry_locals, "_Z12carry_localsPiPfPKf"),
                GPU_KERNEL(early_exit, "_Z10early_exitPiS_"),
                GPU_KERNEL(probe_ns::rotate, "_ZN8probe_ns6rotateEPi"),
                GPU_KERNEL(rotate_back, "rotate_back"),
                GPU_KERNEL(loop_reduce, "_Z11loop_reducePKiPi"),
                GPU_KERNEL(stack_address, "_Z13stack_addressPyPi"),
                GPU_KERNEL(synced_elsewhere, "_Z16synced_elsewherePi"),
                GPU_KERNEL(fill_rows, "_Z9fill_rowsPii"),
                GPU_KERNEL(take_tickets, "_Z12take_ticketsPi"),
                GPU_KERNEL(widen_window, "_Z12widen_window6WindowPi"),
                GPU_KERNEL(offset_by_reference, "_Z19offset_by_referenceiPi"))

int main(int argc, char** argv) {
  const ProbeArgs args = probe_args(argc, argv, "split_probe");
  const char* scenario = args.scenario;
  const dim3 block = args.block, grid = args.grid;
  const size_t n = (size_t)block.x * block.y * block.z;
  const size_t blocks = (size_t)grid.x * grid.y * grid.z;
  const size_t total = n * blocks;
  std::vector<int> minus_ones(total, -1);

  if (!strcmp(scenario, "carry_locals")) {
    std::vector<float> bias(blocks);
    for (size_t b = 0; b < blocks; b++) bias[b] = 0.25f * (float)b;
    int* out = device_copy(minus_ones);
    float* scaled = device_copy(std::vector<float>(total, -1.0f));
    const float* d_bias = device_copy(bias);
    print_status(launchKernel(carry_locals, grid, block, out, scaled, d_bias));
    print_ints("out", host_copy(out, total));
    print_floats("scaled", host_copy(scaled, total));
  } else if (!strcmp(scenario, "early_exit")) {
    int* out = device_copy(minus_ones);
    int* after = device_copy(minus_ones);
    print_status(launchKernel(early_exit, grid, block, out, after));
    print_ints("out", host_copy(out, total));
    print_ints("after", host_copy(after, total));
  } else if (!strcmp(scenario, "rotate")) {
    int* out = device_copy(minus_ones);
    int* back = device_copy(minus_ones);
    print_status(launchKernel(probe_ns::rotate, grid, block, out));
    print_status(launchKernel(rotate_back, grid, block, back));
    print_ints("rotate", host_copy(out, total));
    print_ints("rotate_back", host_copy(back, total));
  } else if (!strcmp(scenario, "loop_reduce")) {
    std::vector<int> in(total);
    for (size_t i = 0; i < total; i++) in[i] = (int)(i * 7 % 13);
    const int* d_in = device_copy(in);
    int* sums = device_copy(std::vector<int>(blocks, -1));
    print_status(launchKernel(loop_reduce, grid, block, d_in, sums));
    print_ints("sums", host_copy(sums, blocks));
  } else if (!strcmp(scenario, "stack_address")) {
    unsigned long long* where = device_copy(std::vector<unsigned long long>(total, 0));
    int* out = device_copy(minus_ones);
    print_status(launchKernel(stack_address, grid, block, where, out));
    // Addresses differ from run to run: print how many distinct frames each block used.
    const std::vector<unsigned long long> frames = host_copy(where, total);
    std::vector<int> distinct(blocks);
    for (size_t b = 0; b < blocks; b++)
      distinct[b] = (int)std::set<unsigned long long>(frames.begin() + b * n, frames.begin() + (b + 1) * n).size();
    print_ints("frames", distinct);
    print_ints("out", host_copy(out, total));
  } else if (!strcmp(scenario, "synced_elsewhere")) {
    int* out = device_copy(minus_ones);
    print_status(launchKernel(synced_elsewhere, grid, block, out));
    print_ints("out", host_copy(out, total));
  } else if (!strcmp(scenario, "fill_rows")) {
    int* out = device_copy(minus_ones);
    print_status(launchKernel(fill_rows, grid, block, out, (int)(block.x * grid.x)));
    print_ints("out", host_copy(out, total));
  } else if (!strcmp(scenario, "take_tickets")) {
    int* out = device_copy(minus_ones);
    print_status(launchKernel(take_tickets, grid, block, out));
    print_ints("out", host_copy(out, total));
  } else if (!strcmp(scenario, "widen_window")) {
    int* out = device_copy(minus_ones);
    print_status(launchKernel(widen_window, grid, block, Window{10, 20}, out));
    print_ints("out", host_copy(out, total));
  } else if (!strcmp(scenario, "offset_by_reference")) {
    int* out = device_copy(minus_ones);
    print_status(launchKernel(offset_by_reference, grid, block, 40, out));
    print_ints("out", host_copy(out, total));
  } else {
    fprintf(stderr, "split_probe: unknown scenario '%s'\n", scenario);
    return 2;
  }
  return 0;
}
