// The fixed division of the package's digits into held-out and training
// images, and the order in which the IDX files list them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "digits/idx.h"

namespace digits {

/// The seed of the one shuffle that orders the published files. Changing it
/// changes which image is image 0 of every file, and so every result line.
inline constexpr std::uint64_t kSplitSeed = 20240611;

/// How many of a digit's n images are held out: the last fifth, rounded to
/// the nearest whole image (the package's 10,000 digits give exactly 2,000).
constexpr std::size_t held_out_count(std::size_t n) { return (n + 2) / 5; }

struct Split {
  DigitSet all;       ///< the held-out images, shuffled, then the training images, shuffled
  DigitSet training;  ///< the training images alone, in the same order as in `all`
  std::size_t held_out = 0;
};

/// Splits the images of each digit (by_digit[d] holds digit d's images in
/// package order, 784 bytes each) and shuffles both parts with `seed`.
Split split_digits(const std::array<std::vector<std::uint8_t>, 10>& by_digit, std::uint64_t seed);

}  // namespace digits
