// The runtime API the programs call, with the CUDA runtime's names, arguments
// and statuses. Every call may be made from one host thread; none is
// reentrant from inside a kernel.
#pragma once

#include "gpu_runtime/types.h"

extern "C" {

/// Allocates `size` bytes of device memory, 256-byte aligned, and stores the
/// address in *devPtr. Out of memory: cudaErrorMemoryAllocation, *devPtr untouched.
cudaError_t cudaMalloc(void** devPtr, size_t size);

/// Releases an allocation. Null: success. Not a live allocation's base:
/// cudaErrorInvalidDevicePointer. Waits for launched work first.
cudaError_t cudaFree(void* devPtr);

/// Copies `count` bytes after all earlier launches have finished. Each device
/// side must lie wholly inside one live allocation (else cudaErrorInvalidValue);
/// an unknown kind gives cudaErrorInvalidMemcpyDirection. An error raised by a
/// kernel that ran before is returned here.
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind);

/// Waits for all launched work; returns an error it raised, if any.
cudaError_t cudaThreadSynchronize(void);

/// Returns the last error of any call and resets it to cudaSuccess.
cudaError_t cudaGetLastError(void);

/// The message text of a status; never null.
const char* cudaGetErrorString(cudaError_t error);

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(struct cudaDeviceProp* prop, int device);
cudaError_t cudaSetDevice(int device);

/// Legacy launch: configure, set up each argument, launch the host entry.
cudaError_t cudaConfigureCall(dim3 gridDim, dim3 blockDim, size_t sharedMem, cudaStream_t stream);
cudaError_t cudaSetupArgument(const void* arg, size_t size, size_t offset);
cudaError_t cudaLaunch(const void* func);

/// Device code registration, made by static initialisers before main.
void** __cudaRegisterFatBinary(void* fatCubin);
void __cudaUnregisterFatBinary(void** fatCubinHandle);
void __cudaRegisterFunction(void** fatCubinHandle, const char* hostFun, char* deviceFun,
                            const char* deviceName, int thread_limit, uint3* tid, uint3* bid,
                            dim3* bDim, dim3* gDim, int* wSize);
void __cudaRegisterVar(void** fatCubinHandle, char* hostVar, char* deviceAddress,
                       const char* deviceName, int ext, size_t size, int constant, int global);

}  // extern "C"

template <class T>
inline cudaError_t cudaMalloc(T** devPtr, size_t size) {
  return cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}
