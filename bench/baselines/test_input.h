// The input matrix test's kernel is timed on: 1024 x 1024 ints. The program
// itself uploads zeros; the timed runs use a pattern that spreads over the
// whole int range and has values just below the largest int, so the 32-bit
// wrap-around of the add is exercised too.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

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

}  // namespace bench
