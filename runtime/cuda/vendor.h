// The vendor runtime's own entry points for the calls this layer wraps.
//
// Programs call cudaMalloc, __cudaRegisterFunction and the rest by their
// usual names. The link (--wrap, see CMakeLists.txt) sends those calls to our
// __wrap_ functions, and sends our __real_ references below to the vendor's
// functions. Every name here must be in the CMake list of wrapped calls, and
// the other way round; a name missing on either side fails the link.
#pragma once

#include <cuda_runtime_api.h>

extern "C" {
cudaError_t __real_cudaMalloc(void** devPtr, size_t size);
cudaError_t __real_cudaFree(void* devPtr);
cudaError_t __real_cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind);
cudaError_t __real_cudaGetLastError(void);
cudaError_t __real_cudaGetDeviceCount(int* count);
cudaError_t __real_cudaGetDeviceProperties(struct cudaDeviceProp* prop, int device);
cudaError_t __real_cudaSetDevice(int device);

void** __real___cudaRegisterFatBinary(void* fatCubin);
void __real___cudaUnregisterFatBinary(void** fatCubinHandle);
void __real___cudaRegisterFunction(void** fatCubinHandle, const char* hostFun, char* deviceFun,
                                   const char* deviceName, int thread_limit, uint3* tid, uint3* bid,
                                   dim3* bDim, dim3* gDim, int* wSize);
void __real___cudaRegisterVar(void** fatCubinHandle, char* hostVar, char* deviceAddress,
                              const char* deviceName, int ext, size_t size, int constant, int global);
}
