#include "common/allocation_table.h"

namespace gpu_runtime::common {

Allocation AllocationTable::add(const void* base, std::size_t size) {
  const Allocation a{reinterpret_cast<std::uintptr_t>(base), size, next_index_++};
  if (base) live_[a.base] = a;
  return a;
}

bool AllocationTable::remove(const void* p) {
  return live_.erase(reinterpret_cast<std::uintptr_t>(p)) > 0;
}

std::optional<Allocation> AllocationTable::based_at(const void* p) const {
  const auto it = live_.find(reinterpret_cast<std::uintptr_t>(p));
  if (it == live_.end()) return std::nullopt;
  return it->second;
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

bool AllocationTable::covers(const void* p, std::size_t size) const {
  const std::optional<Allocation> a = containing(p);
  if (!a) return false;
  const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(p) - a->base;
  return offset <= a->size && size <= a->size - offset;
}

}  // namespace gpu_runtime::common
