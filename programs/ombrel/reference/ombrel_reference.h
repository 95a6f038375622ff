// A plain host implementation of the digit network, written independently of
// the kernels: the same arithmetic (single precision, one fused multiply-add
// per accumulation step, in the same order) with the indexing written out by
// row, column and map, for checking the kernels and the program against.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace ombrel_reference {

inline constexpr size_t kSlot = 29 * 29;       ///< floats per image slot
inline constexpr size_t kLayer2 = 6 * 13 * 13;  ///< first layer's outputs per image
inline constexpr size_t kLayer3 = 50 * 5 * 5;   ///< second layer's outputs per image
inline constexpr size_t kLayer4 = 100;          ///< third layer's outputs per image
inline constexpr size_t kScores = 10;           ///< digit scores per image

/// Floats in each layer's weight array (groups x group size).
inline constexpr std::array<size_t, 4> kWeightCounts = {6 * 26, 50 * 156, 100 * 1251, 10 * 101};

/// The four layers' weights, sized as kWeightCounts.
struct Weights {
  std::array<std::vector<float>, 4> layer;
};

/// 1.7159 tanh(0.6666667 sum) as the device evaluates it, with the host's
/// exp2f and IEEE division standing in for the device approximations.
float activation(float sum);

// Each layer reads the images' inputs and writes their outputs; the image
// count is out.size() / (outputs per image), and the inputs must hold as many.
void first_layer(std::span<const float> slots, std::span<const float> weights, std::span<float> out);
void second_layer(std::span<const float> maps, std::span<const float> weights, std::span<float> out);
void third_layer(std::span<const float> maps, std::span<const float> weights, std::span<float> out);
void fourth_layer(std::span<const float> neurons, std::span<const float> weights, std::span<float> out);

/// The ten scores of every image: the four layers in turn over `slots`.
std::vector<float> scores(std::span<const float> slots, const Weights& weights);

/// The digit with the highest of ten scores; the lowest digit wins a tie.
int winning_digit(std::span<const float> ten);

}  // namespace ombrel_reference
