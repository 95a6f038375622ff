// A small, portable pseudo-random generator (SplitMix64). Unlike the standard
// library's distributions it gives the same numbers with every compiler, so a
// seed names one data split and one training run everywhere.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

namespace digits {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  /// An independent generator for one numbered stream of a seed (an epoch,
  /// a sample), so results do not depend on which thread draws them.
  static Random stream(std::uint64_t seed, std::uint64_t index) {
    Random mixer(seed ^ (index * 0xD1B54A32D192ED03ull));
    mixer.next();
    return Random(mixer.next());
  }

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  /// Uniform in [0, 1), 24 random bits.
  float uniform() { return static_cast<float>(next() >> 40) * 0x1.0p-24f; }

  /// Uniform in [lo, hi).
  float uniform(float lo, float hi) { return lo + (hi - lo) * uniform(); }

  /// Uniform whole number in [0, n), without modulo bias; n > 0.
  std::uint64_t below(std::uint64_t n) {
    const std::uint64_t limit = -n % n;  // values under 2^64 mod n would be over-represented
    for (;;) {
      const std::uint64_t r = next();
      if (r >= limit) return r % n;
    }
  }

  /// Fisher-Yates shuffle.
  template <class T>
  void shuffle(std::span<T> items) {
    for (std::size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[below(i)]);
  }

 private:
  std::uint64_t state_;
};

}  // namespace digits
