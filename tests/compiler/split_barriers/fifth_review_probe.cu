// fifth_review_probe <scenario> [bx by bz gx gy gz]: kernels the build gives
// a row form or a region form, in shapes where the form's order of threads
// and blocks, or a value it keeps across a barrier, could differ from the
// kernel as written: 2-D blocks over a box they overhang, runs of blocks
// cut at a worker's chunk in the middle of a grid row, a device function
// that hands out tickets from a static counter, a local assigned after
// another was computed from it, a device variable changed between barriers.
//
// Output: "status <launch> <sync>" after the launch, then "out:" followed by
// one value per thread of the launch.
#include <cstdio>   // defines: printf, fprintf
#include <cstring>  // defines: strcmp
#include <vector>

#include "gpu_runtime.h"  // defines: the runtime API, launchKernel, GPU_DEVICE_CODE
#include "probe_io.h"     // defines: device_copy, print_status, probe_args

// The thread's place among all the launch's threads: x fastest, then the
// block's y and z, then the grid's x, y and z.
#define PLACE                                                                                                   \
  ((((blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x) * blockDim.z + threadIdx.z) * blockDim.y * \
       blockDim.x +                                                                                             \
   threadIdx.y * blockDim.x + threadIdx.x)

// Each thread of a width x height box (smaller than the grid covers) writes
// its column, row and the launch's shape; threads past the box's edge leave
// out as it was. No loop, no barrier: a row form.
__global__ void row_box2d(int* out, int width, int height) {
  const unsigned col = blockIdx.x * blockDim.x + threadIdx.x;
  const unsigned row = blockIdx.y * blockDim.y + threadIdx.y;
  if (col >= (unsigned)width || row >= (unsigned)height) return;
  out[PLACE] = (int)(col * 1000 + row * 10) + (int)(gridDim.x + gridDim.y + blockDim.x + blockDim.y);
}

// Tickets from a counter the device function keeps: each thread takes one.
__device__ int next_ticket() {
  static int issued = 0;
  return issued++;
}

__global__ void row_tickets(int* out) { out[PLACE] = next_ticket(); }

// b is computed from a before a changes: b keeps the old value.
__global__ void assigned_after_use(int* out) {
  int a = threadIdx.x;
  int b = a * 2;
  a = 7;
  __syncthreads();
  out[PLACE] = b * 100 + a;
}

// b reads a device variable of its block that thread 0 changes between two
// barriers: every thread keeps what it read before.
__device__ int g_base[8] = {40, 40, 40, 40, 40, 40, 40, 40};

__global__ void device_variable_changes(int* out) {
  int b = g_base[blockIdx.x % 8] + (int)threadIdx.x;
  __syncthreads();
  if (threadIdx.x == 0) g_base[blockIdx.x % 8] = 50;
  __syncthreads();
  out[PLACE] = b;
}

GPU_DEVICE_CODE(GPU_KERNEL(row_box2d, "_Z9row_box2dPiii"), GPU_KERNEL(row_tickets, "_Z11row_ticketsPi"),
                GPU_KERNEL(assigned_after_use, "_Z18assigned_after_usePi"),
                GPU_KERNEL(device_variable_changes, "_Z23device_variable_changesPi"))

int main(int argc, char** argv) {
  const ProbeArgs args = probe_args(argc, argv, "fifth_review_probe");
  const char* scenario = args.scenario;
  const dim3 block = args.block, grid = args.grid;
  const size_t total = args.total;
  int* out = device_copy(std::vector<int>(total, -1));

  cudaError_t launch;
  if (!strcmp(scenario, "row_box2d")) {
    // One column and one row short of what the grid covers.
    const int width = (int)(block.x * grid.x) - 1, height = (int)(block.y * grid.y) - 1;
    launch = launchKernel(row_box2d, grid, block, out, width, height);
  } else if (!strcmp(scenario, "row_tickets")) {
    launch = launchKernel(row_tickets, grid, block, out);
  } else if (!strcmp(scenario, "assigned_after_use")) {
    launch = launchKernel(assigned_after_use, grid, block, out);
  } else if (!strcmp(scenario, "device_variable_changes")) {
    launch = launchKernel(device_variable_changes, grid, block, out);
  } else {
    fprintf(stderr, "fifth_review_probe: unknown scenario '%s'\n", scenario);
    return 2;
  }
  print_status(launch);
  print_ints("out", host_copy(out, total));
  return 0;
}
