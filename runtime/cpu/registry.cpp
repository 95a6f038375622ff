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

void Registry::attach_region_form(const void* host_entry, gpu_runtime::RegionRunner run, std::size_t args_size) {
  std::lock_guard lock(mu_);
  forms_[host_entry].regions = run;
  forms_[host_entry].region_args = args_size;
}

void Registry::attach_row_form(const void* host_entry, gpu_runtime::RowRunner run, std::size_t args_size) {
  std::lock_guard lock(mu_);
  forms_[host_entry].rows = run;
  forms_[host_entry].row_args = args_size;
}

Registry::Forms Registry::forms(const void* host_entry, const gpu_runtime::KernelOps& ops) const {
  std::lock_guard lock(mu_);
  Forms out;
  auto it = forms_.find(host_entry);
  if (it == forms_.end()) return out;
  if (it->second.region_args == ops.args_size) out.regions = it->second.regions;
  if (it->second.row_args == ops.args_size) out.rows = it->second.rows;
  return out;
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

bool gpu_runtime::attach_region_form(const void* kernel_host_entry, RegionRunner run_block, size_t args_size) {
  cpu::registry().attach_region_form(kernel_host_entry, run_block, args_size);
  return true;
}

bool gpu_runtime::attach_row_form(const void* kernel_host_entry, RowRunner run_rows, size_t args_size) {
  cpu::registry().attach_row_form(kernel_host_entry, run_rows, args_size);
  return true;
}
