// Types of the runtime API: statuses, copy kinds, geometry, device properties.
// Numbers and layouts follow the CUDA runtime so the same sources build with nvcc.
#pragma once

#include <cstddef>

/// Runtime status, 0 for success. Values are the CUDA runtime's numbers.
// A fixed underlying type: any int is a status a caller may pass (an unknown one has a text too).
enum cudaError : int {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInitializationError = 3,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorInvalidDevicePointer = 17,
  cudaErrorInvalidMemcpyDirection = 21,
  cudaErrorInsufficientDriver = 35,
  cudaErrorInvalidDeviceFunction = 98,
  cudaErrorNoDevice = 100,
  cudaErrorInvalidDevice = 101,
  cudaErrorIllegalAddress = 700,
  cudaErrorLaunchFailure = 719,
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind : int {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4,
};

/// Streams exist only as the default stream (null).
typedef struct CUstream_st* cudaStream_t;

struct uint3 {
  unsigned int x, y, z;
};

/// Grid or block geometry; dimensions left out are 1.
struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
  constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
  constexpr operator uint3() const { return uint3{x, y, z}; }
};

/// The device properties record (the fields programs and tests read).
struct cudaDeviceProp {
  char name[256];
  size_t totalGlobalMem;
  size_t sharedMemPerBlock;
  int regsPerBlock;
  int warpSize;
  size_t memPitch;
  int maxThreadsPerBlock;
  int maxThreadsDim[3];
  int maxGridSize[3];
  int clockRate;
  size_t totalConstMem;
  int major;
  int minor;
  size_t textureAlignment;
  int deviceOverlap;
  int multiProcessorCount;
  int kernelExecTimeoutEnabled;
  int integrated;
  int canMapHostMemory;
  int computeMode;
  int concurrentKernels;
  int asyncEngineCount;
  int unifiedAddressing;
};
