// Registered device code: images, kernels by host entry, variables.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gpu_runtime/registration.h"

namespace gpu_runtime::cpu {

struct RegisteredKernel {
  std::string name;
  const gpu_runtime::KernelOps* ops = nullptr;  ///< null when the image does not carry it
};

class Registry {
 public:
  /// Registers an image; returns its handle.
  void** add_image(void* image);
  /// Registers a kernel of an image; the image supplies how to run it.
  void add_function(void** handle, const void* host_entry, const char* name);
  void remove_image(void** handle);
  /// The kernel registered for a host entry, or null.
  const RegisteredKernel* find(const void* host_entry) const;

 private:
  struct Image {
    const gpu_runtime::DeviceImage* image = nullptr;  ///< null when not ours
    void* handle_slot = nullptr;
  };
  mutable std::mutex mu_;
  std::vector<std::unique_ptr<Image>> images_;
  std::map<const void*, RegisteredKernel> kernels_;
};

/// The device's registered code, made on first use and never destroyed.
/// registry.cpp also holds the back end's registration calls
/// (common/back_end.h).
Registry& registry();

}  // namespace gpu_runtime::cpu
