// What tests that run kernels in their own process share: a device buffer
// that copies host arrays in and out, launches that wait for their kernel
// or ask for dynamic shared memory, the form the kernel compiler gave a
// kernel, and comparing results element by element. Include it after
// the standard and GoogleTest headers: it brings in the kernel dialect's
// macros.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "gpu_runtime.h"

namespace test_helpers {

/// `count` elements of T in device memory, freed with the buffer.
template <typename T>
class DeviceBuffer {
 public:
  explicit DeviceBuffer(size_t count) : count_(count) {
    EXPECT_EQ(cudaMalloc(reinterpret_cast<void**>(&ptr_), count * sizeof(T)), cudaSuccess);
  }
  /// A buffer holding a copy of `host`.
  template <typename U = T, typename = std::enable_if_t<!std::is_same_v<U, bool>>>
  explicit DeviceBuffer(const std::vector<T>& host) : DeviceBuffer(host.size()) {
    upload(host.data());
  }
  ~DeviceBuffer() { cudaFree(ptr_); }
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;

  T* get() const { return ptr_; }
  size_t size() const { return count_; }

  /// Copies size() elements from `host` to the device.
  void upload(const T* host) const {
    EXPECT_EQ(cudaMemcpy(ptr_, host, count_ * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
  }
  /// Copies size() elements from the device to `host`.
  void download(T* host) const {
    EXPECT_EQ(cudaMemcpy(host, ptr_, count_ * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
  }
  template <typename U = T, typename = std::enable_if_t<!std::is_same_v<U, bool>>>
  std::vector<T> download() const {
    std::vector<T> host(count_);
    download(host.data());
    return host;
  }

 private:
  T* ptr_ = nullptr;
  size_t count_;
};

/// launchKernel with `shared_bytes` of dynamic shared memory: the kernel's
/// extern __shared__ array gets that many bytes. Returns the configure or
/// set-up status; the launch's own is left for cudaGetLastError.
template <typename... Params, typename... Args>
cudaError_t launch_with_shared(void (*kernel)(Params...), dim3 grid, dim3 block, size_t shared_bytes, Args&&... args) {
  static_assert(sizeof...(Params) == sizeof...(Args), "argument count differs from the kernel's");
  cudaError_t status = cudaConfigureCall(grid, block, shared_bytes, 0);
  if (status != cudaSuccess) return status;
  size_t end = 0;
  // Each argument at the next multiple of its size, as launchKernel places them.
  auto set_up = [&](const auto& value) {
    const size_t offset = gpu_runtime::argument_offset(end, sizeof value);
    end = offset + sizeof value;
    return (status = cudaSetupArgument(&value, sizeof value, offset)) == cudaSuccess;
  };
  if (!(set_up(static_cast<Params>(args)) && ...)) return status;
  cudaLaunch(reinterpret_cast<const void*>(kernel));
  return cudaSuccess;
}

/// The first failure of a launch once its kernel has run: the set-up's
/// status `configured`, the launch's (cudaGetLastError), the kernel's
/// (cudaThreadSynchronize). Every call is made, so no error is left behind.
inline cudaError_t launch_outcome(cudaError_t configured) {
  const cudaError_t launched = cudaGetLastError();
  const cudaError_t ran = cudaThreadSynchronize();
  return configured != cudaSuccess ? configured : launched != cudaSuccess ? launched : ran;
}

/// launchKernel, then waits for the kernel: the launch's outcome.
template <typename... Params, typename... Args>
cudaError_t launch_and_wait(void (*kernel)(Params...), dim3 grid, dim3 block, Args&&... args) {
  return launch_outcome(launchKernel(kernel, grid, block, std::forward<Args>(args)...));
}

/// Compares element by element and names the first few differences.
template <typename T>
void expect_elements(const std::vector<T>& actual, const std::vector<T>& expected, const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  int reported = 0;
  for (size_t i = 0; i < expected.size() && reported < 5; ++i)
    if (!(actual[i] == expected[i])) {
      ADD_FAILURE() << what << ": element " << i << " is " << actual[i] << ", expected " << expected[i];
      ++reported;
    }
}

/// What the kernel compiler made of `Kernel` (cpu_forms.h): its block
/// function (null when it runs a fiber per thread), the form's name and why
/// it fell back.
template <auto Kernel>
const gpu_runtime::KernelForm& form_of() {
  return *__gpu_kernel_form(reinterpret_cast<const void*>(Kernel));
}

}  // namespace test_helpers
