// test: drives the CTA tracker on one real launch. Registers, for each thread
// row of a 16x16 block, the 16 input elements that row of every CTA reads,
// then launches a kernel writing input + 192 into a result matrix over a
// 1024x1024 grid of threads and copies the result back. Prints nothing.
#include <cstdio>   // defines: fprintf
#include <cstdlib>  // defines: exit

#include "gpu_runtime.h"  // defines: the runtime API, launchKernel, GPU_DEVICE_CODE, mallocCheck, callocCheck

// b[index] = a[index] + 192 for the thread's matrix element; one thread per
// element, 16x16 blocks tiling an N x N matrix exactly (no bounds check).
__global__ void kernel(int* a, int* b, int N) {
  unsigned int row = blockIdx.y * blockDim.y + threadIdx.y;
  unsigned int col = blockIdx.x * blockDim.x + threadIdx.x;
  int index = N * (int)row + (int)col;
  // 32-bit wrap-around, as the device's integer add.
  b[index] = (int)((unsigned int)a[index] + 192u);
}

GPU_DEVICE_CODE(GPU_KERNEL(kernel, "_Z6kernelPiS_i"))

// A failed allocation would otherwise be used as a matrix: report it and stop
// (mallocCheck: %1$s what).
#define ALLOCATION_FAILED "test: cannot allocate the %1$s\n"

static void fail_allocation(const char* what) {
  fprintf(stderr, ALLOCATION_FAILED, what);
  exit(1);
}

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  int N = 1024;
  size_t bytes = (size_t)N * (size_t)N * 4;

  // The input matrix is never written; zero-filled so no indeterminate value is read.
  int* a_h = (int*)callocCheck(bytes, "host input matrix", ALLOCATION_FAILED);  // (N, N)
  int* b_h = (int*)mallocCheck(bytes, "host result matrix", ALLOCATION_FAILED);  // (N, N)

  int* a_d;  // (N, N)
  int* b_d;  // (N, N)
  if (cudaMalloc((void**)&a_d, bytes) != cudaSuccess) fail_allocation("device input matrix");
  if (cudaMalloc((void**)&b_d, bytes) != cudaSuccess) fail_allocation("device result matrix");

  cudaMemcpy(a_d, a_h, bytes, cudaMemcpyHostToDevice);

  dim3 grid(N / 16, N / 16, 1);
  dim3 block(16, 16, 1);

  // Thread row i of the CTA at (x, y) reads matrix row 16y + i, columns 16x .. 16x + 15.
  cudaFlushCTATracker();
  for (int i = 0; i < (int)block.y; i++) {
    cudaSetCTATracker(a_d, 4, block.x, block.y * N, 0, N * i, block.x, block.y * N, 0,
                      N * i + block.x);
  }

  launchKernel(kernel, grid, block, a_d, b_d, N);

  cudaMemcpy(b_h, b_d, bytes, cudaMemcpyDeviceToHost);
  return 0;
}
