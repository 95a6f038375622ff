#include "memory.h"

#include <sys/mman.h>

namespace gpu_runtime::cpu {

namespace {
constexpr std::size_t kGranule = 4096;  // page mapping: 256-byte alignment and zero fill for free

std::size_t mapped_size(std::size_t size) { return size == 0 ? kGranule : (size + kGranule - 1) / kGranule * kGranule; }
}  // namespace

std::optional<Allocation> AllocationTable::allocate(std::size_t size) {
  if (size > capacity_) return std::nullopt;
  const std::size_t bytes = mapped_size(size);
  {
    std::lock_guard lock(mu_);
    if (bytes > capacity_ - used_) return std::nullopt;
    used_ += bytes;
  }
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  std::lock_guard lock(mu_);
  if (p == MAP_FAILED) {
    used_ -= bytes;
    return std::nullopt;
  }
  Allocation a{reinterpret_cast<std::uintptr_t>(p), size, next_index_++};
  live_.emplace(a.base, a);
  return a;
}

bool AllocationTable::release(const void* p) {
  Allocation a;
  {
    std::lock_guard lock(mu_);
    auto it = live_.find(reinterpret_cast<std::uintptr_t>(p));
    if (it == live_.end()) return false;
    a = it->second;
    live_.erase(it);
    used_ -= mapped_size(a.size);
  }
  ::munmap(reinterpret_cast<void*>(a.base), mapped_size(a.size));
  return true;
}

std::optional<Allocation> AllocationTable::containing(const void* p) const {
  const auto addr = reinterpret_cast<std::uintptr_t>(p);
  std::lock_guard lock(mu_);
  auto it = live_.upper_bound(addr);
  if (it == live_.begin()) return std::nullopt;
  --it;
  const Allocation& a = it->second;
  if (addr == a.base || addr - a.base < a.size) return a;
  return std::nullopt;
}

bool AllocationTable::covers(const void* p, std::size_t size) const {
  const std::optional<Allocation> a = containing(p);
  if (!a) return false;
  const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(p) - a->base;
  return offset <= a->size && size <= a->size - offset;
}

}  // namespace gpu_runtime::cpu
