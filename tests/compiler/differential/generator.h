// The differential tester's program generator: from a seed, one CUDA-dialect
// program with several random kernels that are free of data races by
// construction, and a host main that launches each over a few grid and block
// shapes and prints a digest of everything each launch wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace difftest {

struct GeneratorOptions {
  unsigned kernels = 6;  ///< kernels per program
  /// When set, the program holds and launches only this kernel (by index);
  /// it is the same kernel, with the same launches, as in the full program.
  int only_kernel = -1;
  /// Whether kernels use __syncthreads_count/and/or (off: to look past a
  /// known fault in them).
  bool counting_barriers = true;
};

struct GeneratedProgram {
  std::string source;
  std::vector<std::string> kernels;  ///< names of the kernels it launches
  unsigned launches = 0;             ///< digest lines its output holds
};

GeneratedProgram generate_program(std::uint64_t seed, const GeneratorOptions& options = {});

}  // namespace difftest
