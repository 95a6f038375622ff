// second_review_probe <scenario> [bx by bz gx gy gz]: kernels the build
// accepts for a region form, in shapes where a form could compute something
// other than the kernel as written: pointers that move or outlive their
// region, parameters and locals that change where the tokens do not show it,
// declarations moved ahead of code that reads another name. The tests run it
// with CUDART_BARRIERS=regions and =fibers and compare both with the host.
//
// Output: "status <launch> <sync>" after the launch, then "out:" followed by
// one value per thread.
#include <cstdio>   // defines: printf, fprintf
#include <cstdlib>  // defines: atoi
#include <cstring>  // defines: strcmp
#include <vector>

#include "gpu_runtime.h"  // defines: the runtime API, launchKernel, GPU_DEVICE_CODE
#include "probe_io.h"     // defines: device_copy, host_copy, print_status, print_ints

// Every kernel writes one value per thread into out, at the thread's place in
// the grid (1-D blocks and grids).
#define SLOT (blockIdx.x * blockDim.x + threadIdx.x)

// out[i] = in[i] * 1000 + in[i + 1]: the pointer moves past the element it read.
__global__ void post_increment_local(const int* in, int* out) {
  const int* p = in + blockIdx.x * blockDim.x + threadIdx.x;
  int first = *p++;
  __syncthreads();
  out[SLOT] = first * 1000 + *p;
}

// out[i] = in[0] * 1000 + in[1]: each thread moves its own copy of in.
__global__ void post_increment_parameter(const int* in, int* out) {
  int first = *in++;
  __syncthreads();
  out[SLOT] = first * 1000 + *in;
}

struct TwoInts {
  int v[2];
};

// out[i] = 3 i, read after the barrier through the decayed member array.
__global__ void member_array_decay(int* out) {
  TwoInts pair = {{(int)SLOT, 3 * (int)SLOT}};
  int* p = pair.v;
  __syncthreads();
  out[SLOT] = p[1];
}

__device__ int* address_of(int& v) { return &v; }

// out[i] = 5 i, through a pointer a device function made from a reference.
__global__ void address_from_function(int* out) {
  int x = 5 * (int)SLOT;
  int* p = address_of(x);
  __syncthreads();
  out[SLOT] = *p;
}

namespace probe {
typedef int word;
}

// out[i] = 7 i, through a cast to a namespace-qualified pointer type.
__global__ void qualified_cast_address(int* out) {
  int x = 7 * (int)SLOT;
  probe::word* p = (probe::word*)&x;
  __syncthreads();
  out[SLOT] = *p;
}

// out[i] = base + t: each thread moves its own copy of base.
__global__ void default_argument(int* out, int base = 0) {
  base += (int)threadIdx.x;
  __syncthreads();
  out[SLOT] = base;
}

// out[i] = rows[1][1]: each thread moves its own copy of rows by one row.
__global__ void pointer_to_rows(int (*rows)[4], int* out) {
  rows += 1;
  __syncthreads();
  out[SLOT] = rows[0][1];
}

const int kScale = 3;

// out[i] = 35: the first region reads the file's kScale, the second the
// kernel's own.
__global__ void constexpr_shadow(int* out) {
  out[SLOT] = kScale;
  __syncthreads();
  constexpr int kScale = 5;
  out[SLOT] = out[SLOT] * 10 + kScale;
}

struct Counter {
  int value;
  __device__ Counter(int v) : value(v) {}
  __device__ void bump() { value += 7; }
};

// out[i] = i + 7: the local changes through a member function.
__global__ void member_function_local(int* out) {
  Counter c = blockIdx.x * blockDim.x + threadIdx.x;
  c.bump();
  __syncthreads();
  out[SLOT] = c.value;
}

__device__ void add_hundred(int& v) { v += 100; }
#define ADD_HUNDRED_TO_T add_hundred(t)

// out[i] = t + 100: a macro hands the local to a function that changes it.
__global__ void macro_passes_local(int* out) {
  int t = threadIdx.x;
  ADD_HUNDRED_TO_T;
  __syncthreads();
  out[SLOT] = t;
}

// out[i] = (t + 10) * 100 + (t odd ? 2t - 1 : 2t): locals assigned in
// parentheses and through a conditional.
__global__ void parenthesised_lvalue(int* out) {
  int t = threadIdx.x;
  int even = 2 * threadIdx.x, odd = 2 * threadIdx.x + 1;
  (t) += 10;
  (threadIdx.x % 2 ? odd : even) = -1;
  __syncthreads();
  out[SLOT] = t * 100 + even + odd;
}

struct IntRef {
  int& r;
};

__device__ void increment(IntRef ref) { ref.r += 1; }

// out[i] = base + 1: the parameter changes through a braced argument.
__global__ void braced_reference(int* out, int base) {
  increment({base});
  __syncthreads();
  out[SLOT] = base;
}

// out[i] = t + 10: the assignment's operator stands on a spliced line.
__global__ void line_splice(int* out) {
  int t = threadIdx.x;
  t \
    += 10;
  __syncthreads();
  out[SLOT] = t;
}

// With n = 1: out[i] = (108 + 3t) * 10 + 2t. Inner scopes declare names the
// regions keep or compute again; the last region mixes compound statements.
__global__ void nested_shadowing(int* out, int n) {
  int t = threadIdx.x;
  int u = t * 2;
  __syncthreads();
  int acc = 0;
  { int t = 100; acc += t; }
  if (n > 0) { int u = 7; acc += u; } else if (n < 0) acc = -1; else { acc = 0; }
  switch (n) { case 1: { int w = u; acc += w; break; } default: break; }
  do { acc += t; } while (0);
  for (int u = 0; u < 2; ++u) acc += u;
  out[SLOT] = acc * 10 + u;
}

GPU_DEVICE_CODE(GPU_KERNEL(post_increment_local, "_Z20post_increment_localPKiPi"),
                GPU_KERNEL(post_increment_parameter, "_Z24post_increment_parameterPKiPi"),
                GPU_KERNEL(member_array_decay, "_Z18member_array_decayPi"),
                GPU_KERNEL(address_from_function, "_Z21address_from_functionPi"),
                GPU_KERNEL(qualified_cast_address, "_Z22qualified_cast_addressPi"),
                GPU_KERNEL(default_argument, "_Z16default_argumentPii"),
                GPU_KERNEL(pointer_to_rows, "_Z15pointer_to_rowsPA4_iPi"),
                GPU_KERNEL(constexpr_shadow, "_Z16constexpr_shadowPi"),
                GPU_KERNEL(member_function_local, "_Z21member_function_localPi"),
                GPU_KERNEL(macro_passes_local, "_Z18macro_passes_localPi"),
                GPU_KERNEL(parenthesised_lvalue, "_Z20parenthesised_lvaluePi"),
                GPU_KERNEL(braced_reference, "_Z16braced_referencePii"),
                GPU_KERNEL(line_splice, "_Z11line_splicePi"),
                GPU_KERNEL(nested_shadowing, "_Z16nested_shadowingPii"))

// The values the pointer kernels read: in[k] = k * 7 % 31 + 1.
static std::vector<int> inputs(size_t count) {
  std::vector<int> in(count);
  for (size_t k = 0; k < count; k++) in[k] = (int)(k * 7 % 31 + 1);
  return in;
}

int main(int argc, char** argv) {
  const ProbeArgs args = probe_args(argc, argv, "second_review_probe");
  const char* scenario = args.scenario;
  const dim3 block = args.block, grid = args.grid;
  const size_t total = args.total;
  int* out = device_copy(std::vector<int>(total, -1));
  // One more element than threads, and at least one more than a block has,
  // so that a pointer moved too far still reads inside the buffer.
  const int* in = device_copy(inputs(total + block.x + 1));

  cudaError_t launch;
  if (!strcmp(scenario, "post_increment_local")) {
    launch = launchKernel(post_increment_local, grid, block, in, out);
  } else if (!strcmp(scenario, "post_increment_parameter")) {
    launch = launchKernel(post_increment_parameter, grid, block, in, out);
  } else if (!strcmp(scenario, "member_array_decay")) {
    launch = launchKernel(member_array_decay, grid, block, out);
  } else if (!strcmp(scenario, "address_from_function")) {
    launch = launchKernel(address_from_function, grid, block, out);
  } else if (!strcmp(scenario, "qualified_cast_address")) {
    launch = launchKernel(qualified_cast_address, grid, block, out);
  } else if (!strcmp(scenario, "default_argument")) {
    launch = launchKernel(default_argument, grid, block, out, 40);
  } else if (!strcmp(scenario, "pointer_to_rows")) {
    // rows[r][c] = 10 r + c, with a row for every thread of a block and one more.
    std::vector<int> rows(4 * (block.x + 1));
    for (size_t k = 0; k < rows.size(); k++) rows[k] = (int)(10 * (k / 4) + k % 4);
    launch = launchKernel(pointer_to_rows, grid, block, (int(*)[4])device_copy(rows), out);
  } else if (!strcmp(scenario, "constexpr_shadow")) {
    launch = launchKernel(constexpr_shadow, grid, block, out);
  } else if (!strcmp(scenario, "member_function_local")) {
    launch = launchKernel(member_function_local, grid, block, out);
  } else if (!strcmp(scenario, "macro_passes_local")) {
    launch = launchKernel(macro_passes_local, grid, block, out);
  } else if (!strcmp(scenario, "parenthesised_lvalue")) {
    launch = launchKernel(parenthesised_lvalue, grid, block, out);
  } else if (!strcmp(scenario, "braced_reference")) {
    launch = launchKernel(braced_reference, grid, block, out, 40);
  } else if (!strcmp(scenario, "line_splice")) {
    launch = launchKernel(line_splice, grid, block, out);
  } else if (!strcmp(scenario, "nested_shadowing")) {
    launch = launchKernel(nested_shadowing, grid, block, out, 1);
  } else {
    fprintf(stderr, "second_review_probe: unknown scenario '%s'\n", scenario);
    return 2;
  }
  print_status(launch);
  print_ints("out", host_copy(out, total));
  return 0;
}
