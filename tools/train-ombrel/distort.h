// Random distortions of training digits: a small rotation, scaling and shift
// plus an elastic distortion (a smooth random displacement field), so that
// the network learns the shapes rather than the 8,000 exact images.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "digits/random.h"
#include "train-ombrel/network.h"

namespace ombrel_net {

struct DistortionSettings {
  float max_rotation_degrees = 12.0f;
  float max_scale = 0.12f;       ///< each axis is scaled by a factor in 1 +- this
  float max_shift = 1.5f;        ///< pixels, each axis
  float elastic_sigma = 5.0f;    ///< smoothness of the displacement field, pixels
  float elastic_alpha = 34.0f;   ///< strength of the displacement field (0: none)
};

/// Not thread-safe: each thread owns its own Distorter (it keeps scratch fields).
class Distorter {
 public:
  explicit Distorter(const DistortionSettings& settings);

  /// Writes a randomly distorted copy of one 28x28 image into a 29x29 slot,
  /// encoded like an undistorted one (background 1.0, full ink near 0, the
  /// last row and column background). All randomness comes from `random`.
  void distort(std::span<const std::uint8_t, 784> pixels, digits::Random& random,
               std::span<float, kSlotSize> slot);

 private:
  void smooth_noise(digits::Random& random, std::vector<float>& field);

  DistortionSettings settings_;
  std::vector<float> kernel_;  // normalised 1-D Gaussian, radius kernel_.size() / 2
  std::vector<float> noise_, blurred_, dx_, dy_;
};

}  // namespace ombrel_net
