// Inputs for the digit network made on the spot: 28x28 images, IDX image
// files, raw weight files and the 29x29 slots the program builds from them.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "ombrel_reference.h"

namespace ombrel_data {

using Image = std::array<uint8_t, 28 * 28>;  ///< pixel (r, c) at 28r + c, 0 background, 255 ink

/// `count` images of a few random ink strokes each, reproducible by seed.
std::vector<Image> random_images(size_t count, unsigned seed);

/// Weights uniform in +-scale/sqrt(inputs) per layer, reproducible by seed:
/// the sums stay in the activation's sensitive range.
ombrel_reference::Weights random_weights(unsigned seed);

/// Sets the last layer's biases so that each digit's weighted sum averages 0
/// over these image slots: scores then turn on what differs between images
/// rather than on what they share, and the winning digits vary.
void center_last_layer(ombrel_reference::Weights& weights, std::span<const float> slots);

/// `count` floats uniform in [lo, hi), reproducible by seed.
std::vector<float> random_floats(size_t count, float lo, float hi, unsigned seed);

/// An IDX unsigned-byte image file: magic 2051, `item_count`, 28 rows, 28
/// columns, big-endian, then the images' pixels.
std::string idx_file(std::span<const Image> images, uint32_t item_count);

/// The floats' bytes in the host's order, as the weight files hold them.
std::string float_bytes(std::span<const float> values);

/// Writes data/t10k-images-idx3-ubyte and data/lw1.wei .. data/lw4.wei under `dir`.
void write_inputs(const std::filesystem::path& dir, std::span<const Image> images,
                  const ombrel_reference::Weights& weights);

/// The weight file of layer `layer` (0..3), relative to the working directory.
std::string weight_file(int layer);

/// The 29x29 slots of the images: pixel p becomes (256 - p) / 256, the last
/// row and column 1.0.
std::vector<float> slots(std::span<const Image> images);

}  // namespace ombrel_data
