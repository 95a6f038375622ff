// Rotation, scaling, shift and elastic distortion of 28x28 digits.
#include "train-ombrel/distort.h"

#include <cmath>
#include <numbers>

namespace ombrel_net {
namespace {

constexpr int kSide = kImageSide;
constexpr int kPixels = kSide * kSide;

}  // namespace

Distorter::Distorter(const DistortionSettings& settings)
    : settings_(settings), noise_(kPixels), blurred_(kPixels), dx_(kPixels), dy_(kPixels) {
  if (settings_.elastic_sigma > 0.0f) {
    const int radius = static_cast<int>(std::ceil(3.0f * settings_.elastic_sigma));
    float total = 0.0f;
    for (int i = -radius; i <= radius; ++i) {
      const float w = std::exp(-0.5f * static_cast<float>(i * i) / (settings_.elastic_sigma * settings_.elastic_sigma));
      kernel_.push_back(w);
      total += w;
    }
    for (float& w : kernel_) w /= total;
  }
}

// Uniform noise in [-1, 1) per pixel, blurred by the Gaussian along rows and
// then columns; pixels outside the image count as 0.
void Distorter::smooth_noise(digits::Random& random, std::vector<float>& field) {
  for (float& n : noise_) n = random.uniform(-1.0f, 1.0f);
  const int radius = static_cast<int>(kernel_.size()) / 2;
  for (int r = 0; r < kSide; ++r)
    for (int c = 0; c < kSide; ++c) {
      float sum = 0.0f;
      for (int i = -radius; i <= radius; ++i)
        if (c + i >= 0 && c + i < kSide) sum += kernel_[i + radius] * noise_[kSide * r + c + i];
      blurred_[kSide * r + c] = sum;
    }
  for (int r = 0; r < kSide; ++r)
    for (int c = 0; c < kSide; ++c) {
      float sum = 0.0f;
      for (int i = -radius; i <= radius; ++i)
        if (r + i >= 0 && r + i < kSide) sum += kernel_[i + radius] * blurred_[kSide * (r + i) + c];
      field[kSide * r + c] = sum;
    }
}

void Distorter::distort(std::span<const std::uint8_t, 784> pixels, digits::Random& random,
                        std::span<float, kSlotSize> slot) {
  const float angle = random.uniform(-1.0f, 1.0f) * settings_.max_rotation_degrees * std::numbers::pi_v<float> / 180.0f;
  const float scale_x = 1.0f + random.uniform(-1.0f, 1.0f) * settings_.max_scale;
  const float scale_y = 1.0f + random.uniform(-1.0f, 1.0f) * settings_.max_scale;
  const float shift_x = random.uniform(-1.0f, 1.0f) * settings_.max_shift;
  const float shift_y = random.uniform(-1.0f, 1.0f) * settings_.max_shift;
  const bool elastic = !kernel_.empty() && settings_.elastic_alpha > 0.0f;
  if (elastic) {
    smooth_noise(random, dx_);
    smooth_noise(random, dy_);
  }

  const float cos_a = std::cos(angle), sin_a = std::sin(angle);
  const float centre = 0.5f * (kSide - 1);
  auto ink = [&](int r, int c) -> float {
    if (r < 0 || r >= kSide || c < 0 || c >= kSide) return 0.0f;
    return static_cast<float>(pixels[kSide * r + c]) / 256.0f;
  };
  for (int r = 0; r < kSlotSide; ++r) {
    for (int c = 0; c < kSlotSide; ++c) {
      float value = 1.0f;
      if (r < kSide && c < kSide) {
        // Where in the original image this output pixel comes from.
        const float u = static_cast<float>(c) - centre, v = static_cast<float>(r) - centre;
        float x = (cos_a * u - sin_a * v) / scale_x + centre + shift_x;
        float y = (sin_a * u + cos_a * v) / scale_y + centre + shift_y;
        if (elastic) {
          x += settings_.elastic_alpha * dx_[kSide * r + c];
          y += settings_.elastic_alpha * dy_[kSide * r + c];
        }
        const float x0 = std::floor(x), y0 = std::floor(y);
        const float fx = x - x0, fy = y - y0;
        const int ix = static_cast<int>(x0), iy = static_cast<int>(y0);
        const float top = ink(iy, ix) * (1.0f - fx) + ink(iy, ix + 1) * fx;
        const float bottom = ink(iy + 1, ix) * (1.0f - fx) + ink(iy + 1, ix + 1) * fx;
        value = 1.0f - (top * (1.0f - fy) + bottom * fy);
      }
      slot[kSlotSide * r + c] = value;
    }
  }
}

}  // namespace ombrel_net
