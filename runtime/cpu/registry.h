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

  /// Records that a kernel also has a region form or a row form (see
  /// cpu_forms.h); either may come before or after the kernel's
  /// registration.
  void attach_region_form(const void* host_entry, gpu_runtime::RegionRunner run, std::size_t args_size);
  void attach_row_form(const void* host_entry, gpu_runtime::RowRunner run, std::size_t args_size);

  /// The other forms of a kernel; a form whose parameters do not span the
  /// kernel's is left out.
  struct Forms {
    gpu_runtime::RegionRunner regions = nullptr;
    gpu_runtime::RowRunner rows = nullptr;
  };
  Forms forms(const void* host_entry, const gpu_runtime::KernelOps& ops) const;

 private:
  struct Image {
    const gpu_runtime::DeviceImage* image = nullptr;  ///< null when not ours
    void* handle_slot = nullptr;
  };
  mutable std::mutex mu_;
  std::vector<std::unique_ptr<Image>> images_;
  std::map<const void*, RegisteredKernel> kernels_;
  struct AttachedForms {
    gpu_runtime::RegionRunner regions = nullptr;
    std::size_t region_args = 0;
    gpu_runtime::RowRunner rows = nullptr;
    std::size_t row_args = 0;
  };
  std::map<const void*, AttachedForms> forms_;
};

/// The device's registered code, made on first use and never destroyed.
/// registry.cpp also holds the back end's registration calls
/// (common/back_end.h) and attach_region_form and attach_row_form.
Registry& registry();

}  // namespace gpu_runtime::cpu
