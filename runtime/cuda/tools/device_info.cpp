// gpu_device_info: what scripts/gpu-check needs to know of device 0, as
// key=value lines: name, compute capability, multiprocessors, and the peak
// memory bandwidth from the memory clock and bus width (0 when the device
// does not say). Exit status 1 when there is no usable device.
#include <cuda_runtime_api.h>

#include <cstdio>

int main() {
  cudaDeviceProp prop;
  int clock_khz = 0, bus_bits = 0;
  cudaError_t status = cudaGetDeviceProperties(&prop, 0);
  if (status == cudaSuccess) status = cudaDeviceGetAttribute(&clock_khz, cudaDevAttrMemoryClockRate, 0);
  if (status == cudaSuccess) status = cudaDeviceGetAttribute(&bus_bits, cudaDevAttrGlobalMemoryBusWidth, 0);
  if (status != cudaSuccess) {
    std::fprintf(stderr, "gpu_device_info: %s\n", cudaGetErrorString(status));
    return 1;
  }
  // Two transfers per memory clock (double data rate).
  const double peak_gbps = 2.0 * clock_khz * 1e3 * (bus_bits / 8.0) / 1e9;
  std::printf("name=%s\ncc=%d.%d\nsms=%d\npeak_gbps=%.1f\n", prop.name, prop.major, prop.minor,
              prop.multiProcessorCount, peak_gbps);
  return 0;
}
