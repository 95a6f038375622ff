// Held-out/training split of the package's digits.
#include "digits/split.h"

#include <span>

#include "digits/random.h"

namespace digits {
namespace {

struct Ref {
  std::uint8_t digit;
  std::size_t index;  // within the digit's images
};

void append(DigitSet& set, const std::array<std::vector<std::uint8_t>, 10>& by_digit, Ref ref) {
  const auto first = by_digit[ref.digit].begin() + static_cast<std::ptrdiff_t>(ref.index * kImagePixels);
  set.pixels.insert(set.pixels.end(), first, first + kImagePixels);
  set.labels.push_back(ref.digit);
}

}  // namespace

Split split_digits(const std::array<std::vector<std::uint8_t>, 10>& by_digit, std::uint64_t seed) {
  std::vector<Ref> held_out, training;
  for (std::uint8_t d = 0; d < 10; ++d) {
    const std::size_t n = by_digit[d].size() / kImagePixels;
    const std::size_t first_held_out = n - held_out_count(n);
    for (std::size_t i = 0; i < n; ++i) (i < first_held_out ? training : held_out).push_back({d, i});
  }
  Random random(seed);
  random.shuffle(std::span<Ref>(held_out));
  random.shuffle(std::span<Ref>(training));

  Split split;
  split.held_out = held_out.size();
  for (const Ref& ref : held_out) append(split.all, by_digit, ref);
  for (const Ref& ref : training) {
    append(split.all, by_digit, ref);
    append(split.training, by_digit, ref);
  }
  return split;
}

}  // namespace digits
