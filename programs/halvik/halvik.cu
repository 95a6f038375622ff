// halvik: speckle-reducing anisotropic diffusion. Fills a rows x cols image
// from the pseudo-random generator (seed 7), then runs the given number of
// diffusion iterations on the GPU, measuring the speckle region on the host.
#include <climits>  // defines: INT_MAX
#include <cmath>    // defines: expf
#include <cstdio>   // defines: fprintf, snprintf, puts
#include <cstdlib>  // defines: atoi, atof, free, rand, srand, exit

#include "gpu_runtime.h"     // defines: the runtime API, launchKernel, mallocCheck
#include "halvik_kernel.cu"  // defines: halvik_cuda_1, halvik_cuda_2, BLOCK_SIZE

[[noreturn]] void usage(int argc, char** argv) {
  (void)argc;
  fprintf(stderr, "Usage: %s <rows> <cols> <y1> <y2> <x1> <x2> <lamda> <no. of iter>\n", argv[0]);
  fprintf(stderr, "\t<rows>   - number of rows\n");
  fprintf(stderr, "\t<cols>    - number of cols\n");
  fprintf(stderr, "\t<y1> \t - y1 value of the speckle\n");
  fprintf(stderr, "\t<y2>      - y2 value of the speckle\n");
  fprintf(stderr, "\t<x1>       - x1 value of the speckle\n");
  fprintf(stderr, "\t<x2>       - x2 value of the speckle\n");
  fprintf(stderr, "\t<lamda>   - lambda (0,1)\n");
  fprintf(stderr, "\t<no. of iter>   - number of iterations\n");
  exit(1);
}

// Fills I (rows x cols) with values in [0, 1]: the generator's output over 2^31.
void random_matrix(float* I, int rows, int cols) {
  srand(7);
  for (int i = 0; i < rows; i++) {
    for (int j = 0; j < cols; j++) {
      I[i * cols + j] = (float)rand() / 2147483648.0f;
    }
  }
}

// Refuses the command line: one line on standard error, status 1.
static void refuse(const char* message) {
  fprintf(stderr, "%s\n", message);
  exit(1);
}

// How a host allocation that fails is reported (mallocCheck: %1$s what, %2$zu bytes).
#define HOST_ALLOCATION_FAILED "cannot allocate the host %1$s (%2$zu bytes)\n"

// A runtime call that failed: one line naming what was being done, status 1.
static void device_failed(const char* what, cudaError_t status) {
  fprintf(stderr, "cannot %s: %s\n", what, cudaGetErrorString(status));
  exit(1);
}

static float* device_buffer(size_t bytes, const char* what) {
  float* p = NULL;
  cudaError_t status = cudaMalloc((void**)&p, bytes);
  if (status != cudaSuccess) {
    fprintf(stderr, "cannot allocate the device buffer %s (%zu bytes): %s\n", what, bytes,
            cudaGetErrorString(status));
    exit(1);
  }
  return p;
}

void runTest(int argc, char** argv) {
  if (argc != 9) usage(argc, argv);

  int rows = atoi(argv[1]);
  int cols = atoi(argv[2]);
  if ((rows & 15) || (cols & 15)) {
    fprintf(stderr, "rows and cols must be multiples of 16\n");
    exit(1);
  }
  if (rows <= 0) refuse("rows must be positive");
  if (cols <= 0) refuse("cols must be positive");
  if (rows > INT_MAX / cols) refuse("rows x cols must not exceed 2147483647 pixels");

  unsigned int y1 = atoi(argv[3]);
  unsigned int y2 = atoi(argv[4]);
  unsigned int x1 = atoi(argv[5]);
  unsigned int x2 = atoi(argv[6]);
  float lambda = (float)atof(argv[7]);
  int niter = atoi(argv[8]);

  // The speckle region must lie inside the image and hold at least one pixel.
  if (y2 >= (unsigned int)rows) refuse("y2 must be less than rows");
  if (x2 >= (unsigned int)cols) refuse("x2 must be less than cols");
  if (y1 > y2) refuse("y1 must not be greater than y2 (the speckle region would be empty)");
  if (x1 > x2) refuse("x1 must not be greater than x2 (the speckle region would be empty)");

  // One block per 16x16 tile: refuse now a grid the device cannot launch,
  // rather than have every launch refused and the image come back unfiltered.
  cudaDeviceProp prop;
  cudaError_t status = cudaGetDeviceProperties(&prop, 0);
  if (status != cudaSuccess) device_failed("query the device", status);
  char limit[160];
  if (rows / BLOCK_SIZE > prop.maxGridSize[1]) {
    snprintf(limit, sizeof limit, "rows must not exceed %lld (%d tiles of %d, the device's largest grid height)",
             (long long)prop.maxGridSize[1] * BLOCK_SIZE, prop.maxGridSize[1], BLOCK_SIZE);
    refuse(limit);
  }
  if (cols / BLOCK_SIZE > prop.maxGridSize[0]) {
    snprintf(limit, sizeof limit, "cols must not exceed %lld (%d tiles of %d, the device's largest grid width)",
             (long long)prop.maxGridSize[0] * BLOCK_SIZE, prop.maxGridSize[0], BLOCK_SIZE);
    refuse(limit);
  }

  int size_I = rows * cols;
  int size_R = (y2 - y1 + 1) * (x2 - x1 + 1);
  size_t bytes = (size_t)size_I * sizeof(float);

  float* I = (float*)mallocCheck(bytes, "input matrix", HOST_ALLOCATION_FAILED);  // (rows, cols) random values
  float* J = (float*)mallocCheck(bytes, "image", HOST_ALLOCATION_FAILED);         // (rows, cols) the image

  float* J_cuda = device_buffer(bytes, "J_cuda");  // (rows, cols) the image
  float* C_cuda = device_buffer(bytes, "C_cuda");  // (rows, cols) diffusion coefficients
  float* E_C = device_buffer(bytes, "E_C");        // (rows, cols) east differences
  float* W_C = device_buffer(bytes, "W_C");        // (rows, cols) west differences
  float* S_C = device_buffer(bytes, "S_C");        // (rows, cols) south differences
  float* N_C = device_buffer(bytes, "N_C");        // (rows, cols) north differences

  puts("Randomizing the input matrix");
  random_matrix(I, rows, cols);
  for (int k = 0; k < size_I; k++) {
    J[k] = expf(I[k]);
  }

  puts("Start the HALVIK main loop");
  for (int iter = 0; iter < niter; iter++) {
    // Mean and variance of the speckle region, from the image the previous
    // iteration brought back.
    float sum = 0;
    float sum2 = 0;
    for (int i = y1; (unsigned int)i <= y2; i++) {
      for (int j = x1; (unsigned int)j <= x2; j++) {
        float tmp = J[i * cols + j];
        sum = sum + tmp;
        sum2 = tmp * tmp + sum2;
      }
    }
    float meanROI = sum / (float)size_R;
    float varROI = (sum2 / (float)size_R) - meanROI * meanROI;
    float q0sqr = varROI / (meanROI * meanROI);

    dim3 dimBlock(BLOCK_SIZE, BLOCK_SIZE, 1);
    dim3 dimGrid(cols / BLOCK_SIZE, rows / BLOCK_SIZE, 1);

    // Launch statuses are not read: a configuration the runtime refuses
    // skips that kernel for this iteration and the loop goes on. A copy that
    // fails, or a kernel that failed while running (reported by the copy
    // after it), ends the run: the image would not be the one computed.
    status = cudaMemcpy(J_cuda, J, bytes, cudaMemcpyHostToDevice);
    if (status != cudaSuccess) device_failed("copy the image to the device", status);
    launchKernel(halvik_cuda_1, dimGrid, dimBlock, E_C, W_C, N_C, S_C, J_cuda, C_cuda, cols, rows,
                 q0sqr);
    launchKernel(halvik_cuda_2, dimGrid, dimBlock, E_C, W_C, N_C, S_C, J_cuda, C_cuda, cols, rows,
                 lambda, q0sqr);
    status = cudaMemcpy(J, J_cuda, bytes, cudaMemcpyDeviceToHost);
    if (status != cudaSuccess) device_failed("copy the image back from the device", status);
  }

  status = cudaThreadSynchronize();
  if (status != cudaSuccess) device_failed("finish the computation", status);
  puts("Computation Done");

  free(I);
  free(J);
  cudaFree(J_cuda);
  cudaFree(C_cuda);
  cudaFree(E_C);
  cudaFree(W_C);
  cudaFree(S_C);
  cudaFree(N_C);
}

int main(int argc, char** argv) {
  runTest(argc, argv);
  return 0;
}
