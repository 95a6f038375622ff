// The input matrix test's kernel is timed on: 1024 x 1024 ints. The program
// itself uploads zeros; the timed runs use a pattern that spreads over the
// whole int range and has values just below the largest int, so the 32-bit
// wrap-around of the add is exercised too.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "baseline_common.h"

namespace bench {

inline constexpr int kTestSide = 1024;
inline constexpr size_t kTestElements = size_t{kTestSide} * kTestSide;

/// The matrix for input `kind`: "zeros" (what the program uploads) or "pattern".
/// Returns an empty vector for an unknown kind.
inline std::vector<int> test_input(const char* kind) {
  if (std::strcmp(kind, "zeros") == 0) return std::vector<int>(kTestElements, 0);
  if (std::strcmp(kind, "pattern") != 0) return {};
  std::vector<int> a(kTestElements);
  // Multiplying by an odd constant scatters the indices over the whole range,
  // negative values included; the last element of every row lies within 256
  // of the largest int, so that adding 192 wraps for many of them.
  for (size_t i = 0; i < kTestElements; ++i) a[i] = static_cast<int>(static_cast<unsigned>(i) * 2654435761u);
  for (size_t row = 0; row < kTestSide; ++row)
    a[row * kTestSide + kTestSide - 1] = static_cast<int>(0x7fffffffu - static_cast<unsigned>(row % 256));
  return a;
}

/// The command line both timers of test's kernel take:
///   <program> [--input zeros|pattern] [--repeat R]
/// (defaults: pattern, 20). A wrong argument is reported and ends the program.
struct TestRun {
  std::vector<int> input;
  long repeat = 20;
};

inline TestRun parse_test_run(int argc, char** argv, const char* program) {
  const char* kind = "pattern";
  TestRun run;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--input") == 0 && i + 1 < argc)
      kind = argv[++i];
    else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
      run.repeat = parse_int(program, argv[++i], "--repeat", 1, 100000);
    else
      fail(program, std::string("unknown argument '") + argv[i] + "'; usage: " + program +
                        " [--input zeros|pattern] [--repeat R]");
  }
  run.input = test_input(kind);
  if (run.input.empty()) fail(program, std::string("unknown input '") + kind + "' (zeros or pattern)");
  return run;
}

}  // namespace bench
