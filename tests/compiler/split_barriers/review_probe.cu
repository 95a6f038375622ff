// review_probe <scenario> [bx by bz gx gy gz]: kernels the build accepts for
// a region form or a row form, in shapes chosen to catch a form that computes
// something other than the kernel as written. The tests run it with
// CUDART_BARRIERS=regions and =fibers and compare both with the host.
//
// Output: "status <launch> <sync>" after each launch, then one line per
// result array: "<name>:" followed by its values.
#include <cstdio>   // defines: printf, fprintf
#include <cstdlib>  // defines: atoi
#include <cstring>  // defines: strcmp
#include <vector>

#include "gpu_runtime.h"  // defines: the runtime API, launchKernel, GPU_DEVICE_CODE
#include "probe_io.h"     // defines: device_copy, host_copy, print_status, print_ints

typedef int index_t;

// A step the caller may set per block; plain builds use 1.
#define STEP steps[blockIdx.x]
#ifndef STEP
#define STEP 1
#endif

const int kBias = 5;

// Every kernel below writes one value per thread: out is (blocks, threads
// per block) and i the thread's place in it.
#define THREAD_SLOT (((blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x) * \
                     (blockDim.x * blockDim.y * blockDim.z) + (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + \
                     threadIdx.x)

// Each thread moves its own copy of range.x by its index: out[i] = range.x + t.
__global__ void member_param(uint3 range, int* out) {
  int t = threadIdx.x;
  range.x += (unsigned)t;
  __syncthreads();
  out[THREAD_SLOT] = (int)range.x;
}

// out[i] = t + 10, through a member of an index copy.
__global__ void member_local(int* out) {
  uint3 p = threadIdx;
  p.x += 10u;
  __syncthreads();
  out[THREAD_SLOT] = (int)p.x;
}

// Every thread reads its block's counter before thread 0 raises it:
// out[i] = the counter as it was.
__global__ void cast_read(int* counters, int* out) {
  int t = threadIdx.x;
  int before = (int)*(counters + blockIdx.x);
  __syncthreads();
  if (t == 0) counters[blockIdx.x] = before + 100;
  __syncthreads();
  out[THREAD_SLOT] = before;
}

__device__ void add_thread_index(int& v) { v += (int)threadIdx.x; }

// out[i] = base + t: the reference reaches the thread's own base.
__global__ void paren_argument(int base, int* out) {
  add_thread_index((base));
  __syncthreads();
  out[THREAD_SLOT] = base;
}

// As paren_argument, the reference bound through a conditional.
__global__ void ternary_argument(int base, int other, int* out) {
  add_thread_index(threadIdx.x < 2048 ? base : other);
  __syncthreads();
  out[THREAD_SLOT] = base;
}

// out[i] = t + 10, the index moved through a reference to it.
__global__ void alias_reference(int* out) {
  int t = threadIdx.x;
  index_t& moved = t;
  moved += 10;
  __syncthreads();
  out[THREAD_SLOT] = t;
}

// out[i] = 3 t, read after the barrier through a pointer to a local.
__global__ void cast_address(int* out) {
  int x = (int)threadIdx.x * 3;
  int* p = (int*)&x;
  __syncthreads();
  out[THREAD_SLOT] = *p;
}

// out[i] = t * the block's step as it was before thread 0 changed it.
__global__ void macro_step(int* steps, int* out) {
  int t = threadIdx.x;
  int offset = t * STEP;
  __syncthreads();
  if (t == 0) steps[blockIdx.x] = 7;
  __syncthreads();
  out[THREAD_SLOT] = offset;
}

// out[i] = t + kBias as the kernel reads it here (5).
__global__ void late_macro(int* out) {
  int t = threadIdx.x;
  out[THREAD_SLOT] = t;
  __syncthreads();
  out[THREAD_SLOT] += kBias;
}

// Several declarators per statement: recomputed, kept and plain ones, a
// pointer among them, unsigned wrap-around, sizeof, a comma expression and
// a conditional. out[i] = (3 * (unsigned)(t - 1)) % 1000 + (t odd ? in[t] + 1
// : 2 * (in[t] + 1)) + 8 + t.
__global__ void mixed_declarators(int* out, const int* in) {
  int t = threadIdx.x, *slot = out + THREAD_SLOT, loaded = in[t], spare = 0;
  const unsigned u = (unsigned)t - 1u;
  long long wide = (long long)u * 3, tiny = (long long)sizeof(wide) + t;
  spare = (loaded++, loaded * 2);
  __syncthreads();
  *slot = (int)(wide % 1000) + (t % 2 ? loaded : spare) + (int)tiny;
}

// 1-D blocks; the thread at (t / n, t % n) of an n x n walk stops there.
// out[i] = 1000 + t + the steps it walked before, or -5 when it walked all.
__global__ void return_in_loops(int* out, int n) {
  int t = threadIdx.x;
  int i = THREAD_SLOT;
  out[i] = 1000 + t;
  __syncthreads();
  for (int a = 0; a < n; ++a) {
    for (int b = 0; b < n; ++b) {
      if (a * n + b == t) return;
      out[i] += 1;
    }
  }
  out[i] = -5;
}

// No barrier, no shared memory, no loop: a row form. Covers a width x height
// x depth box with a grid that may overhang it; each element records the
// thread that wrote it and the launch's shape.
__global__ void row_box(int* out, int width, int height, int depth) {
  int x = blockIdx.x * blockDim.x + threadIdx.x;
  int y = blockIdx.y * blockDim.y + threadIdx.y;
  int z = blockIdx.z * blockDim.z + threadIdx.z;
  if (x >= width || y >= height || z >= depth) return;
  out[(z * height + y) * width + x] =
      (int)(blockDim.x * 7 + blockDim.y * 5 + blockDim.z * 3 + gridDim.x * 11 + gridDim.y * 13 + gridDim.z * 17) +
      x * 1000 + y * 100 + z * 10;
}

// Counts the threads that ran, without atomics: run with one worker.
__global__ void row_count(int* count) { count[0]++; }

// A barrier in a function compiled apart from this file, in a kernel given
// a row form: the rows cannot honour it.
__device__ void far_barrier();

__global__ void row_far_barrier(int* out) {
  out[THREAD_SLOT] = (int)threadIdx.x + 1;
  far_barrier();
}

GPU_DEVICE_CODE(GPU_KERNEL(member_param, "_Z12member_param5uint3Pi"),
                GPU_KERNEL(member_local, "_Z12member_localPi"),
                GPU_KERNEL(cast_read, "_Z9cast_readPiS_"),
                GPU_KERNEL(paren_argument, "_Z14paren_argumentiPi"),
                GPU_KERNEL(ternary_argument, "_Z16ternary_argumentiiPi"),
                GPU_KERNEL(alias_reference, "_Z15alias_referencePi"),
                GPU_KERNEL(cast_address, "_Z12cast_addressPi"),
                GPU_KERNEL(macro_step, "_Z10macro_stepPiS_"),
                GPU_KERNEL(late_macro, "_Z10late_macroPi"),
                GPU_KERNEL(mixed_declarators, "_Z17mixed_declaratorsPiPKi"),
                GPU_KERNEL(return_in_loops, "_Z15return_in_loopsPii"),
                GPU_KERNEL(row_box, "_Z7row_boxPiiii"),
                GPU_KERNEL(row_count, "_Z9row_countPi"),
                GPU_KERNEL(row_far_barrier, "_Z15row_far_barrierPi"))

int main(int argc, char** argv) {
  const ProbeArgs args = probe_args(argc, argv, "review_probe");
  const char* scenario = args.scenario;
  const dim3 block = args.block, grid = args.grid;
  const size_t blocks = (size_t)grid.x * grid.y * grid.z;
  const size_t total = (size_t)block.x * block.y * block.z * blocks;
  int* out = device_copy(std::vector<int>(total, -1));

  if (!strcmp(scenario, "member_param")) {
    print_status(launchKernel(member_param, grid, block, uint3{100, 0, 0}, out));
  } else if (!strcmp(scenario, "member_local")) {
    print_status(launchKernel(member_local, grid, block, out));
  } else if (!strcmp(scenario, "cast_read")) {
    std::vector<int> counters(blocks);
    for (size_t b = 0; b < blocks; b++) counters[b] = 5 + (int)b;
    print_status(launchKernel(cast_read, grid, block, device_copy(counters), out));
  } else if (!strcmp(scenario, "paren_argument")) {
    print_status(launchKernel(paren_argument, grid, block, 40, out));
  } else if (!strcmp(scenario, "ternary_argument")) {
    print_status(launchKernel(ternary_argument, grid, block, 40, 0, out));
  } else if (!strcmp(scenario, "alias_reference")) {
    print_status(launchKernel(alias_reference, grid, block, out));
  } else if (!strcmp(scenario, "cast_address")) {
    print_status(launchKernel(cast_address, grid, block, out));
  } else if (!strcmp(scenario, "macro_step")) {
    print_status(launchKernel(macro_step, grid, block, device_copy(std::vector<int>(blocks, 3)), out));
  } else if (!strcmp(scenario, "late_macro")) {
    print_status(launchKernel(late_macro, grid, block, out));
  } else if (!strcmp(scenario, "mixed_declarators")) {
    std::vector<int> in(block.x);
    for (unsigned t = 0; t < block.x; t++) in[t] = (int)(t * t % 17);
    print_status(launchKernel(mixed_declarators, grid, block, out, (const int*)device_copy(in)));
  } else if (!strcmp(scenario, "return_in_loops")) {
    print_status(launchKernel(return_in_loops, grid, block, out, 3));
  } else if (!strcmp(scenario, "row_box")) {
    // The box leaves the last block of each dimension partly empty where it can.
    const int width = (int)(block.x * grid.x) - (block.x > 1 ? 1 : 0);
    const int height = (int)(block.y * grid.y) - (block.y > 1 ? 1 : 0);
    const int depth = (int)(block.z * grid.z) - (block.z > 1 ? 1 : 0);
    const size_t cells = (size_t)width * height * depth;
    int* box = device_copy(std::vector<int>(cells, -1));
    print_status(launchKernel(row_box, grid, block, box, width, height, depth));
    int* count = device_copy(std::vector<int>(1, 0));
    print_status(launchKernel(row_count, grid, block, count));
    print_ints("box", host_copy(box, cells));
    print_ints("count", host_copy(count, 1));
    return 0;
  } else if (!strcmp(scenario, "row_far_barrier")) {
    print_status(launchKernel(row_far_barrier, grid, block, out));
  } else {
    fprintf(stderr, "review_probe: unknown scenario '%s'\n", scenario);
    return 2;
  }
  print_ints("out", host_copy(out, total));
  return 0;
}

// Host code further down may name its own constants; the kernels above were
// compiled before this line.
#define kBias 7
