// ombrel_kernel: the four layers of the digit network, one kernel per layer,
// each running one thread per output neuron for every image of the batch at
// once, plus the two window-offset tables of the convolution layers.
#include <cmath>  // defines: fmaf, fabsf, truncf, copysignf

#include "gpu_runtime.h"  // defines: the kernel dialect, __ex2approxf, __fdividef, GPU_DEVICE_CODE

// Offset of 5x5 window cell (r, c) from the window's top-left element, entry
// 5r + c: rows of the 29-wide image slot, then rows of a 13-wide map.
__constant__ int kernelTemplate[25] = {
    0,  1,  2,  3,  4,  29, 30, 31, 32, 33, 58, 59, 60, 61, 62, 87, 88, 89, 90, 91, 116, 117, 118, 119, 120,
};
__constant__ int kernelTemplate2[25] = {
    0,  1,  2,  3,  4,  13, 14, 15, 16, 17, 26, 27, 28, 29, 30, 39, 40, 41, 42, 43, 52, 53, 54, 55, 56,
};

// The neuron activation 1.7159 * tanh(0.6666667 * sum), single precision
// throughout, with the device math library's tanh evaluation: the exponential
// form from |y| >= 0.55 (exactly +-1 from 88 on, where e^2|y| overflows), an
// odd polynomial below. Constants are the exact floats noted beside them.
__device__ __forceinline__ float activation(float sum) {
  const float y = sum * 0x1.555556p-1f;  // 3F2AAAAB: 0.6666667
  const float a = fabsf(y);
  float t;
  if (a >= 0x1.19999ap-1f) {  // 3F0CCCCD: 0.55
    // e^u = 2^n * 2^(r log2 e) with n = trunc(u log2 e) and r = u - n ln 2,
    // ln 2 split in two parts so that r keeps its low bits.
    const float u = a + a;
    const float n = truncf(u * 0x1.715476p+0f);  // 3FB8AA3B: log2 e
    const float e1 = __ex2approxf(n);
    float r = fmaf(-0x1.62e4p-1f, n, u);        // BF317200: -ln 2, high part
    r = fmaf(-0x1.7f7d1cp-20f, n, r);           // B5BFBE8E: -ln 2, low part
    const float e2 = __ex2approxf(r * 0x1.715476p+0f);
    const float E = e1 * e2;
    t = 1.0f - __fdividef(2.0f, E + 1.0f);
    if (a >= 0x1.6p+6f) t = 1.0f;  // 42B00000: 88
    t = copysignf(t, y);
  } else {
    // Also taken when y is not a number, which then stays one.
    const float s = y * y;
    float q = s * 0x1.0d5036p-6f + -0x1.af7cccp-5f;  // 3C86A81B, BD57BE66
    q = q * s + 0x1.10cef6p-3f;                      // 3E08677B
    q = q * s + -0x1.555452p-2f;                     // BEAAAA29
    t = (s * q) * y + y;
    if (y == 0.0f) t = y + y;  // zero keeps its sign
  }
  return t * 0x1.b74538p+0f;  // 3FDBA29C: 1.7159
}

// Layer 1: 5x5 convolution, stride 2, of each 29x29 image slot into 6 maps of
// 13x13. Block (b, i) computes map b of image i, thread (tx, ty) its cell
// (x = tx, y = ty); launched as grid (6, NUM), block (13, 13).
// In: (NUM, 29, 29); W: (6, 26), [0] bias, [1 + 5r + c] window weights;
// Out: (NUM, 6, 13, 13).
__global__ void executeFirstLayer(float* Layer1_Neurons_GPU, float* Layer1_Weights_GPU,
                                  float* Layer2_Neurons_GPU) {
  const int b = blockIdx.x, i = blockIdx.y;
  const int tx = threadIdx.x, ty = threadIdx.y;
  const int g = 26 * b;
  float sum = Layer1_Weights_GPU[g];
  const int s = 841 * i + 58 * ty + 2 * tx;  // window top-left: row 2ty, column 2tx
  for (int k = 0; k < 25; k++) {
    sum = fmaf(Layer1_Neurons_GPU[s + kernelTemplate[k]], Layer1_Weights_GPU[g + 1 + k], sum);
  }
  Layer2_Neurons_GPU[1014 * i + 169 * b + 13 * ty + tx] = activation(sum);
}

// Layer 2: 5x5 convolution, stride 2, over all 6 maps of 13x13 into 50 maps
// of 5x5. Block (b, i) computes map b of image i, thread (tx, ty) its cell;
// launched as grid (50, NUM), block (5, 5).
// In: (NUM, 6, 13, 13); W: (50, 156), [0] bias, [1 + 6(5r + c) + m] weight of
// window cell (r, c) in input map m, [151..155] unused; Out: (NUM, 50, 5, 5).
__global__ void executeSecondLayer(float* Layer2_Neurons_GPU, float* Layer2_Weights_GPU,
                                   float* Layer3_Neurons_GPU) {
  const int b = blockIdx.x, i = blockIdx.y;
  const int tx = threadIdx.x, ty = threadIdx.y;
  const int g = 156 * b;
  float sum = Layer2_Weights_GPU[g];
  const int s = 1014 * i + 26 * ty + 2 * tx;  // window top-left in map 0: row 2ty, column 2tx
  for (int k = 0; k < 25; k++) {
    const int p = s + kernelTemplate2[k];
    const int w = g + 1 + 6 * k;
    sum = fmaf(Layer2_Neurons_GPU[p + 169 * 0], Layer2_Weights_GPU[w + 0], sum);
    sum = fmaf(Layer2_Neurons_GPU[p + 169 * 1], Layer2_Weights_GPU[w + 1], sum);
    sum = fmaf(Layer2_Neurons_GPU[p + 169 * 2], Layer2_Weights_GPU[w + 2], sum);
    sum = fmaf(Layer2_Neurons_GPU[p + 169 * 3], Layer2_Weights_GPU[w + 3], sum);
    sum = fmaf(Layer2_Neurons_GPU[p + 169 * 4], Layer2_Weights_GPU[w + 4], sum);
    sum = fmaf(Layer2_Neurons_GPU[p + 169 * 5], Layer2_Weights_GPU[w + 5], sum);
  }
  Layer3_Neurons_GPU[1250 * i + 25 * b + 5 * ty + tx] = activation(sum);
}

// Layer 3: fully connected, 1250 inputs to 100 neurons. Block (b, i) is
// neuron b of image i, one thread; launched as grid (100, NUM), block (1, 1).
// In: (NUM, 1250); W: (100, 1251), [0] bias, [1 + j] weight of input j;
// Out: (NUM, 100).
__global__ void executeThirdLayer(float* Layer3_Neurons_GPU, float* Layer3_Weights_GPU,
                                  float* Layer4_Neurons_GPU) {
  const int b = blockIdx.x, i = blockIdx.y;
  const int g = 1251 * b;
  float sum = Layer3_Weights_GPU[g];
  for (int j = 0; j < 1250; j++) {
    sum = fmaf(Layer3_Neurons_GPU[1250 * i + j], Layer3_Weights_GPU[g + 1 + j], sum);
  }
  Layer4_Neurons_GPU[100 * i + b] = activation(sum);
}

// Layer 4: fully connected, 100 inputs to the 10 digit scores. Block (b, i) is
// digit b of image i, one thread; launched as grid (10, NUM), block (1, 1).
// In: (NUM, 100); W: (10, 101), [0] bias, [1 + j] weight of input j;
// Out: (NUM, 10).
__global__ void executeFourthLayer(float* Layer4_Neurons_GPU, float* Layer4_Weights_GPU,
                                   float* Layer5_Neurons_GPU) {
  const int b = blockIdx.x, i = blockIdx.y;
  const int g = 101 * b;
  float sum = Layer4_Weights_GPU[g];
  for (int j = 0; j < 100; j++) {
    sum = fmaf(Layer4_Neurons_GPU[100 * i + j], Layer4_Weights_GPU[g + 1 + j], sum);
  }
  Layer5_Neurons_GPU[10 * i + b] = activation(sum);
}

GPU_DEVICE_CODE(GPU_KERNEL(executeFirstLayer, "_Z17executeFirstLayerPfS_S_"),
                GPU_KERNEL(executeSecondLayer, "_Z18executeSecondLayerPfS_S_"),
                GPU_KERNEL(executeThirdLayer, "_Z17executeThirdLayerPfS_S_"),
                GPU_KERNEL(executeFourthLayer, "_Z18executeFourthLayerPfS_S_"),
                GPU_CONSTANT(kernelTemplate, "kernelTemplate"),
                GPU_CONSTANT(kernelTemplate2, "kernelTemplate2"))
