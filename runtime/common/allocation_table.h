// The device allocations a runtime has handed out: the trace names device
// addresses by allocation index and offset, copies are checked against them,
// and the CTA tracker checks each named range against the allocation its base
// lies in. Not thread-safe: the API shell serialises calls into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

namespace gpu_runtime::common {

struct Allocation {
  std::uintptr_t base = 0;
  std::size_t size = 0;
  std::uint64_t index = 0;  ///< counts successful allocations from 0
};

class AllocationTable {
 public:
  /// Records a successful allocation and returns it with its index. A null
  /// base (the vendor's answer to 0 bytes) takes an index but no entry.
  Allocation add(const void* base, std::size_t size);

  /// Forgets the allocation based at `p`; false when there is none.
  bool remove(const void* p);

  /// The live allocation based at `p`, if any.
  std::optional<Allocation> based_at(const void* p) const;

  /// The live allocation holding address `p` (its base for a 0-byte one).
  std::optional<Allocation> containing(const void* p) const;

  /// Whether [p, p + size) lies wholly inside one live allocation.
  bool covers(const void* p, std::size_t size) const;

 private:
  std::map<std::uintptr_t, Allocation> live_;
  std::uint64_t next_index_ = 0;
};

}  // namespace gpu_runtime::common
