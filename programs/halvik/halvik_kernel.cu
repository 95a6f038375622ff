// halvik_kernel: the two kernels of one speckle-reducing anisotropic diffusion
// iteration over a rows x cols single-precision image, tiled in 16x16 blocks.
#include <cmath>  // defines: fmaf, fma

#include "gpu_runtime.h"  // defines: the kernel dialect, GPU_DEVICE_CODE

#define BLOCK_SIZE 16

// Computes, for every pixel, the differences to its four neighbours (neighbour
// minus pixel) and its diffusion coefficient clamped to [0, 1] (a NaN is kept).
// q0sqr is the squared coefficient of variation of the speckle region.
// One thread per pixel: thread (tx, ty) of block (bx, by) owns row 16*by + ty,
// column 16*bx + tx; the grid covers the image exactly, so rows and cols are
// multiples of 16 and there is no bounds guard. Across the image border a pixel
// is its own neighbour: tiles on an edge take the edge row or column as halo.
// rows is not read: the grid's height gives the last row.
__global__ void halvik_cuda_1(float* E_C,     // (rows, cols) east neighbour minus pixel
                              float* W_C,     // (rows, cols) west neighbour minus pixel
                              float* N_C,     // (rows, cols) north neighbour minus pixel
                              float* S_C,     // (rows, cols) south neighbour minus pixel
                              float* J_cuda,  // (rows, cols) the image, read only
                              float* C_cuda,  // (rows, cols) the coefficients
                              int cols, int rows, float q0sqr) {
  (void)rows;
  int bx = blockIdx.x;
  int by = blockIdx.y;
  int tx = threadIdx.x;
  int ty = threadIdx.y;
  int gx = gridDim.x;
  int gy = gridDim.y;

  int row_R = BLOCK_SIZE * by + ty;
  int col_X = BLOCK_SIZE * bx + tx;
  int index = BLOCK_SIZE * (by * cols + bx) + ty * cols + tx;

  // Halo indices are formed only where they lie inside the image, so the
  // arithmetic never steps past the last element either.
  int index_n = (by == 0) ? col_X : (BLOCK_SIZE * by - 1) * cols + col_X;
  int index_s = (by == gy - 1) ? (BLOCK_SIZE * gy - 1) * cols + col_X
                               : (BLOCK_SIZE * by + BLOCK_SIZE) * cols + col_X;
  int index_w = row_R * cols + ((bx == 0) ? 0 : BLOCK_SIZE * bx - 1);
  int index_e = row_R * cols + ((bx == gx - 1) ? cols - 1 : BLOCK_SIZE * bx + BLOCK_SIZE);

  __shared__ float north[BLOCK_SIZE][BLOCK_SIZE];
  __shared__ float south[BLOCK_SIZE][BLOCK_SIZE];
  __shared__ float west[BLOCK_SIZE][BLOCK_SIZE];
  __shared__ float east[BLOCK_SIZE][BLOCK_SIZE];
  __shared__ float temp[BLOCK_SIZE][BLOCK_SIZE];
  __shared__ float temp_result[BLOCK_SIZE][BLOCK_SIZE];

  // Every thread loads one element of each halo; only row 0 of north, row 15
  // of south, column 0 of west and column 15 of east are read below.
  north[ty][tx] = J_cuda[index_n];
  south[ty][tx] = J_cuda[index_s];
  __syncthreads();

  west[ty][tx] = J_cuda[index_w];
  east[ty][tx] = J_cuda[index_e];
  __syncthreads();

  temp[ty][tx] = J_cuda[index];
  __syncthreads();

  float jc = temp[ty][tx];
  float n = ((ty == 0) ? north[ty][tx] : temp[ty - 1][tx]) - jc;
  float s = ((ty == BLOCK_SIZE - 1) ? south[ty][tx] : temp[ty + 1][tx]) - jc;
  float w = ((tx == 0) ? west[ty][tx] : temp[ty][tx - 1]) - jc;
  float e = ((tx == BLOCK_SIZE - 1) ? east[ty][tx] : temp[ty][tx + 1]) - jc;

  // Normalised Laplacian and gradient magnitude of the pixel.
  float l = (((n + s) + w) + e) / jc;
  float den = (float)fma((double)l, 0.25, 1.0);
  float sum2 = s * s;
  sum2 = fmaf(n, n, sum2);
  sum2 = fmaf(w, w, sum2);
  sum2 = fmaf(e, e, sum2);
  float g2 = sum2 / (jc * jc);
  float l2 = l * l;
  float num = (float)(0.5 * (double)g2 - 0.0625 * (double)l2);

  // Instantaneous coefficient of variation against the speckle's, then the
  // coefficient itself; a NaN fails both comparisons and is stored as it is.
  float qsqr = num / (den * den);
  float d = (qsqr - q0sqr) / (q0sqr * (q0sqr + 1.0f));
  float c = (float)(1.0 / (1.0 + (double)d));
  if (c < 0.0f) {
    c = 0.0f;
  } else if (c > 1.0f) {
    c = 1.0f;
  }
  temp_result[ty][tx] = c;
  __syncthreads();

  C_cuda[index] = temp_result[ty][tx];
  E_C[index] = e;
  W_C[index] = w;
  S_C[index] = s;
  N_C[index] = n;
}

// Moves every pixel of J_cuda, in place, by lambda/4 times the
// coefficient-weighted sum of its four differences. The north and west fluxes
// use the pixel's own coefficient, the south and east fluxes the coefficient
// of the pixel below and to the right (the pixel's own on the last row and
// column). Needs the five arrays of a finished halvik_cuda_1 over the whole
// grid. Thread mapping and sizes as in halvik_cuda_1; rows and q0sqr are not read.
__global__ void halvik_cuda_2(float* E_C,     // (rows, cols)
                              float* W_C,     // (rows, cols)
                              float* N_C,     // (rows, cols)
                              float* S_C,     // (rows, cols)
                              float* J_cuda,  // (rows, cols) the image, updated in place
                              float* C_cuda,  // (rows, cols) the coefficients
                              int cols, int rows, float lambda, float q0sqr) {
  (void)rows;
  (void)q0sqr;
  int bx = blockIdx.x;
  int by = blockIdx.y;
  int tx = threadIdx.x;
  int ty = threadIdx.y;
  int gx = gridDim.x;
  int gy = gridDim.y;

  int row_R = BLOCK_SIZE * by + ty;
  int col_X = BLOCK_SIZE * bx + tx;
  int index = BLOCK_SIZE * (by * cols + bx) + ty * cols + tx;
  int index_s = (by == gy - 1) ? (BLOCK_SIZE * gy - 1) * cols + col_X
                               : (BLOCK_SIZE * by + BLOCK_SIZE) * cols + col_X;
  int index_e = row_R * cols + ((bx == gx - 1) ? cols - 1 : BLOCK_SIZE * bx + BLOCK_SIZE);

  __shared__ float south_c[BLOCK_SIZE][BLOCK_SIZE];
  __shared__ float east_c[BLOCK_SIZE][BLOCK_SIZE];
  __shared__ float c_cuda_temp[BLOCK_SIZE][BLOCK_SIZE];
  __shared__ float c_cuda_result[BLOCK_SIZE][BLOCK_SIZE];
  __shared__ float temp[BLOCK_SIZE][BLOCK_SIZE];

  temp[ty][tx] = J_cuda[index];
  __syncthreads();

  south_c[ty][tx] = C_cuda[index_s];
  __syncthreads();

  east_c[ty][tx] = C_cuda[index_e];
  __syncthreads();

  c_cuda_temp[ty][tx] = C_cuda[index];
  __syncthreads();

  float cc = c_cuda_temp[ty][tx];
  float cn = cc;
  float cw = cc;
  float cs = (ty == BLOCK_SIZE - 1) ? south_c[ty][tx] : c_cuda_temp[ty + 1][tx];
  float ce = (tx == BLOCK_SIZE - 1) ? east_c[ty][tx] : c_cuda_temp[ty][tx + 1];

  float d_sum = cs * S_C[index];
  d_sum = fmaf(N_C[index], cn, d_sum);
  d_sum = fmaf(W_C[index], cw, d_sum);
  d_sum = fmaf(E_C[index], ce, d_sum);

  c_cuda_result[ty][tx] = (float)fma((double)d_sum, (double)lambda * 0.25, (double)temp[ty][tx]);
  __syncthreads();

  J_cuda[index] = c_cuda_result[ty][tx];
}

GPU_DEVICE_CODE(GPU_KERNEL(halvik_cuda_1, "_Z13halvik_cuda_1PfS_S_S_S_S_iif"),
                GPU_KERNEL(halvik_cuda_2, "_Z13halvik_cuda_2PfS_S_S_S_S_iiff"))
