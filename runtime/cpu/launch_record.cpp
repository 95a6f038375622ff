#include "launch_record.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace gpu_runtime::cpu {

namespace {

// A kernel's name as its source spells it, when the mangled one decodes.
std::string readable(const char* mangled) {
  int status = 0;
  char* text = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string out = status == 0 && text ? text : mangled;
  std::free(text);
  return out;
}

}  // namespace

void Launch::report_divergence(uint3 block, int line, int other_line) {
  if (!raise(cudaErrorLaunchFailure)) return;
  const std::string kernel = readable(name);
  if (line > 0 && other_line > 0)
    std::fprintf(stderr,
                 "gpu runtime: kernel %s, block (%u, %u, %u): threads of the block stopped at different barriers "
                 "(lines %d and %d)\n",
                 kernel.c_str(), block.x, block.y, block.z, line, other_line);
  else
    std::fprintf(stderr,
                 "gpu runtime: kernel %s, block (%u, %u, %u): some threads of the block waited at the barrier on "
                 "line %d while others ended\n",
                 kernel.c_str(), block.x, block.y, block.z, line > 0 ? line : other_line);
}

}  // namespace gpu_runtime::cpu
