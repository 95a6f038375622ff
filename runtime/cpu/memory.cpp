#include "memory.h"

#include <sys/mman.h>

#include <cstring>

#include "common/activity.h"
#include "common/back_end.h"
#include "common/trace.h"
#include "device.h"
#include "gpu_runtime/types.h"
#include "launch_engine.h"

namespace gpu_runtime::cpu {

namespace {
constexpr std::size_t kGranule = 4096;  // page mapping: 256-byte alignment and zero fill for free

std::size_t mapped_size(std::size_t size) { return size == 0 ? kGranule : (size + kGranule - 1) / kGranule * kGranule; }
}  // namespace

void* DeviceMemory::map(std::size_t size) {
  if (size > capacity_) return nullptr;
  const std::size_t bytes = mapped_size(size);
  if (bytes > capacity_ - used_) return nullptr;
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  used_ += bytes;
  return p;
}

void DeviceMemory::unmap(void* base, std::size_t size) {
  used_ -= mapped_size(size);
  ::munmap(base, mapped_size(size));
}

DeviceMemory& device_memory() {
  static DeviceMemory* memory = new DeviceMemory(DeviceLimits::kGlobalMemory);
  return *memory;
}

}  // namespace gpu_runtime::cpu

namespace gpu_runtime::common::back_end {

int allocate(void** ptr, std::size_t size, bool injected) {
  if (!ptr) return cudaErrorInvalidValue;
  void* p = injected ? nullptr : cpu::device_memory().map(size);
  if (!p) return cudaErrorMemoryAllocation;
  *ptr = p;
  return cudaSuccess;
}

int release(void* ptr, const std::optional<Allocation>& allocation, bool injected) {
  cpu::launch_engine().wait_idle();  // a kernel may still be using it
  if (injected) return cudaErrorInvalidDevicePointer;
  if (!ptr) return cudaSuccess;
  if (!allocation) return cudaErrorInvalidDevicePointer;
  cpu::device_memory().unmap(ptr, allocation->size);
  return cudaSuccess;
}

CopySides copy_sides(const AllocationTable&, const void*, const void*, int kind) { return sides_of_kind(kind); }

int copy(const AllocationTable& allocations, void* dst, const void* src, std::size_t count, int kind,
         CopySides sides, bool injected) {
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDeviceToDevice) return cudaErrorInvalidMemcpyDirection;
  if (count > 0) {
    const bool dst_ok = sides.dst_device ? allocations.covers(dst, count) : dst != nullptr;
    const bool src_ok = sides.src_device ? allocations.covers(src, count) : src != nullptr;
    if (!dst_ok || !src_ok || injected) return cudaErrorInvalidValue;
  }
  // The copy follows every earlier launch; an error one raised is reported here.
  const int status = cpu::launch_engine().synchronize();
  if (status != cudaSuccess) return status;
  const std::int64_t began = activity::enabled() ? activity::now() : 0;
  if (count > 0) std::memmove(dst, src, count);
  if (activity::enabled()) activity::copy_finished(sides, count, began, activity::now());
  return status;
}

std::string copied_digest(void* dst, const void*, std::size_t count, CopySides) { return fnv1a_hex(dst, count); }

}  // namespace gpu_runtime::common::back_end
