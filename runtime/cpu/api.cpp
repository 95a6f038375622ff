// The runtime API entry points: each hands its arguments to the runtime.
#include "gpu_runtime/host_api.h"
#include "gpu_runtime/tracker.h"
#include "common/status_text.h"
#include "runtime.h"

using gpu_runtime::cpu::Runtime;

extern "C" {

cudaError_t cudaMalloc(void** devPtr, size_t size) { return Runtime::get().malloc(devPtr, size); }
cudaError_t cudaFree(void* devPtr) { return Runtime::get().free(devPtr); }
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind) {
  return Runtime::get().memcpy(dst, src, count, static_cast<int>(kind));
}
cudaError_t cudaThreadSynchronize(void) { return Runtime::get().thread_synchronize(); }
cudaError_t cudaGetLastError(void) { return Runtime::get().get_last_error(); }
const char* cudaGetErrorString(cudaError_t error) { return gpu_runtime::common::status_text(error); }
cudaError_t cudaGetDeviceCount(int* count) { return Runtime::get().get_device_count(count); }
cudaError_t cudaGetDeviceProperties(struct cudaDeviceProp* prop, int device) {
  return Runtime::get().get_device_properties(prop, device);
}
cudaError_t cudaSetDevice(int device) { return Runtime::get().set_device(device); }

cudaError_t cudaConfigureCall(dim3 gridDim, dim3 blockDim, size_t sharedMem, cudaStream_t stream) {
  return Runtime::get().configure_call(gridDim, blockDim, sharedMem, stream);
}
cudaError_t cudaSetupArgument(const void* arg, size_t size, size_t offset) {
  return Runtime::get().setup_argument(arg, size, offset);
}
cudaError_t cudaLaunch(const void* func) { return Runtime::get().launch(func); }

cudaError_t cudaSetCTATracker(void* devBase, int elementSize, int startX, int startY, int startZ,
                              int startOffset, int endX, int endY, int endZ, int endOffset) {
  const int start[4] = {startX, startY, startZ, startOffset};
  const int end[4] = {endX, endY, endZ, endOffset};
  return Runtime::get().set_cta_tracker(devBase, elementSize, start, end);
}
cudaError_t cudaFlushCTATracker(void) { return Runtime::get().flush_cta_tracker(); }

void** __cudaRegisterFatBinary(void* fatCubin) { return Runtime::get().register_fat_binary(fatCubin); }
void __cudaUnregisterFatBinary(void** fatCubinHandle) { Runtime::get().unregister_fat_binary(fatCubinHandle); }
void __cudaRegisterFunction(void** fatCubinHandle, const char* hostFun, char* deviceFun, const char* deviceName,
                            int, uint3*, uint3*, dim3*, dim3*, int*) {
  Runtime::get().register_function(fatCubinHandle, hostFun, deviceName ? deviceName : deviceFun);
}
void __cudaRegisterVar(void** fatCubinHandle, char* hostVar, char* deviceAddress, const char* deviceName, int,
                       size_t size, int constant, int) {
  Runtime::get().register_var(fatCubinHandle, hostVar, deviceName ? deviceName : deviceAddress, size, constant);
}

}  // extern "C"

bool gpu_runtime::attach_region_form(const void* kernel_host_entry, RegionRunner run_block, size_t args_size) {
  Runtime::get().attach_region_form(kernel_host_entry, run_block, args_size);
  return true;
}

bool gpu_runtime::attach_row_form(const void* kernel_host_entry, RowRunner run_rows, size_t args_size) {
  Runtime::get().attach_row_form(kernel_host_entry, run_rows, args_size);
  return true;
}
