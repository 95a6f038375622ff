// fourth_review_probe <scenario> [bx by bz gx gy gz]: kernels the build
// accepts for a region form, in shapes where the form, written at the end of
// the unit with its own locals, could pick another function or name than the
// kernel as written: a const local or parameter kept in a plain array and
// handed to an overload set, a device function overloaded after the kernel,
// a namespace that later declares a name the kernel reads from outside it.
// The tests run it with CUDART_BARRIERS=regions and =fibers and compare both
// with the host.
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
// the grid (1-D blocks and grids). out starts as each thread's slot.
#define SLOT (blockIdx.x * blockDim.x + threadIdx.x)

// Tells a const argument from a modifiable one.
__device__ int constness(int&) { return 1; }
__device__ int constness(const int&) { return 2; }

// out[i] = 20 + i: v is const, so the const overload is called.
__global__ void const_local_overload(int* out) {
  const int v = out[SLOT];
  __syncthreads();
  out[SLOT] = constness(v) * 10 + v;
}

// out[i] = 20 + t: n is const, so the const overload is called.
__global__ void const_parameter_overload(int* out, const int n) {
  int t = threadIdx.x;
  __syncthreads();
  out[SLOT] = constness(n) * 10 + t;
}

__device__ int scale(double) { return 1; }

// out[i] = 100 + t: only scale(double) is declared where the kernel stands.
__global__ void later_overload(int* out) {
  int t = threadIdx.x;
  __syncthreads();
  out[SLOT] = scale(t) * 100 + t;
}

// A better match for an int, declared after the kernel that calls scale.
__device__ int scale(int) { return 2; }

const int kBase = 7;

namespace inner {
// out[i] = 700 + t: the kernel reads the global kBase.
__global__ void later_name(int* out) {
  int t = threadIdx.x;
  __syncthreads();
  out[SLOT] = kBase * 100 + t;
}

// Declared after the kernel: it does not hide the global from it.
const int kBase = 9;
}  // namespace inner

GPU_DEVICE_CODE(GPU_KERNEL(const_local_overload, "_Z20const_local_overloadPi"),
                GPU_KERNEL(const_parameter_overload, "_Z24const_parameter_overloadPii"),
                GPU_KERNEL(later_overload, "_Z14later_overloadPi"),
                GPU_KERNEL(inner::later_name, "_ZN5inner10later_nameEPi"))

int main(int argc, char** argv) {
  const ProbeArgs args = probe_args(argc, argv, "fourth_review_probe");
  const char* scenario = args.scenario;
  const dim3 block = args.block, grid = args.grid;
  const size_t total = args.total;
  std::vector<int> start(total);
  for (size_t i = 0; i < total; ++i) start[i] = (int)i;
  int* out = device_copy(start);

  cudaError_t launch;
  if (!strcmp(scenario, "const_local_overload")) {
    launch = launchKernel(const_local_overload, grid, block, out);
  } else if (!strcmp(scenario, "const_parameter_overload")) {
    launch = launchKernel(const_parameter_overload, grid, block, out, 5);
  } else if (!strcmp(scenario, "later_overload")) {
    launch = launchKernel(later_overload, grid, block, out);
  } else if (!strcmp(scenario, "later_name")) {
    launch = launchKernel(inner::later_name, grid, block, out);
  } else {
    fprintf(stderr, "fourth_review_probe: unknown scenario '%s'\n", scenario);
    return 2;
  }
  print_status(launch);
  print_ints("out", host_copy(out, total));
  return 0;
}
