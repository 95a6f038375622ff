#include "registry.h"

#include <algorithm>

#include "common/back_end.h"

namespace gpu_runtime::cpu {

void** Registry::add_image(void* image) {
  std::lock_guard lock(mu_);
  auto record = std::make_unique<Image>();
  auto* candidate = static_cast<const gpu_runtime::DeviceImage*>(image);
  if (candidate && candidate->magic == gpu_runtime::DeviceImage::kMagic) record->image = candidate;
  record->handle_slot = record.get();
  images_.push_back(std::move(record));
  return &images_.back()->handle_slot;
}

void Registry::add_function(void** handle, const void* host_entry, const char* name) {
  std::lock_guard lock(mu_);
  RegisteredKernel kernel{name ? name : "", nullptr};
  auto it = std::find_if(images_.begin(), images_.end(), [&](const auto& i) { return &i->handle_slot == handle; });
  if (it != images_.end() && (*it)->image) {
    for (const gpu_runtime::DeviceSymbol& s : (*it)->image->symbols)
      if (s.kernel && s.host_address == host_entry) kernel.ops = s.kernel;
  }
  kernels_[host_entry] = kernel;
}

void Registry::remove_image(void** handle) {
  std::lock_guard lock(mu_);
  auto it = std::find_if(images_.begin(), images_.end(), [&](const auto& i) { return &i->handle_slot == handle; });
  if (it == images_.end()) return;
  if ((*it)->image) {
    for (const gpu_runtime::DeviceSymbol& s : (*it)->image->symbols)
      if (s.kernel) kernels_.erase(s.host_address);
  }
  images_.erase(it);
}

const RegisteredKernel* Registry::find(const void* host_entry) const {
  std::lock_guard lock(mu_);
  auto it = kernels_.find(host_entry);
  return it == kernels_.end() ? nullptr : &it->second;
}

Registry& registry() {
  static Registry* code = new Registry;
  return *code;
}

}  // namespace gpu_runtime::cpu

namespace gpu_runtime::common::back_end {

const char* kernel_name(const void* entry) {
  const cpu::RegisteredKernel* kernel = cpu::registry().find(entry);
  return kernel ? kernel->name.c_str() : nullptr;
}

void** add_image(void* image) { return cpu::registry().add_image(image); }

void remove_image(void** handle) { cpu::registry().remove_image(handle); }

void add_function(const FunctionRegistration& f) { cpu::registry().add_function(f.handle, f.host_entry, f.name()); }

void add_variable(const VariableRegistration&) {
  // Kernels on the CPU device read the variable itself: nothing to copy.
}

}  // namespace gpu_runtime::common::back_end
