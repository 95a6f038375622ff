// third_review_probe <scenario> [bx by bz gx gy gz]: kernels the build
// accepts for a region form, in shapes where a form could compute something
// other than the kernel as written: declarations moved ahead of code in
// their own region, locals of class type computed again, addresses of locals
// that escape into memory, references hidden behind a typedef, locals named
// like the built-in indices, code the scanner does not see (raw strings,
// digraphs, headers reached through the include path). The tests run it with
// CUDART_BARRIERS=regions and =fibers and compare both with the host.
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

// First, so that the header that follows it, which the build step does not
// read, comes after this kernel only.
#define WIDTH 4

// out[i] = 4 t + 4, with WIDTH as it stands here.
__global__ void macro_changed_unseen(int* out) {
  int t = threadIdx.x * WIDTH;
  __syncthreads();
  out[SLOT] = t + WIDTH;
}

#include <third_review_width.h>

const int kScale = 3;

// out[i] = 35: the statement before the constant, in the same region, reads
// the file's kScale.
__global__ void constant_after_use(int* out) {
  out[SLOT] = kScale;
  constexpr int kScale = 5;
  __syncthreads();
  out[SLOT] = out[SLOT] * 10 + kScale;
}

// A pair whose subscript hands out its elements to change.
struct Cell {
  int v[2];
  __device__ Cell(unsigned t) : v{int(t), 0} {}
  __device__ int& operator[](int i) { return v[i]; }
  __device__ const int& operator[](int i) const { return v[i]; }
};

// out[i] = t + 40: the local changes through its subscript operator.
__global__ void class_subscript(int* out) {
  Cell c = threadIdx.x;
  c[1] = 40;
  __syncthreads();
  out[SLOT] = c[0] + c[1];
}

__device__ int* address_of(int& v) { return &v; }

// out[i] = 5 i: each thread reads its own local through the pointer it left
// in shared memory.
__global__ void escaped_address(int* out) {
  __shared__ int* slots[1024];
  int x = 5 * (int)SLOT;
  slots[threadIdx.x] = address_of(x);
  __syncthreads();
  out[SLOT] = *slots[threadIdx.x];
}

typedef int& int_ref;

// out[i] = t + 5: the local changes through a reference whose type is a typedef.
__global__ void typedef_reference(int* out) {
  int x = threadIdx.x;
  int_ref r = x;
  r += 5;
  __syncthreads();
  out[SLOT] = x;
}

// out[i] = 14: the kernel's own gridDim hides the built-in one.
__global__ void builtin_named_local(int* out) {
  uint3 gridDim = uint3{7, 1, 1};
  int w = gridDim.x * 2;
  __syncthreads();
  out[SLOT] = w;
}

// out[i] = t + 5: the raw string ends before the increment on its line.
__global__ void raw_string(int* out) {
  int t = threadIdx.x;
  const char* note = R"("()"; t += 5;
  (void)note;
  __syncthreads();
  out[SLOT] = t;
}

struct IntRef {
  int& r;
};

__device__ void increment(IntRef ref) { ref.r += 1; }

// out[i] = base + 1: each thread changes its own copy of base through a
// braced argument spelled with digraphs.
__global__ void digraph_braces(int* out, int base) {
  increment(<%base%>);
  __syncthreads();
  out[SLOT] = base;
}


GPU_DEVICE_CODE(GPU_KERNEL(constant_after_use, "_Z18constant_after_usePi"),
                GPU_KERNEL(class_subscript, "_Z15class_subscriptPi"),
                GPU_KERNEL(escaped_address, "_Z15escaped_addressPi"),
                GPU_KERNEL(typedef_reference, "_Z17typedef_referencePi"),
                GPU_KERNEL(builtin_named_local, "_Z19builtin_named_localPi"),
                GPU_KERNEL(raw_string, "_Z10raw_stringPi"),
                GPU_KERNEL(digraph_braces, "_Z14digraph_bracesPii"),
                GPU_KERNEL(macro_changed_unseen, "_Z20macro_changed_unseenPi"))

int main(int argc, char** argv) {
  const ProbeArgs args = probe_args(argc, argv, "third_review_probe");
  const char* scenario = args.scenario;
  const dim3 block = args.block, grid = args.grid;
  const size_t total = args.total;
  int* out = device_copy(std::vector<int>(total, -1));

  cudaError_t launch;
  if (!strcmp(scenario, "constant_after_use")) {
    launch = launchKernel(constant_after_use, grid, block, out);
  } else if (!strcmp(scenario, "class_subscript")) {
    launch = launchKernel(class_subscript, grid, block, out);
  } else if (!strcmp(scenario, "escaped_address")) {
    launch = launchKernel(escaped_address, grid, block, out);
  } else if (!strcmp(scenario, "typedef_reference")) {
    launch = launchKernel(typedef_reference, grid, block, out);
  } else if (!strcmp(scenario, "builtin_named_local")) {
    launch = launchKernel(builtin_named_local, grid, block, out);
  } else if (!strcmp(scenario, "raw_string")) {
    launch = launchKernel(raw_string, grid, block, out);
  } else if (!strcmp(scenario, "digraph_braces")) {
    launch = launchKernel(digraph_braces, grid, block, out, 40);
  } else if (!strcmp(scenario, "macro_changed_unseen")) {
    launch = launchKernel(macro_changed_unseen, grid, block, out);
  } else {
    fprintf(stderr, "third_review_probe: unknown scenario '%s'\n", scenario);
    return 2;
  }
  print_status(launch);
  print_ints("out", host_copy(out, total));
  return 0;
}
