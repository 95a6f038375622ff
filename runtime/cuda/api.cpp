// The runtime API entry points of the GPU build. The __wrap_ functions take
// the programs' calls to the vendor functions of the same name (see vendor.h);
// the legacy calls are ours alone. Each hands its arguments to the runtime.
#include "gpu_runtime/legacy_api.h"
#include "runtime.h"
#include "tracker_entry.h"

using gpu_runtime::cuda::Runtime;

extern "C" {

cudaError_t __wrap_cudaMalloc(void** devPtr, size_t size) { return Runtime::get().malloc(devPtr, size); }
cudaError_t __wrap_cudaFree(void* devPtr) { return Runtime::get().free(devPtr); }
cudaError_t __wrap_cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind) {
  return Runtime::get().memcpy(dst, src, count, kind);
}
cudaError_t __wrap_cudaGetLastError(void) { return Runtime::get().get_last_error(); }
cudaError_t __wrap_cudaGetDeviceCount(int* count) { return Runtime::get().get_device_count(count); }
cudaError_t __wrap_cudaGetDeviceProperties(struct cudaDeviceProp* prop, int device) {
  return Runtime::get().get_device_properties(prop, device);
}
cudaError_t __wrap_cudaSetDevice(int device) { return Runtime::get().set_device(device); }

void** __wrap___cudaRegisterFatBinary(void* fatCubin) { return Runtime::get().register_fat_binary(fatCubin); }
void __wrap___cudaUnregisterFatBinary(void** fatCubinHandle) {
  Runtime::get().unregister_fat_binary(fatCubinHandle);
}
void __wrap___cudaRegisterFunction(void** fatCubinHandle, const char* hostFun, char* deviceFun,
                                   const char* deviceName, int thread_limit, uint3* tid, uint3* bid,
                                   dim3* bDim, dim3* gDim, int* wSize) {
  Runtime::get().register_function(fatCubinHandle, hostFun, deviceFun, deviceName, thread_limit, tid, bid,
                                   bDim, gDim, wSize);
}
void __wrap___cudaRegisterVar(void** fatCubinHandle, char* hostVar, char* deviceAddress, const char* deviceName,
                              int ext, size_t size, int constant, int global) {
  Runtime::get().register_var(fatCubinHandle, hostVar, deviceAddress, deviceName, ext, size, constant, global);
}

cudaError_t cudaConfigureCall(dim3 gridDim, dim3 blockDim, size_t sharedMem, cudaStream_t stream) {
  return Runtime::get().configure_call(gridDim, blockDim, sharedMem, stream);
}
cudaError_t cudaSetupArgument(const void* arg, size_t size, size_t offset) {
  return Runtime::get().setup_argument(arg, size, offset);
}
cudaError_t cudaLaunch(const void* func) { return Runtime::get().launch(func); }
cudaError_t cudaThreadSynchronize(void) { return Runtime::get().thread_synchronize(); }

}  // extern "C"

namespace gpu_runtime::cuda {

int set_cta_tracker(void* base, int element_size, const int start[4], const int end[4]) {
  return Runtime::get().set_cta_tracker(base, element_size, start, end);
}

int flush_cta_tracker() { return Runtime::get().flush_cta_tracker(); }

}  // namespace gpu_runtime::cuda
