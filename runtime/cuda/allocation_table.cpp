#include "allocation_table.h"

namespace gpu_runtime::cuda {

Allocation AllocationTable::add(const void* base, std::size_t size) {
  const Allocation a{reinterpret_cast<std::uintptr_t>(base), size, next_index_++};
  if (base) live_[a.base] = a;
  return a;
}

bool AllocationTable::remove(const void* p) {
  return live_.erase(reinterpret_cast<std::uintptr_t>(p)) > 0;
}

std::optional<Allocation> AllocationTable::containing(const void* p) const {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  auto it = live_.upper_bound(at);
  if (it == live_.begin()) return std::nullopt;
  --it;
  const Allocation& a = it->second;
  if (at == a.base || at - a.base < a.size) return a;
  return std::nullopt;
}

}  // namespace gpu_runtime::cuda
