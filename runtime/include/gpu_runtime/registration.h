// Device-code registration. A kernel source declares its kernels (with their
// mangled device names) and constant tables once:
//
//   GPU_DEVICE_CODE(
//       GPU_KERNEL(kernel, "_Z6kernelPiS_i"),
//       GPU_CONSTANT(table, "table"))
//
// In the CPU build this makes the device code image and a static initialiser
// that registers it, each kernel and each table, and unregisters the image at
// exit; each kernel's image entry carries its thread form (cpu_forms.h). nvcc
// generates all of that itself, so there it compiles to nothing.
#pragma once

#ifdef __CUDACC__

#define GPU_DEVICE_CODE(...)

#else

#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "gpu_runtime/cpu_forms.h"
#include "gpu_runtime/host_api.h"

namespace gpu_runtime {

/// One entry of a device code image: a kernel or a constant-memory variable.
struct DeviceSymbol {
  const void* host_address;
  const char* name;
  size_t size;              ///< variables: bytes
  const KernelOps* kernel;  ///< kernels: how to run it; variables: null

  template <auto Kernel>
  static DeviceSymbol of_kernel(const char* mangled) {
    return {reinterpret_cast<const void*>(Kernel), mangled, 0, &detail::KernelThunk<Kernel>::ops()};
  }
};

/// The CPU build's device code image: what __cudaRegisterFatBinary receives.
struct DeviceImage {
  static constexpr unsigned kMagic = 0x43505544;  // identifies a CPU-device image
  unsigned magic = kMagic;
  std::vector<DeviceSymbol> symbols;
  DeviceImage(std::initializer_list<DeviceSymbol> list) : symbols(list) {}
};

/// Registers the image, each kernel and each variable, as nvcc's generated
/// initialiser does; returns the handle.
inline void** register_device_image(DeviceImage& image) {
  void** handle = __cudaRegisterFatBinary(&image);
  for (const DeviceSymbol& s : image.symbols) {
    char* name = const_cast<char*>(s.name);
    if (s.kernel) {
      __cudaRegisterFunction(handle, static_cast<const char*>(s.host_address), name, name, -1,
                             nullptr, nullptr, nullptr, nullptr, nullptr);
    } else {
      __cudaRegisterVar(handle, static_cast<char*>(const_cast<void*>(s.host_address)), name, name,
                        0, s.size, 1, 0);
    }
  }
  return handle;
}

}  // namespace gpu_runtime

#define GPU_KERNEL(fn, mangled) ::gpu_runtime::DeviceSymbol::of_kernel<&fn>(mangled)
#define GPU_CONSTANT(var, name) \
  ::gpu_runtime::DeviceSymbol { static_cast<const void*>(&var), name, sizeof(var), nullptr }

#define GPU_DEVICE_CODE(...)                                                             \
  namespace {                                                                            \
  ::gpu_runtime::DeviceImage gpu_device_image_{__VA_ARGS__};                             \
  void** gpu_device_handle_;                                                             \
  void gpu_unregister_device_image_() { __cudaUnregisterFatBinary(gpu_device_handle_); } \
  const int gpu_device_registered_ =                                                     \
      (gpu_device_handle_ = ::gpu_runtime::register_device_image(gpu_device_image_),     \
       std::atexit(gpu_unregister_device_image_), 0);                                    \
  }

#endif
