// Device memory of the CPU device: page-backed allocations (so 256-byte
// aligned and zero-filled) kept in a table that every copy, free and tracker
// registration is checked against. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace gpu_runtime::cpu {

struct Allocation {
  std::uintptr_t base = 0;
  std::size_t size = 0;
  std::uint64_t index = 0;  ///< counts successful allocations from 0
};

class AllocationTable {
 public:
  explicit AllocationTable(std::size_t capacity) : capacity_(capacity) {}
  AllocationTable(const AllocationTable&) = delete;
  AllocationTable& operator=(const AllocationTable&) = delete;

  /// A new allocation of `size` bytes, or nothing when the device memory is
  /// exhausted.
  std::optional<Allocation> allocate(std::size_t size);

  /// Releases the allocation based at `p`; false when `p` is not one.
  bool release(const void* p);

  /// The live allocation holding address `p` (its base for a 0-byte one).
  std::optional<Allocation> containing(const void* p) const;

  /// Whether [p, p + size) lies wholly inside one live allocation.
  bool covers(const void* p, std::size_t size) const;

 private:
  const std::size_t capacity_;
  mutable std::mutex mu_;
  std::map<std::uintptr_t, Allocation> live_;
  std::size_t used_ = 0;
  std::uint64_t next_index_ = 0;
};

}  // namespace gpu_runtime::cpu
