// Made-up digits for the tests: stroke-like images and the npm package's
// JSON layout.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "digits/random.h"
#include "program_runner.h"

namespace digits_test {

/// One 28x28 image: a few random thick strokes of full and partial ink on a
/// blank background.
inline std::vector<std::uint8_t> stroke_image(digits::Random& random) {
  std::vector<std::uint8_t> pixels(784, 0);
  const int strokes = 1 + static_cast<int>(random.below(3));
  for (int s = 0; s < strokes; ++s) {
    float x = random.uniform(6, 22), y = random.uniform(6, 22);
    const float dx = random.uniform(-1, 1), dy = random.uniform(-1, 1);
    for (int step = 0; step < 14; ++step, x += dx, y += dy)
      for (int r = static_cast<int>(y) - 1; r <= static_cast<int>(y) + 1; ++r)
        for (int c = static_cast<int>(x) - 1; c <= static_cast<int>(x) + 1; ++c)
          if (r >= 0 && r < 28 && c >= 0 && c < 28) pixels[28 * r + c] = static_cast<std::uint8_t>(128 + random.below(128));
  }
  return pixels;
}

/// `count` stroke images one after another.
inline std::vector<std::uint8_t> stroke_images(std::size_t count, std::uint64_t seed) {
  digits::Random random(seed);
  std::vector<std::uint8_t> all;
  for (std::size_t i = 0; i < count; ++i) {
    const std::vector<std::uint8_t> image = stroke_image(random);
    all.insert(all.end(), image.begin(), image.end());
  }
  return all;
}

/// The package's text for these pixels: {"data": [v, ...]} with each byte
/// as byte/255 to three decimals.
inline std::string digit_json(const std::vector<std::uint8_t>& pixels) {
  std::string text = "{ \"data\": [";
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    char value[16];
    std::snprintf(value, sizeof value, "%.3f", pixels[i] / 255.0);
    std::string v = value;
    while (v.back() == '0' && v.find('.') != std::string::npos) v.pop_back();
    if (v.back() == '.') v.pop_back();
    text += (i ? "," : "") + v;
  }
  return text + "]}";
}

/// Writes <folder>/src/digits/<d>.json for d = 0 ... 9.
inline void write_package(const std::filesystem::path& folder, const std::vector<std::vector<std::uint8_t>>& by_digit) {
  std::filesystem::create_directories(folder / "src" / "digits");
  for (std::size_t d = 0; d < by_digit.size(); ++d)
    test_helpers::write_file(folder / "src" / "digits" / (std::to_string(d) + ".json"), digit_json(by_digit[d]));
}

}  // namespace digits_test
