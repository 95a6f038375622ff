// A stand-in for the device side of the vendor runtime, so that the layer can
// be tested on machines without a GPU. It defines the vendor functions the
// layer calls (cudaMalloc, cudaMemcpy, cudaLaunchKernel, ...) in the test
// binary, where they take precedence over the vendor library's; device
// memory is host memory, a launch is recorded instead of run, and events say
// every launch took 0.25 ms. Kernel
// registration is left to the vendor library, which needs no device for it.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace fake_vendor {

/// One launch as the vendor received it: the parameter values are copied out
/// of the argument pointers, sized by the parameters declared for the kernel.
struct Launch {
  const void* entry = nullptr;
  unsigned grid[3] = {}, block[3] = {};
  std::vector<std::vector<unsigned char>> params;
};

/// The kernel's parameters as the vendor describes them: (offset, size) each.
void declare_parameters(const void* entry, std::vector<std::pair<std::size_t, std::size_t>> params);

/// Launches received so far.
const std::vector<Launch>& launches();

/// The status the following launches return (and leave as the vendor's last error).
void set_launch_status(int status);

/// Vendor copy calls received so far.
int copies();

}  // namespace fake_vendor
